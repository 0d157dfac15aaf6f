// duvo-compare run end to end on pictures written for each test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "cli_fixture.h"
#include "compare/compare.h"
#include "gif_builder.h"
#include "graphics/bitmap.h"
#include "rtl/exceptions.h"

namespace {

using namespace clitest;
namespace fs = std::filesystem;

// ---- outcomes -----------------------------------------------------------------------

TEST_F(CompareTool, IdenticalPicturesExitZeroWith100Percent) {
    const auto a = Solid("a.bmp", 9, 5, 0x336699);
    const auto b = Solid("b.bmp", 9, 5, 0x336699);
    const Outcome o = Run({a, b});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Ten sam kolor       100 %\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Różnica > 50 %      0 %\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Compared area: 9 x 5 (45 pixels)"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("differ in size"), std::string::npos);
    EXPECT_EQ(o.err, "");
}

TEST_F(CompareTool, DifferentPicturesExitOneWithTheirFigures) {
    // Four pixels: one equal, one off by one (bin 99), two black against white.
    const auto a = Solid("a.bmp", 2, 2, 0x000000);
    const auto b = Picture("b.bmp", 2, 2, [](int x, int y) -> duvo::TColor {
        if (x == 0 && y == 0) return 0x000000;
        if (x == 1 && y == 0) return 0x000001;
        return 0xFFFFFF;
    });
    const Outcome o = Run({a, b});
    EXPECT_EQ(o.status, 1) << o.err;
    // The figures come in the window's order, one per line.
    EXPECT_NE(o.out.find("\nTen sam kolor       25 %\nRóżnice < 10%       25 %\nRóżnica 10 - 20  %  0 %\n"
                         "Różnica 20 - 30  %  0 %\nRóżnica 30 - 40  %  0 %\nRóżnica 40 - 50  %  0 %\n"
                         "Różnica > 50 %      50 %\n"),
              std::string::npos)
        << o.out;
}

TEST_F(CompareTool, DifferentSizesCompareTheCommonArea) {
    const auto a = Solid("a.bmp", 100, 50, 0x123456);
    const auto b = Solid("b.bmp", 80, 60, 0x123456);
    const Outcome o = Run({a, b});
    // Every compared pixel is equal, but the sizes are not.
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.out.find("100 x 50"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("80 x 60"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("The pictures differ in size; the common area is compared."), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Compared area: 80 x 50 (4000 pixels)"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Ten sam kolor       100 %"), std::string::npos) << o.out;
}

TEST_F(CompareTool, FailuresExitTwoWithTheirMessageOnStderr) {
    const auto a = Solid("a.bmp", 3, 3, 0);
    std::ofstream(Path("bad.bmp"), std::ios::binary) << "XX" << std::string(100, '\0');  // no "BM" signature
    const std::string unknown = "Nieznany format pliku graficznego !!!\nFile: ";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {"missing file", {a, Path("missing.bmp")}, "Cannot open file " + Path("missing.bmp") + ".\n"},
        {"unreadable bmp: the box text, the decoder's reason, the file",
         {Path("bad.bmp"), a},
         "Bląd przy wczytywaniu pliku graficznego !!!\nBitmap image is not valid.\nFile: " + Path("bad.bmp") + "\n"},
        {"jpeg extension", {a, Path("photo.jpeg")}, unknown + Path("photo.jpeg") + "\n"},
        {"png is read by the tool", {a, Path("picture.png")}, "Cannot open file " + Path("picture.png") + ".\n"},
        {"webp is read by the tool", {a, Path("picture.webp")}, "Cannot open file " + Path("picture.webp") + ".\n"},
        {"tiff is read by the tool", {a, Path("picture.tiff")}, "Cannot open file " + Path("picture.tiff") + ".\n"},
        {"avif", {a, Path("picture.avif")}, unknown + Path("picture.avif") + "\n"},
        {"no extension", {a, Path("noextension")}, unknown + Path("noextension") + "\n"},
        {"dot only in a folder name", {a, Path("dir.bmp/file")}, unknown + Path("dir.bmp/file") + "\n"},
        {"diff not writable",
         {a, a, "--diff", Path("no/such/folder/diff.bmp")},
         "Cannot create file " + Path("no/such/folder/diff.bmp") + ": " + duvo::SystemReason(ENOENT) + ".\n"},
    };
    for (const auto& row : rows) {
        const Outcome o = Run(row.args);
        EXPECT_EQ(o.status, 2) << row.what;
        EXPECT_EQ(o.err, row.err) << row.what;
        EXPECT_EQ(o.out, "") << row.what;
    }
    // The extension is lower-cased first, as the desktop program does.
    fs::copy_file(a, Path("UPPER.BMP"));
    EXPECT_EQ(Run({a, Path("UPPER.BMP")}).status, 0);
}

TEST_F(CompareTool, UsageErrorsAndHelp) {
    const auto a = Solid("a.bmp", 3, 3, 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {a},
                                                 {a, a, a},
                                                 {"--bogus", a, a},
                                                 {"--threads", "0", a, a},
                                                 {"--threads", "x", a, a},
                                                 {a, a, "--diff"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find("duvo-compare --help"), std::string::npos) << o.err;
    }
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"--json", "--diff", "--threads", "Exit status", "%.21Lg"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST_F(CompareTool, GifFilesOpenAndAGifEqualsItsBmpTwin) {
    // A 6 x 4 picture in a 24-entry color table, and the same as a BMP.
    std::vector<std::uint32_t> colors;
    giftest::Bytes indices;
    for (int i = 0; i < 24; ++i) {
        colors.push_back(static_cast<std::uint32_t>(i * 0x0A0B0C) & 0xFFFFFF);
        indices.push_back(static_cast<std::uint8_t>(i));
    }
    const giftest::Bytes gif = giftest::GifWriter()
                                   .Header()
                                   .ScreenColors(6, 4, colors)
                                   .ImageColors(6, 4, {})
                                   .Pixels(6, 4, indices)
                                   .Trailer()
                                   .out;
    std::ofstream(Path("a.gif"), std::ios::binary)
        .write(reinterpret_cast<const char*>(gif.data()), static_cast<std::streamsize>(gif.size()));
    const auto bmp = Picture("a.bmp", 6, 4, [&](int x, int y) { return static_cast<duvo::TColor>(colors[y * 6 + x]); });
    Outcome o = Run({Path("a.gif"), bmp});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Ten sam kolor       100 %"), std::string::npos) << o.out;

    // The codec's own message, with the file it is about.
    std::ofstream(Path("text.gif")) << "hello, this is no picture";
    o = Run({Path("text.gif"), bmp});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "Invalid GIF signature.\nFile: " + Path("text.gif") + "\n");
    // A cut GIF whose frame data ends early still loads, the rest in the fill color.
    std::ofstream(Path("cut.gif"), std::ios::binary)
        .write(reinterpret_cast<const char*>(gif.data()), static_cast<std::streamsize>(gif.size() - 12));
    o = Run({Path("cut.gif"), Path("a.gif")});
    EXPECT_EQ(o.status, 1) << o.err;
}

TEST_F(CompareTool, APipeNamedLikeAPictureIsComparedLikeTheFile) {
    // A pipe cannot seek and has no size: it is read to its end.
    std::mt19937 rng(5);
    const auto a = Random("a.bmp", 31, 17, rng, duvo::pk24Bit);
    const std::string pipe = Path("pipe.bmp");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string bytes = ReadFile(a);
    std::thread writer([&] { std::ofstream(pipe, std::ios::binary) << bytes; });
    const Outcome o = Run({pipe, a});
    writer.join();
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Ten sam kolor       100 %"), std::string::npos) << o.out;
}

// ---- JSON --------------------------------------------------------------------------------

TEST_F(CompareTool, JsonCarriesSizesFiguresHistogramAndCounts) {
    // One pixel in three equal, as 1/3 of the area.
    const auto a = Solid("a.bmp", 3, 4, 0x000000);
    const auto b = Picture("b.bmp", 5, 4, [](int x, int) { return x == 0 ? 0x000000 : 0xFFFFFF; });
    const Outcome o = Run({"--json", a, b});
    EXPECT_EQ(o.status, 1) << o.err;
    Json j;
    ASSERT_NO_THROW(j = JsonParser(o.out).ParseDocument()) << o.out;
    EXPECT_EQ(j["left"]["file"].String(), a);
    EXPECT_EQ(j["left"]["width"].Number(), 3);
    EXPECT_EQ(j["right"]["width"].Number(), 5);
    EXPECT_EQ(j["right"]["height"].Number(), 4);
    EXPECT_FALSE(j["sameSize"].Bool());
    EXPECT_FALSE(j["identical"].Bool());
    EXPECT_EQ(j["area"]["width"].Number(), 3);
    EXPECT_EQ(j["area"]["height"].Number(), 4);
    EXPECT_EQ(j["pixelCount"].Number(), 12);
    ASSERT_EQ(j["histogram"].Array().size(), 101u);
    ASSERT_EQ(j["counts"].Array().size(), 101u);
    EXPECT_EQ(j["counts"][100].Number(), 4);
    EXPECT_EQ(j["counts"][0].Number(), 8);
    // Every digit survives: the percentages read back as the engine's values.
    duvo::SimilarityCounts counts{};
    counts[100] = 4;
    counts[0] = 8;
    const auto expected = duvo::Normalise(counts, 12);
    for (std::size_t k = 0; k < 101; ++k) EXPECT_EQ(j["histogram"][k].Number(), expected[k]) << k;
    ASSERT_EQ(j["figures"].Array().size(), 7u);
    EXPECT_EQ(j["figures"][0]["caption"].String(), "Ten sam kolor");
    EXPECT_EQ(j["figures"][0]["text"].String(), "33.3333333333333 %");
    EXPECT_EQ(j["figures"][0]["percent"].Number(), expected[100]);
    EXPECT_EQ(j["figures"][6]["caption"].String(), "Różnica > 50 %");
    EXPECT_EQ(j["figures"][6]["text"].String(), "66.6666666666667 %");
    EXPECT_EQ(j["diff"].value.index(), 0u);  // null
}

TEST_F(CompareTool, JsonEscapesFileNames) {
    const auto a = Solid("we\"ird\\name.bmp", 2, 2, 0);
    const Outcome o = Run({"--json", a, a});
    EXPECT_EQ(o.status, 0) << o.err;
    const Json j = JsonParser(o.out).ParseDocument();
    EXPECT_EQ(j["left"]["file"].String(), a);
    EXPECT_TRUE(j["identical"].Bool());
}

TEST_F(CompareTool, ThreadCountDoesNotChangeTheResult) {
    std::mt19937 rng(3);
    const auto a = Random("a.bmp", 301, 230, rng, duvo::pk24Bit), b = Random("b.bmp", 301, 230, rng, duvo::pk8Bit);
    const Outcome one = Run({"--json", "--threads", "1", a, b});
    const Outcome two = Run({"--json", "--threads=2", a, b});
    const Outcome all = Run({"--json", a, b});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(one.out, all.out);
}

// ---- the difference picture -------------------------------------------------------------

TEST_F(CompareTool, DiffIsAnUncompressed24BitBmpThatReadsBackUnchanged) {
    std::mt19937 rng(9);
    const auto a = Random("a.bmp", 13, 7, rng, duvo::pk24Bit), b = Random("b.bmp", 15, 6, rng, duvo::pk4Bit);
    const std::string out = Path("diff.bmp");
    const Outcome o = Run({a, b, "--diff", out});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.out.find("Difference picture: " + out), std::string::npos);

    // The engine's own difference picture for the same files.
    duvo::TBitmap left, right, expected;
    left.LoadFile(a);
    right.LoadFile(b);
    duvo::CountSimilarity(left, right, expected, {});

    const std::string bytes = ReadFile(out);
    ASSERT_GE(bytes.size(), 54u);
    auto u16 = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) |
                                     (static_cast<unsigned char>(bytes[at + 1]) << 8));
    };
    auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    EXPECT_EQ(u32(18), 13u);                      // width
    EXPECT_EQ(u32(22), 6u);                       // height
    EXPECT_EQ(u16(28), 24u);                      // bits per pixel
    EXPECT_EQ(u32(30), 0u);                       // uncompressed
    EXPECT_EQ(bytes.size(), u32(10) + 6u * 40u);  // rows of 39 bytes padded to 40

    duvo::TBitmap back;
    back.LoadFile(out);
    EXPECT_EQ(back.PixelKind(), duvo::pk24Bit);
    ASSERT_EQ(back.Width(), 13);
    ASSERT_EQ(back.Height(), 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 13; ++x)
            ASSERT_EQ(back.Canvas().ReadPixel(x, y), expected.Canvas().ReadPixel(x, y)) << x << "," << y;
}

}  // namespace
