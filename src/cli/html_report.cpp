#include "cli/html_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>

#include "cli/report/assets.h"
#include "codecs/png/png_writer.h"
#include "compare/compare_rows.h"
#include "compare/row_convert.h"
#include "loading/file_comparison.h"
#include "rtl/output_file.h"
#include "rtl/parallel.h"

namespace duvo::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPictureFolder = "pictures";
constexpr const char* kPageFiles[] = {"index.html", "report.js", "report.css"};

// ---- JSON for a script file -------------------------------------------------

void AppendHex4(std::string& out, unsigned v) {
    static const char digits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(v >> shift) & 0xF];
}

// The length of the UTF-8 sequence at s[i], or 0 when the bytes there are not
// one (overlong forms and surrogates included).
std::size_t Utf8Sequence(std::string_view s, std::size_t i, unsigned& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned b0 = byte(i);
    std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    code = n == 1 ? b0 : b0 & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

// A JSON string that is also safe inside a script: no "</script" or "<!--"
// can form (every "<", ">" and "&" is escaped), U+2028 and U+2029 (line ends
// to older script parsers) are escaped, and bytes that are not UTF-8 (a file
// name may hold any) become U+FFFD.
void AppendString(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        unsigned code = 0;
        const std::size_t n = Utf8Sequence(s, i, code);
        if (n == 0) {
            AppendHex4(out, 0xFFFD);
            ++i;
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code == '<' || code == '>' || code == '&' || code == 0x7F || code == 0x2028 ||
                   code == 0x2029) {
            AppendHex4(out, code);
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    out += '"';
}

void AppendOptional(std::string& out, const std::optional<std::string>& s) {
    if (s)
        AppendString(out, *s);
    else
        out += "null";
}

void Key(std::string& out, const char* name) {
    out += '"';
    out += name;
    out += "\":";
}

// ---- Files in the report folder ----------------------------------------------

[[noreturn]] void RaiseOutput(const std::string& file) { throw FailureOf(std::current_exception(), file); }

// The file's extension in lower case, with its dot.
std::string LowerExtension(const std::string& file) {
    std::string ext = fs::path(file).extension().string();
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

bool BrowserShows(const std::string& ext) {
    for (const char* shown : {".png", ".jpg", ".jpeg", ".gif", ".webp", ".bmp"})
        if (ext == shown) return true;
    return false;
}

// A picture of the pairs that could not be read: the pair gets a note instead.
struct Unreadable {
    std::string why;
};

[[noreturn]] void RaiseUnreadable(const std::string& file) {
    throw Unreadable{FailureOf(std::current_exception(), file).Message()};
}

// A file of the folder is made anew, never written through: an earlier
// file there may be a link to someone's picture.
void RemoveForNew(const fs::path& file) {
    std::error_code ignored;
    if (!fs::is_directory(fs::symlink_status(file, ignored))) fs::remove(file, ignored);
}

struct Descriptor {
    int fd;
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// A picture file opened for reading, known to be a regular file, with the
// size it had then. The open does not wait: a pipe named like a picture
// would otherwise block it until a writer came.
struct RegularFile {
    Descriptor in;
    off_t size = 0;
    explicit RegularFile(const std::string& file)
        : in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
        if (in.fd < 0) throw Unreadable{"Cannot open file " + file};
        struct stat st {};
        if (::fstat(in.fd, &st) != 0) throw Unreadable{"Cannot read file " + file};
        // A device would never end (/dev/zero), a pipe might never start.
        if (!S_ISREG(st.st_mode)) throw Unreadable{file + " is not a regular file"};
        size = st.st_size;
    }
};

// Copies a picture byte for byte, no more bytes than the file had when it
// was opened. The source failing is Unreadable; the copy failing is the
// report's error.
void CopyPicture(const std::string& from, const fs::path& to) {
    const std::string target = to.string();
    if (SameFile(from, target)) return;  // a report made from an earlier one's pictures
    const RegularFile source(from);
    const int in = source.in.fd;
    RemoveForNew(to);
    Descriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.fd < 0) throw ECompareFailure("cannot-create", "Cannot create file " + target, target);
    const auto writeError = [&] { return ECompareFailure("write-error", "Cannot write file " + target, target); };
    // The kernel copies without the bytes passing through here where it can;
    // where it cannot (another file system, an old kernel) it says so at
    // once, and the bytes go through a buffer, where a failure is known to
    // be the reading's or the writing's.
    off_t left = source.size;
    bool copied = false;
    while (!copied) {
        if (left == 0) {
            copied = true;
            break;
        }
        const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(left, off_t{1} << 30));
        const ssize_t n = ::copy_file_range(in, nullptr, out.fd, nullptr, chunk, 0);
        if (n == 0) {
            copied = true;  // the file got shorter since
            break;
        }
        if (n > 0) {
            left -= n;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) throw writeError();
        if (::lseek(in, 0, SEEK_SET) != 0 || ::ftruncate(out.fd, 0) != 0 || ::lseek(out.fd, 0, SEEK_SET) != 0)
            throw writeError();
        left = source.size;
        break;
    }
    std::vector<char> buffer(copied ? 0 : std::size_t{1} << 20);
    while (!copied && left > 0) {
        const ssize_t n = ::read(in, buffer.data(), static_cast<std::size_t>(std::min<off_t>(left, buffer.size())));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(out.fd);
            out.fd = -1;
            std::error_code ignored;
            fs::remove(to, ignored);
            throw Unreadable{"Cannot read file " + from};
        }
        if (n == 0) break;
        left -= n;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.fd, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) throw writeError();
            done += w;
        }
    }
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) throw writeError();
}

struct Scaled {
    bool written = false;  // false: the picture is no larger than asked, nothing was written
    int width = 0, height = 0;
    int sourceWidth = 0, sourceHeight = 0;
};

// Writes the picture in file as an 8-bit RGB PNG, box-filtered down so that
// its longest side is maxSide, or at its own size when maxSide is 0. A
// picture no larger than maxSide is left alone. Transparent pixels are
// composed over white, as the comparison sees them.
Scaled WriteScaledPng(const std::string& file, const fs::path& png, int maxSide) {
    OpenedPicture picture;
    {
        const RegularFile check(file);  // the decoders would wait on a pipe too
    }
    try {
        picture = OpenPicture(file, CommandLineLimits());
    } catch (...) {
        RaiseUnreadable(file);
    }
    RowSource& source = *picture.rows;
    const int w = source.Width(), h = source.Height();
    const int longest = std::max(w, h);
    if (maxSide > 0 && longest <= maxSide) return {false, w, h, w, h};
    const auto scale = [&](int side) {
        if (maxSide == 0) return side;
        return std::max(1, static_cast<int>((static_cast<std::int64_t>(side) * maxSide + longest / 2) / longest));
    };
    const int outW = scale(w), outH = scale(h);

    // Output pixel ox takes the source columns from colStart[ox] up to
    // colStart[ox + 1]; outW <= w, so none is empty. Rows likewise.
    std::vector<int> colStart(static_cast<std::size_t>(outW) + 1);
    for (int ox = 0; ox <= outW; ++ox)
        colStart[static_cast<std::size_t>(ox)] = static_cast<int>(static_cast<std::int64_t>(ox) * w / outW);
    const auto rowStart = [&](int oy) { return static_cast<int>(static_cast<std::int64_t>(oy) * h / outH); };

    const std::string target = png.string();
    std::unique_ptr<PngBlockWriter> writer;
    RemoveForNew(png);
    try {
        writer = std::make_unique<PngBlockWriter>(outW, outH, target);
    } catch (...) {
        RaiseOutput(target);
    }
    bool done = false;
    struct RemoveUnlessDone {
        const fs::path& png;
        const bool& done;
        ~RemoveUnlessDone() {
            std::error_code ignored;
            if (!done) fs::remove(png, ignored);
        }
    } cleanup{png, done};

    const compare_rows::RowReader reader(source.Format(), compare_rows::BestKernels());
    const std::size_t rowBytes = source.Format().RowBytes();
    const bool inPlace = source.RowInPlace(0) != nullptr;
    constexpr int kBand = 16;
    std::vector<std::uint8_t> band(inPlace ? 0 : rowBytes * kBand);
    std::vector<std::uint32_t> colors(compare_rows::kRunPixels);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(outW) * 3);
    constexpr int kOutBand = 64;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(outW) * 3 * kOutBand);
    int outY0 = 0, oy = 0, rowEnd = rowStart(1);

    for (int y0 = 0; y0 < h; y0 += kBand) {
        const int rows = std::min(kBand, h - y0);
        try {
            if (!inPlace) source.ReadRows(band.data(), static_cast<std::ptrdiff_t>(rowBytes), rows);
        } catch (...) {
            RaiseUnreadable(file);
        }
        for (int r = 0; r < rows; ++r) {
            const int y = y0 + r;
            const std::uint8_t* row = inPlace ? source.RowInPlace(y) : band.data() + rowBytes * r;
            int ox = 0;
            for (int x0 = 0; x0 < w; x0 += compare_rows::kRunPixels) {
                const int n = std::min(compare_rows::kRunPixels, w - x0);
                const std::uint32_t* c = reader.Colors(row, x0, n, colors.data());
                // Output column by output column, each taking the pixels of
                // the run that fall in its span.
                for (int i = 0; i < n;) {
                    const int spanEnd = colStart[static_cast<std::size_t>(ox) + 1] - x0;
                    const int end = std::min(spanEnd, n);
                    std::uint32_t b = 0, g = 0, red = 0;  // at most kRunPixels * 255
                    for (; i < end; ++i) {
                        b += (c[i] >> 16) & 0xFF;  // blue first, as the PNG writer takes rows
                        g += (c[i] >> 8) & 0xFF;
                        red += c[i] & 0xFF;
                    }
                    std::uint64_t* s = &sums[static_cast<std::size_t>(ox) * 3];
                    s[0] += b;
                    s[1] += g;
                    s[2] += red;
                    if (end == spanEnd) ++ox;
                }
            }
            if (y + 1 < rowEnd) continue;
            const std::uint64_t rowsIn = static_cast<std::uint64_t>(rowEnd - rowStart(oy));
            std::uint8_t* dst = out.data() + static_cast<std::size_t>(oy - outY0) * outW * 3;
            for (int k = 0; k < outW; ++k) {
                const std::uint64_t count =
                    rowsIn * static_cast<std::uint64_t>(colStart[static_cast<std::size_t>(k) + 1] -
                                                        colStart[static_cast<std::size_t>(k)]);
                for (int ch = 0; ch < 3; ++ch) {
                    std::uint64_t& s = sums[static_cast<std::size_t>(k) * 3 + ch];
                    dst[k * 3 + ch] = static_cast<std::uint8_t>((s + count / 2) / count);
                    s = 0;
                }
            }
            ++oy;
            if (oy - outY0 == kOutBand || oy == outH) {
                try {
                    writer->Block(outY0, oy, out.data(), static_cast<std::ptrdiff_t>(outW) * 3);
                } catch (...) {
                    RaiseOutput(target);
                }
                outY0 = oy;
            }
            if (oy < outH) rowEnd = rowStart(oy + 1);
        }
        source.Release(y0, y0 + rows);
    }
    try {
        source.Finish();
    } catch (...) {
        RaiseUnreadable(file);
    }
    try {
        writer->Finish();
    } catch (...) {
        RaiseOutput(target);
    }
    done = true;
    return {true, outW, outH, w, h};
}

// What a pair has in the report folder, as names relative to it.
struct PairFiles {
    std::optional<std::string> base, newer, diff, thumb;
    int thumbWidth = 0, thumbHeight = 0;
    // Sizes measured here, for pairs whose record has none (added, removed).
    int baseWidth = 0, baseHeight = 0, newWidth = 0, newHeight = 0;
    // Why a side that has a file shows none: the page puts this in its place.
    std::string baseWhy, newWhy;
    std::vector<std::string> notes;
    std::vector<std::string> written;  // file names in the picture folder
};

std::string Numbered(std::size_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return digits;
}

// Puts one picture of a pair into the folder; its name there, or none (and
// why) when it cannot be read.
std::optional<std::string> PlacePicture(const std::string& file, const fs::path& folder, const std::string& stem,
                                        PairFiles& files, std::string& why) {
    const std::string ext = LowerExtension(file);
    const std::string name = stem + (BrowserShows(ext) ? ext : ".png");
    try {
        if (BrowserShows(ext))
            CopyPicture(file, folder / name);
        else
            WriteScaledPng(file, folder / name, 0);
    } catch (const Unreadable& u) {
        why = u.why;
        return std::nullopt;
    }
    files.written.push_back(name);
    return std::string(kPictureFolder) + "/" + name;
}

PairFiles MakePairFiles(const ReportPair& pair, std::size_t index, const fs::path& folder) {
    PairFiles files;
    const std::string stem = Numbered(index + 1);
    // A failed pair's files are not copied: a link that leaves the tree
    // names a file of someone else's, a pipe or a device never ends, and a
    // damaged picture cannot be shown. Pictures whose only fault is their
    // sizes were read whole by the comparison and are what the pair is about.
    if (pair.status == "failed" && pair.failure != "size") {
        const std::string why = "Not copied into the report: the pair could not be compared.";
        if (pair.baseFile) files.baseWhy = why;
        if (pair.newFile) files.newWhy = why;
        return files;
    }
    if (pair.baseFile) files.base = PlacePicture(*pair.baseFile, folder, stem + "-base", files, files.baseWhy);
    if (pair.newFile) files.newer = PlacePicture(*pair.newFile, folder, stem + "-new", files, files.newWhy);
    if (pair.diffFile) {
        std::string why;
        files.diff = PlacePicture(*pair.diffFile, folder, stem + "-diff", files, why);
        if (!files.diff) files.notes.push_back("The difference picture is not in the report: " + why);
    }

    // The list shows what tells most at a glance: the difference where there
    // is one, else the new picture, else the base.
    const std::optional<std::string>* shown[] = {&files.diff, &files.newer, &files.base};
    const std::optional<std::string>* sources[] = {&pair.diffFile, &pair.newFile, &pair.baseFile};
    for (int k = 0; k < 3; ++k) {
        if (!*shown[k]) continue;
        const std::string name = stem + "-thumb.png";
        try {
            const Scaled s = WriteScaledPng(**sources[k], folder / name, kReportThumbnailSide);
            if (s.written) {
                files.thumb = std::string(kPictureFolder) + "/" + name;
                files.written.push_back(name);
            } else {
                files.thumb = *shown[k];
            }
            files.thumbWidth = s.width;
            files.thumbHeight = s.height;
            if (k == 1) files.newWidth = s.sourceWidth, files.newHeight = s.sourceHeight;
            if (k == 2) files.baseWidth = s.sourceWidth, files.baseHeight = s.sourceHeight;
            break;
        } catch (const Unreadable&) {
            // A picture the browser may still show as it is (a damaged
            // file copied byte for byte): the list shows the next one.
        }
    }
    return files;
}

// Whether name is one of the picture names this module gives: digits, a
// dash, a role and an extension.
bool ReportPictureName(const std::string& name) {
    std::size_t i = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
    if (i < 4 || i >= name.size() || name[i] != '-') return false;
    const std::string rest = name.substr(i + 1);
    for (const char* role : {"base.", "new.", "diff.", "thumb."}) {
        const std::string_view r(role);
        if (rest.size() > r.size() && rest.compare(0, r.size(), r) == 0) return true;
    }
    return false;
}

// Written beside the target and renamed over it, so that a page is never
// left half-written.
void WriteWholeFile(const fs::path& path, std::string_view bytes) {
    const std::string name = path.string();
    try {
        ReplacingFile file(name);
        {
            std::ofstream out(file.TempPath(), std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out) throw ECompareFailure("write-error", "Cannot write file " + name, name);
        }
        file.Commit();
    } catch (const ECompareFailure&) {
        throw;
    } catch (...) {
        RaiseOutput(name);
    }
}

void MakeFolder(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error || !fs::is_directory(path)) {
        const std::string name = path.string();
        throw ECompareFailure("cannot-create", "Cannot create folder " + name, name);
    }
}

std::string DataScript(const ReportSummary& summary, const std::vector<ReportPair>& pairs,
                       const std::vector<PairFiles>& files, const std::string& baseDir, const std::string& newDir,
                       const std::string& toolVersion) {
    std::string out = "window.DUVO_REPORT = {";
    Key(out, "tool");
    AppendString(out, toolVersion);
    out += ',';
    Key(out, "baseDir");
    AppendString(out, baseDir);
    out += ',';
    Key(out, "newDir");
    AppendString(out, newDir);
    out += ",\"summary\":{";
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"unchanged", summary.unchanged}, {"changed", summary.changed}, {"added", summary.added},
        {"removed", summary.removed},     {"failed", summary.failed},   {"skipped", summary.skipped}};
    for (const auto& [name, count] : counts) {
        if (out.back() != '{') out += ',';
        Key(out, name);
        out += std::to_string(count);
    }
    out += "},\n\"pairs\":[\n";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const ReportPair& p = pairs[i];
        const PairFiles& f = files[i];
        if (i > 0) out += ",\n";
        out += '{';
        Key(out, "path");
        AppendString(out, p.path);
        out += ',';
        Key(out, "status");
        AppendString(out, p.status);
        out += ',';
        Key(out, "message");
        AppendString(out, p.message);
        const std::pair<const char*, std::uint64_t> numbers[] = {
            {"width", static_cast<std::uint64_t>(p.width)},
            {"height", static_cast<std::uint64_t>(p.height)},
            {"baseWidth", static_cast<std::uint64_t>(p.baseWidth ? p.baseWidth : f.baseWidth)},
            {"baseHeight", static_cast<std::uint64_t>(p.baseWidth ? p.baseHeight : f.baseHeight)},
            {"newWidth", static_cast<std::uint64_t>(p.newWidth ? p.newWidth : f.newWidth)},
            {"newHeight", static_cast<std::uint64_t>(p.newWidth ? p.newHeight : f.newHeight)},
            {"counted", p.counted},
            {"nonMatching", p.nonMatching},
            {"antialiased", p.antialiased},
            {"thumbWidth", static_cast<std::uint64_t>(f.thumbWidth)},
            {"thumbHeight", static_cast<std::uint64_t>(f.thumbHeight)}};
        for (const auto& [name, value] : numbers) {
            out += ',';
            Key(out, name);
            out += std::to_string(value);
        }
        out += ',';
        Key(out, "rule");
        AppendString(out, p.rule);
        out += ',';
        Key(out, "verdict");
        AppendString(out, p.verdict);
        out += ',';
        Key(out, "base");
        AppendOptional(out, f.base);
        out += ',';
        Key(out, "new");
        AppendOptional(out, f.newer);
        out += ',';
        Key(out, "diff");
        AppendOptional(out, f.diff);
        out += ',';
        Key(out, "thumb");
        AppendOptional(out, f.thumb);
        out += ',';
        Key(out, "baseWhy");
        AppendString(out, f.baseWhy);
        out += ',';
        Key(out, "newWhy");
        AppendString(out, f.newWhy);
        out += ",\"figures\":[";
        for (std::size_t k = 0; k < p.figures.size(); ++k) {
            if (k > 0) out += ',';
            char number[40];
            std::snprintf(number, sizeof number, "%.17g", p.figures[k]);
            out += number;
        }
        out += "],\"regions\":[";
        for (std::size_t k = 0; k < p.regions.size(); ++k) {
            const ReportRegion& r = p.regions[k];
            if (k > 0) out += ',';
            out += '[' + std::to_string(r.x) + ',' + std::to_string(r.y) + ',' + std::to_string(r.width) + ',' +
                   std::to_string(r.height) + ',' + std::to_string(r.pixels) + ']';
        }
        out += "],\"notes\":[";
        for (std::size_t k = 0; k < f.notes.size(); ++k) {
            if (k > 0) out += ',';
            AppendString(out, f.notes[k]);
        }
        out += "]}";
    }
    out += "\n]};\n";
    return out;
}

}  // namespace

void WriteHtmlReport(const std::string& dir, const ReportSummary& summary, const std::vector<ReportPair>& pairs,
                     const std::string& baseDir, const std::string& newDir, const std::string& toolVersion) {
    InitializeFormats();
    const fs::path root(dir);
    const fs::path folder = root / kPictureFolder;
    MakeFolder(folder);

    std::vector<PairFiles> files(pairs.size());
    ParallelFor(pairs.size(), 0, [&](std::size_t i) { files[i] = MakePairFiles(pairs[i], i, folder); });

    // Pictures of an earlier, longer report would otherwise stay behind, to
    // be shown for pairs they do not belong to.
    std::set<std::string> kept;
    for (const PairFiles& f : files) kept.insert(f.written.begin(), f.written.end());
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code ignored;
        if (ReportPictureName(name) && !kept.count(name) && it->is_regular_file(ignored))
            fs::remove(it->path(), ignored);
    }

    for (const char* name : kPageFiles) {
        const report_assets::Blob blob = report_assets::Find(name);
        WriteWholeFile(root / name, std::string_view(reinterpret_cast<const char*>(blob.data), blob.size));
    }
    WriteWholeFile(root / "data.js", DataScript(summary, pairs, files, baseDir, newDir, toolVersion));
}

}  // namespace duvo::cli
