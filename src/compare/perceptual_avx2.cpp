// AVX2 versions of the threshold kernels, eight colors at a time: the
// transfer function through a gather from the shared table, the matrices and
// the Newton steps of the cube root with fused multiply-adds. Compiled for
// AVX2 and FMA whatever the build's flags, and chosen at run time.
#include "compare/perceptual_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define DUVO_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))

namespace duvo::perceptual::detail {

namespace {

struct Lab8 {
    __m256 L, a, b;
};

DUVO_TARGET_AVX2_FMA inline __m256 Cbrt8(__m256 x) {
    const __m256 third = _mm256_set1_ps(1.0f / 3);
    const __m256i bits = _mm256_castps_si256(x);
    const __m256i guess = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(kCbrtMagic)),
                                           _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(bits), third)));
    __m256 r = _mm256_castsi256_ps(guess);
    const __m256 one = _mm256_set1_ps(1.0f), twoNinths = _mm256_set1_ps(2.0f / 9);
    for (int i = 0; i < 2; ++i) {
        // x first: for black the guess is huge and r³ alone would overflow.
        const __m256 e = _mm256_sub_ps(one, _mm256_mul_ps(_mm256_mul_ps(_mm256_mul_ps(x, r), r), r));
        r = _mm256_mul_ps(r, _mm256_fmadd_ps(e, _mm256_fmadd_ps(e, twoNinths, third), one));
    }
    return _mm256_mul_ps(_mm256_mul_ps(x, r), r);
}

DUVO_TARGET_AVX2_FMA inline __m256 Row3(const float* m, __m256 x, __m256 y, __m256 z) {
    return _mm256_fmadd_ps(_mm256_set1_ps(m[2]), z,
                           _mm256_fmadd_ps(_mm256_set1_ps(m[1]), y, _mm256_mul_ps(_mm256_set1_ps(m[0]), x)));
}

DUVO_TARGET_AVX2_FMA inline Lab8 ToLab8(__m256i c, const float* lin) {
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256 r = _mm256_i32gather_ps(lin, _mm256_and_si256(c, byte), 4);
    const __m256 g = _mm256_i32gather_ps(lin, _mm256_and_si256(_mm256_srli_epi32(c, 8), byte), 4);
    const __m256 b = _mm256_i32gather_ps(lin, _mm256_srli_epi32(c, 16), 4);
    const __m256 l = Cbrt8(Row3(kM1, r, g, b));
    const __m256 m = Cbrt8(Row3(kM1 + 3, r, g, b));
    const __m256 s = Cbrt8(Row3(kM1 + 6, r, g, b));
    const __m256 L = Row3(kM2, l, m, s);
    const __m256 x =
        _mm256_fmsub_ps(_mm256_set1_ps(static_cast<float>(kToeK3)), L, _mm256_set1_ps(static_cast<float>(kToeK1)));
    const __m256 root = _mm256_sqrt_ps(
        _mm256_fmadd_ps(x, x, _mm256_mul_ps(_mm256_set1_ps(static_cast<float>(4 * kToeK2 * kToeK3)), L)));
    return {_mm256_mul_ps(_mm256_set1_ps(0.5f), _mm256_add_ps(x, root)), Row3(kM2 + 3, l, m, s),
            Row3(kM2 + 6, l, m, s)};
}

// Colors above 0xFFFFFF would index past the table; the engine never makes
// them, and masking keeps a stray one harmless.
DUVO_TARGET_AVX2_FMA inline __m256i Load8(const std::uint32_t* c) {
    return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c)), _mm256_set1_epi32(0xFFFFFF));
}

DUVO_TARGET_AVX2_FMA int FindDifferentAvx2(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint16_t* idx) {
    int m = 0, i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i eq[4];
        for (int k = 0; k < 4; ++k)
            eq[k] = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 8 * k)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 8 * k)));
        const __m256i all = _mm256_and_si256(_mm256_and_si256(eq[0], eq[1]), _mm256_and_si256(eq[2], eq[3]));
        if (_mm256_movemask_epi8(all) == -1) continue;
        std::uint32_t same = 0;
        for (int k = 0; k < 4; ++k)
            same |= static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(eq[k]))) << (8 * k);
        for (std::uint32_t differ = ~same; differ; differ &= differ - 1)
            idx[m++] = static_cast<std::uint16_t>(i + __builtin_ctz(differ));
    }
    for (; i < n; ++i) {
        idx[m] = static_cast<std::uint16_t>(i);
        m += a[i] != b[i];
    }
    return m;
}

DUVO_TARGET_AVX2_FMA void ToLabAvx2(const std::uint32_t* c, int n, float* L, float* A, float* B) {
    const float* lin = LinearTable();
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const Lab8 p = ToLab8(Load8(c + i), lin);
        _mm256_storeu_ps(L + i, p.L);
        _mm256_storeu_ps(A + i, p.a);
        _mm256_storeu_ps(B + i, p.b);
    }
    if (i < n) {
        alignas(32) std::uint32_t rest[8] = {};
        alignas(32) float l[8], a[8], b[8];
        for (int k = 0; k < n - i; ++k) rest[k] = c[i + k];
        const Lab8 p = ToLab8(Load8(rest), lin);
        _mm256_store_ps(l, p.L);
        _mm256_store_ps(a, p.a);
        _mm256_store_ps(b, p.b);
        for (int k = 0; k < n - i; ++k) {
            L[i + k] = l[k];
            A[i + k] = a[k];
            B[i + k] = b[k];
        }
    }
}

// 1 for each lane over sureOver, 2 for each lane over sureUnder only (or
// not a number, which Distance() then decides).
DUVO_TARGET_AVX2_FMA inline void Decide8(__m256i ca, __m256i cb, const float* lin, __m256 under, __m256 over,
                                         std::uint8_t* code, int count) {
    const Lab8 p = ToLab8(ca, lin), q = ToLab8(cb, lin);
    const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 da = _mm256_sub_ps(p.a, q.a), db = _mm256_sub_ps(p.b, q.b);
    const __m256 d = _mm256_add_ps(_mm256_and_ps(_mm256_sub_ps(p.L, q.L), absMask),
                                   _mm256_sqrt_ps(_mm256_fmadd_ps(da, da, _mm256_mul_ps(db, db))));
    const unsigned isOver = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(d, over, _CMP_GT_OQ)));
    const unsigned isUnsure = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(d, under, _CMP_NLE_UQ)));
    for (int k = 0; k < count; ++k)
        code[k] = static_cast<std::uint8_t>(((isUnsure >> k) & 1) * 2 - ((isOver >> k) & 1));
}

DUVO_TARGET_AVX2_FMA void DecideAvx2(const std::uint32_t* ca, const std::uint32_t* cb, int m, float sureUnder,
                                     float sureOver, std::uint8_t* code) {
    const float* lin = LinearTable();
    const __m256 under = _mm256_set1_ps(sureUnder), over = _mm256_set1_ps(sureOver);
    int k = 0;
    for (; k + 8 <= m; k += 8) Decide8(Load8(ca + k), Load8(cb + k), lin, under, over, code + k, 8);
    if (k < m) {
        alignas(32) std::uint32_t ra[8] = {}, rb[8] = {};
        for (int i = 0; i < m - k; ++i) {
            ra[i] = ca[k + i];
            rb[i] = cb[k + i];
        }
        Decide8(Load8(ra), Load8(rb), lin, under, over, code + k, m - k);
    }
}

}  // namespace

const Kernels* Avx2Kernels() {
    static const Kernels k{"avx2", FindDifferentAvx2, ToLabAvx2, DecideAvx2};
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return available ? &k : nullptr;
}

}  // namespace duvo::perceptual::detail

#else

namespace duvo::perceptual::detail {
const Kernels* Avx2Kernels() { return nullptr; }
}  // namespace duvo::perceptual::detail

#endif
