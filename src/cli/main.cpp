// duvo-compare: the comparison engine on the command line.
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <thread>

#include "cli/options.h"
#include "cli/report.h"
#include "compare/compare.h"
#include "graphics/bitmap.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/file_bytes.h"

namespace duvo::cli {
namespace {

// The desktop program's box texts for the two outcomes of loading.
constexpr const char* kUnknownFormat = "Nieznany format pliku graficznego !!!";
constexpr const char* kLoadError = "Bląd przy wczytywaniu pliku graficznego !!!";

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitError = 2;

struct Input {
    std::string file;
    TPicture picture;
    // Kept open: a bitmap may point into it, and it is checked once the
    // pixels have been compared.
    std::shared_ptr<const FileBytes> bytes;
    LoadOutcome outcome = LoadOutcome::LoadError;
    std::exception_ptr error;
};

void Load(Input& in) {
    try {
        const Route* route = FindRoute(in.file);
        if (!route) {
            in.outcome = LoadOutcome::UnknownFormat;
            return;
        }
        in.bytes = FileBytes::Open(in.file);
        // One short run reads each file once: its rows are compared where
        // they lie instead of being copied first.
        in.outcome = LoadFileBytes(*route, in.bytes, in.picture, kDefaultLimits, true);
    } catch (...) {
        in.error = std::current_exception();
    }
}

// A failure of loading that is no exception of its own: the outcome's box
// text, with the file it is about.
struct LoadFailure {
    std::string message;
    std::string file;
};

const TBitmap& BitmapOf(const Input& in) {
    if (in.error) std::rethrow_exception(in.error);
    if (in.outcome == LoadOutcome::UnknownFormat) throw LoadFailure{kUnknownFormat, in.file};
    const auto* bitmap = dynamic_cast<const TBitmap*>(in.picture.Graphic());
    if (in.outcome != LoadOutcome::Loaded || !bitmap) throw LoadFailure{kLoadError, in.file};
    return *bitmap;
}

int Run(const Options& options) {
    InitializeFormats();
    // The two files share nothing, so they load side by side.
    Input left, right;
    left.file = options.left;
    right.file = options.right;
    {
        std::thread first([&] { Load(left); });
        try {
            std::thread second([&] { Load(right); });
            second.join();
        } catch (...) {
            first.join();  // the second thread could not start
            throw;
        }
        first.join();
    }
    const TBitmap& a = BitmapOf(left);
    const TBitmap& b = BitmapOf(right);

    Report report;
    report.left = {left.file, a.Width(), a.Height()};
    report.right = {right.file, b.Width(), b.Height()};
    TBitmap difference;
    CompareOptions compare;
    compare.threads = options.threads;
    compare.writeDifference = options.diffFile.has_value();
    report.result = ComparePictures(a, b, difference, report.histogram, compare);
    // A file cut short meanwhile read as zeros; its figures are not to be trusted.
    for (const Input* in : {&left, &right}) in->bytes->CheckIntact();
    if (options.diffFile) {
        difference.SaveFile(*options.diffFile);
        report.diffFile = options.diffFile;
    }
    std::cout << (options.json ? JsonReport(report) : TextReport(report)) << std::flush;
    return report.Identical() ? kExitSame : kExitDifferent;
}

}  // namespace
}  // namespace duvo::cli

int main(int argc, char** argv) {
    using namespace duvo::cli;
    Options options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "duvo-compare: " << e.message << "\nTry 'duvo-compare --help'.\n";
        return kExitError;
    }
    if (options.help) {
        std::cout << kHelpText;
        return kExitSame;
    }
    try {
        return Run(options);
    } catch (const LoadFailure& f) {
        std::cerr << duvo::ErrorDisplayText(f.message) << "\nFile: " << f.file << "\n";
    } catch (const duvo::EAbort&) {
        // A silent cancel, as everywhere in the program.
    } catch (const duvo::Exception& e) {
        std::cerr << duvo::ErrorDisplayText(e.Message()) << "\n";
    } catch (const std::bad_alloc&) {
        std::cerr << duvo::ErrorDisplayText(duvo::msg::OutOfMemory) << "\n";
    } catch (const std::exception& e) {
        std::cerr << duvo::ErrorDisplayText(e.what()) << "\n";
    }
    return kExitError;
}
