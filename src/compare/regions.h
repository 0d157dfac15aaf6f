// Areas of a comparison as spans on rows: the pixels left out of it (by
// rectangles or a mask picture) and the changed pixels, and the changed
// pixels grouped into regions. Everything here costs in proportion to the
// spans, not to the picture.
#pragma once

#include <cstdint>
#include <vector>

#include "compare/compare.h"

namespace duvo {

// Sorts a row's spans and joins those that overlap or touch.
void NormaliseSpans(std::vector<PixelSpan>& row);

// Adds the rectangle x, y, w x h, cut to the width x height area, to rows
// (which grow to height rows). A rectangle wholly outside adds nothing.
void AddRectangle(SpanRows& rows, int width, int height, std::int64_t x, std::int64_t y, std::int64_t w,
                  std::int64_t h);

// Adds every span of more to into, row by row.
void AddSpans(SpanRows& into, const SpanRows& more);

// A bounding box [x0, x1) x [y0, y1) and the pixels inside it that belong.
struct ChangedRegion {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    std::uint64_t pixels = 0;
    bool operator==(const ChangedRegion&) const = default;
};

struct RegionList {
    std::vector<ChangedRegion> regions;  // largest first, at most the cap
    std::uint64_t found = 0;             // all groups, listed or not
    std::uint64_t largest = 0;           // pixels of the largest group, listed or not
    ChangedRegion all;                   // the box around every change (pixels: all of them)
};

// Groups the spans into connected regions: pixels touching by side or
// corner are connected, and so are pixels at most gap pixels apart in both
// directions (gap 0: the 8 neighbours only). Ties in size go in the reading
// order of their first pixel (top to bottom, then left to right).
RegionList FindRegions(const SpanRows& changes, int gap, std::size_t cap);

}  // namespace duvo
