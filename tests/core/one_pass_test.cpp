// The one pass against a plain per-pixel reference, over a table of option
// combinations: ignored rectangles, a mask picture, alpha and 16-bit samples
// (compared or not), a tolerance, change spans and the difference rows in
// each style (given in bands or written in place), on any thread count and
// band height. The reference decodes whole pictures the old way (libspng's
// composed colors and side planes, a bitmap's pixel reads) and compares them
// pixel by pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "codecs/bmp/bmp_decoder.h"
#include "compare/antialias.h"
#include "compare/engine.h"
#include "compare/perceptual.h"
#include "compare/regions.h"
#include "graphics/bitmap.h"
#include "graphics/bitmap_rows.h"
#include "png_builder.h"
#include "reference/png_spng.h"

namespace {

using namespace duvo;
using Bytes = std::vector<std::uint8_t>;
using duvo::test::PngBuilder;
using duvo::test::PngRecipe;

// A picture as the reference sees it: colors, and alpha and 16-bit samples
// where the file has them.
struct Whole {
    int width = 0, height = 0;
    std::vector<std::uint32_t> colors;
    std::vector<std::uint8_t> alpha;  // empty: opaque
    std::vector<std::uint16_t> deep;  // empty: 8-bit
};

// A test file: its bytes, how to open it as rows, and its whole decode.
struct Picture {
    std::string name;
    Bytes bytes;
    bool png = false;

    std::unique_ptr<RowSource> Open() const {
        return png ? OpenPngRowsWithSpng(bytes, kDefaultLimits) : OpenBmpRows(bytes, kDefaultLimits);
    }
    Whole Decode() const {
        Whole w;
        TBitmap bitmap;
        if (png) {
            PngDecoded d = DecodePng(bytes, kDefaultLimits);
            w.alpha = d.side.alpha;
            w.deep = d.side.deep;
            bitmap.Adopt(std::move(d.picture));
        } else {
            bitmap.LoadFromBytes(bytes, kDefaultLimits);
        }
        w.width = bitmap.Width();
        w.height = bitmap.Height();
        for (int y = 0; y < w.height; ++y)
            for (int x = 0; x < w.width; ++x)
                w.colors.push_back(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)));
        return w;
    }
};

Picture Png(const std::string& name, int w, int h, int type, int depth, std::mt19937& rng,
            const std::function<std::uint16_t(int x, int y, int c, std::uint16_t random)>& sample = {}) {
    PngRecipe r;
    r.width = w;
    r.height = h;
    r.colorType = type;
    r.bitDepth = depth;
    const int channels = duvo::test::PngChannels(type);
    const int top = (1 << depth) - 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                const auto random = static_cast<std::uint16_t>(rng() % (static_cast<unsigned>(top) + 1));
                r.samples.push_back(sample ? sample(x, y, c, random) : random);
            }
    if (type == 3) {
        for (int i = 0; i <= top; ++i) r.palette.push_back({static_cast<std::uint8_t>(i * 29), 90, 200});
        r.paletteAlpha = {255, 0, 128};
    }
    return {name, PngBuilder::Build(r), true};
}

Picture Bmp(const std::string& name, int w, int h, int bits, std::mt19937& rng) {
    std::vector<std::vector<std::uint32_t>> rows(static_cast<std::size_t>(h));
    for (auto& row : rows)
        for (int x = 0; x < w; ++x) row.push_back(bits == 8 ? rng() % 4 : rng() & 0xFFFFFF);
    bmptest::BmpRecipe r{.width = w, .height = h, .bitCount = static_cast<std::uint16_t>(bits)};
    if (bits == 8) {
        r.colors = {0x000000, 0xFFFFFF, 0x808080, 0x0000FF};
        r.clrUsed = 4;
    }
    r.pixels = bmptest::PackRows(bits, rows);
    return {name, bmptest::BuildBmp(r), false};
}

struct Expected {
    SimilarityCounts counts{};
    std::uint64_t ignored = 0, alphaDifferent = 0, belowEightBits = 0, extra = 0;
    std::set<std::pair<int, int>> changed;
    std::vector<Bytes> difference;
};

// The options of a comparison that the reference follows.
struct Options {
    const SpanRows* ignore = nullptr;
    const Whole* mask = nullptr;
    int matchingBin = kSimilarityBins - 1;
    bool sidePlanes = true;
    DifferenceStyle style = DifferenceStyle::Similarity;
    DifferenceColors colors;
};

std::uint32_t Luma(std::uint32_t c) { return (77 * (c & 0xFF) + 150 * ((c >> 8) & 0xFF) + 29 * (c >> 16)) >> 8; }

// A 0x00BBGGRR color as blue, green, red bytes.
void Put(std::uint8_t* p, std::uint32_t c) {
    p[0] = static_cast<std::uint8_t>(c >> 16);
    p[1] = static_cast<std::uint8_t>(c >> 8);
    p[2] = static_cast<std::uint8_t>(c);
}

Expected Reference(const Whole& a, const Whole& b, const Options& o) {
    Expected e;
    const int w = std::min(a.width, b.width), h = std::min(a.height, b.height);
    const SpanRows& ignore = o.ignore ? *o.ignore : SpanRows{};
    const Whole* mask = o.mask;
    const int matchingBin = o.matchingBin;
    const bool side = o.sidePlanes && (!a.alpha.empty() || !b.alpha.empty() || !a.deep.empty() || !b.deep.empty());
    const bool deep = !a.deep.empty() || !b.deep.empty();
    auto deepOf = [](const Whole& p, std::size_t at, std::uint32_t color, std::uint8_t alpha) {
        if (!p.deep.empty())
            return std::array<std::uint16_t, 4>{p.deep[4 * at], p.deep[4 * at + 1], p.deep[4 * at + 2],
                                                p.deep[4 * at + 3]};
        return std::array<std::uint16_t, 4>{
            static_cast<std::uint16_t>((color & 0xFF) * 257), static_cast<std::uint16_t>(((color >> 8) & 0xFF) * 257),
            static_cast<std::uint16_t>((color >> 16) * 257), static_cast<std::uint16_t>(alpha * 257)};
    };
    const std::size_t pixelBytes = o.style == DifferenceStyle::Mask ? 4 : 3;
    for (int y = 0; y < h; ++y) {
        Bytes row(static_cast<std::size_t>(w) * pixelBytes);
        // The highlight and mask pictures of a counted pixel, once its verdict is known.
        auto draw = [&](int x, std::uint32_t ca, std::uint32_t cb, bool changed) {
            std::uint8_t* p = row.data() + pixelBytes * static_cast<std::size_t>(x);
            const std::uint32_t color = Luma(cb) < Luma(ca) ? o.colors.darker : o.colors.brighter;
            if (o.style == DifferenceStyle::Highlight)
                Put(p, changed ? color : (230 + Luma(ca) * 25 / 255) * 0x010101u);
            if (o.style == DifferenceStyle::Mask && changed) {
                Put(p, color);
                p[3] = 255;
            }
        };
        for (int x = 0; x < w; ++x) {
            const std::size_t atA = static_cast<std::size_t>(y) * a.width + x,
                              atB = static_cast<std::size_t>(y) * b.width + x;
            bool ignored = false;
            if (static_cast<std::size_t>(y) < ignore.size())
                for (const PixelSpan& s : ignore[static_cast<std::size_t>(y)]) ignored |= x >= s.x0 && x < s.x1;
            if (mask && mask->colors[static_cast<std::size_t>(y) * mask->width + x] != 0xFFFFFF) ignored = true;
            if (ignored) {
                ++e.ignored;
                // Grey, or hatched in the highlight picture; left clear in the mask.
                if (o.style == DifferenceStyle::Similarity) std::fill_n(row.begin() + 3 * x, 3, kIgnoredColor & 0xFF);
                if (o.style == DifferenceStyle::Highlight)
                    Put(row.data() + 3 * x, ((x + y) >> 2) & 1 ? 0xC8C8C8u : 0xE4E4E4u);
                continue;
            }
            const std::uint32_t ca = a.colors[atA], cb = b.colors[atB];
            const std::uint32_t v = SimilarityValue(static_cast<TColor>(ca), static_cast<TColor>(cb));
            const int bin = SimilarityBin(v);
            ++e.counts[static_cast<std::size_t>(bin)];
            if (o.style == DifferenceStyle::Similarity) Put(row.data() + 3 * x, v);
            bool extra = false;
            if (side) {
                const std::uint8_t aa = a.alpha.empty() ? 255 : a.alpha[atA], ab = b.alpha.empty() ? 255 : b.alpha[atB];
                if (aa != ab) {
                    ++e.alphaDifferent;
                    extra = bin >= matchingBin;
                } else if (deep && ca == cb && deepOf(a, atA, ca, aa) != deepOf(b, atB, cb, ab)) {
                    ++e.belowEightBits;
                    extra = matchingBin == kSimilarityBins - 1;
                }
            }
            e.extra += extra;
            if (bin < matchingBin || extra) e.changed.insert({x, y});
            draw(x, ca, cb, bin < matchingBin || extra);
        }
        e.difference.push_back(std::move(row));
    }
    return e;
}

// The difference rows as the pass gives them: in bands, or written where
// RowTarget says.
class Gathered : public DifferenceSink {
public:
    explicit Gathered(int h) : rows_(static_cast<std::size_t>(h)) {}
    void TakeInPlace() {
        inPlace_ = true;
        for (Bytes& row : rows_) row.assign(static_cast<std::size_t>(width_) * pixelBytes_, 0xEE);
    }
    std::uint8_t* RowTarget(int y) override { return inPlace_ ? rows_[static_cast<std::size_t>(y)].data() : nullptr; }
    void Band(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) override {
        EXPECT_FALSE(inPlace_) << "rows " << y0 << " to " << y1 << " in a band";
        std::lock_guard<std::mutex> g(lock_);
        for (int y = y0; y < y1; ++y) {
            const std::uint8_t* p = rows + (y - y0) * stride;
            auto& row = rows_[static_cast<std::size_t>(y)];
            EXPECT_TRUE(row.empty()) << "row " << y << " twice";
            row.assign(p, p + static_cast<std::size_t>(width_) * pixelBytes_);
        }
    }
    int width_ = 0;
    std::size_t pixelBytes_ = 3;
    std::vector<Bytes> rows_;
    std::mutex lock_;

private:
    bool inPlace_ = false;
};

TEST(OnePass, MatchesThePlainReferenceForEveryOptionCombination) {
    std::mt19937 rng(21);
    const int W = 37, H = 23;
    // Pairs that differ where the options look: alpha, the bits below 8,
    // colors near each other, different layouts and sizes.
    const auto keepLow = [](std::uint16_t v) { return static_cast<std::uint16_t>(v & 0xFF00); };
    std::mt19937 same(5), same2(5);
    const std::vector<std::pair<Picture, Picture>> pairs = {
        {Png("rgba8", W, H, 6, 8, rng,
             [](int x, int y, int c, std::uint16_t r) {
                 return c == 3 ? static_cast<std::uint16_t>((x + y) % 3 ? 255 : r) : r;
             }),
         Png("rgba8 b", W, H, 6, 8, rng,
             [](int x, int, int c, std::uint16_t r) {
                 return c == 3 ? static_cast<std::uint16_t>(x % 4 ? 255 : r) : r;
             })},
        {Png("rgb16", W, H, 2, 16, same, [&](int, int, int, std::uint16_t r) { return keepLow(r); }),
         Png("rgb16 low bits", W, H, 2, 16, same2,
             [&](int x, int, int c, std::uint16_t r) {
                 return static_cast<std::uint16_t>(keepLow(r) | (x % 5 == 0 && c == 1));
             })},
        {Png("gray8", W + 4, H, 0, 8, rng), Bmp("bmp24", W, H + 3, 24, rng)},
        {Bmp("bmp8", W, H, 8, rng), Bmp("bmp24 b", W, H, 24, rng)},
        {Png("palette tRNS", W, H, 3, 2, rng), Png("rgba16", W, H, 6, 16, rng)},
        {Png("gray alpha", W, H, 4, 8, rng), Png("gray alpha b", W, H, 4, 8, rng)},
    };
    const Picture maskPicture = Bmp("mask", W, H, 8, rng);  // a quarter of it white
    SpanRows rectangles;
    AddRectangle(rectangles, W, H, 3, 2, 10, 5);
    AddRectangle(rectangles, W, H, 30, 15, 20, 20);

    DifferenceColors colors;
    colors.darker = 0x123456;
    colors.brighter = 0x654321;
    const Whole mask = maskPicture.Decode();
    const DifferenceStyle styles[] = {DifferenceStyle::Similarity, DifferenceStyle::Highlight, DifferenceStyle::Mask};
    const char* styleNames[] = {"similarity", "highlight", "mask"};

    int checked = 0;
    for (const auto& [pa, pb] : pairs) {
        const Whole a = pa.Decode(), b = pb.Decode();
        const int w = std::min(a.width, b.width), h = std::min(a.height, b.height);
        ASSERT_TRUE(w == W && h == H) << "the mask covers the area of every pair";
        for (bool withRectangles : {false, true})
            for (bool withMask : {false, true})
                for (int matchingBin : {100, 97})
                    for (bool sidePlanes : {true, false})
                        for (int style = 0; style < 3; ++style) {
                            Options options;
                            options.ignore = withRectangles ? &rectangles : nullptr;
                            options.mask = withMask ? &mask : nullptr;
                            options.matchingBin = matchingBin;
                            options.sidePlanes = sidePlanes;
                            options.style = styles[style];
                            options.colors = colors;
                            const Expected want = Reference(a, b, options);
                            for (bool inPlace : {false, true})
                                for (auto [threads, band] : {std::pair{1u, 0}, {2u, 1}, {3u, 7}}) {
                                    SCOPED_TRACE(pa.name + " / " + pb.name + (withRectangles ? ", rectangles" : "") +
                                                 (withMask ? ", mask" : "") + ", bin " + std::to_string(matchingBin) +
                                                 (sidePlanes ? "" : ", colors alone") + ", " + styleNames[style] +
                                                 (inPlace ? " in place" : " in bands") + ", " +
                                                 std::to_string(threads) + " threads, band " + std::to_string(band));
                                    auto left = pa.Open();
                                    auto right = pb.Open();
                                    auto maskRows = maskPicture.Open();
                                    Gathered sink(h);
                                    sink.width_ = w;
                                    sink.pixelBytes_ = styles[style] == DifferenceStyle::Mask ? 4 : 3;
                                    if (inPlace) sink.TakeInPlace();
                                    CompareRequest request;
                                    request.left = left.get();
                                    request.right = right.get();
                                    request.ignore = options.ignore;
                                    request.mask = withMask ? maskRows.get() : nullptr;
                                    request.matchingBin = matchingBin;
                                    request.sidePlanes = sidePlanes;
                                    request.collectChanges = true;
                                    request.difference = &sink;
                                    request.style = options.style;
                                    request.colors = colors;
                                    request.threads = threads;
                                    request.bandRows = band;
                                    const CompareOutcome got = RunComparison(request);
                                    EXPECT_EQ(got.counts, want.counts);
                                    EXPECT_EQ(got.ignoredCount, want.ignored);
                                    EXPECT_EQ(got.alphaDifferent, want.alphaDifferent);
                                    EXPECT_EQ(got.belowEightBits, want.belowEightBits);
                                    EXPECT_EQ(got.extraNonMatching, want.extra);
                                    EXPECT_EQ(got.nonMatchingPixels, want.changed.size());
                                    std::set<std::pair<int, int>> changed;
                                    for (int y = 0; y < static_cast<int>(got.changes.size()); ++y)
                                        for (const PixelSpan& s : got.changes[static_cast<std::size_t>(y)])
                                            for (int x = s.x0; x < s.x1; ++x) changed.insert({x, y});
                                    EXPECT_EQ(changed, want.changed);
                                    EXPECT_EQ(sink.rows_, want.difference);
                                    ++checked;
                                }
                        }
    }
    EXPECT_EQ(checked, 6 * 2 * 2 * 2 * 2 * 3 * 2 * 3);
}

// Sources fail in the middle of the pass: the failure passes on, every
// worker stops, and a failing sink too.
TEST(OnePass, AFailureOfASourceOrTheSinkStopsThePass) {
    class Failing : public RowSource {
    public:
        Failing(int w, int h, int failAt) : failAt_(failAt) {
            format_.width = w;
            format_.height = h;
            format_.layout = RowLayout::Gray;
        }
        void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
            for (int i = 0; i < count; ++i, ++next_) {
                if (next_ == failAt_) throw EInvalidGraphic("cut here");
                std::fill_n(dst + i * stride, format_.width, static_cast<std::uint8_t>(next_));
            }
        }

    private:
        int failAt_;
        int next_ = 0;
    };
    class FailingSink : public DifferenceSink {
    public:
        void Band(int y0, int y1, const std::uint8_t*, std::ptrdiff_t) override {
            if (y0 <= 50 && 50 < y1) throw EWriteError("disk full");
        }
    };
    for (unsigned threads : {1u, 2u, 4u}) {
        Failing a(64, 200, 77), b(64, 200, -1);
        CompareRequest request;
        request.left = &a;
        request.right = &b;
        request.threads = threads;
        request.bandRows = 4;
        EXPECT_THROW(RunComparison(request), EInvalidGraphic) << threads;
        Failing c(64, 200, -1), d(64, 200, -1);
        FailingSink sink;
        request.left = &c;
        request.right = &d;
        request.difference = &sink;
        EXPECT_THROW(RunComparison(request), EWriteError) << threads;
    }
}

}  // namespace

namespace {

// Gray pictures with anti-aliased shapes: a disc and a slanted edge drawn
// with coverage, at a sub-pixel offset in the right picture, plus one real
// change, so that every kind of verdict appears. With grain, two pixels in
// three are one step lighter or darker besides, as after a re-encode.
Picture Drawn(const std::string& name, int w, int h, double shift, bool change, bool grain = false) {
    duvo::test::PngRecipe r;
    r.width = w;
    r.height = h;
    r.colorType = 2;
    r.bitDepth = 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            // Coverage of a disc and of a half plane, by 4 x 4 samples.
            int inside = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) {
                    const double px = x + (sx + 0.5) / 4 - shift, py = y + (sy + 0.5) / 4;
                    const bool disc = (px - 20) * (px - 20) + (py - 15) * (py - 15) < 81;
                    const bool edge = px > 40 + py * 0.3;
                    inside += disc || edge;
                }
            std::uint16_t v = static_cast<std::uint16_t>(255 - inside * 255 / 16);
            if (grain) v = static_cast<std::uint16_t>(std::clamp(v + (x + 2 * y) % 3 - 1, 0, 255));
            std::uint16_t red = v;
            if (change && x >= 5 && x < 9 && y >= 24 && y < 28) red = 255, v = 0;  // a red square
            r.samples.insert(r.samples.end(), {red, v, v});
        }
    return {name, duvo::test::PngBuilder::Build(r), true};
}

TEST(OnePass, RulesAndAntialiasingMatchAPlainReferenceOnAnyBands) {
    const int W = 61, H = 37;
    const Picture pa = Drawn("a", W, H, 0, false);
    int checked = 0;
    // Few pixels of a row to test for anti-aliasing, and most of them.
    for (const bool grain : {false, true}) {
        const Picture pb = Drawn("b", W, H, 0.4, true, grain);
        const Whole a = pa.Decode(), b = pb.Decode();
        std::vector<const std::uint32_t*> rowsA, rowsB;
        for (int y = 0; y < H; ++y) {
            rowsA.push_back(a.colors.data() + static_cast<std::size_t>(y) * W);
            rowsB.push_back(b.colors.data() + static_cast<std::size_t>(y) * W);
        }
        auto window = [&](const std::vector<const std::uint32_t*>& rows, int y) {
            antialias::Window w{};
            w.width = W;
            for (int k = 0; k < 5; ++k) {
                const int r = y - 2 + k;
                w.rows[k] = r >= 0 && r < H ? rows[static_cast<std::size_t>(r)] : nullptr;
            }
            return w;
        };
        const struct {
            const char* what;
            std::optional<double> threshold;
            int channel;
            bool aa;
        } rules[] = {
            {"exact with anti-aliasing", std::nullopt, -1, true},
            {"threshold 0.05", 0.05, -1, false},
            {"threshold 0.1 with anti-aliasing", 0.1, -1, true},
            {"channel tolerance 40 with anti-aliasing", std::nullopt, 40, true},
            {"both rules", 0.2, 10, false},
        };
        for (const auto& rule : rules) {
            // The reference: every pixel by the plain distance and the detector
            // on whole-picture windows.
            std::uint64_t wantMiss = 0, wantAa = 0;
            std::set<std::pair<int, int>> wantChanged;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const std::uint32_t ca = a.colors[static_cast<std::size_t>(y) * W + x];
                    const std::uint32_t cb = b.colors[static_cast<std::size_t>(y) * W + x];
                    bool fail = ca != cb;
                    if (rule.threshold || rule.channel >= 0) {
                        fail = rule.threshold && perceptual::Distance(ca, cb) > *rule.threshold;
                        for (int c = 0; c < 24 && rule.channel >= 0; c += 8)
                            fail |= std::abs(int((ca >> c) & 0xFF) - int((cb >> c) & 0xFF)) > rule.channel;
                    }
                    if (!fail) continue;
                    if (rule.aa && antialias::IsAntialiased(window(rowsA, y), window(rowsB, y), x)) {
                        ++wantAa;
                    } else {
                        ++wantMiss;
                        wantChanged.insert({x, y});
                    }
                }
            ASSERT_GT(wantMiss, 0u) << rule.what;
            // Anti-aliased pixels exist exactly for the rules that look for them.
            ASSERT_EQ(wantAa > 0, rule.aa) << rule.what;
            std::optional<perceptual::Threshold> threshold;
            if (rule.threshold) threshold.emplace(*rule.threshold);
            MatchRule match;
            match.threshold = threshold ? &*threshold : nullptr;
            match.channelTolerance = rule.channel;
            match.antialiasing = rule.aa;
            for (auto [threads, band] : {std::pair{1u, 0}, {2u, 1}, {3u, 2}, {2u, 5}, {4u, 3}}) {
                SCOPED_TRACE(std::string(rule.what) + (grain ? ", grain, " : ", ") + std::to_string(threads) +
                             " threads, band " + std::to_string(band));
                auto left = pa.Open();
                auto right = pb.Open();
                CompareRequest request;
                request.left = left.get();
                request.right = right.get();
                request.rule = &match;
                request.collectChanges = true;
                request.threads = threads;
                request.bandRows = band;
                const CompareOutcome got = RunComparison(request);
                EXPECT_EQ(got.nonMatchingPixels, wantMiss);
                EXPECT_EQ(got.antialiasedPixels, wantAa);
                std::set<std::pair<int, int>> changed;
                for (int y = 0; y < static_cast<int>(got.changes.size()); ++y)
                    for (const PixelSpan& s : got.changes[static_cast<std::size_t>(y)])
                        for (int x = s.x0; x < s.x1; ++x) changed.insert({x, y});
                EXPECT_EQ(changed, wantChanged);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 50);
}

}  // namespace

namespace {

// A source that counts what the pass asks of it.
class Counted final : public RowSource {
public:
    explicit Counted(std::unique_ptr<RowSource> inner) : inner_(std::move(inner)) { format_ = inner_->Format(); }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        rowsRead_ += count;
        inner_->ReadRows(dst, stride, count);
    }
    const std::uint8_t* RowInPlace(int y) const override { return inner_->RowInPlace(y); }
    void Release(int y0, int y1) override { inner_->Release(y0, y1); }
    void Finish() override {
        ++finished_;
        inner_->Finish();
    }
    int rowsRead_ = 0, finished_ = 0;

private:
    std::unique_ptr<RowSource> inner_;
};

// Rows read where they lie (a mapped file's) are let go once each, from the
// top, a few megabytes at a time: every release makes the other cores flush
// their address caches, so one a band made the pass 50 % slower.
TEST(OnePass, RowsInPlaceAreLetGoOnceInLargeSteps) {
    class Recording final : public RowSource {
    public:
        explicit Recording(std::unique_ptr<RowSource> inner) : inner_(std::move(inner)) { format_ = inner_->Format(); }
        void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
            inner_->ReadRows(dst, stride, count);
        }
        const std::uint8_t* RowInPlace(int y) const override { return inner_->RowInPlace(y); }
        void Release(int y0, int y1) override {
            std::lock_guard<std::mutex> g(lock_);
            ranges_.push_back({y0, y1});
        }
        std::vector<std::pair<int, int>> Ranges() {
            std::lock_guard<std::mutex> g(lock_);
            std::sort(ranges_.begin(), ranges_.end());
            return ranges_;
        }

    private:
        std::unique_ptr<RowSource> inner_;
        std::mutex lock_;
        std::vector<std::pair<int, int>> ranges_;
    };
    std::mt19937 rng(3);
    // Rows of 6000 bytes: about 1400 of them make 8 MB, in bands of 65.
    const int W = 2000, H = 3000;
    const Picture a = Bmp("a", W, H, 24, rng), b = Bmp("b", W, H, 24, rng);
    for (const bool aa : {false, true})
        for (const unsigned threads : {1u, 2u, 4u}) {
            SCOPED_TRACE(std::string(aa ? "anti-aliasing, " : "") + std::to_string(threads) + " threads");
            Recording left(a.Open()), right(b.Open());
            ASSERT_NE(left.RowInPlace(0), nullptr);
            MatchRule rule;
            rule.antialiasing = aa;
            CompareRequest request;
            request.left = &left;
            request.right = &right;
            request.rule = &rule;
            request.threads = threads;
            RunComparison(request);
            for (Recording* side : {&left, &right}) {
                const auto ranges = side->Ranges();
                int next = 0;
                for (const auto& [y0, y1] : ranges) {
                    EXPECT_EQ(y0, next);
                    EXPECT_GT(y1, y0);
                    next = y1;
                }
                EXPECT_EQ(next, H);
                EXPECT_LE(ranges.size(), 3u);
            }
        }
}

// One source given as both pictures (a file compared with its own bytes) is
// read once, and the outcome is that of two copies: every pixel matches,
// the ignored ones are counted apart, and the difference picture is the
// same, whatever the rule, the bands and the threads.
TEST(OnePass, OneSourceOnBothSidesIsReadOnceAndCountsAsTwoCopies) {
    std::mt19937 rng(8);
    const int W = 41, H = 29;
    const Picture pictures[] = {Png("rgba16", W, H, 6, 16, rng), Png("palette", W, H, 3, 2, rng),
                                Bmp("bmp24", W, H, 24, rng), Drawn("drawn", W, H, 0, true)};
    const Picture maskPicture = Bmp("mask", W, H, 8, rng);
    SpanRows rectangles;
    AddRectangle(rectangles, W, H, 4, 3, 9, 6);
    const perceptual::Threshold threshold(0.1);
    MatchRule exact, loose;
    loose.threshold = &threshold;
    loose.antialiasing = true;
    for (const Picture& p : pictures)
        for (const MatchRule* rule : {&exact, &loose})
            for (bool withMask : {false, true})
                for (auto [threads, band] : {std::pair{1u, 0}, {2u, 1}, {3u, 4}}) {
                    SCOPED_TRACE(p.name + (rule == &loose ? ", threshold and anti-aliasing" : ", exact") +
                                 (withMask ? ", mask" : "") + ", " + std::to_string(threads) + " threads, band " +
                                 std::to_string(band));
                    auto run = [&](RowSource& left, RowSource& right, Gathered& sink) {
                        auto maskRows = maskPicture.Open();
                        CompareRequest request;
                        request.left = &left;
                        request.right = &right;
                        request.ignore = &rectangles;
                        request.mask = withMask ? maskRows.get() : nullptr;
                        request.rule = rule;
                        request.collectChanges = true;
                        request.difference = &sink;
                        request.threads = threads;
                        request.bandRows = band;
                        return RunComparison(request);
                    };
                    Counted one(p.Open());
                    Gathered oneSink(H), twoSink(H);
                    oneSink.width_ = twoSink.width_ = W;
                    const CompareOutcome got = run(one, one, oneSink);
                    auto a = p.Open(), b = p.Open();
                    const CompareOutcome want = run(*a, *b, twoSink);

                    const bool inPlace = one.RowInPlace(0) != nullptr;
                    EXPECT_EQ(one.rowsRead_, inPlace ? 0 : H);
                    EXPECT_EQ(one.finished_, 1);
                    EXPECT_EQ(got.counts, want.counts);
                    EXPECT_EQ(got.ignoredCount, want.ignoredCount);
                    EXPECT_GT(got.ignoredCount, 0u);
                    EXPECT_EQ(got.counts[100], got.CountedPixels());
                    EXPECT_EQ(got.nonMatchingPixels, 0u);
                    EXPECT_EQ(got.antialiasedPixels, 0u);
                    EXPECT_EQ(got.alphaDifferent + got.belowEightBits, 0u);
                    for (const auto& row : got.changes) EXPECT_TRUE(row.empty());
                    EXPECT_EQ(oneSink.rows_, twoSink.rows_);
                }
}

}  // namespace

namespace {

// Which bands the pass calls matching: those without a pixel that fails the
// rule, anti-aliased pixels and ignored ones counted as matching.
TEST(OnePass, BandsWithoutNonMatchingPixelsComeAsMatchingBands) {
    class Sorting : public DifferenceSink {
    public:
        void Band(int y0, int y1, const std::uint8_t*, std::ptrdiff_t) override { Mark(y0, y1, 'D'); }
        void MatchingBand(int y0, int y1, const std::uint8_t*, std::ptrdiff_t) override { Mark(y0, y1, 'M'); }
        std::string rows_;

    private:
        void Mark(int y0, int y1, char c) {
            std::lock_guard<std::mutex> g(lock_);
            for (int y = y0; y < y1; ++y) rows_[static_cast<std::size_t>(y)] = c;
        }
        std::mutex lock_;
    };
    const int W = 61, H = 37;
    // The red square covers rows 24 to 27; the shifted shapes are anti-aliasing.
    const Picture pa = Drawn("a", W, H, 0, false), pb = Drawn("b", W, H, 0.4, true);
    MatchRule exact, aa;
    aa.antialiasing = true;
    SpanRows square;
    AddRectangle(square, W, H, 5, 24, 4, 4);
    const struct {
        const char* what;
        const MatchRule* rule;
        const SpanRows* ignore;
        bool anyMatching;  // some band must be matching at this band height
    } rows[] = {
        {"exact", &exact, nullptr, false},
        {"anti-aliasing", &aa, nullptr, true},
        {"anti-aliasing, the square ignored", &aa, &square, true},
    };
    for (const auto& row : rows)
        for (auto [threads, band] : {std::pair{1u, 3}, {2u, 4}, {3u, 1}}) {
            SCOPED_TRACE(std::string(row.what) + ", " + std::to_string(threads) + " threads, band " +
                         std::to_string(band));
            auto left = pa.Open(), right = pb.Open();
            Sorting sink;
            sink.rows_.assign(H, '?');
            CompareRequest request;
            request.left = left.get();
            request.right = right.get();
            request.rule = row.rule;
            request.ignore = row.ignore;
            request.collectChanges = true;
            request.difference = &sink;
            request.threads = threads;
            request.bandRows = band;
            const CompareOutcome got = RunComparison(request);
            // The verdict row by row, from the change spans.
            for (int b0 = 0; b0 < H; b0 += band) {
                bool changed = false;
                for (int y = b0; y < std::min(H, b0 + band); ++y) changed |= !got.changes[y].empty();
                for (int y = b0; y < std::min(H, b0 + band); ++y)
                    EXPECT_EQ(sink.rows_[static_cast<std::size_t>(y)], changed ? 'D' : 'M') << "row " << y;
            }
            EXPECT_EQ(sink.rows_.find('M') != std::string::npos, row.anyMatching) << sink.rows_;
            EXPECT_EQ(sink.rows_.find('D') != std::string::npos, row.ignore == nullptr) << sink.rows_;
        }
}

}  // namespace
