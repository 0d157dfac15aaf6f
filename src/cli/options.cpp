#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "loading/open_routes.h"

#ifndef DUVO_VERSION
#define DUVO_VERSION "1.0"
#endif

namespace duvo::cli {

const char* const kVersion = DUVO_VERSION;

namespace {

// "BMP (.bmp), JPEG (.jpg), ..., TIFF (.tif, .tiff)" from the route table,
// so that a new route shows up here by itself; the rows of one format that
// follow each other share its name.
std::string FormatList() {
    std::string list;
    std::string last;
    for (const Route& route : Routes()) {
        std::string name(route.format);
        if (name.empty())
            for (char c : route.extension.substr(1))
                name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!list.empty() && name == last) {
            list.insert(list.size() - 1, ", " + std::string(route.extension));
            continue;
        }
        if (!list.empty()) list += ", ";
        list += name + " (" + std::string(route.extension) + ")";
        last = name;
    }
    return list;
}

const std::string& Description() {
    static const std::string text =
        "Compares two pictures pixel by pixel over their common top-left area, as the DUVO\n"
        "desktop program does, and prints the share of pixels in seven similarity ranges.\n"
        "LEFT and RIGHT are picture files, chosen by their lower-cased extension:\n  " +
        FormatList() +
        ".\nA multi-page TIFF is compared by its first page, an animated WebP by its first frame.\n"
        "Transparent pixels are composed over white; 16-bit samples are rounded to 8 bits.\n"
        "Alpha and the bits below 8 are compared on their own: pictures that differ there are\n"
        "never reported identical.\n";
    return text;
}

const char* const kFooter = R"footer(
For each pixel, with c1 and c2 its packed 0x00BBGGRR colors, the similarity is
v = 16777215 - |c1 - c2| and its bin k = floor(100 * v / 16777215). The figures
are the share of bin 100 (identical colors) and of bins 90-99, 80-89, 70-79,
60-69, 50-59 and 0-49, in percent of the compared pixels that are not ignored.
JSON percentages are written with "%.21Lg" (every digit of the 64-bit
significand survives a round trip through a long double). The JSON report has
"schema": 2 (docs/json.md).

What matches: by default a pixel matches only when its two colors, its alpha
and its 16-bit samples are the same. --threshold T lets colors match whose
perceptual distance is at most T: colors composed over white, sRGB to linear
light to OKLab (Ottosson 2020), the lightness toe-corrected, and the HyAB
distance |dL| + sqrt(da^2 + db^2), so that black against white is 1 and a
threshold carries over from pixelmatch 8 or Playwright. --channel-tolerance N
lets colors match whose channels differ by at most N. Alpha must be equal
under every rule. --max-changed and --max-changed-share accept that many
non-matching pixels; --max-region-pixels accepts any number but fails on a
changed region larger than N pixels. Values that would make the check unable
to fail are refused; --threshold 1 is not one of them (black matches white,
but pure green against black is 1.139). Pictures of different sizes always
differ. The figures and histogram are always those of the packed colors,
whatever the rule.

Anti-aliasing (--antialiasing), as "Anti-aliased Pixel and Intensity Slope
Detector" (V. Vysniauskas, 2009) with pixelmatch's choices: a pixel that fails
the color rule is anti-aliasing when, in either picture, at most 2 of its 8
neighbours have its color, one is darker and one brighter (by Rec. 601 luma),
and the darkest or the brightest of them has 3 or more neighbours of its own
color in both pictures. Such pixels are counted as antialiasedPixels, drawn
yellow in the highlight picture, and never make the pictures different. A
one-pixel change between two flat areas looks the same and is counted so.

Exit status:
  0  same size, and no more non-matching pixels (and no larger changed
     region) than accepted; the report says why ("3 regions, largest 412 px")
  1  they differ (in size, in more non-matching pixels than accepted, or in a
     larger changed region)
  2  an error; its message goes to standard error (with --json, also a JSON
     object with "error" on standard output), e.g. "Cannot open file X.",
     "Nieznany format pliku graficznego !!!" (no route takes the extension),
     "Bląd przy wczytywaniu pliku graficznego !!!" with the decoder's reason,
     "FILE has no pixels (W x H)", or "Nothing left to compare: ..." when the
     ignored areas and the mask cover every pixel.
On two folders (and with --merge):
  0  every pair unchanged
  1  a pair changed (in its pixels or its size), was added or was removed
  2  a pair failed (a file that cannot be read, a link that leaves its tree
     or makes a loop, a pipe or device named like a picture, sizes that
     differ with --fail-on-size, a damaged file with --strict), or the run
     itself failed (a usage error, a folder that cannot be read, more than a
     million files and folders in a tree, --merge given a missing, repeated
     or foreign shard)
  A limit that accepts every pixel of one pair (--max-changed,
  --max-region-pixels) lets that pair pass in a folder run; it is refused
  only for two files.

Damaged files: a file cut short (BMP rows, GIF, JPEG, WebP or TIFF image
data that end early) is compared with what its decoder fills in, as the
desktop program does (WebP and TIFF: zeros), and each such file gets a
warning on standard error and in the JSON report ("warnings": kind
"truncated" or "corrupt"). --strict makes any warning a failure (exit 2,
kind "damaged").

The difference picture is never written over LEFT, RIGHT or the mask (that
is a usage error), and it is made without a name in OUT's folder and takes
OUT's name only when it is complete, before the report is printed: a failed
or interrupted run leaves an existing OUT as it was. A link OUT stays a
link; an OUT that is no regular file is refused. --junit FILE may not lie
inside either folder nor be a --merge input.

Names and values in messages and in the text report show control characters
as escapes (\n, \x1b) and a backslash as \\; JSON keeps them as they are.
)footer";

IgnoreRectangle ParseRectangle(const std::string& text) {
    IgnoreRectangle r;
    std::int64_t* fields[] = {&r.x, &r.y, &r.width, &r.height};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        const auto [next, ec] = std::from_chars(p, end, *fields[i]);
        const bool last = i == 3;
        if (ec != std::errc() || (last ? next != end : next == end || *next != ','))
            throw EUsageError("--ignore wants X,Y,W,H (four whole numbers), not \"" + text + "\"");
        p = next + 1;
    }
    const std::int64_t kSide = std::int64_t{1} << 32;
    if (r.width <= 0 || r.height <= 0 || std::llabs(r.x) > kSide || std::llabs(r.y) > kSide || r.width > kSide ||
        r.height > kSide)
        throw EUsageError("--ignore wants a positive width and height within 2^32, not \"" + text + "\"");
    return r;
}

constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();

// A whole decimal number from min to max, or a usage error that names the
// option: CLI11's own conversion lets a minus sign wrap round an unsigned
// type (-3 became 18446744073709551613) and takes hexadecimal.
std::uint64_t WholeNumber(const std::string& option, const std::string& text, std::uint64_t min,
                          std::uint64_t max = kAny) {
    std::uint64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [next, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || next != end || v < min || v > max)
        throw EUsageError(option + " wants a whole number " +
                          (max == kAny ? "of " + std::to_string(min) + " or more"
                                       : "from " + std::to_string(min) + " to " + std::to_string(max)) +
                          ", not \"" + text + "\"");
    return v;
}

// RRGGBB (with or without #) as 0x00BBGGRR.
std::uint32_t ParseColor(const std::string& text, const char* option) {
    const std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    std::uint32_t rgb = 0;
    const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), rgb, 16);
    if (hex.size() != 6 || ec != std::errc() || end != hex.data() + hex.size())
        throw EUsageError(std::string(option) + " wants a color as RRGGBB, not \"" + text + "\"");
    return ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
}

}  // namespace

bool WantsJson(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--json") return true;
    }
    return false;
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    FileComparisonRequest& o = options.request;
    CLI::App app(Description(), "duvo-compare");
    app.footer(kFooter);
    app.set_help_flag("-h,--help", "show this text and exit");
    app.set_version_flag("--version", std::string("duvo-compare ") + kVersion + " (JSON schema 2)",
                         "show the version and exit");
    app.add_option("LEFT", o.left, "the left picture, or the base folder");
    app.add_option("RIGHT", o.right, "the right picture, or the new folder");
    app.add_flag("--fail-on-size", options.failOnSize,
                 "folders: a pair of pictures of different sizes is a failed pair (exit 2), not a changed one");
    std::string shard;
    app.add_option("--shard", shard,
                   "folders: compare every N-th pair starting at the I-th (1-based), for a CI matrix; merge the "
                   "shards' --json reports with --merge")
        ->type_name("I/N");
    std::string junit, report;
    app.add_option("--junit", junit, "folders: write JUnit XML to FILE, one test case per pair")->type_name("FILE");
    app.add_option("--report", report,
                   "folders: write a static HTML report to DIR (opens from file://, needs no network)")
        ->type_name("DIR");
    app.add_option("--merge", options.merge,
                   "merge the --json reports of folder runs (shards) into one report (with --json, --junit, "
                   "--report) instead of comparing; or their --junit files into one (to --junit or stdout)")
        ->type_name("FILE...")
        ->expected(1, -1);
    app.add_flag("--json", options.json, "print one JSON object instead of the text report (fields: docs/json.md)");
    std::string diff;
    app.add_option("--diff", diff,
                   "write the difference picture to OUT: .png as PNG, .bmp as an uncompressed 24-bit BMP "
                   "(see --diff-style); with two folders, OUT is a folder for a PNG of each pair that differs")
        ->type_name("OUT");
    std::string style = "duvo";
    app.add_option("--diff-style", style,
                   "duvo: each pixel's similarity v as its color, identical pixels white, ignored ones light grey; "
                   "highlight: the left picture faded to grey, non-matching pixels red where the right one is "
                   "darker and green where brighter, anti-aliased ones yellow, ignored areas hatched grey; "
                   "mask: the non-matching pixels on transparent (PNG only)")
        ->type_name("STYLE")
        ->check(CLI::IsMember({"duvo", "highlight", "mask"}));
    std::string diffColor, aaColor;
    app.add_option("--diff-color", diffColor,
                   "the color of non-matching pixels in highlight and mask pictures: RRGGBB (where the right "
                   "picture is darker) and optionally ,RRGGBB (where brighter); default FF0000,00C000")
        ->type_name("COLOR[,COLOR]");
    app.add_option("--aa-color", aaColor, "the color of anti-aliased pixels in highlight pictures (default FFE000)")
        ->type_name("COLOR");
    // Whole numbers are taken as text and converted by WholeNumber.
    std::string threads;
    app.add_option("--threads", threads, "compare on N threads (1 to 1024); default: all cores")->type_name("N");
    double threshold = 0;
    auto* thresholdOption =
        app.add_option("--threshold", threshold,
                       "a pixel matches when the perceptual distance of its colors is at most T (0 <= T <= 1; "
                       "black against white is 1; the distance pixelmatch 8 uses); default: only equal colors")
            ->type_name("T");
    std::string channelTolerance;
    auto* channelOption =
        app.add_option("--channel-tolerance", channelTolerance,
                       "a pixel matches when no channel differs by more than N (0 to 254), for re-encodes and "
                       "rounding; with --threshold both must hold")
            ->type_name("N");
    app.add_flag("--antialiasing", o.antialiasing,
                 "count pixels that differ only as anti-aliased edges do apart (antialiasedPixels); they never "
                 "make the pictures different (see Anti-aliasing below)");
    std::string maxRegion;
    auto* maxRegionOption =
        app.add_option("--max-region-pixels", maxRegion,
                       "accept scattered changes but fail when any changed region (touching pixels, see "
                       "--region-gap) has more than N pixels; non-matching pixels are then accepted unless "
                       "--max-changed or --max-changed-share limit them")
            ->type_name("N");
    std::string maxChanged;
    auto* maxChangedOption =
        app.add_option("--max-changed", maxChanged, "accept up to N non-matching pixels (default 0)")->type_name("N");
    double share = 0;
    auto* shareOption = app.add_option("--max-changed-share", share,
                                       "accept non-matching pixels up to P percent of the counted pixels (P < 100)")
                            ->type_name("P");
    std::string maxPixels, maxInput;
    app.add_option("--max-pixels", maxPixels,
                   "refuse pictures of more than N pixels at once, before their memory is taken (1 to 2^34; "
                   "default 2^29), and a frame that its format must hold whole (interlaced, progressive, "
                   "run-length) above 2N bytes")
        ->type_name("N");
    app.add_option("--max-input-bytes", maxInput,
                   "read at most N bytes from an input that is no regular file (a pipe, a device, <(command)); "
                   "default 2^31. Regular files are mapped, not read into memory")
        ->type_name("N");
    app.add_flag("--strict", o.strict,
                 "fail (exit 2, kind \"damaged\") when a file is cut short or damaged, instead of comparing the "
                 "pixels its decoder filled in");
    std::vector<std::string> rectangles;
    app.add_option("--ignore", rectangles, "leave out the rectangle X,Y,W,H (repeatable; cut to the compared area)")
        ->type_name("X,Y,W,H")
        ->allow_extra_args(false);
    std::string mask;
    app.add_option("--mask", mask,
                   "leave out the non-white pixels of a picture of the compared area's size (any format read)")
        ->type_name("FILE");
    std::string regionGap, maxRegions;
    app.add_option("--region-gap", regionGap,
                   "changed regions at most G pixels apart are merged (0 to 4096; default 0: touching pixels only)")
        ->type_name("G");
    app.add_option("--max-regions", maxRegions, "list at most N changed regions in JSON (0 to 2^20; default 100)")
        ->type_name("N");

    // The retired option in any form, with its value, without one or with
    // the files after it taken for its value, says what replaced it.
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--tolerance" || a.rfind("--tolerance=", 0) == 0)
            throw EUsageError(
                "--tolerance is no more: it matched similarity bins of the packed colors, so that black matched "
                "pure red; use --threshold T (the perceptual distance, 0 to 1) or --channel-tolerance N (0 to 254)");
    }

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        options.print = app.help();
        return options;
    } catch (const CLI::CallForVersion& e) {
        options.print = std::string(e.what()) + "\n";
        return options;
    } catch (const CLI::ParseError& e) {
        throw EUsageError(e.what());
    }
    if (!options.merge.empty()) {
        if (!o.left.empty() || !o.right.empty())
            throw EUsageError("--merge takes the reports of shards, not LEFT and RIGHT");
    } else if (o.left.empty() || o.right.empty()) {
        throw EUsageError("LEFT and RIGHT are required (two pictures, or two folders)");
    }
    if (options.merge.empty()) {
        // An existing folder makes it a run over folders, so a mistyped
        // other one is named as such, not read as a picture.
        std::error_code ec;
        const bool leftFolder = std::filesystem::is_directory(o.left, ec);
        const bool rightFolder = std::filesystem::is_directory(o.right, ec);
        if (leftFolder != rightFolder)
            throw EUsageError((leftFolder ? o.right : o.left) + " is not a folder, but " +
                              (leftFolder ? o.left : o.right) + " is: give two folders or two pictures");
        options.folders = leftFolder;
    } else {
        options.folders = true;
    }
    if (app.count("--shard")) {
        const auto slash = shard.find('/');
        const auto part = [&](std::size_t from, std::size_t to) {
            std::uint64_t v = 0;
            const char* end = shard.data() + to;
            const auto [next, ec] = std::from_chars(shard.data() + from, end, v);
            return ec == std::errc() && next == end && v <= 1u << 20 ? static_cast<int>(v) : 0;
        };
        const int i = slash == std::string::npos ? 0 : part(0, slash);
        const int n = slash == std::string::npos ? 0 : part(slash + 1, shard.size());
        if (n < 1 || i < 1 || i > n)
            throw EUsageError("--shard wants I/N with 1 <= I <= N <= 1048576, not \"" + shard + "\"");
        options.shardIndex = i;
        options.shardCount = n;
    }
    if (app.count("--diff")) {
        // With two folders it names a folder for the pairs' pictures.
        const std::string ext = OpenExtension(diff);
        if (!options.folders && ext != ".png" && ext != ".bmp")
            throw EUsageError("--diff: the file name must end in .png or .bmp");
        o.diff = diff;
    }
    if (app.count("--junit")) options.junit = junit;
    if (app.count("--report")) options.report = report;
    if (!options.folders && (options.junit || options.report || app.count("--shard") || options.failOnSize))
        throw EUsageError("--junit, --report, --shard and --fail-on-size are for two folders");
    if (app.count("--threads")) o.threads = static_cast<unsigned>(WholeNumber("--threads", threads, 1, 1024));
    // One number for both: the pixels, and twice as many bytes for a frame held whole.
    if (app.count("--max-pixels"))
        o.limits = WithPixelLimit(o.limits, WholeNumber("--max-pixels", maxPixels, 1, std::uint64_t{1} << 34));
    if (app.count("--max-input-bytes"))
        o.limits.inputBytes = WholeNumber("--max-input-bytes", maxInput, 1, std::uint64_t{1} << 40);
    if (app.count("--region-gap")) o.regionGap = static_cast<int>(WholeNumber("--region-gap", regionGap, 0, 4096));
    if (app.count("--max-regions"))
        o.maxRegions = static_cast<std::size_t>(WholeNumber("--max-regions", maxRegions, 0, 1u << 20));
    if (thresholdOption->count()) {
        // Black against white is 1; brighter pairs go a little further
        // (green against black is 1.139), so 1 still fails on those.
        if (!(threshold >= 0 && threshold <= 1)) throw EUsageError("--threshold wants a distance from 0 to 1");
        o.threshold = threshold;
    }
    if (channelOption->count()) {
        if (channelTolerance == "255")
            throw EUsageError("--channel-tolerance 255 lets every color match: the check could not fail");
        o.channelTolerance = static_cast<int>(WholeNumber("--channel-tolerance", channelTolerance, 0, 254));
    }
    if (maxRegionOption->count()) o.maxRegionPixels = WholeNumber("--max-region-pixels", maxRegion, 0);
    o.diffStyle = style == "highlight" ? DifferenceStyle::Highlight
                  : style == "mask"    ? DifferenceStyle::Mask
                                       : DifferenceStyle::Similarity;
    if (app.count("--diff-color")) {
        const auto comma = diffColor.find(',');
        o.diffColors.darker = ParseColor(diffColor.substr(0, comma), "--diff-color");
        o.diffColors.brighter =
            comma == std::string::npos ? o.diffColors.darker : ParseColor(diffColor.substr(comma + 1), "--diff-color");
    }
    if (app.count("--aa-color")) o.diffColors.antialiased = ParseColor(aaColor, "--aa-color");
    if (maxChangedOption->count()) o.maxNonMatching = WholeNumber("--max-changed", maxChanged, 0);
    if (shareOption->count()) {
        if (!(share >= 0) || !std::isfinite(share))
            throw EUsageError("--max-changed-share: a percentage of at least 0 is needed");
        if (share >= 100) throw EUsageError("--max-changed-share: 100 % or more would accept every picture");
        o.maxNonMatchingShare = share;
    }
    for (const std::string& r : rectangles) o.ignore.push_back(ParseRectangle(r));
    if (app.count("--mask")) {
        if (mask.empty()) throw EUsageError("--mask wants a file name");
        o.mask = mask;
    }
    return options;
}

}  // namespace duvo::cli
