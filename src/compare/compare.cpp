#include "compare/compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "compare/engine.h"
#include "graphics/bitmap_rows.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;

int RowPercent(int y, int h) {
    const long double p = (static_cast<long double>(y) / static_cast<long double>(h)) * 100.0L;
    return static_cast<int>(std::trunc(p));
}

namespace {

// Makes bitmap a fresh w x h 24-bit DIB, alone in its store, so that its
// rows can be written through RowAddress from any thread (nothing in the
// bitmap changes any more). A bitmap that already is one is kept: every pixel
// is written anyway, so nobody can tell it from a new one.
TBitmap* MakeDifferencePicture(TBitmap& bitmap, int w, int h) {
    const bool reusable = bitmap.PixelKind() == pk24Bit && bitmap.Width() == w && bitmap.Height() == h &&
                          bitmap.Image()->RefCount() == 1 && w > 0 && h > 0;
    if (!reusable && (w <= 0 || h <= 0)) {
        bitmap.SetWidth(0);
        bitmap.SetHeight(0);
        bitmap.SetPixelKind(pk24Bit);
    }
    if (w <= 0 || h <= 0) return nullptr;
    if (!reusable) {
        // What a new 24-bit bitmap of this size is, without painting it white
        // first: the workers write every pixel, and a big picture would wait
        // on the fill before its first progress step.
        DecodedPicture fresh;
        platform::RasterFormat format;
        format.bitCount = 24;
        fresh.raster = platform::Raster::Create(w, h, format, nullptr, 0, platform::Raster::Fill::Zero);
        bitmap.Adopt(std::move(fresh));
    }
    bitmap.PrepareChange();
    bitmap.RowAddress(0);  // settles the DIB mode before the workers start
    return &bitmap;
}

// The difference picture as a bitmap whose rows the workers write in place.
class BitmapSink final : public DifferenceSink {
public:
    explicit BitmapSink(TBitmap& bitmap) : bitmap_(bitmap) {}
    std::uint8_t* RowTarget(int y) override { return bitmap_.RowAddress(y); }

private:
    TBitmap& bitmap_;
};

}  // namespace

CompareResult CountSimilarity(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              const CompareOptions& options) {
    CompareResult result;
    result.width = std::max(0, std::min(left.Width(), right.Width()));
    result.height = std::max(0, std::min(left.Height(), right.Height()));
    result.pixelCount = static_cast<std::uint64_t>(result.width) * static_cast<std::uint64_t>(result.height);
    if (options.changes) options.changes->assign(static_cast<std::size_t>(result.height), {});
    if (result.pixelCount == 0) {
        if (options.writeDifference) MakeDifferencePicture(difference, result.width, result.height);
        return result;
    }
    const std::unique_ptr<RowSource> a = BitmapRows(left);
    const std::unique_ptr<RowSource> b = BitmapRows(right);

    // The difference picture may be one of the inputs: build it aside then.
    TBitmap aside;
    TBitmap& target = (&difference == &left || &difference == &right) ? aside : difference;
    std::unique_ptr<BitmapSink> sink;
    if (options.writeDifference)
        sink = std::make_unique<BitmapSink>(*MakeDifferencePicture(target, result.width, result.height));

    CompareRequest request;
    request.left = a.get();
    request.right = b.get();
    request.ignore = options.ignore;
    request.matchingBin = options.matchingBin;
    request.sidePlanes = false;
    request.collectChanges = options.changes != nullptr;
    request.difference = options.writeDifference ? static_cast<DifferenceSink*>(sink.get()) : options.differenceRows;
    request.threads = options.threads;
    request.bandRows = options.rowsPerBlock;
    request.scalarOnly = options.scalarOnly;
    request.step = options.step;
    CompareOutcome outcome = RunComparison(request);
    result.counts = outcome.counts;
    result.ignoredCount = outcome.ignoredCount;
    if (options.changes) *options.changes = std::move(outcome.changes);
    if (options.writeDifference && &target != &difference) difference.CopyFrom(&target);
    return result;
}

SimilarityHistogram Normalise(const SimilarityCounts& counts, std::uint64_t pixelCount) {
    if (pixelCount == 0) throw EInvalidOp(msg::InvalidFloatOp);
    const auto pixels = static_cast<long double>(pixelCount);
    SimilarityHistogram histogram;
    for (int k = 0; k < kSimilarityBins; ++k) histogram[k] = (static_cast<long double>(counts[k]) / pixels) * 100.0L;
    return histogram;
}

CompareResult ComparePictures(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              SimilarityHistogram& histogram, const CompareOptions& options) {
    histogram.fill(0.0L);
    CompareResult result = CountSimilarity(left, right, difference, options);
    histogram = Normalise(result.counts, result.CountedPixels());
    return result;
}

// ---- reference ----------------------------------------------------------------

CompareResult CompareReference(TBitmap& left, TBitmap& right, TBitmap& difference, SimilarityHistogram& histogram,
                               const std::function<void()>& step) {
    for (const TBitmap* b : {&left, &right})
        if (const Raster* r = b->Raster()) {
            const int bits = r->BitCount();
            if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
                throw EInvalidGraphic(msg::InvalidPixelFormat);
        }
    CompareResult result;
    result.width = std::min(left.Width(), right.Width());
    result.height = std::min(left.Height(), right.Height());
    const int w = result.width, h = result.height;

    TBitmap fresh;
    fresh.SetWidth(w);
    fresh.SetHeight(h);
    histogram.fill(0.0L);
    TCanvas& a = left.Canvas();
    TCanvas& b = right.Canvas();
    TCanvas& out = fresh.Canvas();
    int mark = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const TColor c1 = a.ReadPixel(x, y);
            const TColor c2 = b.ReadPixel(x, y);
            const TColor v = 16777215 - std::abs(c1 - c2);
            out.WritePixel(x, y, v);
            const int k = static_cast<int>(std::trunc(static_cast<long double>(v) / 16777215.0L * 100.0L));
            histogram[k] += 1.0L;
        }
        const int p = static_cast<int>(std::trunc((static_cast<long double>(y) / h) * 100.0L));
        if (p != mark) {
            mark = p;
            if (step) step();
        }
    }
    difference.CopyFrom(&fresh);
    for (int k = 0; k < kSimilarityBins; ++k) result.counts[k] = static_cast<std::uint64_t>(histogram[k]);
    result.pixelCount = static_cast<std::uint64_t>(w > 0 ? w : 0) * static_cast<std::uint64_t>(h > 0 ? h : 0);
    if (result.pixelCount == 0) throw EInvalidOp(msg::InvalidFloatOp);
    const long double pixels = static_cast<long double>(result.pixelCount);
    for (int k = 0; k < kSimilarityBins; ++k) histogram[k] = (histogram[k] / pixels) * 100.0L;
    return result;
}

}  // namespace duvo
