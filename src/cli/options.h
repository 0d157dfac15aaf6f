// Command line of duvo-compare.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace duvo::cli {

struct Options {
    std::string left, right;
    bool json = false;
    bool help = false;
    std::optional<std::string> diffFile;
    unsigned threads = 0;  // 0: all cores
};

// A command line that makes no sense; the message says why.
struct UsageError {
    std::string message;
};

// Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);

extern const char* const kHelpText;

}  // namespace duvo::cli
