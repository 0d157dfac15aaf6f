// Our PNG row source against libspng decoding the same bytes to the file's
// own layout: every color type, bit depth, filter and interlacing that the
// tests' writer makes, read in bands of several sizes; the vector unfilters
// against the plain ones; then damaged files with their exact outcome, the
// size limits, and the files kept in tests/data.
#include "codecs/png/png_rows.h"

#include <gtest/gtest.h>
#include <spng.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codecs/png/png_filter.h"
#include "png_builder.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace {

using duvo::DecodeWarning;
using duvo::RowFormat;
using duvo::RowLayout;
using duvo::test::PngBuilder;
using duvo::test::PngChannels;
using duvo::test::PngRecipe;
using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    RowFormat format;
    bool sequential = true;
    Bytes rows;
    std::vector<DecodeWarning> warnings;
};

// The rows of a whole picture, collected band by band.
Decoded DecodeOurs(const Bytes& file, int band = 1 << 30, const duvo::Limits& limits = duvo::kDefaultLimits) {
    auto source = duvo::OpenPngRows(file, limits);
    Decoded d;
    d.format = source->Format();
    d.sequential = source->Sequential();
    const std::size_t rowBytes = d.format.RowBytes();
    d.rows.assign(rowBytes * static_cast<std::size_t>(source->Height()), 0xEE);
    for (int y = 0; y < source->Height(); y += band) {
        const int n = std::min(band, source->Height() - y);
        source->ReadRows(d.rows.data() + static_cast<std::size_t>(y) * rowBytes, static_cast<std::ptrdiff_t>(rowBytes),
                         n);
    }
    source->Finish();
    d.warnings = source->Warnings();
    return d;
}

// libspng's rows in the file's layout (SPNG_FMT_RAW: 16-bit samples big-endian,
// as SPNG_FMT_PNG would give them on a big-endian machine), or nullopt when
// it refuses the file.
std::optional<Bytes> DecodeSpng(const Bytes& file) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    std::size_t size = 0;
    std::optional<Bytes> out;
    if (spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size) == 0) {
        Bytes rows(size);
        if (spng_decode_image(ctx, rows.data(), rows.size(), SPNG_FMT_RAW, 0) == 0) out = std::move(rows);
    }
    spng_ctx_free(ctx);
    return out;
}

PngRecipe R(int width, int height, int depth, int colorType, bool interlaced = false) {
    PngRecipe r;
    r.width = width;
    r.height = height;
    r.bitDepth = depth;
    r.colorType = colorType;
    r.interlaced = interlaced;
    r.filter = -1;
    r.deflate = true;
    return r;
}

// Random samples (indices below the palette size), some pixels on the key.
PngRecipe Filled(PngRecipe r, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const int ch = PngChannels(r.colorType);
    const std::uint32_t count = r.colorType == 3 ? static_cast<std::uint32_t>(r.palette.size()) : (1u << r.bitDepth);
    r.samples.resize(static_cast<std::size_t>(r.width) * r.height * ch);
    // Runs of one value now and then, so that deflate finds matches.
    for (std::size_t i = 0; i < r.samples.size(); ++i)
        r.samples[i] = i > 0 && rng() % 4 == 0 ? r.samples[i - 1] : static_cast<std::uint16_t>(rng() % count);
    if (r.transparent)
        for (std::size_t i = 0; i < r.samples.size() / ch; i += 3)
            for (int c = 0; c < ch; ++c) r.samples[i * ch + c] = (*r.transparent)[c];
    return r;
}

std::vector<std::array<std::uint8_t, 3>> Palette(int n) {
    std::vector<std::array<std::uint8_t, 3>> p;
    for (int i = 0; i < n; ++i)
        p.push_back(
            {static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i)});
    return p;
}

std::vector<PngRecipe> EveryKind() {
    std::vector<PngRecipe> kinds;
    // Sizes: one pixel; odd sizes with partial bytes and empty or one-pixel
    // interlace passes; rows long enough for the vector loops.
    const std::pair<int, int> sizes[] = {{1, 1}, {13, 7}, {3, 12}, {71, 11}};
    for (bool interlaced : {false, true})
        for (const auto& [w, h] : sizes) {
            for (int depth : {1, 2, 4, 8, 16}) {
                kinds.push_back(R(w, h, depth, 0, interlaced));
                PngRecipe keyed = R(w, h, depth, 0, interlaced);
                keyed.transparent = std::array<std::uint16_t, 3>{static_cast<std::uint16_t>((1u << depth) - 1), 0, 0};
                kinds.push_back(keyed);
            }
            for (int depth : {1, 2, 4, 8}) {
                PngRecipe p = R(w, h, depth, 3, interlaced);
                p.palette = Palette(std::min(1 << depth, 200));
                kinds.push_back(p);
                p.paletteAlpha = {0, 77, 200};  // shorter than the palette: the rest opaque
                if (depth == 1) p.paletteAlpha.resize(2);
                kinds.push_back(p);
            }
            for (int depth : {8, 16}) {
                kinds.push_back(R(w, h, depth, 2, interlaced));
                PngRecipe keyed = R(w, h, depth, 2, interlaced);
                keyed.transparent = std::array<std::uint16_t, 3>{1, 2, 3};
                kinds.push_back(keyed);
                kinds.push_back(R(w, h, depth, 4, interlaced));
                kinds.push_back(R(w, h, depth, 6, interlaced));
            }
        }
    return kinds;
}

std::string Describe(const PngRecipe& r) {
    return "color type " + std::to_string(r.colorType) + ", " + std::to_string(r.bitDepth) + " bit, " +
           std::to_string(r.width) + "x" + std::to_string(r.height) + (r.interlaced ? ", interlaced" : "") +
           (r.transparent ? ", keyed" : "") + (r.paletteAlpha.empty() ? "" : ", palette alpha");
}

TEST(PngRows, EveryColorTypeDepthAndInterlacingGivesLibspngsRows) {
    static const RowLayout kLayouts[7] = {RowLayout::Gray,      RowLayout::Gray, RowLayout::Rgb, RowLayout::Index,
                                          RowLayout::GrayAlpha, RowLayout::Gray, RowLayout::Rgba};
    std::uint32_t seed = 1;
    for (const PngRecipe& kind : EveryKind()) {
        const PngRecipe r = Filled(kind, seed++);
        SCOPED_TRACE(Describe(r));
        const Bytes file = PngBuilder::Build(r);
        const auto reference = DecodeSpng(file);
        ASSERT_TRUE(reference.has_value());
        for (int band : {1, 3, 1 << 30}) {
            const Decoded d = DecodeOurs(file, band);
            EXPECT_EQ(d.format.width, r.width);
            EXPECT_EQ(d.format.height, r.height);
            EXPECT_EQ(d.format.layout, kLayouts[r.colorType]);
            EXPECT_EQ(d.format.bitDepth, r.bitDepth);
            EXPECT_EQ(d.sequential, !r.interlaced);
            EXPECT_EQ(d.rows, *reference) << "read in bands of " << band;
            EXPECT_TRUE(d.warnings.empty());
            EXPECT_EQ(d.format.hasColorKey, r.transparent.has_value());
            if (r.transparent) {
                EXPECT_EQ(d.format.colorKey[0], (*r.transparent)[0]);
                if (r.colorType == 2) {
                    EXPECT_EQ(d.format.colorKey, *r.transparent);
                }
            }
            if (r.colorType == 3) {
                ASSERT_EQ(d.format.paletteSize, static_cast<int>(r.palette.size()));
                for (std::size_t i = 0; i < r.palette.size(); ++i) {
                    const duvo::Rgba8 want{r.palette[i][0], r.palette[i][1], r.palette[i][2],
                                           i < r.paletteAlpha.size() ? r.paletteAlpha[i] : std::uint8_t{255}};
                    EXPECT_EQ(d.format.palette[i], want) << "entry " << i;
                }
            }
        }
    }
}

TEST(PngRows, EachFilterAloneOnLongRows) {
    // Rows of 517 pixels take the vector kernels' main loops and their tails.
    for (int colorType : {2, 6, 4})
        for (int depth : {8, 16})
            for (int filter = 0; filter <= 4; ++filter) {
                PngRecipe r = Filled(R(517, 5, depth, colorType), static_cast<std::uint32_t>(filter + depth));
                r.filter = filter;
                SCOPED_TRACE(Describe(r) + ", filter " + std::to_string(filter));
                const Bytes file = PngBuilder::Build(r);
                // Bands of 2 and 3: Paeth rows in pairs, and one left over.
                EXPECT_EQ(DecodeOurs(file, 2).rows, DecodeSpng(file).value());
                EXPECT_EQ(DecodeOurs(file, 3).rows, DecodeSpng(file).value());
            }
}

// Each vector kernel against the plain one, with guard bytes behind the row
// that no kernel may touch.
TEST(PngUnfilter, VectorKernelsMatchThePlainOnesOnEveryWidthUpTo70Pixels) {
    std::mt19937 rng(5);
    int sets = 0;
    for (int bpp : {3, 4}) {
        const duvo::png::Unfilters& plain = duvo::png::PlainUnfilters(bpp);
        for (const duvo::png::Unfilters* k : {duvo::png::Sse41Unfilters(bpp), duvo::png::Avx2Unfilters(bpp)}) {
            if (!k) continue;
            ++sets;
            for (int filter = duvo::png::kFilterSub; filter <= duvo::png::kFilterPaeth; ++filter)
                for (int width = 1; width <= 70; ++width)
                    for (int trial = 0; trial < 4; ++trial) {
                        const std::size_t n = static_cast<std::size_t>(width * bpp);
                        Bytes src(n), prev(n), want(n + 64, 0xA5), got(n + 64, 0xA5);
                        for (auto& b : src) b = static_cast<std::uint8_t>(rng());
                        // Runs of equal bytes make Paeth's ties.
                        for (auto& b : prev) b = static_cast<std::uint8_t>(trial == 0 ? rng() % 3 : rng());
                        duvo::png::Unfilter(plain, static_cast<std::uint8_t>(filter), want.data(), src.data(),
                                            prev.data(), n);
                        duvo::png::Unfilter(*k, static_cast<std::uint8_t>(filter), got.data(), src.data(), prev.data(),
                                            n);
                        ASSERT_EQ(got, want) << k->name << ", " << bpp << " bytes a pixel, filter " << filter << ", "
                                             << width << " pixels";
                    }
        }
    }
    if (sets == 0) GTEST_SKIP() << "no vector unfilters on this processor";
}

// Two Paeth rows at once against the plain kernel run twice.
TEST(PngUnfilter, PaethPairsMatchTwoPlainRows) {
    std::mt19937 rng(6);
    for (int bpp = 1; bpp <= duvo::png::kMaxFilterBytes; ++bpp) {
        const duvo::png::Unfilters& plain = duvo::png::PlainUnfilters(bpp);
        for (const duvo::png::Unfilters* k :
             {&duvo::png::BestUnfilters(bpp), duvo::png::Sse41Unfilters(bpp), duvo::png::Avx2Unfilters(bpp)}) {
            if (!k) continue;
            for (int width = 1; width <= 70; ++width)
                for (int trial = 0; trial < 3; ++trial) {
                    const std::size_t n = static_cast<std::size_t>(width * bpp);
                    Bytes src0(n), src1(n), prev(n), want0(n), want1(n);
                    for (auto* v : {&src0, &src1, &prev})
                        for (auto& b : *v) b = static_cast<std::uint8_t>(trial == 0 ? rng() % 3 : rng());
                    plain.paeth(want0.data(), src0.data(), prev.data(), n);
                    plain.paeth(want1.data(), src1.data(), want0.data(), n);
                    Bytes got0(n + 64, 0xA5), got1(n + 64, 0xA5);
                    k->paethPair(got0.data(), got1.data(), src0.data(), src1.data(), prev.data(), n);
                    want0.resize(n + 64, 0xA5);
                    want1.resize(n + 64, 0xA5);
                    ASSERT_EQ(got0, want0) << k->name << ", " << bpp << " bytes a pixel, " << width << " pixels";
                    ASSERT_EQ(got1, want1) << k->name << ", " << bpp << " bytes a pixel, " << width << " pixels";
                }
        }
    }
}

TEST(PngUnfilter, PlainKernelsFollowTheFormulas) {
    // One hand-worked row per filter, 1-byte pixels: a = left, b = above,
    // c = above-left.
    const Bytes prev{10, 20, 200, 40};
    const Bytes src{5, 6, 7, 250};
    const struct {
        int filter;
        Bytes want;
    } rows[] = {
        {duvo::png::kFilterNone, {5, 6, 7, 250}},
        {duvo::png::kFilterSub, {5, 11, 18, 12}},
        {duvo::png::kFilterUp, {15, 26, 207, 34}},
        // 5 + 10/2, 6 + (10+20)/2, 7 + (21+200)/2, 250 + (117+40)/2 mod 256
        {duvo::png::kFilterAverage, {10, 21, 117, 72}},
        // first b; then p = a+b-c: (15,20,10) -> b 20 -> 26; (26,200,20) -> pa 180 pb 6 pc 186 -> b 200 -> 207;
        // (207,40,200) -> pa 160 pb 7 pc 153 -> b 40 -> 34
        {duvo::png::kFilterPaeth, {15, 26, 207, 34}},
    };
    for (const auto& row : rows) {
        Bytes got(4);
        ASSERT_TRUE(duvo::png::Unfilter(duvo::png::PlainUnfilters(1), static_cast<std::uint8_t>(row.filter), got.data(),
                                        src.data(), prev.data(), 4));
        EXPECT_EQ(got, row.want) << "filter " << row.filter;
    }
    Bytes got(4);
    EXPECT_FALSE(duvo::png::Unfilter(duvo::png::PlainUnfilters(1), 5, got.data(), src.data(), prev.data(), 4));
}

// --- Damaged files ---------------------------------------------------------

struct ChunkAt {
    std::string type;
    std::size_t at = 0, length = 0;
    std::size_t End() const { return at + 12 + length; }
};

std::vector<ChunkAt> Chunks(const Bytes& b) {
    std::vector<ChunkAt> out;
    for (std::size_t at = 8; at + 12 <= b.size();) {
        ChunkAt c;
        c.at = at;
        c.length =
            (std::size_t{b[at]} << 24) | (std::size_t{b[at + 1]} << 16) | (std::size_t{b[at + 2]} << 8) | b[at + 3];
        c.type.assign(b.begin() + static_cast<std::ptrdiff_t>(at + 4), b.begin() + static_cast<std::ptrdiff_t>(at + 8));
        out.push_back(c);
        at = c.End();
    }
    return out;
}

const ChunkAt& Find(const std::vector<ChunkAt>& chunks, const std::string& type, int nth = 0) {
    for (const auto& c : chunks)
        if (c.type == type && nth-- == 0) return c;
    throw std::runtime_error("no chunk " + type);
}

void FixCrc(Bytes& b, const ChunkAt& c) {
    const std::uint32_t crc = duvo::test::PngCrc(b.data() + c.at + 4, 4 + c.length) ^ 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) b[c.at + 8 + c.length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
}

Bytes Cut(const Bytes& b, std::size_t size) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(size)); }

Bytes Spliced(const Bytes& b, std::size_t at, const Bytes& piece) {
    Bytes out = Cut(b, at);
    out.insert(out.end(), piece.begin(), piece.end());
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(at), b.end());
    return out;
}

Bytes Replaced(const Bytes& b, const ChunkAt& c, const Bytes& chunk) {
    Bytes out = Cut(b, c.at);
    out.insert(out.end(), chunk.begin(), chunk.end());
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(c.End()), b.end());
    return out;
}

struct Outcome {
    std::string error;  // the whole message, or empty
    std::vector<DecodeWarning> warnings;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << (o.error.empty() ? "decoded" : o.error);
    for (const auto& w : o.warnings) os << " [" << w.kind << ": " << w.message << "]";
    return os;
}

Outcome OutcomeOf(const Bytes& file) {
    try {
        return {"", DecodeOurs(file).warnings};
    } catch (const duvo::EPictureTooLarge& e) {
        return {"too large: " + e.Message(), {}};
    } catch (const duvo::EInvalidGraphic& e) {
        return {e.Message(), {}};
    }
}

Outcome Error(const std::string& why) { return {"PNG error: " + why, {}}; }
Outcome Warned(std::vector<DecodeWarning> w) { return {"", std::move(w)}; }
const Outcome kClean{};

DecodeWarning Truncated(std::string m) { return {duvo::warning_kind::Truncated, std::move(m)}; }
DecodeWarning Corrupt(std::string m) { return {duvo::warning_kind::Corrupt, std::move(m)}; }

// A palette picture with tRNS, a tEXt chunk before and after the image data,
// and its image data in three IDAT chunks.
PngRecipe Sample() {
    PngRecipe r = R(40, 30, 8, 3);
    r.palette = Palette(5);
    r.paletteAlpha = {0, 128};
    r.idatSize = 0;
    Bytes text{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'};
    r.before = {{"tEXt", text}};
    r.after = {{"tEXt", text}};
    r = Filled(r, 9);
    const std::size_t size = PngBuilder::Deflated(PngBuilder::Scanlines(r)).size();
    r.idatSize = size / 3 + 1;
    return r;
}

Bytes Flip(Bytes b, std::size_t at) {
    b[at] ^= 0x10;
    return b;
}

TEST(PngRowsDamage, EachChecksumAndEachRuleHasItsOutcome) {
    const PngRecipe recipe = Sample();
    const Bytes good = PngBuilder::Build(recipe);
    const auto chunks = Chunks(good);
    auto crcOf = [&](const std::string& type, int nth = 0) { return Find(chunks, type, nth).End() - 1; };
    auto dataOf = [&](const std::string& type, int nth = 0) { return Find(chunks, type, nth).at + 8; };
    const ChunkAt& lastIdat = Find(chunks, "IDAT", 2);

    // A stream whose Adler-32 is off by one, in a chunk with a right CRC.
    Bytes adler = good;
    adler[lastIdat.End() - 5] ^= 1;
    FixCrc(adler, lastIdat);
    // A stored block where the whole stream is: its length and its check disagree.
    PngRecipe stored = recipe;
    stored.deflate = false;
    stored.idatSize = 0;
    Bytes badBlock = PngBuilder::Build(stored);
    {
        const ChunkAt idat = Find(Chunks(badBlock), "IDAT");
        badBlock[idat.at + 8 + 2 + 3] ^= 0xFF;  // NLEN
        FixCrc(badBlock, idat);
    }
    auto withZlibHeader = [&](std::uint8_t cmf, std::uint8_t flg) {
        Bytes b = good;
        const ChunkAt& idat = Find(chunks, "IDAT");
        b[idat.at + 8] = cmf;
        b[idat.at + 9] = static_cast<std::uint8_t>((flg & 0xE0) | (31 - ((cmf << 8) | (flg & 0xE0)) % 31) % 31);
        FixCrc(b, idat);
        return b;
    };
    auto withRecipe = [&](auto change) {
        PngRecipe r = recipe;
        change(r);
        return PngBuilder::Build(r);
    };
    const Bytes ihdr = PngBuilder::ChunkBytes("IHDR", Bytes(good.begin() + 16, good.begin() + 29));
    const Bytes text = PngBuilder::ChunkBytes("tEXt", {'a', 0, 'b'});
    // The scanlines and one more, or less one.
    auto rawRows = [&](int extraRows) {
        Bytes raw = PngBuilder::Scanlines(recipe);
        raw.resize(raw.size() + static_cast<std::size_t>(extraRows * 41));
        return PngBuilder::Deflated(raw);
    };
    // The three IDAT chunks replaced by one holding z.
    auto withStream = [&](const Bytes& z) {
        Bytes out = Cut(good, Find(chunks, "IDAT").at);
        const Bytes idat = PngBuilder::ChunkBytes("IDAT", z);
        out.insert(out.end(), idat.begin(), idat.end());
        out.insert(out.end(), good.begin() + static_cast<std::ptrdiff_t>(lastIdat.End()), good.end());
        return out;
    };
    Bytes trailingInStream = PngBuilder::Deflated(PngBuilder::Scanlines(recipe));
    trailingInStream.insert(trailingInStream.end(), {1, 2, 3});
    Bytes badFilter = PngBuilder::Scanlines(recipe);
    badFilter[41 * 2] = 7;  // row 2

    const struct {
        const char* what;
        Bytes bytes;
        Outcome outcome;
    } rows[] = {
        {"the sound file", good, kClean},
        // Checksums.
        {"IHDR's CRC", Flip(good, crcOf("IHDR")), Error("the CRC of chunk IHDR is wrong")},
        {"PLTE's CRC", Flip(good, crcOf("PLTE")), Error("the CRC of chunk PLTE is wrong")},
        {"the first IDAT's CRC", Flip(good, crcOf("IDAT")), Error("the CRC of chunk IDAT is wrong")},
        {"the last IDAT's CRC", Flip(good, crcOf("IDAT", 2)), Error("the CRC of chunk IDAT is wrong")},
        {"a byte inside IDAT", Flip(good, dataOf("IDAT", 1) + 3), Error("the CRC of chunk IDAT is wrong")},
        {"IEND's CRC", Flip(good, crcOf("IEND")), Error("the CRC of chunk IEND is wrong")},
        {"the Adler-32", adler, Error("the image data's Adler-32 checksum is wrong")},
        {"tRNS's CRC: skipped", Flip(good, crcOf("tRNS")),
         Warned({Corrupt("the CRC of chunk tRNS is wrong; the chunk is skipped")})},
        {"tEXt's CRC before the image", Flip(good, crcOf("tEXt")),
         Warned({Corrupt("the CRC of chunk tEXt is wrong; the chunk is skipped")})},
        {"tEXt's CRC after the image", Flip(good, crcOf("tEXt", 1)),
         Warned({Corrupt("the CRC of chunk tEXt is wrong; the chunk is skipped")})},
        // The stream.
        {"a stored block's length check", badBlock, Error("the image data holds an invalid deflate block")},
        {"not deflate", withZlibHeader(0x79, 0x00), Error("the image data does not start with a zlib header")},
        {"a window past 32K", withZlibHeader(0x88, 0x00), Error("the image data does not start with a zlib header")},
        {"a preset dictionary", withZlibHeader(0x78, 0x20), Error("the image data asks for a preset dictionary")},
        {"an unknown filter type", withStream(PngBuilder::Deflated(badFilter)),
         Error("row 2 has an unknown filter type 7")},
        {"a row too few", withStream(rawRows(-1)), Error("the image data ends before the picture is complete")},
        {"a row too many", withStream(rawRows(1)), Warned({Corrupt("the image data holds more than the picture")})},
        {"a row too many and a wrong Adler-32",
         [&] {
             Bytes z = rawRows(1);
             z.back() ^= 1;
             return withStream(z);
         }(),
         Error("the image data's Adler-32 checksum is wrong")},
        {"bytes after the stream in its chunk", withStream(trailingInStream),
         Warned({Corrupt("data follows the end of the image data's stream")})},
        {"an IDAT chunk after the stream", Spliced(good, lastIdat.End(), PngBuilder::ChunkBytes("IDAT", {1, 2})),
         Warned({Corrupt("data follows the end of the image data's stream")})},
        {"an empty IDAT chunk after the stream", Spliced(good, lastIdat.End(), PngBuilder::ChunkBytes("IDAT", {})),
         kClean},
        {"another chunk inside the IDAT run", Spliced(good, Find(chunks, "IDAT", 1).at, text),
         Error("the image data ends too early")},
        {"IDAT again after another chunk", Spliced(good, Find(chunks, "IEND").at, PngBuilder::ChunkBytes("IDAT", {1})),
         Error("a second run of IDAT chunks")},
        // Structure before the image data.
        {"a second IHDR", Spliced(good, Find(chunks, "PLTE").at, ihdr), Error("a second IHDR chunk")},
        {"a second IHDR after the image", Spliced(good, Find(chunks, "IEND").at, ihdr), Error("a second IHDR chunk")},
        {"IHDR not first", Spliced(good, 8, text), Error("the first chunk is not IHDR")},
        {"no PLTE", withRecipe([](PngRecipe& r) {
             r.palette.clear();
             r.paletteAlpha.clear();
         }),
         Error("no PLTE chunk before the image data")},
        {"a second PLTE", Spliced(good, Find(chunks, "tRNS").at, PngBuilder::ChunkBytes("PLTE", {1, 2, 3})),
         Error("a second PLTE chunk")},
        {"PLTE after the image", Spliced(good, Find(chunks, "IEND").at, PngBuilder::ChunkBytes("PLTE", {1, 2, 3})),
         Error("a PLTE chunk after the image data")},
        {"tRNS before PLTE", Spliced(good, Find(chunks, "PLTE").at, PngBuilder::ChunkBytes("tRNS", {1})),
         Warned({Corrupt("a tRNS chunk before PLTE; the chunk is skipped")})},
        {"a second tRNS", Spliced(good, Find(chunks, "IDAT").at, PngBuilder::ChunkBytes("tRNS", {1})),
         Warned({Corrupt("a second tRNS chunk; the chunk is skipped")})},
        {"tRNS longer than the palette", withRecipe([](PngRecipe& r) { r.paletteAlpha.assign(6, 1); }),
         Warned({Corrupt("the tRNS chunk is longer than the palette; the chunk is skipped")})},
        {"PLTE of 4 bytes", Replaced(good, Find(chunks, "PLTE"), PngBuilder::ChunkBytes("PLTE", {1, 2, 3, 4})),
         Error("the PLTE chunk has the wrong length")},
        {"an unknown critical chunk", Spliced(good, Find(chunks, "IDAT").at, PngBuilder::ChunkBytes("ABCD", {})),
         Error("an unknown critical chunk ABCD")},
        {"an unknown critical chunk after the image",
         Spliced(good, Find(chunks, "IEND").at, PngBuilder::ChunkBytes("ABCD", {})),
         Error("an unknown critical chunk ABCD")},
        {"an unknown ancillary chunk", Spliced(good, Find(chunks, "IDAT").at, PngBuilder::ChunkBytes("abCD", {9})),
         kClean},
        {"IEND before the image", Spliced(good, Find(chunks, "IDAT").at, PngBuilder::ChunkBytes("IEND", {})),
         Error("the file has no image data")},
        {"a chunk length past the format's maximum",
         [&] {
             Bytes b = good;
             b[Find(chunks, "PLTE").at] = 0x80;
             return b;
         }(),
         Error("the file holds bytes that are not a chunk before the image data")},
        {"not a PNG", Flip(good, 1), Error("the file does not start with the PNG signature")},
        // Behind complete image data.
        {"no IEND", Cut(good, Find(chunks, "IEND").at), Warned({Truncated("the file ends before its IEND chunk")})},
        {"nothing after the image data", Cut(good, lastIdat.End()),
         Warned({Truncated("the file ends before its IEND chunk")})},
        {"IEND with data", Replaced(good, Find(chunks, "IEND"), PngBuilder::ChunkBytes("IEND", {0})),
         Warned({Corrupt("the IEND chunk holds data")})},
        {"bytes after IEND", Spliced(good, good.size(), {1, 2, 3, 4, 5}),
         Warned({Corrupt("5 bytes follow the IEND chunk")})},
        {"garbage instead of chunks", Spliced(Cut(good, lastIdat.End()), lastIdat.End(), Bytes(20, 0xFF)),
         Warned({Corrupt("the bytes after the image data are not a chunk")})},
    };
    for (const auto& row : rows) EXPECT_EQ(OutcomeOf(row.bytes), row.outcome) << row.what;
}

TEST(PngRowsDamage, HeaderFieldsOutsideTheFormatAreRefused) {
    auto withIhdr = [](std::uint32_t w, std::uint32_t h, int depth, int colorType, int comp, int filter,
                       int interlace) {
        PngRecipe r = R(1, 1, 8, 0);
        r.samples = {0};
        Bytes b = PngBuilder::Build(r);
        for (int i = 0; i < 4; ++i) {
            b[16 + i] = static_cast<std::uint8_t>(w >> (24 - 8 * i));
            b[20 + i] = static_cast<std::uint8_t>(h >> (24 - 8 * i));
        }
        b[24] = static_cast<std::uint8_t>(depth);
        b[25] = static_cast<std::uint8_t>(colorType);
        b[26] = static_cast<std::uint8_t>(comp);
        b[27] = static_cast<std::uint8_t>(filter);
        b[28] = static_cast<std::uint8_t>(interlace);
        FixCrc(b, Chunks(b)[0]);
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
        Outcome outcome;
    } rows[] = {
        {"zero width", withIhdr(0, 1, 8, 0, 0, 0, 0), Error("the picture has no pixels")},
        {"zero height", withIhdr(1, 0, 8, 0, 0, 0, 0), Error("the picture has no pixels")},
        {"width 2^31", withIhdr(0x80000000u, 1, 8, 0, 0, 0, 0),
         Error("the picture's size is past the format's maximum")},
        {"color type 1", withIhdr(1, 1, 8, 1, 0, 0, 0), Error("an unknown color type 1")},
        {"color type 7", withIhdr(1, 1, 8, 7, 0, 0, 0), Error("an unknown color type 7")},
        {"RGB at 4 bits", withIhdr(1, 1, 4, 2, 0, 0, 0), Error("bit depth 4 is not allowed for color type 2")},
        {"palette at 16 bits", withIhdr(1, 1, 16, 3, 0, 0, 0), Error("bit depth 16 is not allowed for color type 3")},
        {"gray at 3 bits", withIhdr(1, 1, 3, 0, 0, 0, 0), Error("bit depth 3 is not allowed for color type 0")},
        {"compression 1", withIhdr(1, 1, 8, 0, 1, 0, 0), Error("an unknown compression method")},
        {"filter method 1", withIhdr(1, 1, 8, 0, 0, 1, 0), Error("an unknown filter method")},
        {"interlace 2", withIhdr(1, 1, 8, 0, 0, 0, 2), Error("an unknown interlace method")},
        {"a 12-byte IHDR",
         [] {
             Bytes b = Cut(PngBuilder::Build(Filled(R(1, 1, 8, 0), 1)), 8);
             const Bytes h = PngBuilder::ChunkBytes("IHDR", Bytes(12, 1));
             b.insert(b.end(), h.begin(), h.end());
             return b;
         }(),
         Error("the IHDR chunk has the wrong length")},
        {"5 palette entries at 2 bits",
         [] {
             PngRecipe r = R(2, 2, 2, 3);
             r.palette = Palette(4);
             r = Filled(r, 3);
             r.palette = Palette(5);
             return PngBuilder::Build(r);
         }(),
         Error("the PLTE chunk has more entries than the bit depth can index")},
        {"4 palette entries at 2 bits",
         [] {
             PngRecipe r = R(2, 2, 2, 3);
             r.palette = Palette(4);
             return PngBuilder::Build(Filled(r, 3));
         }(),
         kClean},
        {"a PLTE in a gray picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 0), 3);
             r.before = {{"PLTE", {1, 2, 3}}};
             return PngBuilder::Build(r);
         }(),
         Warned({Corrupt("a PLTE chunk in a gray picture is ignored")})},
        {"a suggested palette in an RGB picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 2), 3);
             r.before = {{"PLTE", {1, 2, 3}}};
             return PngBuilder::Build(r);
         }(),
         kClean},
        {"PLTE after tRNS in an RGB picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 2), 3);
             r.transparent = std::array<std::uint16_t, 3>{1, 2, 3};
             r.before = {{"PLTE", {1, 2, 3}}};
             return PngBuilder::Build(r);
         }(),
         Error("a PLTE chunk after tRNS")},
        {"tRNS in an RGBA picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 6), 3);
             r.before = {{"tRNS", {0, 1, 0, 1, 0, 1}}};
             return PngBuilder::Build(r);
         }(),
         Warned({Corrupt("a tRNS chunk in a picture with an alpha channel; the chunk is skipped")})},
        {"a PLTE of 4 bytes in a gray picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 0), 3);
             r.before = {{"PLTE", {1, 2, 3, 4}}};
             return PngBuilder::Build(r);
         }(),
         Error("the PLTE chunk has the wrong length")},
        {"PLTE after tRNS in a gray picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 0), 3);
             r.before = {{"tRNS", {0, 1}}, {"PLTE", {1, 2, 3}}};
             return PngBuilder::Build(r);
         }(),
         Error("a PLTE chunk after tRNS")},
        {"PLTE after a tRNS skipped for its CRC",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 2), 3);
             r.before = {{"tRNS", {0, 1, 0, 1, 0, 1}}, {"PLTE", {1, 2, 3}}};
             Bytes b = PngBuilder::Build(r);
             b[Find(Chunks(b), "tRNS").End() - 1] ^= 1;
             return b;
         }(),
         Error("a PLTE chunk after tRNS")},
        {"PLTE after a tRNS skipped for its length",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 2), 3);
             r.before = {{"tRNS", {0, 1, 0, 1, 0, 1, 0}}, {"PLTE", {1, 2, 3}}};
             return PngBuilder::Build(r);
         }(),
         Warned({Corrupt("the tRNS chunk has the wrong length; the chunk is skipped")})},
        {"a second suggested palette in an RGB picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 2), 3);
             r.before = {{"PLTE", {1, 2, 3}}, {"PLTE", {4, 5, 6}}};
             return PngBuilder::Build(r);
         }(),
         Warned({Corrupt("a second PLTE chunk is ignored")})},
        {"a 4-byte tRNS in a gray picture",
         [] {
             PngRecipe r = Filled(R(2, 2, 8, 0), 3);
             r.before = {{"tRNS", {0, 1, 0, 1}}};
             return PngBuilder::Build(r);
         }(),
         Warned({Corrupt("the tRNS chunk has the wrong length; the chunk is skipped")})},
    };
    for (const auto& row : rows) EXPECT_EQ(OutcomeOf(row.bytes), row.outcome) << row.what;
}

// A cut at four places in every chunk: in its length, after its type, in
// its data and in its CRC; and at every chunk boundary.
TEST(PngRowsDamage, ACutInEveryChunk) {
    const Bytes good = PngBuilder::Build(Sample());
    const auto chunks = Chunks(good);
    bool afterImage = false;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const ChunkAt& c = chunks[i];
        // What a cut inside the chunk gives.
        Outcome inside;
        if (c.type == "IDAT")
            inside = Error("the file ends inside the image data");
        else if (!afterImage)
            inside =
                Error(c.type == "IHDR" ? "the file ends inside chunk IHDR" : "the file ends inside chunk " + c.type);
        else
            inside = Warned({Truncated("the file ends inside chunk " + c.type)});
        Outcome inLength = inside;
        if (c.type == "IDAT" && chunks[i - 1].type == "IDAT")
            inLength = Error("the file ends inside the image data");
        else if (!afterImage)
            inLength = Error(c.type == "IHDR" ? "the file ends before its header" : "the file ends too early");
        else if (c.type != "IDAT")
            inLength = Warned({Truncated("the file ends before its IEND chunk")});
        if (i + 1 < chunks.size() && chunks[i + 1].type != "IDAT" && c.type == "IDAT") afterImage = true;
        SCOPED_TRACE("chunk " + std::to_string(i) + " " + c.type);
        EXPECT_EQ(OutcomeOf(Cut(good, c.at + 2)), inLength) << "in its length";
        EXPECT_EQ(OutcomeOf(Cut(good, c.at + 8)), inside) << "after its type";
        if (c.length > 1) {
            EXPECT_EQ(OutcomeOf(Cut(good, c.at + 8 + c.length / 2)), inside) << "in its data";
        }
        EXPECT_EQ(OutcomeOf(Cut(good, c.End() - 2)), inside) << "in its CRC";
        // At its end: before the image data nothing is there yet; after the
        // last IDAT only the IEND is missing.
        const Outcome atEnd = c.type == "IEND"   ? kClean
                              : afterImage       ? Warned({Truncated("the file ends before its IEND chunk")})
                              : c.type == "IDAT" ? Error("the file ends inside the image data")
                                                 : Error("the file has no image data");
        EXPECT_EQ(OutcomeOf(Cut(good, c.End())), atEnd) << "at its end";
    }
    EXPECT_EQ(OutcomeOf(Cut(good, 5)), Error("the file ends inside its signature"));
    EXPECT_EQ(OutcomeOf(Cut(good, 8)), Error("the file ends before its header"));
    EXPECT_EQ(OutcomeOf({}), Error("the file ends inside its signature"));
}

TEST(PngRows, ImageDataInAnyChunkSizesGivesTheSameRows) {
    for (bool interlaced : {false, true}) {
        PngRecipe r = Filled(R(23, 9, 8, 6, interlaced), 4);
        const Decoded whole = DecodeOurs(PngBuilder::Build(r));
        const struct {
            const char* what;
            std::size_t size;
            bool empties;
        } rows[] = {
            {"1-byte IDAT chunks", 1, false},
            {"1-byte IDAT chunks between empty ones", 1, true},
            {"7-byte IDAT chunks between empty ones", 7, true},
            {"one IDAT between empty ones", 0, true},
        };
        for (const auto& row : rows) {
            r.idatSize = row.size;
            r.emptyIdats = row.empties;
            const Bytes file = PngBuilder::Build(r);
            const Decoded d = DecodeOurs(file, 2);
            EXPECT_EQ(d.rows, whole.rows) << row.what;
            EXPECT_EQ(d.rows, DecodeSpng(file).value()) << row.what;
            EXPECT_TRUE(d.warnings.empty()) << row.what;
        }
    }
}

TEST(PngRows, IndicesPastAShortPaletteAreLeftToTheReader) {
    // Indices up to 3 with a 2-entry palette: the rows keep them, the
    // palette keeps its size, and entries past it stay opaque black.
    PngRecipe r = R(8, 2, 2, 3);
    r.palette = Palette(4);
    r = Filled(r, 7);
    r.palette.resize(2);
    const Decoded d = DecodeOurs(PngBuilder::Build(r));
    EXPECT_EQ(d.format.paletteSize, 2);
    EXPECT_EQ(d.format.palette[2], (duvo::Rgba8{0, 0, 0, 255}));
    EXPECT_EQ(d.rows, DecodeSpng(PngBuilder::Build(r)).value());
}

TEST(PngRows, AStreamThatLooksBackPastItsDeclaredWindowIsTaken) {
    // Rows that repeat 600 bytes back, deflated with a 32K window, then
    // labelled as a 512-byte window. zlib refuses such a stream when its
    // output comes in pieces smaller than the distance; we always take it,
    // as its Adler-32 vouches for the rows.
    PngRecipe r = R(300, 8, 8, 0);
    r.filter = 0;
    r.samples.resize(300 * 8);
    std::mt19937 rng(3);
    for (int i = 0; i < 600; ++i) r.samples[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(rng() % 256);
    for (std::size_t i = 600; i < r.samples.size(); ++i) r.samples[i] = r.samples[i - 600];
    Bytes file = PngBuilder::Build(r);
    const Decoded sound = DecodeOurs(file);
    const ChunkAt idat = Find(Chunks(file), "IDAT");
    const std::uint8_t cmf = 0x18;  // deflate, 512-byte window
    file[idat.at + 8] = cmf;
    file[idat.at + 9] = static_cast<std::uint8_t>(31 - ((cmf << 8) % 31));
    FixCrc(file, idat);
    EXPECT_EQ(DecodeOurs(file).rows, sound.rows);
    EXPECT_EQ(DecodeOurs(file).rows, DecodeSpng(file).value());
}

// --- Limits -----------------------------------------------------------------

TEST(PngRowsLimits, SizesAreRefusedWhenTheHeaderIsRead) {
    auto claiming = [](std::uint32_t w, std::uint32_t h, int depth, int colorType, bool interlaced = false) {
        PngRecipe r = R(1, 1, depth, colorType);
        r.samples.assign(static_cast<std::size_t>(PngChannels(colorType)), 0);
        Bytes b = PngBuilder::Build(r);
        for (int i = 0; i < 4; ++i) {
            b[16 + i] = static_cast<std::uint8_t>(w >> (24 - 8 * i));
            b[20 + i] = static_cast<std::uint8_t>(h >> (24 - 8 * i));
        }
        b[28] = interlaced ? 1 : 0;
        FixCrc(b, Chunks(b)[0]);
        return b;
    };
    duvo::Limits small;
    small.pixels = 1000;
    small.decodedBytes = 3000;
    const struct {
        const char* what;
        Bytes bytes;
        duvo::Limits limits;
        std::string message;  // empty: opened
    } rows[] = {
        {"2^32 pixels against the default limit", claiming(65536, 65536, 8, 0), duvo::kDefaultLimits,
         "Picture too large (65536 x 65536 pixels; the limit is 1073741824 pixels)"},
        // Only an interlaced picture is held whole, so only it counts its bytes.
        {"interlaced 16-bit RGBA rows of 7.2 GB against the default 4 GiB", claiming(30000, 30000, 16, 6, true),
         duvo::kDefaultLimits,
         "Picture too large (30000 x 30000 pixels take 7200000000 bytes held whole; the limit is 4294967296 bytes)"},
        {"16-bit RGBA rows of 7.2 GB in order: streamed", claiming(30000, 30000, 16, 6), duvo::kDefaultLimits, ""},
        {"interlaced, against the command line's 1 GiB", claiming(20000, 20000, 8, 2, true),
         duvo::WithPixelLimit({}, std::uint64_t{1} << 29),
         "Picture too large (20000 x 20000 pixels take 1200000000 bytes held whole; the limit is 1073741824 bytes)"},
        {"one pixel over a caller's limit", claiming(1001, 1, 8, 0), small,
         "Picture too large (1001 x 1 pixels; the limit is 1000 pixels)"},
        {"at the pixel limit", claiming(1000, 1, 8, 0), small, ""},
        {"interlaced rows over a caller's byte limit", claiming(751, 1, 8, 6, true), small,
         "Picture too large (751 x 1 pixels take 3004 bytes held whole; the limit is 3000 bytes)"},
        {"interlaced rows at the byte limit", claiming(750, 1, 8, 6, true), small, ""},
        {"rows in order over a caller's byte limit", claiming(751, 1, 8, 6), small, ""},
    };
    for (const auto& row : rows) {
        try {
            auto source = duvo::OpenPngRows(row.bytes, row.limits);
            EXPECT_EQ(row.message, "") << row.what << ": opened";
        } catch (const duvo::EPictureTooLarge& e) {
            EXPECT_EQ(e.Message(), row.message) << row.what;
        }
    }
}

TEST(PngRows, TheConsumerHearsOfBytesTheDecoderIsDoneWith) {
    // About 24 MB of stored image data in 1 MB chunks.
    PngRecipe r = R(2048, 4096, 8, 2);
    r.filter = 0;
    r.deflate = false;
    r.idatSize = 1 << 20;
    r.samples.assign(static_cast<std::size_t>(r.width) * r.height * 3, 7);
    const Bytes bytes = PngBuilder::Build(r);
    std::vector<std::size_t> reports;
    auto source = duvo::OpenPngRows(bytes, duvo::kDefaultLimits, [&](std::size_t done) { reports.push_back(done); });
    Bytes row(source->Format().RowBytes());
    for (int y = 0; y < source->Height(); ++y) source->ReadRows(row.data(), 0, 1);
    const std::size_t beforeFinish = reports.size();
    source->Finish();
    ASSERT_GE(beforeFinish, 4u);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), bytes.size());
    for (std::size_t i = 1; i < beforeFinish; ++i) EXPECT_GE(reports[i] - reports[i - 1], std::size_t{4} << 20);
}

// Image data in one chunk of about 24 MB, as our own writer makes it.
TEST(PngRows, OneLargeImageDataChunkIsReadOnlyAsTheRowsNeedIt) {
    PngRecipe r = R(2048, 4096, 8, 2);
    r.filter = 0;
    r.deflate = false;
    r.idatSize = 0;
    r.samples.assign(static_cast<std::size_t>(r.width) * r.height * 3, 7);
    const Bytes good = PngBuilder::Build(r);
    const ChunkAt idat = Find(Chunks(good), "IDAT");
    ASSERT_GT(idat.length, std::size_t{20} << 20);

    // Opening touches nothing past the first megabytes but the chunk's
    // stored CRC: the pages between cannot be read until the rows are asked
    // for.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t mapped = (good.size() + page - 1) / page * page;
    void* area = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    std::memcpy(area, good.data(), good.size());
    std::uint8_t* const hidden = static_cast<std::uint8_t*>(area) + (std::size_t{2} << 20);
    const std::size_t hiddenBytes = (idat.End() - 4) / page * page - (std::size_t{2} << 20);
    ASSERT_EQ(::mprotect(hidden, hiddenBytes, PROT_NONE), 0);
    {
        auto source = duvo::OpenPngRows(duvo::ByteSpan(static_cast<const std::uint8_t*>(area), good.size()),
                                        duvo::kDefaultLimits);
        EXPECT_EQ(source->Height(), 4096);
        ASSERT_EQ(::mprotect(hidden, hiddenBytes, PROT_READ), 0);
        Bytes row(source->Format().RowBytes());
        for (int y = 0; y < source->Height(); ++y) source->ReadRows(row.data(), 0, 1);
        source->Finish();
        EXPECT_TRUE(source->Warnings().empty());
    }
    ::munmap(area, mapped);

    // Damage deep inside the chunk: its CRC is still what the file reports,
    // also where the inflater stumbles over the damage first, and the
    // inflater's own message where the CRC was made to fit the damage.
    const std::size_t data = idat.at + 8;
    const std::size_t block = data + 2 + 150 * (65535 + 5);  // a stored block's header, 10 MB in
    Bytes badLength = good;
    badLength[block + 3] ^= 0x01;  // NLEN no longer the complement of LEN
    Bytes badLengthFixed = badLength;
    FixCrc(badLengthFixed, idat);
    const struct {
        const char* what;
        Bytes bytes;
        Outcome outcome;
    } cases[] = {
        {"a pixel byte", Flip(good, block + 100), Error("the CRC of chunk IDAT is wrong")},
        {"a block length", badLength, Error("the CRC of chunk IDAT is wrong")},
        {"a block length under a fitting CRC", badLengthFixed, Error("the image data holds an invalid deflate block")},
    };
    for (const auto& c : cases) EXPECT_EQ(OutcomeOf(c.bytes), c.outcome) << c.what;
}

// --- Files ------------------------------------------------------------------

std::vector<std::filesystem::path> FilesIn(const std::string& folder) {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(DUVO_TEST_DATA) / folder;
    if (std::filesystem::exists(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".png") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

Bytes Load(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

TEST(PngRowsFiles, TheSampleFilesGiveLibspngsRows) {
    const auto files = FilesIn("png");
    ASSERT_FALSE(files.empty());
    for (const auto& f : files) {
        const Bytes bytes = Load(f);
        const Decoded d = DecodeOurs(bytes);
        EXPECT_EQ(d.rows, DecodeSpng(bytes).value()) << f;
        EXPECT_TRUE(d.warnings.empty()) << f;
    }
}

// Inputs the fuzzers found, each with its outcome; where libspng decodes
// one too, the same rows (but for the bits after a row's last pixel).
TEST(PngRowsFiles, RegressionInputs) {
    const struct {
        const char* file;
        Outcome outcome;
    } rows[] = {
        {"png_damaged_type_of_an_ancillary_chunk.png",
         Warned({Corrupt("the CRC of chunk )IME is wrong; the chunk is skipped")})},
        {"png_chunk_type_not_letters.png", Warned({Corrupt("11 bytes follow the IEND chunk")})},
        {"png_interlaced_4bit_padding_bits.png",
         Warned({Corrupt("the image data holds more than the picture"), Truncated("the file ends inside chunk tR??")})},
        {"png_cut_text_chunk_before_the_image.png", Error("the file ends inside chunk tEXt")},
        {"png_wrong_crc_of_the_last_idat.png", Error("the CRC of chunk IDAT is wrong")},
        {"png_wrong_adler32.png", Error("the image data's Adler-32 checksum is wrong")},
        {"png_incomplete_huffman_code_and_extra_data.png", Error("the file ends inside the image data")},
        {"png_lookback_past_the_start.png", Error("the image data refers back past its start")},
        {"png_invalid_code_past_the_last_row.png", Error("the image data holds an invalid deflate code")},
        {"png_palette_in_a_gray_picture.png",
         Warned({Corrupt("a PLTE chunk in a gray picture is ignored"), Corrupt("1000 bytes follow the IEND chunk")})},
        {"png_trns_of_the_wrong_length.png",
         Warned({Corrupt("the tRNS chunk has the wrong length; the chunk is skipped")})},
        {"png_palette_longer_than_the_bit_depth.png",
         Error("the PLTE chunk has more entries than the bit depth can index")},
    };
    for (const auto& row : rows) {
        const Bytes bytes = Load(std::filesystem::path(DUVO_TEST_DATA) / "regress" / row.file);
        ASSERT_FALSE(bytes.empty()) << row.file;
        EXPECT_EQ(OutcomeOf(bytes), row.outcome) << row.file;
        if (!row.outcome.error.empty()) continue;
        Decoded d = DecodeOurs(bytes, 5);
        auto reference = DecodeSpng(bytes);
        ASSERT_TRUE(reference.has_value()) << row.file;
        const std::size_t rowBytes = d.format.RowBytes();
        const int used = static_cast<int>(std::uint64_t{static_cast<std::uint32_t>(d.format.width)} *
                                          static_cast<std::uint32_t>(d.format.BitsPerPixel()) % 8);
        if (used)
            for (std::size_t i = rowBytes - 1; i < d.rows.size(); i += rowBytes) {
                d.rows[i] &= static_cast<std::uint8_t>(0xFF << (8 - used));
                (*reference)[i] &= static_cast<std::uint8_t>(0xFF << (8 - used));
            }
        EXPECT_EQ(d.rows, *reference) << row.file;
    }
}

}  // namespace
