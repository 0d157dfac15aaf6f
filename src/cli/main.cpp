// duvo-compare: the comparison engine on the command line. Parse the
// options, compare the files, print the report; everything else is the
// core's.
#include <poll.h>

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

// Whether standard output is a pipe whose reader has gone (or no file at
// all): a report written there is lost.
bool ReaderGone() {
    pollfd p{1, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLNVAL)) != 0;
}

ECompareFailure ReportNotWritten() {
    return ECompareFailure("write-error", "The report could not be written to standard output");
}

void PrintWarnings(const std::string& file, const std::vector<DecodeWarning>& warnings,
                   const std::vector<std::string>& names) {
    for (const DecodeWarning& w : warnings)
        std::cerr << "Warning: " << Printable(file) << ": " << ShownText(w.message, names) << " ("
                  << ShownText(w.kind, names) << ")\n";
}

int Run(const Options& options, const std::vector<std::string>& args) {
    FileComparison report = CompareFiles(options.request);
    PrintWarnings(report.left.file, report.left.warnings, args);
    PrintWarnings(report.right.file, report.right.warnings, args);
    if (report.maskFile) PrintWarnings(*report.maskFile, report.maskWarnings, args);
    const std::string text = options.json ? JsonReport(report) : TextReport(report);
    // The difference picture takes its name before the report that names it
    // is printed, so a report never names a picture that was not written. A
    // reader that has gone away would never see the report, and then the
    // old picture stays; a standard output that fails while it is written
    // (a full disk) is known only afterwards, when the new picture is in place.
    if (report.pendingDiff) {
        if (ReaderGone()) throw ReportNotWritten();
        try {
            report.pendingDiff->Commit();
        } catch (...) {
            throw FailureOf(std::current_exception(), report.diffFile);
        }
    }
    std::cout << text << std::flush;
    if (!std::cout) throw ReportNotWritten();
    return report.WithinTolerance() ? kExitSame : kExitDifferent;
}

int Fail(const ECompareFailure& f, const Options& options, std::vector<std::string> names) {
    if (f.File()) names.push_back(*f.File());
    // Only one JSON document goes to standard output: none after a report
    // that failed half-way.
    const bool json = options.json && std::cout.good();
    if (f.Kind() == "usage") {
        std::cerr << "duvo-compare: " << ShownText(f.Message(), names) << "\nTry 'duvo-compare --help'.\n";
        if (json) std::cout << JsonError("usage", f.Message(), std::nullopt) << std::flush;
        return f.ExitStatus();
    }
    std::cerr << ShownText(f.Message(), names) << "\n";
    if (f.FileLine() && f.File()) std::cerr << "File: " << Printable(*f.File()) << "\n";
    if (json) {
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
        return options.folders ? RunFolders(options) : Run(options, args);
    } catch (const duvo::EAbort&) {
        // A silent cancel, as everywhere in the program.
        return 2;
    } catch (...) {
        return Fail(duvo::FailureOf(std::current_exception(), std::nullopt), options, args);
    }
}
