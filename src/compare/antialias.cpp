#include "compare/antialias.h"

namespace duvo::antialias {

namespace {

// 0.29889531, 0.58662247 and 0.11448223 times 2^22: under 2^31 for white.
constexpr std::int32_t kRed = 1253658, kGreen = 2460473, kBlue = 480173;

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

// The test in picture p, with q as the other picture.
bool OnSlopeToFlat(const Window& p, const Window& q, int x) {
    const std::uint32_t c = p.rows[2][x];
    const std::int32_t lc = Luma(c);
    const int x0 = x > 0 ? x - 1 : x, x2 = x + 1 < p.width ? x + 1 : x;
    int same = x0 == x || x2 == x || !p.rows[1] || !p.rows[3] ? 1 : 0;
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
            const std::int32_t d = Luma(n) - lc;  // never 0 for another color
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
    return (HasManySiblings(p, darkX, darkRow) && HasManySiblings(q, darkX, darkRow)) ||
           (HasManySiblings(p, brightX, brightRow) && HasManySiblings(q, brightX, brightRow));
}

}  // namespace

std::int32_t Luma(std::uint32_t c) {
    return kRed * static_cast<std::int32_t>(c & 0xFF) + kGreen * static_cast<std::int32_t>((c >> 8) & 0xFF) +
           kBlue * static_cast<std::int32_t>((c >> 16) & 0xFF);
}

bool IsAntialiased(const Window& a, const Window& b, int x) { return OnSlopeToFlat(a, b, x) || OnSlopeToFlat(b, a, x); }

}  // namespace duvo::antialias
