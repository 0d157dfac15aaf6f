// How samples become the 8-bit colors a comparison works on: transparent
// pixels are composed over white, 16-bit samples rounded to 8 bits. The
// engine's row conversions and the tests' references share these.
#pragma once

#include <cstdint>

namespace duvo {

constexpr std::uint8_t Round16To8(std::uint32_t v) { return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u); }
constexpr std::uint8_t OverWhite8(std::uint32_t c, std::uint32_t a) {
    return static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
}
constexpr std::uint16_t OverWhite16(std::uint64_t c, std::uint64_t a) {
    return static_cast<std::uint16_t>((c * a + 65535u * (65535u - a) + 32767u) / 65535u);
}

}  // namespace duvo
