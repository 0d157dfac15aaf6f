// A loaded GIF as a bitmap: which frame, where on the logical screen, which
// colors, the dithered render, the palettes' order of precedence, the mask,
// progress and cancelling, and the row writer the renders use.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "bmp_builder.h"
#include "gif_builder.h"
#include "graphics/gif/dib.h"
#include "graphics/gif/gif_image.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

using namespace duvo;
using bmptest::Grid;
using bmptest::ReadAll;
using giftest::Bytes;
using giftest::GifWriter;

// Colors as 0x00BBGGRR.
constexpr std::uint32_t R = 0x0000FF, G = 0x00FF00, B = 0xFF0000, K = 0x000000, W = 0xFFFFFF, Y = 0x00FFFF;

void Load(TGIFImage& image, const Bytes& bytes) {
    TBytesStream stream(bytes.data(), bytes.size());
    image.ReadFromStream(stream);
}

// What the open command does with a GIF: a plain bitmap copied from it.
void Convert(const Bytes& bytes, TBitmap& bitmap) {
    TGIFImage image;
    Load(image, bytes);
    bitmap.CopyFrom(&image);
}

// Restores the screen flag a test changed.
class ScreenFlag {
public:
    explicit ScreenFlag(bool value) : saved_(GIFAutoDitherScreen()) { SetGIFAutoDitherScreen(value); }
    ~ScreenFlag() { SetGIFAutoDitherScreen(saved_); }

private:
    bool saved_;
};

Bytes TwoFrames() {
    return GifWriter()
        .Header()
        .ScreenColors(3, 2, {R, G, B, K})
        .ImageColors(3, 2, {})
        .Pixels(3, 2, {0, 1, 2, 3, 2, 1})
        .ImageColors(3, 2, {})
        .Pixels(3, 2, {3, 3, 3, 3, 3, 3})
        .Trailer()
        .out;
}

// ---- which pixels, where ----------------------------------------------------------

struct ConversionCase {
    const char* name;
    Bytes gif;
    Grid expected;
    TPixelKind kind;
};

std::vector<ConversionCase> ConversionCases() {
    const Bytes checker = {0, 1, 2, 3, 0, 1};
    return {
        {"a frame covering the screen keeps its own colors at 8 bits", TwoFrames(), {{R, G, B}, {K, B, G}}, pk8Bit},
        {"a smaller first frame sits on white at its rectangle",
         GifWriter()
             .Header()
             .ScreenColors(4, 3, {R, G, B, K})
             .ImageColors(2, 2, {}, 1, 1)
             .Pixels(2, 2, {0, 1, 2, 3})
             .Trailer()
             .out,
         {{W, W, W, W}, {W, R, G, W}, {W, B, K, W}},
         pkDevice},
        {"a frame of the screen's size is taken as it is, its offset ignored",
         GifWriter()
             .Header()
             .ScreenColors(3, 2, {R, G, B, K})
             .ImageColors(3, 2, {}, 7, 9)
             .Pixels(3, 2, checker)
             .Trailer()
             .out,
         {{R, G, B}, {K, R, G}},
         pk8Bit},
        {"a frame reaching beyond the screen is cut at its edges",
         GifWriter()
             .Header()
             .ScreenColors(3, 3, {R, G, B, K})
             .ImageColors(3, 2, {}, 1, 2)
             .Pixels(3, 2, checker)
             .Trailer()
             .out,
         {{W, W, W}, {W, W, W}, {W, R, G}},
         pkDevice},
        {"a local table wins over the global one",
         GifWriter().Header().ScreenColors(2, 1, {R, G}).ImageColors(2, 1, {B, Y}).Pixels(2, 1, {0, 1}).Trailer().out,
         {{B, Y}},
         pk8Bit},
        {"transparent pixels keep the color of their entry",
         GifWriter()
             .Header()
             .ScreenColors(2, 1, {R, G})
             .Gce(1, 1)
             .ImageColors(2, 1, {})
             .Pixels(2, 1, {0, 1})
             .Trailer()
             .out,
         {{R, G}},
         pk8Bit},
        {"indices past the table read black",
         GifWriter().Header().ScreenColors(3, 1, {R, G}).ImageColors(3, 1, {}).Pixels(3, 1, {1, 2, 200}).Trailer().out,
         {{G, K, K}},
         pk8Bit},
        {"an interlaced frame converts like its plain twin",
         GifWriter()
             .Header()
             .ScreenColors(2, 5, {R, G, B, K})
             .ImageColors(2, 5, {}, 0, 0, true)
             .Pixels(2, 5, {0, 1, 1, 2, 2, 3, 3, 0, 0, 0}, true)
             .Trailer()
             .out,
         {{R, G}, {G, B}, {B, K}, {K, R}, {R, R}},
         pk8Bit},
    };
}

TEST(GifToBitmap, ConversionTable) {
    for (const ConversionCase& c : ConversionCases()) {
        SCOPED_TRACE(c.name);
        TBitmap bitmap;
        Convert(c.gif, bitmap);
        EXPECT_EQ(bitmap.PixelKind(), c.kind);
        EXPECT_EQ(ReadAll(bitmap), c.expected);
    }
}

TEST(GifToBitmap, OnlyTheFirstFrameCountsAndTheResultSharesItsPixels) {
    TGIFImage image;
    Load(image, TwoFrames());
    TBitmap a, b;
    a.CopyFrom(&image);
    b.CopyFrom(&image);
    // Rendered once: the result, the image's bitmap and frame 0's share a store.
    EXPECT_TRUE(a.SharesStoreWith(b));
    EXPECT_TRUE(a.SharesStoreWith(*image.Images().Frame(0)->Bitmap()));
    EXPECT_EQ(image.Images().Frame(1)->Mask(), nullptr);
    // The frame's palette, entry for entry, then black to 256 entries.
    ASSERT_NE(a.GetPalette(), nullptr);
    ASSERT_EQ(a.GetPalette()->entries.size(), 256u);
    EXPECT_EQ(a.GetPalette()->entries[2].blue, 0xFF);
    EXPECT_EQ(a.GetPalette()->entries[4].red + a.GetPalette()->entries[4].green + a.GetPalette()->entries[4].blue, 0);
}

TEST(GifToBitmap, WithoutFramesTheBitmapIsEmptyAndWithoutTablesItFails) {
    TBitmap empty;
    Convert(GifWriter().Header().ScreenColors(5, 5, {R, G}).Trailer().out, empty);
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Width(), 0);

    TGIFImage image;
    Load(image, GifWriter().Header().ScreenColors(2, 1, {}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out);
    TBitmap bitmap;
    EXPECT_EQ(bmptest::Raised<GIFException>([&] { bitmap.CopyFrom(&image); }),
              "No global or local color table defined");
    EXPECT_TRUE(bitmap.IsEmpty());
    // The image bitmap was made before the palette failed; it stays, empty.
    EXPECT_NO_THROW(bitmap.CopyFrom(&image));
    EXPECT_TRUE(bitmap.IsEmpty());
}

TEST(GifToBitmap, OnlyABitmapTakesAGif) {
    TGIFImage image;
    Load(image, TwoFrames());
    TPicture picture;
    EXPECT_EQ(bmptest::Raised<EConvertError>([&] { image.CopyTo(&picture); }),
              "Cannot assign a TGIFImage to a TPicture");
}

TEST(GifToBitmap, AComposedScreenAboveTheLimitIsRefusedBeforeItIsMade) {
    Limits limits;
    limits.pixels = 1000;
    TGIFImage image;
    image.LoadFromBytes(
        GifWriter().Header().ScreenColors(100, 11, {R, G}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out,
        limits);
    TBitmap bitmap;
    EXPECT_EQ(bmptest::Raised<EPictureTooLarge>([&] { bitmap.CopyFrom(&image); }),
              "Picture too large (100 x 11 pixels; the limit is 1000 pixels)");
}

// ---- palettes ---------------------------------------------------------------------

TEST(GifToBitmap, PalettesFollowTheirOrderOfPrecedence) {
    TGIFImage image;
    Load(image, GifWriter()
                    .Header()
                    .ScreenColors(2, 1, {R, G, B})
                    .ImageColors(2, 1, {Y, Y})
                    .Pixels(2, 1, {0, 1})
                    .Trailer()
                    .out);
    // The image's own: the global table, exactly as many entries, no-collapse.
    const platform::Palette* global = image.ImagePalette();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(global->entries.size(), 4u);  // the table's size in the file
    EXPECT_EQ(global->entries[0].flags, 4);
    // The frame's own local table wins for the frame.
    TGIFSubImage& frame = *image.Images().Frame(0);
    EXPECT_EQ(frame.Palette()->entries.size(), 2u);
    EXPECT_EQ(frame.Palette()->entries[0].green, 0xFF);
    // Dithering: the web palette for both, whatever the tables hold.
    TGIFImage dithered;
    dithered.SetDrawOptions(goDither);
    Load(dithered,
         GifWriter().Header().ScreenColors(2, 1, {R, G}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out);
    ASSERT_EQ(dithered.ImagePalette()->entries.size(), 216u);
    EXPECT_EQ(dithered.ImagePalette()->entries[215].red, 255);
    EXPECT_EQ(dithered.Images().Frame(0)->Palette()->entries.size(), 216u);
}

TEST(GifToBitmap, UseDitheringFollowsTheOptionsAndTheScreen) {
    const struct {
        TGIFDrawOptions options;
        bool screen;
        bool dither;
    } rows[] = {
        {goDither | goAutoDither, false, false},  // our 24-bit screen: the program's case
        {goDither | goAutoDither, true, true},   {goDither, false, true}, {goAutoDither, true, false}, {0, true, false},
    };
    for (const auto& r : rows) {
        ScreenFlag flag(r.screen);
        TGIFImage image;
        image.SetDrawOptions(r.options);
        EXPECT_EQ(image.DoDither(), r.dither) << r.options << " " << r.screen;
    }
    EXPECT_EQ(TGIFImage().DrawOptions(), goDither | goAutoDither);
}

// ---- the dithered render ------------------------------------------------------------

// Frame 0 rendered with dithering: its index rows.
std::vector<std::vector<int>> DitheredIndices(const Bytes& gif) {
    ScreenFlag flag(true);
    TGIFImage image;
    Load(image, gif);
    TBitmap* bitmap = image.Images().Frame(0)->Bitmap();
    std::vector<std::vector<int>> rows;
    for (int y = 0; y < bitmap->Height(); ++y) {
        rows.emplace_back();
        for (int x = 0; x < bitmap->Width(); ++x) rows.back().push_back(bitmap->RowAddress(y)[x]);
    }
    return rows;
}

Bytes Solid(int w, int h, std::uint32_t color, std::vector<std::uint32_t> extra = {}) {
    std::vector<std::uint32_t> colors{color};
    colors.insert(colors.end(), extra.begin(), extra.end());
    return GifWriter()
        .Header()
        .ScreenColors(w, h, colors)
        .ImageColors(w, h, {})
        .Pixels(w, h, Bytes(static_cast<std::size_t>(w * h), 0))
        .Trailer()
        .out;
}

TEST(GifDither, SerpentineErrorDiffusionInIntegers) {
    const struct {
        const char* name;
        Bytes gif;
        std::vector<std::vector<int>> expected;
    } cases[] = {
        {"grey 128 alternates between grey 153 and grey 102",
         Solid(4, 2, 0x808080),
         {{129, 86, 129, 86}, {86, 129, 86, 129}}},
        {"web colors stay exact", Solid(3, 2, 0x3399CC), {{163, 163, 163}, {163, 163, 163}}},
        {"25 rounds down to level 0", Solid(1, 1, 25), {{0}}},
        {"26 rounds up to level 1", Solid(1, 1, 26), {{36}}},
        {"an index past the table is black",
         GifWriter().Header().ScreenColors(2, 1, {W}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 9}).Trailer().out,
         {{215, 0}}},
        {"a frame without any table is black",
         GifWriter().Header().ScreenColors(2, 1, {}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out,
         {{0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DitheredIndices(c.gif), c.expected);
    }
}

TEST(GifDither, EveryPixelIsAWebColor) {
    ScreenFlag flag(true);
    const Bytes px = giftest::PhotoPixels(37, 23, 256, 5);
    std::vector<std::uint32_t> colors;
    for (int i = 0; i < 256; ++i) colors.push_back(static_cast<std::uint32_t>(i * 0x010305) & 0xFFFFFF);
    TBitmap bitmap;
    Convert(GifWriter().Header().ScreenColors(37, 23, colors).ImageColors(37, 23, {}).Pixels(37, 23, px).Trailer().out,
            bitmap);
    ASSERT_EQ(bitmap.Width(), 37);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) {
            const auto c = static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y));
            for (int shift : {0, 8, 16}) ASSERT_EQ(((c >> shift) & 0xFF) % 51, 0u) << x << "," << y;
        }
}

// ---- the mask, progress and cancelling ------------------------------------------------

TEST(GifToBitmap, ATransparentFrameGetsItsMaskOnceAsARenderByProduct) {
    for (bool dither : {false, true}) {
        SCOPED_TRACE(dither ? "dithered" : "indexed");
        ScreenFlag flag(dither);
        TGIFImage image;
        Load(image, GifWriter()
                        .Header()
                        .ScreenColors(10, 2, {R, G})
                        .Gce(1, 1)
                        .ImageColors(10, 2, {})
                        .Pixels(10, 2, {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0})
                        .Trailer()
                        .out);
        TGIFSubImage& frame = *image.Images().Frame(0);
        EXPECT_TRUE(frame.NeedMask());
        ASSERT_NE(frame.Bitmap(), nullptr);
        EXPECT_FALSE(frame.NeedMask());
        const TBitmap* mask = frame.Mask();
        ASSERT_NE(mask, nullptr);
        const Grid bits = ReadAll(const_cast<TBitmap&>(*mask));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 10; ++x)
                EXPECT_EQ(bits[y][x] == 0xFFFFFF, (y == 0 && (x == 0 || x == 9)) || (y == 1 && x == 8))
                    << x << "," << y;
    }
    // No transparent pixel, no mask.
    TGIFImage opaque;
    Load(opaque, GifWriter()
                     .Header()
                     .ScreenColors(2, 1, {R, G})
                     .Gce(1, 3)
                     .ImageColors(2, 1, {})
                     .Pixels(2, 1, {0, 1})
                     .Trailer()
                     .out);
    ASSERT_NE(opaque.Images().Frame(0)->Bitmap(), nullptr);
    EXPECT_EQ(opaque.Images().Frame(0)->Mask(), nullptr);
}

TEST(GifToBitmap, RenderingReportsItsProgressAndACancelLeavesNoBitmap) {
    const Bytes gif = GifWriter()
                          .Header()
                          .ScreenColors(3, 70, {R, G})
                          .ImageColors(3, 70, {})
                          .Pixels(3, 70, Bytes(210, 1))
                          .Trailer()
                          .out;
    TGIFImage image;
    Load(image, gif);
    std::vector<std::pair<TProgressStage, int>> seen;
    image.SetOnProgress([&](TPersistent* sender, TProgressStage stage, std::uint8_t percent, bool, const TRect&,
                            const std::string& message) {
        EXPECT_EQ(sender, image.Images().Frame(0));
        EXPECT_EQ(message, "Rendering...");
        seen.emplace_back(stage, percent);
    });
    TBitmap bitmap;
    bitmap.CopyFrom(&image);
    using S = TProgressStage;
    // Rows 0, 32 and 64 of 70: 0, 46 and 91 percent.
    EXPECT_EQ(seen,
              (std::vector<std::pair<S, int>>{
                  {S::psStarting, 0}, {S::psRunning, 0}, {S::psRunning, 46}, {S::psRunning, 91}, {S::psEnding, 100}}));

    // A cancel from the handler is swallowed; the frame has no bitmap, so the
    // image's bitmap, which would share it, is empty.
    TGIFImage cancelled;
    Load(cancelled, gif);
    cancelled.SetOnProgress(
        [](TPersistent*, TProgressStage stage, std::uint8_t, bool, const TRect&, const std::string&) {
            if (stage == TProgressStage::psRunning) throw EAbort("");
        });
    TBitmap none;
    EXPECT_NO_THROW(none.CopyFrom(&cancelled));
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_EQ(cancelled.Images().Frame(0)->Bitmap(), nullptr);
}

// ---- the row writer ------------------------------------------------------------------

void Indexed(TBitmap& b, int width, int height, int colors) {
    b.SetPixelKind(pk8Bit);
    b.SetWidth(width);
    b.SetHeight(height);
    auto palette = std::make_unique<platform::Palette>();
    for (int i = 0; i < colors; ++i)
        palette->entries.push_back({static_cast<std::uint8_t>(40 * i + 10), 20, static_cast<std::uint8_t>(200 - i), 0});
    b.SetPalette(std::move(palette));
}

TEST(DibWriter, TheStreamOfA10By3PictureAt8Bits) {
    TBitmap b;
    Indexed(b, 10, 3, 4);
    TDIBWriter writer(b, pk8Bit);
    for (int y = 0; y < 3; ++y) {
        std::uint8_t* row = writer.ScanLine(y);
        for (int x = 0; x < 10; ++x) row[x] = static_cast<std::uint8_t>(y == 1 && x == 3 ? 5 : y);
    }
    const std::vector<std::uint8_t> stream = writer.Stream();
    ASSERT_EQ(stream.size(), 1114u);
    EXPECT_EQ(stream[0], 'B');
    EXPECT_EQ(LoadU32(&stream[2]), 1114u);
    EXPECT_EQ(LoadU32(&stream[10]), 1078u);
    EXPECT_EQ(LoadU32(&stream[14 + 32]), 0u);  // colors used: the whole table
    // Rows of 12 bytes, bottom-up: picture row 0 is the third stored row.
    EXPECT_EQ(stream[1078 + 2 * 12], 0);
    EXPECT_EQ(stream[1078 + 0 * 12], 2);
    EXPECT_EQ(stream[1078 + 1 * 12 + 3], 5);
    // Table entries past the palette are black.
    EXPECT_EQ(LoadU32(&stream[54 + 4 * 4]), 0u);
    EXPECT_EQ(stream[54 + 4 * 3 + 2], 40 * 3 + 10);

    writer.Release();
    EXPECT_EQ(b.PixelKind(), pk8Bit);
    EXPECT_EQ(b.Canvas().ReadPixel(3, 1), 0);  // index 5 reads black
    EXPECT_EQ(b.Canvas().ReadPixel(0, 2), 40 * 2 + 10 + (20 << 8) + ((200 - 2) << 16));
}

TEST(DibWriter, FailuresHaveTheirClassAndMessage) {
    TBitmap small;
    Indexed(small, 4, 3, 2);
    for (int row : {-1, 3}) {
        TDIBWriter writer(small, pk8Bit);
        EXPECT_EQ(bmptest::Raised<EInvalidGraphicOperation>([&] { writer.ScanLine(row); }),
                  "Scan line index out of range");
    }
    for (TPixelKind kind : {pk15Bit, pk16Bit, pk32Bit, pkDevice, pkCustom}) {
        TDIBWriter writer(small, kind);
        EXPECT_EQ(bmptest::Raised<GIFException>([&] { writer.ScanLine(0); }), "Unsupported PixelFormat");
    }
    TBitmap empty;
    empty.SetWidth(0);
    TDIBWriter writer(empty, pk8Bit);
    EXPECT_EQ(bmptest::Raised<GIFException>([&] { writer.ScanLine(0); }), "Bitmap image is not valid");
    // A writer that never gave out a row leaves the bitmap as it was.
    const Grid before = ReadAll(small);
    { TDIBWriter unused(small, pk8Bit); }
    EXPECT_EQ(ReadAll(small), before);
}

TEST(DibWriter, TheWriteBackIsWhatTheBmpReaderMakesOfTheStream) {
    const struct {
        TPixelKind target;
        int width, height;
    } cases[] = {{pk1Bit, 9, 3}, {pk4Bit, 5, 2}, {pk8Bit, 10, 3}, {pk8Bit, 1, 1}, {pk24Bit, 7, 4}, {pk24Bit, 4, 1}};
    constexpr TColor kFirst = 10 + (20 << 8) + (200 << 16);  // entry 0 of the palette
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        TBitmap b;
        Indexed(b, c.width, c.height, 2);
        TDIBWriter writer(b, c.target);
        for (int y = 0; y < c.height; ++y) std::memset(writer.ScanLine(y), 0x99, 1);
        const std::vector<std::uint8_t> stream = writer.Stream();
        writer.Release();
        TBitmap fromStream;
        TBytesStream bytes(stream.data(), stream.size());
        fromStream.ReadFromStream(bytes);
        EXPECT_EQ(b.PixelKind(), c.target);
        EXPECT_EQ(ReadAll(b), ReadAll(fromStream));
        EXPECT_EQ(b.Image()->description.header.clrUsed, fromStream.Image()->description.header.clrUsed);
        EXPECT_EQ(b.Image()->description.header.sizeImage, fromStream.Image()->description.header.sizeImage);
        ASSERT_EQ(b.GetPalette() != nullptr, fromStream.GetPalette() != nullptr);
        if (b.GetPalette()) {
            EXPECT_EQ(b.GetPalette()->entries.size(), fromStream.GetPalette()->entries.size());
        }

        // Rows nobody asked for keep the bitmap's pixels, in the new format.
        TBitmap kept;
        Indexed(kept, c.width, c.height, 2);
        const Grid before = ReadAll(kept);
        {
            TDIBWriter partial(kept, c.target);
            const int bits = c.target == pk1Bit ? 1 : c.target == pk4Bit ? 4 : c.target == pk8Bit ? 8 : 24;
            std::memset(partial.ScanLineForOverwrite(c.height - 1), 0,
                        (static_cast<std::size_t>(c.width) * bits + 7) / 8);
        }
        Grid after = ReadAll(kept), expected = before;
        for (TColor& pixel : expected.back()) pixel = c.target == pk24Bit ? 0 : kFirst;  // index 0, or black
        EXPECT_EQ(after, expected);
    }
}

TEST(DibReader, RowsAreTheBitmapsOwnInTheAskedKind) {
    TBitmap b;
    b.SetWidth(3);
    b.SetHeight(2);
    TDIBReader reader(b, pk24Bit);
    EXPECT_EQ(b.PixelKind(), pk24Bit);
    reader.ScanLine(1)[0] = 0x11;
    EXPECT_EQ(b.Canvas().ReadPixel(0, 1) >> 16, 0x11);
}

}  // namespace
