// Verdicts that mean what people see: every rule with a case that passes
// only because of it, a red or black pixel never silently equal to black or
// white, anti-aliased edges counted apart, and the difference pictures that
// show it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_fixture.h"
#include "reference/png_spng.h"

namespace {

using namespace clitest;

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

TEST_F(CompareTool, EveryRuleHasAPairThatPassesOnlyWithIt) {
    // 30 x 30 gray pictures; the right one differs by what the rule forgives.
    const auto base = Solid("base.bmp", 30, 30, 0x808080);
    const auto slightly = Solid("slightly.bmp", 30, 30, 0x838383);  // each channel 3 more
    // An edge anti-aliased one way, then half a pixel further: only the grey
    // edge pixels differ.
    const auto edgeA = Picture("edge-a.bmp", 30, 30, [](int x, int) -> duvo::TColor {
        return x < 15 ? 0x000000 : x == 15 ? 0x808080 : 0xFFFFFF;
    });
    const auto edgeB = Picture("edge-b.bmp", 30, 30, [](int x, int) -> duvo::TColor {
        return x < 15 ? 0x000000 : x == 15 ? 0x404040 : 0xFFFFFF;
    });
    const auto dots = Picture("dots.bmp", 30, 30, [](int x, int y) -> duvo::TColor {
        return (x % 10 == 5 && y % 10 == 5) ? 0x000000 : 0x808080;
    });
    const struct {
        const char* what;
        std::string left, right;
        std::vector<std::string> options;
        int nonMatching, antialiased;
    } rows[] = {
        {"a threshold forgives a small change of color", base, slightly, {"--threshold", "0.05"}, 0, 0},
        {"a channel tolerance forgives it too", base, slightly, {"--channel-tolerance", "3"}, 0, 0},
        {"one below is too little", base, slightly, {"--channel-tolerance", "2"}, 900, 0},
        {"anti-aliasing forgives a moved edge", edgeA, edgeB, {"--antialiasing"}, 0, 30},
        {"scattered dots pass a region limit", base, dots, {"--max-region-pixels", "1"}, 9, 0},
    };
    for (const auto& row : rows) {
        const Outcome without = Run({"--json", row.left, row.right});
        EXPECT_EQ(without.status, 1) << row.what << ": the pair must differ without the option";
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--json", row.left, row.right});
        const Outcome with = Run(args);
        const Json j = Parse(with);
        EXPECT_EQ(j["nonMatchingPixels"].Number(), row.nonMatching) << row.what;
        EXPECT_EQ(j["antialiasedPixels"].Number(), row.antialiased) << row.what;
        EXPECT_EQ(with.status, row.nonMatching == 0 || row.options[0] == "--max-region-pixels" ? 0 : 1) << row.what;
        // The figures are those of the packed colors whatever the rule.
        EXPECT_EQ(j["counts"][100].Number(), Parse(without)["counts"][100].Number()) << row.what;
    }
    // The text report counts the anti-aliased pixels and says they decided.
    const Outcome text = Run({"--antialiasing", edgeA, edgeB});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("\nAnti-aliased pixels: 30\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nResult: the same (every pixel matches but anti-aliasing)\n"), std::string::npos)
        << text.out;
    EXPECT_EQ(Run({edgeA, edgeB}).out.find("Anti-aliased pixels:"), std::string::npos);
}

// The threshold reaches 1 (black against white), and even there the
// brightest pairs still differ: green against black is 1.139.
TEST_F(CompareTool, AThresholdOfOneIsLegalAndCanStillFail) {
    const auto black = Solid("black.bmp", 30, 30, 0x000000);
    const auto white = Solid("white.bmp", 30, 30, 0xFFFFFF);
    const auto green = Solid("green.bmp", 30, 30, 0x00FF00);
    const struct {
        const char* what;
        std::string other;
        int status;
    } rows[] = {
        {"black against white is at 1", white, 0},
        {"green against black is beyond it", green, 1},
    };
    for (const auto& row : rows) {
        const Outcome o = Run({"--json", "--threshold", "1", black, row.other});
        EXPECT_EQ(o.status, row.status) << row.what << "\n" << o.err;
        EXPECT_EQ(Parse(o)["rule"]["threshold"].Number(), 1) << row.what;
    }
}

TEST_F(CompareTool, NoLegalRuleLetsRedMatchBlackOrBlackMatchWhite) {
    // Blocks of 20 x 20 such pixels on a flat ground, so that no pixel of
    // them can pass for anti-aliasing.
    const auto blackOnGray = Picture("black.bmp", 40, 40, [](int x, int y) -> duvo::TColor {
        return x >= 10 && x < 30 && y >= 10 && y < 30 ? 0x000000 : 0x808080;
    });
    const auto redOnGray = Picture("red.bmp", 40, 40, [](int x, int y) -> duvo::TColor {
        return x >= 10 && x < 30 && y >= 10 && y < 30 ? 0x0000FF : 0x808080;
    });
    const auto whiteOnGray = Picture("white.bmp", 40, 40, [](int x, int y) -> duvo::TColor {
        return x >= 10 && x < 30 && y >= 10 && y < 30 ? 0xFFFFFF : 0x808080;
    });
    std::vector<std::vector<std::string>> rules;
    for (const char* t : {"0", "0.1", "0.25", "0.4", "0.5"}) rules.push_back({"--threshold", t});
    for (const char* n : {"0", "100", "200", "254"}) rules.push_back({"--channel-tolerance", n});
    rules.push_back({"--threshold", "0.5", "--channel-tolerance", "254"});
    for (auto rule : std::vector(rules)) {
        rule.push_back("--antialiasing");
        rules.push_back(rule);
    }
    for (const auto& rule : rules)
        for (const auto& [other, what] :
             {std::pair{redOnGray, "red against black"}, {whiteOnGray, "white against black"}}) {
            std::vector<std::string> args = rule;
            args.insert(args.end(), {"--json", blackOnGray, other});
            const Outcome o = Run(args);
            std::string shown;
            for (const auto& a : rule) shown += a + " ";
            EXPECT_EQ(o.status, 1) << shown << what;
            EXPECT_GE(Parse(o)["nonMatchingPixels"].Number(), 400) << shown << what;
        }
}

TEST_F(CompareTool, DifferencePicturesShowWhatChanged) {
    // Left black on white; the right picture has one square darker, one
    // brighter, an anti-aliased edge moved, and an ignored area.
    const auto left = Picture("l.bmp", 40, 20, [](int x, int y) -> duvo::TColor {
        if (x < 4 && y < 4) return 0xC0C0C0;
        if (x >= 10 && x < 14 && y < 4) return 0x404040;
        return x < 25 ? 0xFFFFFF : x == 25 ? 0x808080 : 0x000000;
    });
    const auto right = Picture("r.bmp", 40, 20, [](int x, int y) -> duvo::TColor {
        if (x < 4 && y < 4) return 0x000000;                       // darker
        if (x >= 10 && x < 14 && y < 4) return 0xFFFFFF;           // brighter
        return x < 25 ? 0xFFFFFF : x == 25 ? 0x404040 : 0x000000;  // the edge's grey moved
    });
    const struct {
        std::vector<std::string> options;
        int x, y;
        std::array<int, 4> rgba;  // alpha -1: an RGB picture
    } rows[] = {
        {{"--diff-style", "highlight"}, 1, 1, {255, 0, 0, -1}},
        {{"--diff-style", "highlight"}, 11, 1, {0, 192, 0, -1}},
        {{"--diff-style", "highlight", "--antialiasing"}, 25, 10, {255, 224, 0, -1}},
        {{"--diff-style", "highlight", "--diff-color", "0000FF,FF00FF"}, 1, 1, {0, 0, 255, -1}},
        {{"--diff-style", "highlight", "--diff-color", "0000FF,FF00FF"}, 11, 1, {255, 0, 255, -1}},
        {{"--diff-style", "highlight", "--antialiasing", "--aa-color", "#123456"}, 25, 10, {0x12, 0x34, 0x56, -1}},
        {{"--diff-style", "mask"}, 1, 1, {255, 0, 0, 255}},
        {{"--diff-style", "mask"}, 30, 15, {0, 0, 0, 0}},
        {{"--diff-style", "mask", "--antialiasing"}, 25, 10, {0, 0, 0, 0}},
        // The darker square ignored: hatched in two greys in the highlight
        // picture, never red, and transparent in the mask picture.
        {{"--diff-style", "highlight", "--ignore", "0,0,4,4"}, 1, 1, {0xE4, 0xE4, 0xE4, -1}},
        {{"--diff-style", "highlight", "--ignore", "0,0,4,4"}, 3, 2, {0xC8, 0xC8, 0xC8, -1}},
        {{"--diff-style", "mask", "--ignore", "0,0,4,4"}, 1, 1, {0, 0, 0, 0}},
        {{"--diff-style", "mask", "--ignore", "0,0,4,4"}, 11, 1, {0, 192, 0, 255}},
        {{}, 30, 15, {255, 255, 255, -1}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--diff", Path("d.png"), left, right});
        const Outcome o = Run(args);
        ASSERT_NE(o.status, 2) << o.err;
        const std::string bytes = ReadFile(Path("d.png"));
        const duvo::PngDecoded png =
            duvo::DecodePng({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, duvo::kDefaultLimits);
        ASSERT_EQ(png.colorType, row.rgba[3] < 0 ? 2 : 6);
        const std::uint8_t* p = png.picture.raster->Row(row.y) + 3 * row.x;
        const std::size_t at = static_cast<std::size_t>(row.y) * 40 + row.x;
        if (row.rgba[3] == 0) {
            EXPECT_EQ(png.side.alpha[at], 0) << row.x << "," << row.y;
            continue;
        }
        EXPECT_EQ((std::array<int, 3>{p[2], p[1], p[0]}), (std::array<int, 3>{row.rgba[0], row.rgba[1], row.rgba[2]}))
            << row.x << "," << row.y << " " << (row.options.empty() ? "duvo" : row.options[1]);
        if (row.rgba[3] > 0) {
            EXPECT_EQ(png.side.alpha[at], 255);
        }
    }
    // Unchanged pixels of a highlight picture are the left one faded to light grey.
    Run({"--diff-style", "highlight", "--diff", Path("h.png"), left, right});
    const std::string bytes = ReadFile(Path("h.png"));
    const duvo::PngDecoded png =
        duvo::DecodePng({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, duvo::kDefaultLimits);
    const std::uint8_t* black = png.picture.raster->Row(15) + 3 * 35;
    const std::uint8_t* white = png.picture.raster->Row(15) + 3 * 5;
    EXPECT_GE(black[0], 220);
    EXPECT_LT(black[0], white[0]);
    EXPECT_EQ(white[0], 255);
}

}  // namespace
