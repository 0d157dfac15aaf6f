// Two folders compared pair by pair: what each relative path becomes, the
// summary and the exit status, links that leave the tree or loop, files that
// are no pictures, names with spaces and letters beyond ASCII, sizes that
// differ, and shards that add up to the whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "bmp_builder.h"
#include "loading/folder_comparison.h"

namespace {

using namespace duvo;
namespace fs = std::filesystem;

class Folders : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("duvo-folders-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "base");
        fs::create_directories(root_ / "new");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A w x 1 BMP of one color at base/rel or new/rel.
    void Bmp(const std::string& side, const std::string& rel, std::uint32_t color, int w = 4) {
        const fs::path p = root_ / side / rel;
        fs::create_directories(p.parent_path());
        std::vector<std::vector<std::uint32_t>> rows(1, std::vector<std::uint32_t>(static_cast<std::size_t>(w), color));
        const auto bytes = bmptest::BuildBmp({.width = w, .height = 1, .pixels = bmptest::PackRows(24, rows)});
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void Text(const std::string& side, const std::string& rel, const std::string& text) {
        const fs::path p = root_ / side / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    FolderComparisonRequest Request() const {
        FolderComparisonRequest r;
        r.baseDir = (root_ / "base").string();
        r.newDir = (root_ / "new").string();
        return r;
    }
    static std::map<std::string, std::string> Statuses(const FolderComparison& c) {
        std::map<std::string, std::string> out;
        for (const FolderPair& p : c.pairs) out[p.path] = PairStatusName(p.status);
        return out;
    }

    fs::path root_;
};

TEST_F(Folders, EveryPathBecomesAPairWithItsStatus) {
    Bmp("base", "same.bmp", 0x112233);
    Bmp("new", "same.bmp", 0x112233);
    Bmp("base", "deep/er/changed.bmp", 0x000000);
    Bmp("new", "deep/er/changed.bmp", 0x0000FF);
    Bmp("new", "only new.bmp", 0x445566);
    Bmp("base", "zażółć gęślą.bmp", 0x778899);
    Bmp("new", "zażółć gęślą.bmp", 0x778899);
    Bmp("base", "gone.bmp", 0);
    Text("base", "broken.bmp", "no picture");
    Text("new", "broken.bmp", "no picture either");
    Text("base", "notes.txt", "skipped");
    Text("new", "sub/readme.md", "skipped too");
    Bmp("base", "wider.bmp", 0, 4);
    Bmp("new", "wider.bmp", 0, 5);
    const FolderComparison c = CompareFolders(Request());
    const std::map<std::string, std::string> want = {
        {"same.bmp", "unchanged"}, {"deep/er/changed.bmp", "changed"},
        {"only new.bmp", "added"}, {"zażółć gęślą.bmp", "unchanged"},
        {"gone.bmp", "removed"},   {"broken.bmp", "failed"},
        {"wider.bmp", "changed"},
    };
    EXPECT_EQ(Statuses(c), want);
    EXPECT_EQ(c.summary.unchanged, 2u);
    EXPECT_EQ(c.summary.changed, 2u);
    EXPECT_EQ(c.summary.added, 1u);
    EXPECT_EQ(c.summary.removed, 1u);
    EXPECT_EQ(c.summary.failed, 1u);
    EXPECT_EQ(c.summary.skipped, 2u);
    EXPECT_EQ(c.ExitStatus(), 2);
    // In the order of their paths, with their comparison or their failure.
    for (std::size_t i = 1; i < c.pairs.size(); ++i) EXPECT_LT(c.pairs[i - 1].path, c.pairs[i].path);
    for (const FolderPair& p : c.pairs) {
        EXPECT_EQ(p.comparison != nullptr, p.status == PairStatus::Unchanged || p.status == PairStatus::Changed)
            << p.path;
        EXPECT_EQ(p.failure.has_value(), p.status == PairStatus::Failed) << p.path;
    }

    // Sizes that differ are a failure when asked, and the exit statuses follow.
    FolderComparisonRequest strict = Request();
    strict.failOnSize = true;
    EXPECT_EQ(Statuses(CompareFolders(strict))["wider.bmp"], "failed");
    fs::remove(root_ / "base" / "broken.bmp");
    fs::remove(root_ / "new" / "broken.bmp");
    EXPECT_EQ(CompareFolders(Request()).ExitStatus(), 1);
    for (const char* rel : {"deep/er/changed.bmp", "only new.bmp", "gone.bmp", "wider.bmp"}) {
        fs::remove(root_ / "base" / rel);
        fs::remove(root_ / "new" / rel);
    }
    EXPECT_EQ(CompareFolders(Request()).ExitStatus(), 0);
}

TEST_F(Folders, LinksAreFollowedOnlyInsideTheirTreeAndNeverLoop) {
    Bmp("base", "real/a.bmp", 0x123456);
    Bmp("new", "real/a.bmp", 0x123456);
    Bmp("base", "outside.bmp", 0);  // a picture outside the new tree
    fs::create_directory_symlink("real", root_ / "base" / "alias");
    fs::create_directory_symlink("real", root_ / "new" / "alias");
    fs::create_directory_symlink("..", root_ / "base" / "real" / "up");  // a loop
    fs::create_symlink(root_ / "base" / "outside.bmp", root_ / "new" / "leaves.bmp");
    fs::create_symlink("nowhere.bmp", root_ / "new" / "dangling.bmp");
    fs::create_symlink("real/a.bmp", root_ / "new" / "same picture.bmp");
    Bmp("base", "same picture.bmp", 0x123456);
    ASSERT_EQ(::mkfifo((root_ / "new" / "pipe.bmp").c_str(), 0600), 0);
    const FolderComparison c = CompareFolders(Request());
    const auto statuses = Statuses(c);
    EXPECT_EQ(statuses.at("real/a.bmp"), "unchanged");
    // A folder is compared under its own path only: the link to it is
    // counted, not walked.
    EXPECT_EQ(statuses.count("alias/a.bmp"), 0u);
    EXPECT_EQ(c.summary.repeatedFolders, 1u);
    EXPECT_EQ(statuses.at("same picture.bmp"), "unchanged");  // a link to a file of the tree is followed
    EXPECT_EQ(statuses.at("real/up"), "failed");
    EXPECT_EQ(statuses.at("leaves.bmp"), "failed");
    EXPECT_EQ(statuses.at("dangling.bmp"), "failed");
    EXPECT_EQ(statuses.at("pipe.bmp"), "failed");
    const std::map<std::string, std::string> why = {{"real/up", "makes a loop"},
                                                    {"leaves.bmp", "leads out of"},
                                                    {"dangling.bmp", "leads nowhere"},
                                                    {"pipe.bmp", "not a regular file"}};
    for (const FolderPair& p : c.pairs)
        if (why.count(p.path)) {
            ASSERT_TRUE(p.failure) << p.path;
            EXPECT_NE(p.failure->Message().find(why.at(p.path)), std::string::npos) << p.failure->Message();
        }
}

// Folders that each link to all the others: followed, every path through
// them would be a pair of its own, n! of them. Each folder is walked once.
TEST_F(Folders, AWebOfFolderLinksIsWalkedOnce) {
    constexpr int kFolders = 6;
    for (const char* side : {"base", "new"})
        for (int i = 0; i < kFolders; ++i) {
            Bmp(side, "d" + std::to_string(i) + "/shot.bmp", static_cast<std::uint32_t>(i));
            for (int k = 0; k < kFolders; ++k)
                if (k != i)
                    fs::create_directory_symlink("../d" + std::to_string(k),
                                                 root_ / side / ("d" + std::to_string(i)) / ("to" + std::to_string(k)));
        }
    const FolderComparison c = CompareFolders(Request());
    ASSERT_EQ(c.pairs.size(), static_cast<std::size_t>(kFolders));
    for (int i = 0; i < kFolders; ++i) EXPECT_EQ(c.pairs[i].path, "d" + std::to_string(i) + "/shot.bmp");
    EXPECT_EQ(c.summary.unchanged, static_cast<std::uint64_t>(kFolders));
    EXPECT_EQ(c.summary.repeatedFolders, static_cast<std::uint64_t>(kFolders * (kFolders - 1)));
    EXPECT_EQ(c.ExitStatus(), 0);
}

TEST_F(Folders, ATreeOfTooManyEntriesIsRefusedBeforeAnyComparison) {
    for (int i = 0; i < 12; ++i) Text("new", "many/" + std::to_string(i) + ".txt", "x");
    FolderComparisonRequest r = Request();
    r.maxEntries = 10;
    try {
        CompareFolders(r);
        ADD_FAILURE() << "13 entries passed a limit of 10";
    } catch (const ECompareFailure& e) {
        EXPECT_EQ(e.Kind(), "too-many-files");
        EXPECT_NE(e.Message().find("more than 10 files and folders"), std::string::npos) << e.Message();
    }
    r.maxEntries = 13;  // "many" and its twelve files
    EXPECT_EQ(CompareFolders(r).summary.skipped, 12u);
}

// A limit meant for many pairs may accept all pixels of a small one: that
// pair passes on it, where two files alone would be a usage error.
TEST_F(Folders, ALimitThatAcceptsASmallPairWhollyLetsItPass) {
    Bmp("base", "small.bmp", 0x000000, 3);
    Bmp("new", "small.bmp", 0xFFFFFF, 3);
    Bmp("base", "large.bmp", 0x000000, 9);
    Bmp("new", "large.bmp", 0xFFFFFF, 9);
    for (const bool region : {false, true}) {
        FolderComparisonRequest r = Request();
        (region ? r.each.maxRegionPixels : r.each.maxNonMatching) = 5;
        const auto statuses = Statuses(CompareFolders(r));
        EXPECT_EQ(statuses.at("small.bmp"), "unchanged") << region;
        EXPECT_EQ(statuses.at("large.bmp"), "changed") << region;
        FileComparisonRequest alone;
        alone.left = (root_ / "base" / "small.bmp").string();
        alone.right = (root_ / "new" / "small.bmp").string();
        (region ? alone.maxRegionPixels : alone.maxNonMatching) = 5;
        EXPECT_THROW(CompareFiles(alone), EUsageError) << region;
    }
}

TEST_F(Folders, ShardsAddUpToTheWhole) {
    for (int i = 0; i < 23; ++i) {
        const std::string name = "p" + std::to_string(i) + ".bmp";
        if (i % 5 != 1) Bmp("base", name, static_cast<std::uint32_t>(i));
        if (i % 7 != 2) Bmp("new", name, static_cast<std::uint32_t>(i % 4 == 0 ? i + 1 : i));
    }
    Text("base", "a.txt", "x");
    Text("new", "b.txt", "y");
    Text("base", "broken1.bmp", "no picture");
    Text("new", "broken1.bmp", "no picture");
    Text("base", "broken2.bmp", "no picture");
    Bmp("new", "broken2.bmp", 0);
    fs::create_directory_symlink("..", root_ / "new" / "loop");
    fs::create_directory_symlink(".", root_ / "base" / "self");
    Bmp("base", "sub/x.bmp", 1);
    fs::create_directory_symlink("sub", root_ / "base" / "alias");
    const FolderComparison whole = CompareFolders(Request());
    ASSERT_EQ(whole.summary.failed, 4u);
    ASSERT_EQ(whole.summary.repeatedFolders, 1u);
    for (int n : {1, 2, 3, 7, 40}) {
        std::map<std::string, std::string> joined;
        FolderSummary sum;
        for (int i = 1; i <= n; ++i) {
            FolderComparisonRequest r = Request();
            r.shardIndex = i;
            r.shardCount = n;
            const FolderComparison part = CompareFolders(r);
            for (const auto& [path, status] : Statuses(part)) EXPECT_TRUE(joined.emplace(path, status).second) << path;
            sum.unchanged += part.summary.unchanged, sum.changed += part.summary.changed;
            sum.added += part.summary.added, sum.removed += part.summary.removed;
            sum.failed += part.summary.failed, sum.skipped += part.summary.skipped;
            sum.repeatedFolders += part.summary.repeatedFolders;
        }
        EXPECT_EQ(joined, Statuses(whole)) << n << " shards";
        EXPECT_EQ(sum.unchanged, whole.summary.unchanged);
        EXPECT_EQ(sum.changed, whole.summary.changed);
        EXPECT_EQ(sum.added, whole.summary.added);
        EXPECT_EQ(sum.removed, whole.summary.removed);
        EXPECT_EQ(sum.failed, whole.summary.failed);
        EXPECT_EQ(sum.skipped, whole.summary.skipped);
        EXPECT_EQ(sum.repeatedFolders, whole.summary.repeatedFolders);
    }
    FolderComparisonRequest bad = Request();
    bad.shardIndex = 3;
    bad.shardCount = 2;
    EXPECT_THROW(CompareFolders(bad), EUsageError);
    bad = Request();
    bad.newDir = (root_ / "no such folder").string();
    EXPECT_THROW(CompareFolders(bad), EUsageError);
}

}  // namespace
