#include "cli/report.h"

#include <algorithm>
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

std::string Decimal(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

std::string Bool(bool b) { return b ? "true" : "false"; }
std::string Num(std::uint64_t n) { return std::to_string(n); }

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t Utf8Sequence(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    const unsigned c = byte(i);
    const auto cont = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return cont(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned c1 = byte(i + 1);
        // No overlong forms and no surrogates.
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return 0;
        return cont(i + 1) && cont(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned c1 = byte(i + 1);
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return 0;
        return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

std::string JsonWarnings(const std::vector<DecodeWarning>& warnings) {
    std::string out = "[";
    for (std::size_t i = 0; i < warnings.size(); ++i)
        out += (i ? ", " : "") + std::string("{\"kind\": ") + JsonString(warnings[i].kind) +
               ", \"message\": " + JsonString(warnings[i].message) + "}";
    return out + "]";
}

std::string Box(const ChangedRegion& r) {
    return "{\"x\": " + std::to_string(r.x0) + ", \"y\": " + std::to_string(r.y0) +
           ", \"width\": " + std::to_string(r.x1 - r.x0) + ", \"height\": " + std::to_string(r.y1 - r.y0) +
           ", \"pixels\": " + Num(r.pixels) + "}";
}

}  // namespace

namespace {

std::string Escaped(const std::string& name, bool keepLineBreaks) {
    std::string out;
    auto hex = [&](unsigned char c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    for (std::size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) {
            const std::size_t n = Utf8Sequence(name, i);
            // U+0080 to U+009F are control characters too.
            const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
            if (n == 0 || c1) {
                for (std::size_t k = 0; k < (n ? n : 1); ++k) hex(static_cast<unsigned char>(name[i + k]));
                i += n ? n : 1;
            } else {
                out.append(name, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '\n':
                out += keepLineBreaks ? "\n" : "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c == 0x7F)
                    hex(c);
                else
                    out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

}  // namespace

std::string Printable(const std::string& name) { return Escaped(name, false); }

std::string ShownText(const std::string& message, const std::vector<std::string>& names) {
    // Only a name with a line break shows otherwise than the text around it.
    std::vector<const std::string*> broken;
    for (const std::string& name : names)
        if (name.find('\n') != std::string::npos && name.find_first_not_of('\n') != std::string::npos)
            broken.push_back(&name);
    // Longer names first, so that a name inside another is not taken for it.
    std::sort(broken.begin(), broken.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    std::string out;
    std::size_t plain = 0;
    for (std::size_t i = 0; i < message.size();) {
        const auto found = std::find_if(broken.begin(), broken.end(), [&](const std::string* name) {
            return message.compare(i, name->size(), *name) == 0;
        });
        if (found == broken.end()) {
            ++i;
            continue;
        }
        out += Escaped(message.substr(plain, i - plain), true) + Printable(**found);
        i += (*found)->size();
        plain = i;
    }
    return out + Escaped(message.substr(plain), true);
}

std::string TextReport(const FileComparison& r) {
    std::string out;
    out += "Left:   " + Printable(r.left.file) + "  " + Size(r.left) + "\n";
    out += "Right:  " + Printable(r.right.file) + "  " + Size(r.right) + "\n";
    if (!r.SameSize()) out += "The pictures differ in size; the common area is compared.\n";
    out += "Compared area: " + std::to_string(r.result.width) + " x " + std::to_string(r.result.height) + " (" +
           std::to_string(r.result.pixelCount) + " pixels)\n";
    if (r.ignoreRectangles || r.maskFile)
        out += "Ignored: " + Num(r.result.ignoredCount) + " pixels (" + std::to_string(r.ignoreRectangles) +
               " rectangles" + (r.maskFile ? ", mask " + Printable(*r.maskFile) : std::string()) + ")\n";
    if (r.diffFile) out += "Difference picture: " + Printable(*r.diffFile) + "\n";
    out += "\n";
    const auto texts = RangeTexts(r.histogram, ".");
    for (int i = 0; i < kRangeFigures; ++i) {
        std::string caption = kRangeCaptions[static_cast<std::size_t>(i)];
        const std::size_t width = Utf8Length(caption);
        caption.append(width < 20 ? 20 - width : 1, ' ');
        out += caption + texts[static_cast<std::size_t>(i)] + "\n";
    }
    out += "\n";
    if (r.left.alpha || r.right.alpha) out += "Alpha differs: " + Num(r.result.alphaDifferent) + " pixels\n";
    if (r.left.bitDepth > 8 || r.right.bitDepth > 8)
        out += "Differ only below 8 bits: " + Num(r.result.belowEightBits) + " pixels\n";
    const RuleInfo& t = r.rule;
    out += "Rule: " + t.text + "; non-matching pixels accepted: " + Num(t.allowed);
    if (t.maxNonMatchingShare) out += " (" + Decimal(*t.maxNonMatchingShare) + " %)";
    if (t.maxRegionPixels) out += "; largest changed region accepted: " + Num(*t.maxRegionPixels) + " pixels";
    out += "\nNon-matching pixels: " + Num(r.nonMatching) + "\n";
    if (t.antialiasing) out += "Anti-aliased pixels: " + Num(r.antialiased) + "\n";
    if (r.regions.found == 0) {
        out += "Changed regions: none\n";
    } else {
        const ChangedRegion& a = r.regions.all;
        out += "Changed regions: " + Num(r.regions.found) + ", largest " + Num(r.regions.largest) +
               " pixels, all within x " + std::to_string(a.x0) + ", y " + std::to_string(a.y0) + ", " +
               std::to_string(a.x1 - a.x0) + " x " + std::to_string(a.y1 - a.y0) + "\n";
    }
    out += std::string("Result: ") + (r.WithinTolerance() ? "the same" : "different") + " (" + r.reason + ")\n";
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t n = Utf8Sequence(text, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD
                ++i;
            } else {
                out.append(text, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

std::string JsonReport(const FileComparison& r) {
    auto picture = [](const PictureInfo& p) {
        return "{\"file\": " + JsonString(p.file) + ", \"format\": " + JsonString(p.format) +
               ", \"width\": " + std::to_string(p.width) + ", \"height\": " + std::to_string(p.height) +
               ", \"alpha\": " + Bool(p.alpha) + ", \"bitDepth\": " + std::to_string(p.bitDepth) +
               ", \"warnings\": " + JsonWarnings(p.warnings) + "}";
    };
    const RuleInfo& t = r.rule;
    auto optional = [](const auto& v, auto text) { return v ? text(*v) : std::string("null"); };
    std::string out = "{\n";
    out += "  \"schema\": " + std::to_string(kJsonSchema) + ",\n";
    out += "  \"left\": " + picture(r.left) + ",\n";
    out += "  \"right\": " + picture(r.right) + ",\n";
    out += "  \"sameSize\": " + Bool(r.SameSize()) + ",\n";
    out += "  \"area\": {\"width\": " + std::to_string(r.result.width) +
           ", \"height\": " + std::to_string(r.result.height) + "},\n";
    out += "  \"pixelCount\": " + Num(r.result.pixelCount) + ",\n";
    out += "  \"ignored\": {\"pixels\": " + Num(r.result.ignoredCount) +
           ", \"rectangles\": " + std::to_string(r.ignoreRectangles) +
           ", \"mask\": " + (r.maskFile ? JsonString(*r.maskFile) : std::string("null")) +
           ", \"maskWarnings\": " + JsonWarnings(r.maskWarnings) + "},\n";
    out += "  \"countedPixels\": " + Num(r.result.CountedPixels()) + ",\n";
    out += "  \"identical\": " + Bool(r.Identical()) + ",\n";
    out += "  \"withinTolerance\": " + Bool(r.WithinTolerance()) + ",\n";
    out += "  \"reason\": " + JsonString(r.reason) + ",\n";
    out += "  \"rule\": {\"text\": " + JsonString(t.text) +
           ", \"threshold\": " + optional(t.threshold, [](double v) { return Decimal(v); }) +
           ", \"channelTolerance\": " + optional(t.channelTolerance, [](int v) { return std::to_string(v); }) +
           ", \"antialiasing\": " + Bool(t.antialiasing) +
           ", \"maxNonMatching\": " + optional(t.maxNonMatching, [](std::uint64_t v) { return Num(v); }) +
           ", \"maxNonMatchingShare\": " + optional(t.maxNonMatchingShare, [](double v) { return Decimal(v); }) +
           ", \"maxRegionPixels\": " + optional(t.maxRegionPixels, [](std::uint64_t v) { return Num(v); }) +
           ", \"accepted\": " + Num(t.allowed) + "},\n";
    out += "  \"nonMatchingPixels\": " + Num(r.nonMatching) + ",\n";
    out += "  \"antialiasedPixels\": " + Num(r.antialiased) + ",\n";
    out += "  \"alphaDifferentPixels\": " + Num(r.result.alphaDifferent) + ",\n";
    out += "  \"belowEightBitPixels\": " + Num(r.result.belowEightBits) + ",\n";
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
    for (int k = 0; k < kSimilarityBins; ++k)
        out += (k ? ", " : "") + JsonNumber(r.histogram[static_cast<std::size_t>(k)]);
    out += "],\n  \"counts\": [";
    for (int k = 0; k < kSimilarityBins; ++k)
        out += (k ? ", " : "") + std::to_string(r.result.counts[static_cast<std::size_t>(k)]);
    out += "],\n";
    const RegionList& g = r.regions;
    out += "  \"regions\": {\"count\": " + Num(g.found) + ", \"largest\": " + Num(g.largest) +
           ", \"listed\": " + Num(g.regions.size()) + ", \"omitted\": " + Num(g.found - g.regions.size()) +
           ", \"gap\": " + std::to_string(r.regionGap) +
           ", \"bounds\": " + (g.found ? Box(g.all) : std::string("null")) + ", \"list\": [";
    for (std::size_t i = 0; i < g.regions.size(); ++i) out += (i ? ",\n    " : "\n    ") + Box(g.regions[i]);
    out += g.regions.empty() ? "]}\n" : "\n  ]}\n";
    out += "}\n";
    return out;
}

std::string JsonError(const std::string& kind, const std::string& message, const std::optional<std::string>& file) {
    return "{\"schema\": " + std::to_string(kJsonSchema) + ", \"error\": {\"kind\": " + JsonString(kind) +
           ", \"message\": " + JsonString(message) + ", \"file\": " + (file ? JsonString(*file) : "null") + "}}\n";
}

}  // namespace duvo::cli
