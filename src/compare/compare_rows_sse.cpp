// Vector versions of the run kernels: SSE4.1, 16 pixels at a time, and AVX2,
// 32 at a time, each handing its rest to the narrower one. Built for every
// x86-64 processor and chosen at run time.
#include "compare/compare_rows.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DUVO_COMPARE_SSE 1
#include <immintrin.h>
#endif

namespace duvo::compare_rows {

#ifdef DUVO_COMPARE_SSE

namespace {

#define DUVO_SSE __attribute__((target("ssse3,sse4.1")))

// Memory holds B, G, R; a lane wants R, G, B, 0.
DUVO_SSE inline __m128i ToLanes(__m128i bytes) {
    return _mm_shuffle_epi8(bytes, _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1));
}

// Packed colors of 16 pixels from 48 bytes, read exactly.
struct Colors16 {
    __m128i c[4];
};
DUVO_SSE inline Colors16 Load16(const std::uint8_t* p) {
    const __m128i in0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i in1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i in2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    return {{ToLanes(in0), ToLanes(_mm_alignr_epi8(in1, in0, 12)), ToLanes(_mm_alignr_epi8(in2, in1, 8)),
             ToLanes(_mm_srli_si128(in2, 4))}};
}

DUVO_SSE void Unpack24Sse(const std::uint8_t* src, std::uint32_t* dst, int n) {
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

// v of four pixel pairs.
DUVO_SSE inline __m128i Similarity(__m128i ca, __m128i cb) {
    return _mm_sub_epi32(_mm_set1_epi32(0xFFFFFF), _mm_abs_epi32(_mm_sub_epi32(ca, cb)));
}

// floor(x / (2^24 - 1)) for x = 100 v < 2^31: with x = q 2^24 + r it is q,
// plus one when q + r reaches 2^24 - 1.
DUVO_SSE inline __m128i Bin(__m128i v) {
    const __m128i x = _mm_mullo_epi32(v, _mm_set1_epi32(100));
    const __m128i q = _mm_srli_epi32(x, 24);
    const __m128i r = _mm_and_si128(x, _mm_set1_epi32(0xFFFFFF));
    return _mm_sub_epi32(q, _mm_cmpgt_epi32(_mm_add_epi32(q, r), _mm_set1_epi32(0xFFFFFE)));
}

// Writes the similarity values of 16 pixels as 48 bytes of B, G, R and
// their bins as 16 bytes.
DUVO_SSE inline void Store16(__m128i v0, __m128i v1, __m128i v2, __m128i v3, std::uint8_t* out, std::uint8_t* bins) {
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

DUVO_SSE void DiffAndBinSse(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out, std::uint8_t* bins,
                            int n) {
    auto load = [](const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    int i = 0;
    for (; i + 16 <= n; i += 16)
        Store16(Similarity(load(a + i), load(b + i)), Similarity(load(a + i + 4), load(b + i + 4)),
                Similarity(load(a + i + 8), load(b + i + 8)), Similarity(load(a + i + 12), load(b + i + 12)),
                out + 3 * i, bins + i);
    if (i < n) ScalarKernels().diffAndBin(a + i, b + i, out + 3 * i, bins + i, n - i);
}

DUVO_SSE void DiffAndBin24Sse(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins,
                              int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const Colors16 ca = Load16(a + 3 * i);
        const Colors16 cb = Load16(b + 3 * i);
        Store16(Similarity(ca.c[0], cb.c[0]), Similarity(ca.c[1], cb.c[1]), Similarity(ca.c[2], cb.c[2]),
                Similarity(ca.c[3], cb.c[3]), out + 3 * i, bins + i);
    }
    if (i < n) ScalarKernels().diffAndBin24(a + 3 * i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

DUVO_SSE void DiffAndBinMixedSse(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins,
                                 int n) {
    auto load = [](const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const Colors16 cb = Load16(b + 3 * i);
        Store16(Similarity(load(a + i), cb.c[0]), Similarity(load(a + i + 4), cb.c[1]),
                Similarity(load(a + i + 8), cb.c[2]), Similarity(load(a + i + 12), cb.c[3]), out + 3 * i, bins + i);
    }
    if (i < n) ScalarKernels().diffAndBinMixed(a + i, b + 3 * i, out + 3 * i, bins + i, n - i);
}

// ---- AVX2: two runs of 16 pixels side by side, one in each 128-bit lane,
// so that the byte shuffles (which stay within a lane) work as above.

#define DUVO_AVX2 __attribute__((target("avx2")))

DUVO_AVX2 inline __m256i ToLanes2(__m256i bytes) {
    const __m128i m = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    return _mm256_shuffle_epi8(bytes, _mm256_broadcastsi128_si256(m));
}

DUVO_AVX2 inline __m256i LoadPair(const std::uint8_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
}

// Pixels 0-15 in the low lanes, 16-31 in the high lanes, from 96 bytes.
struct Colors32 {
    __m256i c[4];
};
DUVO_AVX2 inline Colors32 Load32(const std::uint8_t* p) {
    const __m256i in0 = LoadPair(p);
    const __m256i in1 = LoadPair(p + 16);
    const __m256i in2 = LoadPair(p + 32);
    return {{ToLanes2(in0), ToLanes2(_mm256_alignr_epi8(in1, in0, 12)), ToLanes2(_mm256_alignr_epi8(in2, in1, 8)),
             ToLanes2(_mm256_srli_si256(in2, 4))}};
}

DUVO_AVX2 inline __m256i Similarity2(__m256i ca, __m256i cb) {
    return _mm256_sub_epi32(_mm256_set1_epi32(0xFFFFFF), _mm256_abs_epi32(_mm256_sub_epi32(ca, cb)));
}

DUVO_AVX2 inline __m256i Bin2(__m256i v) {
    const __m256i x = _mm256_mullo_epi32(v, _mm256_set1_epi32(100));
    const __m256i q = _mm256_srli_epi32(x, 24);
    const __m256i r = _mm256_and_si256(x, _mm256_set1_epi32(0xFFFFFF));
    return _mm256_sub_epi32(q, _mm256_cmpgt_epi32(_mm256_add_epi32(q, r), _mm256_set1_epi32(0xFFFFFE)));
}

DUVO_AVX2 inline void Store32(__m256i v0, __m256i v1, __m256i v2, __m256i v3, std::uint8_t* out, std::uint8_t* bins) {
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

DUVO_AVX2 void DiffAndBin24Avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins,
                                int n) {
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

// Colors p[0..3] low and p[16..19] high.
DUVO_AVX2 inline __m256i LoadSplit(const std::uint32_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), 1);
}

DUVO_AVX2 void DiffAndBinAvx2(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out, std::uint8_t* bins,
                              int n) {
    // Lane order: pixels i..i+3 and i+16..i+19 in the first register, and so on.
    int i = 0;
    for (; i + 32 <= n; i += 32)
        Store32(Similarity2(LoadSplit(a + i), LoadSplit(b + i)), Similarity2(LoadSplit(a + i + 4), LoadSplit(b + i + 4)),
                Similarity2(LoadSplit(a + i + 8), LoadSplit(b + i + 8)),
                Similarity2(LoadSplit(a + i + 12), LoadSplit(b + i + 12)), out + 3 * i, bins + i);
    if (i < n) DiffAndBinSse(a + i, b + i, out + 3 * i, bins + i, n - i);
}

DUVO_AVX2 void DiffAndBinMixedAvx2(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out,
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

#undef DUVO_AVX2

// ---- AVX-512 VBMI: 64 indices at a time, each color channel looked up as
// bytes in its 256-byte plane (two 128-byte permutes and a blend on the top
// index bit), then interleaved into packed colors.

#define DUVO_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

DUVO_VBMI void Decode8Vbmi(const ColorTable& table, const std::uint8_t* src, std::uint32_t* dst, int n) {
    __m512i plane[3][4];
    for (int c = 0; c < 3; ++c)
        for (int q = 0; q < 4; ++q) plane[c][q] = _mm512_load_si512(table.planes[c].data() + 64 * q);
    // The interleaving below leaves 128-bit lane L of output k with source
    // bytes 16 L + 4 k ...; this order of the indices makes that pixels
    // 16 k + 4 L ..., so the outputs come out in pixel order.
    alignas(64) std::uint8_t order[64];
    for (int l = 0; l < 4; ++l)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j) order[16 * l + 4 * k + j] = static_cast<std::uint8_t>(16 * k + 4 * l + j);
    const __m512i reorder = _mm512_load_si512(order);
    const __m512i zero = _mm512_setzero_si512();
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        // (The zero-masking form: the plain one trips a false warning in GCC's header.)
        const __m512i idx = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, reorder, _mm512_loadu_si512(src + i));
        const __mmask64 high = _mm512_movepi8_mask(idx);
        __m512i ch[3];
        for (int c = 0; c < 3; ++c)
            ch[c] = _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(plane[c][0], idx, plane[c][1]),
                                           _mm512_permutex2var_epi8(plane[c][2], idx, plane[c][3]));
        const __m512i rgLow = _mm512_unpacklo_epi8(ch[0], ch[1]);
        const __m512i rgHigh = _mm512_unpackhi_epi8(ch[0], ch[1]);
        const __m512i bLow = _mm512_unpacklo_epi8(ch[2], zero);
        const __m512i bHigh = _mm512_unpackhi_epi8(ch[2], zero);
        _mm512_storeu_si512(dst + i, _mm512_unpacklo_epi16(rgLow, bLow));
        _mm512_storeu_si512(dst + i + 16, _mm512_unpackhi_epi16(rgLow, bLow));
        _mm512_storeu_si512(dst + i + 32, _mm512_unpacklo_epi16(rgHigh, bHigh));
        _mm512_storeu_si512(dst + i + 48, _mm512_unpackhi_epi16(rgHigh, bHigh));
    }
    if (i < n) ScalarKernels().decode8(table, src + i, dst + i, n - i);
}

#undef DUVO_VBMI

const Kernels kAvx2{"avx2", Unpack24Sse, DiffAndBinAvx2, DiffAndBin24Avx2, DiffAndBinMixedAvx2, nullptr};
const Kernels kAvx512Vbmi{"avx2+avx512vbmi", Unpack24Sse, DiffAndBinAvx2, DiffAndBin24Avx2, DiffAndBinMixedAvx2,
                          Decode8Vbmi};

#undef DUVO_SSE

const Kernels kSse{"sse4.1", Unpack24Sse, DiffAndBinSse, DiffAndBin24Sse, DiffAndBinMixedSse, nullptr};

// The plain 8-bit decoder where a set has none of its own.
Kernels WithPlainDecode8(Kernels k) {
    if (!k.decode8) k.decode8 = ScalarKernels().decode8;
    return k;
}

}  // namespace

const Kernels* Sse41Kernels() {
    static const Kernels k = WithPlainDecode8(kSse);
    static const bool available = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    return available ? &k : nullptr;
}

const Kernels* Avx2Kernels() {
    static const Kernels k = WithPlainDecode8(kAvx2);
    return __builtin_cpu_supports("avx2") ? &k : nullptr;
}

const Kernels* Avx512VbmiKernels() {
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
    return available ? &kAvx512Vbmi : nullptr;
}

const Kernels* VectorKernels() {
    static const Kernels* best = Avx512VbmiKernels() ? Avx512VbmiKernels()
                                 : Avx2Kernels()     ? Avx2Kernels()
                                                     : Sse41Kernels();
    return best;
}

#else

const Kernels* VectorKernels() { return nullptr; }
const Kernels* Sse41Kernels() { return nullptr; }
const Kernels* Avx2Kernels() { return nullptr; }
const Kernels* Avx512VbmiKernels() { return nullptr; }

#endif

}  // namespace duvo::compare_rows
