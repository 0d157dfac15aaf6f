// duvo-compare on two folders, or on the JSON reports of shards of such runs:
// the summary and the pairs as text or JSON, JUnit XML and the HTML report.
#pragma once

#include <string>
#include <vector>

#include "cli/json.h"
#include "cli/options.h"
#include "loading/folder_comparison.h"

namespace duvo::cli {

// Compares the folders (or merges the reports) and writes what the options
// ask for; returns the exit status.
int RunFolders(const Options& options);

// One pair as a report knows it, whether just compared or read back from a
// shard's JSON report.
struct PairRecord {
    std::string path;
    std::string status;
    std::optional<std::string> baseFile, newFile;
    JsonValue report;  // the pair's single report, or null
    JsonValue error;   // {"kind", "message", "file"}, or null
    // The report's "diff" is a highlight picture, which the HTML report can show.
    bool highlightDiff = false;
};

struct FolderRecord {
    std::string baseDir, newDir;
    // The shard of the run this record holds; 1 of 1 for a whole run.
    int shardIndex = 1, shardCount = 1;
    // The style of the pictures written to --diff DIR ("duvo", "highlight",
    // "mask"); none without --diff.
    std::optional<std::string> diffStyle;
    FolderSummary summary;
    std::vector<PairRecord> pairs;  // in the order of their paths
    int ExitStatus() const;
};

// A warning of a decoder about one file of a pair.
struct PairWarning {
    std::string side;  // "base", "new" or "mask"
    std::string file, kind, message;
};
// Every warning in the pair's report: its base, its new file, the mask.
std::vector<PairWarning> WarningsOf(const PairRecord& pair);

std::string FolderJson(const FolderRecord& record);
std::string FolderText(const FolderRecord& record);
std::string JunitXml(const FolderRecord& record);
// The reports of shards as one; EUsageError for a file that is no such report
// and for a set that is not every shard of one run once.
FolderRecord MergeReports(const std::vector<std::string>& files);

}  // namespace duvo::cli
