// The TIFF row source against files libtiff wrote: every layout the rows
// keep, every compression, strips and tiles, planes, several pages; the
// converter's cases against libtiff's own conversion; cut, damaged and
// oversized files with their exact outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codecs/tiff/tiff_decoder.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "tiff_fixtures.h"

namespace {

using namespace duvo;
using tifftest::Bytes;
using tifftest::TiffPage;

struct Decoded {
    RowFormat format;
    Bytes rows;
    std::vector<DecodeWarning> warnings;
};

// Every row through the source, in bands of 1 to 5 rows, then Finish.
Decoded Decode(const Bytes& file, const Limits& limits = kDefaultLimits) {
    auto source = OpenTiffRows({file.data(), file.size()}, limits);
    Decoded d;
    d.format = source->Format();
    const std::size_t rowBytes = d.format.RowBytes();
    d.rows.assign(rowBytes * static_cast<std::size_t>(d.format.height), 0xCD);
    for (int y = 0, band = 1; y < d.format.height; band = band % 5 + 1) {
        const int n = std::min(band, d.format.height - y);
        source->ReadRows(d.rows.data() + rowBytes * static_cast<std::size_t>(y), static_cast<std::ptrdiff_t>(rowBytes),
                         n);
        y += n;
    }
    source->Finish();
    d.warnings = source->Warnings();
    return d;
}

std::string FailureOf(const Bytes& file, const Limits& limits = kDefaultLimits) {
    try {
        Decode(file, limits);
    } catch (const EInvalidGraphic& e) {
        return e.Message();
    }
    return "(decoded)";
}

// Rows of channels values per pixel at bits each, packed as a row layout
// holds them: sub-byte values first pixel highest, 16-bit ones big-endian.
Bytes PackRows(int width, int height, int channels, int bits, const std::vector<std::uint32_t>& values) {
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * channels * bits + 7) / 8;
    Bytes out(rowBytes * static_cast<std::size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = out.data() + rowBytes * static_cast<std::size_t>(y);
        for (int i = 0; i < width * channels; ++i) {
            const std::uint32_t v =
                values[static_cast<std::size_t>(y) * width * channels + static_cast<std::size_t>(i)];
            if (bits == 16) {
                row[2 * i] = static_cast<std::uint8_t>(v >> 8);
                row[2 * i + 1] = static_cast<std::uint8_t>(v);
            } else if (bits == 8) {
                row[i] = static_cast<std::uint8_t>(v);
            } else {
                row[i * bits / 8] = static_cast<std::uint8_t>(row[i * bits / 8] | (v << (8 - bits - i * bits % 8)));
            }
        }
    }
    return out;
}

// The values the output channels mean: stored samples picked in order,
// gray inverted for a min-is-white page.
std::vector<std::uint32_t> Meant(const TiffPage& p, const std::vector<int>& picked, bool inverted) {
    std::vector<std::uint32_t> out;
    const std::uint32_t max = (1u << p.bits) - 1;
    for (std::size_t i = 0; i < p.samples.size(); i += p.spp)
        for (std::size_t c = 0; c < picked.size(); ++c) {
            const std::uint32_t v = p.samples[i + static_cast<std::size_t>(picked[c])];
            out.push_back(inverted && c == 0 ? max - v : v);
        }
    return out;
}

TiffPage Page(std::uint16_t photometric, std::uint16_t bits, std::uint16_t spp, std::uint16_t compression) {
    TiffPage p;
    p.width = 37;
    p.height = 23;
    p.photometric = photometric;
    p.bits = bits;
    p.spp = spp;
    p.compression = compression;
    p.rowsPerStrip = 5;
    return p;
}

TiffPage Tiled(TiffPage p) {
    p.tileWidth = 16;
    p.tileLength = 16;
    return p;
}
TiffPage Planes(TiffPage p) {
    p.planar = PLANARCONFIG_SEPARATE;
    return p;
}
TiffPage Predicted(TiffPage p) {
    p.predictor = PREDICTOR_HORIZONTAL;
    return p;
}
TiffPage Signed(TiffPage p) {
    p.sampleFormat = SAMPLEFORMAT_INT;
    return p;
}
TiffPage Extra(TiffPage p, std::vector<std::uint16_t> extra) {
    p.extraSamples = std::move(extra);
    return p;
}

constexpr std::uint16_t kMinBlack = PHOTOMETRIC_MINISBLACK;
constexpr std::uint16_t kMinWhite = PHOTOMETRIC_MINISWHITE;
constexpr std::uint16_t kRgb = PHOTOMETRIC_RGB;
constexpr std::uint16_t kNone = COMPRESSION_NONE;
constexpr std::uint16_t kPackBits = COMPRESSION_PACKBITS;
constexpr std::uint16_t kLzw = COMPRESSION_LZW;
constexpr std::uint16_t kDeflate = COMPRESSION_ADOBE_DEFLATE;
constexpr std::uint16_t kUnassoc = EXTRASAMPLE_UNASSALPHA;
constexpr std::uint16_t kUnspecified = EXTRASAMPLE_UNSPECIFIED;

// ---- layouts the rows keep ------------------------------------------------------------

TEST(TiffRows, EveryKeptLayoutGivesTheSamplesItWasWritten) {
    const struct {
        const char* what;
        TiffPage page;
        RowLayout layout;
        std::vector<int> picked;  // stored samples behind the output channels
        bool inverted = false;
        bool bigEndian = false;
    } cases[] = {
        {"bilevel", Page(kMinBlack, 1, 1, kNone), RowLayout::Gray, {0}},
        {"bilevel min-is-white", Page(kMinWhite, 1, 1, kPackBits), RowLayout::Gray, {0}, true},
        {"2-bit gray", Page(kMinBlack, 2, 1, kLzw), RowLayout::Gray, {0}},
        {"4-bit gray, big-endian", Page(kMinBlack, 4, 1, kDeflate), RowLayout::Gray, {0}, false, true},
        {"4-bit gray in tiles", Tiled(Page(kMinBlack, 4, 1, kPackBits)), RowLayout::Gray, {0}},
        {"8-bit gray", Page(kMinBlack, 8, 1, kNone), RowLayout::Gray, {0}},
        {"8-bit gray min-is-white", Page(kMinWhite, 8, 1, kLzw), RowLayout::Gray, {0}, true},
        {"16-bit gray", Predicted(Page(kMinBlack, 16, 1, kDeflate)), RowLayout::Gray, {0}},
        {"16-bit gray, big-endian", Page(kMinBlack, 16, 1, kLzw), RowLayout::Gray, {0}, false, true},
        {"16-bit gray min-is-white", Page(kMinWhite, 16, 1, kNone), RowLayout::Gray, {0}, true},
        {"8-bit gray and alpha", Extra(Page(kMinBlack, 8, 2, kLzw), {kUnassoc}), RowLayout::GrayAlpha, {0, 1}},
        {"16-bit gray and alpha, min-is-white",
         Extra(Page(kMinWhite, 16, 2, kNone), {kUnassoc}),
         RowLayout::GrayAlpha,
         {0, 1},
         true},
        {"gray with a sample that is no alpha",
         Extra(Page(kMinBlack, 8, 2, kNone), {kUnspecified}),
         RowLayout::Gray,
         {0}},
        {"8-bit RGB", Page(kRgb, 8, 3, kNone), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB, PackBits", Page(kRgb, 8, 3, kPackBits), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB, LZW with a predictor", Predicted(Page(kRgb, 8, 3, kLzw)), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB, deflate", Page(kRgb, 8, 3, kDeflate), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB in tiles", Tiled(Page(kRgb, 8, 3, kLzw)), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB in planes", Planes(Page(kRgb, 8, 3, kDeflate)), RowLayout::Rgb, {0, 1, 2}},
        {"8-bit RGB in planes and tiles", Tiled(Planes(Page(kRgb, 8, 3, kNone))), RowLayout::Rgb, {0, 1, 2}},
        {"16-bit RGB, big-endian", Predicted(Page(kRgb, 16, 3, kLzw)), RowLayout::Rgb, {0, 1, 2}, false, true},
        {"16-bit RGB in tiles", Tiled(Page(kRgb, 16, 3, kDeflate)), RowLayout::Rgb, {0, 1, 2}},
        {"16-bit RGB in planes, big-endian",
         Planes(Page(kRgb, 16, 3, kPackBits)),
         RowLayout::Rgb,
         {0, 1, 2},
         false,
         true},
        {"8-bit RGBA", Extra(Page(kRgb, 8, 4, kLzw), {kUnassoc}), RowLayout::Rgba, {0, 1, 2, 3}},
        {"16-bit RGBA in tiles", Tiled(Extra(Page(kRgb, 16, 4, kDeflate), {kUnassoc})), RowLayout::Rgba, {0, 1, 2, 3}},
        {"8-bit RGBA in planes and tiles",
         Tiled(Planes(Extra(Page(kRgb, 8, 4, kLzw), {kUnassoc}))),
         RowLayout::Rgba,
         {0, 1, 2, 3}},
        {"RGB with a sample that is no alpha",
         Extra(Page(kRgb, 8, 4, kNone), {kUnspecified}),
         RowLayout::Rgb,
         {0, 1, 2}},
        {"RGB whose alpha is the second extra sample",
         Extra(Page(kRgb, 16, 5, kLzw), {kUnspecified, kUnassoc}),
         RowLayout::Rgba,
         {0, 1, 2, 4}},
        {"the same in planes",
         Planes(Extra(Page(kRgb, 8, 5, kNone), {kUnspecified, kUnassoc})),
         RowLayout::Rgba,
         {0, 1, 2, 4}},
    };
    std::uint32_t seed = 1;
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        c.page.samples = tifftest::RandomSamples(c.page, seed++);
        const Decoded d = Decode(tifftest::WriteTiff(c.page, c.bigEndian));
        EXPECT_EQ(d.format.width, c.page.width);
        EXPECT_EQ(d.format.height, c.page.height);
        EXPECT_EQ(d.format.layout, c.layout);
        EXPECT_EQ(d.format.bitDepth, c.page.bits);
        const int channels = static_cast<int>(c.picked.size());
        EXPECT_EQ(d.rows,
                  PackRows(c.page.width, c.page.height, channels, c.page.bits, Meant(c.page, c.picked, c.inverted)));
        EXPECT_TRUE(d.warnings.empty()) << d.warnings.front().message;
    }
}

TEST(TiffRows, PalettePagesGiveTheirIndicesAndColorsScaledTo8Bits) {
    const struct {
        const char* what;
        std::uint16_t bits;
        bool tiles;
        bool eightBitMap;  // a map written with 8-bit values, as some writers do
    } cases[] = {
        {"1-bit", 1, false, false}, {"2-bit", 2, false, false},           {"4-bit", 4, true, false},
        {"8-bit", 8, false, false}, {"8-bit, 8-bit map", 8, false, true}, {"4-bit tiles, 8-bit map", 4, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TiffPage p = Page(PHOTOMETRIC_PALETTE, c.bits, 1, kLzw);
        if (c.tiles) p = Tiled(p);
        const int count = 1 << c.bits;
        std::vector<Rgba8> colors;
        for (int i = 0; i < count; ++i) {
            const Rgba8 color{static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i),
                              static_cast<std::uint8_t>(i * 11 + 3), 255};
            colors.push_back(color);
            const int scale = c.eightBitMap ? 1 : 257;
            p.red.push_back(static_cast<std::uint16_t>(color.red * scale));
            p.green.push_back(static_cast<std::uint16_t>(color.green * scale));
            p.blue.push_back(static_cast<std::uint16_t>(color.blue * scale));
        }
        // A few 16-bit entries between two 8-bit values round to the nearer.
        if (!c.eightBitMap && count > 2) {
            p.red[1] = 0x8000;  // 127.502 -> 128
            p.red[2] = 0x7FFF;  // 127.498 -> 127
            colors[1].red = 128;
            colors[2].red = 127;
        }
        p.samples = tifftest::RandomSamples(p, 90 + c.bits);
        const Decoded d = Decode(tifftest::WriteTiff(p));
        EXPECT_EQ(d.format.layout, RowLayout::Index);
        EXPECT_EQ(d.format.bitDepth, c.bits);
        ASSERT_EQ(d.format.paletteSize, count);
        for (int i = 0; i < count; ++i) EXPECT_EQ(d.format.palette[static_cast<std::size_t>(i)], colors[i]) << i;
        EXPECT_EQ(d.rows, PackRows(p.width, p.height, 1, c.bits, p.samples));
    }
}

// Premultiplied samples are divided back, rounded: multiplying the output
// by its alpha again gives the stored sample, and the exact cases are exact.
TEST(TiffRows, AssociatedAlphaBecomesStraightAlpha) {
    for (const std::uint16_t bits : {std::uint16_t{8}, std::uint16_t{16}}) {
        SCOPED_TRACE(bits);
        const std::uint32_t max = (1u << bits) - 1;
        TiffPage p = Extra(Page(kRgb, bits, 4, kLzw), {EXTRASAMPLE_ASSOCALPHA});
        p.samples = tifftest::RandomSamples(p, 7);
        for (std::size_t i = 0; i < p.samples.size(); i += 4) {
            std::uint32_t& a = p.samples[i + 3];
            if (i % 12 == 0) a = max;  // opaque: the samples as stored
            if (i % 12 == 4) a = 0;    // transparent: no color
            for (int c = 0; c < 3; ++c) p.samples[i + c] = p.samples[i + c] * a / max;
        }
        // Hand-made: half alpha, a quarter of full stored -> half of full.
        p.samples[4 * 5 + 3] = max / 2 + 1;
        p.samples[4 * 5 + 0] = (max + 1) / 4;
        p.samples[4 * 5 + 1] = p.samples[4 * 5 + 2] = 0;
        const Decoded d = Decode(tifftest::WriteTiff(p));
        ASSERT_EQ(d.format.layout, RowLayout::Rgba);
        const int step = bits / 8;
        auto at = [&](std::size_t sample) {
            const std::uint8_t* b = d.rows.data() + sample * step;
            return step == 2 ? (std::uint32_t{b[0]} << 8) | b[1] : std::uint32_t{b[0]};
        };
        for (std::size_t i = 0; i < p.samples.size(); i += 4) {
            const std::uint32_t a = p.samples[i + 3];
            ASSERT_EQ(at(i + 3), a) << i;
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t out = at(i + c);
                if (a == max) {
                    ASSERT_EQ(out, p.samples[i + c]) << i;
                }
                if (a == 0) {
                    ASSERT_EQ(out, 0u) << i;
                }
                const std::uint64_t again = (std::uint64_t{out} * a + max / 2) / max;
                ASSERT_LE(again > p.samples[i + c] ? again - p.samples[i + c] : p.samples[i + c] - again, 1u) << i;
            }
        }
        EXPECT_EQ(at(4 * 5), (max + 1) / 2);
    }
}

// ---- JPEG, the converter, pages -------------------------------------------------------

// libtiff's own decode of a whole page as strips, RGB from JPEG YCbCr.
Bytes LibraryStrips(const Bytes& file, bool ycbcr) {
    tifftest::detail::MemoryFile f{file};
    TIFF* t = TIFFClientOpen("ref.tif", "r", &f, tifftest::detail::MemoryFile::Read,
                             tifftest::detail::MemoryFile::Write, tifftest::detail::MemoryFile::Seek,
                             tifftest::detail::MemoryFile::Close, tifftest::detail::MemoryFile::Size,
                             tifftest::detail::MemoryFile::Map, tifftest::detail::MemoryFile::Unmap);
    if (!t) return {};
    if (ycbcr) TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    std::uint32_t height = 0;
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
    Bytes out(static_cast<std::size_t>(TIFFScanlineSize(t)) * height);
    std::size_t at = 0;
    for (std::uint32_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
        const tmsize_t n = TIFFReadEncodedStrip(t, s, out.data() + at, -1);
        if (n < 0) {
            out.clear();
            break;
        }
        at += static_cast<std::size_t>(n);
    }
    TIFFClose(t);
    return out;
}

// libtiff's RGBA conversion of a whole page, top row first.
std::vector<std::uint32_t> LibraryRgba(const Bytes& file) {
    tifftest::detail::MemoryFile f{file};
    TIFF* t = TIFFClientOpen("ref.tif", "r", &f, tifftest::detail::MemoryFile::Read,
                             tifftest::detail::MemoryFile::Write, tifftest::detail::MemoryFile::Seek,
                             tifftest::detail::MemoryFile::Close, tifftest::detail::MemoryFile::Size,
                             tifftest::detail::MemoryFile::Map, tifftest::detail::MemoryFile::Unmap);
    std::uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
    if (!TIFFReadRGBAImageOriented(t, w, h, raster.data(), ORIENTATION_TOPLEFT, 1)) raster.clear();
    TIFFClose(t);
    return raster;
}

TEST(TiffRows, JpegPagesGiveWhatLibtiffsOwnDecodeGives) {
    const struct {
        const char* what;
        std::uint16_t photometric;
        std::uint16_t spp;
        bool ycbcr;
    } cases[] = {
        {"RGB", kRgb, 3, false},
        {"YCbCr 2 x 2, as RGB", kRgb, 3, true},
        {"gray", kMinBlack, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TiffPage p = Page(c.photometric, 8, c.spp, COMPRESSION_JPEG);
        p.width = 45;
        p.height = 40;
        p.rowsPerStrip = 16;
        p.ycbcr = c.ycbcr;
        p.samples = tifftest::SmoothSamples(p);
        const Bytes file = tifftest::WriteTiff(p);
        const Decoded d = Decode(file);
        EXPECT_EQ(d.format.layout, c.spp == 1 ? RowLayout::Gray : RowLayout::Rgb);
        const Bytes reference = LibraryStrips(file, c.ycbcr);
        ASSERT_FALSE(reference.empty());
        EXPECT_EQ(d.rows, reference);
        // And it is the picture that was written, give or take JPEG's losses.
        long total = 0;
        for (std::size_t i = 0; i < d.rows.size(); ++i) total += std::abs(int{d.rows[i]} - int(p.samples[i]));
        EXPECT_LT(static_cast<double>(total) / static_cast<double>(d.rows.size()), 16.0);
    }
}

TEST(TiffRows, OtherLayoutsGoThroughLibtiffsConverter) {
    const struct {
        const char* what;
        TiffPage page;
        bool alpha;
    } cases[] = {
        {"CMYK", Page(PHOTOMETRIC_SEPARATED, 8, 4, kLzw), false},
        {"CMYK in tiles", Tiled(Page(PHOTOMETRIC_SEPARATED, 8, 4, kDeflate)), false},
        {"CMYK in planes", Planes(Page(PHOTOMETRIC_SEPARATED, 8, 4, kNone)), false},
        {"CIE L*a*b*", Page(PHOTOMETRIC_CIELAB, 8, 3, kLzw), false},
        {"signed RGBA, straight alpha", Signed(Extra(Page(kRgb, 8, 4, kNone), {kUnassoc})), true},
    };
    std::uint32_t seed = 40;
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        c.page.samples = tifftest::RandomSamples(c.page, seed++);
        const Bytes file = tifftest::WriteTiff(c.page);
        const Decoded d = Decode(file);
        ASSERT_EQ(d.format.layout, c.alpha ? RowLayout::Rgba : RowLayout::Rgb);
        EXPECT_EQ(d.format.bitDepth, 8);
        const std::vector<std::uint32_t> reference = LibraryRgba(file);
        ASSERT_EQ(reference.size(), static_cast<std::size_t>(c.page.width) * c.page.height);
        const int n = c.alpha ? 4 : 3;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const std::uint32_t v = reference[i];
            const std::uint8_t* o = d.rows.data() + i * n;
            const std::uint32_t a = TIFFGetA(v);
            ASSERT_EQ(n == 4 ? o[3] : 255u, a) << i;
            // The converter premultiplies; our rows hold straight alpha.
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t premultiplied = (v >> (8 * k)) & 0xFF;
                const std::uint32_t again = (std::uint32_t{o[k]} * a + 127) / 255;
                ASSERT_LE(again > premultiplied ? again - premultiplied : premultiplied - again, 1u) << i;
            }
        }
    }
}

TEST(TiffRows, LayoutsNoPathTakesAreRefusedInLibtiffsWords) {
    TiffPage floats = Page(kMinBlack, 32, 1, kNone);
    floats.sampleFormat = SAMPLEFORMAT_IEEEFP;
    floats.samples.assign(static_cast<std::size_t>(floats.width) * floats.height, 0x3F000000u);  // 0.5
    TiffPage wide = Page(PHOTOMETRIC_PALETTE, 16, 1, kNone);
    wide.red.assign(65536, 0);
    wide.green.assign(65536, 0);
    wide.blue.assign(65536, 0);
    wide.samples = tifftest::RandomSamples(wide, 3);
    const struct {
        const char* what;
        Bytes file;
        std::string message;
    } cases[] = {
        {"floating point gray", tifftest::WriteTiff(floats),
         "TIFF error: Sorry, can not handle images with 32-bit samples (photometric 1, 32 bits per sample, 1 "
         "samples per pixel)"},
        {"16-bit palette", tifftest::WriteTiff(wide),
         "TIFF error: Sorry, can not handle image (photometric 3, 16 bits per sample, 1 samples per pixel)"},
    };
    for (const auto& c : cases) EXPECT_EQ(FailureOf(c.file), c.message) << c.what;
}

TEST(TiffRows, AMultiPageFileGivesItsFirstPage) {
    TiffPage first = Page(kMinBlack, 8, 1, kLzw);
    first.samples = tifftest::RandomSamples(first, 11);
    TiffPage second = Page(kRgb, 16, 3, kNone);
    second.width = 64;
    second.height = 9;
    second.samples = tifftest::RandomSamples(second, 12);
    const Decoded d = Decode(tifftest::WriteTiff({first, second}));
    EXPECT_EQ(d.format.width, first.width);
    EXPECT_EQ(d.format.height, first.height);
    EXPECT_EQ(d.format.layout, RowLayout::Gray);
    EXPECT_EQ(d.rows, PackRows(first.width, first.height, 1, 8, first.samples));
}

// ---- cut files ------------------------------------------------------------------------

// Rows from y on are zero.
bool ZeroFrom(const Decoded& d, int y) {
    const std::size_t rowBytes = d.format.RowBytes();
    return std::all_of(d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * y), d.rows.end(),
                       [](std::uint8_t b) { return b == 0; });
}

TEST(TiffRows, ACutFileKeepsWhatItHoldsAndSaysWhere) {
    // 16 rows a strip or a tile row; the cut falls 60 % into the strip of
    // rows 16 to 31 (tiles: into the first tile of that row).
    auto page = [](std::uint16_t compression, bool tiles, std::uint16_t photometric = kRgb) {
        TiffPage p = Page(photometric, 8, photometric == PHOTOMETRIC_SEPARATED ? 4 : 3, compression);
        p.width = 32;
        p.height = 48;
        p.rowsPerStrip = 16;
        if (tiles) {
            p.tileWidth = 16;
            p.tileLength = 16;
        }
        p.samples = tifftest::SmoothSamples(p);
        for (std::size_t i = 0; i < p.samples.size(); i += 7) p.samples[i] ^= 0x55;  // not all runs
        return p;
    };
    const struct {
        const char* what;
        TiffPage page;
        const char* unit;    // "strip" or "tiles"
        bool codecRowsKept;  // the cut strip's decodable rows are kept
    } cases[] = {
        {"uncompressed strips", page(kNone, false), "strip", true},
        {"LZW strips", Predicted(page(kLzw, false)), "strip", true},
        {"PackBits strips", page(kPackBits, false), "strip", true},
        {"deflate tiles", page(kDeflate, true), "tiles", false},
        {"CMYK through the converter", page(kLzw, false, PHOTOMETRIC_SEPARATED), "strip", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes whole = tifftest::DirectoryFirst(tifftest::WriteTiff(c.page));
        const Decoded full = Decode(whole);
        ASSERT_TRUE(full.warnings.empty());
        // Where the strile of rows 16.. starts, from the data's end backwards:
        // the directory is first, the striles follow in order.
        tifftest::detail::MemoryFile f{whole};
        TIFF* t = TIFFClientOpen("x", "r", &f, tifftest::detail::MemoryFile::Read, tifftest::detail::MemoryFile::Write,
                                 tifftest::detail::MemoryFile::Seek, tifftest::detail::MemoryFile::Close,
                                 tifftest::detail::MemoryFile::Size, tifftest::detail::MemoryFile::Map,
                                 tifftest::detail::MemoryFile::Unmap);
        ASSERT_NE(t, nullptr);
        const std::uint32_t strile = TIFFIsTiled(t) ? TIFFComputeTile(t, 0, 16, 0, 0) : TIFFComputeStrip(t, 16, 0);
        const std::uint64_t start = TIFFGetStrileOffset(t, strile);
        const std::uint64_t size = TIFFGetStrileByteCount(t, strile);
        TIFFClose(t);
        const std::size_t keep = static_cast<std::size_t>(start + size * 6 / 10);
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));

        const Decoded d = Decode(cut);
        ASSERT_EQ(d.warnings.size(), 1u);
        EXPECT_EQ(d.warnings[0].kind, "truncated");
        EXPECT_EQ(d.warnings[0].message, std::string("the file ends inside the image data, at the ") + c.unit +
                                             " of rows 16 to 31; what the file does not hold is zero");
        const std::size_t rowBytes = d.format.RowBytes();
        // Everything before the cut strile is as in the whole file...
        ASSERT_TRUE(
            std::equal(d.rows.begin(), d.rows.begin() + static_cast<std::ptrdiff_t>(16 * rowBytes), full.rows.begin()));
        // ...everything after it zero...
        EXPECT_TRUE(ZeroFrom(d, 32));
        // ...and of the cut one, whole rows as decoded, then zeros.
        int kept = 16;
        while (kept < 32 && std::equal(d.rows.begin() + static_cast<std::ptrdiff_t>(kept * rowBytes),
                                       d.rows.begin() + static_cast<std::ptrdiff_t>((kept + 1) * rowBytes),
                                       full.rows.begin() + static_cast<std::ptrdiff_t>(kept * rowBytes)))
            ++kept;
        if (std::string(c.what) == "uncompressed strips") {
            // Exactly the bytes there are: 60 % of 16 rows.
            const std::size_t held = static_cast<std::size_t>(size * 6 / 10);
            EXPECT_EQ(kept, 16 + static_cast<int>(held / rowBytes));
            const std::size_t at = 16 * rowBytes + held;
            EXPECT_TRUE(
                std::equal(d.rows.begin(), d.rows.begin() + static_cast<std::ptrdiff_t>(at), full.rows.begin()));
            EXPECT_TRUE(std::all_of(d.rows.begin() + static_cast<std::ptrdiff_t>(at), d.rows.end(),
                                    [](std::uint8_t b) { return b == 0; }));
        } else if (c.codecRowsKept) {
            EXPECT_GE(kept, 20);
            EXPECT_LT(kept, 32);
            EXPECT_TRUE(ZeroFrom(d, kept));
        } else if (std::string(c.unit) == "tiles") {
            // The cut tile keeps its decodable rows; the tile beside it, and
            // every later one, is not in the file.
            for (int y = 16; y < 32; ++y)
                EXPECT_TRUE(std::all_of(d.rows.begin() + static_cast<std::ptrdiff_t>(y * rowBytes + 16 * 3),
                                        d.rows.begin() + static_cast<std::ptrdiff_t>((y + 1) * rowBytes),
                                        [](std::uint8_t b) { return b == 0; }));
        } else {
            EXPECT_TRUE(ZeroFrom(d, 16));  // the converter's strip is zero whole
        }
    }
}

// ---- damage and sizes -----------------------------------------------------------------

TEST(TiffRows, DamagedAndOversizedFilesHaveTheirExactOutcome) {
    TiffPage lzw = Page(kRgb, 8, 3, kLzw);
    lzw.samples = tifftest::SmoothSamples(lzw);
    Bytes garbled = tifftest::DirectoryFirst(tifftest::WriteTiff(lzw));
    std::fill(garbled.end() - 40, garbled.end(), 0xFF);  // inside the last strip's codes

    const Bytes huge = tifftest::RawTiff(tifftest::GrayEntries(100000, 100000, 10), Bytes(10, 0));
    // A row of 4 tiles of 512 x 512 is a megabyte of band.
    std::vector<tifftest::RawEntry> bigTiles = tifftest::GrayEntries(2000, 1000, 10);
    bigTiles.erase(bigTiles.begin() + 5, bigTiles.end());
    bigTiles.push_back({277, 3, {1}});
    bigTiles.push_back({322, 4, {512}});
    bigTiles.push_back({323, 4, {512}});
    bigTiles.push_back({324, 4, std::vector<std::uint32_t>(8, 0)});
    bigTiles.push_back({325, 4, std::vector<std::uint32_t>(8, 10)});
    std::vector<tifftest::RawEntry> hugeTiles = tifftest::GrayEntries(16, 16, 10);
    hugeTiles.erase(hugeTiles.begin() + 5, hugeTiles.end());  // no strips
    hugeTiles.push_back({322, 4, {65536}});
    hugeTiles.push_back({323, 4, {65536}});
    hugeTiles.push_back({324, 4, {0}});
    hugeTiles.push_back({325, 4, {10}});
    hugeTiles.insert(hugeTiles.begin() + 5, {277, 3, {1}});
    std::vector<tifftest::RawEntry> tinyLzw = tifftest::GrayEntries(1000, 1000, 10);
    tinyLzw[3].values = {COMPRESSION_LZW};
    Limits small;
    small.pixels = std::uint64_t{1} << 20;
    Limits fewBytes;
    fewBytes.decodedBytes = 100000;

    const struct {
        const char* what;
        Bytes file;
        Limits limits;
        std::string message;
        bool tooLarge;  // EPictureTooLarge, refused before anything is allocated
    } cases[] = {
        {"not a TIFF file", Bytes(100, 'X'), kDefaultLimits,
         "TIFF error: Not a TIFF or MDI file, bad magic number 22616 (0x5858)", false},
        {"a header and no directory", Bytes{'I', 'I', 42, 0, 8, 0, 0, 0}, kDefaultLimits,
         "TIFF error: TIFFFetchDirectory: Can not read TIFF directory count", false},
        {"LZW codes that make no sense", garbled, kDefaultLimits, "TIFF error: Using code not yet in table", false},
        {"a huge picture in a small file", huge, small,
         "Picture too large (100000 x 100000 pixels; the limit is 1048576 pixels)", true},
        {"a band of tiles larger than the bytes allowed", tifftest::RawTiff(bigTiles, Bytes(10, 0)), fewBytes,
         "Picture too large (more than 100000 bytes of pixels)", true},
        {"compressed data far too small for its rows", tifftest::RawTiff(tinyLzw, Bytes(10, 0)), kDefaultLimits,
         "TIFF error: strip or tile 0 of 10 bytes cannot decode to 1000000 bytes", false},
        {"tiles far larger than the picture", tifftest::RawTiff(hugeTiles, Bytes(10, 0)), kDefaultLimits,
         "TIFF error: tiles of 65536 x 65536 pixels for a picture of 16 x 16", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            Decode(c.file, c.limits);
            ADD_FAILURE() << "decoded";
        } catch (const EPictureTooLarge& e) {
            EXPECT_TRUE(c.tooLarge) << e.Message();
            EXPECT_EQ(e.Message(), c.message);
        } catch (const EInvalidGraphic& e) {
            EXPECT_FALSE(c.tooLarge) << e.Message();
            // libtiff's own words after ours; codec messages end in details.
            EXPECT_EQ(e.Message().substr(0, c.message.size()), c.message);
        }
    }
}

TEST(TiffRows, LibtiffsWarningsAreCorruptWarningsButPrivateTagsAreNone) {
    const Bytes pixels(6, 0x40);
    std::vector<tifftest::RawEntry> privateTag = tifftest::GrayEntries(3, 2, 6);
    privateTag.push_back({65000, 2, {'h', 'i', 0}});
    std::vector<tifftest::RawEntry> unsorted = tifftest::GrayEntries(3, 2, 6);
    std::swap(unsorted[0], unsorted[1]);
    const struct {
        const char* what;
        Bytes file;
        std::vector<DecodeWarning> warnings;
    } cases[] = {
        {"plain", tifftest::RawTiff(tifftest::GrayEntries(3, 2, 6), pixels), {}},
        {"a private tag", tifftest::RawTiff(privateTag, pixels), {}},
        {"tags out of order",
         tifftest::RawTiff(unsorted, pixels),
         {{"corrupt",
           "TIFF warning: TIFFReadDirectoryCheckOrder: Invalid TIFF directory; tags are not sorted in "
           "ascending order"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = Decode(c.file);
        EXPECT_EQ(d.warnings, c.warnings);
        EXPECT_EQ(d.rows, pixels);
    }
}

// The fuzzer's seeds and every TIFF reproducer it found, each with its
// outcome (tests/data/tiff/README.md says how the seeds were written): the
// layout the rows keep, or what the RGBA converter makes of the rest; a
// file without a row fails the test.
TEST(TiffRows, DataFilesHaveTheirExactOutcome) {
    struct Outcome {
        int width = 0, height = 0;
        RowLayout layout = RowLayout::Rgb;
        int bitDepth = 8;
        int paletteSize = 0;
        std::vector<DecodeWarning> warnings;
        std::string error;  // the message of a file refused
    };
    const std::map<std::string, Outcome> outcomes = {
        {"tiff/gray1_packbits.tif", {17, 13, RowLayout::Gray, 1, 0, {}, ""}},
        {"tiff/gray4_tiles.tif", {17, 13, RowLayout::Gray, 4, 0, {}, ""}},
        {"tiff/gray8_min_is_white_lzw.tif", {17, 13, RowLayout::Gray, 8, 0, {}, ""}},
        {"tiff/gray16_deflate_predictor_big_endian.tif", {17, 13, RowLayout::Gray, 16, 0, {}, ""}},
        {"tiff/gray_alpha8.tif", {17, 13, RowLayout::GrayAlpha, 8, 0, {}, ""}},
        {"tiff/palette4_lzw.tif", {17, 13, RowLayout::Index, 4, 16, {}, ""}},
        {"tiff/palette8_lzw.tif", {17, 13, RowLayout::Index, 8, 256, {}, ""}},
        {"tiff/rgb8_none.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/rgb8_lzw_predictor.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/rgb8_deflate_tiles.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/rgb8_planes_tiles.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/rgb16_lzw_big_endian.tif", {17, 13, RowLayout::Rgb, 16, 0, {}, ""}},
        {"tiff/rgba8_associated_packbits.tif", {17, 13, RowLayout::Rgba, 8, 0, {}, ""}},
        {"tiff/rgba16_planes.tif", {17, 13, RowLayout::Rgba, 16, 0, {}, ""}},
        // Through libtiff's converter: colors, opaque.
        {"tiff/jpeg_ycbcr.tif", {24, 16, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/cmyk8_lzw.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/cielab8.tif", {17, 13, RowLayout::Rgb, 8, 0, {}, ""}},
        {"tiff/jpeg_gray.tif", {16, 16, RowLayout::Gray, 8, 0, {}, ""}},
        // The first page only.
        {"tiff/two_pages.tif", {17, 13, RowLayout::Gray, 8, 0, {}, ""}},
        // Strips of 4 rows; the file ends inside the second one.
        {"tiff/rgb8_lzw_cut.tif",
         {17,
          13,
          RowLayout::Rgb,
          8,
          0,
          {{"truncated",
            "the file ends inside the image data, at the strip of rows 4 to 7; what the file does not hold is zero"}},
          ""}},
        // The converter refused after its start, by a later check of the
        // constructor: what it took is given back (a leak under the fuzzer).
        // 260 bytes of 16 x 65359 pixels of 32769 samples each: every row
        // read would cost half a megabyte (2.5 s for the whole).
        {"regress/tiff_thousands_of_samples_a_pixel.tif",
         {0,
          0,
          RowLayout::Rgb,
          8,
          0,
          {},
          "TIFF error: 32769 samples of 8 bits a pixel; at most 16 bytes a pixel are read"}},
        {"regress/tiff_converter_refused_after_it_started.tif",
         {0, 0, RowLayout::Rgb, 8, 0, {}, "Picture too large (more than 67108864 bytes of pixels)"}},
    };
    const std::filesystem::path root(DUVO_TEST_DATA);
    std::size_t seen = 0;
    for (const char* folder : {"tiff", "regress"})
        for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".tif" && ext != ".tiff") continue;
            const std::string name = std::string(folder) + "/" + entry.path().filename().string();
            SCOPED_TRACE(name);
            const auto want = outcomes.find(name);
            ASSERT_NE(want, outcomes.end()) << "a file without its outcome";
            ++seen;
            std::ifstream in(entry.path(), std::ios::binary);
            const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            Limits limits;
            limits.pixels = std::uint64_t{1} << 22;
            limits.decodedBytes = std::uint64_t{1} << 26;
            Outcome got;
            try {
                const Decoded d = Decode(bytes, limits);
                got = {d.format.width,
                       d.format.height,
                       d.format.layout,
                       d.format.bitDepth,
                       d.format.paletteSize,
                       d.warnings,
                       ""};
                if (name == "tiff/rgb8_lzw_cut.tif") {
                    // The rows of the strips after the cut are zero.
                    const std::size_t from = d.format.RowBytes() * 8;
                    EXPECT_EQ(std::count(d.rows.begin() + static_cast<std::ptrdiff_t>(from), d.rows.end(), 0),
                              static_cast<std::ptrdiff_t>(d.rows.size() - from));
                }
            } catch (const EInvalidGraphic& e) {
                got.error = e.Message();
            }
            EXPECT_EQ(got.error, want->second.error);
            EXPECT_EQ(got.width, want->second.width);
            EXPECT_EQ(got.height, want->second.height);
            EXPECT_EQ(got.layout, want->second.layout);
            EXPECT_EQ(got.bitDepth, want->second.bitDepth);
            EXPECT_EQ(got.paletteSize, want->second.paletteSize);
            EXPECT_EQ(got.warnings, want->second.warnings);
        }
    EXPECT_EQ(seen, outcomes.size()) << "a file of the table is missing";
}

}  // namespace
