#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>

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
"schema": 1; within schema 1 fields are only ever added.

Checks are strict by default: a pixel matches only in bin 100 with the same
alpha and the same 16-bit samples. --tolerance N lets bins 100-N to 100 match
(then differences below 8 bits match too); --max-changed and
--max-changed-share accept that many non-matching pixels. Values that would
make the check unable to fail are refused. Pictures of different sizes always
differ. The figures and histogram are those of the whole comparison, whatever
the tolerance.

Exit status:
  0  same size, and every counted pixel matches (within the tolerances)
  1  they differ (in size, or in more non-matching pixels than accepted)
  2  an error; its message goes to standard error (with --json, also a JSON
     object with "error" on standard output), e.g. "Cannot open file X.",
     "Nieznany format pliku graficznego !!!" (no route takes the extension),
     "Bląd przy wczytywaniu pliku graficznego !!!" with the decoder's reason,
     "FILE has no pixels (W x H)", or "Nothing left to compare: ..." when the
     ignored areas and the mask cover every pixel.

Damaged files: a file cut short (BMP rows, GIF, JPEG, WebP or TIFF image
data that end early) is compared with what its decoder fills in, as the
desktop program does (WebP and TIFF: zeros), and each such file gets a warning on standard error and in the JSON
report ("warnings": kind "truncated" or "corrupt"). --strict makes any
warning a failure (exit 2, kind "damaged").

The difference picture is never written over LEFT, RIGHT or the mask (that
is a usage error), and it is written to a temporary file beside OUT that
takes OUT's name only when the run succeeds: a failed or interrupted run
leaves an existing OUT as it was.
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
    app.set_version_flag("--version", std::string("duvo-compare ") + kVersion + " (JSON schema 1)",
                         "show the version and exit");
    app.add_option("LEFT", o.left, "the left picture")->required();
    app.add_option("RIGHT", o.right, "the right picture")->required();
    app.add_flag("--json", options.json, "print one JSON object instead of the text report (fields: docs/json.md)");
    std::string diff;
    app.add_option("--diff", diff,
                   "write the difference picture (each pixel's v as its color, identical pixels white, "
                   "ignored pixels light grey) to OUT: .png as PNG, .bmp as an uncompressed 24-bit BMP")
        ->type_name("OUT");
    app.add_option("--threads", o.threads, "compare on N threads; default: all cores")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u));
    app.add_option("--tolerance", o.tolerance, "pixels in bins 100-N to 100 match (default 0: only identical colors)")
        ->type_name("N")
        ->check(CLI::Range(0, 99));
    std::uint64_t maxChanged = 0;
    auto* maxChangedOption =
        app.add_option("--max-changed", maxChanged, "accept up to N non-matching pixels (default 0)")->type_name("N");
    double share = 0;
    auto* shareOption = app.add_option("--max-changed-share", share,
                                       "accept non-matching pixels up to P percent of the counted pixels (P < 100)")
                            ->type_name("P");
    app.add_option("--max-pixels", o.limits.pixels,
                   "refuse pictures of more than N pixels at once, before their memory is taken (default 2^29)")
        ->type_name("N")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 34));
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
    app.add_option("--region-gap", o.regionGap,
                   "changed regions at most G pixels apart are merged (default 0: touching pixels only)")
        ->type_name("G")
        ->check(CLI::Range(0, 4096));
    app.add_option("--max-regions", o.maxRegions, "list at most N changed regions in JSON (default 100)")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 20));

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
    if (app.count("--diff")) {
        const std::string ext = OpenExtension(diff);
        if (ext != ".png" && ext != ".bmp") throw EUsageError("--diff: the file name must end in .png or .bmp");
        o.diff = diff;
    }
    if (maxChangedOption->count()) o.maxNonMatching = maxChanged;
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
