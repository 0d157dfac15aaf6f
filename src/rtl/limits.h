// How much a decoder may take from one input. Every decode is given a Limits
// value; the program uses kDefaultLimits, tests and fuzzers pass their own.
#pragma once

#include <cstdint>

#include "rtl/exceptions.h"

namespace duvo {

struct Limits {
    // Pixels of one picture or frame.
    std::uint64_t pixels = std::uint64_t{1} << 30;
    // Frames of one animated file.
    std::uint64_t frames = std::uint64_t{1} << 16;
    // Bytes of decoded pixel data of one file, all frames together.
    std::uint64_t decodedBytes = std::uint64_t{1} << 32;
    // Bytes read from an input that cannot be mapped (a pipe, a device): it
    // is read to its end, and an end that never comes must not hang us.
    std::uint64_t inputBytes = std::uint64_t{1} << 31;

    bool operator==(const Limits&) const = default;
};

inline constexpr Limits kDefaultLimits{};

// A picture refused for its size before any memory is taken for it. It is
// an invalid graphic on every route. The base is virtual so that a format's
// own exception class (the GIF codec's) can be this one too. byLimits: the
// refusal came from the caller's Limits (pixels or bytes), which the caller
// may raise; false for a bound of the format or of the program itself.
class EPictureTooLarge : public virtual EInvalidGraphic {
public:
    explicit EPictureTooLarge(std::string message, bool byLimits = true)
        : EInvalidGraphic(std::move(message)), byLimits_(byLimits) {}
    bool ByLimits() const { return byLimits_; }

private:
    bool byLimits_;
};

namespace msg {
inline constexpr const char* PictureTooLarge = "Picture too large (%s x %s pixels; the limit is %s pixels)";
inline constexpr const char* TooManyFrames = "Picture too large (more than %s frames)";
inline constexpr const char* TooManyBytes = "Picture too large (more than %s bytes of pixels)";
inline constexpr const char* InputTooLarge = "Input too large (more than %s bytes)";
inline constexpr const char* HeldFrameTooLarge =
    "Picture too large (%s x %s pixels take %s bytes held whole; the limit is %s bytes)";
}  // namespace msg

// A decoder that cannot give its rows in order holds a whole frame (for a
// progressive JPEG, its coefficients); that, and only that, counts against
// limits.decodedBytes. On the command line one number sets both limits:
// pictures of up to N pixels, and for a frame held whole this many bytes
// for each of them (2^29 pixels and 1 GiB by default).
inline constexpr std::uint64_t kHeldBytesPerPixel = 2;
constexpr Limits WithPixelLimit(Limits limits, std::uint64_t pixels) {
    limits.pixels = pixels;
    limits.decodedBytes = pixels * kHeldBytesPerPixel;
    return limits;
}

// The refusal's text for a width x height picture.
std::string PictureTooLargeText(std::uint64_t width, std::uint64_t height, std::uint64_t limit);

// Throws EPictureTooLarge when width x height exceeds limits.pixels. Both
// sides are at most 2^32, so the product is exact in 64 bits. byLimits as
// for EPictureTooLarge: false where limits is the program's own bound.
void CheckPictureSize(std::uint64_t width, std::uint64_t height, const Limits& limits, bool byLimits = true);

// Throws EPictureTooLarge (HeldFrameTooLarge) when a width x height frame
// that takes bytes while it is held whole is above limits.decodedBytes.
void CheckHeldFrame(std::uint64_t width, std::uint64_t height, std::uint64_t bytes, const Limits& limits);

}  // namespace duvo
