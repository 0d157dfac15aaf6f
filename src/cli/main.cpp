// duvo-compare: the comparison engine on the command line.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <thread>

#include "cli/options.h"
#include "cli/report.h"
#include "cli/side_planes.h"
#include "codecs/png/png_spng.h"
#include "compare/compare.h"
#include "compare/regions.h"
#include "graphics/bitmap.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/file_bytes.h"
#include "rtl/output_file.h"

namespace duvo::cli {
namespace {

// The desktop program's box texts for the two outcomes of loading.
constexpr const char* kUnknownFormat = "Nieznany format pliku graficznego !!!";
constexpr const char* kLoadError = "Bląd przy wczytywaniu pliku graficznego !!!";

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitError = 2;

// Every way the tool fails, as it is reported: a kind for scripts, the
// message, and the file it is about. withFileLine: the message does not name
// the file itself, so the text report adds it on a line of its own.
struct Failure {
    std::string kind;
    std::string message;
    std::optional<std::string> file;
    bool withFileLine = false;
};

// The kind of an exception, by its class.
Failure Classify(std::exception_ptr error, const std::optional<std::string>& file) {
    try {
        std::rethrow_exception(error);
    } catch (const Failure& f) {
        return f;
    } catch (const EFOpenError& e) {
        return {"cannot-open", ErrorDisplayText(e.Message()), file};
    } catch (const EFCreateError& e) {
        return {"cannot-create", ErrorDisplayText(e.Message()), file};
    } catch (const EWriteError& e) {
        return {"write-error", ErrorDisplayText(e.Message()), file, file.has_value()};
    } catch (const EStreamError& e) {
        return {"read-error", ErrorDisplayText(e.Message()), file, file.has_value()};
    } catch (const EInvalidGraphic& e) {
        return {"load-error", ErrorDisplayText(e.Message()), file, file.has_value()};
    } catch (const EOutOfMemory& e) {
        return {"out-of-memory", ErrorDisplayText(e.Message()), file, file.has_value()};
    } catch (const EInvalidOp& e) {
        return {"empty-area", ErrorDisplayText(e.Message()), std::nullopt};
    } catch (const Exception& e) {
        return {"error", ErrorDisplayText(e.Message()), file, file.has_value()};
    } catch (const std::bad_alloc&) {
        return {"out-of-memory", ErrorDisplayText(msg::OutOfMemory), file, file.has_value()};
    } catch (const std::exception& e) {
        return {"error", ErrorDisplayText(e.what()), file, file.has_value()};
    }
}

struct Input {
    std::string file;
    TPicture picture;
    const Route* route = nullptr;
    // Kept open: a bitmap may point into it, and it is checked once the
    // pixels have been compared.
    std::shared_ptr<const FileBytes> bytes;
    LoadOutcome outcome = LoadOutcome::LoadError;
    LoadDetails details;
    std::exception_ptr error;
};

void Load(Input& in) {
    try {
        in.route = FindRoute(in.file, RouteUser::CommandLine);
        if (!in.route) {
            in.outcome = LoadOutcome::UnknownFormat;
            return;
        }
        in.bytes = FileBytes::Open(in.file);
        // One short run reads each file once: BMP rows are compared where
        // they lie instead of being copied first.
        in.outcome = LoadFileBytes(*in.route, in.bytes, in.picture, kDefaultLimits, true, &in.details);
    } catch (...) {
        in.error = std::current_exception();
    }
}

const TBitmap& BitmapOf(const Input& in) {
    if (in.error) throw Classify(in.error, in.file);
    if (in.outcome == LoadOutcome::UnknownFormat) throw Failure{"unknown-format", kUnknownFormat, in.file, true};
    const auto* bitmap = dynamic_cast<const TBitmap*>(in.picture.Graphic());
    // A decoder that did not object but gave nothing: a file of no bytes, or
    // one that ends before its first picture.
    if (in.outcome == LoadOutcome::LoadError && in.details.error.empty())
        throw Failure{"no-pixels", in.file + " has no pixels (0 x 0)", in.file};
    if (bitmap && (bitmap->Width() <= 0 || bitmap->Height() <= 0))
        throw Failure{"no-pixels",
                      in.file + " has no pixels (" + std::to_string(bitmap->Width()) + " x " +
                          std::to_string(bitmap->Height()) + ")",
                      in.file};
    if (in.outcome != LoadOutcome::Loaded || !bitmap) {
        std::string message = kLoadError;
        // The decoder's own reason, so that the message says what is wrong.
        if (!in.details.error.empty()) message += "\n" + ErrorDisplayText(in.details.error);
        throw Failure{"load-error", message, in.file, true};
    }
    return *bitmap;
}

PictureInfo InfoOf(const Input& in, const TBitmap& b) {
    PictureInfo p{in.file, b.Width(), b.Height(), std::string(in.route->format)};
    p.alpha = !in.details.side.alpha.empty();
    p.bitDepth = in.details.bitDepth ? in.details.bitDepth : 8;
    p.warnings = in.details.warnings;
    return p;
}

// Non-matching pixels accepted by the limits given; none when none is given.
std::uint64_t Accepted(const Options& o, std::uint64_t counted) {
    std::uint64_t accepted = o.maxNonMatching || o.maxNonMatchingShare ? counted : 0;
    if (o.maxNonMatching) accepted = std::min(accepted, *o.maxNonMatching);
    if (o.maxNonMatchingShare) {
        const long double share = static_cast<long double>(*o.maxNonMatchingShare) / 100.0L;
        accepted =
            std::min(accepted, static_cast<std::uint64_t>(std::floor(share * static_cast<long double>(counted))));
    }
    return accepted;
}

// A PNG difference picture is deflated block by block as the comparison
// makes its rows, on the comparison's threads, so no bitmap is made for it.
class PngDifference : public DifferenceRows {
public:
    PngDifference(int width, int height) : writer_(width, height) {}
    void Block(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        writer_.Block(y0, y1, rows, stride);
    }
    void Save(const std::string& file) { writer_.Save(file); }  // a temporary name

private:
    PngBlockWriter writer_;
};

// Failures of writing the difference picture name its file.
template <class F>
void Writing(const std::string& file, F write) {
    try {
        write();
    } catch (const Failure&) {
        throw;
    } catch (...) {
        throw Classify(std::current_exception(), file);
    }
}

// The difference picture must never be written over an input.
void CheckOutputIsNoInput(const Options& options) {
    if (!options.diffFile) return;
    const std::pair<const char*, const std::string*> inputs[] = {
        {"the left picture", &options.left},
        {"the right picture", &options.right},
        {"the mask", options.maskFile ? &*options.maskFile : nullptr},
    };
    for (const auto& [what, name] : inputs)
        if (name && SameFile(*options.diffFile, *name))
            throw Failure{"usage",
                          "--diff " + *options.diffFile + " is the same file as " + what + " " + *name +
                              ": the difference picture would overwrite it",
                          std::nullopt};
}

// Warnings of the inputs go to standard error; with --strict the first one
// fails the run.
void ReportWarnings(const std::string& file, const std::vector<DecodeWarning>& warnings, bool strict) {
    for (const DecodeWarning& w : warnings)
        std::cerr << "Warning: " << Printable(file) << ": " << w.message << " (" << w.kind << ")\n";
    if (strict && !warnings.empty()) throw Failure{"damaged", file + " is damaged: " + warnings.front().message, file};
}

int Run(const Options& options) {
    CheckOutputIsNoInput(options);
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
    report.left = InfoOf(left, a);
    report.right = InfoOf(right, b);
    const int width = std::max(0, std::min(a.Width(), b.Width()));
    const int height = std::max(0, std::min(a.Height(), b.Height()));

    SpanRows ignore;
    for (const IgnoreRectangle& r : options.ignore) AddRectangle(ignore, width, height, r.x, r.y, r.width, r.height);
    Input mask;
    if (options.maskFile) {
        mask.file = *options.maskFile;
        Load(mask);
        const TBitmap& m = BitmapOf(mask);
        if (m.Width() != width || m.Height() != height)
            throw Failure{"mask-size",
                          "The mask is " + std::to_string(m.Width()) + " x " + std::to_string(m.Height()) +
                              " pixels; the compared area is " + std::to_string(width) + " x " +
                              std::to_string(height) + ".",
                          mask.file, true};
        AddSpans(ignore, MaskSpans(m));
        mask.bytes->CheckIntact();
        report.maskFile = mask.file;
        report.maskWarnings = mask.details.warnings;
    }
    report.ignoreRectangles = options.ignore.size();
    const bool ignoring = !options.ignore.empty() || options.maskFile;

    TBitmap difference;
    SpanRows changes;
    CompareOptions compare;
    compare.threads = options.threads;
    std::unique_ptr<PngDifference> png;
    if (options.diffFile && OpenExtension(*options.diffFile) == ".png" && width > 0 && height > 0) {
        png = std::make_unique<PngDifference>(width, height);
        compare.differenceRows = png.get();
    }
    compare.writeDifference = options.diffFile.has_value() && !png;
    compare.ignore = ignoring ? &ignore : nullptr;
    compare.changes = &changes;
    compare.matchingBin = options.MatchingBin();
    report.result = CountSimilarity(a, b, difference, compare);
    // A file cut short meanwhile read as zeros; its figures are not to be trusted.
    for (const Input* in : {&left, &right}) try {
            in->bytes->CheckIntact();
        } catch (...) {
            throw Classify(std::current_exception(), in->file);
        }

    if (!left.details.side.Empty() || !right.details.side.Empty()) {
        SpanRows extra;
        report.side = CompareSidePlanes({&a, &left.details.side}, {&b, &right.details.side}, width, height,
                                        compare.ignore, compare.matchingBin, extra);
        AddSpans(changes, extra);
    }
    for (const Input* in : {&left, &right, &mask})
        if (!in->file.empty()) ReportWarnings(in->file, in->details.warnings, options.strict);
    if (report.result.CountedPixels() == 0)
        throw Failure{"empty-area",
                      "Nothing left to compare: the ignored areas and the mask cover all " + std::to_string(width) +
                          " x " + std::to_string(height) + " pixels",
                      std::nullopt};
    report.histogram = Normalise(report.result.counts, report.result.CountedPixels());
    for (int k = 0; k < compare.matchingBin; ++k) report.nonMatching += report.result.counts[k];
    report.nonMatching += report.side.extraNonMatching;

    const std::uint64_t counted = report.result.CountedPixels();
    if (options.maxNonMatching && *options.maxNonMatching >= counted)
        throw Failure{"usage",
                      "--max-changed " + std::to_string(*options.maxNonMatching) + " accepts all " +
                          std::to_string(counted) + " counted pixels: the check could not fail",
                      std::nullopt};
    report.tolerance = {options.tolerance, options.maxNonMatching, options.maxNonMatchingShare,
                        Accepted(options, counted)};
    report.regions = FindRegions(changes, options.regionGap, options.maxRegions);
    report.regionGap = options.regionGap;

    // The picture goes to a temporary file and takes the target's name only
    // once the whole run has succeeded, the report printed included.
    std::optional<ReplacingFile> output;
    if (options.diffFile) {
        Writing(*options.diffFile, [&] {
            output.emplace(*options.diffFile);
            if (png)
                png->Save(output->TempPath());
            else
                difference.SaveFile(output->TempPath());
        });
        report.diffFile = options.diffFile;
    }
    std::cout << (options.json ? JsonReport(report) : TextReport(report)) << std::flush;
    if (!std::cout) throw Failure{"write-error", "The report could not be written to standard output", std::nullopt};
    if (output) Writing(*options.diffFile, [&] { output->Commit(); });
    return report.WithinTolerance() ? kExitSame : kExitDifferent;
}

// The message as a terminal shows it: the names in it escaped.
std::string Shown(std::string message, const Options& options) {
    std::vector<const std::string*> names{&options.left, &options.right};
    if (options.maskFile) names.push_back(&*options.maskFile);
    if (options.diffFile) names.push_back(&*options.diffFile);
    // Longer names first, so that a name inside another is not replaced in it.
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    for (const std::string* name : names) {
        if (name->empty()) continue;
        const std::string shown = Printable(*name);
        if (shown == *name) continue;
        for (std::size_t at = message.find(*name); at != std::string::npos; at = message.find(*name, at + shown.size()))
            message.replace(at, name->size(), shown);
    }
    return message;
}

int Fail(const Failure& f, const Options& options) {
    const bool json = options.json;
    std::cerr << Shown(f.message, options) << "\n";
    if (f.withFileLine && f.file) std::cerr << "File: " << Printable(*f.file) << "\n";
    if (json) {
        // One line of the message: the box text and the reason joined.
        std::string message = f.message;
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::cout << JsonError(f.kind, message, f.file) << std::flush;
    }
    return kExitError;
}

}  // namespace
}  // namespace duvo::cli

int main(int argc, char** argv) {
    using namespace duvo::cli;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool json = WantsJson(args);
    Options options;
    try {
        options = ParseOptions(args);
    } catch (const UsageError& e) {
        std::cerr << "duvo-compare: " << e.message << "\nTry 'duvo-compare --help'.\n";
        if (json) std::cout << JsonError("usage", e.message, std::nullopt) << std::flush;
        return kExitError;
    }
    if (options.print) {
        std::cout << *options.print;
        return kExitSame;
    }
    // A closed output pipe and a full file size limit are failures we report,
    // not signals that end us half-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return Run(options);
    } catch (const Failure& f) {
        if (f.kind == "usage") {
            std::cerr << "duvo-compare: " << Shown(f.message, options) << "\nTry 'duvo-compare --help'.\n";
            if (options.json) std::cout << JsonError("usage", f.message, std::nullopt) << std::flush;
            return kExitError;
        }
        return Fail(f, options);
    } catch (const duvo::EAbort&) {
        // A silent cancel, as everywhere in the program.
        return kExitError;
    } catch (...) {
        return Fail(Classify(std::current_exception(), std::nullopt), options);
    }
}
