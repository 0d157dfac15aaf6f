// BMP reading: every depth and header kind, run-length data, truncation, the
// failures, and writing back what was read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>

#include "bmp_builder.h"
#include "graphics/bitmap.h"
#include "graphics/bmp.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

using bmptest::BmpRecipe;
using bmptest::BuildBmp;
using bmptest::Bytes;
using bmptest::PackRows;
using duvo::TBitmap;
using duvo::TColor;
using Grid = std::vector<std::vector<TColor>>;  // top row first

Grid ReadAll(TBitmap& b) {
    Grid g(static_cast<std::size_t>(b.Height()), std::vector<TColor>(static_cast<std::size_t>(b.Width())));
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) g[y][x] = b.Canvas().ReadPixel(x, y);
    return g;
}

void Load(TBitmap& b, const Bytes& bytes) {
    duvo::TBytesStream s(bytes.data(), bytes.size());
    b.ReadFromStream(s);
}

// A table of n distinct colors: the red byte is the index.
std::vector<std::uint32_t> Ramp(int n) {
    std::vector<std::uint32_t> out;
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint32_t>(i) | ((255u - i) << 8) | ((static_cast<std::uint32_t>(i) * 7 & 0xFF) << 16));
    return out;
}
TColor RampColor(int i) { return static_cast<TColor>(Ramp(256)[static_cast<std::size_t>(i)]); }

// ---- depths and header kinds ---------------------------------------------------

struct DepthCase {
    const char* name;
    BmpRecipe recipe;
    Grid expected;
    duvo::TPixelKind kind;
};

std::vector<DepthCase> DepthCases() {
    const std::uint32_t c0 = 0x112233, c1 = 0xAABBCC;
    const TColor w = 0xFFFFFF, r = 0x0000FF, g = 0x00FF00, b = 0xFF0000;
    std::vector<DepthCase> cases;
    cases.push_back({"1 bit, padded rows",
                     {.width = 3, .height = 2, .bitCount = 1, .colors = {c0, c1},
                      .pixels = PackRows(1, {{1, 0, 1}, {0, 1, 1}})},
                     {{c0, c1, c1}, {c1, c0, c1}},
                     duvo::pk1Bit});
    cases.push_back({"4 bit, colors used 0 reads 16 entries",
                     {.width = 3, .height = 2, .bitCount = 4, .colors = Ramp(16),
                      .pixels = PackRows(4, {{0, 15, 7}, {1, 2, 3}})},
                     {{RampColor(1), RampColor(2), RampColor(3)}, {RampColor(0), RampColor(15), RampColor(7)}},
                     duvo::pk4Bit});
    cases.push_back({"4 bit, fewer colors: indices past the table are black",
                     {.width = 2, .height = 1, .bitCount = 4, .clrUsed = 3, .colors = Ramp(3),
                      .pixels = PackRows(4, {{2, 9}})},
                     {{RampColor(2), 0}},
                     duvo::pk4Bit});
    cases.push_back({"8 bit, colors used 0 reads 256 entries",
                     {.width = 5, .height = 1, .bitCount = 8, .colors = Ramp(256),
                      .pixels = PackRows(8, {{0, 255, 128, 7, 200}})},
                     {{RampColor(0), RampColor(255), RampColor(128), RampColor(7), RampColor(200)}},
                     duvo::pk8Bit});
    cases.push_back({"8 bit, two colors",
                     {.width = 3, .height = 1, .bitCount = 8, .clrUsed = 2, .colors = {c0, c1},
                      .pixels = PackRows(8, {{1, 0, 77}})},
                     {{c1, c0, 0}},
                     duvo::pk8Bit});
    cases.push_back({"16 bit 5-5-5: 5-bit 31 reads 255, top bit ignored",
                     {.width = 3, .height = 2, .bitCount = 16,
                      .pixels = PackRows(16, {{0x7FFF, 0x0421, 0x8000}, {0x7C00, 0x03E0, 0x001F}})},
                     {{r, g, b}, {w, 0x080808, 0}},
                     duvo::pk15Bit});
    cases.push_back({"16 bit bit fields 5-6-5",
                     {.width = 4, .height = 1, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
                      .pixels = PackRows(16, {{0xF800, 0x07E0, 0x001F, 0x0020}})},
                     {{r, g, b, 0x000400}},
                     duvo::pk16Bit});
    cases.push_back({"16 bit bit fields 4-4-4",
                     {.width = 4, .height = 1, .bitCount = 16, .compression = 3, .masks = {0x0F00, 0x00F0, 0x000F},
                      .pixels = PackRows(16, {{0x0F00, 0x0800, 0x0010, 0x000F}})},
                     {{r, 0x88, 0x1100, b}},
                     duvo::pkCustom});
    cases.push_back({"24 bit, padded rows",
                     {.width = 3, .height = 2, .pixels = PackRows(24, {{0x010203, 0x040506, 0x070809}, {r, g, b}})},
                     {{r, g, b}, {0x010203, 0x040506, 0x070809}},
                     duvo::pk24Bit});
    cases.push_back({"32 bit: the fourth byte is ignored",
                     {.width = 2, .height = 1, .bitCount = 32, .pixels = PackRows(32, {{0xAA112233, 0xFF000000}})},
                     {{0x332211, 0}},
                     duvo::pk32Bit});
    cases.push_back({"32 bit bit fields, channels swapped",
                     {.width = 2, .height = 1, .bitCount = 32, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000},
                      .pixels = PackRows(32, {{0x00332211, 0xFF000000}})},
                     {{0x332211, 0}},
                     duvo::pkCustom});
    cases.push_back({"32 bit bit fields 10-10-10",
                     {.width = 2, .height = 1, .bitCount = 32, .compression = 3,
                      .masks = {0x3FF00000, 0x000FFC00, 0x000003FF},
                      .pixels = PackRows(32, {{0x3FF00000, 0x20000000 | 0x3FF}})},
                     {{r, 0xFF0080}},
                     duvo::pkCustom});
    cases.push_back({"core header, 24 bit",
                     {.headerSize = 12, .width = 2, .height = 2, .pixels = PackRows(24, {{r, g}, {b, w}})},
                     {{b, w}, {r, g}},
                     duvo::pk24Bit});
    cases.push_back({"core header, 8 bit with a 3-byte table of 256 entries",
                     {.headerSize = 12, .width = 3, .height = 1, .bitCount = 8, .colors = Ramp(256),
                      .pixels = PackRows(8, {{3, 254, 0}})},
                     {{RampColor(3), RampColor(254), RampColor(0)}},
                     duvo::pk8Bit});
    cases.push_back({"core header, 1 bit",
                     {.headerSize = 12, .width = 9, .height = 1, .bitCount = 1, .colors = {c0, c1},
                      .pixels = PackRows(1, {{1, 0, 0, 0, 0, 0, 0, 0, 1}})},
                     {{c1, c0, c0, c0, c0, c0, c0, c0, c1}},
                     duvo::pk1Bit});
    cases.push_back({"V4 header (108) with its masks inside",
                     {.headerSize = 108, .width = 3, .height = 1, .bitCount = 16, .compression = 3,
                      .masks = {0xF800, 0x07E0, 0x001F}, .pixels = PackRows(16, {{0xF800, 0x07E0, 0x001F}})},
                     {{r, g, b}},
                     duvo::pk16Bit});
    cases.push_back({"V4 header with zero masks takes the 5-6-5 defaults",
                     {.headerSize = 108, .width = 2, .height = 1, .bitCount = 16, .compression = 3,
                      .pixels = PackRows(16, {{0xF800, 0x001F}})},
                     {{r, b}},
                     duvo::pk16Bit});
    cases.push_back({"V5 header (124), 24 bit",
                     {.headerSize = 124, .width = 2, .height = 1, .pixels = PackRows(24, {{0x123456, 0x654321}})},
                     {{0x123456, 0x654321}},
                     duvo::pk24Bit});
    cases.push_back({"64-byte header, 8 bit",
                     {.headerSize = 64, .width = 2, .height = 1, .bitCount = 8, .clrUsed = 2, .colors = {c0, c1},
                      .pixels = PackRows(8, {{1, 0}})},
                     {{c1, c0}},
                     duvo::pk8Bit});
    cases.push_back({"header larger than V5: the rest is skipped",
                     {.headerSize = 300, .width = 2, .height = 1, .pixels = PackRows(24, {{0x0A0B0C, 0x0D0E0F}})},
                     {{0x0A0B0C, 0x0D0E0F}},
                     duvo::pk24Bit});
    cases.push_back({"top-down 24 bit",
                     {.width = 2, .height = -2, .pixels = PackRows(24, {{r, g}, {b, w}})},
                     {{r, g}, {b, w}},
                     duvo::pk24Bit});
    cases.push_back({"top-down 4 bit",
                     {.width = 3, .height = -2, .bitCount = 4, .colors = Ramp(16),
                      .pixels = PackRows(4, {{1, 2, 3}, {4, 5, 6}})},
                     {{RampColor(1), RampColor(2), RampColor(3)}, {RampColor(4), RampColor(5), RampColor(6)}},
                     duvo::pk4Bit});
    cases.push_back({"24 bit with a color table",
                     {.width = 1, .height = 1, .clrUsed = 3, .colors = {c0, c1, c0},
                      .pixels = PackRows(24, {{0x445566}})},
                     {{0x445566}},
                     duvo::pk24Bit});
    return cases;
}

TEST(BmpRead, EveryDepthAndHeaderKind) {
    for (const DepthCase& c : DepthCases()) {
        SCOPED_TRACE(c.name);
        TBitmap b;
        Load(b, BuildBmp(c.recipe));
        EXPECT_EQ(b.Width(), static_cast<int>(c.expected[0].size()));
        EXPECT_EQ(b.Height(), static_cast<int>(c.expected.size()));
        EXPECT_EQ(b.PixelKind(), c.kind);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
        EXPECT_EQ(ReadAll(b), c.expected);
        // The 12-byte header is remembered.
        EXPECT_EQ(b.Image()->os2Format, c.recipe.headerSize == 12);
    }
}

TEST(BmpRead, PaletteFromTheColorTable) {
    TBitmap b;
    Load(b, BuildBmp({.width = 1, .height = 1, .bitCount = 8, .clrUsed = 3, .colors = {0x0000FF, 0x00FF00, 0xFF0000},
                      .pixels = PackRows(8, {{0}})}));
    ASSERT_NE(b.GetPalette(), nullptr);
    ASSERT_EQ(b.GetPalette()->entries.size(), 3u);
    EXPECT_EQ(b.GetPalette()->entries[0].red, 255);
    EXPECT_EQ(b.GetPalette()->entries[2].blue, 255);
    EXPECT_TRUE(b.PaletteModified());

    TBitmap plain;
    Load(plain, BuildBmp({.width = 1, .height = 1, .pixels = PackRows(24, {{0}})}));
    EXPECT_EQ(plain.GetPalette(), nullptr);
}

TEST(BmpRead, ZeroLengthGivesAnEmptyBitmap) {
    TBitmap b;
    b.SetWidth(4);
    b.SetHeight(4);
    duvo::TBytesStream s(nullptr, 0);
    b.ReadFromStream(s);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
}

TEST(BmpRead, ReadsFromTheStreamPosition) {
    Bytes bytes = {'x', 'y', 'z'};
    const Bytes bmp = BuildBmp({.width = 1, .height = 1, .pixels = PackRows(24, {{0x123456}})});
    bytes.insert(bytes.end(), bmp.begin(), bmp.end());
    duvo::TBytesStream s(bytes.data(), bytes.size());
    s.SetPosition(3);
    TBitmap b;
    b.ReadFromStream(s);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x123456);
}

TEST(BmpRead, TruncatedPixelsLeaveTheTopRowsAtIndexZero) {
    // Bottom-up: the data that is there fills the bottom rows first.
    const Bytes rows = PackRows(8, {{1, 1}, {2, 2}, {1, 2}});
    BmpRecipe recipe{.width = 2, .height = 3, .bitCount = 8, .clrUsed = 3, .colors = {0x0A0B0C, 0x0000FF, 0x00FF00}};
    recipe.pixels.assign(rows.begin(), rows.begin() + 6);  // one row and a half
    TBitmap b;
    Load(b, BuildBmp(recipe));
    const TColor bg = 0x0A0B0C, r = 0x0000FF, g = 0x00FF00;
    EXPECT_EQ(ReadAll(b), (Grid{{bg, bg}, {g, g}, {r, r}}));
}

TEST(BmpRead, TruncatedTrueColorRowsAreBlack) {
    BmpRecipe recipe{.width = 2, .height = 2, .pixels = PackRows(24, {{0x111111, 0x222222}})};
    TBitmap b;
    Load(b, BuildBmp(recipe));
    EXPECT_EQ(ReadAll(b), (Grid{{0, 0}, {0x111111, 0x222222}}));
}

TEST(BmpRead, ImageSizeFieldLimitsThePixelBytes) {
    BmpRecipe recipe{.width = 1, .height = 2, .sizeImage = 4,
                 .pixels = PackRows(24, {{0x111111}, {0x222222}})};
    TBitmap b;
    Load(b, BuildBmp(recipe));
    EXPECT_EQ(ReadAll(b), (Grid{{0}, {0x111111}}));

    recipe.sizeImage = 1000;  // more than the raster holds: cut to the raster
    Load(b, BuildBmp(recipe));
    EXPECT_EQ(ReadAll(b), (Grid{{0x222222}, {0x111111}}));
}

TEST(BmpRead, PixelsFollowTheTableWhateverTheOffsetField) {
    BmpRecipe recipe{.width = 1, .height = 1, .pixels = PackRows(24, {{0x999999}})};
    recipe.gap = {0x03, 0x02, 0x01, 0x00};
    recipe.dataOffset = 14 + 40 + 4;
    TBitmap b;
    Load(b, BuildBmp(recipe));
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x030201);
}

TEST(BmpRead, CoreHeaderMatchesInfoHeader) {
    const Bytes pixels = PackRows(8, {{0, 1, 2}, {2, 1, 0}});
    TBitmap core, info;
    Load(core, BuildBmp({.headerSize = 12, .width = 3, .height = 2, .bitCount = 8, .colors = Ramp(256),
                         .pixels = pixels}));
    Load(info, BuildBmp({.width = 3, .height = 2, .bitCount = 8, .colors = Ramp(256), .pixels = pixels}));
    EXPECT_EQ(ReadAll(core), ReadAll(info));
    EXPECT_EQ(ReadAll(core)[0][0], RampColor(2));
}

TEST(BmpRead, TopDownMatchesItsBottomUpTwin) {
    TBitmap up, down;
    Load(up, BuildBmp({.width = 2, .height = 3, .pixels = PackRows(24, {{1, 2}, {3, 4}, {5, 6}})}));
    Load(down, BuildBmp({.width = 2, .height = -3, .pixels = PackRows(24, {{5, 6}, {3, 4}, {1, 2}})}));
    EXPECT_EQ(down.Height(), 3);
    EXPECT_EQ(ReadAll(up), ReadAll(down));
    // Row 0 is the top row in either order.
    EXPECT_EQ(up.RowAddress(0)[2], 0x05);
    EXPECT_EQ(down.RowAddress(0)[2], 0x05);
}

TEST(BmpRead, StoredLengthBoundsTheRead) {
    // A stored bitmap reads as a file of its length: what follows in the
    // stream is not pixel data.
    const Bytes bmp = BuildBmp({.width = 1, .height = 2, .pixels = PackRows(24, {{0x111111}, {0x222222}})});
    const auto length = static_cast<std::int32_t>(bmp.size() - 4);  // the top row is cut off
    Bytes stored;
    bmptest::Put32(stored, static_cast<std::uint32_t>(length));
    stored.insert(stored.end(), bmp.begin(), bmp.end() - 4);
    stored.insert(stored.end(), {0x77, 0x77, 0x77, 0x77});
    duvo::TBytesStream s(stored.data(), stored.size());
    TBitmap b;
    b.ReadStoredData(s);
    EXPECT_EQ(ReadAll(b), (Grid{{0}, {0x111111}}));
    EXPECT_EQ(s.Position(), 4 + length);
}

TEST(BmpRead, StoredLengthBeyondTheStreamReadsWhatIsThere) {
    const Bytes bmp = BuildBmp({.width = 1, .height = 2, .pixels = PackRows(24, {{0x111111}})});
    Bytes stored;
    bmptest::Put32(stored, 0x7FFFFFFF);
    stored.insert(stored.end(), bmp.begin(), bmp.end());
    duvo::TBytesStream s(stored.data(), stored.size());
    TBitmap b;
    b.ReadStoredData(s);
    EXPECT_EQ(ReadAll(b), (Grid{{0}, {0x111111}}));
}

// ---- failures -------------------------------------------------------------------

enum class Fails { Invalid, Read };

struct ErrorCase {
    const char* name;
    Bytes bytes;
    Fails fails;
};

Bytes WithHeaderSize(Bytes b, std::uint32_t size) {
    bmptest::Patch32(b, 14, size);
    return b;
}

Bytes Cut(Bytes b, std::size_t size) {
    b.resize(size);
    return b;
}

std::vector<ErrorCase> ErrorCases() {
    const Bytes ok24 = BuildBmp({.width = 2, .height = 2, .pixels = PackRows(24, {{0, 0}, {0, 0}})});
    const Bytes ok8 = BuildBmp({.width = 2, .height = 2, .bitCount = 8, .colors = Ramp(256)});
    const Bytes okCore = BuildBmp({.headerSize = 12, .width = 2, .height = 2});
    const Bytes okFields =
        BuildBmp({.width = 1, .height = 1, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}});
    return {
        {"signature not BM", BuildBmp({.signature = "MB"}), Fails::Invalid},
        {"data ends inside the file header", Cut(ok24, 9), Fails::Read},
        {"data ends inside the header size", Cut(ok24, 16), Fails::Read},
        {"data ends inside the info header", Cut(ok24, 14 + 30), Fails::Read},
        {"data ends inside the core header", Cut(okCore, 14 + 8), Fails::Read},
        {"data ends inside a V5 header", Cut(BuildBmp({.headerSize = 124}), 14 + 100), Fails::Read},
        {"header size beyond the data", WithHeaderSize(ok24, 0xFFFFFFF0u), Fails::Read},
        {"header size 2^31", WithHeaderSize(ok24, 0x80000000u), Fails::Read},
        {"header size 0", BuildBmp({.headerSize = 0}), Fails::Invalid},
        {"header size 20", BuildBmp({.headerSize = 20}), Fails::Invalid},
        {"header size 39", BuildBmp({.headerSize = 39}), Fails::Invalid},
        {"planes 2", BuildBmp({.planes = 2}), Fails::Invalid},
        {"planes 0 in a core header", BuildBmp({.headerSize = 12, .planes = 0}), Fails::Invalid},
        {"data ends inside the masks", Cut(okFields, 14 + 40 + 6), Fails::Read},
        {"data ends inside the color table", Cut(ok8, 14 + 40 + 100), Fails::Read},
        {"colors used 257", BuildBmp({.bitCount = 8, .clrUsed = 257, .colors = Ramp(256)}), Fails::Invalid},
        {"colors used 0xFFFFFFFF", BuildBmp({.bitCount = 8, .clrUsed = 0xFFFFFFFFu}), Fails::Invalid},
        {"compression 4 (JPEG)", BuildBmp({.compression = 4}), Fails::Invalid},
        {"compression 5 (PNG)", BuildBmp({.compression = 5}), Fails::Invalid},
        {"compression 0x7FFFFFFF", BuildBmp({.compression = 0x7FFFFFFF}), Fails::Invalid},
        {"RLE8 at 24 bits", BuildBmp({.compression = 1}), Fails::Invalid},
        {"RLE4 at 8 bits", BuildBmp({.bitCount = 8, .compression = 2, .colors = Ramp(256)}), Fails::Invalid},
        {"RLE8 top-down", BuildBmp({.height = -1, .bitCount = 8, .compression = 1, .colors = Ramp(256)}),
         Fails::Invalid},
        {"bit fields at 24 bits", BuildBmp({.compression = 3, .masks = {1, 2, 4}}), Fails::Invalid},
        {"bit count 2", BuildBmp({.bitCount = 2}), Fails::Invalid},
        {"bit count 0", BuildBmp({.bitCount = 0}), Fails::Invalid},
        {"bit count 64", BuildBmp({.bitCount = 64}), Fails::Invalid},
        {"width 0", BuildBmp({.width = 0}), Fails::Invalid},
        {"height 0", BuildBmp({.height = 0}), Fails::Invalid},
        {"negative width", BuildBmp({.width = -5}), Fails::Invalid},
        {"height -2^31", BuildBmp({.height = INT32_MIN}), Fails::Invalid},
        {"100000 x 100000 in a small file", BuildBmp({.width = 100000, .height = 100000}), Fails::Invalid},
        {"2^30 + 32768 pixels", BuildBmp({.width = 32769, .height = 32768, .bitCount = 1, .colors = {0, 0xFFFFFF}}), Fails::Invalid},
        {"65535 x 65535 in a core header", BuildBmp({.headerSize = 12, .width = 65535, .height = 65535}),
         Fails::Invalid},
        {"RLE8 of 2^31 pixels",
         BuildBmp({.width = 65536, .height = 32768, .bitCount = 8, .compression = 1, .colors = Ramp(256)}),
         Fails::Invalid},
    };
}

TEST(BmpRead, ErrorTable) {
    for (const ErrorCase& c : ErrorCases()) {
        SCOPED_TRACE(c.name);
        // A failed read leaves the previous picture in place.
        TBitmap b;
        b.SetWidth(2);
        b.SetHeight(1);
        b.Canvas().WritePixel(1, 0, 0x123456);
        try {
            Load(b, c.bytes);
            ADD_FAILURE() << "no exception";
        } catch (const duvo::EReadError& e) {
            EXPECT_EQ(c.fails, Fails::Read);
            EXPECT_STREQ(e.what(), "Stream read error");
        } catch (const duvo::EInvalidGraphic& e) {
            EXPECT_EQ(c.fails, Fails::Invalid);
            EXPECT_STREQ(e.what(), "Bitmap image is not valid");
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected exception: " << e.what();
        }
        EXPECT_EQ(b.Width(), 2);
        EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x123456);
        EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0xFFFFFF);
    }
}

TEST(BmpRead, PixelLimitIsCheckedBeforeAllocation) {
    const std::uint64_t saved = duvo::platform::MaxPixels();
    EXPECT_EQ(saved, std::uint64_t{1} << 30);
    duvo::platform::SetMaxPixels(100);
    TBitmap b;
    EXPECT_NO_THROW(Load(b, BuildBmp({.width = 10, .height = -10})));
    EXPECT_EQ(b.Height(), 10);
    EXPECT_THROW(Load(b, BuildBmp({.width = 10, .height = 11})), duvo::EInvalidGraphic);
    EXPECT_THROW(Load(b, BuildBmp({.width = 101, .height = 1, .bitCount = 8, .compression = 1, .colors = Ramp(256)})),
                 duvo::EInvalidGraphic);
    duvo::platform::SetMaxPixels(saved);
}

// ---- run-length data ---------------------------------------------------------------

constexpr TColor kBg = 0x101010, kC1 = 0x0000FF, kC2 = 0x00FF00, kC3 = 0xFF0000, kC4 = 0xFFFFFF;

struct RleCase {
    const char* name;
    int bitCount;
    int width, height;
    Bytes data;
    Grid expected;
};

std::vector<RleCase> RleCases() {
    const TColor o = kBg;
    return {
        {"RLE8 runs, line ends, end of bitmap", 8, 4, 3,
         {3, 1, 1, 2, 0, 0, 4, 3, 0, 0, 2, 4, 0, 1},
         {{kC4, kC4, o, o}, {kC3, kC3, kC3, kC3}, {kC1, kC1, kC1, kC2}}},
        {"RLE8 absolute run of odd length with its pad byte", 8, 4, 3,
         {0, 3, 1, 2, 3, 0, 1, 4, 0, 1},
         {{o, o, o, o}, {o, o, o, o}, {kC1, kC2, kC3, kC4}}},
        {"RLE8 absolute run of even length, no pad", 8, 4, 3,
         {0, 4, 1, 2, 3, 4, 0, 0, 1, 1, 0, 1},
         {{o, o, o, o}, {kC1, o, o, o}, {kC1, kC2, kC3, kC4}}},
        {"RLE8 delta moves right and up", 8, 4, 3,
         {1, 1, 0, 2, 2, 1, 1, 2, 0, 1},
         {{o, o, o, o}, {o, o, o, kC2}, {kC1, o, o, o}}},
        {"RLE8 delta then line end", 8, 4, 3,
         {0, 2, 1, 1, 0, 0, 1, 3, 0, 1},
         {{kC3, o, o, o}, {o, o, o, o}, {o, o, o, o}}},
        {"RLE8 run past the row end is cut, not wrapped", 8, 4, 3,
         {6, 1, 2, 2, 0, 0, 0, 1},
         {{o, o, o, o}, {o, o, o, o}, {kC1, kC1, kC1, kC1}}},
        {"RLE8 absolute run past the row end is cut", 8, 4, 3,
         {0, 6, 1, 2, 3, 4, 1, 2, 0, 0, 1, 3, 0, 1},
         {{o, o, o, o}, {kC3, o, o, o}, {kC1, kC2, kC3, kC4}}},
        {"RLE8 delta past the row end stops at it", 8, 4, 3,
         {0, 2, 200, 0, 1, 1, 0, 0, 1, 2, 0, 1},
         {{o, o, o, o}, {kC2, o, o, o}, {o, o, o, o}}},
        {"RLE8 end of bitmap stops decoding", 8, 4, 3,
         {1, 1, 0, 1, 1, 2},
         {{o, o, o, o}, {o, o, o, o}, {kC1, o, o, o}}},
        {"RLE8 data without end of bitmap", 8, 4, 3,
         {2, 1, 0, 0, 2, 2},
         {{o, o, o, o}, {kC2, kC2, o, o}, {kC1, kC1, o, o}}},
        {"RLE8 delta past the last row ends the picture", 8, 4, 3,
         {0, 2, 0, 9, 1, 1},
         {{o, o, o, o}, {o, o, o, o}, {o, o, o, o}}},
        {"RLE8 line ends past the last row", 8, 4, 3,
         {0, 0, 0, 0, 0, 0, 1, 1},
         {{o, o, o, o}, {o, o, o, o}, {o, o, o, o}}},
        {"RLE8 indices past the table are black", 8, 4, 1,
         {1, 200, 1, 5, 0, 1},
         {{0, 0, o, o}}},
        {"RLE8 absolute run cut by the end of the data", 8, 4, 1,
         {0, 5, 1, 2},
         {{kC1, kC2, o, o}}},
        {"RLE8 delta cut by the end of the data", 8, 4, 1,
         {0, 2, 1},
         {{o, o, o, o}}},
        {"RLE4 run alternates the two nibbles", 4, 5, 2,
         {5, 0x12, 0, 1},
         {{o, o, o, o, o}, {kC1, kC2, kC1, kC2, kC1}}},
        {"RLE4 absolute run of odd count with its pad byte", 4, 5, 2,
         {0, 5, 0x12, 0x34, 0x40, 0, 0, 0, 2, 0x33, 0, 1},
         {{kC3, kC3, o, o, o}, {kC1, kC2, kC3, kC4, kC4}}},
        {"RLE4 absolute run of three pixels in two bytes, no pad", 4, 5, 1,
         {0, 3, 0x12, 0x30, 1, 0x44, 0, 1},
         {{kC1, kC2, kC3, kC4, o}}},
        {"RLE4 absolute run of six pixels in three bytes and a pad", 4, 5, 2,
         {0, 6, 0x12, 0x34, 0x12, 0, 0, 0, 1, 0x40, 0, 1},
         {{kC4, o, o, o, o}, {kC1, kC2, kC3, kC4, kC1}}},
        {"RLE4 delta", 4, 5, 2,
         {0, 2, 1, 1, 3, 0x11, 0, 1},
         {{o, kC1, kC1, kC1, o}, {o, o, o, o, o}}},
        {"RLE4 run past the row end is cut", 4, 5, 1,
         {7, 0x21, 0, 1},
         {{kC2, kC1, kC2, kC1, kC2}}},
    };
}

Bytes RleFile(int bitCount, int width, int height, const Bytes& data, std::uint32_t sizeImage) {
    return BuildBmp({.width = width, .height = height, .bitCount = static_cast<std::uint16_t>(bitCount),
                     .compression = bitCount == 8 ? 1u : 2u, .sizeImage = sizeImage, .clrUsed = 5,
                     .colors = {static_cast<std::uint32_t>(kBg), kC1, kC2, kC3, kC4}, .pixels = data});
}

TEST(BmpRead, RunLengthEscapes) {
    for (const RleCase& c : RleCases()) {
        SCOPED_TRACE(c.name);
        TBitmap b;
        Load(b, RleFile(c.bitCount, c.width, c.height, c.data, static_cast<std::uint32_t>(c.data.size())));
        EXPECT_EQ(b.PixelKind(), duvo::pkDevice);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDevice);
        EXPECT_EQ(b.Raster()->BitCount(), 24);
        EXPECT_EQ(ReadAll(b), c.expected);
    }
}

TEST(BmpRead, RunLengthKeepsThePalette) {
    TBitmap b;
    Load(b, RleFile(8, 2, 1, {2, 1, 0, 1}, 0));
    ASSERT_NE(b.GetPalette(), nullptr);
    EXPECT_EQ(b.GetPalette()->entries.size(), 5u);
}

TEST(BmpRead, RunLengthImageSizeLimitsTheData) {
    // Only the first run lies within the declared size.
    TBitmap b;
    Load(b, RleFile(8, 3, 1, {1, 1, 1, 2, 0, 1}, 2));
    EXPECT_EQ(ReadAll(b), (Grid{{kC1, kBg, kBg}}));
    // Size 0 stands for the uncompressed size: here 4 bytes of the 6.
    Load(b, RleFile(8, 3, 1, {1, 1, 1, 2, 1, 3, 0, 1}, 0));
    EXPECT_EQ(ReadAll(b), (Grid{{kC1, kC2, kBg}}));
}

// The same rules, written the plain way: pixel by pixel into a grid.
Grid ReferenceRle(const Bytes& d, int bpp, int w, int h, const std::vector<TColor>& colors) {
    Grid g(static_cast<std::size_t>(h), std::vector<TColor>(static_cast<std::size_t>(w), colors[0]));
    int x = 0, y = 0;
    auto color = [&](int index) { return index < static_cast<int>(colors.size()) ? colors[index] : 0; };
    auto set = [&](int index) {
        if (x < w) g[h - 1 - y][x++] = color(index);
    };
    std::size_t i = 0;
    while (i + 2 <= d.size() && y < h) {
        const int a = d[i], v = d[i + 1];
        i += 2;
        if (a > 0) {
            for (int k = 0; k < a; ++k) set(bpp == 8 ? v : (k % 2 == 0 ? v >> 4 : v & 15));
        } else if (v == 0) {
            x = 0;
            ++y;
        } else if (v == 1) {
            break;
        } else if (v == 2) {
            if (i + 2 > d.size()) break;
            x = std::min(x + d[i], w);
            y += d[i + 1];
            i += 2;
        } else {
            const std::size_t bytes = bpp == 8 ? v : (v + 1) / 2;
            for (int k = 0; k < v; ++k) {
                const std::size_t at = i + (bpp == 8 ? k : k / 2);
                if (at >= d.size()) break;
                set(bpp == 8 ? d[at] : (k % 2 == 0 ? d[at] >> 4 : d[at] & 15));
            }
            i += bytes + (bytes & 1);
        }
    }
    return g;
}

TEST(BmpRead, RunLengthMatchesThePlainDecoderOnRandomData) {
    std::mt19937 rng(20240611);
    const std::vector<TColor> colors = {kBg, kC1, kC2, kC3, kC4};
    for (int round = 0; round < 3000; ++round) {
        const int bpp = round % 2 ? 8 : 4;
        const int w = 1 + static_cast<int>(rng() % 9), h = 1 + static_cast<int>(rng() % 6);
        Bytes data;
        const int pieces = static_cast<int>(rng() % 12);
        for (int p = 0; p < pieces; ++p) {
            switch (rng() % 6) {
                case 0: data.insert(data.end(), {0, static_cast<std::uint8_t>(rng() % 3)}); break;
                case 1: data.insert(data.end(), {0, 2, static_cast<std::uint8_t>(rng() % 12), static_cast<std::uint8_t>(rng() % 4)}); break;
                case 2: {
                    const int n = 3 + static_cast<int>(rng() % 12);
                    data.insert(data.end(), {0, static_cast<std::uint8_t>(n)});
                    for (int k = 0; k < n; ++k) data.push_back(static_cast<std::uint8_t>(rng() % 7 * (bpp == 4 ? 17 : 1)));
                    break;
                }
                case 3: data.push_back(static_cast<std::uint8_t>(rng())); break;
                default:
                    data.insert(data.end(), {static_cast<std::uint8_t>(1 + rng() % 14), static_cast<std::uint8_t>(rng() % 7 * (bpp == 4 ? 17 : 1))});
                    break;
            }
        }
        SCOPED_TRACE(::testing::Message() << "round " << round);
        TBitmap b;
        Load(b, RleFile(bpp, w, h, data, static_cast<std::uint32_t>(data.size())));
        ASSERT_EQ(ReadAll(b), ReferenceRle(data, bpp, w, h, colors));
    }
}

TEST(BmpRead, RunLengthDecoderNeverLeavesTheRaster) {
    // Random bytes straight into the decoder; the sanitizers watch the writes.
    std::mt19937 rng(7);
    const duvo::platform::RGBQuad colors[256]{};
    for (int round = 0; round < 2000; ++round) {
        auto r = duvo::platform::Raster::Create(1 + static_cast<int>(rng() % 5), 1 + static_cast<int>(rng() % 5), {},
                                                nullptr, 0, duvo::platform::Raster::Fill::Zero);
        Bytes data(rng() % 64);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 3 : rng());
        duvo::DecodeRle(data.data(), data.size(), round % 2 ? 8 : 4, colors, *r);
    }
}

// ---- writing --------------------------------------------------------------------

TEST(BmpWrite, RoundTripKeepsPixelsAndKind) {
    for (const DepthCase& c : DepthCases()) {
        SCOPED_TRACE(c.name);
        TBitmap first;
        Load(first, BuildBmp(c.recipe));
        duvo::TMemoryStream written;
        first.WriteToStream(written);
        TBitmap second;
        Load(second, written.Bytes());
        EXPECT_EQ(ReadAll(second), c.expected);
        EXPECT_EQ(second.PixelKind(), c.kind);
        EXPECT_EQ(second.Raster()->BottomUp(), first.Raster()->BottomUp());
        // Writing what was read back gives the same bytes again.
        duvo::TMemoryStream again;
        second.WriteToStream(again);
        EXPECT_EQ(again.Bytes(), written.Bytes());
        EXPECT_TRUE(first.SameAs(&second));
    }
}

TEST(BmpWrite, RunLengthPictureWritesAs24Bits) {
    TBitmap b;
    Load(b, RleFile(8, 3, 2, {2, 1, 0, 0, 1, 3, 0, 1}, 0));
    duvo::TMemoryStream written;
    b.WriteToStream(written);
    TBitmap back;
    Load(back, written.Bytes());
    EXPECT_EQ(back.PixelKind(), duvo::pk24Bit);
    EXPECT_EQ(ReadAll(back), ReadAll(b));
}

TEST(BmpWrite, SaveFileAndLoadFile) {
    TBitmap b;
    b.SetWidth(5);
    b.SetHeight(3);
    b.Canvas().WritePixel(4, 2, 0x0A0B0C);
    b.Canvas().WritePixel(0, 0, 0x010203);
    const std::string path = (std::filesystem::temp_directory_path() / "duvo_bmp_save_test.bmp").string();
    b.SaveFile(path);
    TBitmap back;
    back.LoadFile(path);
    std::filesystem::remove(path);
    EXPECT_EQ(ReadAll(back), ReadAll(b));
}

TEST(BmpWrite, EmptyBitmapWritesNothing) {
    TBitmap b;
    duvo::TMemoryStream written;
    b.WriteToStream(written);
    EXPECT_EQ(written.Size(), 0);
}

// ---- files found by fuzzing and the seed files ---------------------------------------

TEST(BmpRead, EveryFileInTheDataFoldersLoadsOrFailsCleanly) {
    // The seed files are valid pictures; what the fuzzer kept may fail, but
    // only with one of our exceptions.
    int files = 0;
    for (const char* folder : {"/bmp", "/regress"}) {
        const bool mustLoad = std::string(folder) == "/bmp";
        const std::filesystem::path dir = std::string(DUVO_TEST_DATA) + folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            TBitmap b;
            try {
                b.LoadFile(entry.path().string());
            } catch (const duvo::Exception& e) {
                EXPECT_FALSE(mustLoad) << e.what();
                continue;
            }
            EXPECT_TRUE(!mustLoad || !b.IsEmpty());
            std::uint64_t sum = 0;
            for (int y = 0; y < b.Height(); ++y)
                for (int x = 0; x < b.Width(); ++x) sum += static_cast<std::uint32_t>(b.Canvas().ReadPixel(x, y));
            EXPECT_EQ(b.Canvas().ReadPixel(b.Width(), 0), duvo::kInvalidColor);
            (void)sum;
        }
    }
    EXPECT_GE(files, 4);
}

}  // namespace
