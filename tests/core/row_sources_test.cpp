// Every row source gives the pixels of its format's whole-picture decode:
// BMP against DecodeBmp, JPEG against DecodeJpeg, GIF's first frame against
// the image model's conversion to a bitmap, PNG against the libspng decode
// with its side planes; on the test files and on pictures made here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "codecs/bmp/bmp_decoder.h"
#include "codecs/jpeg/jpeg_decoder.h"
#include "compare/row_convert.h"
#include "gif_builder.h"
#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "graphics/gif/gif_rows.h"
#include "jpeg_fixtures.h"
#include "png_builder.h"
#include "reference/png_spng.h"
#include "rtl/exceptions.h"

namespace {

using namespace duvo;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The files of a test data folder with one of the extensions.
std::vector<std::filesystem::path> Files(const std::string& folder, const std::string& extension) {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(std::string(DUVO_TEST_DATA) + "/" + folder))
        if (e.path().extension() == extension) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// Every row of a source, read in bands of a few rows as the engine reads them.
std::vector<Bytes> Rows(RowSource& source, int band = 3) {
    std::vector<Bytes> rows(static_cast<std::size_t>(source.Height()), Bytes(source.Format().RowBytes()));
    Bytes buffer(source.Format().RowBytes() * static_cast<std::size_t>(band));
    for (int y = 0; y < source.Height(); y += band) {
        const int n = std::min(band, source.Height() - y);
        source.ReadRows(buffer.data(), static_cast<std::ptrdiff_t>(source.Format().RowBytes()), n);
        for (int i = 0; i < n; ++i)
            std::copy_n(buffer.data() + source.Format().RowBytes() * static_cast<std::size_t>(i),
                        source.Format().RowBytes(), rows[static_cast<std::size_t>(y + i)].begin());
    }
    source.Finish();
    return rows;
}

// Packed colors of a source's rows, as the engine converts them.
std::vector<std::uint32_t> Colors(RowSource& source, std::vector<std::uint8_t>* alpha = nullptr,
                                  std::vector<std::uint16_t>* deep = nullptr) {
    const compare_rows::RowReader reader(source.Format(), compare_rows::ScalarKernels());
    const std::vector<Bytes> rows = Rows(source);
    std::vector<std::uint32_t> out;
    for (const Bytes& row : rows)
        for (int x0 = 0; x0 < source.Width(); x0 += compare_rows::kRunPixels) {
            const int n = std::min(compare_rows::kRunPixels, source.Width() - x0);
            std::uint32_t run[compare_rows::kRunPixels];
            const std::uint32_t* c = reader.Colors(row.data(), x0, n, run);
            out.insert(out.end(), c, c + n);
            if (alpha || deep) {
                std::uint8_t a[compare_rows::kRunPixels];
                std::uint16_t d[4 * compare_rows::kRunPixels];
                reader.Side(row.data(), x0, n, a, d);
                if (alpha) alpha->insert(alpha->end(), a, a + n);
                if (deep) deep->insert(deep->end(), d, d + 4 * n);
            }
        }
    return out;
}

std::vector<std::uint32_t> Colors(TBitmap& bitmap) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            out.push_back(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)));
    return out;
}

// ---- BMP ----------------------------------------------------------------------------------

TEST(RowSources, BmpRowsAreTheDecodedRasterRows) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& p : Files("bmp", ".bmp")) files.emplace_back(p.filename().string(), ReadAll(p));
    for (const auto& p : Files("regress", ".bmp")) files.emplace_back(p.filename().string(), ReadAll(p));
    // Cut short, also inside a row: the missing bytes are zeros, as the decode makes them.
    const Bytes whole = bmptest::BuildBmp({.width = 5, .height = 4, .pixels = Bytes(64, 0x5A)});
    files.emplace_back("cut inside a row", Bytes(whole.begin(), whole.end() - 21));
    files.emplace_back("top-down, cut", Bytes(bmptest::BuildBmp({.width = 3, .height = -4, .pixels = Bytes(20, 7)})));
    int compared = 0;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        DecodedPicture decoded;
        try {
            decoded = DecodeBmp(bytes, kDefaultLimits);
        } catch (const Exception&) {
            EXPECT_THROW(OpenBmpRows(bytes, kDefaultLimits), Exception);
            continue;
        }
        if (!decoded.raster) continue;
        auto source = OpenBmpRows(bytes, kDefaultLimits);
        EXPECT_EQ(source->Warnings(), decoded.warnings);
        const platform::Raster& r = *decoded.raster;
        ASSERT_EQ(source->Width(), r.Width());
        ASSERT_EQ(source->Height(), r.Height());
        // In place and read in bands: the same bytes.
        for (int y = 0; y < r.Height(); ++y)
            ASSERT_TRUE(std::equal(r.Row(y), r.Row(y) + source->Format().RowBytes(), source->RowInPlace(y))) << y;
        const auto rows = Rows(*source);
        for (int y = 0; y < r.Height(); ++y)
            ASSERT_TRUE(std::equal(rows[static_cast<std::size_t>(y)].begin(), rows[static_cast<std::size_t>(y)].end(),
                                   r.Row(y)))
                << y;
        // And the colors the engine reads are those of the bitmap's pixel reads.
        TBitmap bitmap;
        bitmap.Adopt(std::move(decoded));
        auto again = OpenBmpRows(bytes, kDefaultLimits);
        EXPECT_EQ(Colors(*again), Colors(bitmap));
        ++compared;
    }
    EXPECT_GE(compared, 16);
}

// ---- JPEG -------------------------------------------------------------------------------

TEST(RowSources, JpegRowsAreTheDefaultDecode) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& p : Files("jpeg", ".jpg")) files.emplace_back(p.filename().string(), ReadAll(p));
    for (auto kind : {jpegtest::Kind::Color, jpegtest::Kind::Gray, jpegtest::Kind::Cmyk})
        files.emplace_back("made, progressive",
                           jpegtest::EncodeJpeg({.width = 70, .height = 33, .kind = kind, .progressive = true}));
    int compared = 0;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        JpegDecoded whole;
        try {
            whole = DecodeJpeg(bytes, JpegSettings{}, kDefaultLimits);
        } catch (const EJPEG&) {
            EXPECT_THROW(Rows(*OpenJpegRows(bytes, kDefaultLimits)), EJPEG);
            continue;
        }
        auto source = OpenJpegRows(bytes, kDefaultLimits);
        const platform::Raster& r = *whole.picture.raster;
        ASSERT_EQ(source->Width(), r.Width());
        ASSERT_EQ(source->Height(), r.Height());
        const auto rows = Rows(*source);
        for (int y = 0; y < r.Height(); ++y)
            ASSERT_TRUE(std::equal(rows[static_cast<std::size_t>(y)].begin(), rows[static_cast<std::size_t>(y)].end(),
                                   r.Row(y)))
                << y;
        EXPECT_EQ(source->Warnings(), whole.picture.warnings);
        TBitmap bitmap;
        bitmap.Adopt(std::move(whole.picture));
        EXPECT_EQ(Colors(*OpenJpegRows(bytes, kDefaultLimits)), Colors(bitmap));
        ++compared;
    }
    EXPECT_GE(compared, 10);
}

// ---- GIF --------------------------------------------------------------------------------

// What the desktop program shows of a GIF: its bitmap, or the codec's error.
struct Shown {
    std::vector<std::uint32_t> colors;
    int width = 0, height = 0;
    std::string error;
};

Shown ThroughTheModel(const Bytes& bytes) {
    Shown s;
    try {
        TGIFImage gif;
        gif.LoadFromBytes(bytes, kDefaultLimits);
        TBitmap bitmap;
        bitmap.CopyFrom(&gif);
        s.width = bitmap.Width();
        s.height = bitmap.Height();
        s.colors = Colors(bitmap);
    } catch (const Exception& e) {
        s.error = e.Message();
    }
    return s;
}

Shown ThroughTheRows(const Bytes& bytes) {
    Shown s;
    try {
        auto source = OpenGifRows(bytes, kDefaultLimits);
        s.width = source->Width();
        s.height = source->Height();
        if (s.width > 0 && s.height > 0) s.colors = Colors(*source);
    } catch (const Exception& e) {
        s.error = e.Message();
    }
    return s;
}

TEST(RowSources, GifFirstFrameRowsAreTheConvertedBitmap) {
    using giftest::GifWriter;
    const std::vector<std::uint32_t> colors = {0x0000FF, 0x00FF00, 0xFF0000, 0x000000};
    std::vector<std::pair<std::string, Bytes>> files = {
        {"a frame covering the screen", GifWriter()
                                            .Header()
                                            .ScreenColors(3, 2, colors)
                                            .ImageColors(3, 2, {})
                                            .Pixels(3, 2, {0, 1, 2, 3, 2, 1})
                                            .Trailer()
                                            .out},
        {"a smaller frame on white", GifWriter()
                                         .Header()
                                         .ScreenColors(5, 4, colors)
                                         .ImageColors(2, 2, {}, 1, 1)
                                         .Pixels(2, 2, {0, 1, 2, 3})
                                         .Trailer()
                                         .out},
        {"a frame beyond the screen's edges", GifWriter()
                                                  .Header()
                                                  .ScreenColors(3, 3, colors)
                                                  .ImageColors(3, 2, {}, 1, 2)
                                                  .Pixels(3, 2, {0, 1, 2, 3, 0, 1})
                                                  .Trailer()
                                                  .out},
        {"a local table", GifWriter()
                              .Header()
                              .ScreenColors(2, 1, colors)
                              .ImageColors(2, 1, {0x123456, 0x654321})
                              .Pixels(2, 1, {0, 1})
                              .Trailer()
                              .out},
        {"indices past the table",
         GifWriter().Header().ScreenColors(3, 1, {1, 2}).ImageColors(3, 1, {}).Pixels(3, 1, {1, 2, 200}).Trailer().out},
        {"no table at all",
         GifWriter().Header().ScreenColors(2, 1, {}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out},
        {"a later frame broken", Bytes()},
    };
    // The second frame's data cut: the first is whole, so the rows take it as
    // the model does (which reads on and keeps what it has).
    Bytes two = GifWriter()
                    .Header()
                    .ScreenColors(3, 2, colors)
                    .ImageColors(3, 2, {})
                    .Pixels(3, 2, {0, 1, 2, 3, 2, 1})
                    .ImageColors(3, 2, {})
                    .Pixels(3, 2, {3, 3, 3, 3, 3, 3})
                    .out;
    two.resize(two.size() - 3);
    files.back().second = two;
    for (const auto& p : Files("gif", ".gif")) files.emplace_back(p.filename().string(), ReadAll(p));
    for (const auto& p : Files("regress", ".gif")) files.emplace_back(p.filename().string(), ReadAll(p));
    files.emplace_back("two frames", ReadAll(std::string(DUVO_TEST_DATA) + "/gif_lzw/two_frames.gif"));
    int compared = 0;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const Shown model = ThroughTheModel(bytes);
        const Shown rows = ThroughTheRows(bytes);
        // A file the model refuses in a later frame is read by the rows,
        // which stop after the first one; otherwise both agree.
        if (!model.error.empty() && rows.error.empty()) continue;
        EXPECT_EQ(rows.error, model.error);
        EXPECT_EQ(rows.width, model.width);
        EXPECT_EQ(rows.height, model.height);
        EXPECT_EQ(rows.colors, model.colors);
        compared += model.error.empty();
    }
    EXPECT_GE(compared, 15);
}

TEST(RowSources, GifDataThatEndsEarlyIsATruncatedWarning) {
    const auto indices = giftest::PhotoPixels(40, 30, 100, 3);
    std::vector<std::uint32_t> colors(256);
    for (int i = 0; i < 256; ++i) colors[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i * 0x030201);
    Bytes gif = giftest::GifWriter()
                    .Header()
                    .ScreenColors(40, 30, colors)
                    .ImageColors(40, 30, {})
                    .Pixels(40, 30, indices)
                    .Trailer()
                    .out;
    EXPECT_TRUE(OpenGifRows(gif, kDefaultLimits)->Warnings().empty());
    gif.resize(gif.size() / 2);
    const auto source = OpenGifRows(gif, kDefaultLimits);
    ASSERT_FALSE(source->Warnings().empty());
    EXPECT_EQ(source->Warnings().front().kind, "truncated");
    EXPECT_NE(source->Warnings().front().message.find(" of 1200 pixels"), std::string::npos);
}

// ---- PNG --------------------------------------------------------------------------------

TEST(RowSources, PngRowsConvertToTheColorsAndSidePlanesOfTheWholeDecode) {
    struct File {
        std::string name;
        Bytes bytes;
        // Whether the file has alpha (an alpha channel or tRNS) and 16-bit
        // samples; unknown for the data files, where the row format says.
        std::optional<bool> alpha, deep;
    };
    std::vector<File> files;
    for (const auto& p : Files("png", ".png")) files.push_back({p.filename().string(), ReadAll(p), {}, {}});
    // Every color type and depth, with and without tRNS.
    using duvo::test::PngRecipe;
    std::mt19937 rng(11);
    const std::pair<int, std::vector<int>> kinds[] = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    for (const auto& [type, depths] : kinds)
        for (int depth : depths)
            for (bool trns : {false, true}) {
                if (trns && (type == 4 || type == 6)) continue;
                PngRecipe r;
                r.width = 13;
                r.height = 5;
                r.bitDepth = depth;
                r.colorType = type;
                const int channels = type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4;
                const int top = (1 << depth) - 1;
                for (int i = 0; i < r.width * r.height * channels; ++i)
                    r.samples.push_back(static_cast<std::uint16_t>(rng() % (static_cast<unsigned>(top) + 1)));
                if (type == 3)
                    for (int i = 0; i < (1 << depth); ++i)
                        r.palette.push_back({static_cast<std::uint8_t>(i * 37), 20, 200});
                if (trns) {
                    if (type == 3)  // no longer than the palette, or the chunk is no tRNS
                        r.paletteAlpha =
                            depth == 1 ? std::vector<std::uint8_t>{0, 128} : std::vector<std::uint8_t>{0, 128, 255};
                    else if (type == 0)
                        r.transparent = std::array<std::uint16_t, 3>{r.samples[0], 0, 0};
                    else
                        r.transparent = std::array<std::uint16_t, 3>{r.samples[0], r.samples[1], r.samples[2]};
                }
                files.push_back(
                    {"type " + std::to_string(type) + " depth " + std::to_string(depth) + (trns ? " tRNS" : ""),
                     duvo::test::PngBuilder::Build(r), trns || type == 4 || type == 6, depth == 16});
            }
    int withAlpha = 0, withDeep = 0;
    for (const File& file : files) {
        SCOPED_TRACE(file.name);
        const PngDecoded whole = DecodePng(file.bytes, kDefaultLimits);
        auto source = OpenPngRowsWithSpng(file.bytes, kDefaultLimits);
        const bool alpha = file.alpha.value_or(source->Format().MayHaveAlpha());
        const bool deep = file.deep.value_or(source->Format().Deep());
        std::vector<std::uint8_t> rowAlpha;
        std::vector<std::uint16_t> rowDeep;
        const std::vector<std::uint32_t> colors = Colors(*source, &rowAlpha, &rowDeep);
        DecodedPicture picture;
        picture.raster = whole.picture.raster;
        TBitmap bitmap;
        bitmap.Adopt(std::move(picture));
        ASSERT_EQ(colors, Colors(bitmap));
        // The whole decode keeps a plane only where the file has it; the
        // rows' planes are then its own, and otherwise opaque.
        ASSERT_EQ(whole.side.alpha.empty(), !alpha);
        ASSERT_EQ(whole.side.deep.empty(), !deep);
        EXPECT_EQ(rowAlpha, alpha ? whole.side.alpha : std::vector<std::uint8_t>(colors.size(), 255));
        if (deep) {
            EXPECT_EQ(rowDeep, whole.side.deep);
        }
        withAlpha += alpha;
        withDeep += deep;
    }
    EXPECT_GE(withAlpha, 10);
    EXPECT_GE(withDeep, 8);
}

}  // namespace
