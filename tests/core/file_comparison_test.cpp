// The comparison of two files as the command line asks for it, without the
// tool: every way it can fail is an ECompareFailure of its kind, naming its
// file, with the exit status the tool ends with; the failures of one file are
// the same through OpenPicture; and FailureOf sorts the exceptions that
// escape a comparison into those kinds.
#include "loading/file_comparison.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "rtl/exceptions.h"
#include "scratch_folder.h"

namespace duvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class FileComparisonFailures : public scratchtest::ScratchFolderTest {
protected:
    // A w x h 24-bit BMP of one gray, cut to its first keep bytes of pixels if asked.
    std::string Bmp(const std::string& name, int w, int h, std::optional<std::size_t> keep = std::nullopt) const {
        Bytes pixels(static_cast<std::size_t>((w * 3 + 3) / 4 * 4) * static_cast<std::size_t>(h), 0x80);
        if (keep) pixels.resize(*keep);
        return Write(name, bmptest::BuildBmp({.width = w, .height = h, .pixels = pixels}));
    }
};

struct Failure {
    std::string kind, message;
    std::optional<std::string> file;
    bool fileLine = false;
    int status = 0;
    bool operator==(const Failure&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Failure& f) {
    return os << f.kind << " (" << f.status << (f.fileLine ? ", file line" : "") << ") " << f.file.value_or("-") << ": "
              << f.message;
}

Failure Of(const ECompareFailure& e) { return {e.Kind(), e.Message(), e.File(), e.FileLine(), e.ExitStatus()}; }

// What a call fails with; a call that does not fail gives kind "none".
Failure Caught(const std::function<void()>& call) {
    try {
        call();
    } catch (const ECompareFailure& e) {
        return Of(e);
    } catch (const std::exception& e) {
        return {"not an ECompareFailure", e.what(), std::nullopt, false, 0};
    }
    return {"none", "", std::nullopt, false, 0};
}

TEST_F(FileComparisonFailures, EveryKindWithItsStatusAndFile) {
    const std::string good = Bmp("good.bmp", 4, 3);
    const std::string other = Bmp("other.bmp", 4, 3);
    const std::string cut = Bmp("cut.bmp", 4, 3, 20);  // one whole row of 12 bytes, and 8 bytes more
    const std::string unknown = Write("picture.xyz", {1, 2, 3});
    const std::string missing = Path("missing.bmp");
    const std::string notBmp = Write("not.bmp", Bytes(64, 'x'));
    const std::string notGif = Write("not.gif", Bytes(64, 'x'));
    const std::string empty = Write("empty.bmp", {});
    const std::string huge = Write("huge.bmp", bmptest::BuildBmp({.width = 30000, .height = 20000}));
    const std::string smallMask = Bmp("mask.bmp", 3, 3);
    const std::string folder = Path("folder.bmp");
    fs::create_directory(folder);
    // Not a file that maps: read to its end, which a limit of 4096 bytes cuts short.
    const std::string endless = Path("endless.bmp");
    fs::create_symlink("/dev/zero", endless);
    Limits fewBytes = CommandLineLimits();
    fewBytes.inputBytes = 4096;

    const struct {
        const char* what;
        std::function<void(FileComparisonRequest&)> request;
        Failure failure;
        bool ofOneFile;  // OpenPicture of the file that fails gives the same failure
    } rows[] = {
        {"an extension no route takes",
         [&](auto& r) { r.right = unknown; },
         {"unknown-format", msg::UnknownFormatBox, unknown, true, 2},
         true},
        {"a file that is not there",
         [&](auto& r) { r.left = missing; },
         {"cannot-open", "Cannot open file " + missing + ".", missing, false, 2},
         true},
        {"a folder named like a picture",
         [&](auto& r) { r.left = folder; },
         {"cannot-open", "Cannot open file " + folder + ".", folder, false, 2},
         true},
        {"an input that does not end within the limit",
         [&](auto& r) {
             r.left = endless;
             r.limits = fewBytes;
         },
         {"read-error", "Input too large (more than 4096 bytes)", endless, true, 2},
         true},
        {"a BMP its decoder refuses, with the decoder's reason",
         [&](auto& r) { r.left = notBmp; },
         {"load-error", std::string(msg::LoadErrorBox) + "\nBitmap image is not valid.", notBmp, true, 2},
         true},
        {"a GIF its codec refuses, in the codec's own words",
         [&](auto& r) { r.right = notGif; },
         {"load-error", "Invalid GIF signature.", notGif, true, 2},
         true},
        {"a file of no bytes",
         [&](auto& r) { r.left = empty; },
         {"no-pixels", empty + " has no pixels (0 x 0)", empty, false, 2},
         true},
        {"a header declaring more pixels than the limit",
         [&](auto& r) { r.right = huge; },
         {"too-large",
          "Picture too large (30000 x 20000 pixels; the limit is 536870912 pixels); --max-pixels raises the limit",
          huge, true, 2},
         true},
        {"ignored rectangles covering the whole area",
         [&](auto& r) {
             r.ignore = {{0, 0, 4, 3}};
         },
         {"empty-area", "Nothing left to compare: the ignored areas and the mask cover all 4 x 3 pixels", std::nullopt,
          false, 2},
         false},
        {"a mask of another size than the area",
         [&](auto& r) { r.mask = smallMask; },
         {"mask-size", "The mask is 3 x 3 pixels; the compared area is 4 x 3.", smallMask, true, 2},
         false},
        {"a file cut short, with --strict",
         [&](auto& r) {
             r.right = cut;
             r.strict = true;
         },
         {"damaged", cut + " is damaged: only 1 of 3 rows are in the file", cut, false, 2},
         false},
        {"a difference picture naming the left input",
         [&](auto& r) { r.diff = good; },
         {"usage",
          "--diff " + good + " is the same file as the left picture " + good +
              ": the difference picture would overwrite it",
          std::nullopt, false, 2},
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FileComparisonRequest request;
        request.left = good;
        request.right = other;
        row.request(request);
        EXPECT_EQ(Caught([&] { CompareFiles(request); }), row.failure);
        if (row.ofOneFile) {
            EXPECT_EQ(Caught([&] { OpenPicture(*row.failure.file, request.limits); }), row.failure);
        }
    }
    // Without --strict the cut file is compared, with its warning.
    FileComparisonRequest lenient;
    lenient.left = good;
    lenient.right = cut;
    const FileComparison result = CompareFiles(lenient);
    ASSERT_EQ(result.right.warnings.size(), 1u);
    EXPECT_EQ(result.right.warnings[0].kind, warning_kind::Truncated);
}

TEST(FailureOf, SortsWhatEscapesAComparisonIntoTheToolsKinds) {
    const std::string file = "a.png";
    const struct {
        const char* what;
        std::function<void()> raise;
        std::optional<std::string> file;
        Failure failure;
    } rows[] = {
        {"a comparison failure passes as it is",
         [] { throw ECompareFailure("mask-size", "m", std::string("mask.bmp"), true, 2); },
         file,
         {"mask-size", "m", "mask.bmp", true, 2}},
        {"a usage error",
         [] { throw EUsageError("bad option"); },
         file,
         {"usage", "bad option", std::nullopt, false, 2}},
        {"a file that does not open",
         [] { throw EFOpenError("Cannot open file a.png"); },
         file,
         {"cannot-open", "Cannot open file a.png.", file, false, 2}},
        {"a file that cannot be made",
         [] { throw EFCreateError("Cannot create file d.png"); },
         file,
         {"cannot-create", "Cannot create file d.png.", file, false, 2}},
        {"a write that fails",
         [] { throw EWriteError("Stream write error"); },
         file,
         {"write-error", "Stream write error.", file, true, 2}},
        {"a read that fails",
         [] { throw EReadError("Stream read error"); },
         file,
         {"read-error", "Stream read error.", file, true, 2}},
        {"an invalid graphic",
         [] { throw EInvalidGraphic("Bitmap image is not valid"); },
         file,
         {"load-error", "Bitmap image is not valid.", file, true, 2}},
        {"memory the program could not have",
         [] { throw EOutOfMemory("Out of memory"); },
         file,
         {"out-of-memory", "Out of memory.", file, true, 2}},
        {"the allocator's failure",
         [] { throw std::bad_alloc(); },
         file,
         {"out-of-memory", "Out of memory.", file, true, 2}},
        {"nothing left to compare names no file",
         [] { throw EInvalidOp("Nothing left"); },
         file,
         {"empty-area", "Nothing left.", std::nullopt, false, 2}},
        {"another failure of the hierarchy",
         [] { throw EConvertError("odd"); },
         file,
         {"error", "odd.", file, true, 2}},
        {"a failure from outside it", [] { throw std::runtime_error("odd"); }, file, {"error", "odd.", file, true, 2}},
        {"without a file, no file line",
         [] { throw EInvalidGraphic("Bitmap image is not valid"); },
         std::nullopt,
         {"load-error", "Bitmap image is not valid.", std::nullopt, false, 2}},
    };
    for (const auto& row : rows) {
        std::exception_ptr error;
        try {
            row.raise();
        } catch (...) {
            error = std::current_exception();
        }
        EXPECT_EQ(Of(FailureOf(error, row.file)), row.failure) << row.what;
    }
}

}  // namespace
}  // namespace duvo
