// AVX2 versions of the run kernels, 32 pixels at a time: two runs of 16 side
// by side, one in each 128-bit lane, so that the byte shuffles (which stay
// within a lane) work as in the SSE4.1 ones. The rest of a run goes to those.
#include "compare/compare_rows_x86.h"

namespace duvo::compare_rows {

#ifdef DUVO_COMPARE_X86

namespace {

DUVO_TARGET_AVX2 inline __m256i ToLanes2(__m256i bytes) {
    const __m128i m = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    return _mm256_shuffle_epi8(bytes, _mm256_broadcastsi128_si256(m));
}

DUVO_TARGET_AVX2 inline __m256i LoadPair(const std::uint8_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
}

// Pixels 0-15 in the low lanes, 16-31 in the high lanes, from 96 bytes.
struct Colors32 {
    __m256i c[4];
};

DUVO_TARGET_AVX2 inline Colors32 Load32(const std::uint8_t* p) {
    const __m256i in0 = LoadPair(p);
    const __m256i in1 = LoadPair(p + 16);
    const __m256i in2 = LoadPair(p + 32);
    return {{ToLanes2(in0), ToLanes2(_mm256_alignr_epi8(in1, in0, 12)), ToLanes2(_mm256_alignr_epi8(in2, in1, 8)),
             ToLanes2(_mm256_srli_si256(in2, 4))}};
}

DUVO_TARGET_AVX2 inline __m256i Similarity2(__m256i ca, __m256i cb) {
    return _mm256_sub_epi32(_mm256_set1_epi32(0xFFFFFF), _mm256_abs_epi32(_mm256_sub_epi32(ca, cb)));
}

DUVO_TARGET_AVX2 inline __m256i Bin2(__m256i v) {
    const __m256i x = _mm256_mullo_epi32(v, _mm256_set1_epi32(100));
    const __m256i q = _mm256_srli_epi32(x, 24);
    const __m256i r = _mm256_and_si256(x, _mm256_set1_epi32(0xFFFFFF));
    return _mm256_sub_epi32(q, _mm256_cmpgt_epi32(_mm256_add_epi32(q, r), _mm256_set1_epi32(0xFFFFFE)));
}

DUVO_TARGET_AVX2 inline void Store32(__m256i v0, __m256i v1, __m256i v2, __m256i v3, std::uint8_t* out,
                                     std::uint8_t* bins) {
    // Packing works within lanes, which keeps pixels 0-15 low and 16-31 high.
    const __m256i packed =
        _mm256_packus_epi16(_mm256_packs_epi32(Bin2(v0), Bin2(v1)), _mm256_packs_epi32(Bin2(v2), Bin2(v3)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bins), packed);
    const __m128i m = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i toPixels = _mm256_broadcastsi128_si256(m);
    const __m256i p0 = _mm256_shuffle_epi8(v0, toPixels);
    const __m256i p1 = _mm256_shuffle_epi8(v1, toPixels);
    const __m256i p2 = _mm256_shuffle_epi8(v2, toPixels);
    const __m256i p3 = _mm256_shuffle_epi8(v3, toPixels);
    const __m256i o0 = _mm256_or_si256(p0, _mm256_slli_si256(p1, 12));
    const __m256i o1 = _mm256_or_si256(_mm256_srli_si256(p1, 4), _mm256_slli_si256(p2, 8));
    const __m256i o2 = _mm256_or_si256(_mm256_srli_si256(p2, 8), _mm256_slli_si256(p3, 4));
    // Low lanes hold bytes 0-47, high lanes bytes 48-95.
    auto* o = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(o, _mm256_permute2x128_si256(o0, o1, 0x20));
    _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(o2, o0, 0x30));
    _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(o1, o2, 0x31));
}

// Colors p[0..3] low and p[16..19] high.
DUVO_TARGET_AVX2 inline __m256i LoadSplit(const std::uint32_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), 1);
}

}  // namespace

namespace x86 {

DUVO_TARGET_AVX2 void DiffAndBinAvx2(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out,
                                     std::uint8_t* bins, int n) {
    // Lane order: pixels i..i+3 and i+16..i+19 in the first register, and so on.
    int i = 0;
    for (; i + 32 <= n; i += 32)
        Store32(Similarity2(LoadSplit(a + i), LoadSplit(b + i)),
                Similarity2(LoadSplit(a + i + 4), LoadSplit(b + i + 4)),
                Similarity2(LoadSplit(a + i + 8), LoadSplit(b + i + 8)),
                Similarity2(LoadSplit(a + i + 12), LoadSplit(b + i + 12)), out + 3 * i, bins + i);
    if (i < n) DiffAndBinSse(a + i, b + i, out + 3 * i, bins + i, n - i);
}

DUVO_TARGET_AVX2 void DiffAndBin24Avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                                       std::uint8_t* bins, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        _mm_prefetch(reinterpret_cast<const char*>(a + 3 * i + 1024), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(a + 3 * i + 1024 + 64), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(b + 3 * i + 1024), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(b + 3 * i + 1024 + 64), _MM_HINT_T0);
        const Colors32 ca = Load32(a + 3 * i);
        const Colors32 cb = Load32(b + 3 * i);
        Store32(Similarity2(ca.c[0], cb.c[0]), Similarity2(ca.c[1], cb.c[1]), Similarity2(ca.c[2], cb.c[2]),
                Similarity2(ca.c[3], cb.c[3]), out + 3 * i, bins + i);
    }
    if (i < n) DiffAndBin24Sse(a + 3 * i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

DUVO_TARGET_AVX2 void DiffAndBinMixedAvx2(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out,
                                          std::uint8_t* bins, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        _mm_prefetch(reinterpret_cast<const char*>(b + 3 * i + 1024), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(b + 3 * i + 1024 + 64), _MM_HINT_T0);
        const Colors32 cb = Load32(b + 3 * i);
        Store32(Similarity2(LoadSplit(a + i), cb.c[0]), Similarity2(LoadSplit(a + i + 4), cb.c[1]),
                Similarity2(LoadSplit(a + i + 8), cb.c[2]), Similarity2(LoadSplit(a + i + 12), cb.c[3]), out + 3 * i,
                bins + i);
    }
    if (i < n) DiffAndBinMixedSse(a + i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

}  // namespace x86

const Kernels* Avx2Kernels() {
    // Unpacking gains nothing from the wider registers; no 8-bit decoder of its own.
    static const Kernels k{"avx2",
                           x86::Unpack24Sse,
                           x86::DiffAndBinAvx2,
                           x86::DiffAndBin24Avx2,
                           x86::DiffAndBinMixedAvx2,
                           ScalarKernels().decode8};
    return __builtin_cpu_supports("avx2") ? &k : nullptr;
}

#else

const Kernels* Avx2Kernels() { return nullptr; }

#endif

}  // namespace duvo::compare_rows
