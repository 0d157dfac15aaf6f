// The difference picture's PNG writer read back by our decoder and by
// libspng: rows that repeat the one above go out as matches a line back,
// mixed with zlib's own blocks, in blocks handed over in any order.
#include "codecs/png/png_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codecs/png/png_rows.h"
#include "reference/png_spng.h"
#include "rtl/limits.h"

namespace {

struct Picture {
    int width = 0, height = 0, channels = 3;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> bytes;  // blue, green, red (, alpha)
};

// Rows from a run list: each entry is a count of rows; the first row of a
// run is new and the rest repeat it. New rows are noisy, or with white
// every other run white.
Picture Make(int width, bool alpha, const std::vector<int>& runs, bool white, unsigned seed) {
    Picture p;
    p.width = width;
    p.channels = alpha ? 4 : 3;
    p.stride = static_cast<std::ptrdiff_t>(width) * p.channels + 5;  // padding the writer must skip
    for (int r : runs) p.height += r;
    p.bytes.assign(static_cast<std::size_t>(p.stride) * p.height, 0xEE);
    std::mt19937 rng(seed);
    int y = 0;
    bool nextWhite = white;
    for (int r : runs) {
        std::uint8_t* first = p.bytes.data() + y * p.stride;
        for (int i = 0; i < width * p.channels; ++i)
            first[i] = nextWhite ? 0xFF : static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : 0xFF);
        nextWhite = white && !nextWhite;
        for (int k = 1; k < r; ++k) std::copy(first, first + width * p.channels, p.bytes.data() + (y + k) * p.stride);
        y += r;
    }
    return p;
}

std::string TempFile(const char* tag) {
    return (std::filesystem::temp_directory_path() / ("duvo-pngw-" + std::to_string(::getpid()) + "-" + tag + ".png"))
        .string();
}

std::vector<std::uint8_t> Slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

enum class Order { Whole, BandsOfSevenBackwards, RowByRow };

std::vector<std::uint8_t> Write(const Picture& p, Order order) {
    const std::string file = TempFile("w");
    duvo::PngBlockWriter w(p.width, p.height, file, p.channels == 4);
    auto block = [&](int y0, int y1) { w.Block(y0, y1, p.bytes.data() + y0 * p.stride, p.stride); };
    switch (order) {
        case Order::Whole:
            block(0, p.height);
            break;
        case Order::BandsOfSevenBackwards:
            for (int y1 = p.height; y1 > 0; y1 -= std::min(7, y1)) block(std::max(0, y1 - 7), y1);
            break;
        case Order::RowByRow:
            for (int y = 0; y < p.height; ++y) block(y, y + 1);
            break;
    }
    w.Finish();
    std::vector<std::uint8_t> bytes = Slurp(file);
    std::filesystem::remove(file);
    return bytes;
}

// Every row of the file, through one decoder, against the picture.
void ExpectRows(const Picture& p, duvo::RowSource& source, const char* decoder) {
    ASSERT_EQ(source.Width(), p.width) << decoder;
    ASSERT_EQ(source.Height(), p.height) << decoder;
    ASSERT_EQ(source.Format().layout, p.channels == 4 ? duvo::RowLayout::Rgba : duvo::RowLayout::Rgb) << decoder;
    ASSERT_EQ(source.Format().bitDepth, 8) << decoder;
    std::vector<std::uint8_t> row(source.Format().RowBytes());
    for (int y = 0; y < p.height; ++y) {
        source.ReadRows(row.data(), 0, 1);
        const std::uint8_t* want = p.bytes.data() + y * p.stride;
        for (int x = 0; x < p.width; ++x) {
            const int c = p.channels;
            const std::uint8_t* got = row.data() + x * c;
            ASSERT_TRUE(got[0] == want[x * c + 2] && got[1] == want[x * c + 1] && got[2] == want[x * c] &&
                        (c == 3 || got[3] == want[x * c + 3]))
                << decoder << ": pixel " << x << "," << y;
        }
    }
    source.Finish();
    EXPECT_TRUE(source.Warnings().empty()) << decoder;
}

TEST(PngWriter, RepeatedRowsReadBackThroughBothDecoders) {
    struct Case {
        const char* name;
        int width;
        bool alpha;
        std::vector<int> runs;
    };
    // Line lengths (1 + width * channels) and repeat counts chosen so that a
    // run's bytes leave 0, 1, 2 or 3 bytes past whole 258-byte matches, and
    // lines at and past deflate's 32 KiB distance.
    const std::vector<Case> cases = {
        {"one pixel", 1, false, {1, 9, 1, 2}},
        {"two pixels with alpha", 2, true, {3, 1, 1, 6}},
        {"line of 259 bytes", 86, false, {1, 2, 3, 4}},
        {"line of 517 bytes", 172, false, {2, 2, 1, 5}},
        {"line of 261 bytes with alpha", 65, true, {1, 4, 1, 2}},
        {"screenshot width with alpha", 3446, true, {1, 3, 2, 1, 12}},
        {"longest line that repeats", 10922, false, {1, 4, 1, 1}},
        {"line past the distance", 10923, false, {1, 4, 1, 1}},
        {"alpha line past the distance", 8192, true, {2, 3}},
        {"no repeats", 40, false, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"all one row", 33, true, {29}},
    };
    for (const Case& c : cases) {
        for (Order order : {Order::Whole, Order::BandsOfSevenBackwards, Order::RowByRow})
            for (bool white : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + ", order " + std::to_string(static_cast<int>(order)) +
                             (white ? ", white runs" : ""));
                const Picture p = Make(c.width, c.alpha, c.runs, white, static_cast<unsigned>(c.width));
                const std::vector<std::uint8_t> file = Write(p, order);
                ExpectRows(p, *duvo::OpenPngRows(file, duvo::kDefaultLimits), "ours");
                ExpectRows(p, *duvo::OpenPngRowsWithSpng(file, duvo::kDefaultLimits), "libspng");
            }
    }
}

TEST(PngWriter, RowsThatRepeatCostAFewBytesEach) {
    // 600 copies of one noisy row: run-length deflate alone cannot pack a
    // noisy row (well above 1 MB), matches a line back can.
    const Picture p = Make(1000, false, {600}, false, 3);
    const std::vector<std::uint8_t> file = Write(p, Order::Whole);
    EXPECT_LT(file.size(), 100'000u);
    ExpectRows(p, *duvo::OpenPngRows(file, duvo::kDefaultLimits), "ours");
    // A white picture, the common difference picture, packs as tight as
    // run-length deflate alone packs it: 13 bits per 258 bytes.
    const Picture white = Make(1000, false, {600}, true, 3);
    const std::vector<std::uint8_t> whiteFile = Write(white, Order::Whole);
    EXPECT_LT(whiteFile.size(), 20'000u);
    ExpectRows(white, *duvo::OpenPngRows(whiteFile, duvo::kDefaultLimits), "ours");
}

}  // namespace
