#include "cli/side_planes.h"

#include <array>
#include <vector>

#include "platform/raster.h"

namespace duvo::cli {

namespace {

// One picture as this pass reads it: 24-bit rows, and the planes or what
// stands in for them (opaque, 8-bit samples widened to 16 bits).
struct Reader {
    TBitmap converted;
    const platform::Raster* raster = nullptr;
    const std::uint8_t* alpha = nullptr;
    const std::uint16_t* deep = nullptr;
    std::size_t width = 0;

    explicit Reader(const SidePicture& p) {
        const TBitmap* b = p.bitmap;
        if (b->PixelKind() != pk24Bit) {
            converted.CopyFrom(b);
            converted.SetPixelKind(pk24Bit);
            b = &converted;
        }
        raster = b->Raster();
        width = static_cast<std::size_t>(b->Width());
        if (p.side && !p.side->alpha.empty()) alpha = p.side->alpha.data();
        if (p.side && !p.side->deep.empty()) deep = p.side->deep.data();
    }
    std::uint8_t Alpha(std::size_t at) const { return alpha ? alpha[at] : 255; }
    // Red, green, blue and alpha at 16 bits.
    std::array<std::uint16_t, 4> Deep(const std::uint8_t* row, int x, std::size_t at) const {
        if (deep) return {deep[4 * at], deep[4 * at + 1], deep[4 * at + 2], deep[4 * at + 3]};
        const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
        return {static_cast<std::uint16_t>(p[2] * 257), static_cast<std::uint16_t>(p[1] * 257),
                static_cast<std::uint16_t>(p[0] * 257), static_cast<std::uint16_t>(Alpha(at) * 257)};
    }
};

TColor ColorAt(const std::uint8_t* row, int x) {
    const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
    return p[2] | (p[1] << 8) | (p[0] << 16);
}

}  // namespace

SideCounts CompareSidePlanes(const SidePicture& left, const SidePicture& right, int width, int height,
                             const SpanRows* ignore, int matchingBin, SpanRows& extraChanges) {
    SideCounts counts;
    extraChanges.assign(static_cast<std::size_t>(std::max(height, 0)), {});
    const Reader a(left), b(right);
    const bool deep = a.deep || b.deep;
    static const std::vector<PixelSpan> kNone;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* ra = a.raster->Row(y);
        const std::uint8_t* rb = b.raster->Row(y);
        const auto& skip = ignore && static_cast<std::size_t>(y) < ignore->size() ? (*ignore)[y] : kNone;
        std::size_t next = 0;  // the first ignored span not yet passed
        auto& changes = extraChanges[static_cast<std::size_t>(y)];
        for (int x = 0; x < width; ++x) {
            while (next < skip.size() && skip[next].x1 <= x) ++next;
            if (next < skip.size() && skip[next].x0 <= x) {
                x = skip[next].x1 - 1;
                continue;
            }
            const std::size_t atA = static_cast<std::size_t>(y) * a.width + static_cast<std::size_t>(x);
            const std::size_t atB = static_cast<std::size_t>(y) * b.width + static_cast<std::size_t>(x);
            const TColor ca = ColorAt(ra, x), cb = ColorAt(rb, x);
            bool extra = false;
            if (a.Alpha(atA) != b.Alpha(atB)) {
                ++counts.alphaDifferent;
                extra = FastSimilarityBin(SimilarityValue(ca, cb)) >= matchingBin;
            } else if (deep && ca == cb && a.Deep(ra, x, atA) != b.Deep(rb, x, atB)) {
                ++counts.belowEightBits;
                extra = matchingBin == kSimilarityBins - 1;
            }
            if (!extra) continue;
            ++counts.extraNonMatching;
            if (!changes.empty() && changes.back().x1 == x)
                ++changes.back().x1;
            else
                changes.push_back({x, x + 1});
        }
    }
    return counts;
}

}  // namespace duvo::cli
