// The static HTML report of a folder comparison: a page, its script and
// style, a data file and the pictures, all in one folder, so that it opens
// from file:// with no server and no network and can be kept as a CI
// artifact. The page's sources are src/cli/report/, compiled into the tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace duvo::cli {

struct ReportRegion {
    int x, y, width, height;
    std::uint64_t pixels;
};

struct ReportPair {
    std::string path;     // relative path, "/" separated, UTF-8
    std::string status;   // "unchanged", "changed", "added", "removed", "failed"
    std::string message;  // why a pair failed, or empty
    std::string failure;  // the kind of a failed pair's error ("bad-file", "size", ...)
    // The two pictures, absolute or relative to the working folder; absent for
    // the missing side of an added or removed pair.
    std::optional<std::string> baseFile, newFile;
    std::optional<std::string> diffFile;  // the highlight difference picture of a changed pair
    int width = 0, height = 0;            // the compared area
    int baseWidth = 0, baseHeight = 0, newWidth = 0, newHeight = 0;
    std::uint64_t counted = 0, nonMatching = 0, antialiased = 0;
    std::string rule;     // the rule in force
    std::string verdict;  // why the result is what it is
    // The seven figures in percent, in the tool's order (same color, then
    // differences of 0-10 % up to over 50 %); the page gives them captions.
    std::vector<double> figures;
    std::vector<ReportRegion> regions;  // largest first
};

struct ReportSummary {
    std::uint64_t unchanged = 0, changed = 0, added = 0, removed = 0, failed = 0, skipped = 0;
};

// The longest side of a thumbnail; larger pictures get one.
inline constexpr int kReportThumbnailSide = 320;

// Writes the report into dir, made if missing: index.html, report.js,
// report.css, data.js and pictures/ (each picture copied when a browser shows
// its format, else converted to PNG; PNG thumbnails of the pictures the list
// shows when they are larger than kReportThumbnailSide). Files of an earlier
// report there are replaced, and its pictures that this one does not have are
// removed. Only regular files are read, no more bytes than they had when
// opened; a failed pair's files are not read at all unless its failure is
// "size". A picture that cannot be read leaves a note in its place on the
// page, not an error. Throws ECompareFailure of kind "cannot-create" or "write-error"
// naming the file in dir that could not be made.
void WriteHtmlReport(const std::string& dir, const ReportSummary& summary, const std::vector<ReportPair>& pairs,
                     const std::string& baseDir, const std::string& newDir, const std::string& toolVersion);

}  // namespace duvo::cli
