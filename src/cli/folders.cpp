#include "cli/folders.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "cli/report.h"
#include "rtl/output_file.h"

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
            if (!f) throw EWriteError(msg::StreamWrite);
        }
        out.Commit();
    } catch (...) {
        throw FailureOf(std::current_exception(), file);
    }
}

JsonValue ErrorJson(const ECompareFailure& f) {
    JsonMembers m;
    m.emplace_back("kind", JsonValue{f.Kind()});
    m.emplace_back("message", JsonValue{f.Message()});
    m.emplace_back("file", f.File() ? JsonValue{*f.File()} : JsonValue{nullptr});
    return {m};
}

std::string Share(const JsonValue& report) {
    const JsonValue* counted = report.Find("countedPixels");
    const JsonValue* miss = report.Find("nonMatchingPixels");
    if (!counted || !miss || counted->Unsigned() == 0) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g %%",
                  100.0 * static_cast<double>(miss->Unsigned()) / static_cast<double>(counted->Unsigned()));
    return buf;
}

// Why a pair is what it is, in a line.
std::string Why(const PairRecord& p) {
    if (p.status == "added") return "only in the new folder";
    if (p.status == "removed") return "only in the base folder";
    if (!p.error.IsNull()) {
        std::string message = p.error.Find("message") ? p.error.Find("message")->String() : "";
        std::replace(message.begin(), message.end(), '\n', ' ');
        return message;
    }
    if (const JsonValue* reason = p.report.Find("reason")) {
        const std::string share = Share(p.report);
        return reason->String() + (share.empty() ? "" : ", " + share + " of the pixels");
    }
    return {};
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

std::string FolderJson(const FolderRecord& r) {
    const FolderSummary& s = r.summary;
    std::string out = "{\n  \"schema\": " + std::to_string(kJsonSchema) + ",\n";
    out += "  \"base\": " + JsonString(r.baseDir) + ",\n  \"new\": " + JsonString(r.newDir) + ",\n";
    out += "  \"summary\": {\"unchanged\": " + std::to_string(s.unchanged) +
           ", \"changed\": " + std::to_string(s.changed) + ", \"added\": " + std::to_string(s.added) +
           ", \"removed\": " + std::to_string(s.removed) + ", \"failed\": " + std::to_string(s.failed) +
           ", \"skipped\": " + std::to_string(s.skipped) + "},\n";
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
        if (p.status == "unchanged") continue;
        std::string status = p.status;
        status.resize(10, ' ');
        const std::string why = Why(p);
        out += status + Printable(p.path) + (why.empty() ? "" : "  (" + Printable(why) + ")") + "\n";
    }
    const FolderSummary& s = r.summary;
    out += "Pairs: " + std::to_string(r.pairs.size()) + " (unchanged " + std::to_string(s.unchanged) + ", changed " +
           std::to_string(s.changed) + ", added " + std::to_string(s.added) + ", removed " + std::to_string(s.removed) +
           ", failed " + std::to_string(s.failed) + "); other files skipped: " + std::to_string(s.skipped) + "\n";
    return out;
}

std::string JunitXml(const FolderRecord& r) {
    const FolderSummary& s = r.summary;
    const std::uint64_t failures = s.changed + s.added + s.removed, errors = s.failed;
    const std::string counts = " tests=\"" + std::to_string(r.pairs.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\"";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"duvo-compare\"" + counts + ">\n";
    out += "  <testsuite name=\"" + Xml("duvo-compare " + r.baseDir + " " + r.newDir) + "\"" + counts + ">\n";
    for (const PairRecord& p : r.pairs) {
        out += "    <testcase classname=\"duvo-compare\" name=\"" + Xml(p.path) + "\"";
        if (p.status == "unchanged") {
            out += "/>\n";
            continue;
        }
        const std::string why = Why(p);
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
               Xml(details) + "</" + tag + ">\n    </testcase>\n";
    }
    out += "  </testsuite>\n</testsuites>\n";
    return out;
}

FolderRecord MergeReports(const std::vector<std::string>& files) {
    FolderRecord merged;
    std::map<std::string, PairRecord> byPath;
    for (const std::string& file : files) {
        const JsonValue doc = ParseJson(ReadAllText(file), file);
        const JsonValue* summary = doc.Find("summary");
        const JsonValue* pairs = doc.Find("pairs");
        if (!summary || !pairs || !doc.Find("schema") || doc.Find("schema")->Unsigned() != kJsonSchema)
            throw EUsageError(file + " is no JSON report of duvo-compare on two folders (schema " +
                              std::to_string(kJsonSchema) + ")");
        if (merged.baseDir.empty()) {
            merged.baseDir = doc.Find("base") ? doc.Find("base")->String() : "";
            merged.newDir = doc.Find("new") ? doc.Find("new")->String() : "";
        }
        merged.summary.skipped += summary->Find("skipped") ? summary->Find("skipped")->Unsigned() : 0;
        for (const JsonValue& item : pairs->Items()) {
            PairRecord p;
            p.path = item.Find("path") ? item.Find("path")->String() : "";
            p.status = item.Find("status") ? item.Find("status")->String() : "failed";
            if (const JsonValue* b = item.Find("base"); b && !b->IsNull()) p.baseFile = b->String();
            if (const JsonValue* n = item.Find("new"); n && !n->IsNull()) p.newFile = n->String();
            if (const JsonValue* rep = item.Find("report")) p.report = *rep;
            if (const JsonValue* err = item.Find("error")) p.error = *err;
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
    return merged;
}

int RunFolders(const Options& options) {
    FolderRecord record;
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
        Progress progress(::isatty(2) == 1);
        request.progress = [&](std::size_t done, std::size_t total) { progress.Update(done, total); };
        const FolderComparison run = CompareFolders(request);
        record.baseDir = request.baseDir;
        record.newDir = request.newDir;
        record.summary = run.summary;
        for (const FolderPair& pair : run.pairs) record.pairs.push_back(RecordOf(pair));
    }
    if (options.junit) WriteTextFile(*options.junit, JunitXml(record));
    std::cout << (options.json ? FolderJson(record) : FolderText(record)) << std::flush;
    if (!std::cout) throw ECompareFailure("write-error", "The report could not be written to standard output");
    return record.ExitStatus();
}

}  // namespace duvo::cli
