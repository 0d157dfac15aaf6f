#include "compare/compare.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "compare/compare_rows.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;

int RowPercent(int y, int h) {
    const long double p = (static_cast<long double>(y) / static_cast<long double>(h)) * 100.0L;
    return static_cast<int>(std::trunc(p));
}

namespace {

// ---- row readers -------------------------------------------------------------
// Each reader turns a run of pixels of a row into packed 0x00BBGGRR colors
// exactly as Raster::GetPixel reads them one by one.

struct Indexed1 {
    const std::uint32_t* lut;
    std::uint32_t At(const std::uint8_t* row, int x) const { return lut[(row[x >> 3] >> (7 - (x & 7))) & 1]; }
};

struct Indexed4 {
    const std::uint32_t* lut;
    std::uint32_t At(const std::uint8_t* row, int x) const { return lut[(row[x >> 1] >> ((~x & 1) << 2)) & 15]; }
};

// 16-bit pixels of any masks through a table of all 65536 values.
struct Table16 {
    const std::uint32_t* lut;
    std::uint32_t At(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + static_cast<std::size_t>(x) * 2;
        return lut[p[0] | (p[1] << 8)];
    }
};

struct Rgb32 {
    std::uint32_t At(const std::uint8_t* row, int x) const {
        std::uint32_t px;
        std::memcpy(&px, row + static_cast<std::size_t>(x) * 4, 4);
        return __builtin_bswap32(px << 8);  // B, G, R, unused: the 4th byte drops out
    }
};

// 32-bit bit fields: each channel is cut to at most 8 bits by one mask and
// shift and widened through a 256-entry table (bit replication for narrow
// channels), which is what MaskChannel::Read8 computes.
struct Masked32 {
    const std::uint32_t* lut;  // 3 x 256, already moved to their byte
    std::array<std::uint32_t, 3> mask;
    std::array<int, 3> shift;
    std::uint32_t At(const std::uint8_t* row, int x) const {
        std::uint32_t px;
        std::memcpy(&px, row + static_cast<std::size_t>(x) * 4, 4);
        return lut[(px & mask[0]) >> shift[0]] | lut[256 + ((px & mask[1]) >> shift[1])] |
               lut[512 + ((px & mask[2]) >> shift[2])];
    }
};

// Everything a reader needs, built once per picture.
struct ReaderData {
    int bitCount = 0;
    bool bitFields = false;
    std::vector<std::uint32_t> lut;
    std::array<std::uint32_t, 3> mask{};
    std::array<int, 3> shift{};
    std::unique_ptr<compare_rows::ColorTable> table;  // 8-bit pictures
    const compare_rows::Kernels* kernels = nullptr;
    // Fills dst with the colors of pixels x0 .. x0 + n - 1 of row, or returns
    // another buffer that holds them.
    const std::uint32_t* (*decode)(const ReaderData&, const std::uint8_t* row, int x0, int n,
                                   std::uint32_t* dst) = nullptr;
};

template <class Reader>
const std::uint32_t* DecodeWith(const Reader& reader, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    for (int i = 0; i < n; ++i) dst[i] = reader.At(row, x0 + i);
    return dst;
}

const std::uint32_t* Decode1(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    return DecodeWith(Indexed1{d.lut.data()}, row, x0, n, dst);
}
const std::uint32_t* Decode4(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    return DecodeWith(Indexed4{d.lut.data()}, row, x0, n, dst);
}
const std::uint32_t* Decode8(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    d.kernels->decode8(*d.table, row + x0, dst, n);
    return dst;
}
const std::uint32_t* Decode16(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    return DecodeWith(Table16{d.lut.data()}, row, x0, n, dst);
}
const std::uint32_t* Decode24(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    d.kernels->unpack24(row + static_cast<std::size_t>(x0) * 3, dst, n);
    return dst;
}
const std::uint32_t* Decode32(const ReaderData&, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    return DecodeWith(Rgb32{}, row, x0, n, dst);
}
const std::uint32_t* Decode32Masked(const ReaderData& d, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
    return DecodeWith(Masked32{d.lut.data(), d.mask, d.shift}, row, x0, n, dst);
}

ReaderData PrepareReader(const Raster& r, const compare_rows::Kernels& kernels) {
    ReaderData d;
    d.bitCount = r.BitCount();
    d.bitFields = r.Format().compression == platform::BI_BITFIELDS;
    d.kernels = &kernels;
    switch (d.bitCount) {
        case 1:
        case 4:
        case 8: {
            const auto colors = r.ColorLookup();
            d.lut.assign(colors.begin(), colors.end());
            if (d.bitCount == 8) d.table = std::make_unique<compare_rows::ColorTable>(colors);
            d.decode = d.bitCount == 1 ? Decode1 : d.bitCount == 4 ? Decode4 : Decode8;
            break;
        }
        case 16: {
            const auto masks = platform::EffectiveMasks(r.Format());
            const platform::MaskChannel red(masks[0]), green(masks[1]), blue(masks[2]);
            d.lut.resize(65536);
            for (std::uint32_t px = 0; px < 65536; ++px)
                d.lut[px] = red.Read8(px) | (green.Read8(px) << 8) | (blue.Read8(px) << 16);
            d.decode = Decode16;
            break;
        }
        case 24:
            d.decode = Decode24;
            break;
        case 32:
            if (!d.bitFields) {
                d.decode = Decode32;
                break;
            }
            d.lut.assign(3 * 256, 0);
            for (int c = 0; c < 3; ++c) {
                const platform::MaskChannel ch(r.Format().masks[c]);
                // Keep the channel's top 8 bits (Read8 drops the rest).
                const int s = ch.bits > 8 ? ch.shift + ch.bits - 8 : ch.shift;
                d.mask[c] = ch.mask;
                d.shift[c] = s;
                for (std::uint32_t i = 0; i < 256; ++i) {
                    const std::uint32_t px = s < 32 ? static_cast<std::uint32_t>(std::uint64_t{i} << s) : 0;
                    d.lut[c * 256 + i] = ch.Read8(px) << (8 * c);
                }
            }
            d.decode = Decode32Masked;
            break;
        default:
            throw EInvalidGraphic(msg::InvalidPixelFormat);
    }
    return d;
}

// ---- the row loop ------------------------------------------------------------

// Bin counters of one worker. Runs count into 4 interleaved uint32 tables (a
// stretch of equal bins then does not wait on its own increments); they are
// flushed into 64-bit totals before a table could overflow.
// Left-out pixels get this bin, one past the top, so that they pass through
// the tally uncounted in the histogram.
constexpr std::uint8_t kIgnoredBin = kSimilarityBins;

struct Tally {
    std::array<std::array<std::uint32_t, 104>, 4> run{};
    std::uint64_t sinceFlush = 0;
    SimilarityCounts total{};
    std::uint64_t ignored = 0;

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

struct Job {
    const Raster* left;
    const Raster* right;
    TBitmap* out;
    const ReaderData* readLeft;
    const ReaderData* readRight;
    const compare_rows::Kernels* kernels;
    int width;
    int height;
    const SpanRows* ignore;
    SpanRows* changes;
    int matchingBin;
    DifferenceRows* sink;
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

// Per-worker buffers for one run of pixels.
struct Scratch {
    alignas(64) std::uint32_t a[compare_rows::kRunPixels];
    alignas(64) std::uint32_t b[compare_rows::kRunPixels];
    alignas(64) std::uint8_t bins[compare_rows::kRunPixels];
    // Where a run's similarity values go when nobody wants the picture.
    alignas(64) std::uint8_t values[compare_rows::kRunPixels * 3];
    // A block's difference rows on their way to a DifferenceRows.
    std::vector<std::uint8_t> block;
};

// The rows [y0, y1). 24-bit rows go to the kernels as they are; other rows
// are decoded a run at a time first.
void CompareRows(const Job& job, int y0, int y1, Tally& tally, Scratch& s) {
    const ReaderData& da = *job.readLeft;
    const ReaderData& db = *job.readRight;
    const bool left24 = da.bitCount == 24, right24 = db.bitCount == 24;
    const compare_rows::Kernels& k = *job.kernels;
    const std::size_t rowBytes = static_cast<std::size_t>(job.width) * 3;
    if (job.sink && s.block.size() < rowBytes * static_cast<std::size_t>(y1 - y0))
        s.block.resize(rowBytes * static_cast<std::size_t>(y1 - y0));
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* ra = job.left->Row(y);
        const std::uint8_t* rb = job.right->Row(y);
        std::uint8_t* ro = job.out ? job.out->RowAddress(y) : nullptr;
        if (job.sink) ro = s.block.data() + static_cast<std::size_t>(y - y0) * static_cast<std::size_t>(job.width) * 3;
        const std::vector<PixelSpan>* ignore =
            job.ignore && static_cast<std::size_t>(y) < job.ignore->size() && !(*job.ignore)[y].empty()
                ? &(*job.ignore)[y]
                : nullptr;
        std::vector<PixelSpan>* changes = job.changes ? &(*job.changes)[y] : nullptr;
        // Neighbouring rows change alike: room for as many spans as the row
        // above spares most of the growing.
        if (changes && y > y0) changes->reserve((*job.changes)[y - 1].size());
        for (int x0 = 0; x0 < job.width; x0 += compare_rows::kRunPixels) {
            const int n = std::min(compare_rows::kRunPixels, job.width - x0);
            const std::size_t at = static_cast<std::size_t>(x0) * 3;
            std::uint8_t* o = ro ? ro + at : s.values;
            if (left24 && right24 && std::memcmp(ra + at, rb + at, static_cast<std::size_t>(n) * 3) == 0) {
                // Equal runs are the common case between two versions of one
                // picture: all of them white, all in the top bin.
                if (ro) std::memset(o, 0xFF, static_cast<std::size_t>(n) * 3);
                const int left = ignore ? MarkIgnored(*ignore, x0, n, nullptr, ro ? o : nullptr) : 0;
                tally.total[kSimilarityBins - 1] += static_cast<std::uint64_t>(n - left);
                tally.ignored += static_cast<std::uint64_t>(left);
                continue;
            }
            if (left24 && right24)
                k.diffAndBin24(ra + at, rb + at, o, s.bins, n);
            else if (right24)
                k.diffAndBinMixed(da.decode(da, ra, x0, n, s.a), rb + at, o, s.bins, n);
            else if (left24)
                k.diffAndBinMixed(db.decode(db, rb, x0, n, s.b), ra + at, o, s.bins, n);
            else
                k.diffAndBin(da.decode(da, ra, x0, n, s.a), db.decode(db, rb, x0, n, s.b), o, s.bins, n);
            if (ignore) MarkIgnored(*ignore, x0, n, s.bins, ro ? o : nullptr);
            if (changes && job.matchingBin > 0) CollectChanges(s.bins, x0, n, job.matchingBin, *changes);
            tally.Add(s.bins, n);
        }
    }
    if (job.sink) job.sink->Block(y0, y1, s.block.data(), static_cast<std::ptrdiff_t>(rowBytes));
}

// Makes bitmap a fresh w x h 24-bit DIB, alone in its store, so that its
// rows can be written through RowAddress from any thread (nothing in the
// bitmap changes any more). A bitmap that already is one is kept: every pixel
// is written anyway, so nobody can tell it from a new one.
TBitmap* MakeDifferencePicture(TBitmap& bitmap, int w, int h) {
    const bool reusable = bitmap.PixelKind() == pk24Bit && bitmap.Width() == w && bitmap.Height() == h &&
                          bitmap.Image()->RefCount() == 1 && w > 0 && h > 0;
    if (!reusable && (w <= 0 || h <= 0)) {
        bitmap.SetWidth(0);
        bitmap.SetHeight(0);
        bitmap.SetPixelKind(pk24Bit);
    }
    if (w <= 0 || h <= 0) return nullptr;
    if (!reusable) {
        // What a new 24-bit bitmap of this size is, without painting it white
        // first: the workers write every pixel, and a big picture would wait
        // on the fill before its first progress step.
        DecodedPicture fresh;
        platform::RasterFormat format;
        format.bitCount = 24;
        fresh.raster = platform::Raster::Create(w, h, format, nullptr, 0, platform::Raster::Fill::Zero);
        bitmap.Adopt(std::move(fresh));
    }
    bitmap.PrepareChange();
    bitmap.RowAddress(0);  // settles the DIB mode before the workers start
    return &bitmap;
}

// Rows per block handed to a worker: about a quarter of a million pixels, so
// that blocks are large against the hand-out cost and small against the
// progress bar's granularity.
int BlockRows(int width) { return std::max(1, (1 << 18) / std::max(width, 1)); }

void RunParallel(const Job& job, unsigned threads, int rowsPerBlock, const std::function<void()>& step,
                 SimilarityCounts& counts, std::uint64_t& ignored) {
    const int blocks = static_cast<int>((std::int64_t{job.height} + rowsPerBlock - 1) / rowsPerBlock);
    // The end row of block b, without overflow for any block size.
    auto blockEnd = [&](int b) {
        return static_cast<int>(std::min<std::int64_t>(job.height, (std::int64_t{b} + 1) * rowsPerBlock));
    };
    threads = std::min<unsigned>(threads, static_cast<unsigned>(blocks));

    std::atomic<int> nextBlock{0};
    std::atomic<bool> stop{false};
    std::vector<std::atomic<bool>> done(static_cast<std::size_t>(blocks));
    std::mutex lock;
    std::condition_variable blockDone;
    std::vector<Tally> tallies(threads);
    std::exception_ptr failure;

    auto work = [&](unsigned self) {
        Tally& tally = tallies[self];
        Scratch scratch;
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return;
            const int b = nextBlock.fetch_add(1, std::memory_order_relaxed);
            if (b >= blocks) return;
            const int y0 = b * rowsPerBlock;
            try {
                CompareRows(job, y0, blockEnd(b), tally, scratch);
            } catch (...) {
                // The first failure stops everyone and is raised once all
                // workers have ended.
                std::lock_guard<std::mutex> g(lock);
                if (!failure) failure = std::current_exception();
                stop.store(true);
                blockDone.notify_all();
                return;
            }
            done[static_cast<std::size_t>(b)].store(true, std::memory_order_release);
            { std::lock_guard<std::mutex> g(lock); }
            blockDone.notify_one();
        }
    };

    std::vector<std::thread> pool;
    // Stops and joins the workers on every way out, an exception from the
    // progress step or from starting a thread included.
    struct Joiner {
        std::vector<std::thread>& pool;
        std::atomic<bool>& stop;
        ~Joiner() {
            stop.store(true);
            for (auto& t : pool)
                if (t.joinable()) t.join();
        }
    } joiner{pool, stop};
    pool.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) pool.emplace_back(work, i);

    // Progress goes out on this thread, in row order, as blocks complete.
    if (step) {
        int mark = 0;
        for (int b = 0; b < blocks; ++b) {
            {
                std::unique_lock<std::mutex> g(lock);
                blockDone.wait(
                    g, [&] { return failure || done[static_cast<std::size_t>(b)].load(std::memory_order_acquire); });
                if (failure) break;
            }
            const int y1 = blockEnd(b);
            for (int y = b * rowsPerBlock; y < y1; ++y) {
                const int p = RowPercent(y, job.height);
                if (p != mark) {
                    mark = p;
                    step();
                }
            }
        }
    }
    for (auto& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
    for (auto& tally : tallies) {
        tally.Flush();
        for (int k = 0; k < kSimilarityBins; ++k) counts[k] += tally.total[k];
        ignored += tally.ignored;
    }
}

}  // namespace

CompareResult CountSimilarity(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              const CompareOptions& options) {
    CompareResult result;
    result.width = std::max(0, std::min(left.Width(), right.Width()));
    result.height = std::max(0, std::min(left.Height(), right.Height()));
    result.pixelCount = static_cast<std::uint64_t>(result.width) * static_cast<std::uint64_t>(result.height);

    if (options.changes) options.changes->assign(static_cast<std::size_t>(result.height), {});
    if (result.pixelCount == 0) {
        if (options.writeDifference) MakeDifferencePicture(difference, result.width, result.height);
        return result;
    }
    // The rows are read straight from the rasters, so they must hold the area.
    const Raster* lr = left.Raster();
    const Raster* rr = right.Raster();
    for (const Raster* r : {lr, rr})
        if (!r || r->Width() < result.width || r->Height() < result.height) throw EInvalidGraphic(msg::InvalidBitmap);
    const compare_rows::Kernels& kernels =
        options.scalarOnly ? compare_rows::ScalarKernels() : compare_rows::BestKernels();
    const ReaderData da = PrepareReader(*lr, kernels);
    const ReaderData db = PrepareReader(*rr, kernels);

    // The difference picture may be one of the inputs: build it aside then.
    TBitmap aside;
    TBitmap& target = (&difference == &left || &difference == &right) ? aside : difference;
    const int matchingBin = std::clamp(options.matchingBin, 0, kSimilarityBins - 1);
    Job job{lr,
            rr,
            options.writeDifference ? MakeDifferencePicture(target, result.width, result.height) : nullptr,
            &da,
            &db,
            &kernels,
            result.width,
            result.height,
            options.ignore,
            options.changes,
            matchingBin,
            options.writeDifference ? nullptr : options.differenceRows};

    unsigned threads = options.threads;
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
        // Small pictures are not worth a thread start.
        if (result.pixelCount < (1u << 16)) threads = 1;
    }
    const int rowsPerBlock = options.rowsPerBlock > 0 ? options.rowsPerBlock : BlockRows(job.width);

    if (threads == 1) {
        Tally tally;
        Scratch scratch;
        int mark = 0;
        // Rows one by one for the progress bar; a taker of difference rows
        // without one gets them in blocks.
        const int chunk = job.sink && !options.step ? rowsPerBlock : 1;
        for (int y = 0; y < job.height; y += chunk) {
            CompareRows(job, y, std::min(job.height, y + chunk), tally, scratch);
            if (options.step) {
                const int p = RowPercent(y, job.height);
                if (p != mark) {
                    mark = p;
                    options.step();
                }
            }
        }
        tally.Flush();
        result.counts = tally.total;
        result.ignoredCount = tally.ignored;
    } else {
        RunParallel(job, threads, rowsPerBlock, options.step, result.counts, result.ignoredCount);
    }
    if (options.writeDifference && &target != &difference) difference.CopyFrom(&target);
    return result;
}

SimilarityHistogram Normalise(const SimilarityCounts& counts, std::uint64_t pixelCount) {
    if (pixelCount == 0) throw EInvalidOp(msg::InvalidFloatOp);
    const auto pixels = static_cast<long double>(pixelCount);
    SimilarityHistogram histogram;
    for (int k = 0; k < kSimilarityBins; ++k) histogram[k] = (static_cast<long double>(counts[k]) / pixels) * 100.0L;
    return histogram;
}

CompareResult ComparePictures(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              SimilarityHistogram& histogram, const CompareOptions& options) {
    histogram.fill(0.0L);
    CompareResult result = CountSimilarity(left, right, difference, options);
    histogram = Normalise(result.counts, result.CountedPixels());
    return result;
}

// ---- reference ----------------------------------------------------------------

CompareResult CompareReference(TBitmap& left, TBitmap& right, TBitmap& difference, SimilarityHistogram& histogram,
                               const std::function<void()>& step) {
    for (const TBitmap* b : {&left, &right})
        if (const Raster* r = b->Raster()) {
            const int bits = r->BitCount();
            if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
                throw EInvalidGraphic(msg::InvalidPixelFormat);
        }
    CompareResult result;
    result.width = std::min(left.Width(), right.Width());
    result.height = std::min(left.Height(), right.Height());
    const int w = result.width, h = result.height;

    TBitmap fresh;
    fresh.SetWidth(w);
    fresh.SetHeight(h);
    histogram.fill(0.0L);
    TCanvas& a = left.Canvas();
    TCanvas& b = right.Canvas();
    TCanvas& out = fresh.Canvas();
    int mark = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const TColor c1 = a.ReadPixel(x, y);
            const TColor c2 = b.ReadPixel(x, y);
            const TColor v = 16777215 - std::abs(c1 - c2);
            out.WritePixel(x, y, v);
            const int k = static_cast<int>(std::trunc(static_cast<long double>(v) / 16777215.0L * 100.0L));
            histogram[k] += 1.0L;
        }
        const int p = static_cast<int>(std::trunc((static_cast<long double>(y) / h) * 100.0L));
        if (p != mark) {
            mark = p;
            if (step) step();
        }
    }
    difference.CopyFrom(&fresh);
    for (int k = 0; k < kSimilarityBins; ++k) result.counts[k] = static_cast<std::uint64_t>(histogram[k]);
    result.pixelCount = static_cast<std::uint64_t>(w > 0 ? w : 0) * static_cast<std::uint64_t>(h > 0 ? h : 0);
    if (result.pixelCount == 0) throw EInvalidOp(msg::InvalidFloatOp);
    const long double pixels = static_cast<long double>(result.pixelCount);
    for (int k = 0; k < kSimilarityBins; ++k) histogram[k] = (histogram[k] / pixels) * 100.0L;
    return result;
}

}  // namespace duvo
