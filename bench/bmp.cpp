// BMP reading speed against a plain memory copy of the same bytes, decoding
// with rows left where they lie, and the cost of one pixel read through the
// drawing surface.
#include "graphics/bmp.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "graphics/bitmap.h"
#include "platform/raster.h"
#include "rtl/streams.h"

namespace {

constexpr int kSide = 8192;  // 64 megapixels

// A 24-bit BMP of kSide x kSide with a pattern in every byte, written by the
// bitmap's own BMP writer.
const std::vector<std::uint8_t>& BigBmp() {
    static const std::vector<std::uint8_t> file = [] {
        duvo::TBitmap bitmap;
        bitmap.SetPixelKind(duvo::pk24Bit);
        bitmap.SetWidth(kSide);
        bitmap.SetHeight(kSide);
        std::size_t i = 0;
        for (int y = 0; y < kSide; ++y) {
            std::uint8_t* row = bitmap.RowAddress(y);
            for (int x = 0; x < kSide * 3; ++x, ++i) row[x] = static_cast<std::uint8_t>(i * 31 + (i >> 13));
        }
        duvo::TMemoryStream stream;
        bitmap.WriteToStream(stream);
        return stream.Bytes();
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

// The same bytes kept alive by their owner, as duvo-compare keeps a mapped
// file: the rows are not copied at all.
void BM_DecodeBmp24Borrowed(benchmark::State& state) {
    const auto file = std::make_shared<std::vector<std::uint8_t>>(BigBmp());
    for (auto _ : state) {
        duvo::DecodedPicture picture = duvo::DecodeBmp(*file, duvo::kDefaultLimits, file);
        benchmark::DoNotOptimize(picture.raster->Bits());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file->size()));
}
BENCHMARK(BM_DecodeBmp24Borrowed)->Unit(benchmark::kMillisecond)->UseRealTime();

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
