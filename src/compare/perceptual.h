// The perceptual distance behind the threshold rule: how far apart two colors
// look, 0 for equal colors and 1 for black against white.
//
// Colors are packed 0x00BBGGRR (red in the low byte), already composed over
// white. The bytes go through the sRGB transfer function to linear light,
// linear light to OKLab (Björn Ottosson, 2020, with his published matrices),
// OKLab's lightness L is replaced by the toe-corrected
//     Lr = (k3·L − k1 + √((k3·L − k1)² + 4·k2·k3·L)) / 2,
//     k1 = 0.206, k2 = 0.03, k3 = (1 + k1) / (1 + k2),
// which spreads dark tones the way people see them, and the two colors are
// compared with HyAB, |ΔLr| + √(Δa² + Δb²), which follows large differences
// better than a Euclidean distance. pixelmatch 8 uses this distance, so a
// threshold set for it means the same here.
//
// With the matrices' ten decimals white does not land exactly on Lr = 1,
// a = b = 0: black against white comes out as 1.0000000297. Every distance
// is divided by that figure, so that black against white is exactly 1; the
// change to any other distance is 3e-8 of it.
#pragma once

#include <cstdint>

namespace duvo::perceptual {

namespace detail {
struct Kernels;
}

// The reference, in double precision, straight from the definition above.
// Symmetric; 0 exactly when c1 == c2.
double Distance(std::uint32_t c1, std::uint32_t c2);

// The per-pixel rule "the two colors are more than t apart", built once per
// comparison. Its decisions are those of Distance(a, b) > t for every pair:
// a float computation decides the pairs that lie clearly on one side, and
// the few within detail::kGuardBand of t are handed to Distance() (see
// perceptual_kernels.h for the error bound that makes this safe). Equal
// colors are never over; at t = 0 every pair of different colors is. A
// Threshold does not change after it is made, so threads may share one.
class Threshold {
public:
    enum class Kernels {
        kBest,   // the widest vector kernels the processor runs
        kPlain,  // plain C++, the vector kernels' oracle in the tests
    };

    // 0 <= t <= 1, else EUsageError.
    explicit Threshold(double t, Kernels kernels = Kernels::kBest);

    double Value() const { return t_; }
    const char* KernelName() const;

    bool Over(std::uint32_t a, std::uint32_t b) const;
    // over[i] = 1 when a[i] and b[i] are more than t apart, else 0, for
    // i < n. Equal pairs cost a comparison, so mostly equal rows are cheap.
    // Colors are 0x00BBGGRR with the top byte 0.
    void Classify(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint8_t* over) const;

private:
    double t_;
    float sureUnder_;  // a float distance at most this is not over
    float sureOver_;   // a float distance above this is over
    const detail::Kernels* kernels_;
};

}  // namespace duvo::perceptual
