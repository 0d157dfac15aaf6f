// The report page's sources (index.html, report.js, report.css), compiled
// into duvo-compare from this folder by cmake/embed.cmake.
#pragma once

#include <cstddef>

namespace duvo::cli::report_assets {

struct Blob {
    const unsigned char* data;
    std::size_t size;
};

// By file name; an unknown name gives {nullptr, 0}.
Blob Find(const char* name);

}  // namespace duvo::cli::report_assets
