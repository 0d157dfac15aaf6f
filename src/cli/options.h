// Command line of duvo-compare.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace duvo::cli {

struct IgnoreRectangle {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
};

struct Options {
    std::string left, right;
    bool json = false;
    std::optional<std::string> diffFile;
    unsigned threads = 0;  // 0: all cores
    // A pixel matches when its bin is at least 100 - tolerance.
    int tolerance = 0;
    // Non-matching pixels accepted before the pictures count as different.
    std::optional<std::uint64_t> maxNonMatching;
    std::optional<double> maxNonMatchingShare;  // percent of the counted pixels, below 100
    std::vector<IgnoreRectangle> ignore;
    std::optional<std::string> maskFile;
    // Any warning of a decoder (a cut or damaged file) is a failure.
    bool strict = false;
    int regionGap = 0;
    std::size_t maxRegions = 100;
    // Set for --help and --version: print it and exit 0.
    std::optional<std::string> print;

    int MatchingBin() const { return 100 - tolerance; }
};

// A command line that makes no sense; the message names the option.
struct UsageError {
    std::string message;
};

// Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);

// Whether the arguments ask for JSON, as far as they can be read before "--";
// for reporting a usage error in the form that was asked for.
bool WantsJson(const std::vector<std::string>& args);

extern const char* const kVersion;

}  // namespace duvo::cli
