#include "loading/folder_comparison.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "rtl/parallel.h"

namespace duvo {

namespace fs = std::filesystem;

const char* PairStatusName(PairStatus status) {
    switch (status) {
        case PairStatus::Unchanged:
            return "unchanged";
        case PairStatus::Changed:
            return "changed";
        case PairStatus::Added:
            return "added";
        case PairStatus::Removed:
            return "removed";
        case PairStatus::Failed:
            return "failed";
    }
    return "failed";
}

void FolderSummary::Count(PairStatus status) {
    switch (status) {
        case PairStatus::Unchanged:
            ++unchanged;
            break;
        case PairStatus::Changed:
            ++changed;
            break;
        case PairStatus::Added:
            ++added;
            break;
        case PairStatus::Removed:
            ++removed;
            break;
        case PairStatus::Failed:
            ++failed;
            break;
    }
}

int FolderComparison::ExitStatus() const {
    if (summary.failed) return 2;
    return summary.changed || summary.added || summary.removed ? 1 : 0;
}

bool InShard(std::size_t index, int shardIndex, int shardCount) {
    return shardCount <= 1 || index % static_cast<std::size_t>(shardCount) == static_cast<std::size_t>(shardIndex - 1);
}

namespace {

// What one relative path is in one tree.
struct Entry {
    enum Kind { Picture, Other, Bad, Repeated } kind = Other;
    std::string file;     // the path to open
    std::string problem;  // for Bad: why it cannot be compared
};

bool Inside(const fs::path& root, const fs::path& p) {
    const std::string r = root.string(), s = p.string();
    return s == r || (s.size() > r.size() && s.compare(0, r.size(), r) == 0 && s[r.size()] == '/');
}

// Every file under root by its relative path. Folders are walked under their
// own path only, each (by device and inode) once: a link to a folder inside
// the tree names one that is walked where it lies, so following it would
// only repeat its pictures under a second name, and a web of such links
// would repeat them exponentially. Such a link is Repeated, one to a folder
// above it a loop (Bad). Links to files are followed while their target
// stays inside the tree; a link that leaves it or leads nowhere is Bad.
void Walk(const fs::path& root, std::size_t maxEntries, std::map<std::string, Entry>& out) {
    std::error_code ec;
    const fs::path top = fs::canonical(root, ec);
    if (ec || !fs::is_directory(top)) throw EUsageError(root.string() + " is not a folder that can be read");
    struct Folder {
        fs::path path;
        std::string prefix;
        fs::path canonical;  // the folder's own path, no link in it
    };
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked;  // device, inode
    std::size_t entries = 0;
    std::vector<Folder> todo{{root, "", top}};
    while (!todo.empty()) {
        const Folder folder = std::move(todo.back());
        todo.pop_back();
        struct stat own {};
        if (::stat(folder.path.c_str(), &own) == 0 && !folder.prefix.empty() &&
            !walked.insert({static_cast<std::uint64_t>(own.st_dev), static_cast<std::uint64_t>(own.st_ino)}).second) {
            // The same folder mounted twice inside the tree.
            out[folder.prefix.substr(0, folder.prefix.size() - 1)] = {Entry::Repeated, folder.path.string(), ""};
            continue;
        }
        fs::directory_iterator it(folder.path, ec), end;
        if (ec) {
            out[folder.prefix.empty() ? "." : folder.prefix.substr(0, folder.prefix.size() - 1)] = {
                Entry::Bad, folder.path.string(), "the folder cannot be read"};
            continue;
        }
        // Sorted, so that which of two names of one folder is walked does
        // not depend on the order the file system lists them in.
        std::vector<fs::path> names;
        for (; it != end; it.increment(ec)) {
            if (ec) break;
            if (++entries > maxEntries)
                throw ECompareFailure("too-many-files", root.string() + " holds more than " +
                                                            std::to_string(maxEntries) + " files and folders");
            names.push_back(it->path());
        }
        std::sort(names.begin(), names.end(), std::greater<>());  // the last pushed is walked first
        for (const fs::path& p : names) {
            const std::string rel = folder.prefix + p.filename().string();
            const fs::file_status link = fs::symlink_status(p, ec);
            const bool isLink = fs::is_symlink(link);
            if (isLink) {
                const fs::path target = fs::canonical(p, ec);
                if (ec) {
                    out[rel] = {Entry::Bad, p.string(), "the link leads nowhere"};
                    continue;
                }
                if (!Inside(top, target)) {
                    out[rel] = {Entry::Bad, p.string(), "the link leads out of " + root.string()};
                    continue;
                }
                if (fs::is_directory(target, ec)) {
                    if (Inside(target, folder.canonical))
                        out[rel] = {Entry::Bad, p.string(), "the link makes a loop"};
                    else
                        out[rel] = {Entry::Repeated, p.string(), ""};
                    continue;
                }
            }
            const fs::file_status st = fs::status(p, ec);
            if (!isLink && fs::is_directory(st)) {
                todo.push_back({p, rel + "/", folder.canonical / p.filename()});
                continue;
            }
            if (!FindRoute(rel, RouteUser::CommandLine)) {
                out[rel] = {Entry::Other, p.string(), ""};
                continue;
            }
            // Only regular files are read: a pipe or a device named like a
            // picture would wait for ever or never end.
            if (!fs::is_regular_file(st)) {
                out[rel] = {Entry::Bad, p.string(), "not a regular file"};
                continue;
            }
            out[rel] = {Entry::Picture, p.string(), ""};
        }
    }
}

// The difference picture's path for a pair, relative to the folder: the
// pair's path, with ".png" added unless it ends so already; a name another
// pair took first gets one more.
std::string DiffName(const std::string& path, std::set<std::string>& taken) {
    auto endsPng = [](const std::string& p) {
        if (p.size() < 4) return false;
        std::string tail = p.substr(p.size() - 4);
        for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return tail == ".png";
    };
    std::string name = endsPng(path) ? path : path + ".png";
    while (!taken.insert(name).second) name += ".png";
    return name;
}

}  // namespace

FolderComparison CompareFolders(const FolderComparisonRequest& request) {
    if (request.shardCount < 1 || request.shardIndex < 1 || request.shardIndex > request.shardCount)
        throw EUsageError("--shard wants I/N with 1 <= I <= N");
    std::map<std::string, Entry> base, fresh;
    Walk(request.baseDir, request.maxEntries, base);
    Walk(request.newDir, request.maxEntries, fresh);
    if (request.diffDir) {
        // Pictures written into a compared tree would be compared next time,
        // and could take an input's name.
        std::error_code ec;
        const fs::path diff = fs::weakly_canonical(*request.diffDir, ec);
        for (const std::string* dir : {&request.baseDir, &request.newDir})
            if (!ec && Inside(fs::canonical(*dir), diff))
                throw EUsageError("--diff " + *request.diffDir + " lies inside the compared folder " + *dir);
    }
    std::set<std::string> paths;
    for (const auto& [p, e] : base) paths.insert(p);
    for (const auto& [p, e] : fresh) paths.insert(p);

    FolderComparison out;
    std::size_t index = 0;
    for (const std::string& path : paths) {
        if (!InShard(index++, request.shardIndex, request.shardCount)) continue;
        const auto b = base.find(path), n = fresh.find(path);
        const Entry* eb = b == base.end() ? nullptr : &b->second;
        const Entry* en = n == fresh.end() ? nullptr : &n->second;
        const bool pb = eb && eb->kind == Entry::Picture, pn = en && en->kind == Entry::Picture;
        const Entry* bad = eb && eb->kind == Entry::Bad ? eb : en && en->kind == Entry::Bad ? en : nullptr;
        if (!bad && !pb && !pn) {
            const bool repeated = (eb && eb->kind == Entry::Repeated) || (en && en->kind == Entry::Repeated);
            ++(repeated ? out.summary.repeatedFolders : out.summary.skipped);
            continue;
        }
        FolderPair pair;
        pair.path = path;
        if (eb) pair.baseFile = eb->file;
        if (en) pair.newFile = en->file;
        if (bad) {
            pair.status = PairStatus::Failed;
            pair.failure = ECompareFailure("bad-file", bad->file + ": " + bad->problem, bad->file);
        } else if (pb && pn) {
            pair.status = PairStatus::Unchanged;  // until compared
        } else if (pb || pn) {
            // A picture on one side and something else there on the other is
            // no pair to compare either.
            if ((eb && !pb) || (en && !pn)) {
                pair.status = PairStatus::Failed;
                pair.failure = ECompareFailure("bad-file",
                                               path +
                                                   ": a picture in one folder only, something else "
                                                   "by its name in the other",
                                               path);
            } else {
                pair.status = pb ? PairStatus::Removed : PairStatus::Added;
            }
        }
        out.pairs.push_back(std::move(pair));
    }

    std::vector<std::optional<std::string>> diffs(out.pairs.size());
    if (request.diffDir) {
        std::set<std::string> taken;
        for (std::size_t i = 0; i < out.pairs.size(); ++i)
            if (out.pairs[i].status == PairStatus::Unchanged)
                diffs[i] = (fs::path(*request.diffDir) / DiffName(out.pairs[i].path, taken)).string();
    }

    // One pair per worker, each in one pass on its worker alone.
    std::atomic<std::size_t> done{0};
    const std::size_t total = out.pairs.size();
    ParallelFor(total, request.threads, [&](std::size_t i) {
        FolderPair& pair = out.pairs[i];
        if (pair.status == PairStatus::Unchanged) {
            FileComparisonRequest each = request.each;
            each.left = *pair.baseFile;
            each.right = *pair.newFile;
            each.threads = 1;
            each.diff.reset();
            // A limit that accepts every pixel of one small pair is no
            // mistake of the command line when it is meant for the others.
            each.refuseLimitsThatCannotFail = false;
            if (diffs[i]) {
                std::error_code ec;
                fs::create_directories(fs::path(*diffs[i]).parent_path(), ec);
                each.diff = diffs[i];
                each.diffOnlyWhenChanged = true;
            }
            try {
                auto comparison = std::make_shared<FileComparison>(CompareFiles(each));
                if (comparison->pendingDiff) {
                    comparison->pendingDiff->Commit();
                    comparison->pendingDiff.reset();
                    pair.diffFile = each.diff;
                }
                if (!comparison->SameSize() && request.failOnSize) {
                    pair.status = PairStatus::Failed;
                    pair.failure = ECompareFailure("size", "the sizes differ: " + comparison->reason, pair.path);
                } else {
                    pair.status = comparison->WithinTolerance() ? PairStatus::Unchanged : PairStatus::Changed;
                }
                pair.comparison = std::move(comparison);
            } catch (...) {
                pair.status = PairStatus::Failed;
                pair.failure = FailureOf(std::current_exception(), std::nullopt);
            }
        }
        const std::size_t now = ++done;
        if (request.progress) request.progress(now, total);
    });
    for (const FolderPair& pair : out.pairs) out.summary.Count(pair.status);
    return out;
}

}  // namespace duvo
