// One file opened into both panes keeps one pixel store.
#include "app/Forms.h"
#include "app/Main.h"
#include "app/SharedPixels.h"
#include "gui_fixture.h"
#include "widgets/ImageControl.h"

namespace duvo::test {
namespace {

TColor Pattern(int x, int y) { return (x * 0x030507 + y * 0x0B0D11) & 0xFFFFFF; }

struct PixelsRow {
    const char* what;
    std::function<void(TBitmap&)> change;  // applied to the second of two equal bitmaps
    bool same;
};

TEST(SamePixels, TellsEqualBitmapsFromDifferentOnes) {
    const PixelsRow rows[] = {
        {"equal", [](TBitmap&) {}, true},
        {"one pixel", [](TBitmap& b) { b.Canvas().WritePixel(5, 6, 0x010101); }, false},
        {"last pixel", [](TBitmap& b) { b.Canvas().WritePixel(12, 8, 0); }, false},
        {"wider", [](TBitmap& b) { b.SetWidth(14); }, false},
        {"lower", [](TBitmap& b) { b.SetHeight(8); }, false},
        {"other depth", [](TBitmap& b) { b.SetPixelKind(pk32Bit); }, false},
    };
    for (const PixelsRow& row : rows) {
        SCOPED_TRACE(row.what);
        TBitmap a, b;
        MakeBitmap(a, 13, 9, Pattern);
        MakeBitmap(b, 13, 9, Pattern);
        row.change(b);
        EXPECT_EQ(SamePixels(a, b), row.same);
        EXPECT_EQ(SamePixels(b, a), row.same);
    }
    TBitmap empty, full;
    MakeBitmap(full, 2, 2, Pattern);
    EXPECT_FALSE(SamePixels(empty, full));
    EXPECT_FALSE(SamePixels(empty, empty));
}

TEST(SamePixels, IndexedBitmapsCompareTheirColorTables) {
    TBitmap a, b;
    MakeBitmap(
        a, 6, 4, [](int x, int) { return x < 3 ? 0 : 0xFFFFFF; }, pk1Bit);
    MakeBitmap(
        b, 6, 4, [](int x, int) { return x < 3 ? 0 : 0xFFFFFF; }, pk1Bit);
    EXPECT_TRUE(SamePixels(a, b));
    MakeBitmap(
        b, 6, 4, [](int x, int) { return x < 2 ? 0 : 0xFFFFFF; }, pk1Bit);
    EXPECT_FALSE(SamePixels(a, b));
}

TEST(ShareIdenticalStore, AdoptsTheStoreOfAnEqualPictureOnly) {
    TPicture scratch, left, right;
    TBitmap b1, b2, b3;
    MakeBitmap(b1, 8, 8, Pattern);
    MakeBitmap(b2, 8, 8, [](int, int) { return 0; });
    MakeBitmap(b3, 8, 8, Pattern);
    left.SetGraphic(&b2);
    right.SetGraphic(&b3);
    scratch.SetGraphic(&b1);
    EXPECT_TRUE(ShareIdenticalStore(scratch, {&left, &right}));
    auto* s = dynamic_cast<TBitmap*>(scratch.Graphic());
    EXPECT_TRUE(s->SharesStoreWith(*dynamic_cast<TBitmap*>(right.Graphic())));
    EXPECT_FALSE(s->SharesStoreWith(*dynamic_cast<TBitmap*>(left.Graphic())));
    // Writing into one afterwards leaves the other as it was.
    s->Canvas().WritePixel(0, 0, 0x123456);
    EXPECT_EQ(dynamic_cast<TBitmap*>(right.Graphic())->Canvas().ReadPixel(0, 0), Pattern(0, 0));

    TPicture other;
    TBitmap b4;
    MakeBitmap(b4, 8, 8, [](int, int) { return 0x777777; });
    other.SetGraphic(&b4);
    EXPECT_FALSE(ShareIdenticalStore(other, {&left, &right, nullptr}));
}

class OneStoreTest : public FormsTest {};

TEST_F(OneStoreTest, SameFileIntoBothPanesSharesOneStore) {
    const std::string file = Path("same.bmp");
    WriteBmp(file, 300, 200, Pattern);
    OpenInto(file, 0);
    OpenInto(file, 1);
    TMainForm& m = *Forms.MainForm;
    auto* left = dynamic_cast<TBitmap*>(m.Image1->Picture().Graphic());
    auto* right = dynamic_cast<TBitmap*>(m.Image2->Picture().Graphic());
    auto* temp = dynamic_cast<TBitmap*>(m.ImageTemp->Picture().Graphic());
    ASSERT_TRUE(left && right && temp);
    EXPECT_TRUE(left->SharesStoreWith(*right));
    EXPECT_TRUE(temp->SharesStoreWith(*right));
    EXPECT_EQ(left->Image()->RefCount(), 3);
    // A different file does not share.
    const std::string other = Path("other.bmp");
    WriteBmp(other, 300, 200, [](int x, int y) { return Pattern(y, x); });
    OpenInto(other, 1);
    right = dynamic_cast<TBitmap*>(m.Image2->Picture().Graphic());
    EXPECT_FALSE(left->SharesStoreWith(*right));
}

}  // namespace
}  // namespace duvo::test
