// The benchmarks' one source of noise: an xorshift generator, so every run
// sees the same pictures.
#pragma once

#include <cstdint>

namespace benchrng {

struct Rng {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    std::uint64_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

}  // namespace benchrng
