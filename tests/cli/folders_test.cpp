// duvo-compare on two folders as a CI job runs it: the exit status, the JSON
// summary with each pair's report, JUnit XML read back as XML, shards merged
// into the report of the whole run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

using namespace clitest;

// XML as JUnit files hold it, read strictly: every element closed by its
// own name, attributes quoted, only the five entities and character
// references, no "<" or "&" out of place; anything else throws.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;
    std::string text;
    // The children of one name.
    std::vector<const Element*> All(const std::string& of) const {
        std::vector<const Element*> out;
        for (const Element& c : children)
            if (c.name == of) out.push_back(&c);
        return out;
    }
};

class XmlReader {
public:
    explicit XmlReader(const std::string& s) : s_(s) {}
    Element Document() {
        if (s_.compare(0, 5, "<?xml") == 0) p_ = s_.find("?>") + 2;
        Blank();
        Element e = Read();
        Blank();
        if (p_ != s_.size()) Fail("text after the root element");
        return e;
    }

private:
    [[noreturn]] void Fail(const std::string& why) const {
        throw std::runtime_error("XML: " + why + " at " + std::to_string(p_));
    }
    char At(std::size_t i) const { return i < s_.size() ? s_[i] : '\0'; }
    void Blank() {
        while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    std::string Name() {
        std::string n;
        while (std::isalnum(static_cast<unsigned char>(At(p_))) || At(p_) == '-' || At(p_) == '_' || At(p_) == ':')
            n += s_[p_++];
        if (n.empty()) Fail("a name expected");
        return n;
    }
    std::string Decode(const std::string& raw) {
        std::string out;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '<') Fail("< in text");
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const std::size_t end = raw.find(';', i);
            if (end == std::string::npos) Fail("& without ;");
            const std::string name = raw.substr(i + 1, end - i - 1);
            static const std::map<std::string, char> kNamed = {
                {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
            if (name.size() > 1 && name[0] == '#' && std::all_of(name.begin() + 1, name.end(), ::isdigit)) {
                const int code = std::stoi(name.substr(1));
                if (code < 0x20 && code != '\n' && code != '\t' && code != '\r')
                    Fail("a character XML 1.0 cannot hold");
                out += static_cast<char>(code);
            } else if (kNamed.count(name)) {
                out += kNamed.at(name);
            } else {
                Fail("unknown entity &" + name + ";");
            }
            i = end;
        }
        return out;
    }
    Element Read() {
        if (At(p_) != '<') Fail("element expected");
        ++p_;
        Element e;
        e.name = Name();
        for (;;) {
            Blank();
            if (At(p_) == '/') {
                if (At(p_ + 1) != '>') Fail("/> expected");
                p_ += 2;
                return e;
            }
            if (At(p_) == '>') break;
            const std::string key = Name();
            if (At(p_) != '=' || At(p_ + 1) != '"') Fail("=\" expected after " + key);
            p_ += 2;
            const std::size_t end = s_.find('"', p_);
            if (end == std::string::npos) Fail("attribute not closed");
            if (!e.attributes.emplace(key, Decode(s_.substr(p_, end - p_))).second) Fail("attribute twice: " + key);
            p_ = end + 1;
        }
        ++p_;
        for (;;) {
            const std::size_t lt = s_.find('<', p_);
            if (lt == std::string::npos) Fail("<" + e.name + "> not closed");
            e.text += Decode(s_.substr(p_, lt - p_));
            p_ = lt;
            if (s_.compare(p_, 2, "</") == 0) {
                p_ += 2;
                if (Name() != e.name || At(p_) != '>') Fail("</" + e.name + "> expected");
                ++p_;
                return e;
            }
            e.children.push_back(Read());
        }
    }
    const std::string& s_;
    std::size_t p_ = 0;
};

// What Python's XML parser (expat) says of the file: empty when it is well
// formed.
std::string ExpatComplaint(const std::string& file) {
    const std::string command =
        "python3 -c 'import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])' " + Quote(file) + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int status = ::pclose(pipe);
    return status == 0 ? std::string() : "python3 said: " + out;
}

// A JUnit file read back, after a real XML parser has taken it.
Element Junit(const std::string& file) {
    EXPECT_EQ(ExpatComplaint(file), "") << file;
    return XmlReader(ReadFile(file)).Document();
}

// The test cases of a JUnit document by name: "passed", or the name of the
// failure or error element; "+warnings" when the case has a system-err.
std::map<std::string, std::string> Outcomes(const Element& junit) {
    std::map<std::string, std::string> out;
    for (const Element* c : junit.children.at(0).All("testcase")) {
        std::string outcome = "passed";
        for (const char* kind : {"failure", "error"})
            if (!c->All(kind).empty()) outcome = kind;
        if (!c->All("system-err").empty()) outcome += "+warnings";
        out[c->attributes.at("name")] = outcome;
    }
    return out;
}

// The suite's properties, name to value.
std::map<std::string, std::string> Properties(const Element& junit) {
    std::map<std::string, std::string> out;
    for (const Element* list : junit.children.at(0).All("properties"))
        for (const Element* p : list->All("property")) out[p->attributes.at("name")] = p->attributes.at("value");
    return out;
}

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

class Folders : public CompareTool {
protected:
    std::string Put(const std::string& rel, duvo::TColor color, int w = 6, int h = 4) {
        fs::create_directories((dir_ / rel).parent_path());
        return Solid(rel, w, h, color);
    }
    // A w x h picture of one color with some pixels of another.
    std::string Dots(const std::string& rel, duvo::TColor color, const std::vector<std::pair<int, int>>& dots,
                     duvo::TColor dot, int w = 6, int h = 4) {
        fs::create_directories((dir_ / rel).parent_path());
        return Picture(rel, w, h, [&](int x, int y) {
            return std::find(dots.begin(), dots.end(), std::pair{x, y}) != dots.end() ? dot : color;
        });
    }
    // The tool run as Run does, with something before it on the shell's
    // command line ("timeout 30 ").
    Outcome RunAs(const std::string& before, const std::vector<std::string>& args) const {
        std::string command = before + Quote(DUVO_COMPARE_TOOL);
        for (const auto& a : args) command += " " + Quote(a);
        return Shell(command);
    }
    // A whole shell command line, its stdout and stderr apart.
    Outcome Shell(const std::string& command) const {
        Outcome o;
        FILE* pipe = ::popen((command + " 2>" + Quote(Path("stderr.txt"))).c_str(), "r");
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) o.out.append(buf, n);
        const int raw = ::pclose(pipe);
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.err = ReadFile(Path("stderr.txt"));
        return o;
    }
};

TEST_F(Folders, ATreeOfPairsGivesItsSummaryExitStatusAndJunit) {
    Put("base/same.bmp", 0x101010);
    Put("new/same.bmp", 0x101010);
    Put("base/nested/deeper/changed one.bmp", 0x000000);
    Put("new/nested/deeper/changed one.bmp", 0x0000FF);
    Put("base/łódź.bmp", 0x202020);
    Put("new/łódź.bmp", 0x202020);
    Put("new/added.bmp", 0);
    Put("base/removed.bmp", 0);
    std::ofstream(Path("base/broken.bmp")) << "not a picture";
    Put("new/broken.bmp", 0);
    std::ofstream(Path("base/notes.txt")) << "skipped";
    fs::create_directory_symlink("..", Path("base/nested/loop"));

    const Outcome o = Run({"--json", "--junit", Path("junit.xml"), Path("base"), Path("new")});
    EXPECT_EQ(o.status, 2) << o.err;  // a failed pair wins
    const Json j = Parse(o);
    const Json& s = j["summary"];
    EXPECT_EQ(s["unchanged"].Number(), 2);
    EXPECT_EQ(s["changed"].Number(), 1);
    EXPECT_EQ(s["added"].Number(), 1);
    EXPECT_EQ(s["removed"].Number(), 1);
    EXPECT_EQ(s["failed"].Number(), 2);  // the broken picture and the loop
    EXPECT_EQ(s["skipped"].Number(), 1);
    std::map<std::string, std::string> status;
    for (const Json& p : j["pairs"].Array()) status[p["path"].String()] = p["status"].String();
    EXPECT_EQ(status["nested/deeper/changed one.bmp"], "changed");
    EXPECT_EQ(status["łódź.bmp"], "unchanged");
    EXPECT_EQ(status["nested/loop"], "failed");
    for (const Json& p : j["pairs"].Array())
        if (p["status"].String() == "changed") {
            EXPECT_EQ(p["report"]["nonMatchingPixels"].Number(), 24);  // a whole 6 x 4 picture
        }

    const Element junit = Junit(Path("junit.xml"));
    ASSERT_EQ(junit.name, "testsuites");
    ASSERT_EQ(junit.children.size(), 1u);
    const Element& suite = junit.children[0];
    EXPECT_EQ(suite.attributes.at("tests"), "7");
    EXPECT_EQ(suite.attributes.at("failures"), "3");  // changed, added, removed
    EXPECT_EQ(suite.attributes.at("errors"), "2");
    for (const Element* c : suite.All("testcase")) {
        if (c->attributes.at("name") == "nested/deeper/changed one.bmp") {
            EXPECT_NE(c->All("failure").at(0)->attributes.at("message").find("24 non-matching pixels"),
                      std::string::npos);
        }
    }
    const std::map<std::string, std::string> want = {
        {"same.bmp", "passed"},   {"łódź.bmp", "passed"},     {"nested/deeper/changed one.bmp", "failure"},
        {"added.bmp", "failure"}, {"removed.bmp", "failure"}, {"broken.bmp", "error"},
        {"nested/loop", "error"}};
    EXPECT_EQ(Outcomes(junit), want);
    const std::map<std::string, std::string> properties = {
        {"base", Path("base")}, {"new", Path("new")}, {"shard", "1/1"}};
    EXPECT_EQ(Properties(junit), properties);

    // Without the failures a change decides, and without changes all is well.
    fs::remove(Path("base/broken.bmp"));
    fs::remove(Path("new/broken.bmp"));
    fs::remove(Path("base/nested/loop"));
    EXPECT_EQ(Run({Path("base"), Path("new")}).status, 1);
    for (const char* rel : {"nested/deeper/changed one.bmp", "added.bmp", "removed.bmp"}) {
        fs::remove(Path(std::string("base/") + rel));
        fs::remove(Path(std::string("new/") + rel));
    }
    const Outcome same = Run({Path("base"), Path("new")});
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_NE(same.out.find("Pairs: 2 (unchanged 2"), std::string::npos) << same.out;
}

// --diff with folders: a picture for each pair that differs and none for
// the others (equal bytes or only equal pixels), named by the pair's path,
// no temporary file left; a folder inside a compared tree is refused.
// Names found while walking the trees reach the terminal with their
// control characters escaped, in the pair's line and in the reason a
// message gives, which names the file too.
TEST_F(Folders, NamesFromTheTreesAreShownEscaped) {
    Put("base/x\ny.bmp", 0x000000);
    Put("new/x\ny.bmp", 0x0000FF);
    fs::create_directories(Path("base"));
    fs::create_symlink("/nonexistent", Path("base/l\nk\x1b.bmp"));
    fs::create_symlink("/nonexistent", Path("new/l\nk\x1b.bmp"));
    const Outcome o = Run({Path("base"), Path("new")});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.out.find("changed   x\\ny.bmp  ("), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("failed    l\\nk\\x1b.bmp  (" + Path("base") + "/l\\nk\\x1b.bmp: "), std::string::npos)
        << o.out;
    for (const char c : o.out) EXPECT_FALSE(c == '\x1b') << o.out;
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 5) << o.out;  // two folders, two pairs, the sum
}

TEST_F(Folders, DifferencePicturesOnlyForPairsThatDiffer) {
    Put("base/same.bmp", 0x101010);
    Put("new/same.bmp", 0x101010);
    Put("base/deep/er/changed.bmp", 0x000000);
    Put("new/deep/er/changed.bmp", 0x0000FF);
    // A PNG pair stored two ways (plain blocks and deflate) with equal pixels,
    // and one that differs; a PNG named like another pair's picture.
    duvo::test::PngRecipe stored;
    stored.width = 5;
    stored.height = 3;
    stored.samples.assign(5 * 3 * 3, 90);
    duvo::test::PngRecipe packed = stored;
    packed.deflate = true;
    duvo::test::PngRecipe other = stored;
    other.samples[7] = 200;
    fs::create_directories(Path("base"));
    fs::create_directories(Path("new"));
    Png("base/pixels.png", stored);
    Png("new/pixels.png", packed);
    Png("base/changed.PNG", stored);
    Png("new/changed.PNG", other);
    Png("base/deep/er/changed.bmp.png", stored);
    Png("new/deep/er/changed.bmp.png", other);

    const std::string diff = Path("diff");
    const Outcome o = Run({"--json", "--diff", diff, Path("base"), Path("new")});
    EXPECT_EQ(o.status, 1) << o.err;
    std::set<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(diff))
        if (e.is_regular_file()) written.insert(fs::relative(e.path(), diff).string());
    const std::set<std::string> want = {"changed.PNG", "deep/er/changed.bmp.png", "deep/er/changed.bmp.png.png"};
    EXPECT_EQ(written, want);
    // Each changed pair's report names its own picture, the others none.
    std::map<std::string, std::string> named;
    const Json j = Parse(o);
    for (const Json& p : j["pairs"].Array()) {
        const Json& d = p["report"]["diff"];
        named[p["path"].String()] = d.IsNull() ? "" : fs::relative(d.String(), diff).string();
    }
    EXPECT_EQ(named["same.bmp"], "");
    EXPECT_EQ(named["pixels.png"], "");
    EXPECT_EQ(named["changed.PNG"], "changed.PNG");
    std::set<std::string> both = {named["deep/er/changed.bmp"], named["deep/er/changed.bmp.png"]};
    EXPECT_EQ(both, (std::set<std::string>{"deep/er/changed.bmp.png", "deep/er/changed.bmp.png.png"}));

    for (const std::string& inside : {Path("new"), Path("base/diff"), Path("new/deep")}) {
        const Outcome refused = Run({"--diff", inside, Path("base"), Path("new")});
        EXPECT_EQ(refused.status, 2) << inside;
        EXPECT_NE(refused.err.find("lies inside the compared folder"), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(fs::exists(Path("base/diff")));
}

// The report's data file as JSON: "window.DUVO_REPORT = {...};".
Json ReportData(const std::string& dir) {
    std::string text = ReadFile(fs::path(dir) / "data.js");
    const std::size_t open = text.find('{'), close = text.rfind('}');
    return JsonParser(text.substr(open, close - open + 1)).ParseDocument();
}

// --report on a run and on merged shards: every pair in the page's data, a
// highlight picture for each changed pair (the one the tool draws alone),
// none left in a scratch folder, and none named in the JSON report.
TEST_F(Folders, TheHtmlReportShowsEveryPairWithHighlightPictures) {
    Put("base/same.bmp", 0x101010);
    Put("new/same.bmp", 0x101010);
    Put("base/a/changed.bmp", 0x000000);
    Put("new/a/changed.bmp", 0x0000FF);
    Put("base/b/changed too.bmp", 0x808080);
    Put("new/b/changed too.bmp", 0x202020);
    Put("new/added.bmp", 0);
    std::ofstream(Path("base/broken.bmp")) << "not a picture";
    Put("new/broken.bmp", 0);
    // What the report's pictures must be.
    for (const char* rel : {"a/changed.bmp", "b/changed too.bmp"}) {
        const std::string want = Path(std::string("want-") + (rel[0] == 'a' ? "a" : "b") + ".png");
        ASSERT_EQ(Run({"--diff-style", "highlight", "--diff", want, Path(std::string("base/") + rel),
                       Path(std::string("new/") + rel)})
                      .status,
                  1);
    }
    auto check = [&](const std::string& dir, const Outcome& o, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(o.status, 2) << o.err;  // the broken pair
        const Json data = ReportData(dir);
        EXPECT_EQ(data["summary"]["changed"].Number(), 2);
        EXPECT_EQ(data["summary"]["failed"].Number(), 1);
        std::map<std::string, const Json*> pairs;
        for (const Json& p : data["pairs"].Array()) pairs[p["path"].String()] = &p;
        ASSERT_EQ(pairs.size(), 5u);
        EXPECT_TRUE((*pairs["same.bmp"])["diff"].IsNull());
        EXPECT_TRUE((*pairs["added.bmp"])["base"].IsNull());
        EXPECT_NE((*pairs["broken.bmp"])["message"].String(), "");
        for (const char* rel : {"a/changed.bmp", "b/changed too.bmp"}) {
            const Json& p = *pairs[rel];
            ASSERT_FALSE(p["diff"].IsNull()) << rel;
            EXPECT_EQ(p["nonMatching"].Number(), 24) << rel;
            EXPECT_FALSE(p["regions"].Array().empty()) << rel;
            const std::string want = Path(std::string("want-") + (rel[0] == 'a' ? "a" : "b") + ".png");
            const Outcome same = Run({want, (fs::path(dir) / p["diff"].String()).string()});
            EXPECT_EQ(same.status, 0) << rel << "\n" << same.out;
        }
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_EQ(e.path().filename().string().find(".duvo-diffs"), std::string::npos) << e.path();
    };

    const Outcome run = Run({"--json", "--report", Path("report"), Path("base"), Path("new")});
    check(Path("report"), run, "one run");
    const Json runJson = Parse(run);
    for (const Json& p : runJson["pairs"].Array())
        if (!p["report"].IsNull()) {
            EXPECT_TRUE(p["report"]["diff"].IsNull()) << p["path"].String();
        }

    std::vector<std::string> merge = {"--report", Path("merged"), "--merge"};
    for (int i = 1; i <= 2; ++i) {
        const std::string file = Path("shard" + std::to_string(i) + ".json");
        std::ofstream(file) << Run({"--json", "--shard", std::to_string(i) + "/2", Path("base"), Path("new")}).out;
        merge.push_back(file);
    }
    check(Path("merged"), Run(merge), "merged shards");

    const Outcome inside = Run({"--report", Path("new/report"), Path("base"), Path("new")});
    EXPECT_EQ(inside.status, 2);
    EXPECT_NE(inside.err.find("lies inside the compared folder"), std::string::npos) << inside.err;
    EXPECT_FALSE(fs::exists(Path("new/report")));
}

TEST_F(Folders, ShardsMergeIntoTheWholeRun) {
    for (int i = 0; i < 11; ++i) {
        const std::string name = "p" + std::to_string(i) + ".bmp";
        if (i != 3) Put("base/" + name, i);
        if (i != 7) Put("new/" + name, i % 3 == 0 ? i + 1 : i);
    }
    // Failed pairs and a folder link count in the shards too.
    std::ofstream(Path("base/broken.bmp")) << "not a picture";
    Put("new/broken.bmp", 0);
    fs::create_directory_symlink(".", Path("new/loop"));
    fs::create_directories(Path("base/sub"));
    fs::create_directory_symlink("sub", Path("base/alias"));
    const Outcome whole = Run({"--json", Path("base"), Path("new")});
    ASSERT_EQ(Parse(whole)["summary"]["failed"].Number(), 2);
    ASSERT_EQ(Parse(whole)["summary"]["repeatedFolders"].Number(), 1);
    std::vector<std::string> merge = {"--json", "--junit", Path("merged.xml"), "--merge"};
    for (int i = 1; i <= 3; ++i) {
        const std::string file = Path("shard" + std::to_string(i) + ".json");
        const Outcome part = Run({"--json", "--shard", std::to_string(i) + "/3", Path("base"), Path("new")});
        std::ofstream(file) << part.out;
        merge.push_back(file);
    }
    const Outcome merged = Run(merge);
    EXPECT_EQ(merged.status, whole.status);
    const Json a = Parse(whole), b = Parse(merged);
    for (const char* key : {"unchanged", "changed", "added", "removed", "failed", "skipped", "repeatedFolders"})
        EXPECT_EQ(b["summary"][key].Number(), a["summary"][key].Number()) << key;
    EXPECT_EQ(b["shard"]["index"].Number(), 1);
    EXPECT_EQ(b["shard"]["count"].Number(), 1);
    ASSERT_EQ(b["pairs"].Array().size(), a["pairs"].Array().size());
    for (std::size_t i = 0; i < a["pairs"].Array().size(); ++i) {
        EXPECT_EQ(b["pairs"][i]["path"].String(), a["pairs"][i]["path"].String());
        EXPECT_EQ(b["pairs"][i]["status"].String(), a["pairs"][i]["status"].String());
    }
    EXPECT_EQ(Junit(Path("merged.xml")).children[0].attributes.at("tests"), "13");

    // The shards' JUnit files merge into the whole run's, case for case.
    Run({"--junit", Path("whole.xml"), Path("base"), Path("new")});
    std::vector<std::string> junitMerge = {"--junit", Path("joined.xml"), "--merge"};
    for (int i = 1; i <= 3; ++i) {
        const std::string file = Path("shard" + std::to_string(i) + ".xml");
        Run({"--junit", file, "--shard", std::to_string(i) + "/3", Path("base"), Path("new")});
        junitMerge.push_back(file);
    }
    EXPECT_EQ(Run(junitMerge).status, whole.status);
    const Element wholeXml = Junit(Path("whole.xml"));
    const Element joined = Junit(Path("joined.xml"));
    EXPECT_EQ(Outcomes(joined), Outcomes(wholeXml));
    EXPECT_EQ(Properties(joined), Properties(wholeXml));
    for (const char* count : {"tests", "failures", "errors"})
        EXPECT_EQ(joined.attributes.at(count), wholeXml.attributes.at(count)) << count;
    // JUnit and JSON do not mix, and JUnit makes no JSON or HTML report.
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--merge", junitMerge[3], merge[5]},
                                                std::vector<std::string>{"--json", "--merge", junitMerge[3]},
                                                std::vector<std::string>{"--merge", junitMerge[3], junitMerge[3]}})
        EXPECT_EQ(Run(bad).status, 2) << bad[1];
}

// --merge takes every shard of one run once, or refuses (exit 2) and says
// what is wrong: JSON reports and JUnit files alike.
TEST_F(Folders, MergeRefusesAnIncompleteOrMixedSetOfShards) {
    for (int i = 0; i < 6; ++i) {
        Put("base/p" + std::to_string(i) + ".bmp", i);
        Put("new/p" + std::to_string(i) + ".bmp", i == 2 ? 9 : i);
        Put("other/p" + std::to_string(i) + ".bmp", i);
    }
    const auto shard = [&](const std::string& which, const char* newDir, const std::string& ext) {
        std::string file = which;
        std::replace(file.begin(), file.end(), '/', '-');
        file = Path(std::string(newDir) + "-" + file + ext);
        if (ext == ".json")
            std::ofstream(file) << Run({"--json", "--shard", which, Path("base"), Path(newDir)}).out;
        else
            Run({"--junit", file, "--shard", which, Path("base"), Path(newDir)});
        return file;
    };
    for (const std::string ext : {".json", ".xml"}) {
        SCOPED_TRACE(ext);
        const std::string one = shard("1/3", "new", ext), two = shard("2/3", "new", ext),
                          three = shard("3/3", "new", ext), half = shard("1/2", "new", ext),
                          foreign = shard("3/3", "other", ext), whole = shard("1/1", "new", ext);
        const struct {
            std::vector<std::string> files;
            std::string says;  // empty: merged
        } cases[] = {
            {{one, two, three}, ""},
            {{three, one, two}, ""},  // in any order
            {{whole}, ""},
            {{one}, "shards 2, 3 of 3 are missing"},
            {{one, three}, "shard 2 of 3 is missing"},
            {{one, two, two, three}, "shard 2 of 3 is given twice: " + two + " and " + two},
            {{one, two, half}, half + " is shard 1 of 2, but " + one + " is shard 1 of 3"},
            {{one, two, foreign}, foreign + " compares " + Path("base") + " with " + Path("other") + ", but " + one},
            {{whole, one}, one + " is shard 1 of 3, but " + whole + " is shard 1 of 1"},
        };
        for (const auto& c : cases) {
            std::vector<std::string> args = {"--merge"};
            args.insert(args.end(), c.files.begin(), c.files.end());
            const Outcome o = Run(args);
            if (c.says.empty()) {
                EXPECT_EQ(o.status, 1) << o.err;  // p2 changed
                continue;
            }
            EXPECT_EQ(o.status, 2) << c.says;
            EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
            EXPECT_EQ(o.out, "") << c.says;
        }
    }
}

// Every option of a comparison applies to each pair of a folder run, and
// the exit status follows: each row's pair is judged as its option says
// (all but one row turn the verdict; that one shows a larger region still
// failing), beside a pair that stays unchanged.
TEST_F(Folders, OptionsApplyToEachPairOfAFolderRun) {
    const struct {
        const char* name;
        std::function<void(const std::string& base, const std::string& fresh)> make;
        std::vector<std::string> option;
        int without, with;
        const char* status;  // of the pair with the option
    } rows[] = {
        {"threshold",
         [&](auto b, auto n) { Put(b, 0x404040), Put(n, 0x414141); },
         {"--threshold", "0.05"},
         1,
         0,
         "unchanged"},
        {"channel tolerance",
         [&](auto b, auto n) { Put(b, 0x404040), Put(n, 0x414141); },
         {"--channel-tolerance", "1"},
         1,
         0,
         "unchanged"},
        {"ignore",
         [&](auto b, auto n) {
             Put(b, 0x404040), Dots(n, 0x404040, {{1, 2}}, 0xFFFFFF);
         },
         {"--ignore", "1,2,1,1"},
         1,
         0,
         "unchanged"},
        {"max changed",
         [&](auto b, auto n) {
             Put(b, 0), Dots(n, 0, {{0, 0}, {5, 3}}, 0xFFFFFF);
         },
         {"--max-changed", "2"},
         1,
         0,
         "unchanged"},
        {"max region",
         [&](auto b, auto n) {
             Put(b, 0), Dots(n, 0, {{0, 0}, {1, 0}, {5, 3}}, 0xFFFFFF);
         },
         {"--max-region-pixels", "1"},
         1,
         1,
         "changed"},
        {"max region passes",
         [&](auto b, auto n) {
             Put(b, 0), Dots(n, 0, {{0, 0}, {5, 3}}, 0xFFFFFF);
         },
         {"--max-region-pixels", "1"},
         1,
         0,
         "unchanged"},
        {"fail on size", [&](auto b, auto n) { Put(b, 0, 6), Put(n, 0, 7); }, {"--fail-on-size"}, 1, 2, "failed"},
        {"strict",
         [&](auto b, auto n) {
             Put(b, 0x202020, 6, 40);
             const std::string cut = Put(n, 0x202020, 6, 40);
             fs::resize_file(cut, fs::file_size(cut) - 30);
         },
         {"--strict"},
         1,
         2,
         "failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string tree = std::string(row.name) + "/";
        row.make(tree + "base/shot.bmp", tree + "new/shot.bmp");
        Put(tree + "base/same.bmp", 0x123456);  // a pair that stays unchanged
        Put(tree + "new/same.bmp", 0x123456);
        EXPECT_EQ(Run({Path(tree + "base"), Path(tree + "new")}).status, row.without);
        std::vector<std::string> args = row.option;
        for (const char* more : {"--json", "base", "new"})
            args.push_back(std::string(more) == "--json" ? more : Path(tree + more));
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, row.with) << o.err;
        std::map<std::string, std::string> status;
        const Json j = Parse(o);
        for (const Json& p : j["pairs"].Array()) status[p["path"].String()] = p["status"].String();
        EXPECT_EQ(status["shot.bmp"], row.status);
        EXPECT_EQ(status["same.bmp"], "unchanged");
    }
}

// A limit that accepts every pixel of a small pair is a usage error for two
// files, but in a folder run the small pair simply passes on it.
TEST_F(Folders, ALimitThatAcceptsASmallPairWhollyIsNoUsageErrorInAFolderRun) {
    Put("fa/small.bmp", 0x000000, 30, 30);
    Put("fb/small.bmp", 0xFFFFFF, 30, 30);
    Put("fa/large.bmp", 0x000000, 40, 40);
    Put("fb/large.bmp", 0xFFFFFF, 40, 40);
    for (const char* option : {"--max-region-pixels", "--max-changed"}) {
        SCOPED_TRACE(option);
        const Outcome all = Run({option, "1600", Path("fa"), Path("fb")});
        EXPECT_EQ(all.status, 0) << all.out << all.err;
        const Outcome some = Run({"--json", option, "1000", Path("fa"), Path("fb")});
        EXPECT_EQ(some.status, 1) << some.err;
        const Json j = Parse(some);
        EXPECT_EQ(j["summary"]["unchanged"].Number(), 1);
        EXPECT_EQ(j["summary"]["changed"].Number(), 1);
        const Outcome alone = Run({option, "1000", Path("fa/small.bmp"), Path("fb/small.bmp")});
        EXPECT_EQ(alone.status, 2);
        EXPECT_NE(alone.err.find("the check could not fail"), std::string::npos) << alone.err;
    }
}

// A damaged file in a tree warns on stderr as with two files (its name
// escaped), marks its pair's line even when the pair is unchanged, puts the
// warnings into the JUnit test case, and fails its pair with --strict.
TEST_F(Folders, DamagedFilesWarnInFolderRuns) {
    const std::string cut = "cut\tshot.bmp";
    for (const char* side : {"base/", "new/"}) {
        Put(side + cut, 0x334455, 6, 40);
        fs::resize_file(Path(side + cut), fs::file_size(Path(side + cut)) - 30);
        Put(std::string(side) + "sound.bmp", 0x334455);
    }
    const Outcome o = Run({"--junit", Path("j.xml"), Path("base"), Path("new")});
    EXPECT_EQ(o.status, 0) << o.err;
    for (const char* side : {"base/", "new/"}) {
        const std::string line = "Warning: " + Path(side) + "cut\\tshot.bmp: ";
        const std::size_t at = o.err.find(line);
        ASSERT_NE(at, std::string::npos) << o.err;
        EXPECT_NE(o.err.find("(truncated)\n", at), std::string::npos) << o.err;
    }
    EXPECT_EQ(o.err.find("sound.bmp"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("unchanged cut\\tshot.bmp  (every pixel matches; damaged: base truncated, new truncated)\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.out.find("sound.bmp"), std::string::npos) << o.out;
    const Element junit = Junit(Path("j.xml"));
    const std::map<std::string, std::string> want = {{cut, "passed+warnings"}, {"sound.bmp", "passed"}};
    EXPECT_EQ(Outcomes(junit), want);
    for (const Element* c : junit.children.at(0).All("testcase"))
        if (c->attributes.at("name") == cut) {
            const std::string text = c->All("system-err").at(0)->text;
            EXPECT_NE(text.find("Warning: " + Path("new/") + "cut\\tshot.bmp: "), std::string::npos) << text;
            EXPECT_NE(text.find("(truncated)"), std::string::npos) << text;
        }

    const Outcome strict = Run({"--json", "--strict", Path("base"), Path("new")});
    EXPECT_EQ(strict.status, 2);
    const Json j = Parse(strict);
    for (const Json& p : j["pairs"].Array())
        if (p["path"].String() == cut) {
            EXPECT_EQ(p["status"].String(), "failed");
            EXPECT_EQ(p["error"]["kind"].String(), "damaged");
        }
}

// The report's data file as JSON, its pairs by path.
std::map<std::string, Json> ReportPairs(const std::string& dir) {
    std::map<std::string, Json> out;
    const Json data = ReportData(dir);
    for (const Json& p : data["pairs"].Array()) out[p["path"].String()] = p;
    return out;
}

// --report copies nothing a failed pair names: not a file a link out of the
// tree leads to, not a device (which would fill the disk), and it does not
// wait on a pipe; with --merge neither. Each such picture has a reason in
// its place. The runs may take 30 seconds and write 8 MB a file at most.
TEST_F(Folders, TheReportCopiesNothingFromOutsideTheTreeAndNeverWaits) {
    Put("t/base/a.bmp", 0x000000);
    Put("t/new/a.bmp", 0x0000FF);
    std::ofstream(Path("secret.txt")) << "the hostname of someone else";
    fs::create_symlink(Path("secret.txt"), Path("t/new/escape.png"));
    fs::create_symlink("/dev/zero", Path("t/new/zero.png"));
    ASSERT_EQ(::mkfifo(Path("t/new/pipe.png").c_str(), 0600), 0);
    const std::string limits = "ulimit -f 16384; exec timeout 30 ";
    const auto check = [&](const std::string& dir, const Outcome& o) {
        EXPECT_EQ(o.status, 2) << o.err;
        std::map<std::string, Json> pairs = ReportPairs(dir);
        ASSERT_EQ(pairs.size(), 4u);
        EXPECT_FALSE(pairs["a.bmp"]["new"].IsNull());
        for (const char* rel : {"escape.png", "zero.png", "pipe.png"}) {
            EXPECT_TRUE(pairs[rel]["new"].IsNull()) << rel;
            EXPECT_NE(pairs[rel]["newWhy"].String(), "") << rel;
        }
        for (const auto& e : fs::directory_iterator(fs::path(dir) / "pictures")) {
            EXPECT_LT(fs::file_size(e.path()), 100000u) << e.path();
            EXPECT_EQ(ReadFile(e.path()).find("someone else"), std::string::npos) << e.path();
        }
    };
    check(Path("r1"), RunAs(limits, {"--report", Path("r1"), Path("t/base"), Path("t/new")}));
    std::ofstream(Path("run.json")) << Run({"--json", Path("t/base"), Path("t/new")}).out;
    check(Path("r2"), RunAs(limits, {"--merge", Path("run.json"), "--report", Path("r2")}));
}

// The report shows highlight pictures whatever --diff-style the --diff
// folder gets: those of --diff when they are highlight pictures, pictures
// of its own otherwise; the --diff folder keeps its own style.
TEST_F(Folders, TheReportShowsHighlightPicturesWhateverTheDiffStyle) {
    Put("base/a.bmp", 0x000000);
    Dots("new/a.bmp", 0x000000, {{1, 1}, {4, 2}}, 0x00FF00);
    Put("base/same.bmp", 0x000000);
    Put("new/same.bmp", 0x000000);
    for (const char* style : {"highlight", "duvo", "mask"})
        ASSERT_EQ(Run({"--diff-style", style, "--diff", Path(std::string("want-") + style + ".png"), Path("base/a.bmp"),
                       Path("new/a.bmp")})
                      .status,
                  1);
    const auto same = [&](const std::string& a, const std::string& b) { return Run({a, b}).status == 0; };
    for (const char* style : {"duvo", "mask", "highlight"}) {
        SCOPED_TRACE(style);
        const std::string report = Path(std::string("r-") + style), diff = Path(std::string("d-") + style);
        const Outcome o =
            Run({"--json", "--diff-style", style, "--diff", diff, "--report", report, Path("base"), Path("new")});
        ASSERT_EQ(o.status, 1) << o.err;
        std::map<std::string, Json> pairs = ReportPairs(report);
        ASSERT_FALSE(pairs["a.bmp"]["diff"].IsNull());
        EXPECT_TRUE(same(Path("want-highlight.png"), report + "/" + pairs["a.bmp"]["diff"].String()));
        EXPECT_TRUE(same(Path(std::string("want-") + style + ".png"), diff + "/a.bmp.png"));
        // The JSON names the --diff picture, not one of the report's.
        const Json j = Parse(o);
        for (const Json& p : j["pairs"].Array()) {
            if (p["path"].String() == "a.bmp") {
                EXPECT_EQ(p["report"]["diff"].String(), diff + "/a.bmp.png");
            }
        }
        EXPECT_EQ(j["diffStyle"].String(), style);

        // Merged shards: the shards' pictures when they are highlight ones.
        std::ofstream(Path("shard.json"))
            << Run({"--json", "--diff-style", style, "--diff", diff + "-shard", Path("base"), Path("new")}).out;
        const std::string merged = report + "-merged";
        ASSERT_EQ(Run({"--merge", Path("shard.json"), "--report", merged}).status, 1);
        pairs = ReportPairs(merged);
        EXPECT_TRUE(same(Path("want-highlight.png"), merged + "/" + pairs["a.bmp"]["diff"].String()));
    }
}

// Progress goes to stderr when it is a terminal: the count, a bar and the
// end; nothing when it is not.
TEST_F(Folders, ProgressGoesToATerminalOnly) {
    for (int i = 0; i < 5; ++i) {
        Put("base/p" + std::to_string(i) + ".bmp", 0);
        Put("new/p" + std::to_string(i) + ".bmp", i == 3 ? 1 : 0);
    }
    const Outcome plain = Run({Path("base"), Path("new")});
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err, "");
    // util-linux script gives the tool a pseudo-terminal for all of its
    // output and passes its exit status on.
    const std::string inner = Quote(DUVO_COMPARE_TOOL) + " " + Quote(Path("base")) + " " + Quote(Path("new"));
    const Outcome tty = Shell("script -qefc " + Quote(inner) + " /dev/null");
    EXPECT_EQ(tty.status, 1) << tty.out;
    EXPECT_NE(tty.out.find("\r[5/5] ######################## 100 %  done"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("Pairs: 5 (unchanged 4, changed 1"), std::string::npos) << tty.out;
}

// The folder part of docs/json.md lists exactly the fields a folder run
// writes (a pair's own report is the two-file report, checked on its own).
TEST_F(Folders, TheFolderReportHasExactlyTheDocumentedFields) {
    Put("base/changed.bmp", 0);
    Put("new/changed.bmp", 1);
    Put("new/added.bmp", 0);
    std::ofstream(Path("base/broken.bmp")) << "not a picture";
    Put("new/broken.bmp", 0);
    const Outcome o = Run({"--json", "--shard", "1/1", Path("base"), Path("new")});
    ASSERT_EQ(o.status, 2);
    std::set<std::string> got, reports;
    Leaves(Parse(o), "", got);
    for (auto it = got.begin(); it != got.end();)
        it = it->rfind("pairs[].report.", 0) == 0 ? (reports.insert(*it), got.erase(it)) : std::next(it);
    ASSERT_FALSE(reports.empty());
    got.insert("pairs[].report");  // null for the added and the failed pair

    const std::string doc = ReadFile(DUVO_JSON_DOC);
    const std::size_t start = doc.find("## Two folders");
    ASSERT_NE(start, std::string::npos);
    const std::string part = doc.substr(start, doc.find("\n## ", start + 1) - start);
    std::set<std::string> documented;
    static const std::regex row(R"(\n\| `([^`]+)` \|)");
    for (std::sregex_iterator it(part.begin(), part.end(), row), last; it != last; ++it) documented.insert((*it)[1]);
    for (const std::string& field : got) {
        bool listed = documented.count(field) > 0;
        // An object that is null here is listed with its members.
        for (const std::string& d : documented) listed = listed || d.rfind(field + ".", 0) == 0;
        EXPECT_TRUE(listed) << field << " is not documented";
    }
    for (const std::string& field : documented) {
        bool present = got.count(field) > 0;
        for (const std::string& g : got) present = present || g.rfind(field + ".", 0) == 0;
        EXPECT_TRUE(present) << field << " is documented but not written";
    }
}

}  // namespace
