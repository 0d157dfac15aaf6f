// What the x86 unfilter files share: the test for building them, their
// target attributes and small pixel loads. Included only by those files.
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

// The Average and Paeth chains, which both vector sets share: each pixel
// needs the one before it, so they go one pixel at a time.
template <int B>
DUVO_PNG_SSE41 inline void AverageChain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev,
                                        std::size_t i, std::size_t n, __m128i a) {
    const __m128i one = _mm_set1_epi8(1);
    for (; i < n; i += B) {
        const bool last = i + B == n;
        const __m128i b = LoadPixel<B>(prev + i, last);
        const __m128i x = LoadPixel<B>(src + i, last);
        // The rounded-up byte average, less the rounding: floor((a + b) / 2).
        const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(x, avg);
        StorePixel<B>(dst + i, a, last);
    }
}

// Paeth without branches, on 16-bit lanes: pa = |b - c| does not depend on
// the pixel to the left, so only pb, pc and the select stay on the chain.
template <int B>
DUVO_PNG_SSE41 inline void PaethChain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev,
                                      std::size_t i, std::size_t n, __m128i a, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_set1_epi16(0xFF);
    for (; i < n; i += B) {
        const bool last = i + B == n;
        const __m128i b = _mm_unpacklo_epi8(LoadPixel<B>(prev + i, last), zero);
        const __m128i x = _mm_unpacklo_epi8(LoadPixel<B>(src + i, last), zero);
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i pa = _mm_abs_epi16(bc);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pb = _mm_abs_epi16(ac);
        const __m128i pc = _mm_abs_epi16(_mm_add_epi16(bc, ac));
        // a unless pa is above pb or pc; then b unless pb is above pc; then c.
        const __m128i notA = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
        const __m128i notB = _mm_cmpgt_epi16(pb, pc);
        const __m128i pred = _mm_blendv_epi8(a, _mm_blendv_epi8(b, c, notB), notA);
        a = _mm_and_si128(_mm_add_epi16(x, pred), low);
        StorePixel<B>(dst + i, _mm_packus_epi16(a, a), last);
        c = b;
    }
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
