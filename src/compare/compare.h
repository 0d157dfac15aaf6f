// The comparison engine: compares two bitmaps pixel by pixel over their common
// top-left area, writes the difference picture and counts every pixel into one
// of 101 similarity bins; Normalise then turns the counts into percentages.
//
// The work is split in two on purpose. CountSimilarity does all pixel work in
// integers (exact, and the same whatever the thread count); Normalise is the
// only floating-point step. ComparePictures runs both, the way the comparison
// command does.
//
// Per pixel, with c1 and c2 the packed 0x00BBGGRR colors of the left and the
// right picture:
//   v = 16777215 - |c1 - c2|          (the difference picture's color)
//   k = floor(100 * v / 16777215)     (the similarity bin, 0..100)
// so k = 100 exactly when the colors are equal.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "graphics/bitmap.h"

namespace duvo {

// The percentages are extended-precision reals with a 64-bit significand; the
// summary's digits depend on it.
static_assert(std::numeric_limits<long double>::digits == 64, "long double must be the 80-bit extended type");

inline constexpr int kSimilarityBins = 101;
inline constexpr std::uint32_t kMaxSimilarity = 0xFFFFFF;

using SimilarityCounts = std::array<std::uint64_t, kSimilarityBins>;
using SimilarityHistogram = std::array<long double, kSimilarityBins>;

// v for two packed colors in 0..0xFFFFFF.
constexpr std::uint32_t SimilarityValue(TColor c1, TColor c2) {
    const std::int32_t d = c1 - c2;
    return kMaxSimilarity - static_cast<std::uint32_t>(d < 0 ? -d : d);
}

// k for v in 0..0xFFFFFF; 100 * v fits in 32 bits.
constexpr int SimilarityBin(std::uint32_t v) { return static_cast<int>((100u * v) / kMaxSimilarity); }

// The same without a division, as the engine's inner loop uses it; exact for
// every v in 0..0xFFFFFF (a test checks all of them).
constexpr int FastSimilarityBin(std::uint32_t v) { return static_cast<int>((std::uint64_t{v} * 0xC80000Du) >> 45); }

// The progress bar's whole percentage after row y (0-based) of h rows:
// Trunc((y / h) * 100) in extended precision.
int RowPercent(int y, int h);

// Pixels x0 .. x1 - 1 of one row.
struct PixelSpan {
    int x0 = 0;
    int x1 = 0;
    bool operator==(const PixelSpan&) const = default;
};
// Spans of each row of an area, top row first; a row's spans are sorted,
// disjoint and not touching.
using SpanRows = std::vector<std::vector<PixelSpan>>;

// The difference picture's color for a pixel left out of the comparison.
inline constexpr TColor kIgnoredColor = 0xD3D3D3;

// Takes the difference picture's rows as they are made (compare/engine.h).
class DifferenceSink;

struct CompareOptions {
    // Worker threads; 0 takes std::thread::hardware_concurrency() (one for
    // small pictures), 1 does all the work on the calling thread. The result
    // does not depend on it.
    unsigned threads = 0;
    // Rows a worker takes at a time; 0 chooses about 2^17 pixels' worth.
    int rowsPerBlock = 0;
    // The plain inner loops even where vector ones exist (tests, benchmarks).
    bool scalarOnly = false;
    // Off: only the counts are wanted; the difference picture is left as it
    // is and no memory is taken for it.
    bool writeDifference = true;
    // One progress bar step, called on the calling thread each time the whole
    // percentage of finished rows changes (RowPercent against the last mark,
    // which starts at 0), in row order. May throw to abandon the comparison;
    // the workers are stopped and the exception passes on.
    std::function<void()> step;

    // The command line's additions; the defaults compare every pixel and
    // collect nothing, as the desktop program does.
    //
    // Pixels left out: counted in no bin, drawn kIgnoredColor in the
    // difference picture. Rows and spans past the area are not looked at.
    const SpanRows* ignore = nullptr;
    // Filled with one row of spans per row of the area: the pixels, not left
    // out, whose bin is below matchingBin.
    SpanRows* changes = nullptr;
    int matchingBin = kSimilarityBins - 1;
    // With writeDifference off: the difference picture's rows go here, and
    // no bitmap is made for them.
    DifferenceSink* differenceRows = nullptr;
};

struct CompareResult {
    int width = 0;  // the common area
    int height = 0;
    std::uint64_t pixelCount = 0;    // width * height, in 64 bits
    std::uint64_t ignoredCount = 0;  // pixels left out (CompareOptions::ignore)
    SimilarityCounts counts{};       // pixels per bin; with ignoredCount they add up to pixelCount

    std::uint64_t CountedPixels() const { return pixelCount - ignoredCount; }
};

// Compares left and right over their common area and makes difference a new
// width x height 24-bit bitmap of the similarity values (an empty bitmap when
// the area is empty). Any pixel kinds; left and right are only read, and
// difference may be the same object as either of them. Throws
// EInvalidGraphic(InvalidPixelFormat) for a raster depth other than 1, 4, 8,
// 16, 24 or 32 bits.
CompareResult CountSimilarity(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              const CompareOptions& options = {});

// Each bin's share of pixelCount (the counted pixels) in percent: (count / pixelCount) * 100 in
// extended precision, dividing first. An empty area is 0 / 0: EInvalidOp
// (msg::InvalidFloatOp), raised explicitly rather than through a trap.
SimilarityHistogram Normalise(const SimilarityCounts& counts, std::uint64_t pixelCount);

// The whole comparison: the histogram is cleared, the pixels counted, and the
// histogram normalised over the counted pixels. On an empty area the difference picture is empty, the
// histogram stays all zero and EInvalidOp is thrown.
CompareResult ComparePictures(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              SimilarityHistogram& histogram, const CompareOptions& options = {});

// The plain transcription kept as the oracle for tests and the yardstick for
// benchmarks: one ReadPixel per picture and one WritePixel per pixel through
// the drawing surfaces, the bin as Trunc(v / 16777215.0 * 100.0) in extended
// precision, the histogram counted in extended precision, the progress steps
// after every row. Returns the counts (the histogram before normalising).
CompareResult CompareReference(TBitmap& left, TBitmap& right, TBitmap& difference, SimilarityHistogram& histogram,
                               const std::function<void()>& step = {});

}  // namespace duvo
