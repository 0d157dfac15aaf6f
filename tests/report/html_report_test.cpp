// The report folder as files: what is copied, what gets a thumbnail and how
// it looks, what the data file may never contain, what a second report
// leaves of the first, and the errors. The page itself is tested in a
// browser (report_browser_test.py).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

#include "compare/compare_rows.h"
#include "compare/row_convert.h"
#include "report_pairs.h"

namespace duvo::test {
namespace {

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint32_t> colors;  // 0x00BBGGRR
    std::uint32_t At(int x, int y) const { return colors[static_cast<std::size_t>(y) * width + x]; }
};

Decoded Decode(const fs::path& file) {
    OpenedPicture p = OpenPicture(file.string(), CommandLineLimits());
    Decoded d{p.rows->Width(), p.rows->Height(), {}};
    const compare_rows::RowReader reader(p.rows->Format(), compare_rows::BestKernels());
    std::vector<std::uint8_t> row(p.rows->Format().RowBytes());
    std::vector<std::uint32_t> run(compare_rows::kRunPixels);
    for (int y = 0; y < d.height; ++y) {
        p.rows->ReadRows(row.data(), 0, 1);
        for (int x0 = 0; x0 < d.width; x0 += compare_rows::kRunPixels) {
            const int n = std::min(compare_rows::kRunPixels, d.width - x0);
            const std::uint32_t* c = reader.Colors(row.data(), x0, n, run.data());
            d.colors.insert(d.colors.end(), c, c + n);
        }
    }
    return d;
}

int Channel(std::uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); }

class HtmlReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("duvo_html_report_" + std::to_string(::getpid()) + "_" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        comparison_ = std::make_unique<MadeUpComparison>(root_ / "inputs");
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Write(const std::string& name = "report") {
        const fs::path dir = root_ / name;
        cli::WriteHtmlReport(dir.string(), comparison_->Summary(0), comparison_->Pairs(), comparison_->BaseDir(),
                             comparison_->NewDir(), "duvo-compare 1.0");
        return dir;
    }

    fs::path root_;
    std::unique_ptr<MadeUpComparison> comparison_;
};

TEST_F(HtmlReportTest, PagePicturesAndThumbnails) {
    MadeUpComparison& c = *comparison_;
    c.Compared("big/one.png", Screen(1280, 720), Screen(1280, 720, {.badge = true}));
    Canvas small(40, 30, {10, 20, 30});
    c.Added("small/two.png", small);
    c.Removed("bitmaps/three.bmp", Screen(200, 100));
    // Tall: the height is the longest side.
    c.Added("tall/four.png", Screen(300, 900));
    const fs::path dir = Write();

    const fs::path source = fs::path(DUVO_REPORT_SOURCES);
    for (const char* page : {"index.html", "report.js", "report.css"})
        EXPECT_EQ(ReadFile(dir / page), ReadFile(source / page)) << page << " differs from its source";
    const std::string data = ReadFile(dir / "data.js");
    ASSERT_EQ(data.rfind("window.DUVO_REPORT = {", 0), 0u);

    // Pictures are copied byte for byte under numbered names.
    const std::vector<cli::ReportPair>& pairs = c.Pairs();
    EXPECT_EQ(ReadFile(dir / "pictures/0001-base.png"), ReadFile(*pairs[0].baseFile));
    EXPECT_EQ(ReadFile(dir / "pictures/0001-new.png"), ReadFile(*pairs[0].newFile));
    EXPECT_EQ(ReadFile(dir / "pictures/0001-diff.png"), ReadFile(*pairs[0].diffFile));
    EXPECT_EQ(ReadFile(dir / "pictures/0003-base.bmp"), ReadFile(*pairs[2].baseFile));
    EXPECT_FALSE(fs::exists(dir / "pictures/0002-base.png"));

    // A thumbnail for each picture larger than the thumbnail side, of the
    // picture the list shows: the difference of a changed pair.
    const Decoded thumb = Decode(dir / "pictures/0001-thumb.png");
    EXPECT_EQ(thumb.width, 320);
    EXPECT_EQ(thumb.height, 180);
    EXPECT_NE(data.find("\"thumb\":\"pictures/0001-thumb.png\""), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "pictures/0002-thumb.png"));
    EXPECT_NE(data.find("\"thumb\":\"pictures/0002-new.png\""), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "pictures/0003-thumb.png"));
    const Decoded tall = Decode(dir / "pictures/0004-thumb.png");
    EXPECT_EQ(tall.width, 107);
    EXPECT_EQ(tall.height, 320);
}

TEST_F(HtmlReportTest, PicturesNoBrowserShowsAreConvertedToPng) {
    MadeUpComparison& c = *comparison_;
    Canvas base = Screen(120, 90);
    Canvas changed = Screen(120, 90, {.badge = true});
    c.Compared("scans/page.tif", base, changed);
    const fs::path dir = Write();
    const std::string data = ReadFile(dir / "data.js");
    EXPECT_FALSE(fs::exists(dir / "pictures/0001-base.tif"));
    EXPECT_NE(data.find("\"base\":\"pictures/0001-base.png\""), std::string::npos);
    EXPECT_NE(data.find("\"new\":\"pictures/0001-new.png\""), std::string::npos);
    // At full size, pixel for pixel.
    for (const auto& [name, canvas] : {std::pair{"0001-base.png", &base}, std::pair{"0001-new.png", &changed}}) {
        const Decoded d = Decode(dir / "pictures" / name);
        ASSERT_EQ(d.width, 120) << name;
        ASSERT_EQ(d.height, 90) << name;
        const std::vector<std::uint8_t>& bgr = canvas->Bgr();
        for (int i = 0; i < 120 * 90; ++i) {
            const std::uint32_t want =
                bgr[3 * i + 2] | bgr[3 * i + 1] << 8 | static_cast<std::uint32_t>(bgr[3 * i]) << 16;
            ASSERT_EQ(d.colors[i], want) << name << " pixel " << i;
        }
    }
}

TEST_F(HtmlReportTest, ThumbnailsAverageTheirSourcePixels) {
    // Left half red, right half blue, one 4 x 4 block of green exactly where
    // a thumbnail pixel's box lies (the picture is 4 times the thumbnail).
    Canvas picture(1280, 640, {255, 0, 0});
    picture.Fill(640, 0, 640, 640, {0, 0, 255});
    picture.Fill(400, 200, 4, 4, {0, 255, 0});
    picture.Fill(800, 400, 2, 4, {255, 255, 255});  // half of a box white
    comparison_->Added("halves.png", picture);
    const Decoded t = Decode(Write() / "pictures/0001-thumb.png");
    ASSERT_EQ(t.width, 320);
    ASSERT_EQ(t.height, 160);
    EXPECT_EQ(t.At(10, 10), 0x0000FFu);    // red
    EXPECT_EQ(t.At(300, 150), 0xFF0000u);  // blue
    EXPECT_EQ(t.At(100, 50), 0x00FF00u);   // the green block alone
    EXPECT_EQ(t.At(99, 50), 0x0000FFu);
    const std::uint32_t mixed = t.At(200, 100);  // blue and white, half each
    EXPECT_EQ(Channel(mixed, 0), 128);
    EXPECT_EQ(Channel(mixed, 8), 128);
    EXPECT_EQ(Channel(mixed, 16), 255);
}

TEST_F(HtmlReportTest, DataFileIsSafeInAScript) {
    MadeUpComparison& c = *comparison_;
    Canvas small(8, 8, {1, 2, 3});
    c.Added("x</script><script>alert(1)</script>.png", small);
    c.Added("line\u2028and\u2029para <!-- & \"q\" \\ tab\t.png", small);
    cli::ReportPair odd = c.Pairs().back();
    c.Again(odd, std::string("bad \xFF\xC0\xAF byte.png"));
    const std::string data = ReadFile(Write() / "data.js");

    EXPECT_EQ(data.find('<'), std::string::npos);
    EXPECT_EQ(data.find('>'), std::string::npos);
    EXPECT_EQ(data.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(data.find("\xE2\x80\xA9"), std::string::npos);
    EXPECT_EQ(data.find('\t'), std::string::npos);
    EXPECT_NE(data.find(R"("x\u003c/script\u003e\u003cscript\u003ealert(1)\u003c/script\u003e.png")"),
              std::string::npos);
    EXPECT_NE(data.find(R"(line\u2028and\u2029para \u003c!-- \u0026 \"q\" \\ tab\u0009.png)"), std::string::npos);
    // Each byte that is not UTF-8 becomes one replacement character; the
    // overlong C0 AF (a "/" in disguise) is two such bytes.
    EXPECT_NE(data.find(R"("bad \ufffd\ufffd\ufffd byte.png")"), std::string::npos);
}

TEST_F(HtmlReportTest, SecondReportReplacesTheFirst) {
    MadeUpComparison& c = *comparison_;
    for (int i = 0; i < 3; ++i) c.Added("p" + std::to_string(i) + ".png", Screen(400, 200));
    const fs::path dir = Write();
    ASSERT_TRUE(fs::exists(dir / "pictures/0003-thumb.png"));
    std::ofstream(dir / "pictures/notes.txt") << "the user's";
    std::ofstream(dir / "index.html") << "stale";

    comparison_ = std::make_unique<MadeUpComparison>(root_ / "inputs2");
    comparison_->Removed("only.png", Screen(100, 50));
    Write();
    EXPECT_TRUE(fs::exists(dir / "pictures/0001-base.png"));
    for (const char* gone : {"0001-new.png", "0001-thumb.png", "0003-new.png", "0003-thumb.png"})
        EXPECT_FALSE(fs::exists(dir / "pictures" / gone)) << gone;
    EXPECT_TRUE(fs::exists(dir / "pictures/notes.txt"));
    // A picture of the folder that is a link is replaced, not written through.
    const fs::path theirs = root_ / "theirs.png";
    std::ofstream(theirs) << "keep";
    fs::remove(dir / "pictures/0001-base.png");
    fs::create_symlink(theirs, dir / "pictures/0001-base.png");
    Write();
    EXPECT_EQ(ReadFile(theirs), "keep");
    EXPECT_FALSE(fs::is_symlink(dir / "pictures/0001-base.png"));
    EXPECT_EQ(ReadFile(dir / "pictures/0001-base.png"), ReadFile(*comparison_->Pairs()[0].baseFile));
    EXPECT_EQ(ReadFile(dir / "index.html"), ReadFile(fs::path(DUVO_REPORT_SOURCES) / "index.html"));
    // No temporary file of the page is left beside it.
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}

// The pair's entry in data.js, from its path to the end of its object.
std::string PairData(const std::string& data, const std::string& path) {
    const std::size_t at = data.find("{\"path\":\"" + path + "\"");
    if (at == std::string::npos) return {};
    return data.substr(at, data.find("]}", data.find("\"notes\":", at)) - at);
}

// Writes the report in a child process that may take at most 20 seconds and
// write at most 8 MB a file: a report that waits on a pipe or copies a
// device without end fails the test instead of hanging it or filling the
// disk. True when the report was written.
bool WriteGuarded(const std::function<void()>& write) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        const rlimit size{8 << 20, 8 << 20};
        ::setrlimit(RLIMIT_FSIZE, &size);
        ::signal(SIGXFSZ, SIG_IGN);
        try {
            write();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Only the pictures of pairs that could be compared are copied (and those of
// a pair that failed on its sizes alone), and only from regular files: a
// link out of the tree, a pipe, a device and a missing file get a reason in
// their picture's place.
TEST_F(HtmlReportTest, OnlyRegularFilesOfComparedPairsAreCopied) {
    MadeUpComparison& c = *comparison_;
    const fs::path secret = root_ / "secret.png";
    std::ofstream(secret) << "someone else's bytes";
    const fs::path links = root_ / "inputs" / "new";
    fs::create_symlink(secret, links / "escape.png");
    fs::create_symlink("/dev/zero", links / "zero.png");
    fs::create_symlink("/dev/zero", links / "zero.tif");  // converted, not copied
    ASSERT_EQ(::mkfifo((links / "pipe.png").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((links / "pipe.tif").c_str(), 0600), 0);

    c.Broken("broken.png", Screen(400, 200), "PNG error");
    c.Refused("sizes.png", Screen(120, 90), Screen(120, 80), "The sizes differ");
    cli::ReportPair escape = c.Pairs()[1];
    escape.newFile = (links / "escape.png").string();
    escape.failure = "bad-file";
    escape.message = "the link leads out of the tree";
    c.Again(escape, "escape.png");
    const struct {
        const char* path;
        const char* status;  // of a pair whose new file is the path in links/
        std::string why;     // what the page says in the picture's place
    } rows[] = {
        {"broken.png", "failed", "Not copied into the report: the pair could not be compared."},
        {"sizes.png", "failed", ""},
        {"escape.png", "failed", "Not copied into the report: the pair could not be compared."},
        {"zero.png", "added", (links / "zero.png").string() + " is not a regular file"},
        {"zero.tif", "added", (links / "zero.tif").string() + " is not a regular file"},
        {"pipe.png", "added", (links / "pipe.png").string() + " is not a regular file"},
        {"pipe.tif", "added", (links / "pipe.tif").string() + " is not a regular file"},
        {"gone.png", "added", "Cannot open file " + (links / "gone.png").string()},
    };
    cli::ReportPair added;
    added.status = "added";
    for (const auto& row : rows)
        if (std::string(row.status) == "added") {
            added.newFile = (links / row.path).string();
            c.Again(added, row.path);
        }
    const fs::path dir = root_ / "report";
    ASSERT_TRUE(WriteGuarded([&] {
        cli::WriteHtmlReport(dir.string(), c.Summary(0), c.Pairs(), c.BaseDir(), c.NewDir(), "duvo-compare 1.0");
    }));

    const std::string data = ReadFile(dir / "data.js");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const std::string pair = PairData(data, row.path);
        ASSERT_FALSE(pair.empty());
        const bool shown = row.why.empty();
        EXPECT_EQ(pair.find("\"new\":null") == std::string::npos, shown) << pair;
        EXPECT_NE(pair.find("\"newWhy\":\"" + row.why + "\""), std::string::npos) << pair;
    }
    // The failed pair of two pictures of different sizes shows both.
    EXPECT_EQ(ReadFile(dir / "pictures/0002-new.png"), ReadFile(*c.Pairs()[1].newFile));
    // Nothing else came into the folder: not the secret, not the device.
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(dir / "pictures")) {
        files.insert(e.path().filename().string());
        EXPECT_NE(ReadFile(e.path()), ReadFile(secret)) << e.path();
        EXPECT_LT(fs::file_size(e.path()), 1u << 20) << e.path();
    }
    EXPECT_EQ(files, (std::set<std::string>{"0002-base.png", "0002-new.png"}));
}

TEST_F(HtmlReportTest, FailuresNameTheFileThatCouldNotBeMade) {
    comparison_->Added("a.png", Screen(100, 50));
    std::ofstream(root_ / "plain file") << "x";
    const auto expectFailure = [&](const fs::path& dir, const char* kind, const fs::path& named) {
        try {
            cli::WriteHtmlReport(dir.string(), comparison_->Summary(0), comparison_->Pairs(), "b", "n", "v");
            ADD_FAILURE() << "no failure for " << dir;
        } catch (const ECompareFailure& e) {
            EXPECT_EQ(e.Kind(), kind);
            ASSERT_TRUE(e.File().has_value());
            EXPECT_EQ(*e.File(), named.string());
            EXPECT_NE(e.Message().find(named.string()), std::string::npos) << e.Message();
        }
    };
    expectFailure(root_ / "plain file", "cannot-create", root_ / "plain file" / "pictures");
    expectFailure(root_ / "plain file" / "report", "cannot-create", root_ / "plain file" / "report" / "pictures");
    // A folder where the page should go is not replaced.
    fs::create_directories(root_ / "r" / "report.js");
    expectFailure(root_ / "r", "cannot-create", root_ / "r" / "report.js");
    EXPECT_TRUE(fs::is_directory(root_ / "r" / "report.js"));
    // A folder where a picture should go.
    fs::create_directories(root_ / "q" / "pictures" / "0001-new.png");
    expectFailure(root_ / "q", "cannot-create", root_ / "q" / "pictures" / "0001-new.png");
}

}  // namespace
}  // namespace duvo::test
