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
#include <sstream>

#include "cli/html_report.h"
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
            r.figures.push_back(
                {f.Find("caption") ? f.Find("caption")->String() : "", f.Find("text") ? f.Find("text")->String() : ""});
    if (const JsonValue* regions = rep.Find("regions"))
        if (const JsonValue* list = regions->Find("list"))
            for (const JsonValue& g : list->Items())
                r.regions.push_back({static_cast<int>(Count(g.Find("x"))), static_cast<int>(Count(g.Find("y"))),
                                     static_cast<int>(Count(g.Find("width"))),
                                     static_cast<int>(Count(g.Find("height"))), Count(g.Find("pixels"))});
    return r;
}

std::optional<std::string> DiffOf(const PairRecord& p) {
    if (p.report.IsNull()) return std::nullopt;
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
    for (const std::string& file : options.merge) {
        const std::string xml = ReadAllText(file);
        const std::size_t suite = xml.find("<testsuite ");
        if (xml.find("<testsuites name=\"duvo-compare\"") == std::string::npos || suite == std::string::npos)
            throw EUsageError(file + " is no JUnit file of duvo-compare on two folders");
        if (suiteName.empty()) suiteName = XmlAttribute(xml.substr(suite, xml.find('>', suite) - suite), "name");
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
    std::uint64_t failures = 0, errors = 0;
    for (const auto& [name, c] : cases) {
        failures += c.failure;
        errors += c.error;
    }
    const std::string counts = " tests=\"" + std::to_string(cases.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\"";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"duvo-compare\"" + counts + ">\n";
    out += "  <testsuite name=\"" + suiteName + "\"" + counts + ">\n";
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
    std::map<std::string, std::string> rendered;  // path -> picture made for the report
    if (options.report && options.merge.empty()) CheckOutsideTrees("--report", *options.report, options);
    if (!options.merge.empty()) {
        record = MergeReports(options.merge);
        if (options.report) {
            // The shards' pictures are used where they still exist; the other
            // changed pairs are compared again here, by this run's options,
            // to draw theirs.
            for (const PairRecord& p : record.pairs) {
                const auto diff = DiffOf(p);
                std::error_code ec;
                if (p.status != "changed" || !p.baseFile || !p.newFile || (diff && fs::exists(*diff, ec))) continue;
                if (!scratch) scratch = std::make_unique<ScratchFolder>(*options.report);
                FileComparisonRequest again = options.request;
                again.left = *p.baseFile;
                again.right = *p.newFile;
                again.diff = (scratch->Path() / (std::to_string(rendered.size()) + ".png")).string();
                again.diffStyle = DifferenceStyle::Highlight;
                try {
                    FileComparison c = CompareFiles(again);
                    if (c.pendingDiff) c.pendingDiff->Commit();
                    rendered[p.path] = *again.diff;
                } catch (...) {
                    // The report shows the pair without its picture.
                }
            }
        }
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
        record.summary = run.summary;
        for (const FolderPair& pair : run.pairs) record.pairs.push_back(RecordOf(pair));
    }
    if (options.report) {
        std::vector<ReportPair> pairs;
        pairs.reserve(record.pairs.size());
        for (const PairRecord& p : record.pairs) {
            std::optional<std::string> diff = DiffOf(p);
            if (const auto it = rendered.find(p.path); it != rendered.end()) diff = it->second;
            std::error_code ec;
            if (diff && !fs::exists(*diff, ec)) diff.reset();
            pairs.push_back(ReportPairOf(p, diff));
        }
        const FolderSummary& s = record.summary;
        WriteHtmlReport(*options.report, {s.unchanged, s.changed, s.added, s.removed, s.failed, s.skipped}, pairs,
                        record.baseDir, record.newDir, std::string("duvo-compare ") + kVersion);
    }
    if (scratch && options.merge.empty()) ForgetDiffs(record);
    scratch.reset();
    if (options.junit) WriteTextFile(*options.junit, JunitXml(record));
    std::cout << (options.json ? FolderJson(record) : FolderText(record)) << std::flush;
    if (!std::cout) throw ECompareFailure("write-error", "The report could not be written to standard output");
    return record.ExitStatus();
}

}  // namespace duvo::cli
