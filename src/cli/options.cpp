#include "cli/options.h"

#include <charconv>

namespace duvo::cli {

const char* const kHelpText =
    R"(Usage: duvo-compare [options] LEFT RIGHT

Compares two pictures pixel by pixel over their common top-left area, as the
DUVO desktop program does, and prints the share of pixels in seven similarity
ranges.

LEFT and RIGHT are picture files, accepted exactly as the desktop program's
open command accepts them: by their lower-cased extension (".bmp", and the
JPEG and GIF routes where they are built in: ".jpg", ".gif").

For each pixel, with c1 and c2 its packed 0x00BBGGRR colors, the similarity
is v = 16777215 - |c1 - c2| and its bin k = floor(100 * v / 16777215). The
figures are the share of bin 100 (identical colors) and of bins 90-99, 80-89,
70-79, 60-69, 50-59 and 0-49, in percent of the compared pixels.

Options:
  --json          print one JSON object instead of the text report: both files
                  with their sizes, the compared area, the pixel count, the
                  seven figures (caption, value, text), the whole 101-bin
                  histogram in percent and the raw counts per bin. Percentages
                  are written with "%.21Lg" (every digit of the 64-bit
                  significand survives a round trip through a long double).
  --diff OUT      write the difference picture (each pixel's v as its color,
                  identical pixels white) to OUT as an uncompressed 24-bit BMP.
  --threads N     compare on N threads (N >= 1); default: all cores.
  -h, --help      show this text and exit.
  --              end of options.

Output: both picture sizes, the compared area, a note when the sizes differ
(the common area is compared), then the seven figures with the captions of the
desktop program's percentages window, numbers in its general format (15
significant digits) with "." as the decimal separator.

Exit status:
  0  the pictures have the same size and every compared pixel the same color
  1  they differ (in size, or in at least one pixel)
  2  an error; its message goes to standard error, e.g. "Cannot open file X.",
     "Nieznany format pliku graficznego !!!" (no route takes the extension) or
     "Bląd przy wczytywaniu pliku graficznego !!!" (the decoder rejected the
     file), or "Invalid floating point operation." when the common area is
     empty.
)";

namespace {

unsigned ParseThreads(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value == 0 || value > 1024)
        throw UsageError{"--threads wants a whole number from 1 to 1024, not \"" + text + "\""};
    return value;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            files.push_back(a);
            continue;
        }
        // "--name value" and "--name=value" both work for the options with values.
        auto value = [&](const std::string& name) -> std::string {
            if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=')
                return a.substr(name.size() + 1);
            if (i + 1 >= args.size()) throw UsageError{name + " wants a value"};
            return args[++i];
        };
        auto is = [&](const std::string& name) {
            return a == name || (a.compare(0, name.size() + 1, name + "=") == 0);
        };
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (is("--diff")) {
            o.diffFile = value("--diff");
            if (o.diffFile->empty()) throw UsageError{"--diff wants a file name"};
        } else if (is("--threads")) {
            o.threads = ParseThreads(value("--threads"));
        } else {
            throw UsageError{"unknown option " + a};
        }
    }
    if (o.help) return o;
    if (files.size() != 2)
        throw UsageError{files.size() < 2 ? "two picture files are needed" : "too many file names"};
    o.left = files[0];
    o.right = files[1];
    return o;
}

}  // namespace duvo::cli
