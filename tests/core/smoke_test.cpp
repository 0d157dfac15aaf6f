#include <gtest/gtest.h>

#include "graphics/bitmap.h"

TEST(Smoke, BitmapSizes) {
    duvo::TBitmap b;
    b.SetWidth(3);
    b.SetHeight(2);
    EXPECT_EQ(b.Width(), 3);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0xFFFFFF);
}
