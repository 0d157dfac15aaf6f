// AVX2 unfilters for 3- and 4-byte pixels: Up and Sub take eight pixels a
// register (Sub's prefix sum runs in each 128-bit lane, then the low lane's
// last pixel is carried into the high one). Average and Paeth are chains
// of one pixel after the other, bound by the chain's latency, where wider
// registers have nothing to do: this set keeps the SSE4.1 ones. (A Paeth
// that widened b, c, b - c and |b - c| eight pixels at a time ahead of the
// chain and packed the results eight at a time after it measured slower than
// the plain SSE4.1 chain: 0.84 against 1.08 GB/s on 3-byte pixels, 1.22
// against 1.68 GB/s on 4-byte ones, bench_png_decode's Unfilter cases.)
#include "codecs/png/png_filter_x86.h"

namespace duvo::png {

#ifdef DUVO_PNG_X86

namespace {

using namespace x86;

DUVO_PNG_AVX2 void UpAvx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prev + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_add_epi8(x, b));
    }
    i = Up16(dst, src, prev, i, n);
    for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
}

DUVO_PNG_AVX2 void Sub4Avx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t*, std::size_t n) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i pixel3 = _mm256_set1_epi32(3), pixel7 = _mm256_set1_epi32(7);
    __m256i carry = zero;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 8));
        x = _mm256_add_epi8(x, _mm256_blend_epi32(zero, _mm256_permutevar8x32_epi32(x, pixel3), 0xF0));
        x = _mm256_add_epi8(x, carry);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), x);
        carry = _mm256_permutevar8x32_epi32(x, pixel7);
    }
    __m128i a = _mm256_castsi256_si128(carry);
    for (; i < n; i += 4) {
        a = _mm_add_epi8(LoadPixel<4>(src + i, true), a);
        StorePixel<4>(dst + i, a, true);
    }
}

// Eight 3-byte pixels: 24 bytes spread to 12 in each lane, and back.
DUVO_PNG_AVX2 void Sub3Avx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t*, std::size_t n) {
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    const __m256i lastPixel =
        _mm256_broadcastsi128_si256(_mm_setr_epi8(9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9));
    __m256i carry = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 24) {
        __m256i x = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)), spread);
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 3));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 6));
        const __m256i low = _mm256_shuffle_epi8(x, lastPixel);
        x = _mm256_add_epi8(x, _mm256_permute2x128_si256(low, low, 0x08));
        x = _mm256_add_epi8(x, carry);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_permutevar8x32_epi32(x, gather));
        const __m256i high = _mm256_shuffle_epi8(x, lastPixel);
        carry = _mm256_permute2x128_si256(high, high, 0x11);
    }
    __m128i a = _mm256_castsi256_si128(carry);
    for (; i < n; i += 3) {
        const bool last = i + 3 == n;
        a = _mm_add_epi8(LoadPixel<3>(src + i, last), a);
        StorePixel<3>(dst + i, a, last);
    }
}

}  // namespace

const Unfilters* Avx2Unfilters(int pixelBytes) {
    static const bool has = __builtin_cpu_supports("avx2") && Sse41Unfilters(3) && Sse41Unfilters(4);
    if (!has || (pixelBytes != 3 && pixelBytes != 4)) return nullptr;
    // Average and Paeth are the SSE4.1 chains (see above).
    static const Unfilters k3{
        "avx2", Sub3Avx2, UpAvx2, Sse41Unfilters(3)->average, Sse41Unfilters(3)->paeth, Sse41Unfilters(3)->paethPair};
    static const Unfilters k4{
        "avx2", Sub4Avx2, UpAvx2, Sse41Unfilters(4)->average, Sse41Unfilters(4)->paeth, Sse41Unfilters(4)->paethPair};
    return pixelBytes == 3 ? &k3 : &k4;
}

#else

const Unfilters* Avx2Unfilters(int) { return nullptr; }

#endif

}  // namespace duvo::png
