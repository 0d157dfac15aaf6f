// The GIF codec's failure class and its message texts, shared by the LZW
// decoders below the image model and by the model itself.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo {

// The codec's one failure class. Virtual base, so that the size refusal can
// be both this and the program's EPictureTooLarge.
class GIFException : public virtual EInvalidGraphic {
public:
    explicit GIFException(std::string message) : EInvalidGraphic(std::move(message)) {}
};

// A frame, the frame count or the decoded bytes over the image's Limits.
class EGIFTooLarge final : public GIFException, public EPictureTooLarge {
public:
    explicit EGIFTooLarge(const std::string& message, bool byLimits = true)
        : EInvalidGraphic(message), GIFException(message), EPictureTooLarge(message, byLimits) {}
};

namespace msg {
inline constexpr const char* GIFImage = "GIF Image";
inline constexpr const char* GIFLoading = "Loading...";
inline constexpr const char* GIFInvalidSignature = "Invalid GIF signature";
inline constexpr const char* GIFPrematureEnd = "Premature end of data";
inline constexpr const char* GIFUnknownExtension = "Unknown extension type";
inline constexpr const char* GIFBadIntroducer = "Invalid extension introducer";
inline constexpr const char* GIFExtensionMismatch = "Internal error: Extension Instance does not match Extension Label";
inline constexpr const char* GIFAppBlockSize = "Unsupported Application Extension block size";
inline constexpr const char* GIFInvalidData = "Invalid GIF data";
inline constexpr const char* GIFUnknownBlock = "Unknown GIF block type";
inline constexpr const char* GIFBadScreenSize = "Image exceeds Logical Screen size";
inline constexpr const char* GIFBadTrailer = "Invalid Image trailer";
inline constexpr const char* GIFBadColorIndex = "Invalid color index";
inline constexpr const char* GIFEmptyColorTable = "Color table is empty";
inline constexpr const char* GIFCircularEntry = "Circular decoder table entry";
inline constexpr const char* GIFBitUnderrun = "Decoder bit buffer under-run";
// Operations of the writing, drawing and clipboard side, which is not built.
inline constexpr const char* GIFNotSupported = "GIF: %s is not supported";
}  // namespace msg

// Frames above this many pixels are refused whatever the Limits say: the
// frame's pixel buffer is addressed with 32-bit offsets.
inline constexpr std::uint64_t kGIFMaxFramePixels = std::uint64_t{1} << 30;

// EGIFTooLarge when width x height is above the Limits' pixels or the cap.
inline void CheckGIFPixels(std::uint64_t width, std::uint64_t height, const Limits& limits) {
    const std::uint64_t limit = limits.pixels < kGIFMaxFramePixels ? limits.pixels : kGIFMaxFramePixels;
    if (width * height > limit)
        throw EGIFTooLarge(PictureTooLargeText(width, height, limit), limits.pixels <= kGIFMaxFramePixels);
}

}  // namespace duvo
