// What duvo-compare adds for CI, against the comparison it rides on: the
// cost of change spans and regions on a 5000 x 3200 pair in which 12 % of the
// pixels differ (in blobs, as edits of a screenshot are, and scattered, the
// worst case for spans), and writing the difference picture as PNG.
//
// Times are wall times on all cores, as the tool runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "codecs/png/png_writer.h"
#include "compare/compare.h"
#include "compare/regions.h"
#include "platform/raster.h"
#include "rng.h"
#include "rtl/parallel.h"

namespace {

using duvo::TBitmap;

constexpr int kWidth = 5000;
constexpr int kHeight = 3200;

using benchrng::Rng;

// Smooth gradients with a little noise: rows that are rarely equal runs.
void FillPhoto(TBitmap& b, Rng& rng) {
    b.SetPixelKind(duvo::pk24Bit);
    b.SetWidth(kWidth);
    b.SetHeight(kHeight);
    duvo::platform::Raster* r = b.GetHandle();
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* row = r->Row(y);
        for (int x = 0; x < kWidth; ++x) {
            const std::uint64_t n = rng.Next();
            row[3 * x] = static_cast<std::uint8_t>((x / 20 + (n & 3)));
            row[3 * x + 1] = static_cast<std::uint8_t>((y / 13 + ((n >> 2) & 3)));
            row[3 * x + 2] = static_cast<std::uint8_t>(((x + y) / 31 + ((n >> 4) & 3)));
        }
    }
}

struct Pair {
    TBitmap left, right;
};

// 12 % of the pixels changed: in 30 rectangles, or one pixel in about eight.
std::unique_ptr<Pair> MakePair(bool scattered) {
    auto p = std::make_unique<Pair>();
    Rng rng;
    FillPhoto(p->left, rng);
    p->right.CopyFrom(&p->left);
    p->right.PrepareChange();
    duvo::platform::Raster* r = p->right.GetHandle();
    if (scattered) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                if (rng.Next() % 100 < 12) r->Row(y)[3 * x] ^= 0x40;
    } else {
        // 30 blobs of 320 x 200 (overlaps make it a little less than 12 %).
        for (int i = 0; i < 30; ++i) {
            const int x0 = static_cast<int>(rng.Next() % (kWidth - 320));
            const int y0 = static_cast<int>(rng.Next() % (kHeight - 200));
            for (int y = y0; y < y0 + 200; ++y)
                for (int x = x0; x < x0 + 320; ++x) r->Row(y)[3 * x + 1] ^= 0x20;
        }
    }
    return p;
}

Pair& Pictures(bool scattered) {
    static std::unique_ptr<Pair> pairs[2];
    auto& p = pairs[scattered ? 1 : 0];
    if (!p) p = MakePair(scattered);
    return *p;
}

// Arg 0: blobs or scattered; arg 1: with change spans and regions or not.
void BM_CompareWithRegions(benchmark::State& state) {
    Pair& p = Pictures(state.range(0) != 0);
    const bool regions = state.range(1) != 0;
    std::uint64_t found = 0;
    for (auto _ : state) {
        TBitmap diff;
        duvo::CompareOptions o;
        o.writeDifference = false;
        duvo::SpanRows changes;
        if (regions) o.changes = &changes;
        const auto result = duvo::CountSimilarity(p.left, p.right, diff, o);
        benchmark::DoNotOptimize(result.counts[100]);
        if (regions) found = duvo::FindRegions(changes, 0, 100).found;
    }
    state.counters["regions"] = static_cast<double>(found);
    state.SetLabel(std::string(state.range(0) ? "scattered" : "blobs") + (regions ? ", regions" : ", counts only"));
}
BENCHMARK(BM_CompareWithRegions)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// The difference picture through the PNG writer in bands of 64 rows on every
// core, as the pass hands its bands over.
void WritePng(const TBitmap& diff, const std::string& file) {
    const duvo::platform::Raster* r = diff.Raster();
    duvo::PngBlockWriter writer(r->Width(), r->Height(), file);
    const int bands = (r->Height() + 63) / 64;
    duvo::ParallelFor(static_cast<std::size_t>(bands), duvo::HardwareThreads(), [&](std::size_t i) {
        const int y0 = static_cast<int>(i) * 64, y1 = std::min(r->Height(), y0 + 64);
        writer.Block(y0, y1, r->Row(y0), r->RowStep());
    });
    writer.Finish();
}

void BM_WriteDifferencePng(benchmark::State& state) {
    Pair& p = Pictures(false);
    TBitmap diff;
    duvo::CountSimilarity(p.left, p.right, diff, {});
    const std::string file =
        (std::filesystem::temp_directory_path() / ("duvo-bench-" + std::to_string(::getpid()) + ".png")).string();
    for (auto _ : state) WritePng(diff, file);
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(file));
    std::filesystem::remove(file);
}
BENCHMARK(BM_WriteDifferencePng)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
