#include "rtl/limits.h"

#include <string>

namespace duvo {

std::string PictureTooLargeText(std::uint64_t width, std::uint64_t height, std::uint64_t limit) {
    return Format(msg::PictureTooLarge, {std::to_string(width), std::to_string(height), std::to_string(limit)});
}

void CheckPictureSize(std::uint64_t width, std::uint64_t height, const Limits& limits, bool byLimits) {
    if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu || width * height > limits.pixels)
        throw EPictureTooLarge(PictureTooLargeText(width, height, limits.pixels), byLimits);
}

void CheckHeldFrame(std::uint64_t width, std::uint64_t height, std::uint64_t bytes, const Limits& limits) {
    if (bytes > limits.decodedBytes)
        throw EPictureTooLarge(
            Format(msg::HeldFrameTooLarge, {std::to_string(width), std::to_string(height), std::to_string(bytes),
                                            std::to_string(limits.decodedBytes)}));
}

}  // namespace duvo
