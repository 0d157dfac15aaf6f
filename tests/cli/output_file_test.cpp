// The files duvo-compare writes: the name they take (links followed, a
// dangling one too), the permissions, targets that are no regular file, and
// nothing left behind by a run that fails, in both ways of making the file.
#include "rtl/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rtl/exceptions.h"

namespace {

namespace fs = std::filesystem;
using duvo::ReplacingFile;
using duvo::SameFile;

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

unsigned ModeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
}

// The way the file is made: without a name (where the file system can), or
// as a hidden named file.
class OutputFile : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        // A parameterised test's name holds a slash.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        dir_ = fs::temp_directory_path() / ("duvo-out-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        mask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(mask_);
        fs::remove_all(dir_);
    }
    bool Unnamed() const { return GetParam(); }
    fs::path At(const std::string& name) const { return dir_ / name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Writes text through a ReplacingFile for target and commits it.
    void Replace(const fs::path& target, const std::string& text) const {
        ReplacingFile file(target.string(), Unnamed());
        Write(file.TempPath(), text);
        file.Commit();
    }

    fs::path dir_;
    mode_t mask_ = 022;
};

TEST_P(OutputFile, TheFileHasNoNameUntilItIsCommitted) {
    Write(At("old.png"), "old");
    const auto before = Names();
    {
        ReplacingFile file(At("old.png").string(), Unnamed());
        EXPECT_EQ(file.Unnamed(), Unnamed());
        // Written, closed and opened again, as the BMP and PNG writers do.
        Write(file.TempPath(), "first");
        Write(file.TempPath(), "new");
        if (Unnamed()) {
            EXPECT_EQ(Names(), before) << "the data must have no name while it is written";
        }
        EXPECT_EQ(Read(At("old.png")), "old");
        file.Commit();
    }
    EXPECT_EQ(Read(At("old.png")), "new");
    EXPECT_EQ(Names(), before);
}

TEST_P(OutputFile, AFailureLeavesTheOldFileAndNothingElse) {
    Write(At("old.png"), "old");
    const auto before = Names();
    const struct {
        const char* what;
        void (*end)(ReplacingFile&);
    } rows[] = {
        {"dropped without a commit", [](ReplacingFile&) {}},
        {"abandoned", [](ReplacingFile& f) { f.Abandon(); }},
        {"an exception while writing", [](ReplacingFile&) { throw std::runtime_error("writer failed"); }},
    };
    for (const auto& row : rows) {
        try {
            ReplacingFile file(At("old.png").string(), Unnamed());
            Write(file.TempPath(), "half");
            row.end(file);
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(Read(At("old.png")), "old") << row.what;
        EXPECT_EQ(Names(), before) << row.what;
    }
    // The name is taken by a folder while the file is written: the commit
    // fails with the reason, and no hidden file stays beside it.
    ReplacingFile file(At("soon-a-folder.png").string(), Unnamed());
    Write(file.TempPath(), "data");
    fs::create_directories(At("soon-a-folder.png/inside"));
    try {
        file.Commit();
        ADD_FAILURE() << "the commit over a folder succeeded";
    } catch (const duvo::EWriteError& e) {
        EXPECT_EQ(e.Message(), "Stream write error");
        EXPECT_FALSE(e.Reason().empty());
    }
    auto expected = before;
    expected.push_back("soon-a-folder.png");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(), expected);
}

TEST_P(OutputFile, ANewFileGetsTheUmaskAndAReplacedOneKeepsItsMode) {
    const struct {
        const char* what;
        mode_t umask;
        int existing;  // the old file's mode, or -1 for none
        unsigned expected;
    } rows[] = {
        {"a new file under umask 022", 022, -1, 0644},
        {"a new file under umask 077", 077, -1, 0600},
        {"a new file under umask 002", 002, -1, 0664},
        {"a replaced file keeps 0640 whatever the umask", 022, 0640, 0640},
        {"a replaced file keeps 0604", 077, 0604, 0604},
    };
    for (const auto& row : rows) {
        const fs::path target = At("mode.png");
        fs::remove(target);
        if (row.existing >= 0) {
            Write(target, "old");
            ::chmod(target.c_str(), static_cast<mode_t>(row.existing));
        }
        ::umask(row.umask);
        Replace(target, "new");
        ::umask(022);
        EXPECT_EQ(Read(target), "new") << row.what;
        EXPECT_EQ(ModeOf(target), row.expected) << row.what;
    }
}

TEST_P(OutputFile, SymbolicLinksStayLinksAndTheirTargetIsWritten) {
    fs::create_directories(At("sub"));
    Write(At("sub/real.png"), "old");
    ::chmod(At("sub/real.png").c_str(), 0640);
    fs::create_symlink("sub/real.png", At("link.png"));
    fs::create_symlink("link.png", At("chain.png"));
    fs::create_symlink("sub/not-yet.png", At("dangling.png"));
    fs::create_symlink(At("sub/absolute.png"), At("dangling-absolute.png"));
    const struct {
        const char* what;
        std::string link;
        std::string written;  // the file the data lands in
    } rows[] = {
        {"a link to an existing file", "link.png", "sub/real.png"},
        {"a link to a link", "chain.png", "sub/real.png"},
        {"a dangling relative link", "dangling.png", "sub/not-yet.png"},
        {"a dangling absolute link", "dangling-absolute.png", "sub/absolute.png"},
    };
    for (const auto& row : rows) {
        Replace(At(row.link), row.what);
        EXPECT_TRUE(fs::is_symlink(At(row.link))) << row.what;
        EXPECT_EQ(Read(At(row.written)), row.what) << row.what;
    }
    EXPECT_EQ(ModeOf(At("sub/real.png")), 0640u);
    // A loop of links leads nowhere: refused with the reason.
    fs::create_symlink("loop-b.png", At("loop-a.png"));
    fs::create_symlink("loop-a.png", At("loop-b.png"));
    try {
        ReplacingFile file(At("loop-a.png").string(), Unnamed());
        ADD_FAILURE() << "a loop of links was taken";
    } catch (const duvo::EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + At("loop-a.png").string());
        EXPECT_EQ(e.Reason(), duvo::SystemReason(ELOOP));
    }
}

TEST_P(OutputFile, TargetsThatAreNoRegularFileAreRefused) {
    fs::create_directories(At("folder.png"));
    fs::create_symlink("/dev/null", At("null.png"));
    ASSERT_EQ(::mkfifo(At("fifo.png").c_str(), 0600), 0);
    const struct {
        const char* what;
        std::string target;
        std::string reason;
    } rows[] = {
        {"a folder", At("folder.png").string(), duvo::SystemReason(EISDIR)},
        {"a device", "/dev/null", "it is no regular file, and replacing it would destroy it"},
        {"a link to a device", At("null.png").string(), "it is no regular file, and replacing it would destroy it"},
        {"a FIFO", At("fifo.png").string(), "it is no regular file, and replacing it would destroy it"},
        {"a folder that does not exist", At("missing/x.png").string(), duvo::SystemReason(ENOENT)},
    };
    const auto before = Names();
    for (const auto& row : rows) {
        try {
            ReplacingFile file(row.target, Unnamed());
            ADD_FAILURE() << row.what << " was taken";
        } catch (const duvo::EFCreateError& e) {
            EXPECT_EQ(e.Message(), "Cannot create file " + row.target) << row.what;
            EXPECT_EQ(e.Reason(), row.reason) << row.what;
        }
    }
    EXPECT_EQ(Names(), before);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_TRUE(fs::is_symlink(At("null.png")));
}

INSTANTIATE_TEST_SUITE_P(Ways, OutputFile, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Unnamed" : "Named"; });

TEST(SameFile, TellsOneFileByItsNamesApart) {
    const fs::path dir = fs::temp_directory_path() / ("duvo-same-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    Write(dir / "a.png", "a");
    Write(dir / "b.png", "a");
    fs::create_hard_link(dir / "a.png", dir / "hard.png");
    fs::create_symlink("a.png", dir / "soft.png");
    fs::create_symlink("sub/later.png", dir / "dangling.png");
    const struct {
        const char* what;
        fs::path a, b;
        bool same;
    } rows[] = {
        {"one name", dir / "a.png", dir / "a.png", true},
        {"a hard link", dir / "a.png", dir / "hard.png", true},
        {"a symbolic link", dir / "soft.png", dir / "a.png", true},
        {"another path to it", dir / "sub/../a.png", dir / "a.png", true},
        {"equal bytes in another file", dir / "a.png", dir / "b.png", false},
        {"a name not yet made, twice", dir / "new.png", dir / "sub/../new.png", true},
        {"a dangling link and the name it leads to", dir / "dangling.png", dir / "sub/later.png", true},
        {"two names not yet made", dir / "new.png", dir / "other.png", false},
        {"an existing file and a new name", dir / "a.png", dir / "new.png", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SameFile(row.a.string(), row.b.string()), row.same) << row.what;
        EXPECT_EQ(SameFile(row.b.string(), row.a.string()), row.same) << row.what;
    }
    fs::remove_all(dir);
}

}  // namespace
