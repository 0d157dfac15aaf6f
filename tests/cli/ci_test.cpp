// duvo-compare for scripts and CI: PNG input with its alpha and 16-bit
// samples, tolerances, ignored areas, changed regions, the JSON report
// against its document, the JSON error objects and the usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "compare/compare.h"
#include "platform/raster.h"
#include "png_builder.h"
#include "reference/png_spng.h"

namespace {

using namespace clitest;
using duvo::test::PngRecipe;

PngRecipe Recipe(int width, int height, int depth, int colorType, std::vector<std::uint16_t> samples) {
    PngRecipe r;
    r.width = width;
    r.height = height;
    r.bitDepth = depth;
    r.colorType = colorType;
    r.samples = std::move(samples);
    return r;
}

// n pixels of one RGBA sample set.
std::vector<std::uint16_t> Repeat(int n, std::vector<std::uint16_t> pixel) {
    std::vector<std::uint16_t> out;
    for (int i = 0; i < n; ++i) out.insert(out.end(), pixel.begin(), pixel.end());
    return out;
}

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

// ---- PNG: alpha and the bits below 8 ---------------------------------------------------------

TEST_F(CompareTool, PngAlphaAndDeepSamplesAreNeverIdenticalWhenTheyDiffer) {
    const int n = 12;  // 4 x 3 pixels
    // White pixels that differ only in alpha compose to the same white.
    const auto opaqueWhite = Png("opaque.png", Recipe(4, 3, 8, 6, Repeat(n, {255, 255, 255, 255})));
    const auto clearWhite = Png("clear.png", Recipe(4, 3, 8, 6, Repeat(n, {255, 255, 255, 0})));
    const auto clearBlack = Png("clear-black.png", Recipe(4, 3, 8, 6, Repeat(n, {0, 0, 0, 0})));
    // 16-bit samples that round to the same 8 bits.
    const auto deepA = Png("deep-a.png", Recipe(4, 3, 16, 2, Repeat(n, {0x1200, 0x3434, 0x5656})));
    const auto deepB = Png("deep-b.png", Recipe(4, 3, 16, 2, Repeat(n, {0x1201, 0x3434, 0x5656})));
    // An 8-bit picture is its 16-bit twin when every sample is v * 257.
    const auto gray8 = Png("gray8.png", Recipe(4, 3, 8, 0, Repeat(n, {0x34})));
    const auto gray16 = Png("gray16.png", Recipe(4, 3, 16, 0, Repeat(n, {0x3434})));
    const auto whiteBmp = Solid("white.bmp", 4, 3, 0xFFFFFF);
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        int alphaDifferent, belowEightBits, nonMatching;
    } rows[] = {
        {"alpha only: the colors are equal after composing", {opaqueWhite, clearWhite}, 1, n, 0, n},
        {"alpha only, even with a channel tolerance",
         {opaqueWhite, clearWhite, "--channel-tolerance", "50"},
         1,
         n,
         0,
         n},
        {"alpha only, even with a threshold", {opaqueWhite, clearWhite, "--threshold", "0.5"}, 1, n, 0, n},
        {"fully transparent pixels are equal whatever their color", {clearWhite, clearBlack}, 0, 0, 0, 0},
        {"an opaque PNG against the same BMP", {opaqueWhite, whiteBmp}, 0, 0, 0, 0},
        {"a transparent PNG against an opaque BMP differs in alpha", {clearWhite, whiteBmp}, 1, n, 0, n},
        {"below 8 bits only", {deepA, deepB}, 1, 0, n, n},
        {"below 8 bits matches by a color distance", {deepA, deepB, "--channel-tolerance", "0"}, 0, 0, n, 0},
        {"8-bit and 16-bit twins are identical", {gray8, gray16}, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.push_back("--json");
        const Outcome o = Run(args);
        ASSERT_EQ(o.status, row.status) << row.what << "\n" << o.err << o.out;
        const Json j = Parse(o);
        EXPECT_EQ(j["alphaDifferentPixels"].Number(), row.alphaDifferent) << row.what;
        EXPECT_EQ(j["belowEightBitPixels"].Number(), row.belowEightBits) << row.what;
        EXPECT_EQ(j["nonMatchingPixels"].Number(), row.nonMatching) << row.what;
        EXPECT_EQ(j["identical"].Bool(), row.alphaDifferent + row.belowEightBits == 0) << row.what;
        // The figures are of the colors alone.
        EXPECT_EQ(j["counts"][100].Number(), n) << row.what;
    }
    const Outcome text = Run({deepA, deepB});
    EXPECT_NE(text.out.find("Differ only below 8 bits: 12 pixels"), std::string::npos) << text.out;
    const Outcome alpha = Run({opaqueWhite, clearWhite});
    EXPECT_NE(alpha.out.find("Alpha differs: 12 pixels"), std::string::npos) << alpha.out;
}

// ---- tolerances -----------------------------------------------------------------------------

TEST_F(CompareTool, RulesAndAcceptedCountsDecideTheExitStatusButNotTheFigures) {
    // Ten pixels: two off by one in red, one black against white.
    const auto a = Solid("a.bmp", 10, 1, 0x000000);
    const auto b = Picture("b.bmp", 10, 1, [](int x, int) -> duvo::TColor {
        return x == 0 ? 0xFFFFFF : x < 3 ? 0x000001 : 0x000000;
    });
    const struct {
        const char* what;
        std::vector<std::string> options;
        int status;
        int nonMatching, accepted;
    } rows[] = {
        {"strict by default", {}, 1, 3, 0},
        {"a channel tolerance of one lets the red ones match", {"--channel-tolerance", "1"}, 1, 1, 0},
        {"and one accepted pixel takes the rest", {"--channel-tolerance", "1", "--max-changed", "1"}, 0, 1, 1},
        {"a small threshold lets the red ones match too", {"--threshold", "0.05"}, 1, 1, 0},
        {"half of the distance scale still leaves black against white", {"--threshold", "0.5"}, 1, 1, 0},
        {"both rules must hold", {"--threshold", "0.5", "--channel-tolerance", "0"}, 1, 3, 0},
        {"two accepted are one too few", {"--max-changed", "2"}, 1, 3, 2},
        {"three accepted are enough", {"--max-changed", "3"}, 0, 3, 3},
        {"20 % of ten pixels is two", {"--max-changed-share", "20"}, 1, 3, 2},
        {"30 % is three", {"--max-changed-share", "30"}, 0, 3, 3},
        {"the smaller of both limits applies", {"--max-changed", "5", "--max-changed-share", "20"}, 1, 3, 2},
    };
    const Outcome strict = Run({"--json", a, b});
    for (const auto& row : rows) {
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--json", a, b});
        const Outcome o = Run(args);
        ASSERT_EQ(o.status, row.status) << row.what << "\n" << o.err;
        const Json j = Parse(o);
        EXPECT_EQ(j["nonMatchingPixels"].Number(), row.nonMatching) << row.what;
        EXPECT_EQ(j["rule"]["accepted"].Number(), row.accepted) << row.what;
        EXPECT_EQ(j["withinTolerance"].Bool(), row.status == 0) << row.what;
        EXPECT_FALSE(j["identical"].Bool()) << row.what;
        // The same figures, histogram and counts as the strict comparison.
        const Json s = Parse(strict);
        for (std::size_t k = 0; k < 101; ++k) EXPECT_EQ(j["counts"][k].Number(), s["counts"][k].Number()) << row.what;
        EXPECT_EQ(j["figures"][0]["text"].String(), "70 %") << row.what;
    }
    // The values applied are echoed in the text report, with the reason.
    const Outcome text = Run({"--channel-tolerance", "1", "--max-changed-share", "30", a, b});
    EXPECT_NE(text.out.find("Rule: no channel more than 1 apart; non-matching pixels accepted: 3 (30 %)"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("Non-matching pixels: 1\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Result: the same (1 non-matching pixel <= 3 accepted)\n"), std::string::npos) << text.out;
    // Pictures of different sizes differ whatever is accepted.
    const auto c = Solid("c.bmp", 11, 1, 0x000000);
    EXPECT_EQ(Run({"--max-changed-share", "99", a, c}).status, 1);
}

// ---- ignored areas --------------------------------------------------------------------------

TEST_F(CompareTool, IgnoredPixelsLeaveTheCountsAndNeverMakeADifference) {
    // 8 x 6 pictures that differ in one pixel at (6, 4) and one at (0, 0).
    const auto a = Solid("a.bmp", 8, 6, 0x102030);
    const auto b = Picture("b.bmp", 8, 6, [](int x, int y) -> duvo::TColor {
        return (x == 6 && y == 4) || (x == 0 && y == 0) ? 0xFFFFFF : 0x102030;
    });
    // Masks: black where ignored.
    const auto maskBoth = Picture(
        "mask.bmp", 8, 6,
        [](int x, int y) -> duvo::TColor { return (x >= 5 && y >= 3) || (x == 0 && y == 0) ? 0x000000 : 0xFFFFFF; },
        duvo::pk8Bit);
    PngRecipe maskPng = Recipe(8, 6, 1, 0, std::vector<std::uint16_t>(48, 1));
    maskPng.samples[0] = 0;
    maskPng.samples[4 * 8 + 6] = 0;
    const auto maskBothPng = Png("mask.png", maskPng);
    const struct {
        const char* what;
        std::vector<std::string> options;
        int status;
        int ignored, regions;
    } rows[] = {
        {"nothing ignored", {}, 1, 0, 2},
        {"one rectangle hides one change", {"--ignore", "6,4,1,1"}, 1, 1, 1},
        {"two rectangles, one reaching outside and cut", {"--ignore", "6,4,1,1", "--ignore", "-5,-5,6,6"}, 0, 2, 0},
        {"a rectangle wholly outside hides nothing", {"--ignore", "8,0,5,5"}, 1, 0, 2},
        {"a mask hides both", {"--mask", maskBoth}, 0, 10, 0},
        {"a PNG mask hides both", {"--mask", maskBothPng}, 0, 2, 0},
        {"mask and rectangles together", {"--mask", maskBothPng, "--ignore", "0,0,8,1"}, 0, 9, 0},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--json", a, b});
        const Outcome o = Run(args);
        ASSERT_EQ(o.status, row.status) << row.what << "\n" << o.err;
        const Json j = Parse(o);
        EXPECT_EQ(j["ignored"]["pixels"].Number(), row.ignored) << row.what;
        EXPECT_EQ(j["countedPixels"].Number(), 48 - row.ignored) << row.what;
        EXPECT_EQ(j["regions"]["count"].Number(), row.regions) << row.what;
        // Ignored pixels are in no bin: the counts add up to the counted pixels.
        long double sum = 0;
        for (std::size_t k = 0; k < 101; ++k) sum += j["counts"][k].Number();
        EXPECT_EQ(sum, 48 - row.ignored) << row.what;
    }
    // The difference picture shows ignored pixels in one light grey.
    const std::string out = Path("diff.png");
    ASSERT_EQ(Run({"--ignore", "6,4,2,2", a, b, "--diff", out}).status, 1);
    const std::string bytes = ReadFile(out);
    const duvo::PngDecoded diff =
        duvo::DecodePng({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, duvo::kDefaultLimits);
    EXPECT_EQ(diff.picture.raster->GetPixel(6, 4), duvo::kIgnoredColor);
    EXPECT_EQ(diff.picture.raster->GetPixel(7, 5), duvo::kIgnoredColor);
    EXPECT_EQ(diff.picture.raster->GetPixel(1, 0), 0xFFFFFF);
    EXPECT_NE(diff.picture.raster->GetPixel(0, 0), 0xFFFFFF);
    // A mask of another size is an error, not a guess.
    const auto small = Solid("small.bmp", 7, 6, 0xFFFFFF);
    const Outcome wrong = Run({"--json", "--mask", small, a, b});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(Parse(wrong)["error"]["kind"].String(), "mask-size");
    EXPECT_NE(wrong.err.find("The mask is 7 x 6 pixels; the compared area is 8 x 6."), std::string::npos) << wrong.err;
}

// ---- changed regions -------------------------------------------------------------------------

TEST_F(CompareTool, RegionsListTheChangedGroupsLargestFirst) {
    const auto a = Solid("a.bmp", 40, 30, 0x000000);
    // A 5 x 4 blob, a 3 x 3 blob and a diagonal line of 6 pixels.
    const auto b = Picture("b.bmp", 40, 30, [](int x, int y) -> duvo::TColor {
        const bool blob1 = x >= 2 && x < 7 && y >= 3 && y < 7;
        const bool blob2 = x >= 30 && x < 33 && y >= 20 && y < 23;
        const bool line = x >= 10 && x < 16 && y == x;
        return blob1 || blob2 || line ? 0x0000FF : 0x000000;
    });
    const Outcome o = Run({"--json", a, b, "--max-regions", "2"});
    ASSERT_EQ(o.status, 1) << o.err;
    const Json j = Parse(o);
    const Json& g = j["regions"];
    EXPECT_EQ(g["count"].Number(), 3);
    EXPECT_EQ(g["listed"].Number(), 2);
    EXPECT_EQ(g["omitted"].Number(), 1);
    const struct { int x, y, w, h, pixels; } expected[] = {{2, 3, 5, 4, 20}, {30, 20, 3, 3, 9}};
    for (std::size_t i = 0; i < 2; ++i) {
        const Json& r = g["list"][i];
        EXPECT_EQ(r["x"].Number(), expected[i].x) << i;
        EXPECT_EQ(r["y"].Number(), expected[i].y) << i;
        EXPECT_EQ(r["width"].Number(), expected[i].w) << i;
        EXPECT_EQ(r["height"].Number(), expected[i].h) << i;
        EXPECT_EQ(r["pixels"].Number(), expected[i].pixels) << i;
    }
    EXPECT_EQ(g["bounds"]["x"].Number(), 2);
    EXPECT_EQ(g["bounds"]["y"].Number(), 3);
    EXPECT_EQ(g["bounds"]["width"].Number(), 31);
    EXPECT_EQ(g["bounds"]["height"].Number(), 20);
    EXPECT_EQ(g["bounds"]["pixels"].Number(), 35);
    // A gap of 10 joins the line to the first blob.
    EXPECT_EQ(Parse(Run({"--json", a, b, "--region-gap", "10"}))["regions"]["count"].Number(), 2);
    const Outcome text = Run({a, b});
    EXPECT_NE(text.out.find("Changed regions: 3, largest 20 pixels, all within x 2, y 3, 31 x 20\n"), std::string::npos)
        << text.out;
    // Scattered changes pass, a larger region fails, and the report says why.
    EXPECT_EQ(g["largest"].Number(), 20);
    const struct {
        const char* limit;
        int status;
        const char* reason;
    } limits[] = {{"20", 0, "3 regions, largest 20 px <= 20"},
                  {"19", 1, "3 regions, largest 20 px > 19"},
                  {"0", 1, "3 regions, largest 20 px > 0"}};
    for (const auto& l : limits) {
        const Outcome r = Run({"--json", a, b, "--max-region-pixels", l.limit});
        EXPECT_EQ(r.status, l.status) << l.limit;
        EXPECT_EQ(Parse(r)["reason"].String(), l.reason) << l.limit;
    }
    // With a limit of changed pixels too, both must hold.
    EXPECT_EQ(Run({a, b, "--max-region-pixels", "20", "--max-changed", "10"}).status, 1);
    // A region limit as large as the picture could not fail.
    EXPECT_EQ(Run({a, b, "--max-region-pixels", "1200"}).status, 2);
    EXPECT_NE(Run({a, a}).out.find("Changed regions: none\n"), std::string::npos);
}

// ---- JSON: the document, errors, file names ------------------------------------------------------

// The fields a table of docs/json.md lists, from its first column.
std::set<std::string> DocumentedFields(const std::string& section) {
    const std::string doc = ReadFile(DUVO_JSON_DOC);
    const std::size_t start = doc.find(section);
    const std::size_t end = doc.find("\n## ", start + 1);
    const std::string part = doc.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::set<std::string> fields;
    static const std::regex row(R"(\n\| `([^`]+)` \|)");
    for (std::sregex_iterator it(part.begin(), part.end(), row), last; it != last; ++it) fields.insert((*it)[1]);
    return fields;
}

// Every field the report has is documented, and every documented field is
// in the report, or inside an array that is empty in it.
void ExpectDocumented(const std::set<std::string>& got, const std::set<std::string>& documented) {
    for (const std::string& field : got) EXPECT_TRUE(documented.count(field)) << field << " is not documented";
    for (const std::string& field : documented) {
        bool present = got.count(field) > 0;
        // An array row stands for its elements' fields too.
        for (const std::string& g : got) present = present || g.rfind(field + ".", 0) == 0;
        for (std::size_t at = field.find("[]"); !present && at != std::string::npos; at = field.find("[]", at + 2))
            present = got.count(field.substr(0, at + 2)) > 0;
        EXPECT_TRUE(present) << field << " is documented but not in the report";
    }
}

TEST_F(CompareTool, TheReportHasExactlyTheDocumentedFields) {
    const auto a = Png("a.png", Recipe(3, 2, 16, 6, Repeat(6, {1, 2, 3, 65535})));
    const auto b = Solid("b.bmp", 3, 2, 0x00FF00);
    const auto mask = Solid("mask.bmp", 3, 2, 0xFFFFFF);
    // The right picture and the mask lose their last bytes, so that their
    // warnings show in the report.
    for (const std::string& cut : {b, mask}) fs::resize_file(cut, fs::file_size(cut) - 12);
    const Outcome o = Run({"--json", a, b, "--mask", mask, "--ignore", "0,0,1,1", "--max-changed", "1",
                           "--max-changed-share", "10", "--diff", Path("d.bmp")});
    ASSERT_EQ(o.status, 1) << o.err;
    const Json j = Parse(o);
    EXPECT_EQ(j["schema"].Number(), 2);
    std::set<std::string> got;
    Leaves(j, "", got);
    const std::set<std::string> documented = DocumentedFields("## Fields of a report");
    ASSERT_GT(documented.size(), 40u);
    ExpectDocumented(got, documented);
    EXPECT_TRUE(got.count("left.warnings[]") && got.count("right.warnings[].kind") &&
                got.count("ignored.maskWarnings[].message"));

    const Outcome e = Run({"--json", a, Path("missing.bmp")});
    std::set<std::string> errorFields;
    Leaves(Parse(e), "", errorFields);
    EXPECT_EQ(errorFields, DocumentedFields("## Errors"));
}

TEST_F(CompareTool, FailuresWithJsonPrintAnErrorObjectAndStillExitTwo) {
    const auto a = Solid("a.bmp", 3, 3, 0);
    auto damaged = duvo::test::PngBuilder::Build(Recipe(4, 4, 8, 2, std::vector<std::uint16_t>(48, 9)));
    damaged.resize(damaged.size() - 30);
    std::ofstream(Path("cut.png"), std::ios::binary)
        .write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    const auto empty = Solid("empty-row.bmp", 3, 3, 0);
    const std::string badName = Path("bad\xFF\xFE name.png");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* kind;
        std::string file;     // "" for null
        const char* message;  // part of it
    } rows[] = {
        {"usage", {"--json", "--threads", "0", a, a}, "usage", "", "--threads"},
        {"usage named after the option", {"--json", "--bogus", a, a}, "usage", "", "--bogus"},
        {"cannot open", {"--json", a, Path("missing.bmp")}, "cannot-open", Path("missing.bmp"), "Cannot open file"},
        {"unknown format",
         {"--json", a, Path("x.avif")},
         "unknown-format",
         Path("x.avif"),
         "Nieznany format pliku graficznego !!!"},
        {"a truncated PNG names its fault and file",
         {"--json", Path("cut.png"), a},
         "load-error",
         Path("cut.png"),
         "Bląd przy wczytywaniu pliku graficznego !!! PNG error: the file ends inside the image data."},
        {"a file name that is not UTF-8",
         {"--json", a, badName},
         "cannot-open",
         Path("bad\xEF\xBF\xBD\xEF\xBF\xBD name.png"),
         "Cannot open file"},
        {"--max-changed that accepts everything",
         {"--json", "--max-changed", "9", a, empty},
         "usage",
         "",
         "could not fail"},
    };
    for (const auto& row : rows) {
        const Outcome o = Run(row.args);
        EXPECT_EQ(o.status, 2) << row.what;
        EXPECT_FALSE(o.err.empty()) << row.what;
        Json j;
        ASSERT_NO_THROW(j = Parse(o)) << row.what << ": " << o.out;
        EXPECT_EQ(j["schema"].Number(), 2) << row.what;
        EXPECT_EQ(j["error"]["kind"].String(), row.kind) << row.what;
        if (row.file.empty())
            EXPECT_EQ(j["error"]["file"].value.index(), 0u) << row.what;
        else
            EXPECT_EQ(j["error"]["file"].String(), row.file) << row.what;
        EXPECT_NE(j["error"]["message"].String().find(row.message), std::string::npos)
            << row.what << ": " << j["error"]["message"].String();
    }
    // Without --json stdout stays empty.
    EXPECT_EQ(Run({a, Path("missing.bmp")}).out, "");
}

TEST_F(CompareTool, UsageErrorsNameTheOptionAndExitTwo) {
    const auto a = Solid("a.bmp", 3, 3, 0);
    fs::create_directories(Path("folder"));
    const struct {
        std::vector<std::string> args;
        std::string named;
    } rows[] = {
        // The retired option in every form names both that replace it.
        {{"--tolerance", "1", a, a}, "--threshold"},
        {{"--tolerance", "1", a, a}, "--channel-tolerance"},
        {{a, a, "--tolerance"}, "use --threshold T (the perceptual distance, 0 to 1) or --channel-tolerance N"},
        {{"--tolerance", a, a}, "use --threshold T (the perceptual distance, 0 to 1) or --channel-tolerance N"},
        {{"--tolerance=3", a, a}, "use --threshold T (the perceptual distance, 0 to 1) or --channel-tolerance N"},
        {{"--threshold", "1.0001", a, a}, "--threshold wants a distance from 0 to 1"},
        {{"--threshold", "-0.1", a, a}, "--threshold"},
        {{"--threshold", "nan", a, a}, "--threshold"},
        {{"--threshold", "inf", a, a}, "--threshold"},
        {{"--channel-tolerance", "255", a, a}, "--channel-tolerance 255 lets every color match"},
        {{"--channel-tolerance", "256", a, a}, "--channel-tolerance wants a whole number from 0 to 254, not \"256\""},
        {{"--channel-tolerance", "-1", a, a}, "--channel-tolerance"},
        {{"--diff-color", "FF0000,blue", a, a}, "--diff-color wants a color as RRGGBB, not \"blue\""},
        // Whole numbers: no sign to wrap round, no hexadecimal, no overflow.
        {{"--max-region-pixels", "-3", a, a}, "--max-region-pixels wants a whole number of 0 or more, not \"-3\""},
        {{"--max-region-pixels", "many", a, a}, "--max-region-pixels wants a whole number of 0 or more, not \"many\""},
        {{"--max-changed", "-1", a, a}, "--max-changed wants a whole number of 0 or more, not \"-1\""},
        {{"--max-changed", "0x10", a, a}, "not \"0x10\""},
        {{"--max-changed", "99999999999999999999", a, a}, "--max-changed wants a whole number"},
        {{"--threads", "-3", a, a}, "--threads wants a whole number from 1 to 1024, not \"-3\""},
        {{"--max-pixels", "-1", a, a}, "--max-pixels wants a whole number from 1 to 17179869184, not \"-1\""},
        {{"--max-regions", "-1", a, a}, "--max-regions wants a whole number from 0 to 1048576, not \"-1\""},
        {{"--max-input-bytes", "0", a, a}, "--max-input-bytes wants a whole number from 1 to"},
        {{"--region-gap", "+3", a, a}, "--region-gap wants a whole number from 0 to 4096, not \"+3\""},
        // An existing folder makes it a run over folders.
        {{Path("folder"), Path("folde")}, Path("folde") + " is not a folder, but " + Path("folder") + " is"},
        {{Path("missing"), Path("folder")}, Path("missing") + " is not a folder, but " + Path("folder") + " is"},
        {{Path("folder"), a}, a + " is not a folder, but " + Path("folder") + " is"},
        {{"--diff-style", "sparkle", a, a}, "--diff-style"},
        {{"--diff-style", "mask", "--diff", "out.bmp", a, a}, "--diff-style mask"},
        {{"--diff-color", "red", a, a}, "--diff-color"},
        {{"--aa-color", "12345", a, a}, "--aa-color"},
        {{"--max-changed-share", "100", a, a}, "--max-changed-share"},
        {{"--max-changed-share", "250.5", a, a}, "--max-changed-share"},
        {{"--max-changed-share", "-1", a, a}, "--max-changed-share"},
        {{"--max-changed-share", "nan", a, a}, "--max-changed-share"},
        {{"--max-changed", "x", a, a}, "--max-changed"},
        {{"--ignore", "1,2,3", a, a}, "--ignore"},
        {{"--ignore", "1,2,0,4", a, a}, "--ignore"},
        {{"--ignore", "1,2,3,4,5", a, a}, "--ignore"},
        {{"--diff", "out.gif", a, a}, "--diff"},
        {{"--region-gap", "-1", a, a}, "--region-gap"},
        {{"--threads", "x", a, a}, "--threads"},
        {{"--mask", a}, "LEFT and RIGHT are required"},
        {{"--frobnicate", a, a}, "--frobnicate"},
    };
    for (const auto& row : rows) {
        const Outcome o = Run(row.args);
        EXPECT_EQ(o.status, 2) << row.named;
        EXPECT_NE(o.err.find(row.named), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("duvo-compare --help"), std::string::npos) << o.err;
    }
    const Outcome version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("duvo-compare "), std::string::npos);
    // "--" ends the options: a file may start with a dash.
    std::filesystem::copy_file(a, Path("-dash.bmp"));
    EXPECT_EQ(Run({"--", Path("-dash.bmp"), a}).status, 0);
    // --ignore takes one value at a time, so the files after it stay files.
    EXPECT_EQ(Run({"--ignore", "0,0,1,1", a, a}).status, 0);
}

TEST_F(CompareTool, PngDifferencePictureMatchesTheBmpOne) {
    std::mt19937 rng(4);
    const auto a = Random("a.bmp", 37, 11, rng, duvo::pk24Bit), b = Random("b.bmp", 37, 11, rng, duvo::pk8Bit);
    ASSERT_EQ(Run({a, b, "--diff", Path("d.bmp")}).status, 1);
    ASSERT_EQ(Run({a, b, "--diff", Path("d.PNG")}).status, 1);
    duvo::TBitmap bmp;
    bmp.LoadFile(Path("d.bmp"));
    const std::string bytes = ReadFile(Path("d.PNG"));
    const duvo::PngDecoded png =
        duvo::DecodePng({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, duvo::kDefaultLimits);
    ASSERT_EQ(png.picture.raster->Width(), 37);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 37; ++x)
            ASSERT_EQ(png.picture.raster->GetPixel(x, y), bmp.Canvas().ReadPixel(x, y)) << x << "," << y;
}

}  // namespace
