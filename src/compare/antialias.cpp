#include "compare/antialias.h"

#include <algorithm>
#include <array>

// The run kernels are compiled for wide vectors too and chosen when the
// program loads (ifunc). ThreadSanitizer instruments the chooser, which runs
// before the sanitizer is up, so its builds take the plain version.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DUVO_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(DUVO_THREAD_SANITIZER)
#define DUVO_VECTOR_CLONES
#else
#define DUVO_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif

namespace duvo::antialias {

namespace {

// 0.29889531, 0.58662247 and 0.11448223 times 2^18, the fewest bits that
// give every color its own luma (2^17 would not); a luma difference times 8
// then fits 32 bits, which lets the run version rank in 32-bit lanes.
constexpr std::int32_t kRed = 78354, kGreen = 153780, kBlue = 30011;

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

namespace {

// The run version works on blocks of kBlock pixels, with two pixels on
// each side (taken from the rows, or copied where the block reaches the
// picture's ends), so that every loop has a fixed length and no branch,
// which the compiler turns into vector code for each processor below.
constexpr int kBlock = 256;
// Loop lengths are multiples of the widest vector, so no loop needs an
// epilogue: a block uses staged places 0 to kBlock + 3, the flags places
// 1 to kFlat.
constexpr int kStaged = kBlock + 64;
constexpr int kFlat = kBlock + 32;

struct Staged {
    // Window rows 0 to 4 from x = xs - 2: the rows themselves where the
    // block lies inside them, else copies, zero outside the picture.
    const std::uint32_t* color[5];
    std::uint32_t copy[5][kStaged];
    // Lumas of rows 1 to 3.
    std::int32_t luma[3][kStaged];
};

__attribute__((always_inline)) inline void LumaRow(const std::uint32_t* __restrict in, std::int32_t* __restrict luma) {
    for (int j = 0; j < kStaged; ++j) {
        const std::uint32_t c = in[j];
        luma[j] = kRed * static_cast<std::int32_t>(c & 0xFF) + kGreen * static_cast<std::int32_t>((c >> 8) & 0xFF) +
                  kBlue * static_cast<std::int32_t>((c >> 16) & 0xFF);
    }
}

DUVO_VECTOR_CLONES void Stage(const Window& w, int xs, Staged& s) {
    const int first = xs - 2;
    const bool inside = first >= 0 && first + kStaged <= w.width;
    const int lo = std::max(0, -first), hi = std::min(kStaged, w.width - first);
    for (int r = 0; r < 5; ++r) {
        if (inside && w.rows[r]) {
            s.color[r] = w.rows[r] + first;
            continue;
        }
        std::uint32_t* out = s.copy[r];
        std::fill(out, out + kStaged, 0u);
        if (w.rows[r] && lo < hi) std::copy(w.rows[r] + first + lo, w.rows[r] + first + hi, out + lo);
        s.color[r] = out;
    }
    for (int r = 1; r <= 3; ++r) LumaRow(s.color[r], s.luma[r - 1]);
}

// out[j] for staged places 1 to kFlat: both middle-row pixels have
// more than two neighbours of their own color.
__attribute__((always_inline)) inline void FlatRow(const std::uint32_t* __restrict au,
                                                   const std::uint32_t* __restrict am,
                                                   const std::uint32_t* __restrict ad,
                                                   const std::uint32_t* __restrict bu,
                                                   const std::uint32_t* __restrict bm,
                                                   const std::uint32_t* __restrict bd, std::uint8_t* __restrict out) {
    for (int k = 0; k < kFlat; ++k) {
        const int j = k + 1;
        const std::uint32_t ca = am[j], cb = bm[j];
        const int sameA = (au[j - 1] == ca) + (au[j] == ca) + (au[j + 1] == ca) + (am[j - 1] == ca) +
                          (am[j + 1] == ca) + (ad[j - 1] == ca) + (ad[j] == ca) + (ad[j + 1] == ca);
        const int sameB = (bu[j - 1] == cb) + (bu[j] == cb) + (bu[j + 1] == cb) + (bm[j - 1] == cb) +
                          (bm[j + 1] == cb) + (bd[j - 1] == cb) + (bd[j] == cb) + (bd[j + 1] == cb);
        out[j] = static_cast<std::uint8_t>((sameA > 2) & (sameB > 2));
    }
}

// flat[r - 1][j]: the pixel at staged place j of window row r (1 to 3) has
// more than two neighbours of its own color in both pictures.
DUVO_VECTOR_CLONES void FlatInBoth(const Window& a, const Window& b, int xs, const Staged& sa, const Staged& sb,
                                   std::uint8_t (&flat)[3][kStaged]) {
    for (int r = 1; r <= 3; ++r) {
        std::uint8_t* out = flat[r - 1];
        FlatRow(sa.color[r - 1], sa.color[r], sa.color[r + 1], sb.color[r - 1], sb.color[r], sb.color[r + 1], out);
        // The border's own rule where a neighbour lies outside the picture:
        // the whole row next to the top or bottom, else the first and last
        // columns. Places outside the picture are never asked for.
        const auto border = [&](int x) {
            const int j = x - (xs - 2);
            if (x >= 0 && x < a.width && j >= 1 && j <= kFlat)
                out[j] = HasManySiblings(a, x, r) && HasManySiblings(b, x, r);
        };
        if (!a.rows[r - 1] || !a.rows[r + 1]) {
            for (int x = xs - 1; x <= xs - 2 + kFlat; ++x) border(x);
        } else {
            border(0);
            border(a.width - 1);
        }
    }
}

// The slope test of IsAntialiased for kBlock pixels from xs, all of them
// with 8 neighbours, in picture p; the keys rank as in OnSlopeToFlatInside.
DUVO_VECTOR_CLONES void SlopeToFlatBlock(const Staged& p, const std::uint8_t (&flat)[3][kStaged],
                                         std::uint8_t* __restrict out) {
    const std::uint32_t* __restrict c0 = p.color[1], * __restrict c1 = p.color[2], * __restrict c2 = p.color[3];
    const std::int32_t* __restrict l0 = p.luma[0], * __restrict l1 = p.luma[1], * __restrict l2 = p.luma[2];
    const std::uint8_t* __restrict f0 = flat[0], * __restrict f1 = flat[1], * __restrict f2 = flat[2];
    for (int i = 0; i < kBlock; ++i) {
        // Staged places i + 1 to i + 3: the pixel is at i + 2.
        const std::uint32_t c = c1[i + 2];
        const std::int32_t lc = l1[i + 2];
        const int same = (c0[i + 1] == c) + (c1[i + 1] == c) + (c2[i + 1] == c) + (c0[i + 2] == c) + (c2[i + 2] == c) +
                         (c0[i + 3] == c) + (c1[i + 3] == c) + (c2[i + 3] == c);
        std::int32_t dark = 0, bright = 0;
        const auto rank = [&](std::int32_t luma, std::int32_t k) {
            const std::int32_t d = (luma - lc) * 8;
            dark = std::min(dark, d + k);
            bright = std::max(bright, d + (7 - k));
        };
        // Column order, as the ties are broken.
        rank(l0[i + 1], 0), rank(l1[i + 1], 1), rank(l2[i + 1], 2), rank(l0[i + 2], 3);
        rank(l2[i + 2], 4), rank(l0[i + 3], 5), rank(l1[i + 3], 6), rank(l2[i + 3], 7);
        const std::int32_t di = dark & 7, bi = 7 - (bright & 7);
        const auto at = [&](std::int32_t k) { return static_cast<int>((di == k) | (bi == k)); };
        const int flatEnd = (at(0) & f0[i + 1]) | (at(1) & f1[i + 1]) | (at(2) & f2[i + 1]) | (at(3) & f0[i + 2]) |
                            (at(4) & f2[i + 2]) | (at(5) & f0[i + 3]) | (at(6) & f1[i + 3]) | (at(7) & f2[i + 3]);
        out[i] = static_cast<std::uint8_t>((same <= 2) & (dark < 0) & (bright >= 8) & flatEnd);
    }
}

}  // namespace

void AntialiasedRun(const Window& a, const Window& b, int x0, int n, std::uint8_t* aa) {
    const int end = x0 + n;
    int x = x0;
    // Pixels without 8 neighbours take the one-pixel test.
    const int innerEnd = a.rows[1] && a.rows[3] ? std::min(end, a.width - 1) : x0;
    for (; x < end && (x < 1 || x >= innerEnd); ++x) aa[x - x0] = IsAntialiased(a, b, x);
    if (x >= innerEnd) return;
    Staged sa, sb;
    std::uint8_t flat[3][kStaged];
    std::uint8_t inA[kBlock], inB[kBlock];
    for (; x < innerEnd; x += kBlock) {
        Stage(a, x, sa);
        Stage(b, x, sb);
        FlatInBoth(a, b, x, sa, sb, flat);
        SlopeToFlatBlock(sa, flat, inA);
        SlopeToFlatBlock(sb, flat, inB);
        const int m = std::min(kBlock, innerEnd - x);
        for (int i = 0; i < m; ++i) aa[x - x0 + i] = inA[i] | inB[i];
    }
    for (x = innerEnd; x < end; ++x) aa[x - x0] = IsAntialiased(a, b, x);
}

}  // namespace duvo::antialias
