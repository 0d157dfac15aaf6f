// What duvo-compare prints: the text report and the JSON object.
#pragma once

#include <optional>
#include <string>

#include "compare/compare.h"

namespace duvo::cli {

struct PictureInfo {
    std::string file;
    int width = 0;
    int height = 0;
};

struct Report {
    PictureInfo left, right;
    CompareResult result;
    SimilarityHistogram histogram{};
    std::optional<std::string> diffFile;

    bool SameSize() const { return left.width == right.width && left.height == right.height; }
    // Same size and every compared pixel in bin 100.
    bool Identical() const { return SameSize() && result.counts[100] == result.pixelCount; }
};

std::string TextReport(const Report& report);
std::string JsonReport(const Report& report);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace duvo::cli
