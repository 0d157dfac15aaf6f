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
};

struct FolderRecord {
    std::string baseDir, newDir;
    FolderSummary summary;
    std::vector<PairRecord> pairs;  // in the order of their paths
    int ExitStatus() const;
};

std::string FolderJson(const FolderRecord& record);
std::string FolderText(const FolderRecord& record);
std::string JunitXml(const FolderRecord& record);
// The reports of shards as one; EUsageError for a file that is no such report.
FolderRecord MergeReports(const std::vector<std::string>& files);

}  // namespace duvo::cli
