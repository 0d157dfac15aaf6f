// The image control paints its picture unscaled from the top-left, clipped,
// converting once per change and wrapping 24-bit rasters without a copy.
#include <QApplication>
#include <QPainter>
#include <QPixmap>

#include "graphics/bmp.h"
#include "gui_fixture.h"
#include "widgets/ImageControl.h"

namespace duvo::test {
namespace {

TColor Pattern(int x, int y) { return ((x * 37) & 0xFF) | (((y * 53) & 0xFF) << 8) | ((((x + y) * 11) & 0xFF) << 16); }

QRgb ToRgb(TColor c) { return qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// What the control paints, on a known background.
QImage Painted(TImageControl& control) {
    QPixmap pixmap(control.size());
    pixmap.fill(QColor(1, 2, 3));
    control.render(&pixmap, QPoint(), QRegion(), QWidget::DrawChildren);
    return pixmap.toImage().convertToFormat(QImage::Format_RGB32);
}

struct KindRow {
    const char* name;
    TPixelKind kind;
    bool wraps;
};

class PaintKindTest : public ::testing::TestWithParam<KindRow> {};

TEST_P(PaintKindTest, PaintedPixelsAreThePicturesPixels) {
    TImageControl control;
    control.SetBounds(0, 0, 40, 30);
    TBitmap bitmap;
    MakeBitmap(bitmap, 23, 17, Pattern, GetParam().kind);
    control.Picture().SetGraphic(&bitmap);
    const QImage image = Painted(control);
    TCanvas& canvas = control.Surface();
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const QRgb expected = (x < 23 && y < 17) ? ToRgb(canvas.ReadPixel(x, y)) : qRgb(1, 2, 3);
            ASSERT_EQ(image.pixel(x, y) & 0xFFFFFF, expected & 0xFFFFFF) << x << "," << y;
        }
    EXPECT_EQ(control.PaintSharesBits(), GetParam().wraps);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PaintKindTest,
                         ::testing::Values(KindRow{"bit1", pk1Bit, true}, KindRow{"bit4", pk4Bit, false},
                                           KindRow{"bit8", pk8Bit, true}, KindRow{"bit15", pk15Bit, true},
                                           KindRow{"bit16", pk16Bit, true}, KindRow{"bit24", pk24Bit, true},
                                           KindRow{"bit32", pk32Bit, false}, KindRow{"device", pkDevice, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageControl, TopDownRasterPaintsTheSame) {
    // A BMP with a negative height stores its rows top-down.
    const std::int32_t w = 3, h = 2;
    std::string bmp = "BM";
    auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp.push_back(static_cast<char>(v >> (8 * i)));
    };
    auto put16 = [&](std::uint16_t v) {
        bmp.push_back(static_cast<char>(v));
        bmp.push_back(static_cast<char>(v >> 8));
    };
    put32(14 + 40 + 24);
    put32(0);
    put32(54);
    put32(40);
    put32(static_cast<std::uint32_t>(w));
    put32(static_cast<std::uint32_t>(-h));
    put16(1);
    put16(24);
    for (int i = 0; i < 6; ++i) put32(0);
    const unsigned char rows[2][12] = {{0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0},
                                       {255, 255, 255, 0, 0, 0, 9, 9, 9, 0, 0, 0}};
    for (const auto& row : rows) bmp.append(reinterpret_cast<const char*>(row), 12);
    TBitmap bitmap;
    TBytesStream stream(bmp.data(), bmp.size());
    bitmap.ReadFromStream(stream);
    ASSERT_NE(bitmap.Raster(), nullptr);
    ASSERT_FALSE(bitmap.Raster()->BottomUp());
    TImageControl control;
    control.SetBounds(0, 0, 3, 2);
    control.Picture().SetGraphic(&bitmap);
    const QImage image = Painted(control);
    EXPECT_EQ(image.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(1, 0), qRgb(0, 255, 0));
    EXPECT_EQ(image.pixel(2, 0), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(0, 1), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(2, 1), qRgb(9, 9, 9));
    EXPECT_TRUE(control.PaintSharesBits());
}

TEST(ImageControl, RowsBorrowedFromAFileAtAnyAddressPaintTheSame) {
    TBitmap source;
    MakeBitmap(source, 7, 5, Pattern, pk24Bit);
    TMemoryStream file;
    source.WriteToStream(file);
    // The rows start 54 bytes into the file: not a multiple of 4 from the
    // start of its bytes, and at 1 byte further not even of 2.
    for (std::size_t shift : {0, 1}) {
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(shift, 0);
        bytes->insert(bytes->end(), file.Bytes().begin(), file.Bytes().end());
        TBitmap borrowed;
        borrowed.Adopt(DecodeBmp(ByteSpan(*bytes).subspan(shift), kDefaultLimits, bytes));
        ASSERT_TRUE(borrowed.Raster()->ReadOnly());
        TImageControl control;
        control.SetBounds(0, 0, 7, 5);
        control.Picture().SetGraphic(&borrowed);
        const QImage image = Painted(control);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) ASSERT_EQ(image.pixel(x, y) & 0xFFFFFF, ToRgb(Pattern(x, y)) & 0xFFFFFF);
    }
}

TEST(ImageControl, PaintsOnlyWhatIsExposedAndClipsToTheControl) {
    TImageControl control;
    control.SetBounds(0, 0, 10, 10);
    TBitmap bitmap;
    MakeBitmap(bitmap, 50, 50, Pattern);
    control.Picture().SetGraphic(&bitmap);
    QPixmap pixmap(10, 10);
    pixmap.fill(QColor(1, 2, 3));
    control.render(&pixmap, QPoint(4, 5), QRegion(4, 5, 3, 2));
    const QImage image = pixmap.toImage();
    EXPECT_EQ(image.pixel(4, 5), ToRgb(Pattern(4, 5)));
    EXPECT_EQ(image.pixel(6, 6), ToRgb(Pattern(6, 6)));
    EXPECT_EQ(image.pixel(3, 5), qRgb(1, 2, 3));
    EXPECT_EQ(image.pixel(4, 7), qRgb(1, 2, 3));
    EXPECT_EQ(image.pixel(9, 9), qRgb(1, 2, 3));
}

TEST(ImageControl, ConvertsOncePerChangeAndNotPerPaint) {
    TImageControl control;
    control.SetBounds(0, 0, 20, 20);
    TBitmap bitmap;
    MakeBitmap(bitmap, 20, 20, Pattern, pk8Bit);
    control.Picture().SetGraphic(&bitmap);
    Painted(control);
    Painted(control);
    EXPECT_EQ(control.ConversionCount(), 1);
    control.Surface().WritePixel(3, 3, 0x123456);
    const QImage image = Painted(control);
    Painted(control);
    EXPECT_EQ(control.ConversionCount(), 2);
    EXPECT_EQ(image.pixel(3, 3), ToRgb(control.Surface().ReadPixel(3, 3)));
}

TEST(ImageControl, StoreExchangedWithoutNotificationIsNotPaintedFromFreedMemory) {
    TImageControl control;
    control.SetBounds(0, 0, 8, 8);
    TBitmap other;
    MakeBitmap(other, 8, 8, Pattern);
    control.Picture().SetGraphic(&other);
    Painted(control);
    // The control's bitmap unshares quietly, then the other holder lets go of
    // the store the painting wrapped.
    auto* own = dynamic_cast<TBitmap*>(control.Picture().Graphic());
    ASSERT_NE(own, nullptr);
    own->PrepareChange();
    MakeBitmap(other, 2, 2, [](int, int) { return 0; });
    const QImage image = Painted(control);
    EXPECT_EQ(control.ConversionCount(), 2);
    EXPECT_EQ(image.pixel(5, 6), ToRgb(Pattern(5, 6)));
}

TEST(ImageControl, EmptyPictureDrawsNothingAndSizeFollowsTheControl) {
    TImageControl control;
    control.SetBounds(3, 4, 12, 9);
    EXPECT_EQ(control.Image().Width(), 12);
    EXPECT_EQ(control.Image().Height(), 9);
    const QImage image = Painted(control);
    EXPECT_EQ(image.pixel(5, 5), qRgb(1, 2, 3));
    control.SetWidth(30);
    control.SetHeight(31);
    EXPECT_EQ(control.size(), QSize(30, 31));
    EXPECT_EQ(control.Image().Width(), 30);
    // The surface of an empty picture is a white bitmap of the control's size.
    EXPECT_EQ(control.Surface().ReadPixel(29, 30), 0xFFFFFF);
    EXPECT_EQ(control.Picture().Width(), 30);
}

}  // namespace
}  // namespace duvo::test
