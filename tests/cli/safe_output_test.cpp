// duvo-compare never destroys a file and never hides a broken one: the
// difference picture is never an input and never left half-written, cut
// and damaged files are reported, and names cannot reach the terminal raw.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
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
    const struct {
        const char* what;
        std::string diff;
        Start how;
    } rows[] = {
        {"a full device (the file size limit) for a BMP", "out.bmp", {4096, false, -1}},
        {"a full device (the file size limit) for a PNG", "out.png", {4096, false, -1}},
        {"a closed output pipe, BMP", "out.bmp", {RLIM_INFINITY, true, -1}},
        {"a closed output pipe, PNG", "out.png", {RLIM_INFINITY, true, -1}},
    };
    for (const auto& row : rows) {
        const std::string target = Path(row.diff);
        WriteBytes(target, old, old.size());
        const auto names = Names(dir_);
        EXPECT_EQ(RunProcess({"--diff", target, left, right}, row.how), 2) << row.what;
        EXPECT_EQ(FileBytes(target), old) << row.what;
        EXPECT_EQ(Names(dir_), names) << row.what << ": a temporary file was left behind";
    }
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
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string message;
        const char* kind;
    } rows[] = {
        {"a BMP of no bytes", {Path("empty.bmp"), picture}, Path("empty.bmp") + " has no pixels (0 x 0)", "no-pixels"},
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
