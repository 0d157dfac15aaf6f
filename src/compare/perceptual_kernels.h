// The threshold rule's inner loops, kept apart so that the tests can hold the
// float colors against the exact ones and the vector kernels against the
// plain ones.
//
// Why the float path may decide alone. Every kernel's float color is within
// kLabError of the exact one in each of Lr, a and b; the tests enumerate all
// 2^24 colors to hold that. The square root is 1-Lipschitz in (Δa, Δb), so a
// float distance is then within 2·kLabError·(1 + √2) of the exact one, plus
// the rounding of its last four float operations on values below 2 (under
// 5e-7): 1.2e-5 at most, which kGuardBand covers with room to spare. A
// pair whose float distance lies within kGuardBand of the threshold goes to
// Distance(): on the cross-check pairs none at T >= 0.05, at most 0.25 % of
// the differing pixels where T sits where a JPEG's differences cluster.
#pragma once

#include <cstdint>

namespace duvo::perceptual::detail {

// OKLab with the toe-corrected lightness, in double precision.
struct Lab {
    double L, a, b;
};
Lab ExactLab(std::uint32_t c);
// Black against white before the division that makes it 1.
double RawBlackWhite();

inline constexpr double kLabError = 2.5e-6;
inline constexpr double kGuardBand = 2e-5;

// What Kernels::decide writes for a pair.
inline constexpr std::uint8_t kNotOver = 0, kOver = 1, kUnsure = 2;

struct Kernels {
    const char* name;
    // The positions i < n where a[i] != b[i], ascending, into idx (room for
    // n entries); returns how many.
    int (*findDifferent)(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint16_t* idx);
    // The float Lr, a and b of n colors.
    void (*toLab)(const std::uint32_t* c, int n, float* L, float* A, float* B);
    // For each k < m, from the float distance d of ca[k] and cb[k] (not
    // divided by RawBlackWhite()): kOver when d > sureOver, kNotOver when
    // d <= sureUnder, else kUnsure.
    void (*decide)(const std::uint32_t* ca, const std::uint32_t* cb, int m, float sureUnder, float sureOver,
                   std::uint8_t* code);
};

const Kernels& PlainKernels();
// AVX2 with FMA, or nullptr where the processor lacks them.
const Kernels* Avx2Kernels();
// AVX-512 (F, BW, VL) with FMA, or nullptr.
const Kernels* Avx512Kernels();
const Kernels& BestKernels();

// The float kernels' shared table and constants: every kernel starts from
// the same float values, so they differ only in their arithmetic.
const float* LinearTable();  // 256 entries, the sRGB transfer function

inline constexpr float kM1[9] = {0.4122214708f, 0.5363325363f, 0.0514459929f,     // linear sRGB to LMS
                                 0.2119034982f, 0.6806995451f, 0.1073969566f,     //
                                 0.0883024619f, 0.2817188376f, 0.6299787005f};    //
inline constexpr float kM2[9] = {0.2104542553f, 0.7936177850f,  -0.0040720468f,   // cube roots of LMS to Lab
                                 1.9779984951f, -2.4285922050f, 0.4505937099f,    //
                                 0.0259040371f, 0.7827717662f,  -0.8086757660f};  //
inline constexpr double kToeK1 = 0.206;
inline constexpr double kToeK2 = 0.03;
inline constexpr double kToeK3 = (1 + kToeK1) / (1 + kToeK2);
// The cube root starts from a guess for r = x^(-1/3) made on the float's
// bits (bits(r) ≈ kCbrtMagic − bits(x) / 3, 3.4 % off at worst) and takes
// two steps r ← r·(1 + e/3 + 2e²/9) with e = 1 − x·r³, the start of the
// series of (1 − e)^(-1/3); each step cubes the error and none divides.
// x·r² is then the cube root to 3.3e-7 of itself.
inline constexpr std::uint32_t kCbrtMagic = 0x54a21400u;

}  // namespace duvo::perceptual::detail
