// The seams below the decoders: a file's bytes (mapped, or read to the end of
// a pipe), the guard against a mapped file cut short, decoders called
// directly on bytes with their own limits, and rows borrowed from the bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bmp_builder.h"
#include "graphics/bitmap.h"
#include "graphics/bmp.h"
#include "graphics/jpeg.h"
#include "jpeg_fixtures.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/file_bytes.h"
#include "rtl/limits.h"
#include "rtl/streams.h"
#include "scratch_folder.h"

namespace {

using namespace duvo;
using namespace bmptest;
namespace fs = std::filesystem;

class Input : public scratchtest::ScratchFolderTest {
protected:
    // A named pipe whose writer sends bytes once a reader opens it.
    std::string Fifo(const std::string& name) const {
        const std::string path = Path(name);
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        return path;
    }
};

// Writes bytes into the pipe from another thread, then closes it. A reader
// that stops early makes the write fail, which must not end the test.
class PipeWriter {
public:
    PipeWriter(std::string path, Bytes bytes)
        : ignorePipe_(std::signal(SIGPIPE, SIG_IGN)), thread_([path = std::move(path), bytes = std::move(bytes)] {
              const int fd = ::open(path.c_str(), O_WRONLY);
              if (fd < 0) return;
              for (std::size_t done = 0; done < bytes.size();) {
                  const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                  if (n <= 0) break;
                  done += static_cast<std::size_t>(n);
              }
              ::close(fd);
          }) {}
    ~PipeWriter() { thread_.join(); }

private:
    decltype(SIG_IGN) ignorePipe_;
    std::thread thread_;
};

Bytes Picture24(int w, int h) {
    std::vector<std::vector<std::uint32_t>> rows(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) rows[static_cast<std::size_t>(y)].push_back(0x010203u * (x + 7 * y + 1));
    return BuildBmp({.width = w, .height = h, .pixels = PackRows(24, rows)});
}

// ---- files, pipes and a file cut short -------------------------------------------

TEST_F(Input, RegularFilesAreMappedAndPipesReadToTheirEnd) {
    const Bytes bmp = Picture24(5, 3);
    const auto file = FileBytes::Open(Write("a.bmp", bmp));
    EXPECT_TRUE(file->Mapped());
    EXPECT_EQ(Bytes(file->Bytes().begin(), file->Bytes().end()), bmp);

    const std::string pipe = Fifo("p.bmp");
    PipeWriter writer(pipe, bmp);
    const auto piped = FileBytes::Open(pipe);
    EXPECT_FALSE(piped->Mapped());
    EXPECT_EQ(Bytes(piped->Bytes().begin(), piped->Bytes().end()), bmp);
}

TEST_F(Input, APipeNamedLikeAPictureLoadsThroughTheOpenCommandAndTheRegistry) {
    const Bytes bmp = Picture24(4, 2);
    TPicture direct;
    ASSERT_EQ(LoadIntoPicture(Write("ref.bmp", bmp), direct), LoadOutcome::Loaded);

    const std::string pipe = Fifo("x.bmp");
    {
        PipeWriter writer(pipe, bmp);
        TPicture picture;
        ASSERT_EQ(LoadIntoPicture(pipe, picture), LoadOutcome::Loaded);
        EXPECT_TRUE(picture.Graphic()->SameAs(direct.Graphic()));
    }
    {
        PipeWriter writer(pipe, bmp);
        TPicture picture;
        picture.LoadFile(pipe);
        EXPECT_TRUE(picture.Graphic()->SameAs(direct.Graphic()));
    }
}

TEST_F(Input, APipeBeyondTheInputLimitFailsInsteadOfReadingOn) {
    const std::string pipe = Fifo("endless.bmp");
    PipeWriter writer(pipe, Bytes(300000, 0x42));
    Limits limits;
    limits.inputBytes = 100000;
    try {
        FileBytes::Open(pipe, limits);
        ADD_FAILURE() << "no exception";
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Input too large (more than 100000 bytes)");
    }
}

// Peak memory of reading an endless pipe against a 64 MB limit, measured in a
// child process of its own so that nothing else this process did counts.
TEST_F(Input, APipeBeyondTheLimitNeverTakesMemoryFarBeyondIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory counts in the peak";
#endif
    constexpr std::uint64_t kLimit = std::uint64_t{64} << 20;
    int data[2], report[2];
    ASSERT_EQ(::pipe(data), 0);
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(data[1]);
        ::close(report[0]);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        Limits limits;
        limits.inputBytes = kLimit;
        std::int64_t outcome[3] = {0, before.ru_maxrss, 0};
        try {
            FileBytes::Open("/proc/self/fd/" + std::to_string(data[0]), limits);
        } catch (const EReadError&) {
            outcome[0] = 1;
        }
        ::getrusage(RUSAGE_SELF, &after);
        outcome[2] = after.ru_maxrss;
        if (::write(report[1], outcome, sizeof outcome) != sizeof outcome) ::_exit(2);
        ::_exit(0);
    }
    ::close(data[0]);
    ::close(report[1]);
    std::signal(SIGPIPE, SIG_IGN);
    // Twice the limit, and more, until the reader gives up.
    const Bytes chunk(1 << 20, 0x5A);
    for (std::uint64_t sent = 0; sent < 4 * kLimit;) {
        const ssize_t n = ::write(data[1], chunk.data(), chunk.size());
        if (n <= 0) break;
        sent += static_cast<std::uint64_t>(n);
    }
    ::close(data[1]);
    std::int64_t outcome[3] = {};
    ASSERT_EQ(::read(report[0], outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(outcome[0], 1) << "the input was not refused";
    // ru_maxrss is in kilobytes: at most the limit and one read buffer above
    // what the process held before.
    const std::int64_t grownKb = outcome[2] - outcome[1];
    EXPECT_LE(grownKb, static_cast<std::int64_t>(kLimit / 1024) + 4096) << "peak grew by " << grownKb << " KB";
}

TEST_F(Input, AFileStreamOverAPipeKnowsItsPositionAndRefusesToSeek) {
    const std::string pipe = Fifo("s.bmp");
    PipeWriter writer(pipe, Bytes(10, 1));
    TFileStream stream(pipe);
    std::uint8_t buf[4];
    EXPECT_EQ(stream.Read(buf, 4), 4u);
    EXPECT_EQ(stream.Position(), 4);
    EXPECT_EQ(stream.Size(), 4);  // all it knows so far
    EXPECT_THROW(stream.Seek(0, SeekOrigin::Begin), EStreamError);
    EXPECT_EQ(stream.Read(buf, 4), 4u);
    EXPECT_EQ(stream.Read(buf, 4), 2u);
}

TEST_F(Input, AMappedFileCutShortReadsZerosAndSaysSoInsteadOfStoppingTheProgram) {
    const std::size_t pages = 8, page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::string name = Write("cut.bmp", Bytes(pages * page, 0x5A));
    const auto file = FileBytes::Open(name);
    ASSERT_TRUE(file->Mapped());
    EXPECT_FALSE(file->Damaged());
    EXPECT_NO_THROW(file->CheckIntact());
    // What another process would do to the file while we read it.
    ASSERT_EQ(::truncate(name.c_str(), static_cast<off_t>(page + 10)), 0);
    std::uint64_t sum = 0;
    for (std::uint8_t b : file->Bytes()) sum += b;
    EXPECT_EQ(sum, (page + 10) * 0x5Au);  // the cut part reads as zero
    EXPECT_TRUE(file->Damaged());
    try {
        file->CheckIntact();
        ADD_FAILURE() << "no exception";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.what(), "File " + name + " was changed while it was being read");
    }
    // Another file mapped afterwards is not marked by it.
    EXPECT_FALSE(FileBytes::Open(Write("whole.bmp", Bytes(100, 1)))->Damaged());
}

TEST_F(Input, FilesThatCannotBeOpenedFailWithTheirName) {
    for (const std::string& name : {Path("missing.bmp"), dir_.string()})
        EXPECT_EQ(Raised<EFOpenError>([&] { FileBytes::Open(name); }), "Cannot open file " + name);
    EXPECT_TRUE(FileBytes::Open(Write("empty.bmp", {}))->Bytes().empty());
}

// ---- decoders on bytes, with their own limits --------------------------------------

TEST(DecodeWithLimits, EveryDecoderRefusesAPictureAboveItsLimitWithOneClassAndMessage) {
    const Bytes bmp = Picture24(10, 10);
    const Bytes rle = BuildBmp(
        {.width = 10, .height = 10, .bitCount = 8, .compression = 1, .colors = std::vector<std::uint32_t>(256, 0xFF)});
    const Bytes jpeg = jpegtest::EncodeJpeg({.width = 64, .height = 48});
    const struct {
        const char* name;
        std::function<void(const Limits&)> decode;
        std::uint64_t pixels;
    } decoders[] = {
        {"bmp", [&](const Limits& l) { DecodeBmp(bmp, l); }, 100},
        {"bmp rle8", [&](const Limits& l) { DecodeBmp(rle, l); }, 100},
        {"jpeg", [&](const Limits& l) { DecodeJpeg(jpeg, JpegSettings{}, l); }, 64 * 48},
    };
    for (const auto& d : decoders) {
        SCOPED_TRACE(d.name);
        Limits limits;
        limits.pixels = d.pixels;
        EXPECT_NO_THROW(d.decode(limits));
        limits.pixels = d.pixels - 1;
        const std::string message = Raised<EPictureTooLarge>([&] { d.decode(limits); });
        EXPECT_NE(message.find("; the limit is " + std::to_string(d.pixels - 1) + " pixels)"), std::string::npos)
            << message;
        // Every route treats it as the invalid picture it is.
        EXPECT_THROW(d.decode(limits), EInvalidGraphic);
    }
}

TEST_F(Input, TheOpenCommandTreatsATooLargePictureAsALoadError) {
    const std::string name = Write("big.bmp", Picture24(10, 10));
    Limits limits;
    limits.pixels = 99;
    TPicture picture;
    EXPECT_EQ(LoadIntoPicture(name, picture, limits), LoadOutcome::LoadError);
    EXPECT_TRUE(picture.Empty());
}

// ---- rows borrowed from the bytes ------------------------------------------------------

TEST(BorrowedRows, AWholeUncompressedPictureKeepsItsRowsInTheBytes) {
    const Bytes bmp = Picture24(3, 2);
    auto owner = std::make_shared<Bytes>(bmp);
    DecodedPicture borrowed = DecodeBmp(*owner, kDefaultLimits, owner);
    ASSERT_TRUE(borrowed.raster->ReadOnly());
    EXPECT_EQ(borrowed.raster->Bits(), owner->data() + 54);  // no copy
    EXPECT_EQ(owner.use_count(), 2);

    // Without an owner, or with rows missing, the rows are copied.
    EXPECT_FALSE(DecodeBmp(bmp, kDefaultLimits).raster->ReadOnly());
    Bytes cut(bmp.begin(), bmp.end() - 5);
    auto cutOwner = std::make_shared<Bytes>(cut);
    EXPECT_FALSE(DecodeBmp(*cutOwner, kDefaultLimits, cutOwner).raster->ReadOnly());
}

TEST(BorrowedRows, WritersTakeAPrivateCopyAndTheBytesStayAsTheyWere) {
    const Bytes bmp = Picture24(3, 2);
    auto owner = std::make_shared<Bytes>(bmp);
    TBitmap a;
    a.Adopt(DecodeBmp(*owner, kDefaultLimits, owner));
    TBitmap b;
    b.CopyFrom(&a);
    const TColor before = b.Canvas().ReadPixel(1, 1);

    a.Canvas().WritePixel(1, 1, 0x0000FF);  // through the surface
    a.RowAddress(0)[0] = 0x77;              // through a row
    EXPECT_EQ(a.Canvas().ReadPixel(1, 1), 0x0000FF);
    EXPECT_FALSE(a.Raster()->ReadOnly());
    EXPECT_EQ(*owner, bmp);  // the file's bytes are untouched
    EXPECT_EQ(b.Canvas().ReadPixel(1, 1), before);
    EXPECT_TRUE(b.Raster()->ReadOnly());

    // Alone with borrowed rows, a bitmap still copies before writing.
    b.GetHandle();
    EXPECT_FALSE(b.Raster()->ReadOnly());
    EXPECT_EQ(owner.use_count(), 1);
}

}  // namespace
