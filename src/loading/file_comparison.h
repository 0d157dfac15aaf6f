// Two picture files compared as a command line asks: both opened by their
// extension as row sources, the ignored rectangles and the mask, the rule
// that decides what matches and how many non-matching pixels are accepted,
// the changed regions, and the difference picture written while the one pass
// makes its rows. Everything but the printing of the report; every failure
// is an ECompareFailure with its kind, its file and its exit status.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecs/row_source.h"
#include "compare/engine.h"
#include "compare/regions.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "rtl/output_file.h"

namespace duvo {

namespace msg {
// The desktop program's box texts for the two outcomes of loading.
inline constexpr const char* UnknownFormatBox = "Nieznany format pliku graficznego !!!";
inline constexpr const char* LoadErrorBox = "Bląd przy wczytywaniu pliku graficznego !!!";
}  // namespace msg

// What a comparison takes from one file unless told otherwise: pictures of
// up to 2^29 pixels (23170 x 23170), so that a small file declaring a huge
// picture is refused at once, and 1 GiB for a frame that its format must
// hold whole (WithPixelLimit).
constexpr Limits CommandLineLimits() { return WithPixelLimit(Limits{}, std::uint64_t{1} << 29); }

struct IgnoreRectangle {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
};

struct FileComparisonRequest {
    std::string left, right;
    std::optional<std::string> mask;  // non-white pixels are ignored
    std::optional<std::string> diff;  // .png or .bmp
    // The difference picture only for pictures that differ (by the verdict):
    // none is written when they do not.
    bool diffOnlyWhenChanged = false;
    std::vector<IgnoreRectangle> ignore;
    // The rule that decides whether a pixel matches; exact without either:
    // the same color, alpha and samples.
    std::optional<double> threshold;      // perceptual distance at most this, 0 <= T <= 1
    std::optional<int> channelTolerance;  // no channel differs by more than this, 0..254
    bool antialiasing = false;            // anti-aliased pixels are counted apart and match
    // The largest changed region accepted, in pixels.
    std::optional<std::uint64_t> maxRegionPixels;
    // Non-matching pixels accepted before the pictures count as different.
    std::optional<std::uint64_t> maxNonMatching;
    std::optional<double> maxNonMatchingShare;  // percent of the counted pixels, below 100
    // Any warning of a decoder (a cut or damaged file) is a failure.
    bool strict = false;
    // A limit that accepts every counted pixel is a usage error; a folder
    // run, whose limits are meant for many pairs, lets that pair pass.
    bool refuseLimitsThatCannotFail = true;
    int regionGap = 0;
    std::size_t maxRegions = 100;
    unsigned threads = 0;  // 0: every core
    Limits limits = CommandLineLimits();
    DifferenceStyle diffStyle = DifferenceStyle::Similarity;
    DifferenceColors diffColors;

    // The rule in words, for the reports.
    std::string RuleText() const;
};

struct PictureInfo {
    std::string file;
    int width = 0;
    int height = 0;
    std::string format;                   // the route's format name
    bool alpha = false;                   // some pixel may be less than opaque
    int bitDepth = 8;                     // bits per sample as stored (PNG), 8 for the others
    std::vector<DecodeWarning> warnings;  // what the decoder filled in
};

struct RuleInfo {
    std::string text;  // the rule in words
    std::optional<double> threshold;
    std::optional<int> channelTolerance;
    bool antialiasing = false;
    std::optional<std::uint64_t> maxNonMatching;
    std::optional<double> maxNonMatchingShare;
    std::optional<std::uint64_t> maxRegionPixels;
    std::uint64_t allowed = 0;  // the non-matching pixels accepted, both limits applied
};

struct FileComparison {
    PictureInfo left, right;
    CompareOutcome result;  // its change spans are grouped into regions
    SimilarityHistogram histogram{};
    std::optional<std::string> diffFile;
    std::optional<std::string> maskFile;
    std::vector<DecodeWarning> maskWarnings;
    std::size_t ignoreRectangles = 0;
    RuleInfo rule;
    std::uint64_t nonMatching = 0;  // counted pixels failing the rule, anti-aliased ones excluded
    std::uint64_t antialiased = 0;  // counted pixels that fail it only as anti-aliasing does
    RegionList regions;
    int regionGap = 0;
    // Why the verdict is what it is, e.g. "3 regions, largest 412 px > 100".
    std::string reason;
    // The difference picture, complete but without its name yet: Commit
    // gives it the name before the report that names it is printed;
    // dropping it drops the picture.
    std::unique_ptr<ReplacingFile> pendingDiff;

    bool SameSize() const { return left.width == right.width && left.height == right.height; }
    // Same size, and every counted pixel the same color, alpha and samples.
    bool Identical() const {
        return SameSize() && result.counts[100] == result.CountedPixels() && result.alphaDifferent == 0 &&
               result.belowEightBits == 0;
    }
    // What the exit status says: same size, no more non-matching pixels
    // than accepted, and no changed region larger than accepted.
    bool WithinTolerance() const {
        return SameSize() && nonMatching <= rule.allowed &&
               (!rule.maxRegionPixels || regions.largest <= *rule.maxRegionPixels);
    }
};

// A picture file opened for a comparison: the route that took it and its rows.
struct OpenedPicture {
    std::string file;
    const Route* route = nullptr;
    std::unique_ptr<RowSource> rows;
};

// Opens a file by its extension as rows. ECompareFailure of kind
// "unknown-format", "cannot-open", "read-error", "load-error" (with the
// decoder's reason), "no-pixels", "out-of-memory".
OpenedPicture OpenPicture(const std::string& file, const Limits& limits);

// The whole comparison. Usage errors that only the files can show (a
// --max-changed that accepts every pixel) are EUsageError; a --diff that
// names an input is one before anything is read.
FileComparison CompareFiles(const FileComparisonRequest& request);

// What an exception that escaped a comparison is, as the tool reports it;
// file is the file it concerns, if known.
ECompareFailure FailureOf(std::exception_ptr error, const std::optional<std::string>& file);

}  // namespace duvo
