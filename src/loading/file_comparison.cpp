#include "loading/file_comparison.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "codecs/png/png_writer.h"
#include "rtl/file_bytes.h"
#include "rtl/parallel.h"

namespace duvo {

namespace {

// The shortest text that reads back as the same number.
std::string Number(double x) {
    char buf[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, x);
        if (std::strtod(buf, nullptr) == x) break;
    }
    return buf;
}

}  // namespace

std::string FileComparisonRequest::RuleText() const {
    std::string text;
    if (threshold) text = "perceptual distance at most " + Number(*threshold);
    if (channelTolerance)
        text += (text.empty() ? "" : " and ") + std::string("no channel more than ") +
                std::to_string(*channelTolerance) + " apart";
    if (text.empty()) text = "exact: the same color, alpha and samples";
    if (antialiasing) text += ", anti-aliased pixels apart";
    return text;
}

namespace {

// The described message, and on the command line the system's reason after it.
std::string WithReason(const EStreamError& e) {
    return ErrorDisplayText(e.Reason().empty() ? e.Message() : e.Message() + ": " + e.Reason());
}

}  // namespace

ECompareFailure FailureOf(std::exception_ptr error, const std::optional<std::string>& file) {
    const bool named = file.has_value();
    try {
        std::rethrow_exception(error);
    } catch (const ECompareFailure& f) {
        return f;
    } catch (const EFOpenError& e) {
        return {"cannot-open", ErrorDisplayText(e.Message()), file};
    } catch (const EFCreateError& e) {
        return {"cannot-create", WithReason(e), file};
    } catch (const EWriteError& e) {
        return {"write-error", WithReason(e), file, named};
    } catch (const EStreamError& e) {
        return {"read-error", ErrorDisplayText(e.Message()), file, named};
    } catch (const EInvalidGraphic& e) {
        return {"load-error", ErrorDisplayText(e.Message()), file, named};
    } catch (const EOutOfMemory& e) {
        return {"out-of-memory", ErrorDisplayText(e.Message()), file, named};
    } catch (const EInvalidOp& e) {
        return {"empty-area", ErrorDisplayText(e.Message()), std::nullopt};
    } catch (const Exception& e) {
        return {"error", ErrorDisplayText(e.Message()), file, named};
    } catch (const std::bad_alloc&) {
        return {"out-of-memory", ErrorDisplayText(msg::OutOfMemory), file, named};
    } catch (const std::exception& e) {
        return {"error", ErrorDisplayText(e.what()), file, named};
    }
}

namespace {

// A failure of the decoder that read file, in the words the route reports.
[[noreturn]] void RaiseLoadFailure(const Route& route, const std::string& file) {
    try {
        throw;
    } catch (const EPictureTooLarge& e) {
        // Refused at once, before its memory is taken; the user may allow
        // more where the refusal came from the limits --max-pixels sets.
        throw ECompareFailure("too-large", e.Message() + (e.ByLimits() ? "; --max-pixels raises the limit" : ""), file,
                              true);
    } catch (const EInvalidGraphic& e) {
        if (route.ownMessages) throw ECompareFailure("load-error", ErrorDisplayText(e.Message()), file, true);
        throw ECompareFailure("load-error", std::string(msg::LoadErrorBox) + "\n" + ErrorDisplayText(e.Message()), file,
                              true);
    } catch (...) {
        throw FailureOf(std::current_exception(), file);
    }
}

// Rows whose failures, while the pass reads them, name their file.
class NamedRows final : public RowSource {
public:
    NamedRows(const Route& route, std::string file, std::unique_ptr<RowSource> rows)
        : route_(route), file_(std::move(file)), rows_(std::move(rows)) {
        format_ = rows_->Format();
        warnings_ = rows_->Warnings();
    }
    bool Sequential() const override { return rows_->Sequential(); }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        try {
            rows_->ReadRows(dst, stride, count);
        } catch (...) {
            RaiseLoadFailure(route_, file_);
        }
    }
    const std::uint8_t* RowInPlace(int y) const override { return rows_->RowInPlace(y); }
    void Release(int y0, int y1) override { rows_->Release(y0, y1); }
    void Finish() override {
        try {
            rows_->Finish();
        } catch (...) {
            RaiseLoadFailure(route_, file_);
        }
        warnings_ = rows_->Warnings();
    }

private:
    const Route& route_;
    std::string file_;
    std::unique_ptr<RowSource> rows_;
};

// ---- the difference picture ---------------------------------------------------------

// A PNG deflated block by block on the comparison's threads.
class PngSink final : public DifferenceSink {
public:
    PngSink(int width, int height, const std::string& path, bool alpha) : writer_(width, height, path, alpha) {}
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        writer_.Block(y0, y1, rows, stride);
    }
    void Finish() { writer_.Finish(); }

private:
    PngBlockWriter writer_;
};

// An uncompressed 24-bit BMP, bottom-up as a bitmap writes it, its rows
// written where they belong as they come.
class BmpSink final : public DifferenceSink {
public:
    BmpSink(int width, int height, const std::string& path) : width_(width), height_(height) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw EFCreateError(Format(msg::FCreate, {path}), SystemReason(errno));
        stride_ = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
        const std::uint64_t image = stride_ * static_cast<std::uint64_t>(height);
        const std::uint64_t size = 54 + image;
        std::uint8_t h[54] = {'B', 'M'};
        auto put = [&](int at, std::uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        put(2, size > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(size), 4);
        put(10, 54, 4);
        put(14, 40, 4);
        put(18, static_cast<std::uint32_t>(width), 4);
        put(22, static_cast<std::uint32_t>(height), 4);
        put(26, 1, 2);
        put(28, 24, 2);
        put(34, static_cast<std::uint32_t>(std::min<std::uint64_t>(image, 0xFFFFFFFFu)), 4);
        Write(h, sizeof h, 0);
        // The file takes its whole size at once; the padding bytes stay zero.
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw EWriteError(msg::StreamWrite, SystemReason(errno));
    }
    ~BmpSink() override {
        if (fd_ >= 0) ::close(fd_);
    }
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        const std::size_t bytes = static_cast<std::size_t>(width_) * 3;
        for (int y = y0; y < y1; ++y)
            Write(rows + (y - y0) * stride, bytes, 54 + stride_ * static_cast<std::size_t>(height_ - 1 - y));
    }
    void Finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw EWriteError(msg::StreamWrite, SystemReason(errno));
    }

private:
    void Write(const std::uint8_t* data, std::size_t n, std::size_t at) {
        while (n > 0) {
            const ssize_t w = ::pwrite(fd_, data, n, static_cast<off_t>(at));
            if (w < 0 && errno == EINTR) continue;
            // A write of nothing says the device is full.
            if (w <= 0) throw EWriteError(msg::StreamWrite, SystemReason(w < 0 ? errno : ENOSPC));
            data += w, n -= static_cast<std::size_t>(w), at += static_cast<std::size_t>(w);
        }
    }
    int width_, height_;
    std::size_t stride_ = 0;
    int fd_ = -1;
};

// Failures of writing the difference picture name its file.
class NamedSink final : public DifferenceSink {
public:
    NamedSink(DifferenceSink& sink, std::string file) : sink_(sink), file_(std::move(file)) {}
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        try {
            sink_.Band(y0, y1, rows, stride);
        } catch (...) {
            throw FailureOf(std::current_exception(), file_);
        }
    }

private:
    DifferenceSink& sink_;
    std::string file_;
};

// Buffers for held bands, kept between the pairs of a folder: fresh pages
// for every pair would cost more than the rest of its comparison.
class SparePool {
public:
    std::vector<std::uint8_t> Take() {
        std::lock_guard<std::mutex> g(lock_);
        if (spare_.empty()) return {};
        std::vector<std::uint8_t> v = std::move(spare_.back());
        spare_.pop_back();
        return v;
    }
    void Give(std::vector<std::uint8_t> v) {
        v.clear();
        std::lock_guard<std::mutex> g(lock_);
        if (spare_.size() <= HardwareThreads()) spare_.push_back(std::move(v));
    }

private:
    std::mutex lock_;
    std::vector<std::vector<std::uint8_t>> spare_;
};

SparePool& Spares() {
    static SparePool pool;
    return pool;
}

// Holds back the bands in which everything matches, until a band that does
// not or the end shows that the picture is wanted: a pair whose pictures
// match then costs no encoding at all. Past a cap, it lets them through.
class HoldingSink final : public DifferenceSink {
public:
    HoldingSink(DifferenceSink& sink, std::size_t pictureBytes)
        : sink_(sink), cap_(std::min(pictureBytes, kCap)), bytes_(Spares().Take()) {
        bytes_.reserve(cap_);
    }
    ~HoldingSink() override { Spares().Give(std::move(bytes_)); }
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        Release();
        sink_.Band(y0, y1, rows, stride);
    }
    void MatchingBand(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        {
            std::lock_guard<std::mutex> g(lock_);
            const std::size_t n = static_cast<std::size_t>(stride) * static_cast<std::size_t>(y1 - y0);
            if (!released_ && bytes_.size() + n <= cap_) {
                held_.push_back({y0, y1, stride, bytes_.size()});
                bytes_.insert(bytes_.end(), rows, rows + n);
                return;
            }
        }
        Release();
        sink_.Band(y0, y1, rows, stride);
    }
    // Everything held goes on; later bands pass straight through.
    void Release() {
        std::vector<Held> out;
        {
            std::lock_guard<std::mutex> g(lock_);
            released_ = true;
            out.swap(held_);
        }
        // Bands still arriving pass by; the held bytes stay where they are.
        for (const Held& h : out) sink_.Band(h.y0, h.y1, bytes_.data() + h.at, h.stride);
    }

private:
    static constexpr std::size_t kCap = std::size_t{32} << 20;
    struct Held {
        int y0, y1;
        std::ptrdiff_t stride;
        std::size_t at;
    };
    DifferenceSink& sink_;
    std::size_t cap_;
    std::mutex lock_;
    std::vector<std::uint8_t> bytes_;  // never grows past cap_, so held rows stay put
    std::vector<Held> held_;
    bool released_ = false;
};

// Non-matching pixels accepted by the limits given; none when none is given.
std::uint64_t Accepted(const FileComparisonRequest& o, std::uint64_t counted) {
    // A limit on regions alone accepts any number of non-matching pixels.
    std::uint64_t accepted = o.maxNonMatching || o.maxNonMatchingShare || o.maxRegionPixels ? counted : 0;
    if (o.maxNonMatching) accepted = std::min(accepted, *o.maxNonMatching);
    if (o.maxNonMatchingShare) {
        const long double share = static_cast<long double>(*o.maxNonMatchingShare) / 100.0L;
        accepted =
            std::min(accepted, static_cast<std::uint64_t>(std::floor(share * static_cast<long double>(counted))));
    }
    return accepted;
}

// The difference picture must never be written over an input.
void CheckOutputIsNoInput(const FileComparisonRequest& r) {
    if (!r.diff) return;
    const std::pair<const char*, const std::string*> inputs[] = {
        {"the left picture", &r.left},
        {"the right picture", &r.right},
        {"the mask", r.mask ? &*r.mask : nullptr},
    };
    for (const auto& [what, name] : inputs)
        if (name && SameFile(*r.diff, *name))
            throw EUsageError("--diff " + *r.diff + " is the same file as " + what + " " + *name +
                              ": the difference picture would overwrite it");
    const std::string ext = OpenExtension(*r.diff);
    if (ext != ".png" && ext != ".bmp") throw EUsageError("--diff: the file name must end in .png or .bmp");
    if (ext == ".bmp" && r.diffStyle == DifferenceStyle::Mask)
        throw EUsageError("--diff-style mask draws on transparent, which a BMP cannot hold: use a .png");
}

// Why the verdict is what it is, in a few words.
std::string Reason(const FileComparison& r) {
    auto size = [](const PictureInfo& p) { return std::to_string(p.width) + " x " + std::to_string(p.height); };
    if (!r.SameSize()) return "the sizes differ (" + size(r.left) + " against " + size(r.right) + ")";
    const std::string pixels = std::to_string(r.nonMatching) + " non-matching pixel" + (r.nonMatching == 1 ? "" : "s");
    if (r.nonMatching > r.rule.allowed) return pixels + " > " + std::to_string(r.rule.allowed) + " accepted";
    const std::string regions = std::to_string(r.regions.found) + " region" + (r.regions.found == 1 ? "" : "s") +
                                ", largest " + std::to_string(r.regions.largest) + " px";
    if (r.rule.maxRegionPixels) {
        if (r.regions.largest > *r.rule.maxRegionPixels)
            return regions + " > " + std::to_string(*r.rule.maxRegionPixels);
        if (r.nonMatching > 0) return regions + " <= " + std::to_string(*r.rule.maxRegionPixels);
    }
    if (r.nonMatching == 0) return r.antialiased ? "every pixel matches but anti-aliasing" : "every pixel matches";
    return pixels + " <= " + std::to_string(r.rule.allowed) + " accepted";
}

PictureInfo InfoOf(const OpenedPicture& p) {
    const RowFormat& f = p.rows->Format();
    PictureInfo info;
    info.file = p.file;
    info.width = f.width;
    info.height = f.height;
    info.format = std::string(p.route->format);
    info.alpha = f.MayHaveAlpha();
    info.bitDepth = p.route->storedDepth ? f.bitDepth : 8;
    return info;
}

}  // namespace

namespace {

const Route& RouteOf(const std::string& file) {
    const Route* route = FindRoute(file, RouteUser::CommandLine);
    if (!route || !route->openRows) throw ECompareFailure("unknown-format", msg::UnknownFormatBox, file, true);
    return *route;
}

std::shared_ptr<const FileBytes> BytesOf(const std::string& file, const Limits& limits) {
    try {
        return FileBytes::Open(file, limits);
    } catch (...) {
        throw FailureOf(std::current_exception(), file);
    }
}

OpenedPicture RowsOf(const std::string& file, const Route& route, const std::shared_ptr<const FileBytes>& bytes,
                     const Limits& limits) {
    OpenedPicture out;
    out.file = file;
    out.route = &route;
    // A file of no bytes holds no picture, whatever its format would say.
    if (bytes->Bytes().empty()) throw ECompareFailure("no-pixels", file + " has no pixels (0 x 0)", file);
    try {
        out.rows = std::make_unique<NamedRows>(route, file, route.openRows(bytes, limits));
    } catch (...) {
        RaiseLoadFailure(route, file);
    }
    const RowFormat& f = out.rows->Format();
    if (f.width <= 0 || f.height <= 0)
        throw ECompareFailure(
            "no-pixels", file + " has no pixels (" + std::to_string(f.width) + " x " + std::to_string(f.height) + ")",
            file);
    return out;
}

// Two files of one format whose bytes are equal hold equal pictures; the
// comparison then decodes one of them. BMP rows are read where they lie,
// so there the engine's own row compare costs no more than this would.
bool SameBytes(const Route& a, const Route& b, const FileBytes& x, const FileBytes& y) {
    if (&a != &b || a.format == "BMP") return false;
    const ByteSpan p = x.Bytes(), q = y.Bytes();
    if (p.size() != q.size()) return false;
    if (p.data() == q.data()) return true;
    const bool same = std::memcmp(p.data(), q.data(), p.size()) == 0;
    // A file cut while it was read compares as zeros; that is no match.
    x.CheckIntact();
    y.CheckIntact();
    return same;
}

}  // namespace

OpenedPicture OpenPicture(const std::string& file, const Limits& limits) {
    const Route& route = RouteOf(file);
    return RowsOf(file, route, BytesOf(file, limits), limits);
}

FileComparison CompareFiles(const FileComparisonRequest& request) {
    CheckOutputIsNoInput(request);
    InitializeFormats();

    const std::string* names[2] = {&request.left, &request.right};
    const Route* routes[2] = {&RouteOf(request.left), &RouteOf(request.right)};
    std::shared_ptr<const FileBytes> bytes[2];
    for (int i = 0; i < 2; ++i) bytes[i] = BytesOf(*names[i], request.limits);
    const bool oneSource = [&] {
        try {
            return SameBytes(*routes[0], *routes[1], *bytes[0], *bytes[1]);
        } catch (...) {
            throw FailureOf(std::current_exception(), bytes[0]->Damaged() ? request.left : request.right);
        }
    }();

    // Otherwise the two files share nothing, so they open side by side: a
    // format that decodes its whole frame first does it here.
    OpenedPicture pictures[2];
    std::exception_ptr failures[2];
    ParallelFor(oneSource ? 1 : 2, 2, [&](std::size_t i) {
        try {
            pictures[i] = RowsOf(*names[i], *routes[i], bytes[i], request.limits);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    });
    for (const auto& f : failures)
        if (f) std::rethrow_exception(f);
    bytes[0].reset();
    bytes[1].reset();
    OpenedPicture& left = pictures[0];
    OpenedPicture& right = pictures[1];
    RowSource* rightRows = oneSource ? left.rows.get() : right.rows.get();

    FileComparison report;
    report.left = InfoOf(left);
    report.right = oneSource ? InfoOf(left) : InfoOf(right);
    report.right.file = request.right;
    const int width = std::min(report.left.width, report.right.width);
    const int height = std::min(report.left.height, report.right.height);

    SpanRows ignore;
    for (const IgnoreRectangle& r : request.ignore) AddRectangle(ignore, width, height, r.x, r.y, r.width, r.height);
    OpenedPicture mask;
    if (request.mask) {
        mask = OpenPicture(*request.mask, request.limits);
        if (mask.rows->Width() != width || mask.rows->Height() != height)
            throw ECompareFailure("mask-size",
                                  "The mask is " + std::to_string(mask.rows->Width()) + " x " +
                                      std::to_string(mask.rows->Height()) + " pixels; the compared area is " +
                                      std::to_string(width) + " x " + std::to_string(height) + ".",
                                  mask.file, true);
        report.maskFile = mask.file;
    }
    report.ignoreRectangles = request.ignore.size();

    // The picture goes to a temporary file beside its target, row by row as
    // the pass makes them.
    std::unique_ptr<PngSink> png;
    std::unique_ptr<BmpSink> bmp;
    std::unique_ptr<NamedSink> sink;
    std::unique_ptr<HoldingSink> holding;
    // Equal bytes cannot differ: a picture asked for only then is not drawn.
    const bool drawDiff = request.diff && !(oneSource && request.diffOnlyWhenChanged);
    if (drawDiff) {
        try {
            report.pendingDiff = std::make_unique<ReplacingFile>(*request.diff);
            if (OpenExtension(*request.diff) == ".png")
                png = std::make_unique<PngSink>(width, height, report.pendingDiff->TempPath(),
                                                request.diffStyle == DifferenceStyle::Mask);
            else
                bmp = std::make_unique<BmpSink>(width, height, report.pendingDiff->TempPath());
        } catch (...) {
            throw FailureOf(std::current_exception(), *request.diff);
        }
        sink = std::make_unique<NamedSink>(png ? static_cast<DifferenceSink&>(*png) : *bmp, *request.diff);
        if (request.diffOnlyWhenChanged)
            holding = std::make_unique<HoldingSink>(
                *sink, static_cast<std::size_t>(width) * height * (request.diffStyle == DifferenceStyle::Mask ? 4 : 3));
        report.diffFile = request.diff;
    }

    CompareRequest compare;
    compare.left = left.rows.get();
    compare.right = rightRows;
    compare.ignore = request.ignore.empty() ? nullptr : &ignore;
    compare.mask = mask.rows.get();
    std::optional<perceptual::Threshold> threshold;
    if (request.threshold) threshold.emplace(*request.threshold);
    MatchRule rule;
    rule.threshold = threshold ? &*threshold : nullptr;
    rule.channelTolerance = request.channelTolerance.value_or(-1);
    rule.antialiasing = request.antialiasing;
    compare.rule = &rule;
    compare.collectChanges = true;
    compare.difference = holding ? static_cast<DifferenceSink*>(holding.get()) : sink.get();
    compare.style = request.diffStyle;
    compare.colors = request.diffColors;
    compare.threads = request.threads;
    report.result = RunComparison(compare);

    // Every warning is known now that each source has reached its end.
    report.left.warnings = left.rows->Warnings();
    report.right.warnings = rightRows->Warnings();
    if (mask.rows) report.maskWarnings = mask.rows->Warnings();
    if (request.strict)
        for (const OpenedPicture* p : {&left, &right, &mask})
            if (p->rows && !p->rows->Warnings().empty())
                throw ECompareFailure("damaged", p->file + " is damaged: " + p->rows->Warnings().front().message,
                                      p->file);

    const std::uint64_t counted = report.result.CountedPixels();
    if (counted == 0)
        throw ECompareFailure("empty-area", "Nothing left to compare: the ignored areas and the mask cover all " +
                                                std::to_string(width) + " x " + std::to_string(height) + " pixels");
    report.histogram = Normalise(report.result.counts, counted);
    report.nonMatching = report.result.nonMatchingPixels;
    report.antialiased = report.result.antialiasedPixels;
    if (request.refuseLimitsThatCannotFail && request.maxNonMatching && *request.maxNonMatching >= counted)
        throw EUsageError("--max-changed " + std::to_string(*request.maxNonMatching) + " accepts all " +
                          std::to_string(counted) + " counted pixels: the check could not fail");
    if (request.refuseLimitsThatCannotFail && request.maxRegionPixels && *request.maxRegionPixels >= counted &&
        !request.maxNonMatching && !request.maxNonMatchingShare)
        throw EUsageError("--max-region-pixels " + std::to_string(*request.maxRegionPixels) + " accepts all " +
                          std::to_string(counted) + " counted pixels in one region: the check could not fail");
    report.rule.text = request.RuleText();
    report.rule.threshold = request.threshold;
    report.rule.channelTolerance = request.channelTolerance;
    report.rule.antialiasing = request.antialiasing;
    report.rule.maxNonMatching = request.maxNonMatching;
    report.rule.maxNonMatchingShare = request.maxNonMatchingShare;
    report.rule.maxRegionPixels = request.maxRegionPixels;
    report.rule.allowed = Accepted(request, counted);
    report.regions = FindRegions(report.result.changes, request.regionGap, request.maxRegions);
    report.regionGap = request.regionGap;
    report.result.changes = {};
    report.reason = Reason(report);

    if (drawDiff && request.diffOnlyWhenChanged && report.WithinTolerance()) {
        // Closed, then dropped: that removes the temporary file.
        holding.reset();
        sink.reset();
        png.reset();
        bmp.reset();
        report.pendingDiff.reset();
        report.diffFile.reset();
    }
    if (png || bmp) {
        try {
            if (holding) holding->Release();
            if (png) png->Finish();
            if (bmp) bmp->Finish();
        } catch (...) {
            throw FailureOf(std::current_exception(), *request.diff);
        }
    }
    return report;
}

}  // namespace duvo
