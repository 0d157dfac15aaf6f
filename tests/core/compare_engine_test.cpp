// The comparison engine against its per-pixel reference and against the
// documented cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bmp_builder.h"
#include "compare/compare.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace duvo {
namespace {

// ---- fixtures ------------------------------------------------------------------

// Pixel layouts a picture can have; Mask16 and Mask32 are bit-field layouts
// that no pixel kind names (they load from BMP files only).
enum class Kind { Bit1, Bit4, Bit8, Bit8Palette, Bit15, Bit16, Bit24, Bit32, Device, Mask16, Mask32 };

const char* KindName(Kind k) {
    static const char* names[] = {"1", "4", "8", "8pal", "15", "16", "24", "32", "device", "mask16", "mask32"};
    return names[static_cast<int>(k)];
}

// A bit-field BMP of random pixels: masks with holes, narrow and wide
// channels, so that the engine's widening must match the surface's.
void LoadBitFields(TBitmap& bmp, int bitCount, int w, int h, std::mt19937& rng) {
    bmptest::BmpRecipe r;
    r.width = w;
    r.height = h;
    r.bitCount = static_cast<std::uint16_t>(bitCount);
    r.compression = 3;
    r.masks = bitCount == 16 ? std::vector<std::uint32_t>{0xF000, 0x0F80, 0x003F}              // 4, 5, 6 bits
                             : std::vector<std::uint32_t>{0x3FF00000, 0x000FFC00, 0x00000B7};  // 10, 10, 8 with holes
    r.pixels.resize((static_cast<std::size_t>(w) * bitCount + 31) / 32 * 4 * static_cast<std::size_t>(h));
    for (auto& byte : r.pixels) byte = static_cast<std::uint8_t>(rng());
    r.sizeImage = static_cast<std::uint32_t>(r.pixels.size());
    const bmptest::Bytes b = bmptest::BuildBmp(r);
    TBytesStream stream(b.data(), b.size());
    bmp.ReadFromStream(stream);
}

// A w x h picture of the given layout with random pixels.
void MakePicture(TBitmap& bmp, Kind kind, int w, int h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    if (kind == Kind::Mask16 || kind == Kind::Mask32) {
        LoadBitFields(bmp, kind == Kind::Mask16 ? 16 : 32, w, h, rng);
        ASSERT_EQ(bmp.PixelKind(), pkCustom);
        return;
    }
    static const TPixelKind kinds[] = {pk1Bit, pk4Bit, pk8Bit, pk8Bit, pk15Bit, pk16Bit, pk24Bit, pk32Bit, pkDevice};
    bmp.SetPixelKind(kinds[static_cast<int>(kind)]);
    if (kind == Kind::Bit8Palette) {
        auto pal = std::make_unique<platform::Palette>();
        for (int i = 0; i < 200; ++i)
            pal->entries.push_back({static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                    static_cast<std::uint8_t>(rng()), 0});
        bmp.SetPalette(std::move(pal));
    }
    bmp.SetWidth(w);
    bmp.SetHeight(h);
    platform::Raster* r = bmp.GetHandle();
    ASSERT_NE(r, nullptr);
    for (int y = 0; y < h; ++y)
        for (std::size_t i = 0; i < r->Stride(); ++i) r->Row(y)[i] = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(bmp.PixelKind(), kinds[static_cast<int>(kind)]);
}

// Makes equal pixels frequent: copies pixels of the left picture into the
// right one where the layouts allow, so that bin 100 and the near bins fill.
void ShareSomePixels(TBitmap& left, TBitmap& right, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const int w = std::min(left.Width(), right.Width()), h = std::min(left.Height(), right.Height());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (rng() % 3 == 0) right.Canvas().WritePixel(x, y, left.Canvas().ReadPixel(x, y) ^ (rng() % 2));
}

void ExpectSamePictures(TBitmap& expected, TBitmap& actual) {
    ASSERT_EQ(actual.Width(), expected.Width());
    ASSERT_EQ(actual.Height(), expected.Height());
    for (int y = 0; y < expected.Height(); ++y)
        for (int x = 0; x < expected.Width(); ++x)
            ASSERT_EQ(actual.Canvas().ReadPixel(x, y), expected.Canvas().ReadPixel(x, y)) << x << "," << y;
}

CompareOptions Options(unsigned threads, int rowsPerBlock = 0) {
    CompareOptions options;
    options.threads = threads;
    options.rowsPerBlock = rowsPerBlock;
    return options;
}

TBitmap& Solid(TBitmap& bmp, int w, int h, TColor color) {
    bmp.SetPixelKind(pk24Bit);
    bmp.SetWidth(w);
    bmp.SetHeight(h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bmp.Canvas().WritePixel(x, y, color);
    return bmp;
}

// ---- the bin -------------------------------------------------------------------

// Every value, boundaries included (167772/167773 -> 0/1, 16777214 -> 99).
TEST(CompareBin, FastBinEqualsDivisionAndExtendedFormulaForEveryValue) {
    for (std::uint32_t v = 0; v <= kMaxSimilarity; ++v) {
        const int k = SimilarityBin(v);
        ASSERT_EQ(FastSimilarityBin(v), k) << v;
        ASSERT_EQ(static_cast<int>(std::trunc(static_cast<long double>(v) / 16777215.0L * 100.0L)), k) << v;
    }
}

// ---- documented cases ------------------------------------------------------------

struct PixelCase {
    const char* what;
    TColor left, right;
    TColor difference;
    int bin;
};

class ComparePixelCase : public ::testing::TestWithParam<PixelCase> {};

TEST_P(ComparePixelCase, DifferenceAndBin) {
    const PixelCase& c = GetParam();
    for (unsigned threads : {1u, 2u}) {
        TBitmap left, right, diff;
        SimilarityHistogram histogram;
        const CompareResult r = ComparePictures(Solid(left, 5, 3, c.left), Solid(right, 5, 3, c.right), diff, histogram,
                                                Options(threads, 1));
        EXPECT_EQ(r.counts[static_cast<std::size_t>(c.bin)], 15u) << c.what;
        EXPECT_EQ(histogram[static_cast<std::size_t>(c.bin)], 100.0L) << c.what;
        EXPECT_EQ(diff.PixelKind(), pk24Bit);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) ASSERT_EQ(diff.Canvas().ReadPixel(x, y), c.difference) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Documented, ComparePixelCase,
                         ::testing::Values(PixelCase{"identical", 0x123456, 0x123456, 0xFFFFFF, 100},
                                           PixelCase{"black against white", 0x000000, 0xFFFFFF, 0x000000, 0},
                                           PixelCase{"packed difference of one", 0x000100, 0x0000FF, 0xFFFFFE, 99},
                                           PixelCase{"pure red against black", 0x0000FF, 0x000000, 0xFFFF00, 99},
                                           PixelCase{"pure blue against black", 0xFF0000, 0x000000, 0x00FFFF, 0},
                                           PixelCase{"order does not matter", 0x000000, 0xFF0000, 0x00FFFF, 0}));

// ---- against the reference ---------------------------------------------------------

struct Size {
    int w, h;
};

void CheckAgainstReference(Kind leftKind, Kind rightKind, Size ls, Size rs, std::uint32_t seed) {
    SCOPED_TRACE(std::string(KindName(leftKind)) + " vs " + KindName(rightKind) + " " + std::to_string(ls.w) + "x" +
                 std::to_string(ls.h) + " / " + std::to_string(rs.w) + "x" + std::to_string(rs.h));
    TBitmap left, right, refDiff;
    MakePicture(left, leftKind, ls.w, ls.h, seed);
    MakePicture(right, rightKind, rs.w, rs.h, seed * 7 + 1);
    ShareSomePixels(left, right, seed);

    SimilarityHistogram refHistogram;
    int refSteps = 0;
    const CompareResult ref = CompareReference(left, right, refDiff, refHistogram, [&] { ++refSteps; });

    // threads, rows per block, scalar only
    for (const auto& [threads, rows, scalar] :
         {std::tuple{1u, 0, false}, {3u, 1, false}, {2u, 3, false}, {1u, 0, true}}) {
        TBitmap diff;
        SimilarityHistogram histogram;
        histogram.fill(-1.0L);
        int steps = 0;
        CompareOptions options = Options(threads, rows);
        options.scalarOnly = scalar;
        options.step = [&] { ++steps; };
        const CompareResult r = ComparePictures(left, right, diff, histogram, options);
        EXPECT_EQ(std::tie(r.width, r.height, r.pixelCount), std::tie(ref.width, ref.height, ref.pixelCount));
        EXPECT_EQ(r.counts, ref.counts) << "threads " << threads;
        for (int k = 0; k < kSimilarityBins; ++k) ASSERT_EQ(histogram[k], refHistogram[k]) << k;
        EXPECT_EQ(steps, refSteps);
        EXPECT_EQ(diff.PixelKind(), pk24Bit);
        ExpectSamePictures(refDiff, diff);
    }
}

TEST(CompareEngine, EveryPixelLayoutPairMatchesTheReference) {
    const Kind kinds[] = {Kind::Bit1,  Kind::Bit4,  Kind::Bit8,   Kind::Bit8Palette, Kind::Bit15, Kind::Bit16,
                          Kind::Bit24, Kind::Bit32, Kind::Device, Kind::Mask16,      Kind::Mask32};
    std::uint32_t seed = 1;
    for (Kind a : kinds)
        for (Kind b : kinds) CheckAgainstReference(a, b, {13, 9}, {11, 10}, seed++);
}

TEST(CompareEngine, OddSizesMatchTheReference) {
    const struct {
        Size left, right;
    } cases[] = {
        {{1, 1}, {1, 1}},                            // a single pixel: only the last-pixel path
        {{1, 17}, {3, 17}},                          // one column
        {{17, 1}, {17, 1}},                          // one row: no progress step
        {{2, 2}, {5, 1}},                            // different sizes, both dimensions cut
        {{5, 50}, {5, 50}},                          // 49 progress steps
        {{6, 10}, {7, 12}},                          // 9 progress steps
        {{33, 7}, {31, 9}},                          // widths that are no multiple of 4
        {{100, 50}, {80, 60}},                       // the documented 80 x 50 area
        {{257, 3}, {258, 3}},   {{31, 2}, {33, 2}},  // one short of and one past a 32-pixel vector
        {{513, 2}, {600, 3}},                        // one past a run of 512
        {{1030, 2}, {1024, 2}},                      // two full runs
    };
    const Kind kinds[] = {Kind::Bit1, Kind::Bit4, Kind::Bit8, Kind::Bit16, Kind::Bit24, Kind::Bit32, Kind::Mask32};
    std::uint32_t seed = 1000;
    for (const auto& c : cases)
        for (Kind a : kinds)
            for (Kind b : {Kind::Bit24, Kind::Bit1, Kind::Bit32}) CheckAgainstReference(a, b, c.left, c.right, seed++);
}

TEST(CompareEngine, MostlyEqualPicturesMatchTheReference) {
    // Long equal stretches take shortcuts: whole equal runs of 24-bit rows,
    // and blocks of 32 equal bins. Changes sit at their edges.
    const int w = 1100, h = 3;
    for (Kind leftKind : {Kind::Bit24, Kind::Bit8Palette}) {
        SCOPED_TRACE(KindName(leftKind));
        TBitmap left, right, refDiff;
        MakePicture(left, leftKind, w, h, 21);
        right.SetPixelKind(pk24Bit);
        right.SetWidth(w);
        right.SetHeight(h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) right.Canvas().WritePixel(x, y, left.Canvas().ReadPixel(x, y));
        for (int x : {0, 31, 32, 511, 512, 513, 1023, 1099}) right.Canvas().WritePixel(x, 0, 0x00FF00);
        right.Canvas().WritePixel(700, 2, left.Canvas().ReadPixel(700, 2) ^ 1);  // row 1 stays equal
        SimilarityHistogram refHistogram;
        const CompareResult ref = CompareReference(left, right, refDiff, refHistogram);
        for (bool write : {true, false}) {
            TBitmap diff;
            CompareOptions options = Options(1);
            options.writeDifference = write;
            EXPECT_EQ(CountSimilarity(left, right, diff, options).counts, ref.counts);
            if (write) ExpectSamePictures(refDiff, diff);
        }
    }
}

TEST(CompareEngine, ThreadCountsGiveIdenticalResults) {
    TBitmap left, right;
    MakePicture(left, Kind::Bit24, 301, 257, 5);
    MakePicture(right, Kind::Bit8Palette, 299, 260, 6);
    ShareSomePixels(left, right, 7);
    TBitmap single;
    const CompareResult expected = CountSimilarity(left, right, single, Options(1));
    for (unsigned threads : {0u, 2u, 3u, 4u, 7u})
        for (int rows : {0, 1, 5, 1000}) {
            TBitmap diff;
            const CompareResult r = CountSimilarity(left, right, diff, Options(threads, rows));
            EXPECT_EQ(r.counts, expected.counts) << threads << " " << rows;
            for (int y = 0; y < r.height; ++y)
                ASSERT_EQ(std::memcmp(diff.Raster()->Row(y), single.Raster()->Row(y), 3 * 299), 0) << y;
        }
}

TEST(CompareEngine, CountsAloneLeaveTheDifferencePictureAlone) {
    TBitmap left, right;
    MakePicture(left, Kind::Bit24, 1200, 90, 11);
    MakePicture(right, Kind::Bit8Palette, 1100, 95, 12);
    ShareSomePixels(left, right, 13);
    TBitmap full;
    const CompareResult expected = CountSimilarity(left, right, full);
    for (unsigned threads : {1u, 3u}) {
        TBitmap untouched;
        Solid(untouched, 4, 3, 0x123456);
        CompareOptions options = Options(threads);
        options.writeDifference = false;
        const CompareResult r = CountSimilarity(left, right, untouched, options);
        EXPECT_EQ(r.counts, expected.counts) << threads;
        EXPECT_EQ(untouched.Width(), 4);
        EXPECT_EQ(untouched.Canvas().ReadPixel(3, 2), 0x123456);
    }
}

// ---- progress ------------------------------------------------------------------------

TEST(CompareProgress, StepsFollowTheRowPercentage) {
    // height, steps
    for (const auto& [h, want] : {std::pair{1, 0}, {2, 1}, {10, 9}, {50, 49}, {99, 98}})
        for (unsigned threads : {1u, 3u}) {
            TBitmap left, right, diff;
            int steps = 0, elsewhere = 0;
            CompareOptions options = Options(threads, 2);
            options.step = [&, caller = std::this_thread::get_id()] {
                ++steps;
                elsewhere += std::this_thread::get_id() != caller;
            };
            CountSimilarity(Solid(left, 3, h, 0), Solid(right, 3, h, 1), diff, options);
            EXPECT_EQ(steps, want) << "H = " << h << ", threads " << threads;
            EXPECT_EQ(elsewhere, 0) << "steps come from the calling thread";
        }
}

TEST(CompareProgress, RowPercentUsesTheExtendedFormula) {
    for (int h : {1, 3, 7, 10, 100, 333, 1000, 4097})
        for (int y = 0; y < h; ++y) {
            const long double expected = std::trunc((static_cast<long double>(y) / h) * 100.0L);
            ASSERT_EQ(RowPercent(y, h), static_cast<int>(expected));
            ASSERT_GE(RowPercent(y, h), 0);
            ASSERT_LE(RowPercent(y, h), 99);
        }
    // Counting the steps for a tall picture: never more than 99.
    int steps = 0, mark = 0;
    for (int y = 0; y < 12345; ++y)
        if (const int p = RowPercent(y, 12345); p != mark) {
            mark = p;
            ++steps;
        }
    EXPECT_EQ(steps, 99);
}

TEST(CompareProgress, AThrowingStepStopsTheComparison) {
    for (unsigned threads : {1u, 2u}) {
        TBitmap left, right, diff;
        int steps = 0;
        CompareOptions options = Options(threads, 1);
        options.step = [&] {
            if (++steps == 3) throw EAbort("stop");
        };
        EXPECT_THROW(CountSimilarity(Solid(left, 4, 200, 0x10), Solid(right, 4, 200, 0x20), diff, options), EAbort);
        EXPECT_EQ(steps, 3);
    }
}

// ---- the difference picture and the histogram ----------------------------------------

TEST(CompareEngine, EmptyAreaIsAnInvalidFloatingPointOperation) {
    TBitmap empty, picture, diff;
    Solid(picture, 4, 4, 0x123456);
    Solid(diff, 2, 2, 0);
    SimilarityHistogram histogram;
    histogram.fill(7.0L);
    try {
        ComparePictures(empty, picture, diff, histogram);
        FAIL() << "no exception";
    } catch (const EInvalidOp& e) {
        EXPECT_EQ(e.Message(), "Invalid floating point operation");
    }
    EXPECT_TRUE(diff.IsEmpty());
    for (long double bin : histogram) EXPECT_EQ(bin, 0.0L);

    TBitmap refDiff;
    EXPECT_THROW(CompareReference(picture, empty, refDiff, histogram), EInvalidOp);
    EXPECT_THROW(Normalise(SimilarityCounts{}, 0), EInvalidOp);
}

TEST(CompareEngine, DifferencePictureMayBeAnInput) {
    TBitmap left, right, expected, leftCopy, rightCopy, a, b;
    MakePicture(left, Kind::Bit8Palette, 9, 7, 3);
    MakePicture(right, Kind::Bit24, 8, 9, 4);
    leftCopy.CopyFrom(&left);
    rightCopy.CopyFrom(&right);
    const CompareResult want = CountSimilarity(left, right, expected, {});
    a.CopyFrom(&left);
    b.CopyFrom(&right);
    const CompareResult got = CountSimilarity(a, b, a, {});
    EXPECT_EQ(got.counts, want.counts);
    ExpectSamePictures(expected, a);
    // The copies sharing the stores were left alone.
    ExpectSamePictures(leftCopy, left);
    ExpectSamePictures(rightCopy, right);
}

TEST(CompareEngine, DifferencePictureSharingAStoreDoesNotTouchTheOtherBitmap) {
    TBitmap left, right, other, diff;
    diff.CopyFrom(&Solid(other, 6, 5, 0xABCDEF));  // already 24-bit and the right size, but shared
    CountSimilarity(Solid(left, 6, 5, 0x000000), Solid(right, 6, 5, 0xFFFFFF), diff, {});
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            ASSERT_EQ(other.Canvas().ReadPixel(x, y), 0xABCDEF);
            ASSERT_EQ(diff.Canvas().ReadPixel(x, y), 0x000000);
        }
}

TEST(CompareEngine, EachComparisonGetsItsOwnPictureAndHistogram) {
    TBitmap a, b, c, diff;
    SimilarityHistogram histogram;
    ComparePictures(Solid(a, 10, 8, 0x000000), Solid(b, 10, 8, 0x000000), diff, histogram);
    EXPECT_EQ(histogram[100], 100.0L);
    ComparePictures(a, Solid(c, 7, 20, 0xFFFFFF), diff, histogram);
    EXPECT_EQ(diff.Width(), 7);
    EXPECT_EQ(diff.Height(), 8);
    EXPECT_EQ(histogram[100], 0.0L);
    EXPECT_EQ(histogram[0], 100.0L);
    long double sum = 0;
    for (long double bin : histogram) sum += bin;
    EXPECT_EQ(sum, 100.0L);
}

TEST(CompareNormalise, DividesFirstInExtendedPrecision) {
    SimilarityCounts counts{};
    counts[100] = 1;
    counts[3] = 2;
    const SimilarityHistogram h = Normalise(counts, 3);
    EXPECT_EQ(h[100], (1.0L / 3.0L) * 100.0L);
    EXPECT_EQ(h[3], (2.0L / 3.0L) * 100.0L);
    EXPECT_EQ(h[50], 0.0L);
    // A count beyond 32 bits keeps every digit.
    counts = {};
    counts[7] = (std::uint64_t{1} << 40) + 1;
    counts[8] = (std::uint64_t{1} << 40) - 1;
    const SimilarityHistogram big = Normalise(counts, std::uint64_t{1} << 41);
    EXPECT_GT(big[7], 50.0L);
    EXPECT_LT(big[8], 50.0L);
}

}  // namespace
}  // namespace duvo
