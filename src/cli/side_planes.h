// What PNG files add to a comparison beyond 24-bit colors: alpha and the
// bits below 8 of 16-bit samples. The engine compares colors only; this pass
// looks at the side planes, and only when a file has them.
#pragma once

#include <cstdint>

#include "codecs/png/png_spng.h"
#include "compare/compare.h"
#include "graphics/bitmap.h"

namespace duvo::cli {

struct SidePicture {
    const TBitmap* bitmap = nullptr;
    const PngSidePlanes* side = nullptr;  // may be null or empty
};

struct SideCounts {
    std::uint64_t alphaDifferent = 0;  // the 8-bit alphas differ
    std::uint64_t belowEightBits = 0;  // same 8-bit color and alpha, different 16-bit samples
    // Pixels that these differences make non-matching although their color
    // bin matches: every alpha difference, and with no tolerance the
    // differences below 8 bits.
    std::uint64_t extraNonMatching = 0;
};

// Compares the side planes over the common area, leaving out the ignored
// pixels. Pixels counted in extraNonMatching are added to extraChanges (one
// row of spans per row of the area). matchingBin is the lowest color bin that
// matches.
SideCounts CompareSidePlanes(const SidePicture& left, const SidePicture& right, int width, int height,
                             const SpanRows* ignore, int matchingBin, SpanRows& extraChanges);

}  // namespace duvo::cli
