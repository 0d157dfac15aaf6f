// The bitmap: pixel reads and writes, sizing, pixel kinds, row access and the
// copy-on-write store.
#include <gtest/gtest.h>

#include <climits>

#include "bmp_builder.h"
#include "graphics/bitmap.h"
#include "graphics/graphics.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

using duvo::TBitmap;
using duvo::TColor;
using Grid = std::vector<std::vector<TColor>>;

Grid ReadAll(TBitmap& b) {
    Grid g(static_cast<std::size_t>(b.Height()), std::vector<TColor>(static_cast<std::size_t>(b.Width())));
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) g[y][x] = b.Canvas().ReadPixel(x, y);
    return g;
}

void Size(TBitmap& b, int w, int h) {
    b.SetWidth(w);
    b.SetHeight(h);
}

// A 3 x 2 bitmap whose every pixel differs.
void Paint(TBitmap& b) {
    Size(b, 3, 2);
    const TColor colors[2][3] = {{0x000001, 0x0000FF, 0x00FF00}, {0xFF0000, 0x123456, 0x000000}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) b.Canvas().WritePixel(x, y, colors[y][x]);
}

void Load(TBitmap& b, const bmptest::Bytes& bytes) {
    duvo::TBytesStream s(bytes.data(), bytes.size());
    b.ReadFromStream(s);
}

TEST(Bitmap, NewBitmapIsEmpty) {
    TBitmap b;
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
    EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDevice);
    EXPECT_EQ(b.PixelKind(), duvo::pkDevice);
    EXPECT_EQ(b.TransparentColor(), 0x20000000);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), duvo::kInvalidColor);
    b.Canvas().WritePixel(0, 0, 0);  // nothing to write into, nothing happens
    EXPECT_TRUE(b.IsEmpty());
}

TEST(Bitmap, SizingMakesAWhiteScreenBitmap) {
    TBitmap b;
    b.SetWidth(3);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 3);
    b.SetHeight(2);
    EXPECT_FALSE(b.IsEmpty());
    EXPECT_EQ(b.PixelKind(), duvo::pkDevice);
    EXPECT_EQ(b.Raster()->BitCount(), 24);
    EXPECT_EQ(ReadAll(b), (Grid(2, std::vector<TColor>(3, 0xFFFFFF))));
}

TEST(Bitmap, EveryColorReadsBackExactly) {
    TBitmap b;
    Size(b, 4, 1);
    for (TColor c : {0x000000, 0xFFFFFF, 0x123456, 0x0000FF, 0xFF0000, 0x7F807F}) {
        b.Canvas().WritePixel(2, 0, c);
        EXPECT_EQ(b.Canvas().ReadPixel(2, 0), c);
    }
    // A system color is written as its current RGB value.
    b.Canvas().WritePixel(1, 0, static_cast<TColor>(0x80000005));
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), duvo::platform::ColorToRGB(static_cast<TColor>(0x80000005)));
    EXPECT_GE(b.Canvas().ReadPixel(1, 0), 0);
}

TEST(Bitmap, OutsideReadsAreInvalidAndOutsideWritesIgnored) {
    TBitmap b;
    Paint(b);
    const Grid before = ReadAll(b);
    int changes = 0;
    b.SetOnChange([&](duvo::TPersistent*) { ++changes; });
    const std::pair<int, int> outside[] = {{-1, 0}, {0, -1}, {3, 0}, {0, 2}, {3, 2}, {INT_MIN, 0}, {0, INT_MAX}};
    for (auto [x, y] : outside) {
        SCOPED_TRACE(::testing::Message() << x << "," << y);
        EXPECT_EQ(b.Canvas().ReadPixel(x, y), static_cast<TColor>(0xFFFFFFFF));
        b.Canvas().WritePixel(x, y, 0x000000);
    }
    EXPECT_EQ(ReadAll(b), before);
    EXPECT_EQ(changes, 0);
}

TEST(Bitmap, WritesNotifyAndReadsDoNot) {
    TBitmap b;
    Size(b, 2, 2);
    int changes = 0;
    b.SetOnChange([&](duvo::TPersistent* sender) {
        EXPECT_EQ(sender, &b);
        ++changes;
    });
    b.SetModified(false);
    b.Canvas().ReadPixel(0, 0);
    EXPECT_EQ(changes, 0);
    EXPECT_FALSE(b.Modified());
    b.Canvas().WritePixel(1, 1, 0x00FF00);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(b.Modified());
    b.SetWidth(2);  // same value: nothing happens
    EXPECT_EQ(changes, 1);
    b.SetWidth(5);
    EXPECT_EQ(changes, 2);
}

TEST(Bitmap, IndexedPixelsReadTheirTableColor) {
    TBitmap b;
    Load(b, bmptest::BuildBmp({.width = 2, .height = 1, .bitCount = 8, .clrUsed = 3,
                               .colors = {0x000000, 0x0000FF, 0xFFFFFF}, .pixels = bmptest::PackRows(8, {{1, 2}})}));
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x0000FF);
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0xFFFFFF);
    // A write picks the nearest table entry and stores its index.
    b.Canvas().WritePixel(1, 0, 0x0000F0);
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x0000FF);
    EXPECT_EQ(b.RowAddress(0)[1], 1);
    b.Canvas().WritePixel(0, 0, 0x101010);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x000000);
}

TEST(Bitmap, SixteenBitChannelsWidenByBitReplication) {
    struct Case {
        duvo::TPixelKind kind;
        TColor written, read;
    };
    const Case cases[] = {
        {duvo::pk15Bit, 0xFFFFFF, 0xFFFFFF},  // 5-bit 31 reads 255
        {duvo::pk15Bit, 0x0000FF, 0x0000FF},
        {duvo::pk15Bit, 0x000008, 0x000008},  // 5-bit 1 reads 8
        {duvo::pk15Bit, 0x101010, 0x101010},
        {duvo::pk15Bit, 0x07FF07, 0x00FF00},  // low bits are dropped on writing
        {duvo::pk16Bit, 0x000400, 0x000400},  // 6-bit green 1 reads 4
        {duvo::pk16Bit, 0xFFFFFF, 0xFFFFFF},
        {duvo::pk16Bit, 0x008000, 0x008200},  // 6-bit 100000 reads 10000010
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.written);
        TBitmap b;
        Size(b, 1, 1);
        b.SetPixelKind(c.kind);
        b.Canvas().WritePixel(0, 0, c.written);
        EXPECT_EQ(b.Canvas().ReadPixel(0, 0), c.read);
    }
}

TEST(Bitmap, FourthByteOf32BitPixelsIsIgnored) {
    TBitmap b;
    Size(b, 2, 1);
    b.SetPixelKind(duvo::pk32Bit);
    b.Canvas().WritePixel(1, 0, 0x123456);
    std::uint8_t* row = b.RowAddress(0);
    EXPECT_EQ(row[4], 0x12);  // blue, green, red, unused
    EXPECT_EQ(row[6], 0x56);
    row[7] = 0xAB;
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x123456);
}

TEST(Bitmap, MaskWithHolesStaysInsideItsChannel) {
    // Red 0b1010 spans three bits with a hole; its value must not spill into
    // green or blue, whatever the pixel holds.
    TBitmap b;
    Load(b, bmptest::BuildBmp({.width = 2, .height = 1, .bitCount = 32, .compression = 3,
                               .masks = {0x0000000A, 0x0000FF00, 0x00FF0000},
                               .pixels = bmptest::PackRows(32, {{0x0000000A, 0x00FFFF0F}})}));
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x0000B6);  // 101 widened: 10110110
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0xFFFFB6);
}

TEST(Bitmap, EnlargingKeepsTopLeftAndFillsWhite) {
    TBitmap b;
    Paint(b);
    const Grid before = ReadAll(b);
    b.SetWidth(5);
    b.SetHeight(4);
    ASSERT_EQ(b.Width(), 5);
    ASSERT_EQ(b.Height(), 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            SCOPED_TRACE(::testing::Message() << x << "," << y);
            EXPECT_EQ(b.Canvas().ReadPixel(x, y), x < 3 && y < 2 ? before[y][x] : 0xFFFFFF);
        }
}

TEST(Bitmap, ShrinkingKeepsTopLeft) {
    TBitmap b;
    Paint(b);
    const Grid before = ReadAll(b);
    b.SetHeight(1);
    b.SetWidth(2);
    EXPECT_EQ(ReadAll(b), (Grid{{before[0][0], before[0][1]}}));
}

TEST(Bitmap, ResizingALoadedPictureKeepsItsTopRows) {
    // Bottom-up rows: the top of the picture is the end of the data.
    for (std::int32_t height : {2, -2}) {
        SCOPED_TRACE(height);
        const bmptest::Bytes rows = height > 0 ? bmptest::PackRows(24, {{0x000003, 0x000004}, {0x000001, 0x000002}})
                                               : bmptest::PackRows(24, {{0x000001, 0x000002}, {0x000003, 0x000004}});
        TBitmap b;
        Load(b, bmptest::BuildBmp({.width = 2, .height = height, .pixels = rows}));
        b.SetHeight(3);
        b.SetWidth(3);
        EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
        EXPECT_EQ(ReadAll(b), (Grid{{1, 2, 0xFFFFFF}, {3, 4, 0xFFFFFF}, {0xFFFFFF, 0xFFFFFF, 0xFFFFFF}}));
        b.SetHeight(1);
        EXPECT_EQ(ReadAll(b), (Grid{{1, 2, 0xFFFFFF}}));
    }
}

TEST(Bitmap, ResizingAnIndexedPictureKeepsItsColors) {
    TBitmap b;
    Load(b, bmptest::BuildBmp({.width = 2, .height = 1, .bitCount = 4, .clrUsed = 3,
                               .colors = {0x000000, 0x0000FF, 0xFFFFFF}, .pixels = bmptest::PackRows(4, {{1, 0}})}));
    b.SetWidth(3);
    EXPECT_EQ(b.PixelKind(), duvo::pk4Bit);
    EXPECT_EQ(ReadAll(b), (Grid{{0x0000FF, 0x000000, 0xFFFFFF}}));
}

TEST(Bitmap, TooLargeASizeFailsAndKeepsThePicture) {
    TBitmap b;
    Paint(b);
    const Grid before = ReadAll(b);
    EXPECT_THROW(b.SetWidth(1 << 30), duvo::EOutOfMemory);
    EXPECT_EQ(ReadAll(b), before);
}

// ---- copy-on-write ----------------------------------------------------------------

TEST(Bitmap, CopyingSharesTheStore) {
    TBitmap a;
    Paint(a);
    TBitmap b;
    b.CopyFrom(&a);
    EXPECT_TRUE(b.SharesStoreWith(a));
    EXPECT_EQ(a.Image()->RefCount(), 2);
    EXPECT_EQ(a.Raster(), b.Raster());  // one reference, not a pixel copy
    EXPECT_EQ(ReadAll(a), ReadAll(b));
}

TEST(Bitmap, WritingIntoOneOfTwoSharingBitmapsLeavesTheOther) {
    for (bool writeCopy : {true, false}) {
        SCOPED_TRACE(writeCopy ? "write into the copy" : "write into the original");
        TBitmap a;
        Paint(a);
        TBitmap b;
        b.CopyFrom(&a);
        const Grid before = ReadAll(a);
        TBitmap& written = writeCopy ? b : a;
        TBitmap& other = writeCopy ? a : b;
        written.Canvas().WritePixel(1, 1, 0x0A0B0C);
        EXPECT_EQ(written.Canvas().ReadPixel(1, 1), 0x0A0B0C);
        EXPECT_EQ(ReadAll(other), before);
        EXPECT_FALSE(a.SharesStoreWith(b));
        EXPECT_EQ(a.Image()->RefCount(), 1);
        EXPECT_EQ(b.Image()->RefCount(), 1);
    }
}

TEST(Bitmap, ResizingOneOfTwoSharingBitmapsLeavesTheOther) {
    TBitmap a;
    Paint(a);
    TBitmap b;
    b.CopyFrom(&a);
    b.SetWidth(10);
    EXPECT_EQ(a.Width(), 3);
    EXPECT_EQ(b.Width(), 10);
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), a.Canvas().ReadPixel(1, 0));
}

TEST(Bitmap, SharedStoreLivesAsLongAsAnyBitmap) {
    auto a = std::make_unique<TBitmap>();
    Paint(*a);
    const Grid before = ReadAll(*a);
    TBitmap b;
    b.CopyFrom(a.get());
    a.reset();
    EXPECT_EQ(b.Image()->RefCount(), 1);
    EXPECT_EQ(ReadAll(b), before);
}

TEST(Bitmap, PrepareChangeUnsharesWithTheSamePixels) {
    TBitmap a;
    Paint(a);
    TBitmap b;
    b.CopyFrom(&a);
    b.PrepareChange();
    EXPECT_FALSE(b.SharesStoreWith(a));
    EXPECT_NE(a.Raster(), b.Raster());
    EXPECT_EQ(ReadAll(a), ReadAll(b));
    const auto* store = b.Image();
    b.PrepareChange();  // not shared: nothing to do
    EXPECT_EQ(b.Image(), store);
}

TEST(Bitmap, CopyFromNothingEmpties) {
    TBitmap b;
    Paint(b);
    int changes = 0;
    b.SetOnChange([&](duvo::TPersistent*) { ++changes; });
    b.CopyFrom(nullptr);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(changes, 1);
}

TEST(Bitmap, CopyBetweenUnrelatedClassesFails) {
    TBitmap b;
    duvo::TMetafile m;
    try {
        b.CopyFrom(&m);
        ADD_FAILURE();
    } catch (const duvo::EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TMetafile to a TBitmap");
    }
    try {
        m.CopyFrom(&b);
        ADD_FAILURE();
    } catch (const duvo::EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TBitmap to a TMetafile");
    }
}

// ---- pixel kinds, storage and rows ---------------------------------------------------

TEST(Bitmap, PixelKindTable) {
    struct Case {
        duvo::TPixelKind kind;
        int bitCount;
        bool paletteFromTable;
    };
    const Case cases[] = {
        {duvo::pk1Bit, 1, false},  {duvo::pk4Bit, 4, true},   {duvo::pk8Bit, 8, true},   {duvo::pk15Bit, 16, false},
        {duvo::pk16Bit, 16, false}, {duvo::pk24Bit, 24, false}, {duvo::pk32Bit, 32, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitCount);
        TBitmap b;
        Size(b, 3, 2);
        b.Canvas().WritePixel(0, 0, 0x000000);
        b.SetPixelKind(c.kind);
        EXPECT_EQ(b.PixelKind(), c.kind);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
        EXPECT_EQ(b.Raster()->BitCount(), c.bitCount);
        EXPECT_EQ(b.PaletteModified(), c.paletteFromTable);
        // Black and white exist in every kind's colors.
        EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x000000);
        EXPECT_EQ(b.Canvas().ReadPixel(2, 1), 0xFFFFFF);
        // And back to the screen's format.
        b.SetPixelKind(duvo::pkDevice);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDevice);
        EXPECT_EQ(b.Raster()->BitCount(), 24);
        EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x000000);
        EXPECT_EQ(b.Canvas().ReadPixel(2, 1), 0xFFFFFF);
    }
}

TEST(Bitmap, CustomPixelKindIsRefused) {
    TBitmap b;
    Size(b, 1, 1);
    try {
        b.SetPixelKind(duvo::pkCustom);
        ADD_FAILURE();
    } catch (const duvo::EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Invalid pixel format");
    }
}

TEST(Bitmap, PixelKindChosenBeforeTheSizeKeepsItsPalette) {
    TBitmap b;
    b.SetPixelKind(duvo::pk8Bit);
    EXPECT_EQ(b.PixelKind(), duvo::pk8Bit);
    Size(b, 4, 2);
    ASSERT_NE(b.GetPalette(), nullptr);
    EXPECT_EQ(b.GetPalette()->entries.size(), 256u);
    EXPECT_EQ(b.Raster()->ColorCount(), 256);
    EXPECT_EQ(b.Canvas().ReadPixel(3, 1), 0xFFFFFF);
    b.Canvas().WritePixel(0, 0, 0x0000FF);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x0000FF);
}

TEST(Bitmap, PaletteSetterChangesTheColorTable) {
    TBitmap b;
    b.SetPixelKind(duvo::pk8Bit);
    Size(b, 2, 1);
    auto palette = std::make_unique<duvo::platform::Palette>();
    palette->entries = {{255, 0, 0, 0}, {0, 0, 255, 0}};
    int changes = 0;
    b.SetOnChange([&](duvo::TPersistent*) { ++changes; });
    b.SetPalette(std::move(palette));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(b.PaletteModified());
    ASSERT_NE(b.GetPalette(), nullptr);
    ASSERT_EQ(b.GetPalette()->entries.size(), 2u);
    EXPECT_EQ(b.Raster()->ColorCount(), 2);
    b.RowAddress(0)[0] = 1;
    b.RowAddress(0)[1] = 0;
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0xFF0000);
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x0000FF);
}

TEST(Bitmap, RowZeroIsTheTopRow) {
    TBitmap b;
    Size(b, 2, 3);
    b.Canvas().WritePixel(1, 0, 0x112233);
    const std::uint8_t* row = b.RowAddress(0);
    EXPECT_EQ(row[3], 0x11);  // blue, green, red
    EXPECT_EQ(row[4], 0x22);
    EXPECT_EQ(row[5], 0x33);
    // Row access turns a screen bitmap into an addressable one.
    EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
    EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
    b.RowAddress(2)[0] = 0x44;
    EXPECT_EQ(b.Canvas().ReadPixel(0, 2), 0x44FFFF);
}

TEST(Bitmap, RowsOutsideTheBitmapFail) {
    TBitmap b;
    Size(b, 2, 3);
    const TBitmap& constant = b;
    for (int row : {-1, 3, INT_MAX}) {
        SCOPED_TRACE(row);
        try {
            b.RowAddress(row);
            ADD_FAILURE();
        } catch (const duvo::EInvalidGraphicOperation& e) {
            EXPECT_STREQ(e.what(), "Scan line index out of range");
        }
        EXPECT_THROW(constant.RowAddress(row), duvo::EInvalidGraphicOperation);
    }
    TBitmap empty;
    EXPECT_THROW(empty.RowAddress(0), duvo::EInvalidGraphicOperation);
}

TEST(Bitmap, StorageModeOfAnEmptyBitmapOnlyChangesTheHeader) {
    TBitmap b;
    b.SetStorageMode(duvo::TStorageMode::smDIB);
    EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
    EXPECT_TRUE(b.IsEmpty());
    Size(b, 2, 2);
    EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
}

TEST(Bitmap, DrawToAnotherBitmapCopiesThePixels) {
    TBitmap src;
    Paint(src);
    TBitmap dst;
    Size(dst, 4, 3);
    src.DrawTo(dst.Canvas(), {1, 1, 4, 3});
    const Grid s = ReadAll(src);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(dst.Canvas().ReadPixel(x, y), x >= 1 && y >= 1 ? s[y - 1][x - 1] : 0xFFFFFF);
}

TEST(Bitmap, CanvasIsMadeOnceAndBelongsToTheBitmap) {
    TBitmap b;
    duvo::TCanvas& first = b.Canvas();
    EXPECT_EQ(&first, &b.Canvas());
    EXPECT_EQ(first.Bitmap(), &b);
}

}  // namespace
