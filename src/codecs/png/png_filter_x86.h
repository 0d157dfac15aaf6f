// What the x86 unfilter files share: the test for building them, their
// target attributes, small pixel loads and Up on 16 bytes. Included only by
// those files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/png/png_filter.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DUVO_PNG_X86 1
#include <immintrin.h>

// Each set is compiled for its own instructions and chosen at run time, so
// the files build for every x86-64 processor.
#define DUVO_PNG_SSE41 __attribute__((target("ssse3,sse4.1")))
#define DUVO_PNG_AVX2 __attribute__((target("avx2")))

namespace duvo::png::x86 {

// One pixel of 3 or 4 bytes in the low bytes of a register. A 3-byte pixel
// is read with 4 bytes where a fourth lies inside the row (the extra byte
// only ever lands in a byte that the next pixel overwrites).
template <int B>
DUVO_PNG_SSE41 inline __m128i LoadPixel(const std::uint8_t* p, bool last) {
    std::uint32_t v = 0;
    if (B == 4 || !last)
        std::memcpy(&v, p, 4);
    else
        std::memcpy(&v, p, 3);
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <int B>
DUVO_PNG_SSE41 inline void StorePixel(std::uint8_t* p, __m128i v, bool last) {
    const std::uint32_t x = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    if (B == 4 || !last)
        std::memcpy(p, &x, 4);
    else
        std::memcpy(p, &x, 3);
}

// Up on any bytes, 16 at a time.
DUVO_PNG_SSE41 inline std::size_t Up16(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev,
                                       std::size_t i, std::size_t n) {
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_add_epi8(x, b));
    }
    return i;
}

}  // namespace duvo::png::x86

#endif
