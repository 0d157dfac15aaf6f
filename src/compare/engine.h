// The comparison in one pass. A request names two row sources and
// everything the comparison applies; the engine pulls bands of rows from the
// sources on its threads, converts each band once into what the kernels
// need, and makes the histogram, the side counts, the change spans and the
// difference rows while the band is in cache. Nothing of full size is made
// unless a source must hold its whole frame or the caller's sink wants one.
#pragma once

#include <cstdint>
#include <functional>

#include "codecs/row_source.h"
#include "compare/compare.h"
#include "compare/perceptual.h"

namespace duvo {

// What decides whether a pixel matches. With nothing but matchingBin its
// similarity bin does (100: the colors are equal), and so do its alpha and,
// at 100, its 16-bit samples. A threshold or a channel tolerance replaces
// the bin: a pixel matches when its colors are at most that far apart (both
// must hold when both are given); its alpha must still be equal.
struct MatchRule {
    int matchingBin = kSimilarityBins - 1;
    // The perceptual distance's threshold, when given.
    const perceptual::Threshold* threshold = nullptr;
    // The largest difference of any one channel that matches; -1: none.
    int channelTolerance = -1;
    // Pixels that fail only as anti-aliasing does are counted apart and match.
    bool antialiasing = false;

    bool ByColorDistance() const { return threshold || channelTolerance >= 0; }
};

// How the difference picture is drawn.
enum class DifferenceStyle : std::uint8_t {
    // Each pixel's similarity value as its color; identical pixels white.
    Similarity,
    // The left picture faded to light grey, non-matching pixels in the
    // darker or brighter color (the right pixel darker or brighter than the
    // left), anti-aliased ones in their color, ignored areas hatched grey.
    Highlight,
    // The non-matching pixels in the darker or brighter color on
    // transparent; four bytes a pixel (blue, green, red, alpha).
    Mask,
};

struct DifferenceColors {
    // 0x00BBGGRR.
    std::uint32_t darker = 0x0000FF;       // red
    std::uint32_t brighter = 0x00C000;     // green
    std::uint32_t antialiased = 0x00E0FF;  // yellow
};

// Takes the difference picture's rows (24-bit blue, green, red) as the
// comparison makes them: called on the worker threads, bands in any order,
// each row once. May throw; the comparison then stops and the exception
// passes on.
class DifferenceSink {
public:
    virtual ~DifferenceSink() = default;
    // Where row y goes, when the sink takes its rows in place (3 * width
    // bytes); nullptr: rows come through Band.
    virtual std::uint8_t* RowTarget(int /*y*/) { return nullptr; }
    // Rows y0 .. y1 - 1, row y at rows + (y - y0) * stride.
    virtual void Band(int /*y0*/, int /*y1*/, const std::uint8_t* /*rows*/, std::ptrdiff_t /*stride*/) {}
    // The same for a band in which every counted pixel matches by the rule,
    // which a sink that only wants the pictures of pairs that differ may
    // hold back instead of encoding.
    virtual void MatchingBand(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) {
        Band(y0, y1, rows, stride);
    }
};

struct CompareRequest {
    // The pictures; the common top-left area is compared. Each is read once,
    // top to bottom; Finish is called on each after its last row. Both may
    // be one source (a file whose bytes equal the other's): it is read once.
    RowSource* left = nullptr;
    RowSource* right = nullptr;
    // Pixels left out: spans per row of the area (rows past the area and
    // spans past its width are not looked at), and the pixels of a mask
    // picture of the area's size that are not white.
    const SpanRows* ignore = nullptr;
    RowSource* mask = nullptr;
    // The lowest similarity bin that matches (the desktop program's and the
    // tests' rule; rule.matchingBin is set from it unless rule is given).
    int matchingBin = kSimilarityBins - 1;
    const MatchRule* rule = nullptr;
    // Alpha and the bits below 8 compared too, where a picture has them.
    bool sidePlanes = true;
    // Fill CompareOutcome::changes with the non-matching pixels.
    bool collectChanges = false;
    DifferenceSink* difference = nullptr;
    DifferenceStyle style = DifferenceStyle::Similarity;
    DifferenceColors colors;

    // Worker threads (0: every core; one for small pictures); the result does
    // not depend on it.
    unsigned threads = 0;
    // Rows per band; 0 chooses about 2^17 pixels' worth.
    int bandRows = 0;
    // The plain inner loops even where vector ones exist.
    bool scalarOnly = false;
    // One progress step each time the whole percentage of finished rows
    // changes (RowPercent against the last mark, which starts at 0), on the
    // calling thread, in row order. May throw to abandon the comparison.
    std::function<void()> step;
};

struct CompareOutcome {
    int width = 0;  // the common area
    int height = 0;
    std::uint64_t pixelCount = 0;    // width * height
    std::uint64_t ignoredCount = 0;  // left out by the ignored spans and the mask
    SimilarityCounts counts{};       // counted pixels per bin
    // Counted pixels whose 8-bit alpha differs.
    std::uint64_t alphaDifferent = 0;
    // Counted pixels with the same 8-bit color and alpha whose 16-bit samples differ.
    std::uint64_t belowEightBits = 0;
    // Pixels in a matching bin that the side planes make non-matching: every
    // alpha difference, and with matchingBin 100 the differences below 8 bits.
    std::uint64_t extraNonMatching = 0;
    // Counted pixels that fail the rule, anti-aliased ones not among them.
    std::uint64_t nonMatchingPixels = 0;
    // Counted pixels that fail the color rule only as anti-aliasing does.
    std::uint64_t antialiasedPixels = 0;
    // With collectChanges: one row of spans per row of the area: the
    // non-matching pixels.
    SpanRows changes;

    std::uint64_t CountedPixels() const { return pixelCount - ignoredCount; }
    std::uint64_t NonMatching(int matchingBin) const {
        std::uint64_t n = extraNonMatching;
        for (int k = 0; k < matchingBin && k < kSimilarityBins; ++k) n += counts[static_cast<std::size_t>(k)];
        return n;
    }
};

// Runs the comparison. Exceptions of the sources, the sink and the step pass
// on once every worker has stopped.
CompareOutcome RunComparison(const CompareRequest& request);

}  // namespace duvo
