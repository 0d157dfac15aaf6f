// SSE4.1 unfilters for 3- and 4-byte pixels (8-bit RGB and RGBA, 16-bit
// gray and alpha). Sub adds a row's bytes to their left neighbours as a
// prefix sum, four pixels per register; Average and Paeth depend on the
// pixel just decoded and go pixel by pixel.
#include "codecs/png/png_filter_x86.h"

namespace duvo::png {

#ifdef DUVO_PNG_X86

namespace {

using namespace x86;

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

const Unfilters kSse3{"sse4.1", Sub3Sse, UpSse, AverageSse<3>, PaethSse<3>};
const Unfilters kSse4{"sse4.1", Sub4Sse, UpSse, AverageSse<4>, PaethSse<4>};

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
