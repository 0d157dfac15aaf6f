// The range summary: which bins make each figure, the order they are added
// in, and the general number format of the texts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "compare/summary.h"

namespace duvo {
namespace {

// The figures of a comparison in which `part` of `total` pixels were
// identical and the rest fell into bin 0, as the engine normalises them.
SimilarityHistogram SharesOf(std::uint64_t part, std::uint64_t total) {
    SimilarityCounts counts{};
    counts[100] = part;
    counts[0] = total - part;
    return Normalise(counts, total);
}

// ---- the texts of real comparisons ------------------------------------------------

struct TextCase {
    const char* what;
    std::uint64_t part, total;
    const char* separator;
    const char* text;
};

class SummaryText : public ::testing::TestWithParam<TextCase> {};

TEST_P(SummaryText, FirstFigure) {
    const TextCase& c = GetParam();
    EXPECT_EQ(RangeTexts(SharesOf(c.part, c.total), c.separator)[0], c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Documented, SummaryText,
    ::testing::Values(TextCase{"nothing identical", 0, 5, ",", "0 %"}, TextCase{"all identical", 5, 5, ",", "100 %"},
                      TextCase{"an eighth", 1, 8, ",", "12,5 %"},
                      TextCase{"an eighth with a full stop", 1, 8, ".", "12.5 %"},
                      TextCase{"one of three", 1, 3, ",", "33,3333333333333 %"},
                      TextCase{"two of three", 2, 3, ",", "66,6666666666667 %"},
                      TextCase{"one of a million", 1, 1000000, ",", "0,0001 %"},
                      TextCase{"one of four million", 1, 4000000, ",", "2,5E-5 %"},
                      TextCase{"one of ten million", 1, 10000000, ",", "1E-5 %"},
                      TextCase{"one of seven", 1, 7, ",", "14,2857142857143 %"},
                      TextCase{"all but one of a billion", 999999999, 1000000000, ",", "99,9999999 %"},
                      TextCase{"two-byte separator", 1, 8, "\xC2\xB7",
                               "12\xC2\xB7"
                               "5 %"}));

TEST(SummaryText, IdenticalPicturesShow100AndSixZeros) {
    const auto texts = RangeTexts(SharesOf(9, 9), ",");
    EXPECT_EQ(texts[0], "100 %");
    for (int i = 1; i < kRangeFigures; ++i) EXPECT_EQ(texts[static_cast<std::size_t>(i)], "0 %") << i;
}

// ---- the number format at its edges --------------------------------------------------

struct FormatCase {
    const char* what;
    long double value;
    const char* text;
};

class GeneralFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(GeneralFormat, Text) {
    const FormatCase& c = GetParam();
    EXPECT_EQ(FormatGeneral(c.value, ","), c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, GeneralFormat,
    ::testing::Values(FormatCase{"zero", 0.0L, "0"}, FormatCase{"negative zero", -0.0L, "0"},
                      FormatCase{"one", 1.0L, "1"}, FormatCase{"negative", -12.5L, "-12,5"},
                      // E = 15 is the widest fixed form; E = 16 turns scientific.
                      FormatCase{"E = 15", 999999999999999.0L, "999999999999999"},
                      FormatCase{"E = 15 rounded", 123456789012345.6L, "123456789012346"},
                      FormatCase{"E = 16", 1000000000000000.0L, "1E15"},
                      FormatCase{"E = 16 with digits", 1234567890123456.0L, "1,23456789012346E15"},
                      FormatCase{"E = 15 carried to 16", 999999999999999.6L, "1E15"},
                      FormatCase{"large", 1.5e20L, "1,5E20"}, FormatCase{"integer with zeros", 120000.0L, "120000"},
                      // E = -3 is the smallest fixed form; E = -4 turns scientific.
                      FormatCase{"E = -2", 0.001L, "0,001"}, FormatCase{"E = -3", 0.000123L, "0,000123"},
                      FormatCase{"E = -4", 0.0000123L, "1,23E-5"}, FormatCase{"E = -4 single digit", 0.00001L, "1E-5"},
                      FormatCase{"E = -4 carried to -3", 0.00009999999999999999L, "0,0001"},
                      FormatCase{"E = -4 not carried", 0.0000999999999999999L, "9,99999999999999E-5"},
                      FormatCase{"E = 0", 0.5L, "0,5"},
                      // Carries through all fifteen digits.
                      FormatCase{"carry to 10", 9.999999999999999L, "10"},
                      FormatCase{"carry to 1", 0.9999999999999999L, "1"},
                      FormatCase{"carry to 100000", 99999.99999999999L, "100000"},
                      FormatCase{"16th digit below 5", 1.000000000000004L, "1"},
                      FormatCase{"16th digit 5", 1.000000000000005L, "1,00000000000001"},
                      // The 18-digit rounding comes first: ...454999 becomes ...455 and then
                      // rounds up, where a direct 15-digit rounding would round down.
                      FormatCase{"double rounding", 1.234567890123454999L, "1,23456789012346"},
                      FormatCase{"no double rounding", 1.23456789012345499L, "1,23456789012345"},
                      FormatCase{"tiny", 3e-300L, "3E-300"}, FormatCase{"exponent four digits", 2e-4000L, "2E-4000"}));

TEST(GeneralFormat, NonFiniteValues) {
    EXPECT_EQ(FormatGeneral(NAN, ","), "NAN");
    EXPECT_EQ(FormatGeneral(INFINITY, ","), "INF");
    EXPECT_EQ(FormatGeneral(-INFINITY, ","), "-INF");
}

TEST(GeneralFormat, PercentAppendsBlankAndSign) {
    EXPECT_EQ(FormatPercent(12.5L, "."), "12.5 %");
    EXPECT_EQ(FormatPercent(0.0L, ","), "0 %");
}

// ---- which bins make which figure ------------------------------------------------------

int FigureOfBin(int k) {
    if (k == 100) return 0;
    if (k < 50) return 6;
    return 1 + (99 - k) / 10;
}

TEST(RangeSums, EveryBinCountsInExactlyOneFigure) {
    for (int k = 0; k < kSimilarityBins; ++k) {
        SimilarityHistogram h{};
        h[static_cast<std::size_t>(k)] = 1.0L;
        const RangeFigures f = RangeSums(h);
        for (int i = 0; i < kRangeFigures; ++i)
            EXPECT_EQ(f[static_cast<std::size_t>(i)], i == FigureOfBin(k) ? 1.0L : 0.0L)
                << "bin " << k << " figure " << i;
    }
}

TEST(RangeSums, BandsAreAddedInAscendingBinOrder) {
    // 1 + 2^-64 rounds back to 1, so adding the tiny values one by one after
    // the large one leaves it unchanged; adding them first would not.
    const long double tiny = std::ldexp(1.0L, -64);
    const int firstBins[] = {90, 80, 70, 60, 50, 0};
    const int lastBins[] = {99, 89, 79, 69, 59, 49};
    for (int band = 0; band < 6; ++band) {
        SimilarityHistogram h{};
        h[static_cast<std::size_t>(firstBins[band])] = 1.0L;
        for (int k = firstBins[band] + 1; k <= lastBins[band]; ++k) h[static_cast<std::size_t>(k)] = tiny;
        EXPECT_EQ(RangeSums(h)[static_cast<std::size_t>(band + 1)], 1.0L) << band;
        // Reversed, the tiny values come first and add up to something that counts.
        SimilarityHistogram r{};
        r[static_cast<std::size_t>(lastBins[band])] = 1.0L;
        for (int k = firstBins[band]; k < lastBins[band]; ++k) r[static_cast<std::size_t>(k)] = tiny;
        EXPECT_GT(RangeSums(r)[static_cast<std::size_t>(band + 1)], 1.0L) << band;
    }
}

TEST(RangeSums, FiguresOfARealHistogramAddUpTo100) {
    SimilarityCounts counts{};
    for (int k = 0; k < kSimilarityBins; ++k)
        counts[static_cast<std::size_t>(k)] = static_cast<std::uint64_t>(k * 37 % 11 + 1);
    std::uint64_t total = 0;
    for (auto c : counts) total += c;
    const RangeFigures f = RangeSums(Normalise(counts, total));
    long double sum = 0;
    for (long double x : f) sum += x;
    EXPECT_NEAR(static_cast<double>(sum), 100.0, 1e-12);
    EXPECT_EQ(f[0], (static_cast<long double>(counts[100]) / total) * 100.0L);
}

TEST(RangeSums, CaptionsOfTheSevenFigures) {
    EXPECT_STREQ(kRangeCaptions[0], "Ten sam kolor");
    EXPECT_STREQ(kRangeCaptions[1], "Różnice < 10%");
    EXPECT_STREQ(kRangeCaptions[2], "Różnica 10 - 20  %");
    EXPECT_STREQ(kRangeCaptions[6], "Różnica > 50 %");
}

}  // namespace
}  // namespace duvo
