// BMP reading: every depth and header kind, run-length data, truncation, the
// failures, and writing back what was read.
#include "graphics/bmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <utility>

#include "bmp_builder.h"
#include "graphics/bitmap.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "rtl/streams.h"

namespace {

using namespace bmptest;
using duvo::TBitmap;
using duvo::TColor;

// A table of n distinct colors: the red byte is the index.
std::vector<std::uint32_t> Ramp(int n) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(n); ++i)
        out.push_back(i | (255u - i) << 8 | (i * 7 & 0xFF) << 16);
    return out;
}
TColor RampColor(int i) { return static_cast<TColor>(Ramp(256)[static_cast<std::size_t>(i)]); }

// ---- depths, header kinds and short data ------------------------------------------

struct DepthCase {
    const char* name;
    BmpRecipe recipe;
    std::vector<std::vector<std::uint32_t>> stored;  // packed rows in file order, when the recipe has no pixels
    Grid expected;
    duvo::TPixelKind kind;
};

Bytes Bmp(const DepthCase& c) {
    BmpRecipe recipe = c.recipe;
    if (!c.stored.empty()) recipe.pixels = PackRows(recipe.bitCount, c.stored);
    return BuildBmp(recipe);
}

std::vector<DepthCase> DepthCases() {
    using namespace duvo;
    const std::uint32_t c0 = 0x112233, c1 = 0xAABBCC;
    const TColor w = 0xFFFFFF, r = 0x0000FF, g = 0x00FF00, b = 0xFF0000;
    auto R = RampColor;
    return {
        {"1 bit, padded rows",
         {.width = 3, .height = 2, .bitCount = 1, .colors = {c0, c1}},
         {{1, 0, 1}, {0, 1, 1}},
         {{c0, c1, c1}, {c1, c0, c1}},
         pk1Bit},
        {"4 bit, colors used 0 reads 16 entries",
         {.width = 3, .height = 2, .bitCount = 4, .colors = Ramp(16)},
         {{0, 15, 7}, {1, 2, 3}},
         {{R(1), R(2), R(3)}, {R(0), R(15), R(7)}},
         pk4Bit},
        {"4 bit, fewer colors: indices past the table are black",
         {.width = 2, .bitCount = 4, .clrUsed = 3, .colors = Ramp(3)},
         {{2, 9}},
         {{R(2), 0}},
         pk4Bit},
        {"8 bit, colors used 0 reads 256 entries",
         {.width = 5, .bitCount = 8, .colors = Ramp(256)},
         {{0, 255, 128, 7, 200}},
         {{R(0), R(255), R(128), R(7), R(200)}},
         pk8Bit},
        {"16 bit 5-5-5: 5-bit 31 reads 255, top bit ignored",
         {.width = 3, .height = 2, .bitCount = 16},
         {{0x7FFF, 0x0421, 0x8000}, {0x7C00, 0x03E0, 0x001F}},
         {{r, g, b}, {w, 0x080808, 0}},
         pk15Bit},
        {"16 bit bit fields 5-6-5",
         {.width = 4, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}},
         {{0xF800, 0x07E0, 0x001F, 0x0020}},
         {{r, g, b, 0x000400}},
         pk16Bit},
        {"16 bit bit fields 4-4-4",
         {.width = 4, .bitCount = 16, .compression = 3, .masks = {0x0F00, 0x00F0, 0x000F}},
         {{0x0F00, 0x0800, 0x0010, 0x000F}},
         {{r, 0x88, 0x1100, b}},
         pkCustom},
        {"24 bit, padded rows",
         {.width = 3, .height = 2},
         {{0x010203, 0x040506, 0x070809}, {r, g, b}},
         {{r, g, b}, {0x010203, 0x040506, 0x070809}},
         pk24Bit},
        {"32 bit: the fourth byte is ignored",
         {.width = 2, .bitCount = 32},
         {{0xAA112233, 0xFF000000}},
         {{0x332211, 0}},
         pk32Bit},
        {"32 bit bit fields, channels swapped",
         {.width = 2, .bitCount = 32, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000}},
         {{0x00332211, 0xFF000000}},
         {{0x332211, 0}},
         pkCustom},
        {"32 bit bit fields 10-10-10",
         {.width = 2, .bitCount = 32, .compression = 3, .masks = {0x3FF00000, 0x000FFC00, 0x000003FF}},
         {{0x3FF00000, 0x20000000 | 0x3FF}},
         {{r, 0xFF0080}},
         pkCustom},
        // Red 0b1010 has a hole: its value widens (101 -> 10110110) and never spills into green or blue.
        {"32 bit mask with a hole stays inside its channel",
         {.width = 2, .bitCount = 32, .compression = 3, .masks = {0x0000000A, 0x0000FF00, 0x00FF0000}},
         {{0x0000000A, 0x00FFFF0F}},
         {{0x0000B6, 0xFFFFB6}},
         pkCustom},
        {"core header, 24 bit",
         {.headerSize = 12, .width = 2, .height = 2},
         {{r, g}, {b, w}},
         {{b, w}, {r, g}},
         pk24Bit},
        {"core header, 8 bit with a 3-byte table of 256 entries",
         {.headerSize = 12, .width = 3, .bitCount = 8, .colors = Ramp(256)},
         {{3, 254, 0}},
         {{R(3), R(254), R(0)}},
         pk8Bit},
        {"core header, 1 bit",
         {.headerSize = 12, .width = 9, .bitCount = 1, .colors = {c0, c1}},
         {{1, 0, 0, 0, 0, 0, 0, 0, 1}},
         {{c1, c0, c0, c0, c0, c0, c0, c0, c1}},
         pk1Bit},
        {"V4 header (108) with its masks inside",
         {.headerSize = 108, .width = 3, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}},
         {{0xF800, 0x07E0, 0x001F}},
         {{r, g, b}},
         pk16Bit},
        {"V4 header with zero masks takes the 5-6-5 defaults",
         {.headerSize = 108, .width = 2, .bitCount = 16, .compression = 3},
         {{0xF800, 0x001F}},
         {{r, b}},
         pk16Bit},
        {"V5 header (124), 24 bit",
         {.headerSize = 124, .width = 2},
         {{0x123456, 0x654321}},
         {{0x123456, 0x654321}},
         pk24Bit},
        {"64-byte header, 8 bit with two colors: index 77 is black",
         {.headerSize = 64, .width = 3, .bitCount = 8, .clrUsed = 2, .colors = {c0, c1}},
         {{1, 0, 77}},
         {{c1, c0, 0}},
         pk8Bit},
        {"header larger than V5: the rest is skipped",
         {.headerSize = 300, .width = 2},
         {{0x0A0B0C, 0x0D0E0F}},
         {{0x0A0B0C, 0x0D0E0F}},
         pk24Bit},
        {"top-down 24 bit", {.width = 2, .height = -2}, {{r, g}, {b, w}}, {{r, g}, {b, w}}, pk24Bit},
        {"top-down 4 bit",
         {.width = 3, .height = -2, .bitCount = 4, .colors = Ramp(16)},
         {{1, 2, 3}, {4, 5, 6}},
         {{R(1), R(2), R(3)}, {R(4), R(5), R(6)}},
         pk4Bit},
        {"24 bit with a color table", {.clrUsed = 3, .colors = {c0, c1, c0}}, {{0x445566}}, {{0x445566}}, pk24Bit},
        // Short data: bottom-up rows fill from the bottom, the rest stays at index 0 (black when true color).
        {"truncated 8 bit: top rows at index 0",
         {.width = 2,
          .height = 3,
          .bitCount = 8,
          .clrUsed = 3,
          .colors = {0x0A0B0C, r, g},
          .pixels = {1, 1, 0, 0, 2, 2}},
         {},
         {{0x0A0B0C, 0x0A0B0C}, {g, g}, {r, r}},
         pk8Bit},
        {"truncated 24 bit: top row black",
         {.width = 2, .height = 2},
         {{0x111111, 0x222222}},
         {{0, 0}, {0x111111, 0x222222}},
         pk24Bit},
        {"image size field limits the pixel bytes",
         {.height = 2, .sizeImage = 4},
         {{0x111111}, {0x222222}},
         {{0}, {0x111111}},
         pk24Bit},
        {"image size beyond the raster is cut to it",
         {.height = 2, .sizeImage = 1000},
         {{0x111111}, {0x222222}},
         {{0x222222}, {0x111111}},
         pk24Bit},
        {"pixels follow the table whatever the offset field",
         {.dataOffset = 14 + 40 + 4, .gap = {3, 2, 1, 0}},
         {{0x999999}},
         {{0x030201}},
         pk24Bit},
    };
}

TEST(BmpRead, EveryDepthAndHeaderKind) {
    for (const DepthCase& c : DepthCases()) {
        SCOPED_TRACE(c.name);
        TBitmap b;
        Load(b, Bmp(c));
        EXPECT_EQ(b.Width(), static_cast<int>(c.expected[0].size()));
        EXPECT_EQ(b.Height(), static_cast<int>(c.expected.size()));
        EXPECT_EQ(b.PixelKind(), c.kind);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
        EXPECT_EQ(ReadAll(b), c.expected);
        EXPECT_EQ(b.Image()->os2Format, c.recipe.headerSize == 12);  // the 12-byte header is remembered
    }
}

TEST(BmpRead, PaletteFromTheColorTable) {
    TBitmap b, plain;
    Load(b, BuildBmp({.bitCount = 8, .clrUsed = 3, .colors = {0x0000FF, 0x00FF00, 0xFF0000}, .pixels = {0, 0, 0, 0}}));
    ASSERT_NE(b.GetPalette(), nullptr);
    ASSERT_EQ(b.GetPalette()->entries.size(), 3u);
    EXPECT_EQ(b.GetPalette()->entries[0].red, 255);
    EXPECT_EQ(b.GetPalette()->entries[2].blue, 255);
    EXPECT_TRUE(b.PaletteModified());
    Load(plain, BuildBmp({.pixels = PackRows(24, {{0}})}));
    EXPECT_EQ(plain.GetPalette(), nullptr);
}

TEST(BmpRead, ZeroLengthGivesAnEmptyBitmap) {
    TBitmap b;
    Load(Sized(b, 4, 4), {});
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
}

TEST(BmpRead, ReadsFromTheStreamPosition) {
    Bytes bytes = {'x', 'y', 'z'};
    const Bytes bmp = BuildBmp({.pixels = PackRows(24, {{0x123456}})});
    bytes.insert(bytes.end(), bmp.begin(), bmp.end());
    duvo::TBytesStream s(bytes.data(), bytes.size());
    s.SetPosition(3);
    TBitmap b;
    b.ReadFromStream(s);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x123456);
}

TEST(BmpRead, StoredLengthBoundsTheRead) {
    // A stored bitmap reads as a file of its length: what follows in the stream
    // is not pixel data. A length beyond the stream reads what is there.
    const Bytes bmp = BuildBmp({.width = 1, .height = 2, .pixels = PackRows(24, {{0x111111}, {0x222222}})});
    for (std::uint32_t length : {static_cast<std::uint32_t>(bmp.size() - 4), 0x7FFFFFFFu}) {
        SCOPED_TRACE(length);
        Bytes stored;
        Put32(stored, length);
        stored.insert(stored.end(), bmp.begin(), bmp.end() - 4);  // the top row is cut off
        if (length < bmp.size()) stored.insert(stored.end(), {0x77, 0x77, 0x77, 0x77});
        duvo::TBytesStream s(stored.data(), stored.size());
        TBitmap b;
        b.ReadStoredData(s);
        EXPECT_EQ(ReadAll(b), (Grid{{0}, {0x111111}}));
        EXPECT_EQ(s.Position(), std::min<std::int64_t>(4 + length, static_cast<std::int64_t>(stored.size())));
    }
}

// ---- failures -------------------------------------------------------------------

struct ErrorCase {
    const char* name;
    Bytes bytes;
    bool readError;             // else the bitmap is not valid
    const char* tooLarge = "";  // or it is refused for its size, with this message
};

Bytes WithHeaderSize(Bytes b, std::uint32_t size) {
    for (int i = 0; i < 4; ++i) b[14 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return b;
}

Bytes Cut(Bytes b, std::size_t size) {
    b.resize(size);
    return b;
}

std::vector<ErrorCase> ErrorCases() {
    const Bytes ok24 = BuildBmp({.width = 2, .height = 2, .pixels = PackRows(24, {{0, 0}, {0, 0}})});
    const Bytes ok8 = BuildBmp({.width = 2, .height = 2, .bitCount = 8, .colors = Ramp(256)});
    const Bytes okFields = BuildBmp({.bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}});
    const bool read = true, invalid = false;
    return {
        {"signature not BM", BuildBmp({.signature = "MB"}), invalid},
        {"data ends inside the file header", Cut(ok24, 9), read},
        {"data ends inside the header size", Cut(ok24, 16), read},
        {"data ends inside the info header", Cut(ok24, 14 + 30), read},
        {"data ends inside the core header", Cut(BuildBmp({.headerSize = 12, .width = 2, .height = 2}), 14 + 8), read},
        {"data ends inside a V5 header", Cut(BuildBmp({.headerSize = 124}), 14 + 100), read},
        {"header size beyond the data", WithHeaderSize(ok24, 0xFFFFFFF0u), read},
        {"header size 2^31", WithHeaderSize(ok24, 0x80000000u), read},
        {"header size 0", BuildBmp({.headerSize = 0}), invalid},
        {"header size 20", BuildBmp({.headerSize = 20}), invalid},
        {"header size 39", BuildBmp({.headerSize = 39}), invalid},
        {"planes 2", BuildBmp({.planes = 2}), invalid},
        {"planes 0 in a core header", BuildBmp({.headerSize = 12, .planes = 0}), invalid},
        {"data ends inside the masks", Cut(okFields, 14 + 40 + 6), read},
        {"data ends inside the color table", Cut(ok8, 14 + 40 + 100), read},
        {"colors used 257", BuildBmp({.bitCount = 8, .clrUsed = 257, .colors = Ramp(256)}), invalid},
        {"colors used 0xFFFFFFFF", BuildBmp({.bitCount = 8, .clrUsed = 0xFFFFFFFFu}), invalid},
        {"compression 4 (JPEG)", BuildBmp({.compression = 4}), invalid},
        {"compression 5 (PNG)", BuildBmp({.compression = 5}), invalid},
        {"compression 0x7FFFFFFF", BuildBmp({.compression = 0x7FFFFFFF}), invalid},
        {"RLE8 at 24 bits", BuildBmp({.compression = 1}), invalid},
        {"RLE4 at 8 bits", BuildBmp({.bitCount = 8, .compression = 2, .colors = Ramp(256)}), invalid},
        {"RLE8 top-down", BuildBmp({.height = -1, .bitCount = 8, .compression = 1, .colors = Ramp(256)}), invalid},
        {"bit fields at 24 bits", BuildBmp({.compression = 3, .masks = {1, 2, 4}}), invalid},
        {"bit count 2", BuildBmp({.bitCount = 2}), invalid},
        {"bit count 0", BuildBmp({.bitCount = 0}), invalid},
        {"bit count 64", BuildBmp({.bitCount = 64}), invalid},
        {"width 0", BuildBmp({.width = 0}), invalid},
        {"height 0", BuildBmp({.height = 0}), invalid},
        {"negative width", BuildBmp({.width = -5}), invalid},
        {"height -2^31", BuildBmp({.height = INT32_MIN}), invalid,
         "Picture too large (1 x 2147483648 pixels; the limit is 1073741824 pixels)"},
        {"100000 x 100000 in a small file", BuildBmp({.width = 100000, .height = 100000}), invalid,
         "Picture too large (100000 x 100000 pixels; the limit is 1073741824 pixels)"},
        {"2^30 + 32768 pixels", BuildBmp({.width = 32769, .height = 32768, .bitCount = 1, .colors = {0, 0xFFFFFF}}),
         invalid, "Picture too large (32769 x 32768 pixels; the limit is 1073741824 pixels)"},
        {"65535 x 65535 in a core header", BuildBmp({.headerSize = 12, .width = 65535, .height = 65535}), invalid,
         "Picture too large (65535 x 65535 pixels; the limit is 1073741824 pixels)"},
        {"RLE8 of 2^31 pixels",
         BuildBmp({.width = 65536, .height = 32768, .bitCount = 8, .compression = 1, .colors = Ramp(256)}), invalid,
         "Picture too large (65536 x 32768 pixels; the limit is 1073741824 pixels)"},
    };
}

TEST(BmpRead, ErrorTable) {
    for (const ErrorCase& c : ErrorCases()) {
        SCOPED_TRACE(c.name);
        // A failed read leaves the previous picture in place.
        TBitmap b;
        Sized(b, 2, 1).Canvas().WritePixel(1, 0, 0x123456);
        auto load = [&] { Load(b, c.bytes); };
        if (*c.tooLarge)
            EXPECT_EQ(Raised<duvo::EPictureTooLarge>(load), c.tooLarge);
        else
            EXPECT_EQ(c.readError ? Raised<duvo::EReadError>(load) : Raised<duvo::EInvalidGraphic>(load),
                      c.readError ? "Stream read error" : "Bitmap image is not valid");
        EXPECT_EQ(ReadAll(b), (Grid{{0xFFFFFF, 0x123456}}));
    }
}

TEST(BmpRead, PixelLimitIsCheckedBeforeAllocation) {
    duvo::Limits small;
    small.pixels = 100;
    TBitmap b;
    EXPECT_NO_THROW(b.LoadFromBytes(BuildBmp({.width = 10, .height = -10}), small));
    EXPECT_EQ(b.Height(), 10);
    EXPECT_THROW(b.LoadFromBytes(BuildBmp({.width = 10, .height = 11}), small), duvo::EPictureTooLarge);
    EXPECT_THROW(b.LoadFromBytes(BuildBmp({.width = 101, .bitCount = 8, .compression = 1, .colors = Ramp(256)}), small),
                 duvo::EInvalidGraphic);
    EXPECT_EQ(b.Height(), 10);  // a refusal leaves the picture as it was
}

// ---- run-length data ---------------------------------------------------------------

// The table of every run-length picture: index 0 is the background o, 1 to 4 are A to D.
constexpr TColor o = 0x101010, A = 0x0000FF, B = 0x00FF00, C = 0xFF0000, D = 0xFFFFFF;

struct RleCase {
    const char* name;
    int bitCount, width, height;
    Bytes data;
    Grid expected;
    std::int64_t sizeImage = -1;  // -1: the data's length
};

std::vector<RleCase> RleCases() {
    const std::vector<TColor> blank(4, o);
    return {
        {"RLE8 runs, line ends, end of bitmap",
         8,
         4,
         3,
         {3, 1, 1, 2, 0, 0, 4, 3, 0, 0, 2, 4, 0, 1},
         {{D, D, o, o}, {C, C, C, C}, {A, A, A, B}}},
        {"RLE8 absolute run of odd length with its pad byte",
         8,
         4,
         3,
         {0, 3, 1, 2, 3, 0, 1, 4, 0, 1},
         {blank, blank, {A, B, C, D}}},
        {"RLE8 absolute run of even length, no pad",
         8,
         4,
         3,
         {0, 4, 1, 2, 3, 4, 0, 0, 1, 1, 0, 1},
         {blank, {A, o, o, o}, {A, B, C, D}}},
        {"RLE8 delta moves right and up", 8, 4, 3, {1, 1, 0, 2, 2, 1, 1, 2, 0, 1}, {blank, {o, o, o, B}, {A, o, o, o}}},
        {"RLE8 delta then line end", 8, 4, 3, {0, 2, 1, 1, 0, 0, 1, 3, 0, 1}, {{C, o, o, o}, blank, blank}},
        {"RLE8 run past the row end is cut, not wrapped",
         8,
         4,
         3,
         {6, 1, 2, 2, 0, 0, 0, 1},
         {blank, blank, {A, A, A, A}}},
        {"RLE8 absolute run past the row end is cut",
         8,
         4,
         3,
         {0, 6, 1, 2, 3, 4, 1, 2, 0, 0, 1, 3, 0, 1},
         {blank, {C, o, o, o}, {A, B, C, D}}},
        {"RLE8 delta past the row end stops at it",
         8,
         4,
         3,
         {0, 2, 200, 0, 1, 1, 0, 0, 1, 2, 0, 1},
         {blank, {B, o, o, o}, blank}},
        {"RLE8 end of bitmap stops decoding", 8, 4, 3, {1, 1, 0, 1, 1, 2}, {blank, blank, {A, o, o, o}}},
        {"RLE8 data without end of bitmap", 8, 4, 3, {2, 1, 0, 0, 2, 2}, {blank, {B, B, o, o}, {A, A, o, o}}},
        {"RLE8 delta past the last row ends the picture", 8, 4, 3, {0, 2, 0, 9, 1, 1}, {blank, blank, blank}},
        {"RLE8 line ends past the last row", 8, 4, 3, {0, 0, 0, 0, 0, 0, 1, 1}, {blank, blank, blank}},
        {"RLE8 indices past the table are black", 8, 4, 1, {1, 200, 1, 5, 0, 1}, {{0, 0, o, o}}},
        {"RLE8 absolute run cut by the end of the data", 8, 4, 1, {0, 5, 1, 2}, {{A, B, o, o}}},
        {"RLE8 delta cut by the end of the data", 8, 4, 1, {0, 2, 1}, {blank}},
        {"RLE8 image size 2: only the first run", 8, 3, 1, {1, 1, 1, 2, 0, 1}, {{A, o, o}}, 2},
        {"RLE8 image size 0 stands for the uncompressed 4 bytes", 8, 3, 1, {1, 1, 1, 2, 1, 3, 0, 1}, {{A, B, o}}, 0},
        {"RLE4 run alternates the two nibbles", 4, 5, 2, {5, 0x12, 0, 1}, {{o, o, o, o, o}, {A, B, A, B, A}}},
        {"RLE4 absolute run of odd count with its pad byte",
         4,
         5,
         2,
         {0, 5, 0x12, 0x34, 0x40, 0, 0, 0, 2, 0x33, 0, 1},
         {{C, C, o, o, o}, {A, B, C, D, D}}},
        {"RLE4 absolute run of three pixels in two bytes, no pad",
         4,
         5,
         1,
         {0, 3, 0x12, 0x30, 1, 0x44, 0, 1},
         {{A, B, C, D, o}}},
        {"RLE4 absolute run of six pixels in three bytes and a pad",
         4,
         5,
         2,
         {0, 6, 0x12, 0x34, 0x12, 0, 0, 0, 1, 0x40, 0, 1},
         {{D, o, o, o, o}, {A, B, C, D, A}}},
        {"RLE4 delta", 4, 5, 2, {0, 2, 1, 1, 3, 0x11, 0, 1}, {{o, A, A, A, o}, {o, o, o, o, o}}},
        {"RLE4 run past the row end is cut", 4, 5, 1, {7, 0x21, 0, 1}, {{B, A, B, A, B}}},
    };
}

Bytes RleFile(int bitCount, int width, int height, const Bytes& data, std::int64_t sizeImage = -1) {
    if (sizeImage < 0) sizeImage = static_cast<std::int64_t>(data.size());
    return BuildBmp({.width = width,
                     .height = height,
                     .bitCount = static_cast<std::uint16_t>(bitCount),
                     .compression = bitCount == 8 ? 1u : 2u,
                     .sizeImage = static_cast<std::uint32_t>(sizeImage),
                     .clrUsed = 5,
                     .colors = {static_cast<std::uint32_t>(o), A, B, C, D},
                     .pixels = data});
}

TEST(BmpRead, RunLengthEscapes) {
    for (const RleCase& c : RleCases()) {
        SCOPED_TRACE(c.name);
        TBitmap b;
        Load(b, RleFile(c.bitCount, c.width, c.height, c.data, c.sizeImage));
        EXPECT_EQ(b.PixelKind(), duvo::pkDevice);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDevice);
        EXPECT_EQ(b.Raster()->BitCount(), 24);
        EXPECT_EQ(ReadAll(b), c.expected);
        ASSERT_NE(b.GetPalette(), nullptr);  // the table is kept as the palette
        EXPECT_EQ(b.GetPalette()->entries.size(), 5u);
    }
}

// The same rules, written the plain way: pixel by pixel into a grid.
Grid ReferenceRle(const Bytes& d, int bpp, int w, int h, const std::vector<TColor>& colors) {
    Grid g(static_cast<std::size_t>(h), std::vector<TColor>(static_cast<std::size_t>(w), colors[0]));
    int x = 0, y = 0;
    auto set = [&](int index) {
        if (x < w) g[h - 1 - y][x++] = index < static_cast<int>(colors.size()) ? colors[index] : 0;
    };
    auto nibble = [&](int k, int v) { return bpp == 8 ? v : k % 2 == 0 ? v >> 4 : v & 15; };
    std::size_t i = 0;
    while (i + 2 <= d.size() && y < h) {
        const int a = d[i], v = d[i + 1];
        i += 2;
        if (a > 0) {
            for (int k = 0; k < a; ++k) set(nibble(k, v));
        } else if (v == 0) {
            x = 0, ++y;
        } else if (v == 1 || (v == 2 && i + 2 > d.size())) {
            break;
        } else if (v == 2) {
            x = std::min(x + d[i], w), y += d[i + 1], i += 2;
        } else {
            auto at = [&](int k) { return i + static_cast<std::size_t>(bpp == 8 ? k : k / 2); };
            for (int k = 0; k < v && at(k) < d.size(); ++k) set(nibble(k, d[at(k)]));
            const std::size_t bytes = bpp == 8 ? v : (v + 1) / 2;
            i += bytes + (bytes & 1);
        }
    }
    return g;
}

TEST(BmpRead, RunLengthMatchesThePlainDecoderOnRandomData) {
    std::mt19937 rng(20240611);
    auto byte = [&](unsigned n) { return static_cast<std::uint8_t>(rng() % n); };
    for (int round = 0; round < 3000; ++round) {
        const int bpp = round % 2 ? 8 : 4;
        auto value = [&] { return static_cast<std::uint8_t>(byte(7) * (bpp == 4 ? 17 : 1)); };  // a table index
        const int w = 1 + static_cast<int>(rng() % 9), h = 1 + static_cast<int>(rng() % 6);
        Bytes data;
        for (int p = 0, pieces = static_cast<int>(rng() % 12); p < pieces; ++p) {
            switch (rng() % 6) {
                case 0:
                    data.insert(data.end(), {0, byte(3)});
                    break;
                case 1:
                    data.insert(data.end(), {0, 2, byte(12), byte(4)});
                    break;
                case 2: {
                    const int n = 3 + byte(12);
                    data.insert(data.end(), {0, static_cast<std::uint8_t>(n)});
                    for (int k = 0; k < n; ++k) data.push_back(value());
                    break;
                }
                case 3:
                    data.push_back(byte(256));
                    break;
                default:
                    data.insert(data.end(), {static_cast<std::uint8_t>(1 + byte(14)), value()});
            }
        }
        SCOPED_TRACE(::testing::Message() << "round " << round);
        TBitmap b;
        Load(b, RleFile(bpp, w, h, data));
        ASSERT_EQ(ReadAll(b), ReferenceRle(data, bpp, w, h, {o, A, B, C, D}));
    }
}

TEST(BmpRead, RunLengthDecoderNeverLeavesTheRaster) {
    // Random bytes straight into the decoder; the sanitizers watch the writes.
    std::mt19937 rng(7);
    const duvo::platform::RGBQuad colors[256]{};
    for (int round = 0; round < 2000; ++round) {
        const int w = 1 + static_cast<int>(rng() % 5), h = 1 + static_cast<int>(rng() % 5);
        auto r = duvo::platform::Raster::Create(w, h, {}, nullptr, 0, duvo::platform::Raster::Fill::Zero);
        Bytes data(rng() % 64);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 3 : rng());
        duvo::DecodeRle(data.data(), data.size(), round % 2 ? 8 : 4, colors, *r);
    }
}

// ---- writing --------------------------------------------------------------------

Bytes Written(TBitmap& b) {
    duvo::TMemoryStream out;
    b.WriteToStream(out);
    return out.Bytes();
}

TEST(BmpWrite, RoundTripKeepsPixelsAndKind) {
    for (const DepthCase& c : DepthCases()) {
        SCOPED_TRACE(c.name);
        TBitmap first, second;
        Load(first, Bmp(c));
        const Bytes written = Written(first);
        Load(second, written);
        EXPECT_EQ(ReadAll(second), c.expected);
        EXPECT_EQ(second.PixelKind(), c.kind);
        EXPECT_EQ(second.Raster()->BottomUp(), first.Raster()->BottomUp());
        // Row 0 is the top row in either order.
        if (c.kind == duvo::pk24Bit) {
            EXPECT_EQ(std::as_const(first).RowAddress(0)[2], c.expected[0][0] & 0xFF);
        }
        EXPECT_EQ(Written(second), written);  // writing what was read gives the same bytes again
        EXPECT_TRUE(first.SameAs(&second));
    }
}

TEST(BmpWrite, RunLengthPictureWritesAs24Bits) {
    TBitmap b, back;
    Load(b, RleFile(8, 3, 2, {2, 1, 0, 0, 1, 3, 0, 1}, 0));
    Load(back, Written(b));
    EXPECT_EQ(back.PixelKind(), duvo::pk24Bit);
    EXPECT_EQ(ReadAll(back), ReadAll(b));
}

TEST(BmpWrite, SaveFileAndLoadFileAndEmptyWritesNothing) {
    TBitmap b, back, empty;
    Sized(b, 5, 3).Canvas().WritePixel(4, 2, 0x0A0B0C);
    b.Canvas().WritePixel(0, 0, 0x010203);
    const std::string path = (std::filesystem::temp_directory_path() / "duvo_bmp_save_test.bmp").string();
    b.SaveFile(path);
    back.LoadFile(path);
    std::filesystem::remove(path);
    EXPECT_EQ(ReadAll(back), ReadAll(b));
    EXPECT_TRUE(Written(empty).empty());
}

// ---- files found by fuzzing and the seed files ---------------------------------------

TEST(BmpRead, EveryFileInTheDataFoldersLoadsOrFailsCleanly) {
    // The seed files are valid pictures; what the fuzzer kept may fail, but
    // only with one of our exceptions.
    int files = 0;
    for (const std::string folder : {"/bmp", "/regress"}) {
        const std::filesystem::path dir = DUVO_TEST_DATA + folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            TBitmap b;
            try {
                b.LoadFile(entry.path().string());
            } catch (const duvo::Exception& e) {
                EXPECT_NE(folder, "/bmp") << e.what();
                continue;
            }
            EXPECT_TRUE(folder != "/bmp" || !b.IsEmpty());
            ReadAll(b);  // every pixel read stays inside the raster
            EXPECT_EQ(b.Canvas().ReadPixel(b.Width(), 0), duvo::kInvalidColor);
        }
    }
    EXPECT_GE(files, 4);
}

// What the decoder says it filled in; the pixels are those of the tables above.
TEST(BmpRead, MissingRowsAreReportedAsTruncated) {
    const struct {
        const char* what;
        Bytes file;
        std::vector<duvo::DecodeWarning> expected;
    } rows[] = {
        {"whole rows", BuildBmp({.width = 2, .height = 3, .pixels = Bytes(24, 7)}), {}},
        {"one of three rows in the file",
         BuildBmp({.width = 2, .height = 3, .pixels = Bytes(8, 7)}),
         {{"truncated", "only 1 of 3 rows are in the file"}}},
        {"a row and a half: whole rows are counted",
         BuildBmp({.width = 2, .height = 3, .pixels = Bytes(12, 7)}),
         {{"truncated", "only 1 of 3 rows are in the file"}}},
        {"no pixel bytes at all",
         BuildBmp({.width = 2, .height = 3, .pixels = {}}),
         {{"truncated", "only 0 of 3 rows are in the file"}}},
        {"the header's image size is too small for the rows it has",
         BuildBmp({.height = 2, .sizeImage = 4, .pixels = Bytes(8, 7)}),
         {{"truncated", "the header's image size covers only 1 of 2 rows"}}},
        {"run-length data with its end mark", RleFile(8, 2, 2, {2, 1, 0, 0, 2, 2, 0, 1}), {}},
        {"run-length data that ends on the last row without its mark", RleFile(8, 2, 2, {2, 1, 0, 0, 2, 2, 0, 0}), {}},
        {"run-length data cut after its first row",
         RleFile(8, 2, 3, {2, 1, 0, 0}),
         {{"truncated", "the run-length data ends after 1 of 3 rows"}}},
        {"run-length data cut inside a delta",
         RleFile(4, 4, 3, {0, 2, 1}),
         {{"truncated", "the run-length data ends after 0 of 3 rows"}}},
    };
    for (const auto& row : rows) {
        const duvo::DecodedPicture decoded = duvo::DecodeBmp(row.file, duvo::kDefaultLimits);
        EXPECT_EQ(decoded.warnings, row.expected) << row.what;
    }
}

}  // namespace
