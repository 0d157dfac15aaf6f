// SSE4.1 versions of the run kernels, 16 pixels at a time; the rest of a run
// goes to the plain ones.
#include "compare/compare_rows_x86.h"

namespace duvo::compare_rows {

#ifdef DUVO_COMPARE_X86

namespace {

// Memory holds B, G, R; a lane wants R, G, B, 0.
DUVO_TARGET_SSE41 inline __m128i ToLanes(__m128i bytes) {
    return _mm_shuffle_epi8(bytes, _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1));
}

// Packed colors of 16 pixels from 48 bytes, read exactly.
struct Colors16 {
    __m128i c[4];
};

DUVO_TARGET_SSE41 inline Colors16 Load16(const std::uint8_t* p) {
    const __m128i in0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i in1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i in2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    return {{ToLanes(in0), ToLanes(_mm_alignr_epi8(in1, in0, 12)), ToLanes(_mm_alignr_epi8(in2, in1, 8)),
             ToLanes(_mm_srli_si128(in2, 4))}};
}

// v of four pixel pairs.
DUVO_TARGET_SSE41 inline __m128i Similarity(__m128i ca, __m128i cb) {
    return _mm_sub_epi32(_mm_set1_epi32(0xFFFFFF), _mm_abs_epi32(_mm_sub_epi32(ca, cb)));
}

// floor(x / (2^24 - 1)) for x = 100 v < 2^31: with x = q 2^24 + r it is q,
// plus one when q + r reaches 2^24 - 1.
DUVO_TARGET_SSE41 inline __m128i Bin(__m128i v) {
    const __m128i x = _mm_mullo_epi32(v, _mm_set1_epi32(100));
    const __m128i q = _mm_srli_epi32(x, 24);
    const __m128i r = _mm_and_si128(x, _mm_set1_epi32(0xFFFFFF));
    return _mm_sub_epi32(q, _mm_cmpgt_epi32(_mm_add_epi32(q, r), _mm_set1_epi32(0xFFFFFE)));
}

// Writes the similarity values of 16 pixels as 48 bytes of B, G, R and
// their bins as 16 bytes.
DUVO_TARGET_SSE41 inline void Store16(__m128i v0, __m128i v1, __m128i v2, __m128i v3, std::uint8_t* out,
                                      std::uint8_t* bins) {
    const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(Bin(v0), Bin(v1)), _mm_packs_epi32(Bin(v2), Bin(v3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bins), packed);
    // A lane holds R, G, B, 0; the picture wants B, G, R. Four runs of 12
    // bytes become three full stores.
    const __m128i toPixels = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i p0 = _mm_shuffle_epi8(v0, toPixels);
    const __m128i p1 = _mm_shuffle_epi8(v1, toPixels);
    const __m128i p2 = _mm_shuffle_epi8(v2, toPixels);
    const __m128i p3 = _mm_shuffle_epi8(v3, toPixels);
    auto* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_or_si128(p0, _mm_slli_si128(p1, 12)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(p1, 4), _mm_slli_si128(p2, 8)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(p2, 8), _mm_slli_si128(p3, 4)));
}

}  // namespace

namespace x86 {

DUVO_TARGET_SSE41 void Unpack24Sse(const std::uint8_t* src, std::uint32_t* dst, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const Colors16 c = Load16(src + 3 * i);
        auto* d = reinterpret_cast<__m128i*>(dst + i);
        _mm_storeu_si128(d, c.c[0]);
        _mm_storeu_si128(d + 1, c.c[1]);
        _mm_storeu_si128(d + 2, c.c[2]);
        _mm_storeu_si128(d + 3, c.c[3]);
    }
    if (i < n) ScalarKernels().unpack24(src + 3 * i, dst + i, n - i);
}

DUVO_TARGET_SSE41 void DiffAndBinSse(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out,
                                     std::uint8_t* bins, int n) {
    auto load = [](const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    int i = 0;
    for (; i + 16 <= n; i += 16)
        Store16(Similarity(load(a + i), load(b + i)), Similarity(load(a + i + 4), load(b + i + 4)),
                Similarity(load(a + i + 8), load(b + i + 8)), Similarity(load(a + i + 12), load(b + i + 12)),
                out + 3 * i, bins + i);
    if (i < n) ScalarKernels().diffAndBin(a + i, b + i, out + 3 * i, bins + i, n - i);
}

DUVO_TARGET_SSE41 void DiffAndBin24Sse(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                                       std::uint8_t* bins, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const Colors16 ca = Load16(a + 3 * i);
        const Colors16 cb = Load16(b + 3 * i);
        Store16(Similarity(ca.c[0], cb.c[0]), Similarity(ca.c[1], cb.c[1]), Similarity(ca.c[2], cb.c[2]),
                Similarity(ca.c[3], cb.c[3]), out + 3 * i, bins + i);
    }
    if (i < n) ScalarKernels().diffAndBin24(a + 3 * i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

DUVO_TARGET_SSE41 void DiffAndBinMixedSse(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out,
                                          std::uint8_t* bins, int n) {
    auto load = [](const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const Colors16 cb = Load16(b + 3 * i);
        Store16(Similarity(load(a + i), cb.c[0]), Similarity(load(a + i + 4), cb.c[1]),
                Similarity(load(a + i + 8), cb.c[2]), Similarity(load(a + i + 12), cb.c[3]), out + 3 * i, bins + i);
    }
    if (i < n) ScalarKernels().diffAndBinMixed(a + i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

}  // namespace x86

const Kernels* Sse41Kernels() {
    // No 8-bit decoder of its own: the plain one.
    static const Kernels k{"sse4.1",
                           x86::Unpack24Sse,
                           x86::DiffAndBinSse,
                           x86::DiffAndBin24Sse,
                           x86::DiffAndBinMixedSse,
                           ScalarKernels().decode8};
    static const bool available = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    return available ? &k : nullptr;
}

#else

const Kernels* Sse41Kernels() { return nullptr; }

#endif

}  // namespace duvo::compare_rows
