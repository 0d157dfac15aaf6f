// Two folders of pictures compared pair by pair: every picture file with the
// same relative path in both, each pair in one pass on a worker of its own,
// every option of a comparison applying to each pair. Files no route takes
// are skipped and counted. Links to files are followed only while they stay
// inside their tree; one that leaves it is a failed pair. Each folder is
// walked once, under its own path: a link to a folder of the tree is not
// followed (counted), one to a folder above it is a loop and a failed pair.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loading/file_comparison.h"

namespace duvo {

enum class PairStatus { Unchanged, Changed, Added, Removed, Failed };

// "unchanged", "changed", "added", "removed", "failed".
const char* PairStatusName(PairStatus status);

struct FolderPair {
    std::string path;  // relative, "/" between folders
    PairStatus status = PairStatus::Unchanged;
    std::optional<std::string> baseFile, newFile;  // as the folders and the path make them
    // The comparison, for pairs in both folders that could be compared.
    std::shared_ptr<FileComparison> comparison;
    // Why a pair failed.
    std::optional<ECompareFailure> failure;
    // The difference picture written for the pair, if any.
    std::optional<std::string> diffFile;
};

struct FolderSummary {
    std::uint64_t unchanged = 0, changed = 0, added = 0, removed = 0, failed = 0, skipped = 0;
    // Links to folders of the tree (and folders mounted twice in it), not
    // walked again.
    std::uint64_t repeatedFolders = 0;
    void Count(PairStatus status);
};

struct FolderComparisonRequest {
    std::string baseDir, newDir;
    // What each pair is compared by (its left, right, mask paths and diff
    // are not used; the mask applies to every pair when given).
    FileComparisonRequest each;
    // Pictures of different sizes are a failed pair, not a changed one.
    bool failOnSize = false;
    // This run takes every count-th pair, starting at the index-th (1-based),
    // in the order of their paths.
    int shardIndex = 1, shardCount = 1;
    // Files and folders a tree may hold; more is an ECompareFailure of kind
    // "too-many-files" before anything is compared.
    std::size_t maxEntries = 1'000'000;
    // Pairs compared at once (0: every core); each pair on one thread.
    unsigned threads = 0;
    // Where the difference picture of each pair that differs goes: the
    // folder, the pair's relative path with ".png" added unless it ends so.
    // None: no pictures. It may not lie inside either tree.
    std::optional<std::string> diffDir;
    // After each pair, from the worker that did it (done counts finished pairs).
    std::function<void(std::size_t done, std::size_t total)> progress;
};

struct FolderComparison {
    std::vector<FolderPair> pairs;  // in the order of their paths
    FolderSummary summary;
    // 2 if a pair failed, else 1 if a pair changed, was added or removed, else 0.
    int ExitStatus() const;
};

// EUsageError when a folder cannot be read as one; every failure of a pair
// is that pair's.
FolderComparison CompareFolders(const FolderComparisonRequest& request);

// The pairs a run takes for a shard index and count of paths, in order.
bool InShard(std::size_t index, int shardIndex, int shardCount);

}  // namespace duvo
