// The bitmap: pixel reads and writes, sizing, pixel kinds, row access and the
// copy-on-write store.
#include "graphics/bitmap.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "bmp_builder.h"
#include "graphics/graphics.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

using namespace bmptest;
using duvo::TBitmap;
using duvo::TColor;

// A 3 x 2 bitmap whose every pixel differs.
const Grid kPainted = {{0x000001, 0x0000FF, 0x00FF00}, {0xFF0000, 0x123456, 0x000000}};
TBitmap& Paint(TBitmap& b) {
    Sized(b, 3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) b.Canvas().WritePixel(x, y, kPainted[y][x]);
    return b;
}

// `g` grown to width x height with white, or cut down to it.
Grid Resized(Grid g, int width, int height) {
    g.resize(static_cast<std::size_t>(height), std::vector<TColor>(static_cast<std::size_t>(width), 0xFFFFFF));
    for (auto& row : g) row.resize(static_cast<std::size_t>(width), 0xFFFFFF);
    return g;
}

TEST(Bitmap, NewBitmapIsEmptyAndSizingMakesItAWhiteScreenBitmap) {
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
    // The canvas is made once and belongs to the bitmap.
    EXPECT_EQ(&b.Canvas(), &b.Canvas());
    EXPECT_EQ(b.Canvas().Bitmap(), &b);

    b.SetWidth(3);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 3);
    b.SetHeight(2);
    EXPECT_FALSE(b.IsEmpty());
    EXPECT_EQ(b.PixelKind(), duvo::pkDevice);
    EXPECT_EQ(b.Raster()->BitCount(), 24);
    EXPECT_EQ(ReadAll(b), Resized({}, 3, 2));
}

TEST(Bitmap, EveryColorReadsBackExactly) {
    TBitmap b;
    Sized(b, 4, 1);
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
    int changes;
    CountChanges(Paint(b), changes);
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {3, 0}, {0, 2}, {3, 2}, {INT_MIN, 0}, {0, INT_MAX}}) {
        SCOPED_TRACE(::testing::Message() << x << "," << y);
        EXPECT_EQ(b.Canvas().ReadPixel(x, y), static_cast<TColor>(0xFFFFFFFF));
        b.Canvas().WritePixel(x, y, 0x000000);
    }
    EXPECT_EQ(ReadAll(b), kPainted);
    EXPECT_EQ(changes, 0);
}

TEST(Bitmap, WritesNotifyAndReadsDoNot) {
    TBitmap b;
    int changes = 0;
    Sized(b, 2, 2).SetOnChange([&](duvo::TPersistent* sender) {
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

TEST(Bitmap, IndexedWritePicksTheNearestTableColor) {
    TBitmap b;
    Load(b, BuildBmp({.width = 2,
                      .bitCount = 8,
                      .clrUsed = 3,
                      .colors = {0x000000, 0x0000FF, 0xFFFFFF},
                      .pixels = PackRows(8, {{1, 2}})}));
    b.Canvas().WritePixel(1, 0, 0x0000F0);
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x0000FF);
    EXPECT_EQ(b.RowAddress(0)[1], 1);  // the index is stored
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
        {duvo::pk15Bit, 0x0000FF, 0x0000FF}, {duvo::pk15Bit, 0x101010, 0x101010},
        {duvo::pk15Bit, 0x000008, 0x000008},                                       // 5-bit 1 reads 8
        {duvo::pk15Bit, 0x07FF07, 0x00FF00},                                       // low bits are dropped on writing
        {duvo::pk16Bit, 0x000400, 0x000400},                                       // 6-bit green 1 reads 4
        {duvo::pk16Bit, 0xFFFFFF, 0xFFFFFF}, {duvo::pk16Bit, 0x008000, 0x008200},  // 6-bit 100000 reads 10000010
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.written);
        TBitmap b;
        Sized(b, 1, 1).SetPixelKind(c.kind);
        b.Canvas().WritePixel(0, 0, c.written);
        EXPECT_EQ(b.Canvas().ReadPixel(0, 0), c.read);
    }
}

TEST(Bitmap, FourthByteOf32BitPixelsIsIgnored) {
    TBitmap b;
    Sized(b, 2, 1).SetPixelKind(duvo::pk32Bit);
    b.Canvas().WritePixel(1, 0, 0x123456);
    std::uint8_t* row = b.RowAddress(0);
    EXPECT_EQ(row[4], 0x12);  // blue, green, red, unused
    EXPECT_EQ(row[6], 0x56);
    row[7] = 0xAB;
    EXPECT_EQ(b.Canvas().ReadPixel(1, 0), 0x123456);
}

TEST(Bitmap, ResizingKeepsTopLeftAndFillsWhite) {
    for (auto [w, h] : {std::pair{5, 4}, {2, 1}, {5, 1}}) {
        SCOPED_TRACE(::testing::Message() << w << " x " << h);
        TBitmap b;
        Paint(b).SetWidth(w);
        b.SetHeight(h);
        EXPECT_EQ(ReadAll(b), Resized(kPainted, w, h));
    }
}

TEST(Bitmap, ResizingALoadedPictureKeepsItsTopRows) {
    // Bottom-up rows: the top of the picture is the end of the data.
    for (std::int32_t height : {2, -2}) {
        SCOPED_TRACE(height);
        TBitmap b;
        const Bytes rows = height > 0 ? PackRows(24, {{3, 4}, {1, 2}}) : PackRows(24, {{1, 2}, {3, 4}});
        Load(b, BuildBmp({.width = 2, .height = height, .pixels = rows}));
        EXPECT_EQ(b.RowAddress(0)[2], 1);  // row 0 is the top row in either order
        Sized(b, 3, 3);
        EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
        EXPECT_EQ(ReadAll(b), Resized({{1, 2}, {3, 4}}, 3, 3));
        b.SetHeight(1);
        EXPECT_EQ(ReadAll(b), Resized({{1, 2}}, 3, 1));
    }
}

TEST(Bitmap, ResizingAnIndexedPictureKeepsItsColors) {
    TBitmap b;
    Load(b, BuildBmp({.width = 2,
                      .bitCount = 4,
                      .clrUsed = 3,
                      .colors = {0x000000, 0x0000FF, 0xFFFFFF},
                      .pixels = PackRows(4, {{1, 0}})}));
    b.SetWidth(3);
    EXPECT_EQ(b.PixelKind(), duvo::pk4Bit);
    EXPECT_EQ(ReadAll(b), (Grid{{0x0000FF, 0x000000, 0xFFFFFF}}));
}

TEST(Bitmap, TooLargeASizeFailsAndKeepsThePicture) {
    TBitmap b;
    EXPECT_THROW(Paint(b).SetWidth(1 << 30), duvo::EPictureTooLarge);
    EXPECT_EQ(ReadAll(b), kPainted);
}

// ---- copy-on-write ----------------------------------------------------------------

TEST(Bitmap, CopiesShareTheStoreUntilOneChanges) {
    Grid written = kPainted;
    written[1][1] = 0x0A0B0C;
    const struct {
        const char* name;
        bool changeCopy;
        std::function<void(TBitmap&)> change;
        Grid after;
    } cases[] = {
        {"write into the copy", true, [](TBitmap& b) { b.Canvas().WritePixel(1, 1, 0x0A0B0C); }, written},
        {"write into the original", false, [](TBitmap& b) { b.Canvas().WritePixel(1, 1, 0x0A0B0C); }, written},
        {"resize the copy", true, [](TBitmap& b) { b.SetWidth(10); }, Resized(kPainted, 10, 2)},
        {"prepare a change of the copy: same pixels", true, [](TBitmap& b) { b.PrepareChange(); }, kPainted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap a, b;
        b.CopyFrom(&Paint(a));
        EXPECT_TRUE(b.SharesStoreWith(a));
        EXPECT_EQ(a.Image()->RefCount(), 2);
        EXPECT_EQ(a.Raster(), b.Raster());  // one reference, not a pixel copy
        c.change(c.changeCopy ? b : a);
        EXPECT_EQ(ReadAll(c.changeCopy ? b : a), c.after);
        EXPECT_EQ(ReadAll(c.changeCopy ? a : b), kPainted);
        EXPECT_FALSE(a.SharesStoreWith(b));
        EXPECT_NE(a.Raster(), b.Raster());
        EXPECT_EQ(a.Image()->RefCount(), 1);
        EXPECT_EQ(b.Image()->RefCount(), 1);
        const auto* store = b.Image();
        b.PrepareChange();  // not shared: nothing to do
        EXPECT_EQ(b.Image(), store);
    }
}

TEST(Bitmap, SharedStoreLivesAsLongAsAnyBitmap) {
    auto a = std::make_unique<TBitmap>();
    TBitmap b;
    b.CopyFrom(&Paint(*a));
    a.reset();
    EXPECT_EQ(b.Image()->RefCount(), 1);
    EXPECT_EQ(ReadAll(b), kPainted);
}

TEST(Bitmap, CopyFromNothingEmptiesAndUnrelatedClassesFail) {
    TBitmap b;
    int changes;
    CountChanges(Paint(b), changes);
    b.CopyFrom(nullptr);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(changes, 1);
    duvo::TMetafile m;
    EXPECT_EQ(Raised<duvo::EConvertError>([&] { b.CopyFrom(&m); }), "Cannot assign a TMetafile to a TBitmap");
    EXPECT_EQ(Raised<duvo::EConvertError>([&] { m.CopyFrom(&b); }), "Cannot assign a TBitmap to a TMetafile");
}

// ---- pixel kinds, storage and rows ---------------------------------------------------

TEST(Bitmap, PixelKindTable) {
    struct Case {
        duvo::TPixelKind kind;
        int bitCount;
        bool paletteFromTable;
    };
    const Case cases[] = {
        {duvo::pk1Bit, 1, false},   {duvo::pk4Bit, 4, true},    {duvo::pk8Bit, 8, true},    {duvo::pk15Bit, 16, false},
        {duvo::pk16Bit, 16, false}, {duvo::pk24Bit, 24, false}, {duvo::pk32Bit, 32, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitCount);
        TBitmap b;
        Sized(b, 3, 2).Canvas().WritePixel(0, 0, 0x000000);
        b.SetPixelKind(c.kind);
        EXPECT_EQ(b.PixelKind(), c.kind);
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
        EXPECT_EQ(b.Raster()->BitCount(), c.bitCount);
        EXPECT_EQ(b.PaletteModified(), c.paletteFromTable);
        // Black and white exist in every kind's colors, and survive the way back to the screen's format.
        for (duvo::TPixelKind back : {c.kind, duvo::pkDevice}) {
            b.SetPixelKind(back);
            EXPECT_EQ(ReadAll(b)[0][0], 0x000000);
            EXPECT_EQ(ReadAll(b)[1][2], 0xFFFFFF);
        }
        EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDevice);
        EXPECT_EQ(b.Raster()->BitCount(), 24);
    }
    TBitmap b;
    Sized(b, 1, 1);
    EXPECT_EQ(Raised<duvo::EInvalidGraphic>([&] { b.SetPixelKind(duvo::pkCustom); }), "Invalid pixel format");
}

TEST(Bitmap, PixelKindChosenBeforeTheSizeKeepsItsPaletteUntilOneIsSet) {
    TBitmap b;
    b.SetPixelKind(duvo::pk8Bit);
    EXPECT_EQ(b.PixelKind(), duvo::pk8Bit);
    Sized(b, 4, 2);
    ASSERT_NE(b.GetPalette(), nullptr);
    EXPECT_EQ(b.GetPalette()->entries.size(), 256u);
    EXPECT_EQ(b.Raster()->ColorCount(), 256);
    EXPECT_EQ(b.Canvas().ReadPixel(3, 1), 0xFFFFFF);
    b.Canvas().WritePixel(0, 0, 0x0000FF);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0x0000FF);

    auto palette = std::make_unique<duvo::platform::Palette>();
    palette->entries = {{255, 0, 0, 0}, {0, 0, 255, 0}};
    int changes;
    CountChanges(Sized(b, 2, 1), changes);
    b.SetPalette(std::move(palette));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(b.PaletteModified());
    ASSERT_NE(b.GetPalette(), nullptr);
    ASSERT_EQ(b.GetPalette()->entries.size(), 2u);
    EXPECT_EQ(b.Raster()->ColorCount(), 2);
    b.RowAddress(0)[0] = 1;
    b.RowAddress(0)[1] = 0;
    EXPECT_EQ(ReadAll(b), (Grid{{0xFF0000, 0x0000FF}}));
}

TEST(Bitmap, RowZeroIsTheTopRow) {
    TBitmap b;
    Sized(b, 2, 3).Canvas().WritePixel(1, 0, 0x112233);
    const std::uint8_t* row = b.RowAddress(0);
    EXPECT_EQ(Bytes(row + 3, row + 6), (Bytes{0x11, 0x22, 0x33}));  // blue, green, red
    // Row access turns a screen bitmap into an addressable one.
    EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
    EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
    b.RowAddress(2)[0] = 0x44;
    EXPECT_EQ(b.Canvas().ReadPixel(0, 2), 0x44FFFF);
}

TEST(Bitmap, RowsOutsideTheBitmapFail) {
    TBitmap b, empty;
    const TBitmap& constant = Sized(b, 2, 3);
    for (int row : {-1, 3, INT_MAX}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(Raised<duvo::EInvalidGraphicOperation>([&] { b.RowAddress(row); }), "Scan line index out of range");
        EXPECT_THROW(constant.RowAddress(row), duvo::EInvalidGraphicOperation);
    }
    EXPECT_THROW(empty.RowAddress(0), duvo::EInvalidGraphicOperation);
}

TEST(Bitmap, StorageModeOfAnEmptyBitmapOnlyChangesTheHeader) {
    TBitmap b;
    b.SetStorageMode(duvo::TStorageMode::smDIB);
    EXPECT_EQ(b.StorageMode(), duvo::TStorageMode::smDIB);
    EXPECT_TRUE(b.IsEmpty());
    Sized(b, 2, 2);
    EXPECT_EQ(b.PixelKind(), duvo::pk24Bit);
}

TEST(Bitmap, DrawToAnotherBitmapCopiesThePixels) {
    TBitmap src, dst;
    Paint(src).DrawTo(Sized(dst, 4, 3).Canvas(), {1, 1, 4, 3});
    EXPECT_EQ(ReadAll(dst), (Grid{{0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF},
                                  {0xFFFFFF, 0x000001, 0x0000FF, 0x00FF00},
                                  {0xFFFFFF, 0xFF0000, 0x123456, 0x000000}}));
}

}  // namespace
