#include "cli/report.h"

#include <cstdio>

#include "compare/summary.h"

namespace duvo::cli {

namespace {

// Characters, not bytes, of UTF-8 text: for lining up the Polish captions.
std::size_t Utf8Length(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

std::string Size(const PictureInfo& p) { return std::to_string(p.width) + " x " + std::to_string(p.height); }

// Enough digits for a long double to read back the same value.
std::string JsonNumber(long double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.21Lg", x);
    return buf;
}

}  // namespace

std::string TextReport(const Report& r) {
    std::string out;
    out += "Left:   " + r.left.file + "  " + Size(r.left) + "\n";
    out += "Right:  " + r.right.file + "  " + Size(r.right) + "\n";
    if (!r.SameSize()) out += "The pictures differ in size; the common area is compared.\n";
    out += "Compared area: " + std::to_string(r.result.width) + " x " + std::to_string(r.result.height) + " (" +
           std::to_string(r.result.pixelCount) + " pixels)\n";
    if (r.diffFile) out += "Difference picture: " + *r.diffFile + "\n";
    out += "\n";
    const auto texts = RangeTexts(r.histogram, ".");
    for (int i = 0; i < kRangeFigures; ++i) {
        std::string caption = kRangeCaptions[static_cast<std::size_t>(i)];
        const std::size_t width = Utf8Length(caption);
        caption.append(width < 20 ? 20 - width : 1, ' ');
        out += caption + texts[static_cast<std::size_t>(i)] + "\n";
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string JsonReport(const Report& r) {
    auto picture = [](const PictureInfo& p) {
        return "{\"file\": " + JsonString(p.file) + ", \"width\": " + std::to_string(p.width) +
               ", \"height\": " + std::to_string(p.height) + "}";
    };
    std::string out = "{\n";
    out += "  \"left\": " + picture(r.left) + ",\n";
    out += "  \"right\": " + picture(r.right) + ",\n";
    out += "  \"sameSize\": " + std::string(r.SameSize() ? "true" : "false") + ",\n";
    out += "  \"area\": {\"width\": " + std::to_string(r.result.width) +
           ", \"height\": " + std::to_string(r.result.height) + "},\n";
    out += "  \"pixelCount\": " + std::to_string(r.result.pixelCount) + ",\n";
    out += "  \"identical\": " + std::string(r.Identical() ? "true" : "false") + ",\n";
    out += "  \"diff\": " + (r.diffFile ? JsonString(*r.diffFile) : std::string("null")) + ",\n";
    const RangeFigures figures = RangeSums(r.histogram);
    out += "  \"figures\": [\n";
    for (int i = 0; i < kRangeFigures; ++i) {
        const auto f = figures[static_cast<std::size_t>(i)];
        out += "    {\"caption\": " + JsonString(kRangeCaptions[static_cast<std::size_t>(i)]) +
               ", \"percent\": " + JsonNumber(f) + ", \"text\": " + JsonString(FormatPercent(f, ".")) + "}";
        out += i + 1 < kRangeFigures ? ",\n" : "\n";
    }
    out += "  ],\n  \"histogram\": [";
    for (int k = 0; k < kSimilarityBins; ++k) out += (k ? ", " : "") + JsonNumber(r.histogram[static_cast<std::size_t>(k)]);
    out += "],\n  \"counts\": [";
    for (int k = 0; k < kSimilarityBins; ++k)
        out += (k ? ", " : "") + std::to_string(r.result.counts[static_cast<std::size_t>(k)]);
    out += "]\n}\n";
    return out;
}

}  // namespace duvo::cli
