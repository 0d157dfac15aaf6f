// AVX-512 versions of the threshold kernels: the AVX2 ones sixteen colors at
// a time, with masked loads and stores for the end of a run. Compiled for
// AVX-512 F, BW and VL whatever the build's flags, and chosen at run time.
#include "compare/perceptual_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// GCC 12's AVX-512 intrinsics start from _mm512_undefined_*() and then warn
// that it may be used uninitialised (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define DUVO_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma")))

namespace duvo::perceptual::detail {

namespace {

struct Lab16 {
    __m512 L, a, b;
};

DUVO_TARGET_AVX512 inline __attribute__((always_inline)) __m512 Cbrt16(__m512 x) {
    const __m512 third = _mm512_set1_ps(1.0f / 3);
    const __m512i bits = _mm512_castps_si512(x);
    const __m512i guess = _mm512_sub_epi32(_mm512_set1_epi32(static_cast<int>(kCbrtMagic)),
                                           _mm512_cvttps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(bits), third)));
    __m512 r = _mm512_castsi512_ps(guess);
    const __m512 one = _mm512_set1_ps(1.0f), twoNinths = _mm512_set1_ps(2.0f / 9);
    for (int i = 0; i < 2; ++i) {
        // x first: for black the guess is huge and r³ alone would overflow.
        const __m512 e = _mm512_sub_ps(one, _mm512_mul_ps(_mm512_mul_ps(_mm512_mul_ps(x, r), r), r));
        r = _mm512_mul_ps(r, _mm512_fmadd_ps(e, _mm512_fmadd_ps(e, twoNinths, third), one));
    }
    return _mm512_mul_ps(_mm512_mul_ps(x, r), r);
}

DUVO_TARGET_AVX512 inline __attribute__((always_inline)) __m512 Row3(const float* m, __m512 x, __m512 y, __m512 z) {
    return _mm512_fmadd_ps(_mm512_set1_ps(m[2]), z,
                           _mm512_fmadd_ps(_mm512_set1_ps(m[1]), y, _mm512_mul_ps(_mm512_set1_ps(m[0]), x)));
}

// Colors above 0xFFFFFF would index past the table; the engine never makes
// them, and masking keeps a stray one harmless.
DUVO_TARGET_AVX512 inline __attribute__((always_inline)) Lab16 ToLab16(__m512i c, const float* lin) {
    const __m512i byte = _mm512_set1_epi32(0xFF);
    const __m512 r = _mm512_i32gather_ps(_mm512_and_si512(c, byte), lin, 4);
    const __m512 g = _mm512_i32gather_ps(_mm512_and_si512(_mm512_srli_epi32(c, 8), byte), lin, 4);
    const __m512 b = _mm512_i32gather_ps(_mm512_and_si512(_mm512_srli_epi32(c, 16), byte), lin, 4);
    const __m512 l = Cbrt16(Row3(kM1, r, g, b));
    const __m512 m = Cbrt16(Row3(kM1 + 3, r, g, b));
    const __m512 s = Cbrt16(Row3(kM1 + 6, r, g, b));
    const __m512 L = Row3(kM2, l, m, s);
    const __m512 x =
        _mm512_fmsub_ps(_mm512_set1_ps(static_cast<float>(kToeK3)), L, _mm512_set1_ps(static_cast<float>(kToeK1)));
    const __m512 root = _mm512_sqrt_ps(
        _mm512_fmadd_ps(x, x, _mm512_mul_ps(_mm512_set1_ps(static_cast<float>(4 * kToeK2 * kToeK3)), L)));
    return {_mm512_mul_ps(_mm512_set1_ps(0.5f), _mm512_add_ps(x, root)), Row3(kM2 + 3, l, m, s),
            Row3(kM2 + 6, l, m, s)};
}

DUVO_TARGET_AVX512 inline __m512i Load16(const std::uint32_t* c, __mmask16 lanes) {
    return _mm512_maskz_loadu_epi32(lanes, c);
}

DUVO_TARGET_AVX512 inline __mmask16 Lanes(int count) {
    return static_cast<__mmask16>(count >= 16 ? 0xFFFF : (1u << count) - 1);
}

DUVO_TARGET_AVX512 int FindDifferentAvx512(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint16_t* idx) {
    int m = 0;
    for (int i = 0; i < n; i += 64) {
        std::uint64_t differ = 0;
        for (int k = 0; k < 4 && i + 16 * k < n; ++k) {
            const __mmask16 lanes = Lanes(n - i - 16 * k);
            const __mmask16 ne =
                _mm512_mask_cmpneq_epi32_mask(lanes, Load16(a + i + 16 * k, lanes), Load16(b + i + 16 * k, lanes));
            differ |= static_cast<std::uint64_t>(ne) << (16 * k);
        }
        for (; differ; differ &= differ - 1) idx[m++] = static_cast<std::uint16_t>(i + __builtin_ctzll(differ));
    }
    return m;
}

DUVO_TARGET_AVX512 void ToLabAvx512(const std::uint32_t* c, int n, float* L, float* A, float* B) {
    const float* lin = LinearTable();
    const __m512i mask = _mm512_set1_epi32(0xFFFFFF);
    for (int i = 0; i < n; i += 16) {
        const __mmask16 lanes = Lanes(n - i);
        const Lab16 p = ToLab16(_mm512_and_si512(Load16(c + i, lanes), mask), lin);
        _mm512_mask_storeu_ps(L + i, lanes, p.L);
        _mm512_mask_storeu_ps(A + i, lanes, p.a);
        _mm512_mask_storeu_ps(B + i, lanes, p.b);
    }
}

DUVO_TARGET_AVX512 void DecideAvx512(const std::uint32_t* ca, const std::uint32_t* cb, int m, float sureUnder,
                                     float sureOver, std::uint8_t* code) {
    const float* lin = LinearTable();
    const __m512 under = _mm512_set1_ps(sureUnder), over = _mm512_set1_ps(sureOver);
    const __m512i mask = _mm512_set1_epi32(0xFFFFFF);
    for (int k = 0; k < m; k += 16) {
        const __mmask16 lanes = Lanes(m - k);
        const Lab16 p = ToLab16(_mm512_and_si512(Load16(ca + k, lanes), mask), lin);
        const Lab16 q = ToLab16(_mm512_and_si512(Load16(cb + k, lanes), mask), lin);
        const __m512 da = _mm512_sub_ps(p.a, q.a), db = _mm512_sub_ps(p.b, q.b);
        const __m512 d = _mm512_add_ps(_mm512_abs_ps(_mm512_sub_ps(p.L, q.L)),
                                       _mm512_sqrt_ps(_mm512_fmadd_ps(da, da, _mm512_mul_ps(db, db))));
        // Over sureOver: 1; over sureUnder only, or not a number: 2.
        const __mmask16 isOver = _mm512_cmp_ps_mask(d, over, _CMP_GT_OQ);
        const __mmask16 isUnsure = _mm512_cmp_ps_mask(d, under, _CMP_NLE_UQ);
        const __m128i codes =
            _mm_sub_epi8(_mm_maskz_mov_epi8(isUnsure, _mm_set1_epi8(2)), _mm_maskz_mov_epi8(isOver, _mm_set1_epi8(1)));
        _mm_mask_storeu_epi8(code + k, lanes, codes);
    }
}

}  // namespace

const Kernels* Avx512Kernels() {
    static const Kernels k{"avx512", FindDifferentAvx512, ToLabAvx512, DecideAvx512};
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
    return available ? &k : nullptr;
}

}  // namespace duvo::perceptual::detail

#else

namespace duvo::perceptual::detail {
const Kernels* Avx512Kernels() { return nullptr; }
}  // namespace duvo::perceptual::detail

#endif
