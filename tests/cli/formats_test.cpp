// duvo-compare on WebP and TIFF files written by their libraries, against
// PNG files of the same pixels; cut, damaged and oversized ones.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "png_builder.h"
#include "tiff_fixtures.h"
#include "webp_fixtures.h"

namespace {

using namespace clitest;
using Bytes = std::vector<std::uint8_t>;

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

class Formats : public CompareTool {
protected:
    std::string Write(const std::string& name, const Bytes& bytes, std::size_t keep = SIZE_MAX) const {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(std::min(keep, bytes.size())));
        return Path(name);
    }
    // A PNG of the same samples, 8 or 16 bits, gray (1), RGB (3) or RGBA (4).
    std::string PngOf(const std::string& name, int width, int height, int depth, int channels,
                      const std::vector<std::uint32_t>& samples) const {
        duvo::test::PngRecipe r;
        r.width = width;
        r.height = height;
        r.bitDepth = depth;
        r.colorType = channels == 1 ? 0 : channels == 3 ? 2 : 6;
        r.samples.assign(samples.begin(), samples.end());
        return Png(name, r);
    }
};

tifftest::TiffPage Page(int width, int height, std::uint16_t bits, std::uint16_t spp, std::uint16_t compression) {
    tifftest::TiffPage p;
    p.width = width;
    p.height = height;
    p.bits = bits;
    p.spp = spp;
    p.photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    p.compression = compression;
    p.rowsPerStrip = 7;
    if (spp == 4) p.extraSamples = {EXTRASAMPLE_UNASSALPHA};
    return p;
}

TEST_F(Formats, WebpAndTiffFilesEqualTheirPngTwins) {
    const int w = 41, h = 29;
    // WebP: 8-bit RGB and RGBA (no alpha of 0, whose colors the simple
    // lossless encoder may change).
    const Bytes rgb = webptest::Pixels(w, h, 3, 1);
    Bytes rgba = webptest::Pixels(w, h, 4, 2);
    for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = std::max<std::uint8_t>(rgba[i], 1);
    const std::vector<std::uint32_t> rgbSamples(rgb.begin(), rgb.end()), rgbaSamples(rgba.begin(), rgba.end());

    struct Row {
        std::string what;
        std::string file;
        std::string png;
        std::string format;
        int bitDepth;
    };
    std::vector<Row> rows{
        {"lossless WebP", Write("rgb.webp", webptest::Encode(rgb, w, h, 3, true)),
         PngOf("rgb.png", w, h, 8, 3, rgbSamples), "WebP", 8},
        {"lossless WebP with alpha", Write("rgba.webp", webptest::Encode(rgba, w, h, 4, true)),
         PngOf("rgba.png", w, h, 8, 4, rgbaSamples), "WebP", 8},
    };
    const struct {
        const char* what;
        std::uint16_t bits, spp, compression;
        bool tiles;
    } tiffs[] = {
        {"LZW TIFF", 8, 3, COMPRESSION_LZW, false},
        {"deflate TIFF in tiles", 8, 3, COMPRESSION_ADOBE_DEFLATE, true},
        {"TIFF with alpha", 8, 4, COMPRESSION_PACKBITS, false},
        {"16-bit TIFF", 16, 3, COMPRESSION_LZW, false},
        {"16-bit gray TIFF in tiles", 16, 1, COMPRESSION_NONE, true},
        {"8-bit gray TIFF", 8, 1, COMPRESSION_LZW, false},
    };
    int i = 0;
    for (const auto& t : tiffs) {
        tifftest::TiffPage p = Page(w, h, t.bits, t.spp, t.compression);
        if (t.tiles) p.tileWidth = p.tileLength = 16;
        p.samples = tifftest::RandomSamples(p, 30 + static_cast<std::uint32_t>(i));
        if (t.spp == 4)
            for (std::size_t k = 3; k < p.samples.size(); k += 4)
                p.samples[k] = std::max<std::uint32_t>(p.samples[k], 1);
        const std::string n = std::to_string(i++);
        rows.push_back({t.what, Write("t" + n + (i % 2 ? ".tif" : ".TIFF"), tifftest::WriteTiff(p)),
                        PngOf("t" + n + ".png", w, h, t.bits, t.spp, p.samples), "TIFF", t.bits});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome o = Run({row.file, row.png});
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.out.find("Ten sam kolor       100 %\n"), std::string::npos) << o.out;
        EXPECT_EQ(o.err, "");
        const Json j = Parse(Run({"--json", row.file, row.png}));
        EXPECT_EQ(j["left"]["format"].String(), row.format);
        EXPECT_EQ(j["left"]["bitDepth"].Number(), row.bitDepth);
        EXPECT_TRUE(j["identical"].Bool());
    }
}

TEST_F(Formats, OneChangedSampleIsFound) {
    tifftest::TiffPage p = Page(33, 17, 16, 3, COMPRESSION_LZW);
    p.samples = tifftest::RandomSamples(p, 8);
    const std::string png = PngOf("same.png", p.width, p.height, 16, 3, p.samples);
    p.samples[(5 * 33 + 20) * 3 + 1] ^= 1;  // below 8 bits, in one pixel
    const std::string tif = Write("changed.tif", tifftest::WriteTiff(p));
    const Outcome o = Run({tif, png});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.out.find("Differ only below 8 bits: 1 pixels\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Non-matching pixels: 1\n"), std::string::npos) << o.out;
}

TEST_F(Formats, CutFilesAreComparedWithAWarningAndStrictRefusesThem) {
    const Bytes rgb = webptest::Pixels(64, 48, 3, 4);
    const Bytes webp = webptest::Encode(rgb, 64, 48, 3, true);
    tifftest::TiffPage p = Page(64, 48, 8, 3, COMPRESSION_LZW);
    p.samples = tifftest::RandomSamples(p, 5);
    const Bytes tiff = tifftest::DirectoryFirst(tifftest::WriteTiff(p));
    for (const auto& [name, bytes] : {std::pair{"cut.webp", &webp}, std::pair{"cut.tif", &tiff}}) {
        SCOPED_TRACE(name);
        const std::string file = Write(name, *bytes, bytes->size() * 6 / 10);
        const Outcome o = Run({file, file, "--json"});
        EXPECT_EQ(o.status, 0) << o.err;
        const Json j = Parse(o);
        const auto& warnings = j["left"]["warnings"].Array();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0]["kind"].String(), "truncated");
        EXPECT_NE(o.err.find("Warning: " + file + ": the file ends inside"), std::string::npos) << o.err;
        const Outcome strict = Run({file, file, "--json", "--strict"});
        EXPECT_EQ(strict.status, 2);
        EXPECT_EQ(Parse(strict)["error"]["kind"].String(), "damaged");
    }
}

TEST_F(Formats, DamagedAndHugeFilesExitTwoWithTheLibrarysWords) {
    const std::string a = Solid("a.bmp", 3, 3, 0);
    const std::string box = "Bląd przy wczytywaniu pliku graficznego !!!\n";
    const std::string badTiff = Write("bad.tif", Bytes(100, 'X'));
    const std::string badWebp = Write("bad.webp", Bytes(100, 'X'));
    const std::string huge = Write("huge.tif", tifftest::RawTiff(tifftest::GrayEntries(100000, 100000, 10), Bytes(10)));
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {"not a TIFF file",
         {badTiff, a},
         box + "TIFF error: Not a TIFF or MDI file, bad magic number 22616 (0x5858)\nFile: " + badTiff + "\n"},
        {"not a WebP file",
         {a, badWebp},
         box + "WebP error: the file is not a WebP file, or its header is damaged.\nFile: " + badWebp + "\n"},
        {"a huge picture",
         {huge, a, "--max-pixels", "1000000"},
         "Picture too large (100000 x 100000 pixels; the limit is 1000000 pixels); --max-pixels raises the "
         "limit\nFile: " +
             huge + "\n"},
    };
    for (const auto& row : rows) {
        const Outcome o = Run(row.args);
        EXPECT_EQ(o.status, 2) << row.what;
        EXPECT_EQ(o.err, row.err) << row.what;
    }
}

TEST_F(Formats, HelpNamesTheFormatsAndTheFirstPage) {
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* words : {"PNG (.png), WebP (.webp), TIFF (.tif, .tiff)",
                              "A multi-page TIFF is compared by its first page, an animated WebP by its first frame."})
        EXPECT_NE(help.out.find(words), std::string::npos) << words << "\n" << help.out;
}

}  // namespace
