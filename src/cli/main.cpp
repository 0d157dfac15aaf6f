// duvo-compare: the comparison engine on the command line. Parse the
// options, compare the files, print the report; everything else is the
// core's.
#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/folders.h"
#include "cli/options.h"
#include "cli/report.h"
#include "loading/file_comparison.h"

namespace duvo::cli {
namespace {

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;

// The message as a terminal shows it: the names in it escaped.
std::string Shown(std::string message, const FileComparisonRequest& request) {
    std::vector<const std::string*> names{&request.left, &request.right};
    if (request.mask) names.push_back(&*request.mask);
    if (request.diff) names.push_back(&*request.diff);
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

void PrintWarnings(const std::string& file, const std::vector<DecodeWarning>& warnings) {
    for (const DecodeWarning& w : warnings)
        std::cerr << "Warning: " << Printable(file) << ": " << w.message << " (" << w.kind << ")\n";
}

int Run(const Options& options) {
    FileComparison report = CompareFiles(options.request);
    PrintWarnings(report.left.file, report.left.warnings);
    PrintWarnings(report.right.file, report.right.warnings);
    if (report.maskFile) PrintWarnings(*report.maskFile, report.maskWarnings);
    std::cout << (options.json ? JsonReport(report) : TextReport(report)) << std::flush;
    if (!std::cout) throw ECompareFailure("write-error", "The report could not be written to standard output");
    // The difference picture takes its name only once the whole run has
    // succeeded, the report printed included.
    if (report.pendingDiff) try {
            report.pendingDiff->Commit();
        } catch (...) {
            throw FailureOf(std::current_exception(), report.diffFile);
        }
    return report.WithinTolerance() ? kExitSame : kExitDifferent;
}

int Fail(const ECompareFailure& f, const Options& options) {
    if (f.Kind() == "usage") {
        std::cerr << "duvo-compare: " << Shown(f.Message(), options.request) << "\nTry 'duvo-compare --help'.\n";
        if (options.json) std::cout << JsonError("usage", f.Message(), std::nullopt) << std::flush;
        return f.ExitStatus();
    }
    std::cerr << Shown(f.Message(), options.request) << "\n";
    if (f.FileLine() && f.File()) std::cerr << "File: " << Printable(*f.File()) << "\n";
    if (options.json) {
        // One line of the message: the box text and the reason joined.
        std::string message = f.Message();
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::cout << JsonError(f.Kind(), message, f.File()) << std::flush;
    }
    return f.ExitStatus();
}

}  // namespace
}  // namespace duvo::cli

int main(int argc, char** argv) {
    using namespace duvo::cli;
    const std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    options.json = WantsJson(args);
    // A closed output pipe and a full file size limit are failures we report,
    // not signals that end us half-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        options = ParseOptions(args);
        if (options.print) {
            std::cout << *options.print;
            return kExitSame;
        }
        return options.folders ? RunFolders(options) : Run(options);
    } catch (const duvo::EAbort&) {
        // A silent cancel, as everywhere in the program.
        return 2;
    } catch (...) {
        return Fail(duvo::FailureOf(std::current_exception(), std::nullopt), options);
    }
}
