// Decoding a 16-megapixel baseline color JPEG: TJPEGImage into its bitmap
// against the library alone decoding into a buffer with the same settings
// (accurate integer DCT, blue/green/red output, block smoothing on).
//
//   bench_jpeg [--write-pair DIR] [--decode-once FILE] [--decode-pair A B] [benchmark flags]
// --write-pair writes DIR/a.jpg and DIR/b.jpg (two different 16-megapixel
// photos of the same size) for timing duvo-compare on them; --decode-once
// loads and decodes one file and exits, so a whole process doing one decode
// can be timed beside duvo-compare; --decode-pair loads two files through the
// open command's route on two threads, as duvo-compare does before comparing.
#include "graphics/jpeg.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// clang-format off
#include <cstdio>  // the library's header needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

#include "graphics/bitmap.h"
#include "jpeg_fixtures.h"
#include "loading/open_routes.h"
#include "platform/raster.h"
#include "rtl/streams.h"

namespace {

constexpr int kWidth = 4896;
constexpr int kHeight = 3264;

using jpegtest::Bytes;

// Gradients, soft shapes and sensor-like noise: a stand-in for a photo that
// compresses to a realistic size at quality 90.
Bytes SyntheticPhoto(std::uint32_t seed) {
    Bytes rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
    std::uint32_t state = seed;
    auto noise = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<int>(state % 13) - 6;
    };
    const double phase = (seed % 97) / 10.0;
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* p = rgb.data() + static_cast<std::size_t>(y) * kWidth * 3;
        for (int x = 0; x < kWidth; ++x, p += 3) {
            const double fx = static_cast<double>(x) / kWidth, fy = static_cast<double>(y) / kHeight;
            const double shape = 60 * std::sin(9 * fx + phase) * std::cos(7 * fy);
            auto clamp = [](double v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[0] = clamp(40 + 170 * fx + shape + noise());
            p[1] = clamp(30 + 150 * fy + shape / 2 + noise());
            p[2] = clamp(200 - 120 * fx * fy - shape + noise());
        }
    }
    return rgb;
}

// Baseline 4:2:0 at quality 90, by the same compressor the tests' fixtures use.
Bytes Compress(const Bytes& rgb) { return jpegtest::EncodePixels({.width = kWidth, .height = kHeight}, rgb); }

const Bytes& Photo() {
    static const Bytes bytes = Compress(SyntheticPhoto(0x2545F491u));
    return bytes;
}

// The library alone: same settings as TJPEGImage uses by default.
void LibraryDecode(const Bytes& bytes, std::uint8_t* out, std::size_t stride) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    d.dct_method = JDCT_ISLOW;
    d.do_block_smoothing = TRUE;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out + static_cast<std::size_t>(d.output_scanline) * stride;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

constexpr std::size_t kStride = (kWidth * 3 + 3) / 4 * 4;

// A fresh output buffer per decode, as any decoder that hands out a new
// picture needs, taken the way our rasters are (huge pages for big ones).
void BM_LibraryDecodeFreshRaster(benchmark::State& state) {
    const Bytes& bytes = Photo();
    for (auto _ : state) {
        auto raster = duvo::platform::Raster::Create(kWidth, -kHeight, duvo::platform::RasterFormat{}, nullptr, 0,
                                                     duvo::platform::Raster::Fill::Zero);
        LibraryDecode(bytes, raster->Row(0), raster->Stride());
        benchmark::DoNotOptimize(raster->Bits());
    }
    state.counters["MB_in"] = static_cast<double>(bytes.size()) / 1e6;
}
BENCHMARK(BM_LibraryDecodeFreshRaster)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// A plain new[] buffer: every small page is faulted in by the decoder.
void BM_LibraryDecodeFreshNewArray(benchmark::State& state) {
    const Bytes& bytes = Photo();
    for (auto _ : state) {
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[kStride * kHeight]);
        LibraryDecode(bytes, out.get(), kStride);
        benchmark::DoNotOptimize(out.get());
    }
}
BENCHMARK(BM_LibraryDecodeFreshNewArray)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The same buffer every time: the library's pure decoding speed.
void BM_LibraryDecodeReusedBuffer(benchmark::State& state) {
    const Bytes& bytes = Photo();
    std::vector<std::uint8_t> out(kStride * kHeight);
    for (auto _ : state) {
        LibraryDecode(bytes, out.data(), kStride);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_LibraryDecodeReusedBuffer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// TJPEGImage: load (copy of the bytes, header) and decode into its bitmap.
void BM_TJPEGImageDecode(benchmark::State& state) {
    const Bytes& bytes = Photo();
    for (auto _ : state) {
        duvo::TJPEGImage image;
        duvo::TBytesStream stream(bytes.data(), bytes.size());
        image.ReadFromStream(stream);
        duvo::TBitmap* bitmap = image.DecodedBitmap();
        benchmark::DoNotOptimize(bitmap->RowAddress(0));
    }
}
BENCHMARK(BM_TJPEGImageDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The open command's whole road: decode, then a bitmap sharing the pixels.
void BM_TJPEGImageIntoBitmap(benchmark::State& state) {
    const Bytes& bytes = Photo();
    for (auto _ : state) {
        duvo::TJPEGImage image;
        duvo::TBytesStream stream(bytes.data(), bytes.size());
        image.ReadFromStream(stream);
        duvo::TBitmap bitmap;
        bitmap.CopyFrom(&image);
        benchmark::DoNotOptimize(bitmap.RowAddress(0));
    }
}
BENCHMARK(BM_TJPEGImageIntoBitmap)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::printf("wrote %s (%zu bytes, %dx%d)\n", path.c_str(), bytes.size(), kWidth, kHeight);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write-pair") == 0 && i + 1 < argc) {
            const std::string dir = argv[++i];
            WriteFile(dir + "/a.jpg", Photo());
            WriteFile(dir + "/b.jpg", Compress(SyntheticPhoto(0x1B873593u)));
            continue;
        }
        if (std::strcmp(argv[i], "--decode-once") == 0 && i + 1 < argc) {
            duvo::TJPEGImage image;
            image.LoadFile(argv[++i]);
            duvo::TBitmap bitmap;
            bitmap.CopyFrom(&image);
            std::printf("%d x %d\n", bitmap.Width(), bitmap.Height());
            return 0;
        }
        if (std::strcmp(argv[i], "--decode-pair") == 0 && i + 2 < argc) {
            duvo::InitializeFormats();
            duvo::TPicture left, right;
            std::thread other([&] { duvo::LoadIntoPicture(argv[i + 1], left); });
            duvo::LoadIntoPicture(argv[i + 2], right);
            other.join();
            std::printf("%d x %d, %d x %d\n", left.Width(), left.Height(), right.Width(), right.Height());
            return 0;
        }
        rest.push_back(argv[i]);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
