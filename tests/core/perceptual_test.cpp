// The perceptual distance against values computed from its definition, and
// the fast threshold rule against the distance.
#include "compare/perceptual.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "compare/perceptual_kernels.h"
#include "rtl/exceptions.h"

namespace duvo::perceptual {
namespace {

constexpr std::uint32_t Rgb(int r, int g, int b) {
    return static_cast<std::uint32_t>(r) | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b) << 16;
}

std::vector<const detail::Kernels*> AllKernels() {
    std::vector<const detail::Kernels*> all{&detail::PlainKernels()};
    for (const detail::Kernels* k : {detail::Avx2Kernels(), detail::Avx512Kernels()})
        if (k) all.push_back(k);
    return all;
}

// Expected values from Python, independent of the code under test:
//   lin(c) = c/255/12.92 if c/255 <= 0.04045 else ((c/255 + 0.055)/1.055)**2.4
//   lms = M1 · lin(rgb); l', m', s' = cube roots; (L, a, b) = M2 · (l', m', s')
//   with Ottosson's M1, M2 (ten decimals); x = k3·L − k1;
//   Lr = (x + sqrt(x² + 4·k2·k3·L)) / 2; raw = |ΔLr| + hypot(Δa, Δb);
//   expected = raw / raw(black, white)   (raw(black, white) = 1.0000000296701852)
TEST(PerceptualDistance, MatchesTheDefinition) {
    struct Case {
        std::uint32_t c1, c2;
        double expected;
        const char* what;
    } cases[] = {
        {0x000000, 0xFFFFFF, 1.0, "black against white is the unit"},
        {0x0000FF, 0x000000, 0.825767935740, "red against black"},
        {0x00FF00, 0x000000, 1.139356171063, "green against black, more than the unit"},
        {0xFF0000, 0x000000, 0.679779690921, "blue against black"},
        {0x0000FF, 0x00FF00, 0.738321656865, "red against green"},
        {0x00FFFF, 0xFF0000, 1.107718951011, "yellow against blue"},
        {0x808080, 0x7F7F7F, 0.003894429276, "one step of mid grey"},
        {0xFFFFFF, 0xFEFEFE, 0.003465817800, "one step below white"},
        {0x000000, 0x010101, 0.016423537575, "one step above black: the toe keeps it visible"},
        {0x1E140A, 0x23120C, 0.015338576924, "near-black colors"},
        {0x3264C8, 0x3C6EBE, 0.029964814964, "a small hue change"},
        {0x808080, 0xFFFFFF, 0.464293534129, "mid grey against white"},
        {0x996633, 0x336699, 0.255046928472, "red and blue swapped"},
        {0x000000, 0x010000, 0.027095768513, "one step of blue on black"},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(Distance(c.c1, c.c2), c.expected, 1e-9) << c.what;
        EXPECT_EQ(Distance(c.c1, c.c2), Distance(c.c2, c.c1)) << c.what;
    }
    EXPECT_EQ(Distance(0x000000, 0xFFFFFF), 1.0) << "exactly, not nearly";
}

TEST(PerceptualDistance, IsSymmetricAndZeroOnlyForEqualColors) {
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t a = rng() & 0xFFFFFF;
        // Half the pairs one step apart in one channel, the smallest difference.
        const std::uint32_t b = i % 2 ? rng() & 0xFFFFFF : a ^ (1u << (8 * (rng() % 3)));
        ASSERT_EQ(Distance(a, b), Distance(b, a)) << std::hex << a << " " << b;
        ASSERT_EQ(Distance(a, a), 0.0);
        if (a != b) {
            ASSERT_GT(Distance(a, b), 0.0) << std::hex << a << " " << b;
        }
    }
}

// The proof behind the float path: every color of every kernel is within
// kLabError of the exact one (the bound the guard band is built on).
TEST(PerceptualThreshold, FloatColorsStayWithinTheirErrorBound) {
    constexpr int kBlock = 4096;
    const auto kernels = AllKernels();
    std::vector<std::uint32_t> colors(kBlock);
    std::vector<detail::Lab> exact(kBlock);
    std::vector<float> L(kBlock), A(kBlock), B(kBlock);
    std::vector<double> worst(kernels.size());
    for (std::uint32_t base = 0; base < (1u << 24); base += kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            colors[i] = base + static_cast<std::uint32_t>(i);
            exact[i] = detail::ExactLab(colors[i]);
        }
        for (std::size_t k = 0; k < kernels.size(); ++k) {
            kernels[k]->toLab(colors.data(), kBlock, L.data(), A.data(), B.data());
            for (int i = 0; i < kBlock; ++i)
                for (double err : {L[i] - exact[i].L, A[i] - exact[i].a, B[i] - exact[i].b}) {
                    // Written so that a NaN fails too.
                    ASSERT_TRUE(std::abs(err) <= detail::kLabError)
                        << kernels[k]->name << " " << std::hex << colors[i] << " " << err;
                    worst[k] = std::max(worst[k], std::abs(err));
                }
        }
    }
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", worst[k]);
        RecordProperty(std::string(kernels[k]->name) + "_worst_lab_error", text);
    }
}

// The rule is Distance() > t for every pair, also for pairs right at t,
// where the float path must hand over to Distance().
TEST(PerceptualThreshold, DecidesAsTheDistanceDoes) {
    std::mt19937 rng(11);
    std::vector<std::uint32_t> a, b;
    for (int i = 0; i < 60000; ++i) {
        const std::uint32_t c = rng() & 0xFFFFFF;
        std::uint32_t d = c;
        switch (i % 3) {
            case 0:  // anywhere
                d = rng() & 0xFFFFFF;
                break;
            case 1:  // near: each channel moved by up to 24
                for (int ch = 0; ch < 3; ++ch) {
                    const int v = static_cast<int>((c >> (8 * ch)) & 0xFF) + static_cast<int>(rng() % 49) - 24;
                    d = (d & ~(0xFFu << (8 * ch))) | static_cast<std::uint32_t>(std::clamp(v, 0, 255)) << (8 * ch);
                }
                break;
            default:  // equal
                break;
        }
        a.push_back(c);
        b.push_back(d);
    }
    std::vector<std::uint8_t> over(a.size());
    for (double t : {0.0, 0.001, 0.01, 0.05, 0.1, 0.2, 0.5, 1.0}) {
        for (auto kernels : {Threshold::Kernels::kPlain, Threshold::Kernels::kBest}) {
            const Threshold rule(t, kernels);
            SCOPED_TRACE(std::string(rule.KernelName()) + " t=" + std::to_string(t));
            rule.Classify(a.data(), b.data(), static_cast<int>(a.size()), over.data());
            for (std::size_t i = 0; i < a.size(); ++i) {
                const bool expected = Distance(a[i], b[i]) > t;
                ASSERT_EQ(over[i], expected) << std::hex << a[i] << " " << b[i];
                ASSERT_EQ(rule.Over(a[i], b[i]), expected) << std::hex << a[i] << " " << b[i];
            }
        }
    }
    // Thresholds set on a pair's own distance, and a hair below it.
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t c = a[i], d = b[i];
        const double dist = Distance(c, d);
        if (dist == 0 || dist > 1) continue;
        for (auto kernels : {Threshold::Kernels::kPlain, Threshold::Kernels::kBest}) {
            EXPECT_FALSE(Threshold(dist, kernels).Over(c, d)) << std::hex << c << " " << d;
            EXPECT_TRUE(Threshold(dist * (1 - 1e-12), kernels).Over(c, d)) << std::hex << c << " " << d;
        }
    }
}

TEST(PerceptualThreshold, AtZeroEveryDifferentPairIsOver) {
    // The smallest differences there are: one step in one channel, all over
    // the cube.
    std::vector<std::uint32_t> a, b;
    for (std::uint32_t c = 0; c < (1u << 24); c += 997)
        for (int ch = 0; ch < 3; ++ch) {
            a.push_back(c);
            b.push_back(c ^ (1u << (8 * ch)));
        }
    std::vector<std::uint8_t> over(a.size());
    for (auto kernels : {Threshold::Kernels::kPlain, Threshold::Kernels::kBest}) {
        const Threshold rule(0, kernels);
        rule.Classify(a.data(), b.data(), static_cast<int>(a.size()), over.data());
        for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(over[i], 1) << std::hex << a[i] << " " << b[i];
    }
}

TEST(PerceptualThreshold, NeverSilentlyEqual) {
    const std::uint32_t red = Rgb(255, 0, 0), black = 0, white = 0xFFFFFF;
    const std::uint32_t left[] = {red, black, black, white};
    const std::uint32_t right[] = {black, red, white, black};
    std::uint8_t over[4];
    for (int step = 0; step <= 50; ++step) {
        const double t = step / 100.0;
        for (auto kernels : {Threshold::Kernels::kPlain, Threshold::Kernels::kBest}) {
            const Threshold rule(t, kernels);
            rule.Classify(left, right, 4, over);
            for (int i = 0; i < 4; ++i) {
                EXPECT_TRUE(rule.Over(left[i], right[i])) << t << " " << i;
                EXPECT_EQ(over[i], 1) << t << " " << i;
            }
        }
    }
}

// Every length and offset against the one-pair rule, with guard bytes that
// must stay untouched: catches a chunk or tail that is skipped or overrun.
TEST(PerceptualThreshold, ClassifyCoversEveryLength) {
    std::mt19937 rng(3);
    constexpr int kMax = 1100, kGuard = 16;
    std::vector<std::uint32_t> a(kMax), b(kMax);
    std::vector<std::uint8_t> over(kMax + 2 * kGuard);
    // Mostly equal rows, with runs of equal pixels of every length, and mostly
    // different ones, which Classify decides whole.
    for (int differ : {1, 4})
        for (auto kernels : {Threshold::Kernels::kPlain, Threshold::Kernels::kBest}) {
            for (int i = 0; i < kMax; ++i) {
                a[i] = rng() & 0xFFFFFF;
                b[i] = static_cast<int>(rng() % 5) < differ ? a[i] ^ (rng() & 0x0F0F0F) : a[i];
            }
            const Threshold rule(0.02, kernels);
            for (int n : {0, 1, 7, 8, 9, 31, 32, 33, 63, 255, 256, 257, 511, 513, 1000}) {
                for (int offset : {0, 1, 13}) {
                    std::fill(over.begin(), over.end(), 0xAA);
                    rule.Classify(a.data() + offset, b.data() + offset, n, over.data() + kGuard);
                    for (int i = 0; i < kGuard; ++i) {
                        ASSERT_EQ(over[i], 0xAA) << n;
                        ASSERT_EQ(over[kGuard + n + i], 0xAA) << n;
                    }
                    for (int i = 0; i < n; ++i)
                        ASSERT_EQ(over[kGuard + i], rule.Over(a[offset + i], b[offset + i])) << n << " " << i;
                }
            }
        }
}

// The vector kernels against the plain ones: the same differences found,
// and the same decisions on pairs that are not unsure (the unsure ones
// depend on each kernel's rounding and go to Distance() anyway).
TEST(PerceptualThreshold, VectorKernelsAgreeWithThePlainOnes) {
    const auto all = AllKernels();
    if (all.size() == 1) GTEST_SKIP() << "no vector kernels here";
    const detail::Kernels& plain = detail::PlainKernels();
    std::mt19937 rng(5);
    constexpr int kN = 256;
    std::vector<std::uint32_t> a(kN), b(kN);
    std::vector<std::uint16_t> expected(kN), found(kN);
    std::vector<std::uint8_t> plainCode(kN), code(kN);
    for (const detail::Kernels* k : all) {
        SCOPED_TRACE(k->name);
        for (int density : {0, 1, 10, 50, 100}) {
            for (int i = 0; i < kN; ++i) {
                a[i] = rng() & 0xFFFFFF;
                b[i] = static_cast<int>(rng() % 100) < density ? a[i] ^ (rng() & 0x070707) : a[i];
            }
            for (int n : {0, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200, kN}) {
                const int m = plain.findDifferent(a.data(), b.data(), n, expected.data());
                ASSERT_EQ(k->findDifferent(a.data(), b.data(), n, found.data()), m) << density << " " << n;
                for (int i = 0; i < m; ++i) ASSERT_EQ(found[i], expected[i]) << density << " " << n;
                // Around 0.02, where these pairs lie; the code past n must stay.
                code.assign(kN, 0xEE);
                plain.decide(a.data(), b.data(), n, 0.019f, 0.021f, plainCode.data());
                k->decide(a.data(), b.data(), n, 0.019f, 0.021f, code.data());
                for (int i = 0; i < kN; ++i) {
                    if (i >= n) {
                        ASSERT_EQ(code[i], 0xEE) << n << " " << i;
                    } else if (plainCode[i] != detail::kUnsure && code[i] != detail::kUnsure) {
                        ASSERT_EQ(code[i], plainCode[i]) << std::hex << a[i] << " " << b[i];
                    }
                }
            }
        }
    }
}

TEST(PerceptualThreshold, RefusesThresholdsOutsideTheRange) {
    for (double t : {-0.01, 1.01, std::nan("")}) EXPECT_THROW(Threshold{t}, EUsageError) << t;
    EXPECT_NO_THROW(Threshold{0.0});
    EXPECT_NO_THROW(Threshold{1.0});
}

}  // namespace
}  // namespace duvo::perceptual
