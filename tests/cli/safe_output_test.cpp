// duvo-compare never destroys a file and never hides a broken one: the
// difference picture is never an input and never left half-written, cut
// and damaged files are reported, and names cannot reach the terminal raw.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "gif_builder.h"
#include "jpeg_fixtures.h"

namespace {

using namespace clitest;
using Bytes = std::vector<std::uint8_t>;

Json Parse(const Outcome& o) { return JsonParser(o.out).ParseDocument(); }

void WriteBytes(const std::string& path, const Bytes& bytes, std::size_t size) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
}

Bytes FileBytes(const std::string& path) {
    const std::string s = ReadFile(path);
    return {s.begin(), s.end()};
}

// How the tool is started when popen will not do.
struct Start {
    rlim_t fileSizeLimit = RLIM_INFINITY;  // bytes one file may grow to
    bool closedOutput = false;             // standard output a pipe nobody reads
    int killAfterMs = -1;                  // SIGTERM this long after the start
    std::string errors = "/dev/null";      // where standard error goes
};

int RunProcess(const std::vector<std::string>& args, const Start& how) {
    int out[2];
    if (::pipe(out) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (how.fileSizeLimit != RLIM_INFINITY) {
            const rlimit limit{how.fileSizeLimit, how.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::dup2(out[1], 1);
        const int err = ::open(how.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv{const_cast<char*>(DUVO_COMPARE_TOOL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(DUVO_COMPARE_TOOL, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (how.closedOutput) ::close(out[0]);
    if (how.killAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(how.killAfterMs));
        ::kill(pid, SIGTERM);
    }
    if (!how.closedOutput) {
        char buf[4096];
        while (::read(out[0], buf, sizeof buf) > 0) {
        }
        ::close(out[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs the tool, gathering its standard output and its resource use.
int RunMeasured(const std::vector<std::string>& args, std::string& out, rusage& usage) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv{const_cast<char*>(DUVO_COMPARE_TOOL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(DUVO_COMPARE_TOOL, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::wait4(pid, &status, 0, &usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Files left in the folder by a run: temporary files must not stay.
std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(CompareTool, TheDifferencePictureIsNeverAnInput) {
    std::mt19937 rng(1);
    const auto left = Random("left.bmp", 40, 30, rng, duvo::pk24Bit);
    const auto right = Random("right.bmp", 40, 30, rng, duvo::pk24Bit);
    const auto mask = Solid("mask.bmp", 40, 30, 0xFFFFFF);
    fs::create_symlink("left.bmp", Path("link.bmp"));
    fs::create_hard_link(Path("right.bmp"), Path("hard.bmp"));
    fs::create_directories(Path("sub"));
    const Bytes before[] = {FileBytes(left), FileBytes(right), FileBytes(mask)};
    const struct {
        const char* what;
        std::string diff;
        const char* names;  // the input the message must name
    } rows[] = {
        {"the left picture", left, "the left picture"},
        {"the right picture", right, "the right picture"},
        {"the mask", mask, "the mask"},
        {"a symbolic link to the left picture", Path("link.bmp"), "the left picture"},
        {"a hard link to the right picture", Path("hard.bmp"), "the right picture"},
        {"the left picture by another path", Path("sub/../left.bmp"), "the left picture"},
    };
    for (const auto& row : rows) {
        for (bool json : {false, true}) {
            std::vector<std::string> args{"--diff", row.diff, "--mask", mask, left, right};
            if (json) args.push_back("--json");
            const Outcome o = Run(args);
            EXPECT_EQ(o.status, 2) << row.what;
            EXPECT_NE(o.err.find(std::string("is the same file as ") + row.names), std::string::npos)
                << row.what << "\n"
                << o.err;
            EXPECT_NE(o.err.find(row.diff), std::string::npos) << row.what;
            if (json) {
                EXPECT_EQ(Parse(o)["error"]["kind"].String(), "usage") << row.what;
            }
        }
        EXPECT_EQ(FileBytes(left), before[0]) << row.what;
        EXPECT_EQ(FileBytes(right), before[1]) << row.what;
        EXPECT_EQ(FileBytes(mask), before[2]) << row.what;
    }
    // A name that does not exist yet is the same file as itself.
    const Outcome o = Run({"--diff", Path("new.bmp"), Path("new.bmp"), right});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("is the same file as the left picture"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(Path("new.bmp")));
}

TEST_F(CompareTool, AFailedOrStoppedRunLeavesTheOldDifferencePicture) {
    std::mt19937 rng(2);
    const auto left = Random("left.bmp", 400, 300, rng, duvo::pk24Bit);
    const auto right = Random("right.bmp", 400, 300, rng, duvo::pk24Bit);
    const Bytes old{'o', 'l', 'd'};
    // Standard error goes to a file outside the folder, which must not change.
    const std::string errors = dir_.string() + ".stderr";
    const std::string tooLarge = "Stream write error: " + duvo::SystemReason(EFBIG) + ".\nFile: ";
    const struct {
        const char* what;
        std::string diff;
        Start how;
        std::string message;  // on standard error, the start of it
    } rows[] = {
        {"a full device (the file size limit) for a BMP", "out.bmp", {4096, false, -1, errors}, tooLarge},
        {"a full device (the file size limit) for a PNG", "out.png", {4096, false, -1, errors}, tooLarge},
        {"a closed output pipe, BMP",
         "out.bmp",
         {RLIM_INFINITY, true, -1, errors},
         "The report could not be written to standard output"},
        {"a closed output pipe, PNG",
         "out.png",
         {RLIM_INFINITY, true, -1, errors},
         "The report could not be written to standard output"},
    };
    for (const auto& row : rows) {
        const std::string target = Path(row.diff);
        WriteBytes(target, old, old.size());
        const auto names = Names(dir_);
        EXPECT_EQ(RunProcess({"--diff", target, left, right}, row.how), 2) << row.what;
        EXPECT_EQ(FileBytes(target), old) << row.what;
        EXPECT_EQ(Names(dir_), names) << row.what << ": a temporary file was left behind";
        EXPECT_EQ(ReadFile(errors).substr(0, row.message.size()), row.message) << row.what;
    }
    fs::remove(errors);
    // A run ended by a signal at any moment leaves the old picture or the
    // whole new one, and no temporary file.
    const std::string target = Path("out.bmp");
    WriteBytes(target, old, old.size());
    const auto names = Names(dir_);
    EXPECT_EQ(RunProcess({"--diff", target, left, right}, {}), 1);
    const Bytes whole = FileBytes(target);
    for (int ms : {0, 2, 5, 10, 20, 40}) {
        WriteBytes(target, old, old.size());
        RunProcess({"--diff", target, left, right}, {RLIM_INFINITY, false, ms});
        const Bytes now = FileBytes(target);
        EXPECT_TRUE(now == old || now == whole) << "killed after " << ms << " ms: " << now.size() << " bytes";
        EXPECT_EQ(Names(dir_), names) << "killed after " << ms << " ms";
    }
}

// Where the descriptors of a process lead, for those that lead into folder.
std::vector<std::string> OpenIn(pid_t pid, const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code gone;
        const std::string to = fs::read_symlink(e.path(), gone).string();
        if (!gone && to.rfind(folder + "/", 0) == 0) out.push_back(to);
    }
    return out;
}

pid_t Start(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv{const_cast<char*>(DUVO_COMPARE_TOOL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(DUVO_COMPARE_TOOL, argv.data());
        ::_exit(127);
    }
    return pid;
}

// SIGKILL cannot be caught, so nothing the program does at its end can
// remove a file it made: the difference picture must have no name until it
// is complete. The run is stopped (SIGSTOP) again and again until it is
// caught with its file for the picture open, and killed there.
TEST_F(CompareTool, ARunKilledWhileWritingLeavesNoFileBehind) {
    const auto left = Solid("left.bmp", 2000, 2000, 0x000000);
    const auto right = Solid("right.bmp", 2000, 2000, 0xFFFFFF);
    const std::string folder = fs::canonical(dir_).string();
    const Bytes old{'o', 'l', 'd'};
    const struct {
        const char* what;
        const char* diff;
        bool exists;  // an old picture is there
    } rows[] = {
        {"a BMP over an old one", "out.bmp", true},
        {"a PNG over an old one", "out.png", true},
        {"a new BMP", "new.bmp", false},
        {"a new PNG", "new.png", false},
    };
    for (const auto& row : rows) {
        const std::string target = Path(row.diff);
        if (row.exists) WriteBytes(target, old, old.size());
        const auto names = Names(dir_);
        const pid_t pid = Start({"--threads", "1", "--diff", target, left, right});
        ASSERT_GT(pid, 0);
        bool caught = false;
        for (;;) {
            ::kill(pid, SIGSTOP);
            int status = 0;
            ::waitpid(pid, &status, WUNTRACED);
            if (!WIFSTOPPED(status)) break;  // it ended first
            std::vector<std::string> open = OpenIn(pid, folder);
            std::erase_if(open, [&](const std::string& p) { return p == left || p == right || p == target; });
            if (!open.empty()) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                caught = true;
                break;
            }
            ::kill(pid, SIGCONT);
            // Only to let it run between two looks; how long does not matter.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_TRUE(caught) << row.what << ": the run ended before its picture was open";
        EXPECT_EQ(Names(dir_), names) << row.what << ": a file was left behind";
        if (row.exists) {
            EXPECT_EQ(FileBytes(target), old) << row.what;
        }
        fs::remove(target);
    }
}

// The file system refuses the rename over an immutable file, after the
// picture was made: the run fails, and stdout holds no report naming the
// picture, just one JSON document (the error).
TEST_F(CompareTool, APictureThatCannotTakeItsNameIsReportedAloneAndOnce) {
    const auto a = Solid("a.bmp", 20, 10, 0x000000);
    const auto b = Solid("b.bmp", 20, 10, 0xFFFFFF);
    const std::string target = Path("locked.png");
    const Bytes old{'o', 'l', 'd'};
    WriteBytes(target, old, old.size());
    const auto setImmutable = [&](bool on) {
        const int fd = ::open(target.c_str(), O_RDONLY);
        int flags = 0;
        const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                          (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                           ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (fd >= 0) ::close(fd);
        return done;
    };
    if (!setImmutable(true)) GTEST_SKIP() << "no immutable files here (needs CAP_LINUX_IMMUTABLE)";
    const auto names = Names(dir_);
    const Outcome json = Run({"--json", "--diff", target, a, b});
    const Outcome text = Run({"--diff", target, a, b});
    setImmutable(false);
    EXPECT_EQ(json.status, 2);
    Json j;
    ASSERT_NO_THROW(j = Parse(json)) << json.out;
    EXPECT_EQ(j["error"]["kind"].String(), "write-error");
    EXPECT_EQ(j["error"]["file"].String(), target);
    EXPECT_EQ(text.status, 2);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "Stream write error: " + duvo::SystemReason(EPERM) + ".\nFile: " + target + "\n");
    EXPECT_EQ(FileBytes(target), old);
    auto after = Names(dir_);
    std::erase(after, "stderr.txt");
    EXPECT_EQ(after, names);
}

// JUnit XML is an output like the difference picture: never over a merged
// report, never inside a compared folder, where the next run would find it.
TEST_F(CompareTool, TheJunitFileIsNeverAnInput) {
    fs::create_directories(Path("base"));
    fs::create_directories(Path("new"));
    Solid("base/p.bmp", 4, 4, 0x000000);
    Solid("new/p.bmp", 4, 4, 0x000001);
    const std::string base = Path("base"), fresh = Path("new");
    const Outcome shard = Run({"--json", base, fresh});
    ASSERT_EQ(shard.status, 1) << shard.err;
    std::ofstream(Path("s1.json"), std::ios::binary) << shard.out;
    ASSERT_EQ(Run({"--junit", Path("s1.xml"), base, fresh}).status, 1);
    fs::create_symlink("s1.json", Path("s1-link.json"));
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string junit;
        std::string named;  // the input the message names
    } rows[] = {
        {"a picture of the base folder", {base, fresh}, Path("base/p.bmp"), "the compared folder " + base},
        {"a picture of the new folder", {base, fresh}, Path("new/p.bmp"), "the compared folder " + fresh},
        {"a new file in a compared folder", {base, fresh}, Path("new/out.xml"), "the compared folder " + fresh},
        {"a merged JSON report", {"--merge", Path("s1.json")}, Path("s1.json"), "the --merge input " + Path("s1.json")},
        {"a link to a merged JSON report",
         {"--merge", Path("s1.json")},
         Path("s1-link.json"),
         "the --merge input " + Path("s1.json")},
        {"a merged JUnit file", {"--merge", Path("s1.xml")}, Path("s1.xml"), "the --merge input " + Path("s1.xml")},
    };
    for (const auto& row : rows) {
        const bool existed = fs::exists(row.junit);
        const std::string before = existed ? ReadFile(row.junit) : "";
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--junit", row.junit});
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, 2) << row.what;
        EXPECT_NE(o.err.find("--junit " + row.junit), std::string::npos) << row.what << "\n" << o.err;
        EXPECT_NE(o.err.find(row.named), std::string::npos) << row.what << "\n" << o.err;
        EXPECT_EQ(fs::exists(row.junit), existed) << row.what;
        if (existed) {
            EXPECT_EQ(ReadFile(row.junit), before) << row.what;
        }
    }
}

// Every text for the terminal, not only the file names of a report: usage
// errors, values of options, --merge names, warnings. A backslash is
// doubled, so that a name holding the characters \x1b is told from ESC.
TEST_F(CompareTool, EveryMessageShowsControlCharactersAsEscapes) {
    const auto a = Solid("a.bmp", 8, 8, 0x000000);
    const auto b = Solid("b.bmp", 8, 8, 0xFFFFFF);
    const auto whiteMask = Solid(
        "m\x1b"
        "ask.bmp",
        8, 8, 0xFFFFFF);
    const Bytes whole = FileBytes(b);
    WriteBytes(Path("cut\x1b.bmp"), whole, whole.size() / 2);
    // No "BM" signature: the decoder's reason goes on a line of its own.
    std::ofstream(Path("bad\n.bmp"), std::ios::binary) << "XX" << std::string(100, '\0');
    fs::copy_file(a, Path("back\\x1b.bmp"));
    fs::create_directories(Path("base"));
    fs::create_directories(Path("new"));
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool onStdout;
        std::string shown;  // a part of the output
    } rows[] = {
        {"an argument too many", {a, b, "extra\x1b[2J"}, false, "not expected: extra\\x1b[2J"},
        {"an argument with a line break", {a, b, "extra\nline"}, false, "not expected: extra\\nline"},
        {"a --merge name", {"--merge", Path("m\x1b[2J.json")}, false, "Cannot open file " + Path("m\\x1b[2J.json.")},
        {"a --merge name with a line break",
         {"--merge", Path("m\n.json")},
         false,
         "Cannot open file " + Path("m\\n.json.")},
        {"an --ignore value", {"--ignore", "1,2,3\x1b", a, b}, false, "not \"1,2,3\\x1b\""},
        {"a second --diff-color", {"--diff-color", "FF0000,\x1b[31m", a, b}, false, "not \"\\x1b[31m\""},
        {"a --shard value", {"--shard", "1/\x1b", Path("base"), Path("new")}, false, "not \"1/\\x1b\""},
        {"a warning", {a, Path("cut\x1b.bmp")}, false, "Warning: " + Path("cut\\x1b.bmp") + ": "},
        {"the message's own line breaks stay, the name's do not",
         {Path("bad\n.bmp"), a},
         false,
         "!!!\nBitmap image is not valid.\nFile: " + Path("bad\\n.bmp") + "\n"},
        {"the mask line", {"--mask", whiteMask, a, b}, true, "mask " + Path("m\\x1bask.bmp") + ")\n"},
        {"the difference picture line",
         {"--diff", Path("d\nx.png"), a, b},
         true,
         "Difference picture: " + Path("d\\nx.png") + "\n"},
        {"a backslash", {Path("back\\x1b.bmp"), b}, true, "Left:   " + Path("back\\\\x1b.bmp") + "  8 x 8\n"},
    };
    for (const auto& row : rows) {
        const Outcome o = Run(row.args);
        const std::string& text = row.onStdout ? o.out : o.err;
        EXPECT_NE(text.find(row.shown), std::string::npos) << row.what << "\n" << text;
        for (const std::string* stream : {&o.out, &o.err})
            EXPECT_EQ(stream->find('\x1b'), std::string::npos) << row.what << "\n" << *stream;
    }
    // JSON keeps the names, escaped as JSON escapes them.
    const Json j = Parse(Run({"--json", "--mask", whiteMask, "--diff", Path("d\nx.png"), a, b}));
    EXPECT_EQ(j["ignored"]["mask"].String(), whiteMask);
    EXPECT_EQ(j["diff"].String(), Path("d\nx.png"));
}

// A pipe or a device is read no further than the input limit: memory stays
// near the limit, never at the 2 GiB the default would let it take.
TEST_F(CompareTool, PipesAndDevicesStopAtTheInputLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory counts in the peak";
#endif
    const auto picture = Solid("p.bmp", 4, 4, 0);
    fs::create_symlink("/dev/zero", Path("zero.bmp"));
    ASSERT_EQ(::mkfifo(Path("pipe.bmp").c_str(), 0600), 0);
    const std::uint64_t limit = 16 << 20;
    const std::string limitText = std::to_string(limit);
    for (const char* name : {"zero.bmp", "pipe.bmp"}) {
        // The pipe is fed until its reader goes away; a feeder that never
        // found a reader stops when the run is over.
        std::atomic<bool> over{false};
        std::thread feeder;
        if (name == std::string("pipe.bmp"))
            feeder = std::thread([&] {
                // EPIPE, not SIGPIPE, when the reader goes.
                sigset_t pipeSignal;
                sigemptyset(&pipeSignal);
                sigaddset(&pipeSignal, SIGPIPE);
                ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
                int fd = -1;
                while (fd < 0 && !over) {
                    fd = ::open(Path("pipe.bmp").c_str(), O_WRONLY | O_NONBLOCK);
                    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (fd < 0) return;
                ::fcntl(fd, F_SETFL, 0);
                const std::vector<char> block(1 << 16, 'x');
                while (::write(fd, block.data(), block.size()) > 0) {
                }
                ::close(fd);
            });
        std::string out;
        rusage usage{};
        const int status = RunMeasured({"--max-input-bytes", limitText, "--json", Path(name), picture}, out, usage);
        over = true;
        if (feeder.joinable()) feeder.join();
        EXPECT_EQ(status, 2) << name;
        const Json j = JsonParser(out).ParseDocument();
        EXPECT_EQ(j["error"]["kind"].String(), "read-error") << name;
        EXPECT_EQ(j["error"]["message"].String(), "Input too large (more than " + limitText + " bytes)") << name;
        EXPECT_EQ(j["error"]["file"].String(), Path(name)) << name;
        // ru_maxrss is in kilobytes: the limit, a read buffer and the program.
        EXPECT_LT(usage.ru_maxrss, static_cast<long>(limit / 1024) + 32 * 1024) << name;
    }
}

TEST_F(CompareTool, CutFilesAreReportedAndStrictMakesThemAFailure) {
    // A BMP, a GIF and a JPEG of one 64 x 48 picture, cut at several points
    // after their headers; each still compares, with a "truncated" warning.
    std::mt19937 rng(3);
    const auto bmp = Random("whole.bmp", 64, 48, rng, duvo::pk24Bit);
    const Bytes bmpBytes = FileBytes(bmp);

    jpegtest::EncodeRecipe recipe;
    const Bytes jpeg = jpegtest::EncodeJpeg(recipe);
    jpegtest::EncodeRecipe progressive = recipe;
    progressive.progressive = true;
    const Bytes jpegProgressive = jpegtest::EncodeJpeg(progressive);

    const giftest::Bytes indices = giftest::PhotoPixels(64, 48, 200, 7);
    std::vector<std::uint32_t> colors;
    for (int i = 0; i < 256; ++i) colors.push_back(static_cast<std::uint32_t>(i * 0x010305) & 0xFFFFFF);
    const Bytes gif = giftest::GifWriter()
                          .Header()
                          .ScreenColors(64, 48, colors)
                          .ImageColors(64, 48, {})
                          .Pixels(64, 48, indices)
                          .Trailer()
                          .out;

    const struct {
        const char* what;
        const char* name;
        const Bytes* bytes;
        std::size_t keep;  // bytes kept
    } rows[] = {
        {"BMP cut inside its rows", "cut.bmp", &bmpBytes, bmpBytes.size() / 2},
        {"BMP cut right after its header", "header.bmp", &bmpBytes, 54},
        // Header, 768 bytes of colors, the image descriptor and a few bytes of data.
        {"GIF cut early in its image data", "early.gif", &gif, 13 + 768 + 10 + 5},
        {"GIF cut inside its image data", "cut.gif", &gif, gif.size() * 3 / 5},
        {"GIF cut before its last sub-block ends", "end.gif", &gif, gif.size() - 4},
        {"JPEG cut inside its scan", "cut.jpg", &jpeg, jpeg.size() * 3 / 5},
        {"progressive JPEG cut before its fourth scan", "cut-progressive.jpg", &jpegProgressive,
         jpegtest::FindMarker(jpegProgressive, 0xDA, 3)},
    };
    for (const auto& row : rows) {
        const std::string file = Path(row.name);
        WriteBytes(file, *row.bytes, row.keep);
        for (bool strict : {false, true}) {
            std::vector<std::string> args{file, file, "--json"};
            if (strict) args.push_back("--strict");
            const Outcome o = Run(args);
            const Json j = Parse(o);
            if (!strict) {
                ASSERT_EQ(o.status, 0) << row.what << "\n" << o.err;
                const auto& warnings = j["left"]["warnings"].Array();
                ASSERT_FALSE(warnings.empty()) << row.what;
                EXPECT_EQ(warnings[0]["kind"].String(), "truncated") << row.what;
                EXPECT_NE(o.err.find("Warning: " + file + ": "), std::string::npos) << row.what << "\n" << o.err;
            } else {
                EXPECT_EQ(o.status, 2) << row.what;
                EXPECT_EQ(j["error"]["kind"].String(), "damaged") << row.what;
                EXPECT_EQ(j["error"]["file"].String(), file) << row.what;
            }
        }
    }
    // Whole files have no warnings, also with --strict.
    WriteBytes(Path("whole.gif"), gif, gif.size());
    WriteBytes(Path("whole.jpg"), jpeg, jpeg.size());
    for (const std::string& file : {bmp, Path("whole.gif"), Path("whole.jpg")}) {
        const Outcome o = Run({file, file, "--json", "--strict"});
        EXPECT_EQ(o.status, 0) << file << "\n" << o.err;
        EXPECT_TRUE(Parse(o)["left"]["warnings"].Array().empty()) << file;
    }
}

// A cut file against a whole one, as CI meets it: a screenshot uploaded half
// way. The pair differs, and the report says which file is broken; --strict
// fails on a damaged mask as on a damaged picture.
TEST_F(CompareTool, ACutFileAgainstAWholeOneIsComparedWithAWarning) {
    std::mt19937 rng(5);
    const auto whole = Random("whole.bmp", 64, 48, rng, duvo::pk24Bit);
    const Bytes bytes = FileBytes(whole);
    WriteBytes(Path("cut.bmp"), bytes, bytes.size() / 2);
    const auto white = Solid("white.bmp", 64, 48, 0xFFFFFF);
    const Bytes mask = FileBytes(white);
    WriteBytes(Path("cut-mask.bmp"), mask, mask.size() / 2);

    const Outcome text = Run({whole, Path("cut.bmp")});
    EXPECT_EQ(text.status, 1) << text.err;
    EXPECT_NE(text.err.find("Warning: " + Path("cut.bmp") + ": "), std::string::npos) << text.err;
    EXPECT_NE(text.err.find("(truncated)"), std::string::npos) << text.err;
    EXPECT_EQ(text.err.find("Warning: " + whole), std::string::npos) << text.err;
    const Outcome json = Run({"--json", whole, Path("cut.bmp")});
    EXPECT_EQ(json.status, 1);
    const Json j = Parse(json);
    EXPECT_TRUE(j["left"]["warnings"].Array().empty());
    ASSERT_EQ(j["right"]["warnings"].Array().size(), 1u);
    EXPECT_EQ(j["right"]["warnings"][0]["kind"].String(), "truncated");
    EXPECT_GT(j["nonMatchingPixels"].Number(), 0);

    // A damaged mask: a warning without --strict, a failure with it.
    const Outcome warned = Run({"--json", whole, whole, "--mask", Path("cut-mask.bmp")});
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_EQ(Parse(warned)["ignored"]["maskWarnings"][0]["kind"].String(), "truncated");
    const Outcome strict = Run({"--json", "--strict", whole, whole, "--mask", Path("cut-mask.bmp")});
    EXPECT_EQ(strict.status, 2);
    const Json e = Parse(strict);
    EXPECT_EQ(e["error"]["kind"].String(), "damaged");
    EXPECT_EQ(e["error"]["file"].String(), Path("cut-mask.bmp"));
}

// Two files with equal bytes are decoded once; that must change nothing
// the report says: a damaged file is still a failure or a warning on both
// sides, each side keeps its own name, and a one-byte change still counts.
TEST_F(CompareTool, FilesWithEqualBytesAreReportedAsTwoFiles) {
    duvo::test::PngRecipe recipe;
    recipe.width = 24;
    recipe.height = 16;
    recipe.deflate = true;
    std::mt19937 rng(4);
    for (int i = 0; i < 24 * 16 * 3; ++i) recipe.samples.push_back(static_cast<std::uint16_t>(rng() % 256));
    const Bytes whole = duvo::test::PngBuilder::Build(recipe);
    // The IDAT chunk's first data byte and the file without its IEND.
    Bytes badCrc = whole;
    badCrc[33 + 8] ^= 0x01;
    const Bytes noEnd(whole.begin(), whole.end() - 12);
    const struct {
        const char* what;
        const Bytes* bytes;
        int status;
        const char* error;  // the error's kind, or none
        bool warned;        // each side has a warning
    } rows[] = {
        {"whole", &whole, 0, nullptr, false},
        {"an image data chunk with a wrong CRC", &badCrc, 2, "load-error", false},
        {"no IEND", &noEnd, 0, nullptr, true},
    };
    for (const auto& row : rows) {
        const std::string a = Path("a.png"), b = Path("b.png");
        WriteBytes(a, *row.bytes, row.bytes->size());
        WriteBytes(b, *row.bytes, row.bytes->size());
        const Outcome o = Run({a, b, "--json"});
        const Json j = Parse(o);
        EXPECT_EQ(o.status, row.status) << row.what << "\n" << o.err;
        if (row.error) {
            EXPECT_EQ(j["error"]["kind"].String(), row.error) << row.what;
            EXPECT_EQ(j["error"]["file"].String(), a) << row.what;
            continue;
        }
        EXPECT_EQ(j["left"]["file"].String(), a) << row.what;
        EXPECT_EQ(j["right"]["file"].String(), b) << row.what;
        EXPECT_TRUE(j["identical"].Bool()) << row.what;
        EXPECT_EQ(j["left"]["warnings"].Array().empty(), !row.warned) << row.what;
        EXPECT_EQ(j["right"]["warnings"].Array().empty(), !row.warned) << row.what;
        if (row.warned) {
            const Outcome strict = Run({a, b, "--strict"});
            EXPECT_EQ(strict.status, 2) << row.what;
        }
    }
    // The same size, one sample apart, is no shortcut.
    duvo::test::PngRecipe changed = recipe;
    changed.samples[24 * 3 * 9 + 30] ^= 0x40;
    const Outcome o = Run({Png("a.png", recipe), Png("b.png", changed), "--json"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(Parse(o)["nonMatchingPixels"].Number(), 1);
}

TEST_F(CompareTool, EmptyPicturesAndEmptyAreasSayWhatIsEmpty) {
    const auto picture = Solid("p.bmp", 20, 10, 0x123456);
    WriteBytes(Path("empty.bmp"), {}, 0);
    const auto mask = Solid("mask.bmp", 20, 10, 0);
    // A GIF whose screen and only frame are 0 x 0.
    const Bytes emptyGif = giftest::GifWriter().Header().Screen(0, 0).Image(0, 0).Data(2, {0x44, 0x01}).Trailer().out;
    WriteBytes(Path("empty.gif"), emptyGif, emptyGif.size());
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string message;
        const char* kind;
    } rows[] = {
        {"a BMP of no bytes", {Path("empty.bmp"), picture}, Path("empty.bmp") + " has no pixels (0 x 0)", "no-pixels"},
        {"a GIF of 0 x 0 pixels",
         {picture, Path("empty.gif")},
         Path("empty.gif") + " has no pixels (0 x 0)",
         "no-pixels"},
        {"a mask of no bytes",
         {picture, picture, "--mask", Path("empty.bmp")},
         Path("empty.bmp") + " has no pixels (0 x 0)",
         "no-pixels"},
        {"a mask of 0 x 0 pixels",
         {picture, picture, "--mask", Path("empty.gif")},
         Path("empty.gif") + " has no pixels (0 x 0)",
         "no-pixels"},
        {"ignored rectangles over everything",
         {picture, picture, "--ignore", "-5,-5,100,100"},
         "Nothing left to compare: the ignored areas and the mask cover all 20 x 10 pixels",
         "empty-area"},
        {"a mask that ignores every pixel",
         {picture, picture, "--mask", mask},
         "Nothing left to compare: the ignored areas and the mask cover all 20 x 10 pixels",
         "empty-area"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        Outcome o = Run(args);
        EXPECT_EQ(o.status, 2) << row.what;
        EXPECT_EQ(o.err.substr(0, row.message.size()), row.message) << row.what << "\n" << o.err;
        args.push_back("--json");
        o = Run(args);
        EXPECT_EQ(Parse(o)["error"]["kind"].String(), row.kind) << row.what;
    }
}

TEST_F(CompareTool, ControlCharactersInNamesAreShownAsEscapes) {
    const struct {
        const char* raw;
        const char* shown;
    } rows[] = {
        {"new\nline.bmp", "new\\nline.bmp"},
        {"esc\x1b[31mred.bmp", "esc\\x1b[31mred.bmp"},
        {"tab\tand\rreturn.bmp", "tab\\tand\\rreturn.bmp"},
        {"del\x7f.bmp", "del\\x7f.bmp"},
        {"c1\xc2\x9b"
         "2J.bmp",
         "c1\\xc2\\x9b2J.bmp"},
        {"\xff"
         "bad.bmp",
         "\\xffbad.bmp"},
        {"zażółć.bmp", "zażółć.bmp"},
    };
    const auto other = Solid("other.bmp", 4, 4, 0);
    for (const auto& row : rows) {
        const std::string raw = Path(row.raw), shown = Path(row.shown);
        Solid(row.raw, 4, 4, 0xFFFFFF);
        Outcome o = Run({raw, other});
        EXPECT_EQ(o.status, 1) << row.shown;
        EXPECT_NE(o.out.find("Left:   " + shown + "  4 x 4\n"), std::string::npos) << o.out;
        // A message that names the file: it cannot be opened.
        o = Run({raw + ".missing.bmp", other});
        EXPECT_EQ(o.err, "Cannot open file " + shown + ".missing.bmp.\n") << row.shown;
        // JSON keeps the name, escaped as JSON escapes.
        o = Run({raw, other, "--json"});
        if (std::string(row.raw).find('\xff') == std::string::npos) {
            EXPECT_EQ(Parse(o)["left"]["file"].String(), raw) << row.shown;
        }
        fs::remove(raw);
    }
}

}  // namespace

namespace {

// A small file that declares a huge picture: the tool refuses it at once or
// compares it in little memory, never in memory of the picture's size.
TEST_F(CompareTool, SmallFilesDeclaringHugePicturesCostNoMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory counts in the peak";
#endif
    // 35 bytes: a GIF whose one 32000 x 32000 frame has no data.
    const Bytes gif = {'G',  'I',  'F',  '8',  '9',  'a',  0x00, 0x7D, 0x00, 0x7D, 0x80, 0,
                       0,    0,    0,    0,    0xFF, 0xFF, 0xFF, ',',  0,    0,    0,    0,
                       0x00, 0x7D, 0x00, 0x7D, 0,    0x02, 0x02, 0x44, 0x01, 0x00, ';'};
    ASSERT_EQ(gif.size(), 35u);
    WriteBytes(Path("bomb.gif"), gif, gif.size());
    // About a megabyte: a PNG of 20000 x 20000 RGB pixels, every row zero.
    duvo::test::PngRecipe r;
    r.width = 20000;
    r.height = 20000;
    r.colorType = 2;
    const Bytes png = duvo::test::PngBuilder::BuildZeroRows(r);
    ASSERT_LT(png.size(), 2u << 20);
    WriteBytes(Path("bomb.png"), png, png.size());

    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* kind;  // of the error, if any
    } rows[] = {
        {"the GIF is refused at once, naming the option",
         {Path("bomb.gif"), Path("bomb.gif"), "--json"},
         2,
         "too-large"},
        {"the PNG is compared row by row", {Path("bomb.png"), Path("bomb.png"), "--json"}, 0, nullptr},
    };
    for (const auto& row : rows) {
        std::string out;
        rusage usage{};
        const int status = RunMeasured(row.args, out, usage);
        EXPECT_EQ(status, row.status) << row.what;
        const Json j = JsonParser(out).ParseDocument();
        if (row.kind) {
            EXPECT_EQ(j["error"]["kind"].String(), row.kind) << row.what;
            EXPECT_NE(j["error"]["message"].String().find("--max-pixels"), std::string::npos) << row.what;
        } else {
            EXPECT_EQ(j["countedPixels"].Number(), 400000000) << row.what;
        }
        // ru_maxrss is in kilobytes.
        EXPECT_LT(usage.ru_maxrss, 64 * 1024) << row.what;
    }
}

}  // namespace
