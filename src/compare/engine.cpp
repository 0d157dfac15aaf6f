#include "compare/engine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "compare/antialias.h"
#include "compare/compare_rows.h"
#include "compare/row_convert.h"
#include "rtl/exceptions.h"
#include "rtl/parallel.h"

namespace duvo {

using compare_rows::kRunPixels;
using compare_rows::RowReader;

namespace {

// Left-out pixels get this bin, one past the top, so that they pass through
// the tally uncounted in the histogram.
constexpr std::uint8_t kIgnoredBin = kSimilarityBins;

// ---- counting -------------------------------------------------------------------------

// Bin counters of one worker. Runs count into 4 interleaved uint32 tables (a
// stretch of equal bins then does not wait on its own increments); they are
// flushed into 64-bit totals before a table could overflow.
struct Tally {
    std::array<std::array<std::uint32_t, 104>, 4> run{};
    std::uint64_t sinceFlush = 0;
    SimilarityCounts total{};
    std::uint64_t ignored = 0;
    std::uint64_t alphaDifferent = 0, belowEightBits = 0, extra = 0;
    std::uint64_t nonMatching = 0, antialiased = 0;

    void Add(const std::uint8_t* bins, int n) {
        if (sinceFlush + static_cast<std::uint64_t>(n) > 0xFFFFFFFFu) Flush();
        sinceFlush += static_cast<std::uint64_t>(n);
        // Two versions of one picture are mostly equal: stretches of 32 equal
        // pixels are counted at once.
        constexpr std::uint64_t kTop = 0x0101010101010101u * (kSimilarityBins - 1);
        int i = 0;
        for (; i + 32 <= n; i += 32) {
            std::uint64_t w[4];
            std::memcpy(w, bins + i, sizeof w);
            if (((w[0] ^ kTop) | (w[1] ^ kTop) | (w[2] ^ kTop) | (w[3] ^ kTop)) == 0) {
                total[kSimilarityBins - 1] += 32;
                continue;
            }
            for (int j = i; j < i + 32; j += 4) {
                ++run[0][bins[j]];
                ++run[1][bins[j + 1]];
                ++run[2][bins[j + 2]];
                ++run[3][bins[j + 3]];
            }
        }
        for (; i < n; ++i) ++run[0][bins[i]];
    }
    void Flush() {
        for (auto& t : run) {
            for (int k = 0; k < kSimilarityBins; ++k) total[k] += t[k];
            ignored += t[kIgnoredBin];
            t.fill(0);
        }
        sinceFlush = 0;
    }
};

// Marks the left-out pixels of the run [x0, x0 + n) of a row: their bins
// become kIgnoredBin and their values the fixed grey. Returns how many.
int MarkIgnored(const std::vector<PixelSpan>& spans, int x0, int n, std::uint8_t* bins, std::uint8_t* values) {
    int marked = 0;
    for (const PixelSpan& span : spans) {
        const int a = std::max(span.x0, x0), b = std::min(span.x1, x0 + n);
        if (span.x0 >= x0 + n) break;
        if (a >= b) continue;
        if (bins) std::memset(bins + (a - x0), kIgnoredBin, static_cast<std::size_t>(b - a));
        if (values)
            std::memset(values + static_cast<std::size_t>(a - x0) * 3, kIgnoredColor & 0xFF,
                        static_cast<std::size_t>(b - a) * 3);
        marked += b - a;
    }
    return marked;
}

// Appends a span, joining it to the last one when they touch.
inline void AppendSpan(std::vector<PixelSpan>& row, int a, int b) {
    if (!row.empty() && row.back().x1 == a)
        row.back().x1 = b;
    else
        row.push_back({a, b});
}

// Appends the spans of bins below matchingBin in the run starting at x0.
// Sixty-four bins at a time become one bit mask (adding 128 - matchingBin
// sets a byte's top bit exactly when its bin is at least matchingBin, as bins
// are at most 101), so the cost goes with the spans, not the pixels.
void CollectChanges(const std::uint8_t* bins, int x0, int n, int matchingBin, std::vector<PixelSpan>& row) {
    const std::uint64_t lift = 0x0101010101010101u * static_cast<std::uint64_t>(128 - matchingBin);
    constexpr std::uint64_t kTops = 0x8080808080808080u;
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        std::uint64_t mask = 0;
        for (int k = 0; k < 8; ++k) {
            std::uint64_t w;
            std::memcpy(&w, bins + i + 8 * k, 8);
            const std::uint64_t changed = ~(w + lift) & kTops;
            // Gathers the eight top bits into one byte, byte j to bit j.
            mask |= (((changed >> 7) * 0x0102040810204080u) >> 56) << (8 * k);
        }
        while (mask) {
            const int s = __builtin_ctzll(mask);
            const std::uint64_t rest = ~mask >> s;
            const int len = rest ? __builtin_ctzll(rest) : 64 - s;
            AppendSpan(row, x0 + i + s, x0 + i + s + len);
            mask = s + len >= 64 ? 0 : mask & ~((std::uint64_t{1} << (s + len)) - 1);
        }
    }
    for (; i < n; ++i)
        if (bins[i] < matchingBin) AppendSpan(row, x0 + i, x0 + i + 1);
}

// ---- sources ----------------------------------------------------------------------------

// One picture (or the mask) as the workers read it: rows where they lie, or
// decoded band by band into a ring of slots.
struct Source {
    RowSource* rows = nullptr;
    std::unique_ptr<RowReader> reader;
    bool inPlace = false;
    std::size_t rowBytes = 0;
    std::vector<std::vector<std::uint8_t>> slots;
    int decoded = 0;    // bands decoded so far
    bool busy = false;  // a worker is decoding the next band
    bool done = false;  // every band decoded and Finish called

    const std::uint8_t* Row(int y, int bandRows) const {
        if (inPlace) return rows->RowInPlace(y);
        const auto& slot = slots[static_cast<std::size_t>(y / bandRows) % slots.size()];
        return slot.data() + static_cast<std::size_t>(y % bandRows) * rowBytes;
    }
};

// Per-worker buffers for one run of pixels.
struct Scratch {
    alignas(64) std::uint32_t a[kRunPixels];
    alignas(64) std::uint32_t b[kRunPixels];
    alignas(64) std::uint32_t m[kRunPixels];
    alignas(64) std::uint8_t bins[kRunPixels];
    alignas(64) std::uint8_t changeBins[kRunPixels];
    alignas(64) std::uint8_t values[kRunPixels * 4];
    // Per pixel: 0 matches (or is left out), 1 does not, 2 is anti-aliasing.
    alignas(64) std::uint8_t miss[kRunPixels];
    alignas(64) std::uint8_t over[kRunPixels];
    alignas(64) std::uint8_t aa[kRunPixels];
    alignas(64) std::uint8_t alphaA[kRunPixels];
    alignas(64) std::uint8_t alphaB[kRunPixels];
    alignas(64) std::uint16_t deepA[kRunPixels * 4];
    alignas(64) std::uint16_t deepB[kRunPixels * 4];
    // A band's difference rows on their way to a sink that takes bands.
    std::vector<std::uint8_t> band;
    // Whole rows of colors around the row being compared, for the
    // anti-aliasing detector: row y of each picture converted once.
    struct CachedRow {
        int y = -1;
        std::vector<std::uint32_t> colors;
    };
    std::array<CachedRow, 8> rowsA, rowsB;
};

class Comparison {
public:
    explicit Comparison(const CompareRequest& request) : request_(request) {}

    CompareOutcome Run();

private:
    void Prepare();
    void Work(unsigned self);
    void CompareBand(int b, Tally& tally, Scratch& s);
    void CompareRun(int y, int x0, int n, const std::uint8_t* ra, const std::uint8_t* rb, const std::uint8_t* rm,
                    const std::vector<PixelSpan>* ignore, std::uint8_t* out, std::vector<PixelSpan>* changes,
                    Tally& tally, Scratch& s);
    void DecodeBand(Source& source, int b);
    // Row y of a picture as colors, through the worker's cache.
    const std::uint32_t* RowColors(const Source& source, std::array<Scratch::CachedRow, 8>& cache, int y) const;
    // Pixels of a run that fail by their colors alone (miss 1) and are
    // anti-aliasing become miss 2.
    void MarkAntialiased(int y, int x0, int n, Scratch& s) const;
    void Draw(int y, int x0, int n, const std::uint32_t* ca, const std::uint32_t* cb, const std::uint8_t* bins,
              std::uint8_t* out, Scratch& s) const;
    // Under the lock: the next task of a worker; false when there is none now.
    enum class Task { None, Compare, Decode, Finished };
    Task Next(int& band, Source*& source);
    bool Ready(int b) const;
    bool SlotFree(int b) const;
    void EmitSteps();  // on the calling thread

    int BandEnd(int b) const {
        return static_cast<int>(std::min<std::int64_t>(height_, (std::int64_t{b} + 1) * bandRows_));
    }

    const CompareRequest& request_;
    const compare_rows::Kernels* kernels_ = nullptr;
    int width_ = 0, height_ = 0, bandRows_ = 1, bands_ = 0;
    int matchingBin_ = kSimilarityBins - 1;
    MatchRule rule_;
    bool exactRule_ = true;     // the bins and the side planes decide alone
    int halo_ = 0;              // rows above and below a band its comparison reads
    std::size_t outPixel_ = 3;  // bytes of a difference pixel
    Source left_, right_, mask_;
    // The right picture's rows: right_, or left_ when both are one source (a
    // file compared with its own bytes), which then decodes once.
    Source* rightRows_ = &right_;
    std::vector<Source*> decoding_;  // the sources that must decode
    bool sameBytes_ = false;         // equal bytes are equal pixels
    std::size_t pixelBytes_ = 0;     // bytes per pixel of both, when sameBytes_
    bool side_ = false;              // alpha or deep samples to compare
    bool sideDeep_ = false;

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> taken_, compared_;
    int nextCompare_ = 0;  // the lowest band not yet taken
    int watermark_ = 0;    // the lowest band not yet compared
    int released_ = 0;     // rows in place let go so far
    int releaseRows_ = 1;  // rows let go at once
    int stepped_ = 0;      // rows whose progress went out
    int mark_ = 0;         // the progress mark
    bool stop_ = false;
    std::exception_ptr failure_;

    std::vector<Tally> tallies_;
    SpanRows changes_;
};

void Comparison::Prepare() {
    RowSource& a = *request_.left;
    RowSource& b = *request_.right;
    width_ = std::max(0, std::min(a.Width(), b.Width()));
    height_ = std::max(0, std::min(a.Height(), b.Height()));
    kernels_ = request_.scalarOnly ? &compare_rows::ScalarKernels() : &compare_rows::BestKernels();
    if (request_.rule) {
        rule_ = *request_.rule;
    } else {
        rule_.matchingBin = request_.matchingBin;
    }
    matchingBin_ = std::clamp(rule_.matchingBin, 0, kSimilarityBins - 1);
    exactRule_ = !rule_.ByColorDistance() && !rule_.antialiasing;
    halo_ = rule_.antialiasing ? 2 : 0;
    outPixel_ = request_.style == DifferenceStyle::Mask ? 4 : 3;
    if (request_.mask && (request_.mask->Width() < width_ || request_.mask->Height() < height_))
        throw EInvalidGraphic(msg::InvalidBitmap);

    const std::int64_t pixels = std::int64_t{width_} * height_;
    bandRows_ = request_.bandRows > 0 ? request_.bandRows : std::max(1, (1 << 17) / std::max(width_, 1));
    // A band's comparison may look into the bands above and below it only.
    bandRows_ = std::max(bandRows_, halo_);
    bands_ = static_cast<int>((height_ + std::int64_t{bandRows_} - 1) / bandRows_);

    unsigned threads = request_.threads ? request_.threads : HardwareThreads();
    // Small pictures are not worth a thread start.
    if (request_.threads == 0 && pixels < (1 << 16)) threads = 1;
    threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(std::max(bands_, 1))));
    tallies_.resize(threads);

    auto prepare = [&](Source& s, RowSource* rows) {
        s.rows = rows;
        s.reader = std::make_unique<RowReader>(rows->Format(), *kernels_);
        s.inPlace = rows->RowInPlace(0) != nullptr;
        s.rowBytes = rows->Format().RowBytes();
        if (!s.inPlace) {
            // Enough slots that every worker can hold a band while the
            // decoders run ahead.
            s.slots.resize(threads + 2 + (halo_ ? 2 : 0));
            for (auto& slot : s.slots) slot.resize(s.rowBytes * static_cast<std::size_t>(bandRows_));
            decoding_.push_back(&s);
        }
    };
    if (height_ > 0 && width_ > 0) {
        prepare(left_, request_.left);
        if (request_.right == request_.left)
            rightRows_ = &left_;
        else
            prepare(right_, request_.right);
        if (request_.mask) prepare(mask_, request_.mask);
        const RowFormat& fa = a.Format();
        const RowFormat& fb = b.Format();
        sameBytes_ = fa.BitsPerPixel() % 8 == 0 && compare_rows::SameRowBytesMeanSamePixels(fa, fb);
        pixelBytes_ = static_cast<std::size_t>(fa.BitsPerPixel() / 8);
        side_ = request_.sidePlanes && (left_.reader->MayHaveAlpha() || rightRows_->reader->MayHaveAlpha() ||
                                        left_.reader->Deep() || rightRows_->reader->Deep());
        sideDeep_ = left_.reader->Deep() || rightRows_->reader->Deep();
    }
    // About 8 MB of the widest picture's rows in place at a time.
    std::size_t widest = 1;
    for (const Source* s : {&left_, &right_, &mask_})
        if (s->rows && s->inPlace) widest = std::max(widest, s->rowBytes);
    releaseRows_ = static_cast<int>(std::max<std::size_t>(bandRows_, (std::size_t{8} << 20) / widest));
    taken_.assign(static_cast<std::size_t>(bands_), 0);
    compared_.assign(static_cast<std::size_t>(bands_), 0);
    if (request_.collectChanges) changes_.assign(static_cast<std::size_t>(height_), {});
}

bool Comparison::Ready(int b) const {
    // With a halo the band below must be there too.
    const int last = halo_ ? std::min(b + 1, bands_ - 1) : b;
    for (const Source* s : decoding_)
        if (s->decoded <= last) return false;
    return true;
}

bool Comparison::SlotFree(int b) const {
    const int slots = static_cast<int>(decoding_.front()->slots.size());
    const int k = b - slots;  // the band whose slot it would take
    if (k < 0) return true;
    if (!compared_[static_cast<std::size_t>(k)]) return false;
    // Its neighbours read it as their halo.
    if (halo_ && k > 0 && !compared_[static_cast<std::size_t>(k - 1)]) return false;
    if (halo_ && k + 1 < bands_ && !compared_[static_cast<std::size_t>(k + 1)]) return false;
    return true;
}

Comparison::Task Comparison::Next(int& band, Source*& source) {
    if (stop_) return Task::Finished;
    // Comparing first: it frees the slots the decoders wait for.
    if (nextCompare_ < bands_ && Ready(nextCompare_)) {
        band = nextCompare_++;
        taken_[static_cast<std::size_t>(band)] = 1;
        return Task::Compare;
    }
    // Then the source furthest behind.
    Source* best = nullptr;
    for (Source* s : decoding_)
        if (!s->busy && !s->done && s->decoded < bands_ && SlotFree(s->decoded) &&
            (!best || s->decoded < best->decoded))
            best = s;
    if (best) {
        best->busy = true;
        band = best->decoded;
        source = best;
        return Task::Decode;
    }
    if (watermark_ >= bands_) {
        bool all = true;
        for (const Source* s : decoding_) all = all && s->done;
        if (all) return Task::Finished;
    }
    return Task::None;
}

void Comparison::DecodeBand(Source& source, int b) {
    const int y0 = b * bandRows_, y1 = BandEnd(b);
    // Rows past the common area are read too, so that the source reaches its end.
    const int rowsHere = y1 - y0;
    auto& slot = source.slots[static_cast<std::size_t>(b) % source.slots.size()];
    source.rows->ReadRows(slot.data(), static_cast<std::ptrdiff_t>(source.rowBytes), rowsHere);
    if (b + 1 == bands_) {
        // The rows below the common area, which the comparison does not use.
        std::vector<std::uint8_t> skip(source.rowBytes);
        for (int y = y1; y < source.rows->Height(); ++y) source.rows->ReadRows(skip.data(), 0, 1);
        source.rows->Finish();
    }
}

const std::uint32_t* Comparison::RowColors(const Source& source, std::array<Scratch::CachedRow, 8>& cache,
                                           int y) const {
    if (y < 0 || y >= height_) return nullptr;
    for (auto& row : cache)
        if (row.y == y) return row.colors.data();
    // The row furthest from y goes: the detector walks down the picture.
    auto* slot = &cache[0];
    for (auto& row : cache)
        if (row.y < 0 || std::abs(row.y - y) > std::abs(slot->y - y)) slot = &row;
    slot->y = y;
    slot->colors.resize(static_cast<std::size_t>(width_));
    const std::uint8_t* bytes = source.Row(y, bandRows_);
    for (int x0 = 0; x0 < width_; x0 += kRunPixels) {
        const int n = std::min(kRunPixels, width_ - x0);
        std::uint32_t* dst = slot->colors.data() + x0;
        const std::uint32_t* got = source.reader->Colors(bytes, x0, n, dst);
        if (got != dst) std::memcpy(dst, got, static_cast<std::size_t>(n) * 4);
    }
    return slot->colors.data();
}

void Comparison::MarkAntialiased(int y, int x0, int n, Scratch& s) const {
    int tested = 0;
    for (int i = 0; i < n; ++i) tested += s.miss[i] == 1;
    if (tested == 0) return;
    // The window is made once for the run, not once for each pixel tested.
    antialias::Window a{}, b{};
    a.width = b.width = width_;
    for (int k = 0; k < 5; ++k) {
        a.rows[k] = RowColors(left_, s.rowsA, y - 2 + k);
        b.rows[k] = RowColors(*rightRows_, s.rowsB, y - 2 + k);
    }
    // The run version costs the same for every pixel, about a sixth of the
    // one-pixel test: it pays where more than one pixel in six is tested.
    if (tested * 6 > n) {
        antialias::AntialiasedRun(a, b, x0, n, s.aa);
        for (int i = 0; i < n; ++i)
            if (s.miss[i] == 1 && s.aa[i]) s.miss[i] = 2;
        return;
    }
    for (int i = 0; i < n; ++i)
        if (s.miss[i] == 1 && antialias::IsAntialiased(a, b, x0 + i)) s.miss[i] = 2;
}

namespace {

std::uint32_t Luma(std::uint32_t c) { return (77 * (c & 0xFF) + 150 * ((c >> 8) & 0xFF) + 29 * (c >> 16)) >> 8; }

inline void PutBgr(std::uint8_t* p, std::uint32_t c) {
    p[0] = static_cast<std::uint8_t>(c >> 16);
    p[1] = static_cast<std::uint8_t>(c >> 8);
    p[2] = static_cast<std::uint8_t>(c);
}

}  // namespace

// The highlight and mask pictures of a run, from its colors and verdicts.
void Comparison::Draw(int y, int x0, int n, const std::uint32_t* ca, const std::uint32_t* cb, const std::uint8_t* bins,
                      std::uint8_t* out, Scratch& s) const {
    const DifferenceColors& colors = request_.colors;
    if (request_.style == DifferenceStyle::Mask) {
        for (int i = 0; i < n; ++i) {
            std::uint8_t* p = out + 4 * i;
            if (s.miss[i] == 1) {
                PutBgr(p, Luma(cb[i]) < Luma(ca[i]) ? colors.darker : colors.brighter);
                p[3] = 255;
            } else {
                std::memset(p, 0, 4);
            }
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        std::uint8_t* p = out + 3 * i;
        if (bins[i] == kIgnoredBin) {
            // Hatched, so that a left-out area is never read as unchanged.
            PutBgr(p, ((x0 + i + y) >> 2) & 1 ? 0xC8C8C8u : 0xE4E4E4u);
        } else if (s.miss[i] == 1) {
            PutBgr(p, Luma(cb[i]) < Luma(ca[i]) ? colors.darker : colors.brighter);
        } else if (s.miss[i] == 2) {
            PutBgr(p, colors.antialiased);
        } else {
            // The left picture faded to light grey, for orientation.
            PutBgr(p, (230 + Luma(ca[i]) * 25 / 255) * 0x010101u);
        }
    }
}

void Comparison::CompareRun(int y, int x0, int n, const std::uint8_t* ra, const std::uint8_t* rb,
                            const std::uint8_t* rm, const std::vector<PixelSpan>* ignore, std::uint8_t* out,
                            std::vector<PixelSpan>* changes, Tally& tally, Scratch& s) {
    const bool similarity = request_.style == DifferenceStyle::Similarity;
    // The similarity values go straight to the picture, or aside when it is
    // drawn otherwise or not at all.
    std::uint8_t* o = out && similarity ? out : s.values;
    const RowReader& A = *left_.reader;
    const RowReader& B = *rightRows_->reader;
    // The mask's non-white pixels, as a run of flags in changeBins.
    const std::uint32_t* maskColors = rm ? mask_.reader->Colors(rm, x0, n, s.m) : nullptr;
    const bool leftOut = ignore || maskColors;
    auto markLeftOut = [&] {
        if (ignore) MarkIgnored(*ignore, x0, n, s.bins, out && similarity ? o : nullptr);
        if (maskColors)
            for (int i = 0; i < n; ++i)
                if (maskColors[i] != kMaxSimilarity) {
                    s.bins[i] = kIgnoredBin;
                    if (out && similarity) std::memset(o + 3 * i, kIgnoredColor & 0xFF, 3);
                }
    };

    if (sameBytes_) {
        const std::size_t at = static_cast<std::size_t>(x0) * pixelBytes_;
        if (std::memcmp(ra + at, rb + at, static_cast<std::size_t>(n) * pixelBytes_) == 0) {
            // Equal runs are the common case between two versions of one
            // picture: all of them white, all in the top bin, no side
            // differences, every pixel a match.
            if (out && similarity) std::memset(o, 0xFF, static_cast<std::size_t>(n) * 3);
            int left = 0;
            if (leftOut || (out && !similarity)) {
                std::memset(s.bins, kSimilarityBins - 1, static_cast<std::size_t>(n));
                markLeftOut();
                for (int i = 0; i < n; ++i) left += s.bins[i] == kIgnoredBin;
            }
            if (out && !similarity) {
                std::memset(s.miss, 0, static_cast<std::size_t>(n));
                const std::uint32_t* ca = A.Colors(ra, x0, n, s.a);
                Draw(y, x0, n, ca, ca, s.bins, out, s);
            }
            tally.total[kSimilarityBins - 1] += static_cast<std::uint64_t>(n - left);
            tally.ignored += static_cast<std::uint64_t>(left);
            return;
        }
    }

    // Colors of both pictures, where the bins alone do not tell enough.
    const bool wantColors = !exactRule_ || (out && !similarity);
    const std::uint32_t* ca = nullptr;
    const std::uint32_t* cb = nullptr;
    if (A.Bgr24() && B.Bgr24()) {
        const std::size_t at = static_cast<std::size_t>(x0) * 3;
        kernels_->diffAndBin24(ra + at, rb + at, o, s.bins, n);
        if (wantColors) {
            ca = A.Colors(ra, x0, n, s.a);
            cb = B.Colors(rb, x0, n, s.b);
        }
    } else if (B.Bgr24()) {
        ca = A.Colors(ra, x0, n, s.a);
        kernels_->diffAndBinMixed(ca, rb + static_cast<std::size_t>(x0) * 3, o, s.bins, n);
        if (wantColors) cb = B.Colors(rb, x0, n, s.b);
    } else if (A.Bgr24()) {
        cb = B.Colors(rb, x0, n, s.b);
        kernels_->diffAndBinMixed(cb, ra + static_cast<std::size_t>(x0) * 3, o, s.bins, n);
        if (wantColors) ca = A.Colors(ra, x0, n, s.a);
    } else {
        ca = A.Colors(ra, x0, n, s.a);
        cb = B.Colors(rb, x0, n, s.b);
        kernels_->diffAndBin(ca, cb, o, s.bins, n);
    }
    markLeftOut();

    if (exactRule_ && !side_ && !(out && !similarity)) {
        // The bins decide alone: a pixel fails exactly when its bin is below
        // the matching one (left-out pixels are above every bin).
        int nonMatching = 0;
        for (int i = 0; i < n; ++i) nonMatching += s.bins[i] < matchingBin_;
        tally.nonMatching += static_cast<std::uint64_t>(nonMatching);
        if (changes && nonMatching > 0) CollectChanges(s.bins, x0, n, matchingBin_, *changes);
        tally.Add(s.bins, n);
        return;
    }

    // Whether each pixel's colors fail the rule: the bin, or the distance.
    if (exactRule_) {
        for (int i = 0; i < n; ++i) s.miss[i] = s.bins[i] < matchingBin_;
    } else if (rule_.ByColorDistance()) {
        if (rule_.threshold) {
            rule_.threshold->Classify(ca, cb, n, s.over);
        } else {
            std::memset(s.over, 0, static_cast<std::size_t>(n));
        }
        if (rule_.channelTolerance >= 0) {
            const int t = rule_.channelTolerance;
            for (int i = 0; i < n; ++i) {
                const std::uint32_t p = ca[i], q = cb[i];
                int worst = 0;
                for (int c = 0; c < 24; c += 8)
                    worst = std::max(worst,
                                     std::abs(static_cast<int>((p >> c) & 0xFF) - static_cast<int>((q >> c) & 0xFF)));
                // Both rules hold for a match when both are given.
                s.over[i] = static_cast<std::uint8_t>(s.over[i] | (worst > t));
            }
        }
        for (int i = 0; i < n; ++i) s.miss[i] = s.over[i];
    } else {
        // Anti-aliasing under the exact rule: colors that differ at all.
        for (int i = 0; i < n; ++i) s.miss[i] = s.bins[i] < kSimilarityBins - 1;
    }
    for (int i = 0; i < n; ++i)
        if (s.bins[i] == kIgnoredBin) s.miss[i] = 0;

    if (side_) {
        // Alpha, and the 16-bit samples of pixels whose 8-bit colors are
        // equal: pixels that differ only there are never reported equal
        // (below 8 bits only by the exact rule).
        A.Side(ra, x0, n, s.alphaA, sideDeep_ ? s.deepA : nullptr);
        B.Side(rb, x0, n, s.alphaB, sideDeep_ ? s.deepB : nullptr);
        // Mostly the alpha of a run is equal, and only it is to be looked at.
        const bool sideEqual = !sideDeep_ && std::memcmp(s.alphaA, s.alphaB, static_cast<std::size_t>(n)) == 0;
        for (int i = 0; i < n && !sideEqual; ++i) {
            const std::uint8_t bin = s.bins[i];
            if (bin == kIgnoredBin) continue;
            bool extra = false;
            if (s.alphaA[i] != s.alphaB[i]) {
                ++tally.alphaDifferent;
                extra = bin >= matchingBin_;
                // A pixel whose alpha differs is no anti-aliasing.
                s.miss[i] = 3;
            } else if (sideDeep_ && bin == kSimilarityBins - 1 &&
                       std::memcmp(s.deepA + 4 * i, s.deepB + 4 * i, 4 * sizeof(std::uint16_t)) != 0) {
                ++tally.belowEightBits;
                extra = matchingBin_ == kSimilarityBins - 1;
                if (extra && !rule_.ByColorDistance()) s.miss[i] = 3;
            }
            tally.extra += extra;
        }
    }
    // Pixels whose colors alone fail may be anti-aliasing.
    if (rule_.antialiasing) MarkAntialiased(y, x0, n, s);
    int nonMatching = 0, antialiased = 0;
    for (int i = 0; i < n; ++i) {
        if (s.miss[i] == 3) s.miss[i] = 1;
        nonMatching += s.miss[i] == 1;
        antialiased += s.miss[i] == 2;
    }
    tally.nonMatching += static_cast<std::uint64_t>(nonMatching);
    tally.antialiased += static_cast<std::uint64_t>(antialiased);
    if (changes && nonMatching > 0) {
        for (int i = 0; i < n; ++i) s.changeBins[i] = s.miss[i] == 1 ? 0 : kSimilarityBins - 1;
        CollectChanges(s.changeBins, x0, n, kSimilarityBins - 1, *changes);
    }
    if (out && !similarity) Draw(y, x0, n, ca, cb, s.bins, out, s);
    tally.Add(s.bins, n);
}

void Comparison::CompareBand(int b, Tally& tally, Scratch& s) {
    const int y0 = b * bandRows_, y1 = BandEnd(b);
    DifferenceSink* sink = request_.difference;
    const std::size_t outBytes = static_cast<std::size_t>(width_) * outPixel_;
    const bool byBand = sink && !sink->RowTarget(y0);
    if (byBand && s.band.size() < outBytes * static_cast<std::size_t>(y1 - y0))
        s.band.resize(outBytes * static_cast<std::size_t>(y1 - y0));
    const std::uint64_t missedBefore = tally.nonMatching;
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* ra = left_.Row(y, bandRows_);
        const std::uint8_t* rb = rightRows_->Row(y, bandRows_);
        const std::uint8_t* rm = request_.mask ? mask_.Row(y, bandRows_) : nullptr;
        std::uint8_t* out = !sink    ? nullptr
                            : byBand ? s.band.data() + outBytes * static_cast<std::size_t>(y - y0)
                                     : sink->RowTarget(y);
        const SpanRows* spans = request_.ignore;
        const std::vector<PixelSpan>* ignore =
            spans && static_cast<std::size_t>(y) < spans->size() && !(*spans)[static_cast<std::size_t>(y)].empty()
                ? &(*spans)[static_cast<std::size_t>(y)]
                : nullptr;
        std::vector<PixelSpan>* changes = request_.collectChanges ? &changes_[static_cast<std::size_t>(y)] : nullptr;
        // Neighbouring rows change alike: room for as many spans as the row
        // above spares most of the growing.
        if (changes && y > y0) changes->reserve(changes_[static_cast<std::size_t>(y - 1)].size());
        for (int x0 = 0; x0 < width_; x0 += kRunPixels) {
            const int n = std::min(kRunPixels, width_ - x0);
            CompareRun(y, x0, n, ra, rb, rm, ignore, out ? out + static_cast<std::size_t>(x0) * outPixel_ : nullptr,
                       changes, tally, s);
        }
    }
    if (byBand) {
        if (tally.nonMatching == missedBefore)
            sink->MatchingBand(y0, y1, s.band.data(), static_cast<std::ptrdiff_t>(outBytes));
        else
            sink->Band(y0, y1, s.band.data(), static_cast<std::ptrdiff_t>(outBytes));
    }
}

void Comparison::EmitSteps() {
    if (!request_.step) return;
    int upTo;
    {
        std::lock_guard<std::mutex> g(lock_);
        upTo = std::min(height_, watermark_ * bandRows_);
    }
    for (; stepped_ < upTo; ++stepped_) {
        const int p = RowPercent(stepped_, height_);
        if (p != mark_) {
            mark_ = p;
            request_.step();
        }
    }
}

void Comparison::Work(unsigned self) {
    Tally& tally = tallies_[self];
    // Progress goes out on the calling thread, which is worker 0.
    const bool caller = self == 0;
    auto scratch = std::make_unique<Scratch>();
    try {
        for (;;) {
            if (caller) EmitSteps();
            int band = 0;
            Source* source = nullptr;
            Task task;
            {
                std::unique_lock<std::mutex> g(lock_);
                for (;;) {
                    task = Next(band, source);
                    if (task != Task::None) break;
                    // The calling thread shows the progress it waits for.
                    if (caller && request_.step && stepped_ < std::min(height_, watermark_ * bandRows_)) {
                        g.unlock();
                        EmitSteps();
                        g.lock();
                        continue;
                    }
                    changed_.wait(g);
                }
            }
            if (task == Task::Finished) break;
            if (task == Task::Decode) {
                DecodeBand(*source, band);
                std::lock_guard<std::mutex> g(lock_);
                source->busy = false;
                ++source->decoded;
                if (source->decoded == bands_) source->done = true;
            } else {
                CompareBand(band, tally, *scratch);
                int release0 = 0, release1 = 0;
                {
                    std::lock_guard<std::mutex> g(lock_);
                    compared_[static_cast<std::size_t>(band)] = 1;
                    while (watermark_ < bands_ && compared_[static_cast<std::size_t>(watermark_)]) ++watermark_;
                    // Rows in place are let go below the watermark, a few
                    // megabytes at a time: each release costs the other
                    // cores a flush of their address caches.
                    const int done = watermark_ >= bands_ ? height_ : watermark_ * bandRows_ - halo_;
                    if (done - released_ >= releaseRows_ || (done == height_ && done > released_)) {
                        release0 = released_;
                        release1 = released_ = done;
                    }
                }
                if (release1 > release0)
                    for (Source* s : {&left_, &right_, &mask_})
                        if (s->rows && s->inPlace) s->rows->Release(release0, release1);
            }
            changed_.notify_all();
        }
        if (caller) EmitSteps();
    } catch (...) {
        std::lock_guard<std::mutex> g(lock_);
        if (!failure_) failure_ = std::current_exception();
        stop_ = true;
        changed_.notify_all();
    }
}

CompareOutcome Comparison::Run() {
    Prepare();
    CompareOutcome out;
    out.width = width_;
    out.height = height_;
    out.pixelCount = static_cast<std::uint64_t>(width_) * static_cast<std::uint64_t>(height_);
    if (bands_ > 0 && width_ > 0) {
        RunWorkers(static_cast<unsigned>(tallies_.size()), [&](unsigned i) { Work(i); });
        if (failure_) std::rethrow_exception(failure_);
    } else {
        // Nothing to compare; the sources still reach their end.
        for (RowSource* s : {request_.left, request_.right == request_.left ? nullptr : request_.right})
            if (s && s->RowInPlace(0) == nullptr && s->Height() > 0) {
                std::vector<std::uint8_t> skip(s->Format().RowBytes());
                for (int y = 0; y < s->Height(); ++y) s->ReadRows(skip.data(), 0, 1);
                s->Finish();
            } else if (s) {
                s->Finish();
            }
    }
    for (RowSource* s : {request_.left, request_.right == request_.left ? nullptr : request_.right, request_.mask})
        if (s && s->RowInPlace(0) != nullptr && bands_ > 0 && width_ > 0) s->Finish();
    for (Tally& t : tallies_) {
        t.Flush();
        for (int k = 0; k < kSimilarityBins; ++k) out.counts[k] += t.total[k];
        out.ignoredCount += t.ignored;
        out.alphaDifferent += t.alphaDifferent;
        out.belowEightBits += t.belowEightBits;
        out.extraNonMatching += t.extra;
        out.nonMatchingPixels += t.nonMatching;
        out.antialiasedPixels += t.antialiased;
    }
    out.changes = std::move(changes_);
    return out;
}

}  // namespace

CompareOutcome RunComparison(const CompareRequest& request) { return Comparison(request).Run(); }

}  // namespace duvo
