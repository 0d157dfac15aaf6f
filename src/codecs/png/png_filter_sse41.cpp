// SSE4.1 unfilters for 3- and 4-byte pixels (8-bit RGB and RGBA, 16-bit
// gray and alpha). Sub adds a row's bytes to their left neighbours as a
// prefix sum, four pixels per register; Average and Paeth depend on the
// pixel just decoded and go pixel by pixel (png_filter_x86.h).
#include "codecs/png/png_filter_x86.h"

namespace duvo::png {

#ifdef DUVO_PNG_X86

namespace {

using namespace x86;

// Average and Paeth need the pixel before each one, so they go one pixel at
// a time, and what counts is the length of the chain from one pixel to the
// next.
//
// Average works on complements: with ~v = 255 - v, the rounded-up byte
// average of ~a and ~b is ~floor((a + b) / 2), so ~(x + floor((a + b) / 2))
// is that average less x. The chain is then two instructions a pixel.
template <int B>
DUVO_PNG_SSE41 inline void AverageChain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev,
                                        std::size_t i, std::size_t n, __m128i a) {
    const __m128i ones = _mm_set1_epi8(-1);
    __m128i notA = _mm_xor_si128(a, ones);
    for (; i < n; i += B) {
        const bool last = i + B == n;
        const __m128i notB = _mm_xor_si128(LoadPixel<B>(prev + i, last), ones);
        notA = _mm_sub_epi8(_mm_avg_epu8(notA, notB), LoadPixel<B>(src + i, last));
        StorePixel<B>(dst + i, _mm_xor_si128(notA, ones), last);
    }
}

// Paeth without branches, on 16-bit lanes. pa = |b - c| does not hang on
// the pixel to the left, and neither do x + b and x + c, so the chain holds
// only pb, pc, two compares and two selects: the sum x + predictor is
// selected among x + a, x + b and x + c rather than added after the select.
// Byte adds on 16-bit lanes whose high bytes are zero wrap each sum to 8
// bits and leave the high bytes zero.
DUVO_PNG_SSE41 inline __m128i PaethStep(__m128i a, __m128i c, __m128i b, __m128i bc, __m128i pa, __m128i x) {
    const __m128i ac = _mm_sub_epi16(a, c);
    const __m128i pb = _mm_abs_epi16(ac);
    const __m128i pc = _mm_abs_epi16(_mm_add_epi16(bc, ac));
    // a unless pa is above pb or pc; then b unless pb is above pc; then c.
    const __m128i notA = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
    const __m128i notB = _mm_cmpgt_epi16(pb, pc);
    const __m128i bOrC = _mm_blendv_epi8(_mm_add_epi8(x, b), _mm_add_epi8(x, c), notB);
    return _mm_blendv_epi8(_mm_add_epi8(x, a), bOrC, notA);
}

template <int B>
DUVO_PNG_SSE41 inline void PaethChain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev,
                                      std::size_t i, std::size_t n, __m128i a, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    for (; i < n; i += B) {
        const bool last = i + B == n;
        const __m128i b = _mm_unpacklo_epi8(LoadPixel<B>(prev + i, last), zero);
        const __m128i x = _mm_unpacklo_epi8(LoadPixel<B>(src + i, last), zero);
        const __m128i bc = _mm_sub_epi16(b, c);
        a = PaethStep(a, c, b, bc, _mm_abs_epi16(bc), x);
        StorePixel<B>(dst + i, _mm_packus_epi16(a, a), last);
        c = b;
    }
}

DUVO_PNG_SSE41 void UpSse(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    std::size_t i = Up16(dst, src, prev, 0, n);
    for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
}

// Four pixels a register: two shifted adds make each byte the sum of its
// pixel and those to its left, then the last pixel before them is added.
DUVO_PNG_SSE41 void Sub4Sse(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t*, std::size_t n) {
    __m128i carry = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi8(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
        carry = _mm_shuffle_epi32(x, 0xFF);
    }
    for (; i < n; i += 4) {
        carry = _mm_add_epi8(LoadPixel<4>(src + i, true), carry);
        StorePixel<4>(dst + i, carry, true);
    }
}

// Four 3-byte pixels in the low 12 bytes; the 16-byte store's last four
// bytes are junk that the next step overwrites, so it runs while 16 bytes
// fit in the row.
DUVO_PNG_SSE41 void Sub3Sse(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t*, std::size_t n) {
    const __m128i lastPixel = _mm_setr_epi8(9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9);
    __m128i carry = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 12) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 3));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 6));
        x = _mm_add_epi8(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
        carry = _mm_shuffle_epi8(x, lastPixel);
    }
    for (; i < n; i += 3) {
        const bool last = i + 3 == n;
        carry = _mm_add_epi8(LoadPixel<3>(src + i, last), carry);
        StorePixel<3>(dst + i, carry, last);
    }
}

template <int B>
DUVO_PNG_SSE41 void AverageSse(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    AverageChain<B>(dst, src, prev, 0, n, _mm_setzero_si128());
}

template <int B>
DUVO_PNG_SSE41 void PaethSse(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    PaethChain<B>(dst, src, prev, 0, n, _mm_setzero_si128(), _mm_setzero_si128());
}

// Row 0's pixel k, then row 1's pixel k - 1, whose pixel above is row 0's
// pixel k - 1, still in a register: two chains that do not wait for each
// other.
template <int B>
DUVO_PNG_SSE41 void PaethPairSse(std::uint8_t* dst0, std::uint8_t* dst1, const std::uint8_t* src0,
                                 const std::uint8_t* src1, const std::uint8_t* prev, std::size_t n) {
    const __m128i zero = _mm_setzero_si128();
    const std::size_t pixels = n / B;
    // Row 0: left a0, above-left c0. Row 1: left a1, above-left c1.
    __m128i a0 = zero, c0 = zero, a1 = zero, c1 = zero;
    for (std::size_t k = 0; k <= pixels; ++k) {
        const __m128i above1 = a0;  // row 0's pixel k - 1
        if (k < pixels) {
            const std::size_t i = k * B;
            const bool last = k + 1 == pixels;
            const __m128i b = _mm_unpacklo_epi8(LoadPixel<B>(prev + i, last), zero);
            const __m128i x = _mm_unpacklo_epi8(LoadPixel<B>(src0 + i, last), zero);
            const __m128i bc = _mm_sub_epi16(b, c0);
            a0 = PaethStep(a0, c0, b, bc, _mm_abs_epi16(bc), x);
            StorePixel<B>(dst0 + i, _mm_packus_epi16(a0, a0), last);
            c0 = b;
        }
        if (k > 0) {
            const std::size_t i = (k - 1) * B;
            const bool last = k == pixels;
            const __m128i x = _mm_unpacklo_epi8(LoadPixel<B>(src1 + i, last), zero);
            const __m128i bc = _mm_sub_epi16(above1, c1);
            a1 = PaethStep(a1, c1, above1, bc, _mm_abs_epi16(bc), x);
            StorePixel<B>(dst1 + i, _mm_packus_epi16(a1, a1), last);
            c1 = above1;
        }
    }
}

const Unfilters kSse3{"sse4.1", Sub3Sse, UpSse, AverageSse<3>, PaethSse<3>, PaethPairSse<3>};
const Unfilters kSse4{"sse4.1", Sub4Sse, UpSse, AverageSse<4>, PaethSse<4>, PaethPairSse<4>};

}  // namespace

const Unfilters* Sse41Unfilters(int pixelBytes) {
    static const bool has = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
    if (!has) return nullptr;
    return pixelBytes == 3 ? &kSse3 : pixelBytes == 4 ? &kSse4 : nullptr;
}

#else

const Unfilters* Sse41Unfilters(int) { return nullptr; }

#endif

}  // namespace duvo::png
