// Command line of duvo-compare.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "loading/file_comparison.h"

namespace duvo::cli {

struct Options {
    FileComparisonRequest request;
    bool json = false;
    // Set for --help and --version: print it and exit 0.
    std::optional<std::string> print;

    // Two folders: every pair of pictures with the same relative path.
    bool folders = false;
    bool failOnSize = false;
    int shardIndex = 1, shardCount = 1;
    std::optional<std::string> junit;   // JUnit XML of the pairs
    std::optional<std::string> report;  // a folder for the HTML report
    // JSON reports of folder runs (shards) to merge instead of comparing.
    std::vector<std::string> merge;
};

// EUsageError for a command line that makes no sense; the message names the
// option.
Options ParseOptions(const std::vector<std::string>& args);

// Whether the arguments ask for JSON, as far as they can be read before "--";
// for reporting a usage error in the form that was asked for.
bool WantsJson(const std::vector<std::string>& args);

extern const char* const kVersion;

}  // namespace duvo::cli
