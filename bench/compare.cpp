// Speed of the comparison engine: the row engine on one thread and on all
// cores, the per-pixel reference it replaces, and a memory-bandwidth anchor
// (read two 24-bit pictures, write one) to judge the engine against.
//
// Rates are in megapixels per second ("Mpix/s"): of processor time for the
// one-thread runs, of wall time for the runs on all cores.
#include "compare/compare.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "rng.h"

namespace {

using duvo::TBitmap;

// 16 and 64 megapixels.
constexpr int kSide16 = 4096;
constexpr int kSide64 = 8192;

using benchrng::Rng;

// Fills every row with noise. Indexed pictures get random indices.
void FillRandom(TBitmap& bmp, Rng& rng) {
    duvo::platform::Raster* r = bmp.GetHandle();
    for (int y = 0; y < r->Height(); ++y) {
        std::uint8_t* row = r->Row(y);
        std::size_t i = 0;
        for (; i + 8 <= r->Stride(); i += 8) {
            const std::uint64_t v = rng.Next();
            std::memcpy(row + i, &v, 8);
        }
        for (; i < r->Stride(); ++i) row[i] = static_cast<std::uint8_t>(rng.Next());
    }
}

// A picture and a slightly different copy of it, as two photographs of the
// same scene would be: most pixels equal or near, some far apart.
struct Pair {
    TBitmap left, right;
};

std::unique_ptr<Pair> MakePair(duvo::TPixelKind leftKind, int side) {
    auto p = std::make_unique<Pair>();
    Rng rng;
    p->left.SetPixelKind(leftKind);
    p->left.SetWidth(side);
    p->left.SetHeight(side);
    FillRandom(p->left, rng);
    p->right.SetPixelKind(duvo::pk24Bit);
    p->right.SetWidth(side);
    p->right.SetHeight(side);
    const auto lut = p->left.Raster()->ColorLookup();
    const bool indexed = p->left.Raster()->BitCount() == 8;
    duvo::platform::Raster* r = p->right.GetHandle();
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* a = p->left.Raster()->Row(y);
        std::uint8_t* b = r->Row(y);
        for (int x = 0; x < side; ++x) {
            std::uint32_t c;
            if (indexed) {
                c = lut[a[x]];
                b[3 * x] = static_cast<std::uint8_t>(c >> 16);
                b[3 * x + 1] = static_cast<std::uint8_t>(c >> 8);
                b[3 * x + 2] = static_cast<std::uint8_t>(c);
            } else {
                std::memcpy(b + 3 * x, a + 3 * x, 3);
            }
            const std::uint64_t n = rng.Next();
            if ((n & 3) == 0) b[3 * x + (n >> 8) % 3] ^= static_cast<std::uint8_t>(n >> 16);
        }
    }
    return p;
}

// Pictures are big; build each once.
Pair& Pictures(duvo::TPixelKind leftKind, int side) {
    static std::pair<int, int> key{-1, 0};
    static std::unique_ptr<Pair> pair;
    if (key != std::pair<int, int>{static_cast<int>(leftKind), side}) {
        pair.reset();  // keep at most one pair in memory
        pair = MakePair(leftKind, side);
        key = {static_cast<int>(leftKind), side};
    }
    return *pair;
}

void SetRate(benchmark::State& state, std::uint64_t pixelsPerIteration) {
    state.counters["Mpix/s"] = benchmark::Counter(static_cast<double>(pixelsPerIteration) * state.iterations() / 1e6,
                                                  benchmark::Counter::kIsRate);
}

// Arguments: side, threads (0 = all cores).
void Engine(benchmark::State& state, duvo::TPixelKind leftKind) {
    const int side = static_cast<int>(state.range(0));
    Pair& p = Pictures(leftKind, side);
    TBitmap diff;
    duvo::CompareOptions options;
    options.threads = static_cast<unsigned>(state.range(1));
    // The first comparison makes the difference picture; later ones reuse it.
    duvo::CountSimilarity(p.left, p.right, diff, options);
    for (auto _ : state) {
        const auto r = duvo::CountSimilarity(p.left, p.right, diff, options);
        benchmark::DoNotOptimize(r.counts.data());
    }
    SetRate(state, static_cast<std::uint64_t>(side) * side);
}

void BM_Engine_24v24(benchmark::State& state) { Engine(state, duvo::pk24Bit); }
void BM_Engine_8v24(benchmark::State& state) { Engine(state, duvo::pk8Bit); }

// One thread: timed in the thread's processor time, which a machine busy
// with other work disturbs least.
void OneThread(benchmark::internal::Benchmark* b) {
    for (int side : {kSide16, kSide64}) b->Args({side, 1});
    b->ArgNames({"side", "threads"})->Unit(benchmark::kMillisecond);
}
// All cores: only wall time means anything.
void AllCores(benchmark::internal::Benchmark* b) {
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int side : {kSide16, kSide64}) b->Args({side, all});
    b->ArgNames({"side", "threads"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Engine_24v24)->Apply(OneThread);
BENCHMARK(BM_Engine_24v24)->Apply(AllCores);
BENCHMARK(BM_Engine_8v24)->Apply(OneThread);
BENCHMARK(BM_Engine_8v24)->Apply(AllCores);

// The per-pixel reference: a one-megapixel slice of the same kind of
// pictures (its rate does not depend on the size).
void Reference(benchmark::State& state, duvo::TPixelKind leftKind) {
    const int side = 1024;
    static std::map<int, std::unique_ptr<Pair>> slices;
    auto& slot = slices[static_cast<int>(leftKind)];
    if (!slot) slot = MakePair(leftKind, side);
    TBitmap diff;
    duvo::SimilarityHistogram histogram;
    duvo::CompareReference(slot->left, slot->right, diff, histogram);
    for (auto _ : state) {
        const auto r = duvo::CompareReference(slot->left, slot->right, diff, histogram);
        benchmark::DoNotOptimize(r.counts.data());
    }
    SetRate(state, static_cast<std::uint64_t>(side) * side);
}

void BM_Reference_24v24(benchmark::State& state) { Reference(state, duvo::pk24Bit); }
void BM_Reference_8v24(benchmark::State& state) { Reference(state, duvo::pk8Bit); }
BENCHMARK(BM_Reference_24v24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_8v24)->Unit(benchmark::kMillisecond);

// The anchor: the least any comparison of two 24-bit pictures into a 24-bit
// difference must move through memory, with nothing computed but a byte-wise
// subtraction the compiler vectorises.
// Arguments: side, threads. On several threads each takes an equal slice.
void BM_BandwidthAnchor(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    // Buffers of the same kind of memory as the pictures': rasters.
    auto make = [side] {
        return duvo::platform::Raster::Create(side, side, duvo::platform::RasterFormat{}, nullptr, 0,
                                              duvo::platform::Raster::Fill::Zero);
    };
    const auto ra = make(), rb = make(), ro = make();
    const std::size_t bytes = ra->ImageSize();
    Rng rng;
    for (std::size_t i = 0; i < bytes; ++i) {
        ra->Bits()[i] = static_cast<std::uint8_t>(rng.Next());
        rb->Bits()[i] = static_cast<std::uint8_t>(ra->Bits()[i] + (i % 7 == 0));
    }
    std::memset(ro->Bits(), 0, bytes);
    auto slice = [&](std::size_t from, std::size_t to) {
        const std::uint8_t* pa = ra->Bits();
        const std::uint8_t* pb = rb->Bits();
        std::uint8_t* po = ro->Bits();
        for (std::size_t i = from; i < to; ++i) po[i] = static_cast<std::uint8_t>(pa[i] - pb[i]);
    };
    for (auto _ : state) {
        if (threads == 1) {
            slice(0, bytes);
        } else {
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; ++t) pool.emplace_back(slice, bytes * t / threads, bytes * (t + 1) / threads);
            for (auto& t : pool) t.join();
        }
        benchmark::DoNotOptimize(ro->Bits());
        benchmark::ClobberMemory();
    }
    SetRate(state, static_cast<std::uint64_t>(side) * side);
}
BENCHMARK(BM_BandwidthAnchor)->Apply(OneThread);
BENCHMARK(BM_BandwidthAnchor)->Apply(AllCores);

}  // namespace

BENCHMARK_MAIN();
