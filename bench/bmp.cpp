// BMP reading speed against a plain memory copy of the same bytes, and the
// cost of one pixel read through the drawing surface.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "graphics/bitmap.h"
#include "platform/raster.h"
#include "rtl/streams.h"

namespace {

constexpr int kSide = 8192;  // 64 megapixels

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A 24-bit BMP of kSide x kSide with a pattern in every byte.
const std::vector<std::uint8_t>& BigBmp() {
    static const std::vector<std::uint8_t> file = [] {
        const std::size_t pixelBytes = std::size_t{kSide} * kSide * 3;
        std::vector<std::uint8_t> out;
        out.reserve(54 + pixelBytes);
        Put16(out, 0x4D42);
        Put32(out, static_cast<std::uint32_t>(54 + pixelBytes));
        Put32(out, 0);
        Put32(out, 54);
        Put32(out, 40);
        Put32(out, kSide);
        Put32(out, kSide);
        Put16(out, 1);
        Put16(out, 24);
        for (int i = 0; i < 6; ++i) Put32(out, 0);
        out.resize(54 + pixelBytes);
        for (std::size_t i = 54; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 31 + (i >> 13));
        return out;
    }();
    return file;
}

void BM_ReadBmp24(benchmark::State& state) {
    const auto& file = BigBmp();
    for (auto _ : state) {
        duvo::TBitmap bitmap;
        duvo::TBytesStream stream(file.data(), file.size());
        bitmap.ReadFromStream(stream);
        benchmark::DoNotOptimize(bitmap.Raster()->Bits());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_ReadBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: copying the same bytes into memory that is already there.
void BM_Memcpy(benchmark::State& state) {
    const auto& file = BigBmp();
    std::vector<std::uint8_t> target(file.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), file.data(), file.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same copy into fresh memory each time, as a reader has to.
void BM_MemcpyFresh(benchmark::State& state) {
    const auto& file = BigBmp();
    for (auto _ : state) {
        std::vector<std::uint8_t> target(file.size());
        std::memcpy(target.data(), file.data(), file.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_MemcpyFresh)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadPixel(benchmark::State& state, duvo::TPixelKind kind) {
    constexpr int kPixelSide = 2048;
    duvo::TBitmap bitmap;
    bitmap.SetPixelKind(kind);
    bitmap.SetWidth(kPixelSide);
    bitmap.SetHeight(kPixelSide);
    duvo::TCanvas& canvas = bitmap.Canvas();
    for (int y = 0; y < kPixelSide; y += 3)
        for (int x = 0; x < kPixelSide; x += 5) canvas.WritePixel(x, y, (x * 2654435761u) ^ y);
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (int y = 0; y < kPixelSide; ++y)
            for (int x = 0; x < kPixelSide; ++x) sum += static_cast<std::uint32_t>(canvas.ReadPixel(x, y));
        benchmark::DoNotOptimize(sum);
    }
    const std::int64_t pixels = std::int64_t{kPixelSide} * kPixelSide;
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * pixels);
    state.counters["ns_per_pixel"] =
        benchmark::Counter(static_cast<double>(pixels) * 1e-9,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_ReadPixel, 24bit, duvo::pk24Bit)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadPixel, 8bit, duvo::pk8Bit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
