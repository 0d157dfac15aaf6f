// The command line's additions to the engine: ignored pixels and change
// spans against a plain per-pixel reading of the reference comparison, and
// the spans' helpers and regions on shapes whose boxes are known.
#include "compare/regions.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "compare/engine.h"
#include "graphics/bitmap.h"
#include "graphics/bitmap_rows.h"
#include "rtl/exceptions.h"

namespace duvo {
namespace {

// Spans of the '#' characters of a drawing, one string per row.
SpanRows Drawn(const std::vector<std::string>& rows) {
    SpanRows out(rows.size());
    for (std::size_t y = 0; y < rows.size(); ++y)
        for (int x = 0; x < static_cast<int>(rows[y].size()); ++x)
            if (rows[y][static_cast<std::size_t>(x)] == '#') {
                auto& row = out[y];
                if (!row.empty() && row.back().x1 == x)
                    ++row.back().x1;
                else
                    row.push_back({x, x + 1});
            }
    return out;
}

ChangedRegion Box(int x, int y, int w, int h, std::uint64_t pixels) { return {x, y, x + w, y + h, pixels}; }

// ---- regions ---------------------------------------------------------------------

TEST(Regions, ShapesWithKnownBoxes) {
    const struct {
        const char* what;
        std::vector<std::string> drawing;
        int gap;
        std::size_t cap;
        std::vector<ChangedRegion> listed;
        std::uint64_t found;
        ChangedRegion all;
    } rows[] = {
        {"two blobs, the larger first",
         {"..........", ".##.......", ".###......", "..#...####", "......####", ".........."},
         0,
         10,
         {Box(6, 3, 4, 2, 8), Box(1, 1, 3, 3, 6)},
         2,
         Box(1, 1, 9, 4, 14)},
        {"a diagonal line is one region through its corners",
         {"#.....", ".#....", "..#...", "...#..", "....#.", ".....#"},
         0,
         10,
         {Box(0, 0, 6, 6, 6)},
         1,
         Box(0, 0, 6, 6, 6)},
        {"the other diagonal, found only by looking back left",
         {".....#", "....#.", "...#..", "..#...", ".#....", "#....."},
         0,
         10,
         {Box(0, 0, 6, 6, 6)},
         1,
         Box(0, 0, 6, 6, 6)},
        {"one pixel at each corner: equal sizes go in reading order",
         {"#......#", "........", "........", "#......#"},
         0,
         10,
         {Box(0, 0, 1, 1, 1), Box(7, 0, 1, 1, 1), Box(0, 3, 1, 1, 1), Box(7, 3, 1, 1, 1)},
         4,
         Box(0, 0, 8, 4, 4)},
        {"the cap lists the largest and counts the rest",
         {"#......#", "........", "........", "#......#"},
         0,
         2,
         {Box(0, 0, 1, 1, 1), Box(7, 0, 1, 1, 1)},
         4,
         Box(0, 0, 8, 4, 4)},
        {"two arms that meet only at the bottom are one region",
         {"#...#", "#...#", "#...#", "#####"},
         0,
         10,
         {Box(0, 0, 5, 4, 11)},
         1,
         Box(0, 0, 5, 4, 11)},
        {"three empty pixels apart: separate with a gap of 2",
         {"#...#"},
         2,
         10,
         {Box(0, 0, 1, 1, 1), Box(4, 0, 1, 1, 1)},
         2,
         Box(0, 0, 5, 1, 2)},
        {"three empty pixels apart: merged with a gap of 3",
         {"#...#"},
         3,
         10,
         {Box(0, 0, 5, 1, 2)},
         1,
         Box(0, 0, 5, 1, 2)},
        {"rows apart: merged across two empty rows with a gap of 2",
         {"#..", "...", "...", "..#"},
         2,
         10,
         {Box(0, 0, 3, 4, 2)},
         1,
         Box(0, 0, 3, 4, 2)},
        {"rows apart: not with a gap of 1",
         {"#..", "...", "...", "..#"},
         1,
         10,
         {Box(0, 0, 1, 1, 1), Box(2, 3, 1, 1, 1)},
         2,
         Box(0, 0, 3, 4, 2)},
        {"nothing changed", {"....", "...."}, 0, 10, {}, 0, {}},
    };
    for (const auto& row : rows) {
        const RegionList got = FindRegions(Drawn(row.drawing), row.gap, row.cap);
        EXPECT_EQ(got.regions, row.listed) << row.what;
        EXPECT_EQ(got.found, row.found) << row.what;
        if (row.found) {
            EXPECT_EQ(got.all, row.all) << row.what;
        }
    }
}

TEST(Regions, SpansOfRectanglesAreCutToTheAreaAndJoined) {
    const struct {
        const char* what;
        std::vector<std::array<std::int64_t, 4>> rectangles;
        std::vector<std::string> expected;  // the 6 x 4 area
    } rows[] = {
        {"inside", {{1, 1, 2, 2}}, {"......", ".##...", ".##...", "......"}},
        {"reaching out on every side is cut",
         {{-3, -2, 5, 4}, {4, 2, 100, 100}},
         {"##....", "##....", "....##", "....##"}},
        {"wholly outside adds nothing", {{6, 0, 2, 2}, {0, -5, 3, 5}}, {"......", "......", "......", "......"}},
        {"overlapping and touching ones join",
         {{0, 0, 2, 1}, {1, 0, 2, 1}, {3, 0, 1, 1}},
         {"####..", "......", "......", "......"}},
    };
    for (const auto& row : rows) {
        SpanRows spans;
        for (const auto& r : row.rectangles) AddRectangle(spans, 6, 4, r[0], r[1], r[2], r[3]);
        EXPECT_EQ(spans, Drawn(row.expected)) << row.what;
    }
}

TEST(Regions, MaskPixelsThatAreNotWhiteAreLeftOut) {
    // Black against white: every pixel the mask leaves in is a change.
    TBitmap black, white;
    for (TBitmap* b : {&black, &white}) {
        b->SetPixelKind(pk24Bit);
        b->SetWidth(5);
        b->SetHeight(2);
    }
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x) black.Canvas().WritePixel(x, y, 0x000000);
    for (TPixelKind kind : {pk24Bit, pk8Bit, pk32Bit}) {
        TBitmap mask;
        mask.SetPixelKind(kind);
        mask.SetWidth(5);
        mask.SetHeight(2);  // white when made
        mask.Canvas().WritePixel(0, 0, 0x000000);
        // Almost white is not white (an 8-bit table has no such color).
        mask.Canvas().WritePixel(1, 0, kind == pk8Bit ? 0x0000FF : 0xFEFFFF);
        mask.Canvas().WritePixel(4, 1, 0x808080);
        const auto left = BitmapRows(black), right = BitmapRows(white), maskRows = BitmapRows(mask);
        CompareRequest request;
        request.left = left.get();
        request.right = right.get();
        request.mask = maskRows.get();
        request.collectChanges = true;
        const CompareOutcome got = RunComparison(request);
        EXPECT_EQ(got.ignoredCount, 3u) << static_cast<int>(kind);
        EXPECT_EQ(got.changes, Drawn({"..###", "####."})) << static_cast<int>(kind);
    }
}

// ---- the engine with ignored pixels and change spans ----------------------------------

void RandomPicture(TBitmap& b, TPixelKind kind, int w, int h, std::mt19937& rng) {
    b.SetPixelKind(kind);
    b.SetWidth(w);
    b.SetHeight(h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.Canvas().WritePixel(x, y, static_cast<TColor>(rng() & 0xFFFFFF));
}

TEST(CompareOptions, IgnoredPixelsAndChangeSpansMatchAPlainReading) {
    std::mt19937 rng(77);
    const struct {
        TPixelKind left, right;
        int matchingBin;
    } pairs[] = {{pk24Bit, pk24Bit, 100},
                 {pk24Bit, pk8Bit, 95},
                 {pk8Bit, pk32Bit, 100},
                 {pk24Bit, pk24Bit, 1},
                 {pk24Bit, pk24Bit, 0}};
    for (const auto& pair : pairs) {
        const int w = 1100, h = 37;  // rows longer than two runs
        TBitmap a, b;
        RandomPicture(a, pair.left, w, h, rng);
        b.CopyFrom(&a);
        b.SetPixelKind(pair.right);
        // Equal stretches, so that the equal-run shortcut meets ignored pixels,
        // and changes that straddle the runs' borders.
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if ((y % 3 == 0 && x > 500 && x < 530) || rng() % 7 == 0)
                    b.Canvas().WritePixel(x, y, static_cast<TColor>(rng() & 0xFFFFFF));
        SpanRows ignore;
        AddRectangle(ignore, w, h, 505, -4, 20, 20);
        AddRectangle(ignore, w, h, 0, 10, 3000, 2);
        AddRectangle(ignore, w, h, 1000, 30, 90, 90);
        ignore[20].push_back({511, 513});
        ignore[20].push_back({1020, 1030});
        NormaliseSpans(ignore[20]);

        // The plain reading: the reference's values, pixel by pixel.
        TBitmap refLeft, refRight, refDiff;
        refLeft.CopyFrom(&a);
        refRight.CopyFrom(&b);
        SimilarityHistogram refHistogram;
        CompareReference(refLeft, refRight, refDiff, refHistogram);
        auto ignored = [&](int x, int y) {
            for (const PixelSpan& s : ignore[static_cast<std::size_t>(y)])
                if (x >= s.x0 && x < s.x1) return true;
            return false;
        };
        SimilarityCounts counts{};
        std::uint64_t left = 0;
        std::vector<std::string> drawing(static_cast<std::size_t>(h), std::string(static_cast<std::size_t>(w), '.'));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (ignored(x, y)) {
                    ++left;
                    continue;
                }
                const int k = SimilarityBin(static_cast<std::uint32_t>(refDiff.Canvas().ReadPixel(x, y)));
                ++counts[static_cast<std::size_t>(k)];
                if (k < pair.matchingBin) drawing[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = '#';
            }

        for (unsigned threads : {1u, 2u})
            for (bool scalar : {false, true}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, bin " + std::to_string(pair.matchingBin) +
                             (scalar ? ", scalar" : ""));
                CompareOptions o;
                o.threads = threads;
                o.rowsPerBlock = 5;
                o.scalarOnly = scalar;
                o.ignore = &ignore;
                SpanRows changes;
                o.changes = &changes;
                o.matchingBin = pair.matchingBin;
                TBitmap diff;
                const CompareResult r = CountSimilarity(a, b, diff, o);
                EXPECT_EQ(r.counts, counts);
                EXPECT_EQ(r.ignoredCount, left);
                EXPECT_EQ(r.CountedPixels() + left, static_cast<std::uint64_t>(w) * h);
                EXPECT_EQ(changes, Drawn(drawing));
                int wrong = 0;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const TColor expected = ignored(x, y) ? kIgnoredColor : refDiff.Canvas().ReadPixel(x, y);
                        if (diff.Canvas().ReadPixel(x, y) != expected && ++wrong < 4)
                            ADD_FAILURE() << "difference pixel " << x << "," << y;
                    }
            }
    }
}

TEST(CompareOptions, EverythingIgnoredLeavesNothingToNormalise) {
    TBitmap a, b, diff;
    std::mt19937 rng(1);
    RandomPicture(a, pk24Bit, 4, 4, rng);
    RandomPicture(b, pk24Bit, 4, 4, rng);
    SpanRows ignore;
    AddRectangle(ignore, 4, 4, 0, 0, 4, 4);
    CompareOptions o;
    o.ignore = &ignore;
    SimilarityHistogram h;
    EXPECT_THROW(ComparePictures(a, b, diff, h, o), EInvalidOp);
}

}  // namespace
}  // namespace duvo

namespace duvo {
namespace {

// Gathers the rows it is given; throws at a chosen row.
class Gather : public DifferenceSink {
public:
    Gather(int w, int h, int failAt = -1) : w_(w), failAt_(failAt), rows_(static_cast<std::size_t>(h)) {}
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        for (int y = y0; y < y1; ++y) {
            if (y == failAt_) throw EOutOfMemory(msg::OutOfMemory);
            const std::uint8_t* p = rows + (y - y0) * stride;
            std::lock_guard<std::mutex> g(lock_);
            rows_[static_cast<std::size_t>(y)].assign(p, p + 3 * w_);
            ++given_[static_cast<std::size_t>(y)];
        }
    }
    std::vector<std::vector<std::uint8_t>> Rows() const { return rows_; }
    bool EachOnce() const {
        for (const auto& [y, n] : given_)
            if (n != 1) return false;
        return given_.size() == rows_.size();
    }

private:
    int w_, failAt_;
    std::mutex lock_;
    std::vector<std::vector<std::uint8_t>> rows_;
    std::map<std::size_t, int> given_;
};

TEST(CompareOptions, DifferenceRowsAreThePicturesRowsEachOnce) {
    std::mt19937 rng(5);
    TBitmap a, b, picture;
    RandomPicture(a, pk24Bit, 700, 90, rng);
    RandomPicture(b, pk8Bit, 700, 90, rng);
    SpanRows ignore;
    AddRectangle(ignore, 700, 90, 10, 10, 50, 50);
    CompareOptions withPicture;
    withPicture.ignore = &ignore;
    const CompareResult expected = CountSimilarity(a, b, picture, withPicture);
    for (unsigned threads : {1u, 2u}) {
        Gather rows(700, 90);
        CompareOptions o = withPicture;
        o.threads = threads;
        o.rowsPerBlock = 7;
        o.writeDifference = false;
        o.differenceRows = &rows;
        TBitmap none;
        EXPECT_EQ(CountSimilarity(a, b, none, o).counts, expected.counts) << threads;
        EXPECT_TRUE(none.IsEmpty()) << threads;
        EXPECT_TRUE(rows.EachOnce()) << threads;
        const auto got = rows.Rows();
        for (int y = 0; y < 90; ++y) {
            const std::uint8_t* p = picture.Raster()->Row(y);
            ASSERT_EQ(got[static_cast<std::size_t>(y)], std::vector<std::uint8_t>(p, p + 3 * 700)) << y;
        }
        // A taker that fails stops the comparison with its exception.
        Gather failing(700, 90, 40);
        o.differenceRows = &failing;
        EXPECT_THROW(CountSimilarity(a, b, none, o), EOutOfMemory) << threads;
    }
}

}  // namespace
}  // namespace duvo
