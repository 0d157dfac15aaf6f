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
#include "codecs/png/png_rows.h"
#include "codecs/webp/webp_decoder.h"
#include "compare/row_convert.h"
#include "gif_builder.h"
#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "graphics/gif/gif_rows.h"
#include "jpeg_fixtures.h"
#include "png_builder.h"
#include "reference/png_spng.h"
#include "rtl/exceptions.h"
#include "webp_fixtures.h"

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
    std::vector<DecodeWarning> warnings;
};

// Files of the data folders may declare huge pictures; these are refused
// alike on both paths, before the model would take their memory.
constexpr Limits kGifLimits{.pixels = std::uint64_t{1} << 24};

Shown ThroughTheModel(const Bytes& bytes) {
    Shown s;
    try {
        TGIFImage gif;
        gif.LoadFromBytes(bytes, kGifLimits);
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

// The warnings of the rows as the model's load of the first frame gives
// them: the codec's, each once, and the pixels the data lacks in front,
// which then stand for the cut alone. A missing trailer is not the model's
// to see: whenRowsSayCut takes the rows' word for it, and the model's
// "Premature end of data" is that same cut.
std::vector<DecodeWarning> ModelWarnings(const Bytes& bytes, bool whenRowsSayCut) {
    std::vector<DecodeWarning> out;
    TGIFImage gif;
    gif.SetOnWarning([&](TPersistent*, std::uint8_t, const std::string& m) {
        const bool ends = m == msg::GIFPrematureEnd || m == msg::GIFBitUnderrun;
        const DecodeWarning w{ends ? "truncated" : "corrupt", m};
        if (std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
    });
    gif.LoadFirstFrame(bytes, kGifLimits);
    if (gif.Images().Count() > 0) {
        const TGIFSubImage& f = *gif.Images().Frame(0);
        const std::uint64_t total = std::uint64_t(f.Width()) * std::uint64_t(f.Height());
        if (!f.Empty() && f.DecodedPixels() < total) {
            std::erase_if(out, [](const DecodeWarning& w) { return w.kind == "truncated"; });
            out.insert(out.begin(), {"truncated", "the image data ends after " + std::to_string(f.DecodedPixels()) +
                                                      " of " + std::to_string(total) + " pixels"});
            return out;
        }
    }
    if (whenRowsSayCut) {
        std::erase_if(out, [](const DecodeWarning& w) { return w.message == msg::GIFPrematureEnd; });
        const bool frame = gif.Images().Count() > 0 && !gif.Images().Frame(0)->Empty();
        out.push_back({"truncated", frame ? "the file ends before its trailer; the first frame is whole"
                                          : "the file ends before its trailer"});
    }
    return out;
}

Shown ThroughTheRows(const Bytes& bytes) {
    Shown s;
    try {
        auto source = OpenGifRows(bytes, kGifLimits);
        s.width = source->Width();
        s.height = source->Height();
        if (s.width > 0 && s.height > 0)
            s.colors = Colors(*source);
        else
            source->Finish();
        s.warnings = source->Warnings();
    } catch (const Exception& e) {
        // The load failed, wherever in the rows: no picture.
        s = Shown{};
        s.error = e.Message();
    }
    return s;
}

// Warnings as "kind: message", which a failure shows.
std::vector<std::string> Texts(const std::vector<DecodeWarning>& warnings) {
    std::vector<std::string> out;
    for (const auto& w : warnings) out.push_back(w.kind + ": " + w.message);
    return out;
}

std::vector<std::uint32_t> Palette256() {
    std::vector<std::uint32_t> colors(256);
    for (int i = 0; i < 256; ++i) colors[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i * 0x030507);
    return colors;
}

// GIFs whose first frame is larger than the decoder's window (2^17 pixels),
// so the rows come from several fills of it, in every placement and with
// the damage the decoder meets.
std::vector<std::pair<std::string, Bytes>> LargeGifs() {
    using giftest::GifWriter;
    const auto photo = giftest::PhotoPixels(600, 400, 256, 9);
    const auto colors = Palette256();
    auto file = [&](int sw, int sh, int fw, int fh, int left, int top, bool interlaced = false) {
        const Bytes px(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(fw) * fh);
        return GifWriter()
            .Header()
            .ScreenColors(sw, sh, colors)
            .ImageColors(fw, fh, {}, left, top, interlaced)
            .Pixels(fw, fh, px, interlaced)
            .Trailer()
            .out;
    };
    std::vector<std::pair<std::string, Bytes>> out = {
        {"large, covering the screen", file(600, 400, 600, 400, 0, 0)},
        {"large, covering the screen, interlaced", file(600, 400, 600, 400, 0, 0, true)},
        {"large, on a larger screen at an offset", file(700, 500, 600, 300, 50, 150)},
        {"large, interlaced, at an offset", file(700, 500, 600, 300, 50, 150, true)},
        {"large, past the screen's bottom and right edges", file(620, 300, 600, 400, 100, 100)},
        {"large, wholly below the screen", file(600, 200, 600, 300, 0, 250)},
    };
    // Cut inside the data, in each placement: the rest is the fill.
    for (std::size_t i = 0; i < 6; ++i) {
        Bytes cut = out[i].second;
        cut.resize(cut.size() * 2 / 3);
        out.emplace_back(out[i].first + ", cut", cut);
    }
    // Transparent: the fill is the transparent index.
    Bytes transparent = GifWriter().Header().ScreenColors(600, 400, colors).Gce(1, 77).out;
    const Bytes frame = file(600, 400, 600, 400, 0, 0);
    transparent.insert(transparent.end(), frame.begin() + 13 + 768, frame.end());
    out.emplace_back("transparent, cut", Bytes(transparent.begin(), transparent.end() - 40000));
    // Damaged codes: bytes flipped through the data.
    Bytes flipped = frame;
    for (int k = 1; k < 30; ++k) flipped[800 + (flipped.size() - 900) * static_cast<std::size_t>(k) / 30] ^= 0x33;
    out.emplace_back("large, damaged codes", flipped);
    return out;
}

// Hand-made codes in frames of a few rows: what the table does not hold,
// clear codes between strings, data that ends early.
std::vector<std::pair<std::string, Bytes>> CodeGifs() {
    using giftest::Codes;
    using giftest::GifWriter;
    const std::vector<std::uint32_t> colors = {0x0000FF, 0x00FF00, 0xFF0000, 0x000000};
    auto file = [&](int fw, int fh, int left, int top, const std::vector<int>& codes, bool trailer = true) {
        GifWriter w;
        w.Header().ScreenColors(6, 4, colors).ImageColors(fw, fh, {}, left, top).Data(2, Codes(2, codes));
        if (trailer) w.Trailer();
        return w.out;
    };
    return {
        {"codes past the table", file(6, 4, 0, 0, {4, 1, 9, 2, 13, 5})},
        {"codes past the table, smaller frame", file(3, 2, 2, 1, {4, 1, 14, 5})},
        {"clear codes between strings", file(6, 4, 0, 0, {4, 1, 6, 4, 2, 2, 7, 4, 3, 3, 8, 5})},
        {"a circular entry", file(6, 4, 0, 0, {4, 1, 6, 6, 7, 8, 9, 8, 5})},
        {"data ending early without an end code", file(6, 4, 0, 0, {4, 1, 2, 6})},
        {"data ending early, smaller frame at an offset", file(4, 3, 1, 1, {4, 3, 6})},
        {"no trailer", file(6, 4, 0, 0, {4, 1, 6, 7, 8, 9, 5}, false)},
    };
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
        // The model decodes the data before it looks for a table or at the
        // screen's size, so the data's own error comes first.
        {"no table at all, and a circular entry", GifWriter()
                                                      .Header()
                                                      .ScreenColors(6, 4, {})
                                                      .ImageColors(6, 4, {})
                                                      .Data(2, giftest::Codes(2, {4, 1, 6, 6, 7, 8, 9, 8, 5}))
                                                      .Trailer()
                                                      .out},
        {"a screen too large to compose, and a circular entry",
         GifWriter()
             .Header()
             .ScreenColors(65535, 65535, colors)
             .ImageColors(6, 4, {})
             .Data(2, giftest::Codes(2, {4, 1, 6, 6, 7, 8, 9, 8, 5}))
             .Trailer()
             .out},
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
    for (auto& f : LargeGifs()) files.push_back(std::move(f));
    for (auto& f : CodeGifs()) files.push_back(std::move(f));
    for (const auto& p : Files("gif", ".gif")) files.emplace_back(p.filename().string(), ReadAll(p));
    for (const auto& p : Files("regress", ".gif")) files.emplace_back(p.filename().string(), ReadAll(p));
    files.emplace_back("two frames", ReadAll(std::string(DUVO_TEST_DATA) + "/gif_lzw/two_frames.gif"));
    int compared = 0, failed = 0, warned = 0;
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
        if (model.error.empty()) {
            const bool cut = std::any_of(rows.warnings.begin(), rows.warnings.end(), [](const DecodeWarning& w) {
                return w.message.starts_with("the file ends before its trailer");
            });
            EXPECT_EQ(Texts(rows.warnings), Texts(ModelWarnings(bytes, cut)));
        }
        compared += model.error.empty();
        failed += !model.error.empty();
        warned += !rows.warnings.empty();
    }
    EXPECT_GE(compared, 30);
    EXPECT_GE(failed, 3);
    EXPECT_GE(warned, 12);
}

// One cut, one warning, in the rows alone (the desktop program's load keeps
// its own words): the pixels the data lacks when the frame is short of them,
// else that the trailer is missing; a whole file has none.
TEST(RowSources, AGifCutShortGivesOneWarning) {
    using giftest::GifWriter;
    const auto colors = Palette256();
    const auto px = giftest::PhotoPixels(40, 30, 100, 3);
    const Bytes whole =
        GifWriter().Header().ScreenColors(40, 30, colors).ImageColors(40, 30, {}).Pixels(40, 30, px).Trailer().out;
    const std::size_t dataEnd = whole.size() - 2;  // the terminator, then the trailer
    auto cut = [&](std::size_t n) { return Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)); };
    // Without the terminator, the trailer byte reads as a sub-block's count.
    Bytes noTerminator = cut(dataEnd);
    noTerminator.push_back(0x3B);
    const std::string trailerGone = "the file ends before its trailer; the first frame is whole";
    // The frame never begins: the screen is white, and what is missing is the rest of the file.
    Bytes gceCut = GifWriter().Header().ScreenColors(40, 30, colors).Gce(1, 3).out;
    gceCut.resize(gceCut.size() - 3);
    struct Case {
        const char* proves;
        Bytes bytes;
        std::vector<DecodeWarning> warnings;
    };
    const Case cases[] = {
        {"a whole file", whole, {}},
        {"only the trailer missing", cut(whole.size() - 1), {{"truncated", trailerGone}}},
        {"the last terminator and the trailer missing", cut(dataEnd), {{"truncated", trailerGone}}},
        {"only the last terminator missing", noTerminator, {{"truncated", trailerGone}}},
        {"cut inside the data after its last code", cut(dataEnd - 1), {{"truncated", trailerGone}}},
        {"cut 100 bytes before the end",
         cut(whole.size() - 100),
         {{"truncated", "the image data ends after 1044 of 1200 pixels"}}},
        {"cut after the image descriptor",
         cut(13 + 768 + 10),
         {{"truncated", "the image data ends after 0 of 1200 pixels"}}},
        {"cut inside a graphic control extension", gceCut, {{"truncated", "the file ends before its trailer"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.proves);
        auto source = OpenGifRows(c.bytes, kDefaultLimits);
        Rows(*source);
        EXPECT_EQ(Texts(source->Warnings()), Texts(c.warnings));
    }
}

// ---- what is held --------------------------------------------------------------------

// A source says it is not sequential exactly when it holds a whole frame,
// and only such a frame counts against the byte limit: a small file that
// declares a large held frame is refused at once, one read in order is not.
TEST(RowSources, OnlyASourceThatHoldsItsFrameSaysSoAndCountsItsBytes) {
    using Open = std::function<std::unique_ptr<RowSource>(ByteSpan, const Limits&)>;
    const Open bmp = [](ByteSpan b, const Limits& l) { return OpenBmpRows(b, l); };
    const Open jpeg = [](ByteSpan b, const Limits& l) { return OpenJpegRows(b, l); };
    const Open gif = [](ByteSpan b, const Limits& l) { return OpenGifRows(b, l); };
    const Open png = [](ByteSpan b, const Limits& l) { return OpenPngRows(b, l); };
    const Open webp = [](ByteSpan b, const Limits& l) { return OpenWebpRows(b, l); };
    // A 40 x 30 run-length picture: a run of 40 and an end of line a row.
    Bytes runs;
    for (int y = 0; y < 30; ++y) runs.insert(runs.end(), {40, static_cast<std::uint8_t>(y & 1), 0, 0});
    runs.insert(runs.end(), {0, 1});
    const Bytes rle = bmptest::BuildBmp({.width = 40,
                                         .height = 30,
                                         .bitCount = 8,
                                         .compression = 1,
                                         .clrUsed = 2,
                                         .colors = {0x000000, 0xFFFFFF},
                                         .pixels = runs});
    const auto px = giftest::PhotoPixels(40, 30, 64, 1);
    auto gifFile = [&](bool interlaced) {
        return giftest::GifWriter()
            .Header()
            .ScreenColors(40, 30, Palette256())
            .ImageColors(40, 30, {}, 0, 0, interlaced)
            .Pixels(40, 30, px, interlaced)
            .Trailer()
            .out;
    };
    auto pngFile = [](bool interlaced) {
        duvo::test::PngRecipe r;
        r.width = 40;
        r.height = 30;
        r.interlaced = interlaced;
        r.samples.assign(40 * 30 * 3, 77);
        return duvo::test::PngBuilder::Build(r);
    };
    const struct {
        const char* what;
        Bytes bytes;
        Open open;
        bool sequential;
    } rows[] = {
        {"BMP rows where they lie", bmptest::BuildBmp({.width = 40, .height = 30, .pixels = Bytes(120 * 30, 9)}), bmp,
         true},
        {"BMP run-length data", rle, bmp, false},
        {"baseline JPEG", jpegtest::EncodeJpeg({.width = 40, .height = 30}), jpeg, true},
        {"progressive JPEG: its coefficients", jpegtest::EncodeJpeg({.width = 40, .height = 30, .progressive = true}),
         jpeg, false},
        {"GIF", gifFile(false), gif, true},
        {"interlaced GIF", gifFile(true), gif, false},
        {"PNG", pngFile(false), png, true},
        {"interlaced PNG", pngFile(true), png, false},
        {"WebP", webptest::Encode(webptest::Pixels(40, 30, 3, 5), 40, 30, 3, true), webp, false},
    };
    Limits fewBytes;
    fewBytes.decodedBytes = 100;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.open(row.bytes, kDefaultLimits)->Sequential(), row.sequential);
        if (row.sequential) {
            auto source = row.open(row.bytes, fewBytes);
            EXPECT_FALSE(Rows(*source).empty());
        } else {
            EXPECT_THROW(row.open(row.bytes, fewBytes), EPictureTooLarge);
        }
    }
}

// Small files that declare huge pictures, under the command line's limits
// (2^29 pixels, 1 GiB for a frame held whole): a frame that must be held is
// refused at once, naming its size; one read in order is not held at all.
TEST(RowSources, SmallFilesDeclaringHugeHeldFramesAreRefusedAtOnce) {
    const Limits cli = WithPixelLimit({}, std::uint64_t{1} << 29);
    const std::string regress = std::string(DUVO_TEST_DATA) + "/regress/";
    // Run-length data for 20000 x 20000 pixels that ends at once.
    const Bytes rle = bmptest::BuildBmp({.width = 20000,
                                         .height = 20000,
                                         .bitCount = 8,
                                         .compression = 1,
                                         .clrUsed = 2,
                                         .colors = {0, 0xFFFFFF},
                                         .pixels = {0, 1}});
    const struct {
        const char* what;
        Bytes bytes;
        std::function<std::unique_ptr<RowSource>(ByteSpan, const Limits&)> open;
        std::string refusal;  // empty: opened, and in order
    } rows[] = {
        {"an interlaced PNG", ReadAll(regress + "png_interlaced_20000x20000_in_a_hundred_bytes.png"),
         [](ByteSpan b, const Limits& l) { return OpenPngRows(b, l); },
         "Picture too large (20000 x 20000 pixels take 1200000000 bytes held whole; the limit is 1073741824 bytes)"},
        {"a progressive JPEG: its coefficients, 4:2:0",
         ReadAll(regress + "jpeg_progressive_20000x20000_in_a_few_hundred_bytes.jpg"),
         [](ByteSpan b, const Limits& l) { return OpenJpegRows(b, l); },
         "Picture too large (20000 x 20000 pixels take 1200000000 bytes held whole; the limit is 1073741824 bytes)"},
        {"run-length BMP data", rle, [](ByteSpan b, const Limits& l) { return OpenBmpRows(b, l); },
         "Picture too large (20000 x 20000 pixels take 1200000000 bytes held whole; the limit is 1073741824 bytes)"},
        {"a GIF frame that is not interlaced", ReadAll(regress + "gif_23000x23000_frame_from_35_bytes.gif"),
         [](ByteSpan b, const Limits& l) { return OpenGifRows(b, l); }, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_FALSE(row.bytes.empty());
        try {
            auto source = row.open(row.bytes, cli);
            EXPECT_EQ(row.refusal, "");
            EXPECT_TRUE(source->Sequential());
            // The first band: the one pixel the data gives, then the fill.
            Bytes band(source->Format().RowBytes() * 4);
            source->ReadRows(band.data(), static_cast<std::ptrdiff_t>(source->Format().RowBytes()), 4);
            EXPECT_EQ(band[0], 1);
            EXPECT_EQ(std::count(band.begin(), band.end(), 0), static_cast<std::ptrdiff_t>(band.size() - 1));
        } catch (const EPictureTooLarge& e) {
            EXPECT_EQ(e.Message(), row.refusal);
            EXPECT_TRUE(e.ByLimits());
        }
    }
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
