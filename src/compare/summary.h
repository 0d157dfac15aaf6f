// The range summary: the 101 percentages of the similarity histogram condensed
// into seven figures (identical colors, then six bands of ten bins, the last
// band taking bins 0 to 49), and their texts as the percentages window shows
// them.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "compare/compare.h"

namespace duvo {

inline constexpr int kRangeFigures = 7;
using RangeFigures = std::array<long double, kRangeFigures>;

// Captions of the seven figures, UTF-8, in figure order.
inline constexpr std::array<const char*, kRangeFigures> kRangeCaptions = {
    "Ten sam kolor",      "Różnice < 10%",      "Różnica 10 - 20  %", "Różnica 20 - 30  %",
    "Różnica 30 - 40  %", "Różnica 40 - 50  %", "Różnica > 50 %",
};

// Figure 0 is bin 100; figures 1 to 6 are the sums of bins 90-99, 80-89, 70-79,
// 60-69, 50-59 and 0-49, each added up from 0 in ascending bin order in
// extended precision.
RangeFigures RangeSums(const SimilarityHistogram& histogram);

// The general number format with 15 significant digits: the magnitude rounded
// to 18 significant digits, then to 15 (half up on the 16th digit), trailing
// zeros dropped; fixed notation for decimal exponents from -3 to 15 (value =
// 0.d1d2... x 10^E), otherwise d1[.d2...]E[-]n. Zero gives "0". The separator
// is written between the integer and the fraction digits; no grouping.
// Non-finite values, which no figure can be, give "NAN", "INF" and "-INF".
std::string FormatGeneral(long double value, std::string_view decimalSeparator);

// A figure's text: FormatGeneral followed by " %".
std::string FormatPercent(long double value, std::string_view decimalSeparator);

// The seven texts of the percentages window, in figure order.
std::array<std::string, kRangeFigures> RangeTexts(const SimilarityHistogram& histogram,
                                                  std::string_view decimalSeparator);

}  // namespace duvo
