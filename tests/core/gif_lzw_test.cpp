// The LZW decoders: hand-made code streams for each behaviour that damaged
// or unusual data reaches, round trips through the test encoder, and the fast
// decoder against the reference on random and mutated data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codecs/gif/lzw.h"
#include "gif_builder.h"
#include "graphics/gif/gif_image.h"
#include "rtl/byte_reader.h"

namespace {

using namespace giftest;

[[noreturn]] void PrematureEnd() { throw duvo::GIFException(duvo::msg::GIFPrematureEnd); }

struct Outcome {
    Bytes pixels;
    std::vector<std::string> warnings;
    std::optional<std::string> error;
    std::size_t position = 0;
    std::size_t decoded = 0;  // pixels the data gave
    bool operator==(const Outcome&) const = default;
};

using Decoder = std::size_t (*)(duvo::ByteReader&, const duvo::LzwFrame&, const duvo::LzwWarn&);

Outcome Run(Decoder decode, const Bytes& data, int width, int height, bool interlaced, std::uint8_t fill) {
    Outcome o;
    o.pixels.assign(static_cast<std::size_t>(width) * height, 0xEE);
    duvo::ByteReader reader(data, PrematureEnd);
    duvo::LzwFrame frame{o.pixels.data(), static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         interlaced, fill};
    try {
        o.decoded = decode(reader, frame, [&](const char* m) { o.warnings.emplace_back(m); });
    } catch (const duvo::GIFException& e) {
        o.error = e.what();
        o.pixels.clear();  // the frame is dropped on an error
    }
    o.position = reader.Position();
    return o;
}

// The fast decoder a piece at a time, the pieces' sizes taken in turn.
Outcome RunStream(const Bytes& data, int width, int height, std::uint8_t fill, const std::vector<std::size_t>& pieces) {
    Outcome o;
    const std::size_t total = static_cast<std::size_t>(width) * height;
    o.pixels.assign(total, 0xEE);
    duvo::ByteReader reader(data, PrematureEnd);
    try {
        duvo::LzwStream stream(reader, total, fill, [&](const char* m) { o.warnings.emplace_back(m); });
        for (std::size_t at = 0, k = 0; at < total; ++k) {
            const std::size_t n = std::min(pieces[k % pieces.size()], total - at);
            stream.Read(o.pixels.data() + at, n);
            at += n;
        }
        o.decoded = stream.Finish();
    } catch (const duvo::GIFException& e) {
        o.error = e.what();
        o.pixels.clear();
    }
    o.position = reader.Position();
    return o;
}

void ExpectSame(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.pixels, want.pixels);
    EXPECT_EQ(got.warnings, want.warnings);
    EXPECT_EQ(got.error, want.error);
    EXPECT_EQ(got.position, want.position);
    EXPECT_EQ(got.decoded, want.decoded);
}

// Both decoders, and the fast one a piece at a time, which must agree in everything.
Outcome RunBoth(const Bytes& data, int width, int height, bool interlaced = false, std::uint8_t fill = 0) {
    const Outcome ref = Run(duvo::DecodeLzwReference, data, width, height, interlaced, fill);
    ExpectSame(Run(duvo::DecodeLzwFast, data, width, height, interlaced, fill), ref);
    if (!interlaced) {
        // Row by row, and in pieces that end inside strings.
        ExpectSame(RunStream(data, width, height, fill, {static_cast<std::size_t>(width)}), ref);
        ExpectSame(RunStream(data, width, height, fill, {1, 7, 1000, 3}), ref);
    }
    return ref;
}

// The minimum code size byte and the codes in sub-blocks.
Bytes Frame(int m, const Bytes& codes, int blockSize = 255, bool terminator = true) {
    Bytes out{static_cast<std::uint8_t>(m)};
    const Bytes blocks = SubBlocks(codes, blockSize, terminator);
    out.insert(out.end(), blocks.begin(), blocks.end());
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* kUnderrun = duvo::msg::GIFBitUnderrun;
const char* kCircular = duvo::msg::GIFCircularEntry;

// ---- hand-made code streams -------------------------------------------------------

struct CodeCase {
    const char* proves;
    Bytes data;
    int width, height;
    std::uint8_t fill;
    Bytes pixels;  // empty with an error
    std::vector<std::string> warnings;
    std::optional<std::string> error;
    std::size_t position;  // reader position afterwards; npos: the end of data
};

std::vector<CodeCase> CodeCases() {
    constexpr std::size_t kEnd = std::string::npos;
    const Bytes junk{3, 9, 9, 9, 0};
    return {
        {"clear, 1, end: one pixel, reader after the terminator",
         Frame(2, Codes(2, {4, 1, 5})),
         1,
         1,
         0,
         {1},
         {},
         {},
         kEnd},
        {"no leading clear decodes the same", Frame(2, Codes(2, {1, 5})), 1, 1, 0, {1}, {}, {}, kEnd},
        {"a code equal to the next free code is the previous string and its first value",
         Frame(2, Codes(2, {4, 1, 6, 5})),
         3,
         1,
         0,
         {1, 1, 1},
         {},
         {},
         kEnd},
        {"a code beyond the next free code repeats the previous string",
         Frame(2, Codes(2, {4, 2, 7, 5})),
         3,
         1,
         0,
         {2, 2, 2},
         {},
         {},
         kEnd},
        {"end code early: the rest keeps the fill, the remaining sub-blocks are skipped",
         Concat(Frame(2, Codes(2, {4, 1, 5, 2, 2, 2, 2}), 1), {0x3B}),
         4,
         1,
         9,
         {1, 9, 9, 9},
         {},
         {},
         8},
        {"more data than pixels: one extra code is read, the end code is not reached",
         Frame(2, Codes(2, {4, 1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 5}), 1),
         2,
         1,
         0,
         {1, 2},
         {},
         {},
         5},
        {"transparent fill where the data ends early", Frame(2, Codes(2, {4, 3, 5})), 3, 1, 7, {3, 7, 7}, {}, {}, kEnd},
        {"m = 8: clear then end stores the end code's low bits and goes on",
         Frame(8, Codes(8, {256, 257, 65, 257})),
         3,
         1,
         0,
         {1, 65, 0},
         {},
         {},
         kEnd},
        {"no minimum code size byte: every pixel keeps the fill", {}, 2, 1, 4, {4, 4}, {}, {}, 0},
        {"only a terminator: one code from the zeroed buffer, then an under-run for each request",
         {2, 0},
         2,
         1,
         5,
         {0, 5},
         {kUnderrun, kUnderrun},
         {},
         kEnd},
        {"data ends without a terminator: the padding bits form a code, then decoding stops quietly",
         Frame(2, Codes(2, {4, 1, 1}), 255, false),
         4,
         1,
         6,
         {1, 1, 0, 6},
         {},
         {},
         kEnd},
        {"a sub-block count past the end of data: the bytes left are used, with a warning",
         Bytes{2, 9, Codes(2, {4, 2, 2})[0], Codes(2, {4, 2, 2})[1]},
         3,
         1,
         0,
         {2, 2, 0},
         {duvo::msg::GIFPrematureEnd},
         {},
         kEnd},
        {"m = 12 is refused before any table is used",
         Frame(12, {0, 0}),
         1,
         1,
         0,
         {},
         {},
         duvo::msg::GIFInvalidData,
         1},
        {"an entry that is its own prefix", Frame(2, Codes(2, {4, 6, 0, 6, 5})), 4, 1, 0, {}, {}, kCircular, kEnd},
        {"a cycle of two entries fills the stack and stops",
         Frame(2, Codes(2, {4, 7, 6, 0, 6, 5})),
         6000,
         1,
         0,
         {},
         {},
         kCircular,
         kEnd},
        {"a circular entry met by the extra request after a full frame",
         Frame(2, Codes(2, {4, 6, 0, 6, 5})),
         2,
         1,
         0,
         {},
         {},
         kCircular,
         kEnd},
        {"m = 0: one-bit codes grow as entries are added",
         Frame(0, Codes(0, {1, 0, 0, 3, 4, 2})),
         7,
         1,
         9,
         {0, 0, 0, 0, 0, 0, 9},
         {},
         {},
         kEnd},
    };
}

TEST(GifLzw, HandMadeCodeStreams) {
    for (const CodeCase& c : CodeCases()) {
        SCOPED_TRACE(c.proves);
        const Outcome o = RunBoth(c.data, c.width, c.height, false, c.fill);
        EXPECT_EQ(o.error, c.error);
        if (!c.error) {
            EXPECT_EQ(o.pixels, c.pixels);
        }
        EXPECT_EQ(o.warnings, c.warnings);
        // Where an error leaves the reader does not matter: the load ends.
        if (!c.error) {
            EXPECT_EQ(o.position, c.position == std::string::npos ? c.data.size() : c.position);
        }
    }
}

// ---- round trips through the encoder --------------------------------------------------

struct RoundTrip {
    const char* proves;
    int width, height, colors, m;
    bool interlaced;
    int blockSize;
    EncodeOptions options;
};

TEST(GifLzw, RoundTripsGiveThePixelsBack) {
    const RoundTrip cases[] = {
        {"codes grow to 12 bits and the table is cleared when full", 300, 200, 256, 8, false, 255, {}},
        {"a full table is kept until the data ends", 300, 200, 256, 8, false, 255, {.clearWhenFull = false}},
        {"no leading clear, no end code", 64, 64, 16, 4, false, 255, {.leadingClear = false, .endCode = false}},
        {"1-byte sub-blocks with 12-bit codes", 200, 100, 256, 8, false, 1, {}},
        {"2-byte sub-blocks", 120, 90, 256, 8, false, 2, {}},
        {"m = 2, the smallest a GIF writes", 50, 40, 4, 2, false, 255, {}},
        {"m = 11: 12-bit codes from the start", 100, 100, 256, 11, false, 255, {}},
        {"interlaced, height 1", 7, 1, 256, 8, true, 255, {}},
        {"interlaced, height 2", 7, 2, 256, 8, true, 255, {}},
        {"interlaced, height 3", 7, 3, 256, 8, true, 255, {}},
        {"interlaced, height 5", 7, 5, 256, 8, true, 255, {}},
        {"interlaced, height 9", 7, 9, 256, 8, true, 255, {}},
        {"interlaced, height 37", 33, 37, 256, 8, true, 255, {}},
        {"strings longer than 16 bytes (flat picture)", 400, 100, 2, 2, false, 255, {}},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.proves);
        Bytes px = PhotoPixels(c.width, c.height, c.colors, 7);
        if (c.colors == 2)
            for (std::size_t i = 0; i < px.size(); ++i) px[i] = (i / 997) & 1;
        // In interlaced frames every row gets its own value, so a misplaced row shows.
        if (c.interlaced)
            for (int y = 0; y < c.height; ++y) px[static_cast<std::size_t>(y) * c.width] = static_cast<std::uint8_t>(y);
        const Bytes stored = c.interlaced ? InterlaceRows(px, c.width, c.height) : px;
        const Bytes data = Frame(c.m, LzwEncode(stored, c.m, c.options), c.blockSize, true);
        const Outcome o = RunBoth(data, c.width, c.height, c.interlaced);
        EXPECT_FALSE(o.error);
        EXPECT_EQ(o.pixels, px);
        // Without an end code the extra request runs out of bits.
        EXPECT_EQ(o.warnings.size(), c.options.endCode ? 0u : 1u);
        EXPECT_EQ(o.position, data.size());
    }
}

TEST(GifLzw, InterlacedRowsArePlacedOnceInFourPasses) {
    const std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> cases = {
        {1, {0}}, {2, {0, 1}}, {3, {0, 2, 1}}, {5, {0, 4, 2, 1, 3}}, {9, {0, 8, 4, 2, 6, 1, 3, 5, 7}},
    };
    for (const auto& [height, order] : cases) {
        std::vector<std::uint32_t> rows(height);
        duvo::InterlacedRowOrder(height, rows.data());
        EXPECT_EQ(rows, order) << "height " << height;
    }
}

TEST(GifLzw, DataCutAfterHalfThePixels) {
    const int w = 64, h = 64;
    const Bytes px = PhotoPixels(w, h, 256, 3);
    const Bytes half(px.begin(), px.begin() + w * h / 2);
    // The codes of the first half without an end code, then the terminator.
    const Bytes data = Frame(8, LzwEncode(half, 8, {.endCode = false}));
    const Outcome o = RunBoth(data, w, h, false, 0xAB);
    ASSERT_FALSE(o.error);
    EXPECT_TRUE(std::equal(half.begin(), half.end(), o.pixels.begin()));
    // One more code may be formed from leftover bits; the rest keeps the fill.
    const auto filled = std::count(o.pixels.begin() + w * h / 2, o.pixels.end(), 0xAB);
    EXPECT_GE(filled, w * h / 2 - 4096);
    ASSERT_FALSE(o.warnings.empty());
    EXPECT_EQ(o.warnings.back(), kUnderrun);
}

// Frames far larger than the streaming window: the strings the table names
// move to the arena (and it grows), the previous string to the window's
// start, and a string that crosses the window's end is handed out whole.
TEST(GifLzw, StreamedFramesLargerThanTheWindowMatchTheWholeFrame) {
    struct Case {
        const char* proves;
        int width, height, colors;
        EncodeOptions options;
        int cutAt;  // bytes of code data kept; 0: all
        int flips;  // bytes of code data changed, spread over the data
    };
    const Case cases[] = {
        {"photo-like, cleared when full", 1500, 700, 256, {}, 0, 0},
        {"a full table kept to the end", 1500, 700, 256, {.clearWhenFull = false}, 0, 0},
        {"flat: long strings, and an arena that grows", 2000, 2000, 2, {.clearWhenFull = false}, 0, 0},
        {"flat, cleared when full", 2000, 1000, 2, {}, 0, 0},
        {"no end code", 900, 400, 16, {.endCode = false}, 0, 0},
        {"cut a third of the way", 1500, 700, 256, {}, 120000, 0},
        {"damaged codes: entries the table cannot copy", 1500, 700, 256, {.clearWhenFull = false}, 0, 40},
        {"damaged codes in long strings", 2000, 2000, 2, {.clearWhenFull = false}, 0, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.proves);
        Bytes px = PhotoPixels(c.width, c.height, c.colors, 5);
        if (c.colors == 2)
            for (std::size_t i = 0; i < px.size(); ++i) px[i] = (i / 300001) & 1;
        Bytes codes = LzwEncode(px, c.colors == 2 ? 2 : 8, c.options);
        if (c.cutAt) codes.resize(static_cast<std::size_t>(c.cutAt));
        for (int k = 1; k <= c.flips; ++k) codes[codes.size() * static_cast<std::size_t>(k) / (c.flips + 2)] ^= 0x5A;
        const Bytes data = Frame(c.colors == 2 ? 2 : 8, codes);
        const Outcome whole = ::Run(duvo::DecodeLzwFast, data, c.width, c.height, false, 0x5C);
        ExpectSame(whole, ::Run(duvo::DecodeLzwReference, data, c.width, c.height, false, 0x5C));
        if (!c.cutAt && !c.flips) {
            EXPECT_EQ(whole.pixels, px);
        }
        for (const auto& pieces : std::vector<std::vector<std::size_t>>{
                 {static_cast<std::size_t>(c.width)}, {1 << 17}, {5, 70001, 1 << 19}}) {
            ExpectSame(RunStream(data, c.width, c.height, 0x5C, pieces), whole);
            if (HasFailure()) return;
        }
    }
    // Random codes, most of them naming entries: strings the table can copy
    // lie between walks of entries it cannot (made from codes past the
    // table), so the runs moved to the arena have gaps between them.
    std::mt19937 rng(7);
    for (int round = 0; round < 6; ++round) {
        std::vector<int> codes{256};
        // The decoder's next entry and code width, followed as Codes() does.
        int next = 258, limit = 512;
        bool first = true;
        // The entry made after a code one past the table names itself as
        // its prefix: a walk of it would never end, so it is not named.
        std::vector<bool> selfNamed(4096, false);
        for (int i = 0; i < 120000; ++i) {
            const int r = static_cast<int>(rng() % 1000);
            int code = r < 2     ? 256
                       : r < 150 ? static_cast<int>(rng() % 256)
                       : r < 998 ? 258 + static_cast<int>(rng() % static_cast<unsigned>(next - 257))
                                 : next + 1;
            code = std::min(code, limit - 1);
            if (code == 257 || (first && code > 256) || (code < 4096 && selfNamed[static_cast<std::size_t>(code)]))
                code = static_cast<int>(rng() % 256);
            if (code == next + 1 && code < 4096) selfNamed[static_cast<std::size_t>(code)] = true;
            codes.push_back(code);
            if (code == 256) {
                next = 258, limit = 512, first = true;
                selfNamed.assign(4096, false);
            } else if (first) {
                first = false;
            } else if (next <= 4095) {
                ++next;
                if (next >= limit && limit <= 4095) limit *= 2;
            }
        }
        const Bytes data = Frame(8, Codes(8, codes));
        const Outcome whole = ::Run(duvo::DecodeLzwFast, data, 1000, 1000, false, 3);
        ExpectSame(whole, ::Run(duvo::DecodeLzwReference, data, 1000, 1000, false, 3));
        // Several windows' worth, without the data failing.
        EXPECT_FALSE(whole.error);
        EXPECT_GT(whole.decoded, std::size_t{3} << 17);
        ExpectSame(RunStream(data, 1000, 1000, 3, {1000}), whole);
        ExpectSame(RunStream(data, 1000, 1000, 3, {7, 65536, 333333}), whole);
        if (HasFailure()) return;
    }
}

// ---- fast against reference on random and damaged data ------------------------------

TEST(GifLzw, FastDecoderMatchesTheReferenceOnDamagedData) {
    std::mt19937 rng(20261208);
    int errors = 0, warnings = 0;
    const int rounds = std::getenv("DUVO_GIF_ROUNDS") ? std::atoi(std::getenv("DUVO_GIF_ROUNDS")) : 3000;
    for (int round = 0; round < rounds; ++round) {
        // Small frames reach the end-of-frame paths, large ones the fast loop.
        const int side = round % 4 == 0 ? 300 : 40;
        const int w = 1 + static_cast<int>(rng() % side), h = 1 + static_cast<int>(rng() % 40);
        const int m = static_cast<int>(rng() % 12);
        Bytes data;
        if (round % 3 == 0) {
            // Random codes of plausible widths: bogus entries, early ends, cycles.
            std::vector<int> codes;
            const int n = static_cast<int>(rng() % 300);
            for (int i = 0; i < n; ++i) codes.push_back(static_cast<int>(rng() % ((2 << m) + 8)) & 4095);
            data = Frame(m, Codes(m, codes), 1 + static_cast<int>(rng() % 255), rng() % 4 != 0);
        } else {
            const int colors = std::min(256, 1 << std::max(m, 1));
            data = Frame(std::max(m, 1), LzwEncode(PhotoPixels(w, h, colors, rng()), std::max(m, 1)),
                         1 + static_cast<int>(rng() % 255));
            // Flip, cut or insert bytes.
            for (int k = static_cast<int>(rng() % 4); k > 0 && !data.empty(); --k) {
                const std::size_t at = rng() % data.size();
                switch (rng() % 3) {
                    case 0:
                        data[at] = static_cast<std::uint8_t>(rng());
                        break;
                    case 1:
                        data.resize(at);
                        break;
                    default:
                        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
                }
            }
        }
        SCOPED_TRACE(round);
        const Outcome o = RunBoth(data, w, h, rng() % 2 == 0, static_cast<std::uint8_t>(rng()));
        errors += o.error.has_value();
        warnings += !o.warnings.empty();
        if (HasFailure()) break;
    }
    // The inputs reach the damaged paths, not only clean decodes.
    EXPECT_GT(errors, 10);
    EXPECT_GT(warnings, 100);
}

// Inputs kept from fuzz_gif_lzw: three bytes choose the frame (width and
// height 1..64, interlace in bit 0 and the fill above it), the rest is the
// image data.
TEST(GifLzw, FuzzInputsDecodeAlikeInBothDecoders) {
    int files = 0;
    for (const std::string folder : {"/gif_lzw", "/regress"}) {
        const std::filesystem::path dir = DUVO_TEST_DATA + folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() != ".lzw" && entry.path().extension() != ".bin") continue;
            SCOPED_TRACE(entry.path().string());
            std::ifstream in(entry.path(), std::ios::binary);
            const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_GE(bytes.size(), 3u);
            ++files;
            RunBoth(Bytes(bytes.begin() + 3, bytes.end()), 1 + bytes[0] % 64, 1 + bytes[1] % 64, (bytes[2] & 1) != 0,
                    static_cast<std::uint8_t>(bytes[2] >> 1));
        }
    }
    EXPECT_GE(files, 8);
}

}  // namespace
