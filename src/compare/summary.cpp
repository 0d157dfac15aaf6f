#include "compare/summary.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace duvo {

RangeFigures RangeSums(const SimilarityHistogram& histogram) {
    RangeFigures figures{};
    figures[0] = histogram[100];
    // Bands from the most similar down; the last one reaches bin 0.
    static constexpr int kFirstBin[6] = {90, 80, 70, 60, 50, 0};
    static constexpr int kLastBin[6] = {99, 89, 79, 69, 59, 49};
    for (int band = 0; band < 6; ++band) {
        long double sum = 0.0L;
        for (int k = kFirstBin[band]; k <= kLastBin[band]; ++k) sum += histogram[k];
        figures[band + 1] = sum;
    }
    return figures;
}

std::string FormatGeneral(long double value, std::string_view decimalSeparator) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0.0L) return "0";

    // 18 significant digits, correctly rounded: "d.ddddddddddddddddde+XX".
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17Le", std::fabs(value));
    std::string digits;
    digits.reserve(18);
    digits += buf[0];
    digits.append(buf + 2, 17);
    int exponent = std::atoi(buf + 20) + 1;  // value = 0.d1d2... x 10^exponent

    // Cut to 15 digits, the 16th rounding half up, carries moving left.
    const bool roundUp = digits[15] >= '5';
    digits.resize(15);
    if (roundUp) {
        int i = 14;
        while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') digits[static_cast<std::size_t>(i--)] = '0';
        if (i < 0) {
            digits.assign(1, '1');
            ++exponent;
        } else {
            ++digits[static_cast<std::size_t>(i)];
        }
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int n = static_cast<int>(digits.size());

    std::string out = value < 0 ? "-" : "";
    if (exponent > 15 || exponent < -3) {
        out += digits[0];
        if (n > 1) {
            out += decimalSeparator;
            out.append(digits, 1);
        }
        out += 'E';
        const int e = exponent - 1;
        if (e < 0) out += '-';
        out += std::to_string(std::abs(e));
    } else if (exponent >= 1) {
        if (n <= exponent) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent - n), '0');
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent));
            out += decimalSeparator;
            out.append(digits, static_cast<std::size_t>(exponent));
        }
    } else {
        out += '0';
        out += decimalSeparator;
        out.append(static_cast<std::size_t>(-exponent), '0');
        out += digits;
    }
    return out;
}

std::string FormatPercent(long double value, std::string_view decimalSeparator) {
    return FormatGeneral(value, decimalSeparator) + " %";
}

std::array<std::string, kRangeFigures> RangeTexts(const SimilarityHistogram& histogram,
                                                  std::string_view decimalSeparator) {
    const RangeFigures figures = RangeSums(histogram);
    std::array<std::string, kRangeFigures> texts;
    for (int i = 0; i < kRangeFigures; ++i)
        texts[static_cast<std::size_t>(i)] = FormatPercent(figures[i], decimalSeparator);
    return texts;
}

}  // namespace duvo
