// AVX2 unfilters for 3- and 4-byte pixels. Up and Sub take eight pixels a
// register (Sub's prefix sum runs in each 128-bit lane, then the low lane's
// last pixel is carried into the high one). Paeth stays a chain of one
// pixel after another, but everything in it that does not hang on the pixel
// to the left (the pixels above widened to 16 bits, b - c, |b - c|) is done
// eight pixels at a time beforehand, and the results are packed eight at a
// time afterwards, so the chain itself holds only its arithmetic. Average's
// chain is four byte operations with nothing to take out of it; it is the
// SSE4.1 one, built here with the VEX encoding.
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

template <int B>
DUVO_PNG_AVX2 void AverageAvx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    AverageChain<B>(dst, src, prev, 0, n, _mm_setzero_si128());
}

// Four pixels of 16 bytes (B = 4) or 12 bytes (B = 3) as four 16-bit lanes
// each, the fourth lane of a 3-byte pixel zero.
template <int B>
DUVO_PNG_AVX2 inline __m256i Widen4(const std::uint8_t* p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (B == 3) v = _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    return _mm256_cvtepu8_epi16(v);
}

template <int B>
DUVO_PNG_AVX2 void PaethAvx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    if (n <= B) {
        PaethChain<B>(dst, src, prev, 0, n, _mm_setzero_si128(), _mm_setzero_si128());
        return;
    }
    // The first pixel predicts from above alone.
    PaethChain<B>(dst, src, prev, 0, B, _mm_setzero_si128(), _mm_setzero_si128());
    const __m128i zero = _mm_setzero_si128();
    __m128i a = _mm_unpacklo_epi8(LoadPixel<B>(dst, false), zero);
    __m128i c = _mm_unpacklo_epi8(LoadPixel<B>(prev, false), zero);
    const __m128i low = _mm_set1_epi16(0xFF);
    alignas(32) std::int16_t above[32], aboveLess[32], pa[32], x[32], out[32];
    std::size_t i = B;
    // Loads of 16 bytes from i - B to i + 4 * B + 16, and a 32-byte store.
    for (; i + 32 <= n; i += 8 * B) {
        for (int h = 0; h < 2; ++h) {
            const std::size_t at = i + static_cast<std::size_t>(4 * B * h);
            const __m256i b4 = Widen4<B>(prev + at);
            const __m256i bc4 = _mm256_sub_epi16(b4, Widen4<B>(prev + at - B));
            _mm256_store_si256(reinterpret_cast<__m256i*>(above + 16 * h), b4);
            _mm256_store_si256(reinterpret_cast<__m256i*>(aboveLess + 16 * h), bc4);
            _mm256_store_si256(reinterpret_cast<__m256i*>(pa + 16 * h), _mm256_abs_epi16(bc4));
            _mm256_store_si256(reinterpret_cast<__m256i*>(x + 16 * h), Widen4<B>(src + at));
        }
        for (int k = 0; k < 32; k += 4) {
            const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(above + k));
            const __m128i bc = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(aboveLess + k));
            const __m128i ac = _mm_sub_epi16(a, c);
            const __m128i pb = _mm_abs_epi16(ac);
            const __m128i pc = _mm_abs_epi16(_mm_add_epi16(bc, ac));
            const __m128i notA =
                _mm_cmpgt_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pa + k)), _mm_min_epi16(pb, pc));
            const __m128i notB = _mm_cmpgt_epi16(pb, pc);
            const __m128i pred = _mm_blendv_epi8(a, _mm_blendv_epi8(b, c, notB), notA);
            a = _mm_and_si128(_mm_add_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + k)), pred), low);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), a);
            c = b;
        }
        const __m256i packed =
            _mm256_permute4x64_epi64(_mm256_packus_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(out)),
                                                         _mm256_load_si256(reinterpret_cast<const __m256i*>(out + 16))),
                                     0xD8);
        if (B == 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
        } else {
            const __m256i squeeze = _mm256_shuffle_epi8(
                packed,
                _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                                _mm256_permutevar8x32_epi32(squeeze, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7)));
        }
    }
    PaethChain<B>(dst, src, prev, i, n, a, c);
}

const Unfilters kAvx3{"avx2", Sub3Avx2, UpAvx2, AverageAvx2<3>, PaethAvx2<3>};
const Unfilters kAvx4{"avx2", Sub4Avx2, UpAvx2, AverageAvx2<4>, PaethAvx2<4>};

}  // namespace

const Unfilters* Avx2Unfilters(int pixelBytes) {
    static const bool has = __builtin_cpu_supports("avx2");
    if (!has) return nullptr;
    return pixelBytes == 3 ? &kAvx3 : pixelBytes == 4 ? &kAvx4 : nullptr;
}

#else

const Unfilters* Avx2Unfilters(int) { return nullptr; }

#endif

}  // namespace duvo::png
