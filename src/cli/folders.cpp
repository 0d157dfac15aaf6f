#include "cli/folders.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "cli/html_report.h"
#include "cli/report.h"
#include "rtl/output_file.h"
#include "rtl/parallel.h"

namespace duvo::cli {

namespace fs = std::filesystem;

int FolderRecord::ExitStatus() const {
    if (summary.failed) return 2;
    return summary.changed || summary.added || summary.removed ? 1 : 0;
}

namespace {

std::string ReadAllText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ECompareFailure("cannot-open", ErrorDisplayText(Format(msg::FOpen, {file})), file);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes text to file through a temporary file beside it.
void WriteTextFile(const std::string& file, const std::string& text) {
    try {
        ReplacingFile out(file);
        {
            std::ofstream f(out.TempPath(), std::ios::binary | std::ios::trunc);
            f << text;
            f.flush();
            if (!f) throw EWriteError(msg::StreamWrite, SystemReason(errno));
        }
        out.Commit();
    } catch (...) {
        throw FailureOf(std::current_exception(), file);
    }
}

JsonValue ErrorJson(const ECompareFailure& f) {
    JsonMembers m;
    m.push_back({"kind", JsonValue{f.Kind()}});
    m.push_back({"message", JsonValue{f.Message()}});
    m.push_back({"file", f.File() ? JsonValue{*f.File()} : JsonValue{nullptr}});
    return {m};
}

std::string Share(const JsonValue& report) {
    const JsonValue* counted = report.Find("countedPixels");
    const JsonValue* miss = report.Find("nonMatchingPixels");
    if (!counted || !miss || counted->Unsigned() == 0 || miss->Unsigned() == 0) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g %%",
                  100.0 * static_cast<double>(miss->Unsigned()) / static_cast<double>(counted->Unsigned()));
    return buf;
}

// "new truncated, mask corrupt": which files of the pair have warnings.
std::string WarningMark(const PairRecord& p) {
    // Each side's kinds once and sorted; WarningsOf gives a side's together.
    std::vector<std::pair<std::string, std::set<std::string>>> sides;
    for (const PairWarning& w : WarningsOf(p)) {
        if (sides.empty() || sides.back().first != w.side) sides.push_back({w.side, {}});
        sides.back().second.insert(w.kind);
    }
    std::string out;
    for (const auto& [side, kinds] : sides)
        for (const std::string& kind : kinds) out += (out.empty() ? "" : ", ") + side + " " + kind;
    return out;
}

// Why a pair is what it is, in a line; shown: as the terminal shows it,
// control characters escaped.
std::string Why(const PairRecord& p, bool shown) {
    if (p.status == "added") return "only in the new folder";
    if (p.status == "removed") return "only in the base folder";
    if (!p.error.IsNull()) {
        const std::string message = p.error.Find("message") ? p.error.Find("message")->String() : "";
        const std::string file = p.error.Find("file") ? p.error.Find("file")->String() : "";
        // The message's own lines are joined; the file's name in it keeps
        // its line breaks, escaped, so that it reads as the name it is.
        std::string out;
        for (std::size_t at = 0;;) {
            const std::size_t hit = file.empty() ? std::string::npos : message.find(file, at);
            std::string piece = message.substr(at, hit == std::string::npos ? std::string::npos : hit - at);
            std::replace(piece.begin(), piece.end(), '\n', ' ');
            out += shown ? Printable(piece) : piece;
            if (hit == std::string::npos) break;
            out += shown ? Printable(file) : file;
            at = hit + file.size();
        }
        return out;
    }
    std::string why;
    if (const JsonValue* reason = p.report.Find("reason")) {
        const std::string share = Share(p.report);
        why = reason->String() + (share.empty() ? "" : ", " + share + " of the pixels");
    }
    const std::string mark = WarningMark(p);
    if (!mark.empty()) why += (why.empty() ? "" : "; ") + std::string("damaged: ") + mark;
    return shown ? Printable(why) : why;
}

const char* StyleName(DifferenceStyle style) {
    switch (style) {
        case DifferenceStyle::Highlight:
            return "highlight";
        case DifferenceStyle::Mask:
            return "mask";
        case DifferenceStyle::Similarity:
            break;
    }
    return "duvo";
}

// Text for XML: the five escapes, control characters other than line ends
// and tabs as visible escapes (XML 1.0 cannot hold them), bytes that are
// not UTF-8 as U+FFFD (through the JSON string writer, which makes both).
std::string Xml(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n' && text[i] != '\t') continue;
        // Each stretch between line ends and tabs through the JSON writer,
        // whose escapes are then taken back where XML can hold the text.
        const std::string json = JsonString(text.substr(start, i - start));
        for (std::size_t k = 1; k + 1 < json.size(); ++k) {
            char c = json[k];
            if (c == '\\' && (json[k + 1] == '"' || json[k + 1] == '\\')) c = json[++k];
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                default:
                    out += c;
            }
        }
        if (i < text.size()) out += text[i] == '\n' ? "&#10;" : "&#9;";
        start = i + 1;
    }
    return out;
}

PairRecord RecordOf(const FolderPair& pair) {
    PairRecord r;
    r.path = pair.path;
    r.status = PairStatusName(pair.status);
    r.baseFile = pair.baseFile;
    r.newFile = pair.newFile;
    r.report = pair.comparison ? ParseJson(JsonReport(*pair.comparison), pair.path) : JsonValue{nullptr};
    r.error = pair.failure ? ErrorJson(*pair.failure) : JsonValue{nullptr};
    return r;
}

// "[ 123/500] ######----------  24 %  about 12 s left", rewritten in place.
class Progress {
public:
    explicit Progress(bool shown) : shown_(shown), start_(Clock::now()) {}
    void Update(std::size_t done, std::size_t total) {
        if (!shown_ || total == 0) return;
        std::lock_guard<std::mutex> g(lock_);
        const auto now = Clock::now();
        if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double left = done ? elapsed * static_cast<double>(total - done) / static_cast<double>(done) : 0;
        constexpr int kBar = 24;
        const int filled = static_cast<int>(kBar * done / total);
        char line[160];
        std::snprintf(line, sizeof line, "\r[%*zu/%zu] %s%s %3d %%  %s", static_cast<int>(std::to_string(total).size()),
                      done, total, std::string(static_cast<std::size_t>(filled), '#').c_str(),
                      std::string(static_cast<std::size_t>(kBar - filled), '-').c_str(),
                      static_cast<int>(100 * done / total),
                      done == total ? "done        \n"
                                    : ("about " + std::to_string(static_cast<int>(left + 0.5)) + " s left  ").c_str());
        std::cerr << line << std::flush;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    Clock::time_point start_, last_{};
    std::mutex lock_;
};

}  // namespace

std::vector<PairWarning> WarningsOf(const PairRecord& pair) {
    std::vector<PairWarning> out;
    const auto add = [&](const char* side, const JsonValue* list, const std::string& file) {
        if (!list) return;
        for (const JsonValue& w : list->Items())
            out.push_back({side, file, w.Find("kind") ? w.Find("kind")->String() : "",
                           w.Find("message") ? w.Find("message")->String() : ""});
    };
    for (const auto& [key, side] : {std::pair{"left", "base"}, std::pair{"right", "new"}})
        if (const JsonValue* picture = pair.report.Find(key))
            add(side, picture->Find("warnings"), picture->Find("file") ? picture->Find("file")->String() : "");
    if (const JsonValue* ignored = pair.report.Find("ignored"))
        add("mask", ignored->Find("maskWarnings"), ignored->Find("mask") ? ignored->Find("mask")->String() : "");
    return out;
}

std::string FolderJson(const FolderRecord& r) {
    const FolderSummary& s = r.summary;
    std::string out = "{\n  \"schema\": " + std::to_string(kJsonSchema) + ",\n";
    out += "  \"base\": " + JsonString(r.baseDir) + ",\n  \"new\": " + JsonString(r.newDir) + ",\n";
    out += "  \"shard\": {\"index\": " + std::to_string(r.shardIndex) + ", \"count\": " + std::to_string(r.shardCount) +
           "},\n";
    out += "  \"diffStyle\": " + (r.diffStyle ? JsonString(*r.diffStyle) : std::string("null")) + ",\n";
    out += "  \"summary\": {\"unchanged\": " + std::to_string(s.unchanged) +
           ", \"changed\": " + std::to_string(s.changed) + ", \"added\": " + std::to_string(s.added) +
           ", \"removed\": " + std::to_string(s.removed) + ", \"failed\": " + std::to_string(s.failed) +
           ", \"skipped\": " + std::to_string(s.skipped) +
           ", \"repeatedFolders\": " + std::to_string(s.repeatedFolders) + "},\n";
    out += "  \"pairs\": [";
    for (std::size_t i = 0; i < r.pairs.size(); ++i) {
        const PairRecord& p = r.pairs[i];
        auto file = [](const std::optional<std::string>& f) { return f ? JsonString(*f) : std::string("null"); };
        out += std::string(i ? ",\n" : "\n") + "    {\"path\": " + JsonString(p.path) +
               ", \"status\": " + JsonString(p.status) + ", \"base\": " + file(p.baseFile) +
               ", \"new\": " + file(p.newFile) + ", \"error\": " + WriteJson(p.error) +
               ", \"report\": " + WriteJson(p.report) + "}";
    }
    out += r.pairs.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string FolderText(const FolderRecord& r) {
    std::string out = "Base: " + Printable(r.baseDir) + "\nNew:  " + Printable(r.newDir) + "\n";
    for (const PairRecord& p : r.pairs) {
        // Unchanged pairs are listed only when a file of theirs is damaged.
        if (p.status == "unchanged" && WarningMark(p).empty()) continue;
        std::string status = p.status;
        status.resize(10, ' ');
        const std::string why = Why(p, true);
        out += status + Printable(p.path) + (why.empty() ? "" : "  (" + why + ")") + "\n";
    }
    const FolderSummary& s = r.summary;
    out += "Pairs: " + std::to_string(r.pairs.size()) + " (unchanged " + std::to_string(s.unchanged) + ", changed " +
           std::to_string(s.changed) + ", added " + std::to_string(s.added) + ", removed " + std::to_string(s.removed) +
           ", failed " + std::to_string(s.failed) + "); other files skipped: " + std::to_string(s.skipped) +
           (s.repeatedFolders ? "; links to folders compared under their own path: " + std::to_string(s.repeatedFolders)
                              : std::string()) +
           "\n";
    return out;
}

std::string JunitXml(const FolderRecord& r) {
    const FolderSummary& s = r.summary;
    const std::uint64_t failures = s.changed + s.added + s.removed, errors = s.failed;
    const std::string counts = " tests=\"" + std::to_string(r.pairs.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\"";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"duvo-compare\"" + counts + ">\n";
    out += "  <testsuite name=\"" + Xml("duvo-compare " + r.baseDir + " " + r.newDir) + "\"" + counts + ">\n";
    // What --merge checks the files of shards by.
    out += "    <properties>\n      <property name=\"base\" value=\"" + Xml(r.baseDir) +
           "\"/>\n      <property name=\"new\" value=\"" + Xml(r.newDir) +
           "\"/>\n      <property name=\"shard\" value=\"" + std::to_string(r.shardIndex) + "/" +
           std::to_string(r.shardCount) + "\"/>\n    </properties>\n";
    for (const PairRecord& p : r.pairs) {
        out += "    <testcase classname=\"duvo-compare\" name=\"" + Xml(p.path) + "\"";
        std::string warnings;
        for (const PairWarning& w : WarningsOf(p))
            warnings += "Warning: " + Printable(w.file) + ": " + w.message + " (" + w.kind + ")\n";
        if (!warnings.empty()) warnings = "      <system-err>" + Xml(warnings) + "</system-err>\n";
        if (p.status == "unchanged") {
            out += warnings.empty() ? "/>\n" : ">\n" + warnings + "    </testcase>\n";
            continue;
        }
        const std::string why = Why(p, false);
        std::string details;
        if (const JsonValue* rep = p.report.IsNull() ? nullptr : &p.report) {
            for (const char* key : {"countedPixels", "nonMatchingPixels", "antialiasedPixels"})
                if (const JsonValue* v = rep->Find(key)) details += std::string(key) + ": " + WriteJson(*v) + "\n";
            if (const JsonValue* regions = rep->Find("regions"))
                if (const JsonValue* count = regions->Find("count"))
                    details += "regions: " + WriteJson(*count) + ", largest " +
                               (regions->Find("largest") ? WriteJson(*regions->Find("largest")) : "0") + " pixels\n";
        }
        if (p.baseFile) details += "base: " + *p.baseFile + "\n";
        if (p.newFile) details += "new: " + *p.newFile + "\n";
        const bool error = p.status == "failed";
        const std::string tag = error ? "error" : "failure";
        const std::string type = error && p.error.Find("kind") ? p.error.Find("kind")->String() : p.status;
        out += ">\n      <" + tag + " type=\"" + Xml(type) + "\" message=\"" + Xml(p.status + ": " + why) + "\">" +
               Xml(details) + "</" + tag + ">\n" + warnings + "    </testcase>\n";
    }
    out += "  </testsuite>\n</testsuites>\n";
    return out;
}

namespace {

// One file given to --merge, as it says what it is.
struct ShardOf {
    std::string file, baseDir, newDir;
    std::uint64_t index = 1, count = 1;
};

std::string ShardName(const ShardOf& s) {
    return "shard " + std::to_string(s.index) + " of " + std::to_string(s.count);
}

// The files are shards of one run, each once, and when complete, all of them;
// else EUsageError saying what is wrong.
void CheckShards(const std::vector<ShardOf>& shards, bool complete) {
    if (shards.empty()) return;
    const ShardOf& first = shards.front();
    for (const ShardOf& s : shards) {
        if (s.baseDir != first.baseDir || s.newDir != first.newDir)
            throw EUsageError(s.file + " compares " + s.baseDir + " with " + s.newDir + ", but " + first.file +
                              " compares " + first.baseDir + " with " + first.newDir +
                              ": they are no shards of one run");
        if (s.count != first.count)
            throw EUsageError(s.file + " is " + ShardName(s) + ", but " + first.file + " is " + ShardName(first) +
                              ": they are no shards of one run");
        if (s.index < 1 || s.index > s.count)
            throw EUsageError(s.file + " names " + ShardName(s) + ", which cannot be");
    }
    std::map<std::uint64_t, const ShardOf*> given;
    for (const ShardOf& s : shards)
        if (const auto [at, fresh] = given.emplace(s.index, &s); !fresh)
            throw EUsageError(ShardName(s) + " is given twice: " + at->second->file + " and " + s.file);
    if (!complete || given.size() == first.count) return;
    std::string missing;
    std::uint64_t listed = 0, absent = first.count - given.size();
    for (std::uint64_t i = 1; i <= first.count && listed < 10; ++i)
        if (!given.count(i)) missing += (listed++ ? ", " : "") + std::to_string(i);
    if (absent > listed) missing += " and " + std::to_string(absent - listed) + " more";
    throw EUsageError((absent == 1 ? "shard " + missing + " of " + std::to_string(first.count) + " is missing"
                                   : "shards " + missing + " of " + std::to_string(first.count) + " are missing") +
                      ": the report would not be the whole run's");
}

}  // namespace

FolderRecord MergeReports(const std::vector<std::string>& files) {
    FolderRecord merged;
    std::map<std::string, PairRecord> byPath;
    std::vector<ShardOf> shards;
    for (const std::string& file : files) {
        const JsonValue doc = ParseJson(ReadAllText(file), file);
        const JsonValue* summary = doc.Find("summary");
        const JsonValue* pairs = doc.Find("pairs");
        if (!summary || !pairs || !doc.Find("schema") || doc.Find("schema")->Unsigned() != kJsonSchema)
            throw EUsageError(file + " is no JSON report of duvo-compare on two folders (schema " +
                              std::to_string(kJsonSchema) + ")");
        ShardOf shard;
        shard.file = file;
        shard.baseDir = doc.Find("base") ? doc.Find("base")->String() : "";
        shard.newDir = doc.Find("new") ? doc.Find("new")->String() : "";
        // A report from before shards were written down is a whole run's.
        if (const JsonValue* s = doc.Find("shard")) {
            shard.index = s->Find("index") ? s->Find("index")->Unsigned() : 0;
            shard.count = s->Find("count") ? s->Find("count")->Unsigned() : 0;
        }
        shards.push_back(shard);
        CheckShards(shards, false);  // the first wrong file is the one named
        const JsonValue* style = doc.Find("diffStyle");
        const bool highlight = style && style->String() == "highlight";
        if (shards.size() == 1) {
            merged.baseDir = shard.baseDir;
            merged.newDir = shard.newDir;
            if (style && !style->IsNull()) merged.diffStyle = style->String();
        } else if (merged.diffStyle != (style && !style->IsNull() ? std::optional(style->String()) : std::nullopt)) {
            merged.diffStyle.reset();
        }
        merged.summary.skipped += summary->Find("skipped") ? summary->Find("skipped")->Unsigned() : 0;
        merged.summary.repeatedFolders +=
            summary->Find("repeatedFolders") ? summary->Find("repeatedFolders")->Unsigned() : 0;
        for (const JsonValue& item : pairs->Items()) {
            PairRecord p;
            p.path = item.Find("path") ? item.Find("path")->String() : "";
            p.status = item.Find("status") ? item.Find("status")->String() : "failed";
            if (const JsonValue* b = item.Find("base"); b && !b->IsNull()) p.baseFile = b->String();
            if (const JsonValue* n = item.Find("new"); n && !n->IsNull()) p.newFile = n->String();
            if (const JsonValue* rep = item.Find("report")) p.report = *rep;
            if (const JsonValue* err = item.Find("error")) p.error = *err;
            p.highlightDiff = highlight;
            if (byPath.count(p.path))
                throw EUsageError(p.path + " is in two of the reports: are they shards of one run?");
            byPath.emplace(p.path, std::move(p));
        }
    }
    for (auto& [path, p] : byPath) {
        const PairStatus status = p.status == "unchanged" ? PairStatus::Unchanged
                                  : p.status == "changed" ? PairStatus::Changed
                                  : p.status == "added"   ? PairStatus::Added
                                  : p.status == "removed" ? PairStatus::Removed
                                                          : PairStatus::Failed;
        merged.summary.Count(status);
        merged.pairs.push_back(std::move(p));
    }
    CheckShards(shards, true);
    return merged;
}

namespace {

// A folder of difference pictures for the HTML report alone, removed with
// everything in it when the run is over.
class ScratchFolder {
public:
    explicit ScratchFolder(const fs::path& beside) {
        std::error_code ec;
        fs::create_directories(beside, ec);
        std::string name = (beside / ".duvo-diffs-XXXXXX").string();
        if (!::mkdtemp(name.data()))
            throw ECompareFailure("cannot-create", "Cannot create folder " + name, beside.string());
        path_ = name;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

std::uint64_t Count(const JsonValue* v) { return v ? v->Unsigned() : 0; }

// A pair as the HTML report shows it, from its record.
ReportPair ReportPairOf(const PairRecord& p, const std::optional<std::string>& diff) {
    ReportPair r;
    r.path = p.path;
    r.status = p.status;
    r.baseFile = p.baseFile;
    r.newFile = p.newFile;
    r.diffFile = diff;
    if (!p.error.IsNull() && p.error.Find("message")) r.message = p.error.Find("message")->String();
    if (!p.error.IsNull() && p.error.Find("kind")) r.failure = p.error.Find("kind")->String();
    const JsonValue& rep = p.report;
    if (rep.IsNull()) return r;
    if (const JsonValue* area = rep.Find("area")) {
        r.width = static_cast<int>(Count(area->Find("width")));
        r.height = static_cast<int>(Count(area->Find("height")));
    }
    if (const JsonValue* left = rep.Find("left")) {
        r.baseWidth = static_cast<int>(Count(left->Find("width")));
        r.baseHeight = static_cast<int>(Count(left->Find("height")));
    }
    if (const JsonValue* right = rep.Find("right")) {
        r.newWidth = static_cast<int>(Count(right->Find("width")));
        r.newHeight = static_cast<int>(Count(right->Find("height")));
    }
    r.counted = Count(rep.Find("countedPixels"));
    r.nonMatching = Count(rep.Find("nonMatchingPixels"));
    r.antialiased = Count(rep.Find("antialiasedPixels"));
    if (const JsonValue* rule = rep.Find("rule"); rule && rule->Find("text")) r.rule = rule->Find("text")->String();
    if (const JsonValue* reason = rep.Find("reason")) r.verdict = reason->String();
    if (const JsonValue* figures = rep.Find("figures"))
        for (const JsonValue& f : figures->Items())
            r.figures.push_back(f.Find("percent") ? f.Find("percent")->Double() : 0);
    if (const JsonValue* regions = rep.Find("regions"))
        if (const JsonValue* list = regions->Find("list"))
            for (const JsonValue& g : list->Items())
                r.regions.push_back({static_cast<int>(Count(g.Find("x"))), static_cast<int>(Count(g.Find("y"))),
                                     static_cast<int>(Count(g.Find("width"))),
                                     static_cast<int>(Count(g.Find("height"))), Count(g.Find("pixels"))});
    return r;
}

// The pair's highlight picture written to --diff DIR, if there is one.
std::optional<std::string> DiffOf(const PairRecord& p) {
    if (p.report.IsNull() || !p.highlightDiff) return std::nullopt;
    const JsonValue* d = p.report.Find("diff");
    if (!d || d->IsNull()) return std::nullopt;
    return d->String();
}

// The pictures named in a report no longer exist after the run: the report
// says so rather than name a removed file.
void ForgetDiffs(FolderRecord& record) {
    for (PairRecord& p : record.pairs) {
        if (p.report.IsNull()) continue;
        auto& members = std::get<JsonMembers>(p.report.value);
        for (auto& [key, value] : members)
            if (key == "diff") value = JsonValue{nullptr};
    }
}

void CheckOutsideTrees(const std::string& what, const std::string& dir, const Options& options) {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(dir, ec);
    if (ec) return;
    for (const std::string* tree : {&options.request.left, &options.request.right}) {
        const fs::path top = fs::canonical(*tree, ec);
        if (ec) continue;
        const std::string t = top.string(), d = target.string();
        if (d == t || (d.size() > t.size() && d.compare(0, t.size(), t) == 0 && d[t.size()] == '/'))
            throw EUsageError(what + " " + dir + " lies inside the compared folder " + *tree);
    }
}

bool LooksLikeXml(const std::string& text) {
    const std::size_t at = text.find_first_not_of(" \t\r\n");
    return at != std::string::npos && text[at] == '<';
}

std::string XmlAttribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) return {};
    const std::size_t from = at + key.size(), to = tag.find('"', from);
    return to == std::string::npos ? std::string{} : tag.substr(from, to - from);
}

// The text of an attribute as written back by Xml(): the five escapes and
// numeric references undone, for ordering and for telling paths apart.
std::string XmlText(const std::string& raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::size_t end = raw[i] == '&' ? raw.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out += raw[i];
            continue;
        }
        const std::string name = raw.substr(i + 1, end - i - 1);
        if (name == "amp")
            out += '&';
        else if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name[0] == '#')
            out += static_cast<char>(std::strtol(name.c_str() + 1, nullptr, 10));
        else
            out += raw.substr(i, end - i + 1);
        i = end;
    }
    return out;
}

// The JUnit files of shards as one: their test cases in the order of their
// paths, the counts added up. Only files this tool wrote are taken.
int MergeJunit(const Options& options) {
    struct Case {
        std::string text;  // the element as written, with its indentation
        bool failure = false, error = false;
    };
    std::map<std::string, Case> cases;
    std::string suiteName;
    std::vector<ShardOf> shards;
    for (const std::string& file : options.merge) {
        const std::string xml = ReadAllText(file);
        const std::size_t suite = xml.find("<testsuite ");
        if (xml.find("<testsuites name=\"duvo-compare\"") == std::string::npos || suite == std::string::npos)
            throw EUsageError(file + " is no JUnit file of duvo-compare on two folders");
        if (suiteName.empty()) suiteName = XmlAttribute(xml.substr(suite, xml.find('>', suite) - suite), "name");
        // The suite's properties, as JunitXml writes them; a file from before
        // they were written is a whole run's.
        const std::size_t firstCase = xml.find("<testcase ", suite);
        const auto property = [&](const std::string& name) -> std::optional<std::string> {
            const std::size_t at = xml.find("<property name=\"" + name + "\" ", suite);
            if (at == std::string::npos || at > firstCase) return std::nullopt;
            return XmlText(XmlAttribute(xml.substr(at, xml.find('>', at) - at), "value"));
        };
        ShardOf shard;
        shard.file = file;
        shard.baseDir = property("base").value_or("");
        shard.newDir = property("new").value_or("");
        if (const auto value = property("shard")) {
            const std::size_t slash = value->find('/');
            shard.index = std::strtoull(value->c_str(), nullptr, 10);
            shard.count = slash == std::string::npos ? 0 : std::strtoull(value->c_str() + slash + 1, nullptr, 10);
        }
        shards.push_back(shard);
        CheckShards(shards, false);
        for (std::size_t at = xml.find("<testcase ", suite); at != std::string::npos;
             at = xml.find("<testcase ", at + 1)) {
            const std::size_t tagEnd = xml.find('>', at);
            if (tagEnd == std::string::npos) throw EUsageError(file + ": a test case is cut off");
            const std::string tag = xml.substr(at, tagEnd - at + 1);
            std::size_t end = tagEnd + 1;
            if (tag.size() < 2 || tag[tag.size() - 2] != '/') {
                const std::size_t close = xml.find("</testcase>", tagEnd);
                if (close == std::string::npos) throw EUsageError(file + ": a test case is cut off");
                end = close + std::string("</testcase>").size();
            }
            Case c;
            c.text = "    " + xml.substr(at, end - at) + "\n";
            c.failure = c.text.find("<failure") != std::string::npos;
            c.error = c.text.find("<error") != std::string::npos;
            const std::string name = XmlText(XmlAttribute(tag, "name"));
            if (!cases.emplace(name, std::move(c)).second)
                throw EUsageError(name + " is in two of the reports: are they shards of one run?");
        }
    }
    CheckShards(shards, true);
    std::uint64_t failures = 0, errors = 0;
    for (const auto& [name, c] : cases) {
        failures += c.failure;
        errors += c.error;
    }
    const std::string counts = " tests=\"" + std::to_string(cases.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\"";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"duvo-compare\"" + counts + ">\n";
    out += "  <testsuite name=\"" + suiteName + "\"" + counts + ">\n";
    out += "    <properties>\n      <property name=\"base\" value=\"" + Xml(shards.front().baseDir) +
           "\"/>\n      <property name=\"new\" value=\"" + Xml(shards.front().newDir) +
           "\"/>\n      <property name=\"shard\" value=\"1/1\"/>\n    </properties>\n";
    for (const auto& [name, c] : cases) out += c.text;
    out += "  </testsuite>\n</testsuites>\n";
    if (options.junit) {
        WriteTextFile(*options.junit, out);
    } else {
        std::cout << out << std::flush;
        if (!std::cout) throw ECompareFailure("write-error", "The report could not be written to standard output");
    }
    return errors ? 2 : failures ? 1 : 0;
}

}  // namespace

namespace {

// Draws a highlight picture into scratch for each changed pair that has none
// the report can show, by this run's options: the pairs of shards whose
// pictures are gone or of another style, and those of a run whose --diff
// pictures are of another style. A pair that can no longer be compared is
// shown without one.
std::map<std::string, std::string> DrawHighlights(const FolderRecord& record, const Options& options,
                                                  std::unique_ptr<ScratchFolder>& scratch) {
    std::vector<const PairRecord*> todo;
    for (const PairRecord& p : record.pairs) {
        const auto diff = DiffOf(p);
        std::error_code ec;
        if (p.status == "changed" && p.baseFile && p.newFile && !(diff && fs::exists(*diff, ec))) todo.push_back(&p);
    }
    std::map<std::string, std::string> drawn;
    if (todo.empty()) return drawn;
    if (!scratch) scratch = std::make_unique<ScratchFolder>(*options.report);
    std::vector<std::optional<std::string>> files(todo.size());
    ParallelFor(todo.size(), options.request.threads, [&](std::size_t i) {
        FileComparisonRequest again = options.request;
        again.left = *todo[i]->baseFile;
        again.right = *todo[i]->newFile;
        again.diff = (scratch->Path() / (std::to_string(i) + ".png")).string();
        again.diffStyle = DifferenceStyle::Highlight;
        again.diffOnlyWhenChanged = false;
        again.refuseLimitsThatCannotFail = false;
        again.threads = 1;
        try {
            FileComparison c = CompareFiles(again);
            if (c.pendingDiff) c.pendingDiff->Commit();
            files[i] = again.diff;
        } catch (...) {
            // The report shows the pair without its picture.
        }
    });
    for (std::size_t i = 0; i < todo.size(); ++i)
        if (files[i]) drawn[todo[i]->path] = *files[i];
    return drawn;
}

// Each warning once, as the two-file run prints them: a mask's warnings
// would otherwise come once for every pair.
void PrintWarnings(const FolderRecord& record) {
    std::set<std::string> printed;
    for (const PairRecord& p : record.pairs)
        for (const PairWarning& w : WarningsOf(p)) {
            const std::string line = "Warning: " + Printable(w.file) + ": " + w.message + " (" + w.kind + ")\n";
            if (printed.insert(line).second) std::cerr << line;
        }
    std::cerr << std::flush;
}

}  // namespace

int RunFolders(const Options& options) {
    if (options.junit) {
        // The XML must not take the place of an input.
        for (const std::string& file : options.merge)
            if (SameFile(*options.junit, file))
                throw EUsageError("--junit " + *options.junit + " is the same file as the --merge input " + file +
                                  ": the XML would overwrite it");
        if (options.merge.empty()) CheckOutsideTrees("--junit", *options.junit, options);
    }
    if (!options.merge.empty()) {
        // JUnit files of shards merge into JUnit alone: they hold no reports.
        std::size_t xml = 0;
        for (const std::string& file : options.merge) xml += LooksLikeXml(ReadAllText(file));
        if (xml && xml != options.merge.size())
            throw EUsageError("--merge takes the JSON reports of shards, or their JUnit files, not both");
        if (xml) {
            if (options.json || options.report)
                throw EUsageError("--json and --report need the shards' JSON reports; JUnit files merge into JUnit");
            return MergeJunit(options);
        }
    }
    FolderRecord record;
    std::unique_ptr<ScratchFolder> scratch;
    if (options.report && options.merge.empty()) CheckOutsideTrees("--report", *options.report, options);
    if (!options.merge.empty()) {
        record = MergeReports(options.merge);
    } else {
        FolderComparisonRequest request;
        request.baseDir = options.request.left;
        request.newDir = options.request.right;
        request.each = options.request;
        request.failOnSize = options.failOnSize;
        request.shardIndex = options.shardIndex;
        request.shardCount = options.shardCount;
        request.threads = options.request.threads;
        request.diffDir = options.request.diff;
        if (options.report && !options.request.diff) {
            // The report shows where pictures differ on the pictures themselves.
            scratch = std::make_unique<ScratchFolder>(*options.report);
            request.diffDir = scratch->Path().string();
            request.each.diffStyle = DifferenceStyle::Highlight;
        }
        Progress progress(::isatty(2) == 1);
        request.progress = [&](std::size_t done, std::size_t total) { progress.Update(done, total); };
        const FolderComparison run = CompareFolders(request);
        record.baseDir = request.baseDir;
        record.newDir = request.newDir;
        record.shardIndex = request.shardIndex;
        record.shardCount = request.shardCount;
        if (options.request.diff) record.diffStyle = StyleName(options.request.diffStyle);
        record.summary = run.summary;
        for (const FolderPair& pair : run.pairs) {
            record.pairs.push_back(RecordOf(pair));
            record.pairs.back().highlightDiff = request.each.diffStyle == DifferenceStyle::Highlight;
        }
    }
    PrintWarnings(record);
    if (options.report) {
        const std::map<std::string, std::string> drawn = DrawHighlights(record, options, scratch);
        std::vector<ReportPair> pairs;
        pairs.reserve(record.pairs.size());
        for (const PairRecord& p : record.pairs) {
            std::optional<std::string> diff = DiffOf(p);
            if (const auto it = drawn.find(p.path); it != drawn.end()) diff = it->second;
            std::error_code ec;
            if (diff && !fs::exists(*diff, ec)) diff.reset();
            pairs.push_back(ReportPairOf(p, diff));
        }
        const FolderSummary& s = record.summary;
        WriteHtmlReport(*options.report, {s.unchanged, s.changed, s.added, s.removed, s.failed, s.skipped}, pairs,
                        record.baseDir, record.newDir, std::string("duvo-compare ") + kVersion);
    }
    if (scratch && options.merge.empty() && !options.request.diff) ForgetDiffs(record);
    scratch.reset();
    if (options.junit) WriteTextFile(*options.junit, JunitXml(record));
    std::cout << (options.json ? FolderJson(record) : FolderText(record)) << std::flush;
    if (!std::cout) throw ECompareFailure("write-error", "The report could not be written to standard output");
    return record.ExitStatus();
}

}  // namespace duvo::cli
