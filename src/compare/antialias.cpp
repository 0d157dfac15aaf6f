#include "compare/antialias.h"

#include <algorithm>
#include <array>

namespace duvo::antialias {

namespace {

// 0.29889531, 0.58662247 and 0.11448223 times 2^22: under 2^31 for white.
constexpr std::int32_t kRed = 1253658, kGreen = 2460473, kBlue = 480173;

// Each channel's share by table: nine lumas per test, and loads are cheaper
// than multiplications.
constexpr auto kLuma = [] {
    std::array<std::array<std::int32_t, 256>, 3> t{};
    for (int v = 0; v < 256; ++v) {
        t[0][v] = kRed * v;
        t[1][v] = kGreen * v;
        t[2][v] = kBlue * v;
    }
    return t;
}();

// Whether the pixel at x of window row r (1 to 3) has more than two
// neighbours of its own color, the picture's border counting as one.
bool HasManySiblings(const Window& w, int x, int r) {
    const std::uint32_t* up = w.rows[r - 1];
    const std::uint32_t* mid = w.rows[r];
    const std::uint32_t* down = w.rows[r + 1];
    const std::uint32_t c = mid[x];
    if (up && down && x > 0 && x + 1 < w.width) {
        return (up[x - 1] == c) + (up[x] == c) + (up[x + 1] == c) + (mid[x - 1] == c) + (mid[x + 1] == c) +
                   (down[x - 1] == c) + (down[x] == c) + (down[x + 1] == c) >
               2;
    }
    const int x0 = x > 0 ? x - 1 : x, x2 = x + 1 < w.width ? x + 1 : x;
    int same = 1;
    for (int i = x0; i <= x2; ++i) {
        if (up) same += up[i] == c;
        if (i != x) same += mid[i] == c;
        if (down) same += down[i] == c;
    }
    return same > 2;
}

bool ExtremesAreFlat(const Window& p, const Window& q, int darkX, int darkRow, int brightX, int brightRow) {
    return (HasManySiblings(p, darkX, darkRow) && HasManySiblings(q, darkX, darkRow)) ||
           (HasManySiblings(p, brightX, brightRow) && HasManySiblings(q, brightX, brightRow));
}

// The test in picture p, with q as the other picture, for a pixel with all
// 8 neighbours. On photographs the ranking of neighbours is random, so they
// are ranked without branches: a key holds the luma difference above the
// neighbour's place in column order, and the smallest key is the darkest
// neighbour met first, the largest (with the place reversed) the brightest.
bool OnSlopeToFlatInside(const Window& p, const Window& q, int x) {
    const std::uint32_t *up = p.rows[1], *mid = p.rows[2], *down = p.rows[3];
    const std::uint32_t c = mid[x];
    // Column by column, top to bottom: the order ties are broken in.
    const std::uint32_t n[8] = {up[x - 1], mid[x - 1], down[x - 1], up[x], down[x], up[x + 1], mid[x + 1], down[x + 1]};
    int same = 0;
    for (std::uint32_t v : n) same += v == c;
    if (same > 2) return false;
    const std::int32_t lc = Luma(c);
    std::int64_t darkKey = 0, brightKey = 0;  // a key of 0.. 7 is "not darker" / "not brighter"
    for (int k = 0; k < 8; ++k) {
        const std::int64_t d = Luma(n[k]) - lc;  // 0 exactly for the same color
        darkKey = std::min(darkKey, d * 8 + k);
        brightKey = std::max(brightKey, d * 8 + (7 - k));
    }
    if (darkKey >= 0 || brightKey < 8) return false;
    static constexpr int kDx[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
    static constexpr int kRow[8] = {1, 2, 3, 1, 3, 1, 2, 3};
    const int dark = static_cast<int>(darkKey & 7), bright = 7 - static_cast<int>(brightKey & 7);
    return ExtremesAreFlat(p, q, x + kDx[dark], kRow[dark], x + kDx[bright], kRow[bright]);
}

// The same at the picture's border, neighbour by neighbour.
bool OnSlopeToFlatAtBorder(const Window& p, const Window& q, int x) {
    const std::uint32_t c = p.rows[2][x];
    const std::int32_t lc = Luma(c);
    const int x0 = x > 0 ? x - 1 : x, x2 = x + 1 < p.width ? x + 1 : x;
    int same = 1;
    std::int32_t darkest = 0, brightest = 0;
    int darkX = 0, darkRow = 0, brightX = 0, brightRow = 0;
    for (int i = x0; i <= x2; ++i) {
        for (int r = 1; r <= 3; ++r) {
            const std::uint32_t* row = p.rows[r];
            if (!row || (r == 2 && i == x)) continue;
            const std::uint32_t n = row[i];
            if (n == c) {
                if (++same > 2) return false;
                continue;
            }
            const std::int32_t d = Luma(n) - lc;
            if (d < darkest) {
                darkest = d;
                darkX = i;
                darkRow = r;
            } else if (d > brightest) {
                brightest = d;
                brightX = i;
                brightRow = r;
            }
        }
    }
    if (darkest == 0 || brightest == 0) return false;
    return ExtremesAreFlat(p, q, darkX, darkRow, brightX, brightRow);
}

bool OnSlopeToFlat(const Window& p, const Window& q, int x) {
    const bool inside = p.rows[1] && p.rows[3] && x > 0 && x + 1 < p.width;
    return inside ? OnSlopeToFlatInside(p, q, x) : OnSlopeToFlatAtBorder(p, q, x);
}

}  // namespace

std::int32_t Luma(std::uint32_t c) {
    return kLuma[0][c & 0xFF] + kLuma[1][(c >> 8) & 0xFF] + kLuma[2][(c >> 16) & 0xFF];
}

bool IsAntialiased(const Window& a, const Window& b, int x) { return OnSlopeToFlat(a, b, x) || OnSlopeToFlat(b, a, x); }

}  // namespace duvo::antialias
