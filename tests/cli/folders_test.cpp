// duvo-compare on two folders as a CI job runs it: the exit status, the JSON
// summary with each pair's report, JUnit XML read back as XML, shards merged
// into the report of the whole run.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

using namespace clitest;

// Enough XML to read a JUnit file back: elements, attributes, text, the five
// entities and character references.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;
    std::string text;
};

class XmlReader {
public:
    explicit XmlReader(const std::string& s) : s_(s) {}
    Element Document() {
        if (s_.compare(0, 5, "<?xml") == 0) p_ = s_.find("?>") + 2;
        Blank();
        Element e = Read();
        Blank();
        if (p_ != s_.size()) throw std::runtime_error("text after the root element");
        return e;
    }

private:
    void Blank() {
        while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    std::string Decode(const std::string& raw) {
        std::string out;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const std::size_t end = raw.find(';', i);
            const std::string name = raw.substr(i + 1, end - i - 1);
            static const std::map<std::string, char> kNamed = {
                {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
            if (name[0] == '#')
                out += static_cast<char>(std::stoi(name.substr(1)));
            else
                out += kNamed.at(name);
            i = end;
        }
        return out;
    }
    Element Read() {
        if (s_[p_] != '<') throw std::runtime_error("element expected");
        Element e;
        ++p_;
        while (!std::isspace(static_cast<unsigned char>(s_[p_])) && s_[p_] != '>' && s_[p_] != '/') e.name += s_[p_++];
        for (;;) {
            Blank();
            if (s_[p_] == '/') {
                p_ += 2;
                return e;
            }
            if (s_[p_] == '>') break;
            std::string key;
            while (s_[p_] != '=') key += s_[p_++];
            p_ += 2;  // ="
            const std::size_t end = s_.find('"', p_);
            if (s_.substr(p_, end - p_).find('<') != std::string::npos) throw std::runtime_error("< in an attribute");
            e.attributes[key] = Decode(s_.substr(p_, end - p_));
            p_ = end + 1;
        }
        ++p_;
        for (;;) {
            const std::size_t lt = s_.find('<', p_);
            e.text += Decode(s_.substr(p_, lt - p_));
            p_ = lt;
            if (s_.compare(p_, 2, "</") == 0) {
                p_ = s_.find('>', p_) + 1;
                return e;
            }
            e.children.push_back(Read());
        }
    }
    const std::string& s_;
    std::size_t p_ = 0;
};

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

class Folders : public CompareTool {
protected:
    std::string Put(const std::string& rel, duvo::TColor color, int w = 6) {
        fs::create_directories((dir_ / rel).parent_path());
        return Solid(rel, w, 4, color);
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

    const Element junit = XmlReader(ReadFile(Path("junit.xml"))).Document();
    ASSERT_EQ(junit.name, "testsuites");
    ASSERT_EQ(junit.children.size(), 1u);
    const Element& suite = junit.children[0];
    EXPECT_EQ(suite.attributes.at("tests"), "7");
    EXPECT_EQ(suite.attributes.at("failures"), "3");  // changed, added, removed
    EXPECT_EQ(suite.attributes.at("errors"), "2");
    std::map<std::string, std::string> outcome;
    for (const Element& c : suite.children) {
        ASSERT_EQ(c.name, "testcase");
        outcome[c.attributes.at("name")] = c.children.empty() ? "passed" : c.children[0].name;
        if (c.attributes.at("name") == "nested/deeper/changed one.bmp") {
            EXPECT_NE(c.children[0].attributes.at("message").find("24 non-matching pixels"), std::string::npos);
        }
    }
    const std::map<std::string, std::string> want = {
        {"same.bmp", "passed"},   {"łódź.bmp", "passed"},     {"nested/deeper/changed one.bmp", "failure"},
        {"added.bmp", "failure"}, {"removed.bmp", "failure"}, {"broken.bmp", "error"},
        {"nested/loop", "error"}};
    EXPECT_EQ(outcome, want);

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
    const Outcome whole = Run({"--json", Path("base"), Path("new")});
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
    for (const char* key : {"unchanged", "changed", "added", "removed", "failed", "skipped"})
        EXPECT_EQ(b["summary"][key].Number(), a["summary"][key].Number()) << key;
    ASSERT_EQ(b["pairs"].Array().size(), a["pairs"].Array().size());
    for (std::size_t i = 0; i < a["pairs"].Array().size(); ++i) {
        EXPECT_EQ(b["pairs"][i]["path"].String(), a["pairs"][i]["path"].String());
        EXPECT_EQ(b["pairs"][i]["status"].String(), a["pairs"][i]["status"].String());
    }
    EXPECT_EQ(XmlReader(ReadFile(Path("merged.xml"))).Document().children[0].attributes.at("tests"), "11");

    // The shards' JUnit files merge into the whole run's, case for case.
    Run({"--junit", Path("whole.xml"), Path("base"), Path("new")});
    std::vector<std::string> junitMerge = {"--junit", Path("joined.xml"), "--merge"};
    for (int i = 1; i <= 3; ++i) {
        const std::string file = Path("shard" + std::to_string(i) + ".xml");
        Run({"--junit", file, "--shard", std::to_string(i) + "/3", Path("base"), Path("new")});
        junitMerge.push_back(file);
    }
    EXPECT_EQ(Run(junitMerge).status, whole.status);
    auto cases = [](const Element& doc) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const Element& c : doc.children.at(0).children)
            out.emplace_back(c.attributes.at("name"), c.children.empty() ? "passed" : c.children[0].name);
        return out;
    };
    const Element wholeXml = XmlReader(ReadFile(Path("whole.xml"))).Document();
    const Element joined = XmlReader(ReadFile(Path("joined.xml"))).Document();
    EXPECT_EQ(cases(joined), cases(wholeXml));
    for (const char* count : {"tests", "failures", "errors"})
        EXPECT_EQ(joined.attributes.at(count), wholeXml.attributes.at(count)) << count;
    // JUnit and JSON do not mix, and JUnit makes no JSON or HTML report.
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--merge", junitMerge[3], merge[5]},
                                                std::vector<std::string>{"--json", "--merge", junitMerge[3]},
                                                std::vector<std::string>{"--merge", junitMerge[3], junitMerge[3]}})
        EXPECT_EQ(Run(bad).status, 2) << bad[1];
    // A shard given twice is no partition.
    const Outcome twice = Run({"--merge", merge[4], merge[4]});
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("in two of the reports"), std::string::npos) << twice.err;
}

}  // namespace
