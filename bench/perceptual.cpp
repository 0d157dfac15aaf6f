// Cost of the per-pixel rules on 16-megapixel pictures, one thread:
//  - the threshold rule's Classify on rows that are (a) mostly equal,
//    (b) all different and far apart, (c) all different by a little, as a
//    JPEG re-encode is, with the plain and the best kernels;
//  - the exact comparison's row kernel on the same rows, the anchor that
//    the threshold rule is judged against;
//  - the anti-aliasing detector per differing pixel, one pixel at a time and
//    as runs of whole rows, on drawn edges, on noise of few colors and on a
//    photograph with scattered changes.
// "ns/px" is processor time per pixel (per tested pixel for the detector);
// the benchmark library prints it with an "s" after it.
#include "compare/perceptual.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "compare/antialias.h"
#include "compare/compare_rows.h"
#include "rng.h"

namespace {

constexpr int kSide = 4096;  // 16 megapixels
constexpr std::size_t kPixels = static_cast<std::size_t>(kSide) * kSide;

using benchrng::Rng;
using duvo::perceptual::Threshold;

enum Scene { kMostlyEqual, kAllFar, kAllNear };

// A photograph-like left picture (smooth, with grain) and a right one
// changed as the scene says.
struct Pair {
    std::vector<std::uint32_t> a, b;
};

std::uint32_t Photo(int x, int y, Rng& rng) {
    std::uint32_t c = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const double v = 128 + 90 * std::sin(x * (0.0021 + 0.0007 * ch) + y * (0.0013 * (ch + 1)));
        c |= static_cast<std::uint32_t>(std::lround(v) + static_cast<long>(rng.Next() % 7) - 3) << (8 * ch);
    }
    return c;
}

const Pair& Pictures(Scene scene) {
    static Scene made = kMostlyEqual;
    static Pair pair;
    if (!pair.a.empty() && made == scene) return pair;
    Rng rng;
    pair.a.resize(kPixels);
    pair.b.resize(kPixels);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kSide + x;
            pair.a[i] = Photo(x, y, rng);
            const std::uint64_t n = rng.Next();
            switch (scene) {
                case kMostlyEqual:  // one pixel in 1024 changed
                    pair.b[i] = n % 1024 ? pair.a[i] : static_cast<std::uint32_t>(n >> 20) & 0xFFFFFF;
                    break;
                case kAllFar:
                    pair.b[i] = (static_cast<std::uint32_t>(n >> 20) & 0xFFFFFF) | 1;
                    if (pair.b[i] == pair.a[i]) pair.b[i] ^= 2;
                    break;
                case kAllNear: {  // each channel off by up to 3, never all three by 0
                    std::uint32_t c = 0;
                    for (int ch = 0; ch < 3; ++ch) {
                        const int v = static_cast<int>((pair.a[i] >> (8 * ch)) & 0xFF) +
                                      static_cast<int>((n >> (8 * ch)) % 7) - 3;
                        c |= static_cast<std::uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v) << (8 * ch);
                    }
                    pair.b[i] = c == pair.a[i] ? c ^ 1 : c;
                    break;
                }
            }
        }
    made = scene;
    return pair;
}

void SetNsPerPixel(benchmark::State& state, std::size_t pixels) {
    state.counters["ns/px"] = benchmark::Counter(static_cast<double>(pixels) * state.iterations() / 1e9,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Rows visited for 16 megapixels: all of them, as they come from memory, or
// the first 16 again and again, which stay in the cache as a band does that
// the engine has just decoded; the second shows the rule's own cost.
int RowAt(int i, bool cached) { return cached ? i % 16 : i; }

// Arguments: scene, kernels (0 best, 1 plain), cached; threshold 0.1.
void BM_Classify(benchmark::State& state) {
    const Pair& p = Pictures(static_cast<Scene>(state.range(0)));
    const Threshold rule(0.1, state.range(1) ? Threshold::Kernels::kPlain : Threshold::Kernels::kBest);
    const bool cached = state.range(2) != 0;
    state.SetLabel(rule.KernelName());
    std::vector<std::uint8_t> over(kSide);
    std::size_t count = 0;
    for (auto _ : state) {
        for (int y = 0; y < kSide; ++y) {
            const std::size_t row = static_cast<std::size_t>(RowAt(y, cached)) * kSide;
            rule.Classify(p.a.data() + row, p.b.data() + row, kSide, over.data());
            count += over[y];
        }
        benchmark::DoNotOptimize(count);
    }
    SetNsPerPixel(state, kPixels);
}
BENCHMARK(BM_Classify)
    ->ArgsProduct({{kMostlyEqual, kAllFar, kAllNear}, {0, 1}, {0, 1}})
    ->ArgNames({"scene", "plain", "cached"})
    ->Unit(benchmark::kMillisecond);

// The exact comparison's kernel on the same packed rows (difference pixels
// and similarity bins), in runs as the engine hands them over.
void BM_ExactRowKernel(benchmark::State& state) {
    const Pair& p = Pictures(static_cast<Scene>(state.range(0)));
    const bool cached = state.range(1) != 0;
    const auto& k = duvo::compare_rows::BestKernels();
    state.SetLabel(k.name);
    constexpr int kRun = duvo::compare_rows::kRunPixels;
    std::vector<std::uint8_t> out(3 * kRun), bins(kRun);
    for (auto _ : state) {
        for (int y = 0; y < kSide; ++y) {
            const std::size_t row = static_cast<std::size_t>(RowAt(y, cached)) * kSide;
            for (int x = 0; x < kSide; x += kRun)
                k.diffAndBin(p.a.data() + row + x, p.b.data() + row + x, out.data(), bins.data(), kRun);
        }
        benchmark::DoNotOptimize(bins.data());
    }
    SetNsPerPixel(state, kPixels);
}
BENCHMARK(BM_ExactRowKernel)
    ->ArgsProduct({{kMostlyEqual, kAllNear}, {0, 1}})
    ->ArgNames({"scene", "cached"})
    ->Unit(benchmark::kMillisecond);

// Pictures for the detector: 0, drawn anti-aliased edges (stripes whose
// borders are smoothed by grey, moved by a fraction between the two); 1,
// noise of a few colors, where every branch is a coin toss; 2, a photograph
// with a quarter of its pixels changed, where the test runs to its end.
struct DetectorScene {
    int width = 1024, height = 1024;
    std::vector<std::uint32_t> a, b;
    std::vector<std::pair<int, int>> differing;

    duvo::antialias::Window At(const std::vector<std::uint32_t>& p, int y) const {
        duvo::antialias::Window w{{}, width};
        for (int k = 0; k < 5; ++k) {
            const int row = y - 2 + k;
            w.rows[k] = row >= 0 && row < height ? p.data() + static_cast<std::size_t>(row) * width : nullptr;
        }
        return w;
    }
};

std::uint32_t Grey(int v) { return static_cast<std::uint32_t>(v) * 0x010101u; }

const DetectorScene& Detector(int kind) {
    static DetectorScene scenes[3];
    DetectorScene& s = scenes[kind];
    if (!s.a.empty()) return s;
    Rng rng;
    s.a.resize(static_cast<std::size_t>(s.width) * s.height);
    s.b.resize(s.a.size());
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * s.width + x;
            if (kind == 0) {
                // Stripes 8 pixels wide; a has a grey border column, b the
                // stripe one pixel over with another grey.
                const int phase = (x + y / 64) % 16;
                s.a[i] = phase < 7 ? Grey(0) : phase == 7 ? Grey(128) : phase < 15 ? Grey(255) : Grey(128);
                s.b[i] = phase < 7 ? Grey(0) : phase == 7 ? Grey(96) : phase < 15 ? Grey(255) : Grey(160);
            } else if (kind == 2) {
                // A photograph and a copy with a quarter of its pixels
                // changed to anything.
                s.a[i] = Photo(x, y, rng);
                const std::uint64_t n = rng.Next();
                s.b[i] = n % 4 ? s.a[i] : static_cast<std::uint32_t>(n >> 24) & 0xFFFFFF;
            } else {
                static const std::uint32_t palette[] = {Grey(0), Grey(64), Grey(128), Grey(255), 0x0000FF, 0xFF0000};
                s.a[i] = palette[rng.Next() % 6];
                s.b[i] = rng.Next() % 2 ? s.a[i] : palette[rng.Next() % 6];
            }
            if (s.a[i] != s.b[i]) s.differing.emplace_back(x, y);
        }
    return s;
}

void BM_Detector(benchmark::State& state) {
    const DetectorScene& s = Detector(static_cast<int>(state.range(0)));
    std::size_t antialiased = 0;
    // The engine makes the windows once per row.
    std::vector<duvo::antialias::Window> wa, wb;
    for (int y = 0; y < s.height; ++y) {
        wa.push_back(s.At(s.a, y));
        wb.push_back(s.At(s.b, y));
    }
    for (auto _ : state) {
        for (const auto& [x, y] : s.differing) antialiased += duvo::antialias::IsAntialiased(wa[y], wb[y], x);
        benchmark::DoNotOptimize(antialiased);
    }
    state.counters["antialiased"] =
        static_cast<double>(antialiased) / static_cast<double>(state.iterations() * s.differing.size());
    SetNsPerPixel(state, s.differing.size());
}
BENCHMARK(BM_Detector)->Arg(0)->Arg(1)->Arg(2)->ArgName("scene")->Unit(benchmark::kMillisecond);

// The run version over every pixel of every row; "ns/px" per pixel of the
// picture, "ns/differing" per pixel that differs.
void BM_DetectorRun(benchmark::State& state) {
    const DetectorScene& s = Detector(static_cast<int>(state.range(0)));
    std::vector<std::uint8_t> aa(static_cast<std::size_t>(s.width));
    std::size_t antialiased = 0;
    for (auto _ : state) {
        for (int y = 0; y < s.height; ++y) {
            duvo::antialias::AntialiasedRun(s.At(s.a, y), s.At(s.b, y), 0, s.width, aa.data());
            antialiased += aa[y % s.width];
        }
        benchmark::DoNotOptimize(antialiased);
    }
    SetNsPerPixel(state, static_cast<std::size_t>(s.width) * s.height);
    state.counters["ns/differing"] =
        benchmark::Counter(static_cast<double>(s.differing.size()) * state.iterations() / 1e9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DetectorRun)->Arg(0)->Arg(1)->Arg(2)->ArgName("scene")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
