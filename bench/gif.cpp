// Decoding a 4000 x 4000 GIF frame, in megapixels per second (the items/s
// column): the fast LZW decoder (into a reused buffer, into a new frame, and
// a band at a time as a comparison streams it),
// the reference decoder, giflib's DGifSlurp on the same bytes, and a whole
// load through TGIFImage (reader and decoder); then converting a loaded frame
// to a bitmap, with its own colors and dithered.
// Two pictures: photo-like (256 colors, smooth shapes with noise, short
// strings) and screenshot-like (flat areas and thin detail, long strings).
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/gif/lzw.h"
#include "gif_builder.h"
#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "rtl/streams.h"

namespace {

using giftest::Bytes;

constexpr int kSize = 4000;
constexpr std::int64_t kPixels = std::int64_t{kSize} * kSize;

Bytes PhotoLike() {
    Bytes px(static_cast<std::size_t>(kPixels));
    std::uint32_t s = 12345;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            s ^= s << 13, s ^= s >> 17, s ^= s << 5;
            const double fx = x / double(kSize), fy = y / double(kSize);
            const double v = 128 + 90 * std::sin(7 * fx + 3 * fy) * std::cos(5 * fy - 2 * fx) + 30 * fx;
            const int noisy = static_cast<int>(v) + static_cast<int>(s % 9) - 4;
            px[static_cast<std::size_t>(y) * kSize + x] = static_cast<std::uint8_t>(noisy < 0     ? 0
                                                                                    : noisy > 255 ? 255
                                                                                                  : noisy);
        }
    return px;
}

Bytes ScreenshotLike() {
    Bytes px(static_cast<std::size_t>(kPixels));
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            std::uint8_t c = (y / 300 + x / 500) % 2 ? 200 : 230;                         // panels
            if (y % 300 < 24) c = 40;                                                     // title bars
            if ((y % 20 > 6 && y % 20 < 14) && (x % 9 < 5) && (x / 200) % 3 != 0) c = 0;  // lines of "text"
            px[static_cast<std::size_t>(y) * kSize + x] = c;
        }
    return px;
}

struct Picture {
    Bytes file;          // a whole GIF
    std::size_t dataAt;  // offset of the minimum code size byte
};

Picture Make(const Bytes& px) {
    giftest::GifWriter w;
    w.Header().Screen(kSize, kSize, 256).Image(kSize, kSize);
    Picture p{{}, w.out.size()};
    w.Data(8, giftest::LzwEncode(px, 8)).Trailer();
    p.file = std::move(w.out);
    return p;
}

const Picture& Photo() {
    static const Picture p = Make(PhotoLike());
    return p;
}
const Picture& Screenshot() {
    static const Picture p = Make(ScreenshotLike());
    return p;
}

[[noreturn]] void PrematureEnd() { throw duvo::GIFException(duvo::msg::GIFPrematureEnd); }

using Decoder = std::size_t (*)(duvo::ByteReader&, const duvo::LzwFrame&, const duvo::LzwWarn&);

void Decode(benchmark::State& state, const Picture& p, Decoder decode) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kPixels));
    const duvo::LzwWarn warn = [](const char*) {};
    for (auto _ : state) {
        duvo::ByteReader reader(p.file, PrematureEnd);
        reader.Seek(p.dataAt);
        decode(reader, {pixels.data(), kSize, kSize, false, 0}, warn);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
    state.counters["file_KB"] = static_cast<double>(p.file.size()) / 1024;
}

void BM_Fast(benchmark::State& state, const Picture& (*picture)()) { Decode(state, picture(), duvo::DecodeLzwFast); }
void BM_Reference(benchmark::State& state, const Picture& (*picture)()) {
    Decode(state, picture(), duvo::DecodeLzwReference);
}

// The decoder alone into a newly made frame, as a load makes one: the
// pages of the pixels are first touched by the decoder.
void BM_FastNewFrame(benchmark::State& state, const Picture& (*picture)()) {
    const Picture& p = picture();
    const duvo::LzwWarn warn = [](const char*) {};
    for (auto _ : state) {
        auto pixels = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(kPixels));
        duvo::ByteReader reader(p.file, PrematureEnd);
        reader.Seek(p.dataAt);
        duvo::DecodeLzwFast(reader, {pixels.get(), kSize, kSize, false, 0}, warn);
        benchmark::DoNotOptimize(pixels.get());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The decoder a piece at a time, as a comparison reads a frame: bands of
// about 2^17 pixels (whole rows) into one reused buffer, the frame never
// held. Against BM_Fast this is the cost of the window and its arena.
void BM_FastStream(benchmark::State& state, const Picture& (*picture)()) {
    const Picture& p = picture();
    const duvo::LzwWarn warn = [](const char*) {};
    const std::size_t band = std::size_t{(1 << 17) / kSize} * kSize;
    std::vector<std::uint8_t> rows(band);
    for (auto _ : state) {
        duvo::ByteReader reader(p.file, PrematureEnd);
        reader.Seek(p.dataAt);
        duvo::LzwStream stream(reader, static_cast<std::uint64_t>(kPixels), 0, warn);
        for (std::size_t at = 0; at < static_cast<std::size_t>(kPixels); at += band) {
            const std::size_t n = std::min(band, static_cast<std::size_t>(kPixels) - at);
            stream.Read(rows.data(), n);
            benchmark::DoNotOptimize(rows.data());
        }
        stream.Finish();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_Load(benchmark::State& state, const Picture& (*picture)()) {
    const Picture& p = picture();
    for (auto _ : state) {
        duvo::TGIFImage image;
        duvo::TBytesStream stream(p.file.data(), p.file.size());
        image.ReadFromStream(stream);
        benchmark::DoNotOptimize(image.Images().Frame(0)->Data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_Giflib(benchmark::State& state, const Picture& (*picture)()) {
    const Picture& p = picture();
    struct Source {
        const Bytes* bytes;
        std::size_t pos;
    };
    for (auto _ : state) {
        Source source{&p.file, 0};
        int error = 0;
        GifFileType* gif = DGifOpen(
            &source,
            [](GifFileType* g, GifByteType* out, int n) -> int {
                auto* s = static_cast<Source*>(g->UserData);
                const std::size_t k = std::min(static_cast<std::size_t>(n), s->bytes->size() - s->pos);
                std::memcpy(out, s->bytes->data() + s->pos, k);
                s->pos += k;
                return static_cast<int>(k);
            },
            &error);
        if (!gif || DGifSlurp(gif) != GIF_OK) state.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
        DGifCloseFile(gif, &error);
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// Converting the loaded image to a bitmap, as the open command does: the
// frame covers the screen, so the indexed render's one row copy is all the
// pixel work; the dithered render does its error diffusion on every pixel.
// The load itself is not timed.
void BM_Convert(benchmark::State& state, const Picture& (*picture)(), bool dither) {
    const Picture& p = picture();
    for (auto _ : state) {
        state.PauseTiming();
        auto image = std::make_unique<duvo::TGIFImage>();
        image->SetDrawOptions(dither ? duvo::goDither : duvo::goDither | duvo::goAutoDither);
        duvo::TBytesStream stream(p.file.data(), p.file.size());
        image->ReadFromStream(stream);
        state.ResumeTiming();
        duvo::TBitmap bitmap;
        bitmap.CopyFrom(image.get());
        benchmark::DoNotOptimize(bitmap.Raster()->Bits());
        state.PauseTiming();
        image.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The floor of the indexed render: one copy of every row into fresh memory.
void BM_RowCopyFloor(benchmark::State& state) {
    const Bytes source(static_cast<std::size_t>(kPixels), 7);
    for (auto _ : state) {
        auto rows = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(kPixels));
        for (int y = 0; y < kSize; ++y)
            std::memcpy(rows.get() + static_cast<std::size_t>(y) * kSize,
                        source.data() + static_cast<std::size_t>(y) * kSize, kSize);
        benchmark::DoNotOptimize(rows.get());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

BENCHMARK_CAPTURE(BM_Convert, photo_indexed, Photo, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, photo_dithered, Photo, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowCopyFloor)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_Fast, photo_fast, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FastNewFrame, photo_fast_new_frame, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FastStream, photo_fast_stream, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reference, photo_reference, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Giflib, photo_giflib, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, photo_whole_load, Photo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fast, screenshot_fast, Screenshot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FastNewFrame, screenshot_fast_new_frame, Screenshot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FastStream, screenshot_fast_stream, Screenshot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reference, screenshot_reference, Screenshot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Giflib, screenshot_giflib, Screenshot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, screenshot_whole_load, Screenshot)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
