#include "compare/compare.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;

int RowPercent(int y, int h) {
    const long double p = (static_cast<long double>(y) / static_cast<long double>(h)) * 100.0L;
    return static_cast<int>(std::trunc(p));
}

namespace {

// ---- row readers -------------------------------------------------------------
// Each reader turns pixel x of a row into 0x00BBGGRR exactly as Raster::GetPixel
// does. Fast may touch up to 3 bytes past the pixel and is used for every pixel
// but the last of a row; Safe stays inside the pixel.

struct Indexed1 {
    const std::uint32_t* lut;
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return Safe(row, x); }
    std::uint32_t Safe(const std::uint8_t* row, int x) const { return lut[(row[x >> 3] >> (7 - (x & 7))) & 1]; }
};

struct Indexed4 {
    const std::uint32_t* lut;
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return Safe(row, x); }
    std::uint32_t Safe(const std::uint8_t* row, int x) const {
        return lut[(row[x >> 1] >> ((~x & 1) << 2)) & 15];
    }
};

struct Indexed8 {
    const std::uint32_t* lut;
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return lut[row[x]]; }
    std::uint32_t Safe(const std::uint8_t* row, int x) const { return lut[row[x]]; }
};

// 16-bit pixels of any masks through a table of all 65536 values.
struct Table16 {
    const std::uint32_t* lut;
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return Safe(row, x); }
    std::uint32_t Safe(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + static_cast<std::size_t>(x) * 2;
        return lut[p[0] | (p[1] << 8)];
    }
};

struct Rgb24 {
    std::uint32_t Fast(const std::uint8_t* row, int x) const {
        std::uint32_t px;
        std::memcpy(&px, row + static_cast<std::size_t>(x) * 3, 4);
        // Bytes B, G, R in memory; the packed color wants R in the low byte.
        return __builtin_bswap32(px) >> 8;
    }
    std::uint32_t Safe(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + static_cast<std::size_t>(x) * 3;
        return p[2] | (p[1] << 8) | (static_cast<std::uint32_t>(p[0]) << 16);
    }
};

struct Rgb32 {
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return Safe(row, x); }
    std::uint32_t Safe(const std::uint8_t* row, int x) const {
        std::uint32_t px;
        std::memcpy(&px, row + static_cast<std::size_t>(x) * 4, 4);
        return __builtin_bswap32(px << 8);
    }
};

// 32-bit bit fields: each channel is cut to at most 8 bits by one mask and
// shift and widened through a 256-entry table (bit replication for narrow
// channels), which is what MaskChannel::Read8 computes.
struct Masked32 {
    const std::uint32_t* lut;  // 3 x 256, already moved to their byte
    std::array<std::uint32_t, 3> mask;
    std::array<int, 3> shift;
    std::uint32_t Fast(const std::uint8_t* row, int x) const { return Safe(row, x); }
    std::uint32_t Safe(const std::uint8_t* row, int x) const {
        std::uint32_t px;
        std::memcpy(&px, row + static_cast<std::size_t>(x) * 4, 4);
        return lut[(px & mask[0]) >> shift[0]] | lut[256 + ((px & mask[1]) >> shift[1])] |
               lut[512 + ((px & mask[2]) >> shift[2])];
    }
};

// Everything a reader needs that is built once per picture.
struct ReaderData {
    int bitCount = 0;
    bool bitFields = false;
    std::vector<std::uint32_t> lut;
    std::array<std::uint32_t, 3> mask{};
    std::array<int, 3> shift{};
};

ReaderData PrepareReader(const Raster& r) {
    ReaderData d;
    d.bitCount = r.BitCount();
    d.bitFields = r.Format().compression == platform::BI_BITFIELDS;
    switch (d.bitCount) {
        case 1:
        case 4:
        case 8: {
            const auto colors = r.ColorLookup();
            d.lut.assign(colors.begin(), colors.end());
            break;
        }
        case 16: {
            const auto masks = platform::EffectiveMasks(r.Format());
            const platform::MaskChannel red(masks[0]), green(masks[1]), blue(masks[2]);
            d.lut.resize(65536);
            for (std::uint32_t px = 0; px < 65536; ++px)
                d.lut[px] = red.Read8(px) | (green.Read8(px) << 8) | (blue.Read8(px) << 16);
            break;
        }
        case 24: break;
        case 32:
            if (d.bitFields) {
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
            }
            break;
        default: throw EInvalidGraphic(msg::InvalidPixelFormat);
    }
    return d;
}

// ---- the row loop ------------------------------------------------------------

// Bin counters of one worker. Rows count into 4 interleaved uint32 tables (a
// run of equal bins then does not wait on its own increments); they are
// flushed into 64-bit totals before a table could overflow.
struct Tally {
    std::array<std::array<std::uint32_t, 104>, 4> run{};
    std::uint64_t sinceFlush = 0;
    SimilarityCounts total{};

    void Reserve(int pixels) {
        if (sinceFlush + static_cast<std::uint64_t>(pixels) > 0xFFFFFFFFu) Flush();
        sinceFlush += static_cast<std::uint64_t>(pixels);
    }
    void Flush() {
        for (auto& t : run) {
            for (int k = 0; k < kSimilarityBins; ++k) total[k] += t[k];
            t.fill(0);
        }
        sinceFlush = 0;
    }
};

inline std::uint32_t Diff(std::uint32_t c1, std::uint32_t c2) {
    const std::int32_t d = static_cast<std::int32_t>(c1 - c2);
    const std::int32_t sign = d >> 31;
    return kMaxSimilarity - static_cast<std::uint32_t>((d ^ sign) - sign);
}

inline void StoreFast(std::uint8_t* out, int x, std::uint32_t v) {
    // Writes B, G, R and one byte into the next pixel, which its own store
    // overwrites later.
    const std::uint32_t px = __builtin_bswap32(v << 8);
    std::memcpy(out + static_cast<std::size_t>(x) * 3, &px, 4);
}

inline void StoreSafe(std::uint8_t* out, int x, std::uint32_t v) {
    std::uint8_t* p = out + static_cast<std::size_t>(x) * 3;
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
}

struct Job {
    const Raster* left;
    const Raster* right;
    Raster* out;
    int width;
    int height;
};

template <class A, class B>
void CompareRow(const A& a, const B& b, const Job& job, int y, Tally& tally) {
    const std::uint8_t* ra = job.left->Row(y);
    const std::uint8_t* rb = job.right->Row(y);
    std::uint8_t* ro = job.out->Row(y);
    const int w = job.width;
    tally.Reserve(w);
    auto& t = tally.run;
    int x = 0;
    for (; x + 4 < w; x += 4) {
        const std::uint32_t v0 = Diff(a.Fast(ra, x), b.Fast(rb, x));
        const std::uint32_t v1 = Diff(a.Fast(ra, x + 1), b.Fast(rb, x + 1));
        const std::uint32_t v2 = Diff(a.Fast(ra, x + 2), b.Fast(rb, x + 2));
        const std::uint32_t v3 = Diff(a.Fast(ra, x + 3), b.Fast(rb, x + 3));
        StoreFast(ro, x, v0);
        StoreFast(ro, x + 1, v1);
        StoreFast(ro, x + 2, v2);
        StoreFast(ro, x + 3, v3);
        ++t[0][FastSimilarityBin(v0)];
        ++t[1][FastSimilarityBin(v1)];
        ++t[2][FastSimilarityBin(v2)];
        ++t[3][FastSimilarityBin(v3)];
    }
    for (; x + 1 < w; ++x) {
        const std::uint32_t v = Diff(a.Fast(ra, x), b.Fast(rb, x));
        StoreFast(ro, x, v);
        ++t[0][FastSimilarityBin(v)];
    }
    const std::uint32_t v = Diff(a.Safe(ra, x), b.Safe(rb, x));
    StoreSafe(ro, x, v);
    ++t[0][FastSimilarityBin(v)];
}

// Runs f with the reader that fits the picture.
template <class F>
void WithReader(const ReaderData& d, F&& f) {
    const std::uint32_t* lut = d.lut.data();
    switch (d.bitCount) {
        case 1: f(Indexed1{lut}); break;
        case 4: f(Indexed4{lut}); break;
        case 8: f(Indexed8{lut}); break;
        case 16: f(Table16{lut}); break;
        case 24: f(Rgb24{}); break;
        default:
            if (d.bitFields)
                f(Masked32{lut, d.mask, d.shift});
            else
                f(Rgb32{});
            break;
    }
}

// The rows [y0, y1) with the readers chosen once.
void CompareRows(const ReaderData& da, const ReaderData& db, const Job& job, int y0, int y1, Tally& tally) {
    WithReader(da, [&](const auto& a) {
        WithReader(db, [&](const auto& b) {
            for (int y = y0; y < y1; ++y) CompareRow(a, b, job, y, tally);
        });
    });
}

// Makes bitmap a fresh w x h 24-bit DIB and hands out its raster. A bitmap
// that already is one, alone in its store, is kept: every pixel is written
// anyway, so nobody can tell it from a new one.
Raster* MakeDifferencePicture(TBitmap& bitmap, int w, int h) {
    const bool reusable = bitmap.PixelKind() == pk24Bit && bitmap.Width() == w && bitmap.Height() == h &&
                          bitmap.Image()->RefCount() == 1 && w > 0 && h > 0;
    if (!reusable) {
        bitmap.SetWidth(0);
        bitmap.SetHeight(0);
        bitmap.SetPixelKind(pk24Bit);
        bitmap.SetWidth(w);
        bitmap.SetHeight(h);
    }
    return w > 0 && h > 0 ? bitmap.GetHandle() : nullptr;
}

// Rows per block handed to a worker: about a quarter of a million pixels, so
// that blocks are large against the hand-out cost and small against the
// progress bar's granularity.
int BlockRows(int width) { return std::max(1, (1 << 18) / std::max(width, 1)); }

void RunParallel(const ReaderData& da, const ReaderData& db, const Job& job, unsigned threads, int rowsPerBlock,
                 const std::function<void()>& step, SimilarityCounts& counts) {
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

    auto work = [&](unsigned self) {
        Tally& tally = tallies[self];
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return;
            const int b = nextBlock.fetch_add(1, std::memory_order_relaxed);
            if (b >= blocks) return;
            const int y0 = b * rowsPerBlock;
            CompareRows(da, db, job, y0, blockEnd(b), tally);
            done[static_cast<std::size_t>(b)].store(true, std::memory_order_release);
            {
                std::lock_guard<std::mutex> g(lock);
            }
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
                blockDone.wait(g, [&] { return done[static_cast<std::size_t>(b)].load(std::memory_order_acquire); });
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
    for (auto& tally : tallies) {
        tally.Flush();
        for (int k = 0; k < kSimilarityBins; ++k) counts[k] += tally.total[k];
    }
}

}  // namespace

CompareResult CountSimilarity(const TBitmap& left, const TBitmap& right, TBitmap& difference,
                              const CompareOptions& options) {
    CompareResult result;
    result.width = std::max(0, std::min(left.Width(), right.Width()));
    result.height = std::max(0, std::min(left.Height(), right.Height()));
    result.pixelCount = static_cast<std::uint64_t>(result.width) * static_cast<std::uint64_t>(result.height);

    const Raster* lr = left.Raster();
    const Raster* rr = right.Raster();
    if (result.pixelCount == 0 || !lr || !rr) {
        MakeDifferencePicture(difference, result.width, result.height);
        return result;
    }
    const ReaderData da = PrepareReader(*lr);
    const ReaderData db = PrepareReader(*rr);

    // The difference picture may be one of the inputs: build it aside then.
    TBitmap aside;
    TBitmap& target = (&difference == &left || &difference == &right) ? aside : difference;
    Job job{lr, rr, MakeDifferencePicture(target, result.width, result.height), result.width, result.height};

    unsigned threads = options.threads;
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
        // Small pictures are not worth a thread start.
        if (result.pixelCount < (1u << 16)) threads = 1;
    }
    const int rowsPerBlock = options.rowsPerBlock > 0 ? options.rowsPerBlock : BlockRows(job.width);

    if (threads == 1) {
        Tally tally;
        int mark = 0;
        for (int y = 0; y < job.height; ++y) {
            CompareRows(da, db, job, y, y + 1, tally);
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
    } else {
        RunParallel(da, db, job, threads, rowsPerBlock, options.step, result.counts);
    }
    if (&target != &difference) difference.CopyFrom(&target);
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
    histogram = Normalise(result.counts, result.pixelCount);
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
