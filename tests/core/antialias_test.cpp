// The anti-aliasing detector on drawn pictures, and against a plain
// whole-picture transcription of its rule on random ones.
#include "compare/antialias.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace duvo::antialias {
namespace {

// k black, w white, g mid grey, d dark grey, l light grey, r red, b blue.
std::uint32_t ColorOf(char c) {
    switch (c) {
        case 'k':
            return 0x000000;
        case 'w':
            return 0xFFFFFF;
        case 'g':
            return 0x808080;
        case 'd':
            return 0x404040;
        case 'l':
            return 0xC0C0C0;
        case 'r':
            return 0x0000FF;
        case 'b':
            return 0xFF0000;
    }
    ADD_FAILURE() << "no color for '" << c << "'";
    return 0;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;

    const std::uint32_t* Row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * width; }
    std::uint32_t At(int x, int y) const { return Row(y)[x]; }
};

Picture Draw(const std::vector<std::string>& art) {
    Picture p;
    p.height = static_cast<int>(art.size());
    p.width = static_cast<int>(art[0].size());
    for (const std::string& row : art)
        for (char c : row) p.pixels.push_back(ColorOf(c));
    return p;
}

Window WindowAt(const Picture& p, int y) {
    Window w{{}, p.width};
    for (int k = 0; k < 5; ++k) {
        const int row = y - 2 + k;
        w.rows[k] = row >= 0 && row < p.height ? p.Row(row) : nullptr;
    }
    return w;
}

bool Detect(const Picture& a, const Picture& b, int x, int y) {
    return IsAntialiased(WindowAt(a, y), WindowAt(b, y), x);
}

struct Case {
    const char* what;
    std::vector<std::string> a, b;
    int x, y;
    bool antialiased;
};

TEST(Antialias, DrawnEdgesLinesAndChanges) {
    const Case cases[] = {
        {"a black/white edge smoothed by one grey column, against the hard edge",
         {"kkgww", "kkgww", "kkgww", "kkgww", "kkgww"},
         {"kkwww", "kkwww", "kkwww", "kkwww", "kkwww"},
         2,
         2,
         true},
        {"the same edge drawn at another sub-pixel offset: another grey",
         {"kkgww", "kkgww", "kkgww", "kkgww", "kkgww"},
         {"kkdww", "kkdww", "kkdww", "kkdww", "kkdww"},
         2,
         2,
         true},
        {"a 1-pixel line with a grey fringe: the fringe ends on white, flat in both",
         {"wwgkww", "wwgkww", "wwgkww", "wwgkww", "wwgkww"},
         {"wwwkww", "wwwkww", "wwwkww", "wwwkww", "wwwkww"},
         2,
         2,
         true},
        {"a 1-pixel line moved by a whole pixel: where it was",
         {"wwkwww", "wwkwww", "wwkwww", "wwkwww", "wwkwww"},
         {"wwwkww", "wwwkww", "wwwkww", "wwwkww", "wwwkww"},
         2,
         2,
         false},
        {"a 1-pixel line moved by a whole pixel: where it is now",
         {"wwkwww", "wwkwww", "wwkwww", "wwkwww", "wwkwww"},
         {"wwwkww", "wwwkww", "wwwkww", "wwwkww", "wwwkww"},
         3,
         2,
         false},
        {"a 2-pixel line with a grey fringe, against the sharp line",
         {"wgkkgw", "wgkkgw", "wgkkgw", "wgkkgw", "wgkkgw"},
         {"wwkkww", "wwkkww", "wwkkww", "wwkkww", "wwkkww"},
         1,
         2,
         true},
        {"a 2-pixel line moved by a whole pixel",
         {"wwkkww", "wwkkww", "wwkkww", "wwkkww", "wwkkww"},
         {"wkkwww", "wkkwww", "wkkwww", "wkkwww", "wkkwww"},
         1,
         2,
         false},
        {"a red 3x3 block touching a smoothed edge: its middle-left pixel",
         {"kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww"},
         {"kkgwwww", "kkgwwww", "kkgrrrw", "kkgrrrw", "kkgrrrw", "kkgwwww", "kkgwwww"},
         3,
         3,
         false},
        {"the same block: its top-left corner, three red neighbours",
         {"kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww", "kkgwwww"},
         {"kkgwwww", "kkgwwww", "kkgrrrw", "kkgrrrw", "kkgrrrw", "kkgwwww", "kkgwwww"},
         3,
         2,
         false},
        {"a black dot beside a smoothed edge: darker than all around it",
         {"kkgww", "kkgww", "kkgww", "kkgww", "kkgww"},
         {"kkgww", "kkgww", "kkgkw", "kkgww", "kkgww"},
         3,
         2,
         false},
        {"a grey dot on a hard edge looks exactly like anti-aliasing (known limit)",
         {"kkwww", "kkwww", "kkwww", "kkwww", "kkwww"},
         {"kkwww", "kkwww", "kkgww", "kkwww", "kkwww"},
         2,
         2,
         true},
        {"flat grey against flat white",
         {"ggggg", "ggggg", "ggggg", "ggggg", "ggggg"},
         {"wwwww", "wwwww", "wwwww", "wwwww", "wwwww"},
         2,
         2,
         false},
        {"flat grey against flat white, in a corner",
         {"ggggg", "ggggg", "ggggg", "ggggg", "ggggg"},
         {"wwwww", "wwwww", "wwwww", "wwwww", "wwwww"},
         0,
         0,
         false},
        {"a smoothed horizontal edge at the left border",
         {"kkkkk", "kkkkk", "ggggg", "wwwww", "wwwww"},
         {"kkkkk", "kkkkk", "wwwww", "wwwww", "wwwww"},
         0,
         2,
         true},
        {"a smoothed horizontal edge at the right border",
         {"kkkkk", "kkkkk", "ggggg", "wwwww", "wwwww"},
         {"kkkkk", "kkkkk", "wwwww", "wwwww", "wwwww"},
         4,
         2,
         true},
        {"a smoothed vertical edge at the top border",
         {"kkgww", "kkgww", "kkgww"},
         {"kkwww", "kkwww", "kkwww"},
         2,
         0,
         true},
        {"a smoothed vertical edge at the bottom border",
         {"kkgww", "kkgww", "kkgww"},
         {"kkwww", "kkwww", "kkwww"},
         2,
         2,
         true},
        {"a smoothed diagonal in the top-left corner",
         {"gkkk", "wgkk", "wwgk", "wwwg"},
         {"wkkk", "wwkk", "wwwk", "wwww"},
         0,
         0,
         true},
        {"at the border two equal neighbours and the border make three: not on a slope",
         {"gkkkk", "gkkkk", "gkwww", "gwwww", "gwwww"},
         {"gkkkk", "gkkkk", "wkwww", "gwwww", "gwwww"},
         0,
         2,
         false},
        {"the same two equal neighbours one column in: on a slope",
         {"kgkkkk", "kgkkkk", "kgkwww", "kgwwww", "kgwwww"},
         {"kgkkkk", "kgkkkk", "kwkwww", "kgwwww", "kgwwww"},
         1,
         2,
         true},
        {"one picture one pixel high: the rows above and below are missing", {"kkgww"}, {"kkwww"}, 2, 0, false},
    };
    for (const Case& c : cases) {
        const Picture a = Draw(c.a), b = Draw(c.b);
        ASSERT_NE(a.At(c.x, c.y), b.At(c.x, c.y)) << c.what << ": the pixel must differ";
        EXPECT_EQ(Detect(a, b, c.x, c.y), c.antialiased) << c.what;
        EXPECT_EQ(Detect(b, a, c.x, c.y), c.antialiased) << c.what << ", pictures swapped";
        std::vector<std::uint8_t> run(a.width);
        AntialiasedRun(WindowAt(a, c.y), WindowAt(b, c.y), 0, a.width, run.data());
        EXPECT_EQ(run[c.x], c.antialiased) << c.what << ", as a run";
    }
}

TEST(Antialias, LumaOrdersAsTheRec601Weights) {
    // The fixed-point weights must order colors as the real-valued ones do,
    // and tell every two different colors apart.
    std::mt19937 rng(1);
    auto real = [](std::uint32_t c) {
        return 0.29889531 * (c & 0xFF) + 0.58662247 * ((c >> 8) & 0xFF) + 0.11448223 * ((c >> 16) & 0xFF);
    };
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t a = rng() & 0xFFFFFF, b = rng() & 0xFFFFFF;
        // The rounded weights are off by up to 255 · 1.5 / 2^18 = 1.5e-3.
        if (std::abs(real(a) - real(b)) > 1.5e-3) {
            ASSERT_EQ(Luma(a) < Luma(b), real(a) < real(b)) << std::hex << a << " " << b;
        }
    }
    // Two colors have the same luma when wr·dr + wg·dg + wb·db = 0 for
    // channel differences in -255..255; no such (dr, dg, db) but 0 may exist.
    const std::int64_t wr = Luma(0x000001), wg = Luma(0x000100), wb = Luma(0x010000);
    for (int dr = -255; dr <= 255; ++dr)
        for (int dg = -255; dg <= 255; ++dg) {
            const std::int64_t rest = wr * dr + wg * dg;
            if (rest % wb == 0 && rest / wb >= -255 && rest / wb <= 255 && (dr || dg)) {
                ADD_FAILURE() << "same luma for " << dr << " " << dg << " " << -rest / wb;
            }
        }
    EXPECT_EQ(Luma(0), 0);
    EXPECT_GT(Luma(0xFFFFFF), Luma(0xFEFFFF));
}

// Never silently equal: a changed block of 20 x 20 is a change, wherever
// it stands, its border and corners included.
TEST(Antialias, NoPixelOfALargeChangedBlockIsAntialiasing) {
    struct Scene {
        const char* what;
        std::uint32_t background, block;
    } scenes[] = {{"red on black", 0x000000, 0x0000FF}, {"black on white", 0xFFFFFF, 0x000000}};
    constexpr int kSide = 32, kBlock = 20;
    for (const Scene& s : scenes) {
        for (int bx : {0, 5, kSide - kBlock})
            for (int by : {0, 7, kSide - kBlock}) {
                Picture a{kSide, kSide, std::vector<std::uint32_t>(kSide * kSide, s.background)};
                Picture b = a;
                for (int y = by; y < by + kBlock; ++y)
                    for (int x = bx; x < bx + kBlock; ++x) b.pixels[y * kSide + x] = s.block;
                std::vector<std::uint8_t> run(kSide);
                for (int y = by; y < by + kBlock; ++y) {
                    AntialiasedRun(WindowAt(a, y), WindowAt(b, y), 0, kSide, run.data());
                    for (int x = bx; x < bx + kBlock; ++x) {
                        ASSERT_FALSE(Detect(a, b, x, y))
                            << s.what << " block at " << bx << "," << by << " pixel " << x << "," << y;
                        ASSERT_FALSE(run[x]) << s.what << " block at " << bx << "," << by << " pixel " << x << "," << y;
                    }
                }
            }
    }
}

// The rule read straight off its description, on whole pictures with
// clamped coordinates.
bool ManySiblings(const Picture& p, int x, int y) {
    int same = x == 0 || y == 0 || x == p.width - 1 || y == p.height - 1;
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy) {
            const int nx = x + dx, ny = y + dy;
            if ((dx || dy) && nx >= 0 && ny >= 0 && nx < p.width && ny < p.height) same += p.At(nx, ny) == p.At(x, y);
        }
    return same > 2;
}

bool SlopeToFlat(const Picture& p, const Picture& q, int x, int y) {
    int same = x == 0 || y == 0 || x == p.width - 1 || y == p.height - 1;
    double darkest = 0, brightest = 0;
    int dx0 = 0, dy0 = 0, bx0 = 0, by0 = 0;
    auto luma = [](std::uint32_t c) {
        return 0.29889531 * (c & 0xFF) + 0.58662247 * ((c >> 8) & 0xFF) + 0.11448223 * ((c >> 16) & 0xFF);
    };
    for (int nx = x - 1; nx <= x + 1; ++nx)
        for (int ny = y - 1; ny <= y + 1; ++ny) {
            if ((nx == x && ny == y) || nx < 0 || ny < 0 || nx >= p.width || ny >= p.height) continue;
            if (p.At(nx, ny) == p.At(x, y)) {
                ++same;
                continue;
            }
            const double d = luma(p.At(nx, ny)) - luma(p.At(x, y));
            if (d < darkest) {
                darkest = d;
                dx0 = nx;
                dy0 = ny;
            } else if (d > brightest) {
                brightest = d;
                bx0 = nx;
                by0 = ny;
            }
        }
    if (same > 2 || darkest == 0 || brightest == 0) return false;
    return (ManySiblings(p, dx0, dy0) && ManySiblings(q, dx0, dy0)) ||
           (ManySiblings(p, bx0, by0) && ManySiblings(q, bx0, by0));
}

TEST(Antialias, AgreesWithTheWholePictureRuleOnRandomPictures) {
    std::mt19937 rng(9);
    // Few colors, so that equal neighbours, slopes and flat areas all occur.
    const std::uint32_t palette[] = {0x000000, 0x404040, 0x808080, 0xFFFFFF, 0x0000FF};
    int antialiased = 0, tested = 0;
    for (int round = 0; round < 400; ++round) {
        const int w = 1 + static_cast<int>(rng() % 9), h = 1 + static_cast<int>(rng() % 9);
        Picture a{w, h, {}}, b;
        for (int i = 0; i < w * h; ++i) a.pixels.push_back(palette[rng() % (round % 2 ? 3 : 5)]);
        b = a;
        for (auto& px : b.pixels)
            if (rng() % 4 == 0) px = palette[rng() % 5];
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (a.At(x, y) == b.At(x, y)) continue;
                const bool expected = SlopeToFlat(a, b, x, y) || SlopeToFlat(b, a, x, y);
                ASSERT_EQ(Detect(a, b, x, y), expected) << w << "x" << h << " at " << x << "," << y;
                antialiased += expected;
                ++tested;
            }
    }
    // The pictures must exercise both answers.
    EXPECT_GT(antialiased, tested / 50);
    EXPECT_LT(antialiased, tested);
}

// The run version against the one-pixel test, every pixel of every row:
// widths across the block size, runs that start and end anywhere, pictures
// of few colors (slopes, ties, flat areas) and of many.
TEST(Antialias, RunsAgreeWithTheOnePixelTest) {
    std::mt19937 rng(12);
    const std::uint32_t palette[] = {0x000000, 0x404040, 0x808080, 0xFFFFFF, 0x0000FF};
    int antialiased = 0;
    for (int round = 0; round < 60; ++round) {
        const int w = round < 10 ? 1 + round : 1 + static_cast<int>(rng() % 700);
        const int h = 1 + static_cast<int>(rng() % 7);
        const bool few = round % 3 != 2;
        Picture a{w, h, {}};
        for (int i = 0; i < w * h; ++i) a.pixels.push_back(few ? palette[rng() % 5] : (rng() & 0xFFFFFF));
        Picture b = a;
        for (auto& px : b.pixels)
            if (rng() % 3 == 0) px = few ? palette[rng() % 5] : (rng() & 0xFFFFFF);
        std::vector<std::uint8_t> run(w);
        for (int y = 0; y < h; ++y) {
            const int x0 = static_cast<int>(rng() % 3) == 0 ? static_cast<int>(rng() % w) : 0;
            const int n = x0 + 1 + static_cast<int>(rng() % (w - x0)) == w || rng() % 2
                              ? w - x0
                              : 1 + static_cast<int>(rng() % (w - x0));
            AntialiasedRun(WindowAt(a, y), WindowAt(b, y), x0, n, run.data());
            for (int x = x0; x < x0 + n; ++x) {
                ASSERT_EQ(run[x - x0], Detect(a, b, x, y)) << w << "x" << h << " at " << x << "," << y;
                antialiased += run[x - x0];
            }
        }
    }
    EXPECT_GT(antialiased, 100);
}

}  // namespace
}  // namespace duvo::antialias
