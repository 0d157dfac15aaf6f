// What duvo-compare prints: the text report, the JSON object (schema 1,
// documented in docs/json.md) and the JSON error object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codecs/row_source.h"

#include "cli/side_planes.h"
#include "compare/compare.h"
#include "compare/regions.h"

namespace duvo::cli {

inline constexpr int kJsonSchema = 1;

struct PictureInfo {
    std::string file;
    int width = 0;
    int height = 0;
    std::string format;  // the route's format name
    bool alpha = false;  // the file has alpha (a PNG alpha channel or tRNS)
    int bitDepth = 8;    // bits per sample as stored (PNG), 8 for the others
    std::vector<DecodeWarning> warnings;  // what the decoder filled in
};

struct ToleranceInfo {
    int tolerance = 0;  // bins below 100 that still match
    std::optional<std::uint64_t> maxNonMatching;
    std::optional<double> maxNonMatchingShare;
    std::uint64_t allowed = 0;  // the non-matching pixels accepted, both limits applied
};

struct Report {
    PictureInfo left, right;
    CompareResult result;
    SimilarityHistogram histogram{};
    std::optional<std::string> diffFile;
    std::optional<std::string> maskFile;
    std::vector<DecodeWarning> maskWarnings;
    std::size_t ignoreRectangles = 0;
    ToleranceInfo tolerance;
    std::uint64_t nonMatching = 0;
    SideCounts side;
    RegionList regions;
    int regionGap = 0;

    bool SameSize() const { return left.width == right.width && left.height == right.height; }
    // Same size, and every counted pixel the same color, alpha and samples.
    bool Identical() const {
        return SameSize() && result.counts[100] == result.CountedPixels() && side.alphaDifferent == 0 &&
               side.belowEightBits == 0;
    }
    // What the exit status says: same size and no more non-matching pixels
    // than accepted.
    bool WithinTolerance() const { return SameSize() && nonMatching <= tolerance.allowed; }
};

std::string TextReport(const Report& report);
std::string JsonReport(const Report& report);

// {"schema": 1, "error": {"kind": ..., "message": ..., "file": ...}}
std::string JsonError(const std::string& kind, const std::string& message, const std::optional<std::string>& file);

// A file name as the text output shows it: control characters (C0, DEL and
// C1) and bytes that are not UTF-8 become escapes (\n, \t, \r, \x1b), so
// a name can neither move the terminal's cursor nor break a line.
std::string Printable(const std::string& name);

// A JSON string literal, quotes included. Bytes that are not valid UTF-8 (a
// file name may hold any) become U+FFFD, so the output is always valid JSON.
std::string JsonString(const std::string& text);

}  // namespace duvo::cli
