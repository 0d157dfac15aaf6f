// The JPEG image: loading reads only the header, decoding matches the library
// decoding the same bytes with the same settings, failures become EJPEG, and
// the .jpg route of the open command.
#include "graphics/jpeg.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "codecs/jpeg/jpeg_decoder.h"
#include "graphics/bitmap.h"
#include "jpeg_fixtures.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"
#include "scratch_folder.h"

namespace {

using namespace duvo;
using namespace jpegtest;

std::string JpegMessage(int code) { return "JPEG error #" + std::to_string(code); }

// The message of the E that f throws; anything else thrown fails the test.
template <class E, class F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return "(nothing thrown)";
}

void Load(TJPEGImage& image, const Bytes& bytes) {
    TBytesStream stream(bytes.data(), bytes.size());
    image.ReadFromStream(stream);
}

EncodeRecipe Recipe(int w, int h, bool progressive = false, Kind kind = Kind::Color) {
    return {.width = w, .height = h, .kind = kind, .progressive = progressive};
}

std::uint32_t Pixel(TBitmap& b, int x, int y) { return static_cast<std::uint32_t>(b.Canvas().ReadPixel(x, y)); }

// Cuts the file inside its (first) scan data, keeping the given share of it.
Bytes CutInScan(const Bytes& bytes, double keep) {
    const std::size_t sos = FindMarker(bytes, 0xDA);
    const std::size_t cut = sos + 20 + static_cast<std::size_t>((bytes.size() - sos - 20) * keep);
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
}

// The bitmap holds the library's rows (blue, green, red at 24 bits; indices
// with the library's color map as palette at 8), and every pixel read through
// the surface is the library's color.
void ExpectSame(TBitmap& bitmap, const Decoded& ref) {
    const bool indexed = ref.components == 1;
    ASSERT_EQ(bitmap.PixelKind(), indexed ? pk8Bit : pk24Bit);
    ASSERT_EQ(bitmap.Width(), ref.width);
    ASSERT_EQ(bitmap.Height(), ref.height);
    if (indexed) {
        ASSERT_NE(bitmap.GetPalette(), nullptr);
        std::vector<std::uint32_t> colors;
        for (const auto& e : bitmap.GetPalette()->entries)
            colors.push_back(e.red | (e.green << 8) | (static_cast<std::uint32_t>(e.blue) << 16));
        EXPECT_EQ(colors, ref.colormap);
    }
    const std::size_t rowBytes = static_cast<std::size_t>(ref.width) * ref.components;
    for (int y = 0; y < ref.height; ++y) {
        ASSERT_EQ(std::memcmp(bitmap.RowAddress(y), ref.rows.data() + y * rowBytes, rowBytes), 0) << "row " << y;
        for (int x = 0; x < ref.width; ++x) ASSERT_EQ(Pixel(bitmap, x, y), ReferenceColor(ref, x, y)) << x << "," << y;
    }
}

// The eight corners of the color cube.
std::unique_ptr<platform::Palette> CubeCorners() {
    auto p = std::make_unique<platform::Palette>();
    for (int i = 0; i < 8; ++i)
        p->entries.push_back({static_cast<std::uint8_t>(i & 1 ? 255 : 0), static_cast<std::uint8_t>(i & 2 ? 255 : 0),
                              static_cast<std::uint8_t>(i & 4 ? 255 : 0), 0});
    return p;
}

DecodeSpec WithCubeMap(DecodeSpec d) {
    const auto cube = CubeCorners();
    for (const auto& e : cube->entries) d.externalMap.insert(d.externalMap.end(), {e.red, e.green, e.blue});
    return d;
}

// Quantized output; the fastest mode dithers ordered in one pass with the fast DCT.
DecodeSpec Quantized(J_COLOR_SPACE space, bool fastest = false) {
    DecodeSpec d{.outSpace = space, .quantize = true};
    if (fastest) d.twoPass = false, d.dither = JDITHER_ORDERED, d.dct = JDCT_IFAST;
    return d;
}

// ---- decoding against the library ---------------------------------------------

// Image settings against the library settings they must amount to. A
// progressive view shows each scan as it arrives, then makes a final pass over
// all coefficients with the same DCT, smoothing and quantizer as a plain
// decode, so its result must be the plain decode's, byte for byte.
enum Flags { k8Bit = 1, kFastest = 2, kNoSmoothing = 4, kView = 8, kCube = 16 };  // kCube: cube palette assigned

struct DecodeCase {
    const char* name;
    EncodeRecipe recipe;
    DecodeSpec ref = {};
    int flags = 0;
    TJPEGScale scale = dsFull;
    double keep = 1;  // share of the scan data kept; 1 keeps the whole file
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class JpegDecodeLikeLibrary : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(JpegDecodeLikeLibrary, BitmapIsTheLibrarysOutput) {
    const DecodeCase& c = GetParam();
    Bytes bytes = EncodeJpeg(c.recipe);
    if (c.keep < 1) bytes = CutInScan(bytes, c.keep);
    const auto ref = ReferenceDecode(bytes, c.ref);
    TJPEGImage image;
    image.SetOutputDepth(c.flags & k8Bit ? od8Bit : od24Bit);
    image.SetDecodeMode(c.flags & kFastest ? dmFastest : dmBestQuality);
    image.SetBlockSmoothing(!(c.flags & kNoSmoothing));
    image.SetProgressiveView(c.flags & kView);
    image.SetDecodeScale(c.scale);
    Load(image, bytes);
    if (c.flags & kCube) image.SetPalette(CubeCorners());
    EXPECT_FALSE(image.Decoded());
    // The size before decoding is the library's output size at that scale.
    EXPECT_EQ(image.Width(), ref.width);
    EXPECT_EQ(image.Height(), ref.height);
    EXPECT_EQ(image.MultiScan(), c.recipe.progressive);
    ExpectSame(*image.DecodedBitmap(), ref);
}

const EncodeRecipe kGray = Recipe(72, 40, false, Kind::Gray), kGrayProgressive = Recipe(72, 40, true, Kind::Gray);
const DecodeSpec kGray236 = Quantized(JCS_GRAYSCALE), kColor236 = Quantized(JCS_RGB);

const DecodeCase kDecodeCases[] = {
    // Files at the default settings.
    {"Baseline420", Recipe(64, 48)},
    {"Baseline444", {.width = 64, .height = 48, .hSamp = 1, .vSamp = 1}},
    {"OddSizePadsRows", Recipe(37, 19)},
    {"OneRowNeedsNoRowStep", Recipe(40, 1)},
    {"OnePixel", {.width = 1, .height = 1, .hSamp = 1, .vSamp = 1}},
    {"Progressive", Recipe(80, 56, true)},
    {"RestartMarkers", {.width = 96, .height = 64, .restartInterval = 2}},
    {"CutShortInScanData", Recipe(96, 64), {}, 0, dsFull, 0.5},
    {"ProgressiveCutShort", Recipe(96, 64, true), {}, 0, dsFull, 0.4},
    // Settings.
    {"GrayFileQuantizedTo236", kGray, kGray236},
    {"GrayProgressive", kGrayProgressive, kGray236},
    {"GrayFastestDithersOrdered", kGray, Quantized(JCS_GRAYSCALE, true), kFastest},
    {"EightBitColorTwoPassFloydSteinberg", Recipe(64, 48), kColor236, k8Bit},
    {"EightBitColorFastest", Recipe(64, 48), Quantized(JCS_RGB, true), k8Bit | kFastest},
    {"FastestIsFastDct", Recipe(64, 48), {.dct = JDCT_IFAST}, kFastest},
    {"ProgressiveWithoutSmoothing", Recipe(64, 48, true), {.smoothing = false}, kNoSmoothing},
    {"HalfScale", Recipe(65, 47), {.scaleDenom = 2}, 0, dsHalf},
    {"EighthScale", Recipe(100, 60), {.scaleDenom = 8}, 0, dsEighth},
    // Progressive view: the final pass equals the plain decode.
    {"ViewColor", Recipe(96, 72, true), {}, kView},
    {"ViewGray", kGrayProgressive, kGray236, kView},
    {"ViewEightBitTwoPass", Recipe(96, 72, true), kColor236, k8Bit | kView},
    // An assigned palette becomes the color map at 8 bits, with or without the
    // view; gray output keeps the library's own map, which ignores it.
    {"AssignedPalette", Recipe(64, 48), WithCubeMap(kColor236), k8Bit | kCube},
    {"AssignedPaletteInView", Recipe(64, 48, true), WithCubeMap(kColor236), k8Bit | kView | kCube},
    {"AssignedPaletteGrayOutput", kGray, kGray236, k8Bit | kCube},
};

INSTANTIATE_TEST_SUITE_P(Cases, JpegDecodeLikeLibrary, ::testing::ValuesIn(kDecodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegDecode, GrayFileHasAtMost236GrayEntriesForAll256Levels) {
    const EncodeRecipe s{.width = 256, .height = 8, .quality = 100, .kind = Kind::Gray};
    Bytes ramp(256 * 8);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i % 256);
    TJPEGImage image;
    Load(image, EncodePixels(s, ramp));
    EXPECT_TRUE(image.Grayscale());
    TBitmap* bitmap = image.DecodedBitmap();
    EXPECT_EQ(bitmap->PixelKind(), pk8Bit);
    ASSERT_NE(bitmap->GetPalette(), nullptr);
    const auto& entries = bitmap->GetPalette()->entries;
    EXPECT_LE(entries.size(), 236u);
    EXPECT_GE(entries.size(), 200u);
    for (const auto& e : entries) EXPECT_TRUE(e.red == e.green && e.green == e.blue);
    // The ends of the ramp survive quantization.
    EXPECT_EQ(Pixel(*bitmap, 0, 4), 0x000000u);
    EXPECT_EQ(Pixel(*bitmap, 255, 4), 0xFFFFFFu);
}

// The fuzzer's seed files and every JPEG reproducer it found decode (or fail
// as invalid graphics) without touching memory they do not own.
TEST(JpegDecode, DataFilesDecodeToTheirHeaderSize) {
    const std::filesystem::path root(DUVO_TEST_DATA);
    int seen = 0;
    for (const char* folder : {"jpeg", "regress"}) {
        if (!std::filesystem::exists(root / folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
            if (entry.path().extension() != ".jpg") continue;
            SCOPED_TRACE(entry.path().filename().string());
            ++seen;
            TJPEGImage image;
            try {
                // Small enough that a file declaring a huge picture is refused.
                image.LoadFile(entry.path().string(), {.pixels = std::uint64_t{1} << 24});
                const int w = image.Width(), h = image.Height();
                TBitmap* bitmap = image.DecodedBitmap();
                EXPECT_EQ(bitmap->Width(), w);
                EXPECT_EQ(bitmap->Height(), h);
            } catch (const EInvalidGraphic& e) {
                EXPECT_NE(std::string(folder), "jpeg") << e.Message();
            }
        }
    }
    EXPECT_GE(seen, 5);
}

// ---- CMYK and YCCK ------------------------------------------------------------

class JpegCmykDecode : public ::testing::TestWithParam<Kind> {};

TEST_P(JpegCmykDecode, InksBecomeRgbAsThePaperLeftByThem) {
    const Bytes bytes = EncodeJpeg(Recipe(48, 40, false, GetParam()));
    const auto ref = ReferenceDecode(bytes, {.outSpace = JCS_CMYK});
    const int flip = GetParam() == Kind::CmykAdobe ? 255 : 0;
    ASSERT_EQ(ref.sawAdobe, flip != 0);
    TJPEGImage image;
    Load(image, bytes);
    TBitmap* bitmap = image.DecodedBitmap();
    ASSERT_EQ(bitmap->PixelKind(), pk24Bit);
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const std::uint8_t* p = ref.rows.data() + (static_cast<std::size_t>(y) * ref.width + x) * 4;
            const int k = p[3] ^ flip;
            auto paper = [&](int ink) {
                return static_cast<std::uint32_t>(std::lround((255 - ink) * (255 - k) / 255.0));
            };
            ASSERT_EQ(Pixel(*bitmap, x, y), paper(p[0] ^ flip) | (paper(p[1] ^ flip) << 8) | (paper(p[2] ^ flip) << 16))
                << x << "," << y;
        }
}

TEST_P(JpegCmykDecode, FlatInksGiveTheirColors) {
    // Quadrants of cyan, magenta, yellow and half black.
    EncodeRecipe s = Recipe(32, 32, false, GetParam());
    s.quality = 100;
    const std::uint8_t inks[4][4] = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {0, 0, 0, 128}};
    Bytes pixels(32 * 32 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::size_t x = i / 4 % 32, y = i / 128;
        pixels[i] = inks[(y / 16) * 2 + x / 16][i % 4] ^ (s.kind == Kind::CmykAdobe ? 255 : 0);
    }
    TJPEGImage image;
    Load(image, EncodePixels(s, pixels));
    TBitmap* bitmap = image.DecodedBitmap();
    const std::uint32_t expected[4] = {0xFFFF00, 0xFF00FF, 0x00FFFF, 0x7F7F7F};
    for (int q = 0; q < 4; ++q) {
        const std::uint32_t got = Pixel(*bitmap, (q % 2) * 16 + 8, (q / 2) * 16 + 8);
        for (int shift = 0; shift < 24; shift += 8)
            EXPECT_NEAR((got >> shift) & 0xFF, (expected[q] >> shift) & 0xFF, 4) << "quadrant " << q;
    }
}

INSTANTIATE_TEST_SUITE_P(Inks, JpegCmykDecode, ::testing::Values(Kind::Cmyk, Kind::CmykAdobe),
                         [](const auto& info) { return info.param == Kind::Cmyk ? "Plain" : "AdobeInverted"; });

// ---- assigned palettes ------------------------------------------------------------

TEST(JpegPalette, AssignedPaletteIsDroppedAt24Bit) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(16, 16)));
    image.SetPalette(CubeCorners());
    EXPECT_NE(image.GetPalette(), nullptr);
    EXPECT_EQ(image.DecodedBitmap()->PixelKind(), pk24Bit);
    EXPECT_EQ(image.GetPalette(), nullptr);
}

TEST(JpegPalette, DifferentPaletteDiscardsTheDecodedBitmap) {
    TJPEGImage image;
    Load(image, EncodeJpeg(kGray));
    image.SetPalette(std::make_unique<platform::Palette>(*image.DecodedBitmap()->GetPalette()));
    EXPECT_TRUE(image.Decoded()) << "the same colors keep the bitmap";
    image.SetPalette(CubeCorners());
    EXPECT_FALSE(image.Decoded());
}

// ---- progress -----------------------------------------------------------------

struct Report {
    TProgressStage stage;
    int percent;
    bool redraw;
    TRect rect;
    std::uint64_t tick;
};

// While a ClockScope lives, the progress clock starts at 1000000 and steps
// `step` milliseconds at each reading.
std::uint64_t g_now = 0, g_step = 0;
struct ClockScope {
    explicit ClockScope(std::uint64_t step) {
        g_now = 1000000, g_step = step;
        previous = SetJPEGTickSource([] { return g_now += g_step; });
    }
    ~ClockScope() { SetJPEGTickSource(previous); }
    TTickSource previous;
};

void Record(TGraphic& g, std::vector<Report>& reports, std::function<void(const Report&)> then = {}) {
    g.SetOnProgress([&reports, then](TPersistent*, TProgressStage stage, std::uint8_t percent, bool redraw,
                                     const TRect& r, const std::string& msg) {
        EXPECT_EQ(msg, "");
        reports.push_back({stage, percent, redraw, r, g_now});
        if (then) then(reports.back());
    });
}

std::vector<Report> Running(const std::vector<Report>& all) {
    std::vector<Report> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [](const Report& r) { return r.stage == TProgressStage::psRunning; });
    return out;
}

// Every report of one decode with the clock stepping `step` ms a reading.
std::vector<Report> TimedDecode(TJPEGImage& image, std::uint64_t step) {
    ClockScope clock(step);
    std::vector<Report> reports;
    Record(image, reports);
    image.DecodedBitmap();
    image.SetOnProgress(nullptr);
    return reports;
}

TEST(JpegProgress, StartAndEndFrameTheRowReports) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(64, 200)));
    const auto reports = TimedDecode(image, 1000);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front().stage, TProgressStage::psStarting);
    EXPECT_EQ(reports.front().percent, 0);
    EXPECT_FALSE(reports.front().redraw);
    EXPECT_EQ(reports.front().rect, TRect{});
    EXPECT_EQ(reports.back().stage, TProgressStage::psEnding);
    EXPECT_EQ(reports.back().percent, 100);
    EXPECT_EQ(reports.back().redraw, image.PaletteModified());
    EXPECT_EQ(reports.back().rect, TRect{});

    const auto running = Running(reports);
    ASSERT_GT(running.size(), 10u);
    int lastPercent = 0, lastBottom = 0;
    for (const auto& r : running) {
        EXPECT_GT(r.percent, lastPercent) << "an unchanged percent is not reported";
        EXPECT_EQ(r.rect.left, 0);
        EXPECT_EQ(r.rect.right, 64);
        EXPECT_EQ(r.rect.top, lastBottom) << "rectangles continue where the last one ended";
        EXPECT_GE(r.rect.bottom, r.rect.top);
        EXPECT_EQ(r.percent, r.rect.bottom * 100 / 200) << "one pass: the share of rows read";
        EXPECT_EQ(r.redraw, r.rect.Height() > 3);
        lastPercent = r.percent;
        lastBottom = r.rect.bottom;
    }
}

TEST(JpegProgress, ReportsAreAtLeast500MsApartAndTheFirstCallOnlyStartsTheClock) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(64, 400)));
    const auto running = Running(TimedDecode(image, 100));
    ASSERT_GT(running.size(), 3u);
    // The first library call happens at start + 100 and only starts the clock.
    EXPECT_GE(running.front().tick, 1000000u + 100 + 500);
    for (std::size_t i = 1; i < running.size(); ++i) EXPECT_GE(running[i].tick - running[i - 1].tick, 500u);
}

TEST(JpegProgress, FrozenClockReportsNoRows) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(64, 200, true)));
    const auto reports = TimedDecode(image, 0);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].stage, TProgressStage::psStarting);
    EXPECT_EQ(reports[1].stage, TProgressStage::psEnding);
}

// A new output pass starts again at the top, which shows as a report whose
// rectangle starts above the previous one's.
TEST(JpegProgress, ProgressiveViewShowsEveryScanInItsOwnPass) {
    for (const bool view : {false, true}) {
        SCOPED_TRACE(view ? "progressive view" : "plain");
        TJPEGImage image;
        image.SetProgressiveView(view);
        Load(image, EncodeJpeg(Recipe(64, 400, true)));
        const auto running = Running(TimedDecode(image, 1000));
        int restarts = 0;
        for (std::size_t i = 1; i < running.size(); ++i) {
            if (running[i].rect.top >= running[i - 1].rect.top) continue;
            ++restarts;
            // The report that crossed into the new pass reached down to the bottom.
            EXPECT_EQ(running[i - 1].rect.bottom, 400);
        }
        EXPECT_TRUE(view ? restarts >= 5 : restarts == 0) << restarts << " restarts";
    }
}

struct CancelCase {
    const char* name;
    EncodeRecipe recipe;
    bool progressiveView;
    bool compareRows;  // the rows decoded before the cancel are the library's final ones
    DecodeSpec ref;
};

class JpegCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(JpegCancel, KeepsThePartlyDecodedBitmapOnWhite) {
    const CancelCase& c = GetParam();
    ClockScope clock(1000);
    const Bytes bytes = EncodeJpeg(c.recipe);
    const auto ref = c.compareRows ? ReferenceDecode(bytes, c.ref) : Decoded{};
    TJPEGImage image;
    image.SetProgressiveView(c.progressiveView);
    Load(image, bytes);
    std::vector<Report> reports;
    // In the first pass of a progressive view the percent counts passes too,
    // so cancel on the rows reached rather than the percent.
    Record(image, reports, [&](const Report& r) {
        if (r.stage == TProgressStage::psRunning && r.rect.bottom >= c.recipe.height / 3) throw EAbort("");
    });
    TBitmap* bitmap = image.DecodedBitmap();
    ASSERT_NE(bitmap, nullptr);
    EXPECT_TRUE(image.Decoded());
    EXPECT_EQ(reports.back().stage, TProgressStage::psEnding);
    EXPECT_EQ(reports.back().percent, 0);
    const int rowsDone = Running(reports).back().rect.bottom;
    ASSERT_GT(rowsDone, 0);
    ASSERT_LT(rowsDone, c.recipe.height);
    ASSERT_EQ(bitmap->Height(), c.recipe.height);
    for (int y = 0; y < c.recipe.height; ++y)
        for (int x = 0; x < c.recipe.width; ++x) {
            if (y >= rowsDone) {
                ASSERT_EQ(Pixel(*bitmap, x, y), 0xFFFFFFu) << x << "," << y << " stays white";
            } else if (c.compareRows) {
                ASSERT_EQ(Pixel(*bitmap, x, y), ReferenceColor(ref, x, y)) << x << "," << y;
            }
        }
    // The partial bitmap is the cached result.
    const std::size_t count = reports.size();
    EXPECT_EQ(image.DecodedBitmap(), bitmap);
    EXPECT_EQ(reports.size(), count);
}

INSTANTIATE_TEST_SUITE_P(
    Cancels, JpegCancel,
    ::testing::Values(CancelCase{"Color24", Recipe(64, 200), false, true, {}},
                      CancelCase{"Gray8", Recipe(64, 200, false, Kind::Gray), false, true, Quantized(JCS_GRAYSCALE)},
                      CancelCase{"Cmyk", Recipe(64, 200, false, Kind::CmykAdobe), false, false, {}},
                      CancelCase{"FirstPassOfProgressiveView", Recipe(64, 200, true), true, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegProgress, OtherHandlerFailuresPassOnAndLeaveNoBitmap) {
    ClockScope clock(1000);
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(64, 200)));
    std::vector<Report> reports;
    Record(image, reports, [](const Report& r) {
        if (r.stage == TProgressStage::psRunning) throw std::runtime_error("handler broke");
    });
    EXPECT_THROW(image.DecodedBitmap(), std::runtime_error);
    EXPECT_FALSE(image.Decoded());
    EXPECT_EQ(reports.back().stage, TProgressStage::psEnding);
    EXPECT_EQ(reports.back().percent, 0);
}

TEST(JpegProgress, TwoBitmapsCopiedFromOneImageShareOneDecode) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(64, 48)));
    std::vector<Report> reports;
    Record(image, reports);
    TBitmap a, b;
    a.CopyFrom(&image);
    b.CopyFrom(&image);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const Report& r) { return r.stage == TProgressStage::psStarting; }),
              1);
    EXPECT_TRUE(a.SharesStoreWith(b));
    EXPECT_TRUE(a.SharesStoreWith(*image.DecodedBitmap()));
}

// ---- failures -------------------------------------------------------------------

// A progressive file whose second scan asks for coefficients 63..0.
Bytes BadProgression() {
    Bytes bytes = EncodeJpeg(Recipe(64, 48, true));
    const std::size_t sos = FindMarker(bytes, 0xDA, 1), ns = bytes.at(sos + 4);
    bytes.at(sos + 5 + ns * 2) = 63;
    bytes.at(sos + 6 + ns * 2) = 0;
    return bytes;
}

TEST(JpegFailures, LoadedFilesFailToDecodeEveryTimeWithTheLibrarysCode) {
    const struct {
        const char* name;
        Bytes bytes;
        int width;  // read from the header on loading
        int code;
    } cases[] = {
        {"empty file", {}, 0, JERR_INPUT_EMPTY},
        {"fatal error in the scans", BadProgression(), 64, JERR_BAD_PROGRESSION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TJPEGImage image;
        Load(image, c.bytes);
        EXPECT_EQ(image.IsEmpty(), c.bytes.empty());
        EXPECT_EQ(image.Width(), c.width);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(MessageOf<EJPEG>([&] { image.DecodedBitmap(); }), JpegMessage(c.code));
            EXPECT_FALSE(image.Decoded());
        }
    }
}

TEST(JpegFailures, PixelLimitFollowsTheLoadsLimits) {
    // A header beyond the program's own limit is refused before decoding,
    // every time it is asked.
    Bytes tooBig = EncodeJpeg(Recipe(16, 16));
    const std::size_t sof = FindMarker(tooBig, 0xC0);
    for (std::size_t at : {sof + 5, sof + 7}) tooBig.at(at) = 60000 >> 8, tooBig.at(at + 1) = 60000 & 0xFF;
    TJPEGImage huge;
    Load(huge, tooBig);
    EXPECT_EQ(huge.Width(), 60000);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(MessageOf<EPictureTooLarge>([&] { huge.DecodedBitmap(); }),
                  "Picture too large (60000 x 60000 pixels; the limit is 1073741824 pixels)");
        EXPECT_FALSE(huge.Decoded());
    }

    // A load with limits of its own refuses at once, from the header; the
    // bytes may be borrowed or copied.
    Limits limits;
    limits.pixels = 64 * 48 - 1;
    const Bytes bytes = EncodeJpeg(Recipe(64, 48));
    const auto owner = std::make_shared<Bytes>(bytes);
    for (bool borrow : {false, true}) {
        TJPEGImage image;
        EXPECT_EQ(MessageOf<EPictureTooLarge>([&] { image.LoadFromBytes(bytes, limits, borrow ? owner : nullptr); }),
                  "Picture too large (64 x 48 pixels; the limit is 3071 pixels)");
    }
    limits.pixels = 64 * 48;
    TJPEGImage fits;
    fits.LoadFromBytes(*owner, limits, owner);
    EXPECT_EQ(fits.DecodedBitmap()->Width(), 64);
    TJPEGImage copied;
    copied.LoadFromBytes(bytes, limits);
    EXPECT_TRUE(copied.DecodedBitmap()->SharesStoreWith(*copied.DecodedBitmap()));
    EXPECT_EQ(copied.DecodedBitmap()->Width(), 64);
}

// Failures outside decoding: their class and exact message.
TEST(JpegFailures, OtherFailuresHaveTheirClassAndMessage) {
    const std::string text = "hello, this is no picture";
    TJPEGImage notJpeg, image;
    EXPECT_EQ(MessageOf<EJPEG>([&] { Load(notJpeg, Bytes(text.begin(), text.end())); }), JpegMessage(JERR_NO_SOI));
    for (auto set : {&TJPEGImage::SetWidth, &TJPEGImage::SetHeight})
        EXPECT_EQ(MessageOf<EInvalidGraphicOperation>([&] { (image.*set)(10); }),
                  "Cannot change the size of a JPEG image");
    Load(image, EncodeJpeg(Recipe(8, 8)));
    TMetafile metafile;
    EXPECT_EQ(MessageOf<EConvertError>([&] { image.CopyTo(&metafile); }), "Cannot assign a TJPEGImage to a TMetafile");
    Bytes stored = {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xD8};  // a stored length beyond the stream
    TBytesStream stream(stored.data(), stored.size());
    EXPECT_EQ(MessageOf<EReadError>([&] { TJPEGImage().ReadStoredData(stream); }), "Stream read error");
}

// ---- copies, stored data, saving ------------------------------------------------

// Saves the graphic and loads the saved bytes into another image.
void Reload(const TGraphic& from, TJPEGImage& into) {
    TMemoryStream saved;
    from.WriteToStream(saved);
    saved.SetPosition(0);
    into.ReadFromStream(saved);
}

TEST(JpegCopies, CopyFromAJpegSharesTheDataAndTheBitmap) {
    TJPEGImage source;
    Load(source, EncodeJpeg(Recipe(32, 24)));
    TJPEGImage undecoded;
    undecoded.CopyFrom(&source);
    EXPECT_TRUE(undecoded.SameAs(&source));
    EXPECT_FALSE(undecoded.Decoded());
    EXPECT_EQ(undecoded.Width(), 32);

    source.DecodedBitmap();
    TJPEGImage decoded;
    decoded.CopyFrom(&source);
    ASSERT_TRUE(decoded.Decoded());
    EXPECT_TRUE(decoded.DecodedBitmap()->SharesStoreWith(*source.DecodedBitmap()));

    TJPEGImage sameBytes;
    Reload(source, sameBytes);
    EXPECT_FALSE(sameBytes.SameAs(&source)) << "equal only when the data is shared";
}

TEST(JpegCopies, PictureOfAJpegHoldsItsOwnSharingCopy) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(32, 24)));
    TPicture picture;
    picture.SetGraphic(&image);
    ASSERT_NE(picture.Graphic(), &image);
    EXPECT_TRUE(picture.Graphic()->SameAs(&image));
    EXPECT_EQ(picture.Width(), 32);
}

TEST(JpegCopies, StoredDataRoundTrips) {
    const Bytes bytes = EncodeJpeg(Recipe(20, 10));
    TJPEGImage image;
    Load(image, bytes);
    TMemoryStream stored;
    image.WriteStoredData(stored);
    ASSERT_EQ(stored.Size(), static_cast<std::int64_t>(bytes.size() + 4));
    stored.SetPosition(0);
    TJPEGImage back;
    back.ReadStoredData(stored);
    EXPECT_EQ(back.Data().data->Bytes(), bytes);
    EXPECT_EQ(back.Width(), 20);

    TMemoryStream none;
    TJPEGImage().WriteStoredData(none);
    EXPECT_EQ(none.Bytes(), Bytes(4, 0));
}

// A smooth picture in a 24-bit bitmap, to compress and read back.
void FillSmooth(TBitmap& b, int w, int h) {
    b.SetPixelKind(pk24Bit);
    b.SetWidth(w);
    b.SetHeight(h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = b.RowAddress(y) + x * 3;
            p[0] = static_cast<std::uint8_t>(x * 255 / w);
            p[1] = static_cast<std::uint8_t>(y * 255 / h);
            p[2] = static_cast<std::uint8_t>(128 + (x - y) / 4);
        }
}

TEST(JpegCopies, BitmapIsCompressedWhenSaved) {
    TBitmap original;
    FillSmooth(original, 48, 32);
    TJPEGImage image;
    image.CopyFrom(&original);
    EXPECT_FALSE(image.IsEmpty());
    EXPECT_EQ(image.Width(), 48);
    EXPECT_FALSE(image.Data().HasBytes());
    TJPEGImage back;
    Reload(image, back);
    EXPECT_FALSE(back.MultiScan());
    EXPECT_FALSE(back.Grayscale());
    TBitmap* decoded = back.DecodedBitmap();
    ASSERT_EQ(decoded->Width(), 48);
    ASSERT_EQ(decoded->Height(), 32);
    long total = 0;
    int worst = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x)
            for (int s = 0; s < 24; s += 8) {
                const int d = std::abs(static_cast<int>((Pixel(original, x, y) >> s & 0xFF)) -
                                       static_cast<int>((Pixel(*decoded, x, y) >> s & 0xFF)));
                total += d;
                worst = std::max(worst, d);
            }
    EXPECT_LT(total / (48.0 * 32 * 3), 2.0);
    EXPECT_LT(worst, 24);
}

TEST(JpegCopies, SavingHonoursGrayOutputAndMultiScan) {
    TBitmap original;
    FillSmooth(original, 24, 16);
    TJPEGImage image;
    image.SetGrayOutput(true);
    image.SetMultiScan(true);
    image.CopyFrom(&original);
    TJPEGImage back;
    Reload(image, back);
    EXPECT_TRUE(back.Grayscale());
    EXPECT_TRUE(back.MultiScan());
}

TEST(JpegCopies, DrawToCopiesTheDecodedPixels) {
    TJPEGImage image;
    Load(image, EncodeJpeg(Recipe(24, 16)));
    TBitmap target;
    target.SetPixelKind(pk24Bit);
    target.SetWidth(24);
    target.SetHeight(16);
    image.DrawTo(target.Canvas(), TRect{0, 0, 24, 16});
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x) ASSERT_EQ(Pixel(target, x, y), Pixel(*image.DecodedBitmap(), x, y));
}

// ---- registry and the open command's route ---------------------------------------

TEST(JpegRegistry, BothExtensionsNameTheJpegClass) {
    InitializeFormats();
    EXPECT_EQ(GetFileFormats().FindExt("jpeg"), TJPEGImage::StaticClass());
    EXPECT_EQ(GetFileFormats().FindExt("JPG"), TJPEGImage::StaticClass());
    std::vector<std::string> order;
    for (const auto& e : GetFileFormats().Entries()) {
        if (e.graphicClass == TJPEGImage::StaticClass()) {
            EXPECT_EQ(e.description, "JPEG Image File");
        }
        order.push_back(e.extension);
    }
    const auto jpeg = std::find(order.begin(), order.end(), "jpeg");
    ASSERT_NE(jpeg, order.end());
    EXPECT_LT(std::find(order.begin(), order.end(), "bmp"), jpeg);
    ASSERT_NE(jpeg + 1, order.end());
    EXPECT_EQ(*(jpeg + 1), "jpg");
}

class JpegRoute : public scratchtest::ScratchFolderTest {
protected:
    // The scratch picture holds an earlier file's 5 x 5 bitmap.
    void Prefill(TPicture& picture) {
        TBitmap previous;
        previous.SetWidth(5);
        previous.SetHeight(5);
        picture.SetGraphic(&previous);
    }
    const Bytes good_ = EncodeJpeg(Recipe(40, 30));
};

TEST_F(JpegRoute, JpgFileArrivesAsAPlainBitmap) {
    const auto ref = ReferenceDecode(good_, DecodeSpec{});
    for (const char* name : {"photo.jpg", "PHOTO.JPG"}) {
        SCOPED_TRACE(name);
        TPicture picture;
        Prefill(picture);
        EXPECT_EQ(LoadIntoPicture(Write(name, good_), picture), LoadOutcome::Loaded);
        auto* bitmap = dynamic_cast<TBitmap*>(picture.Graphic());
        ASSERT_NE(bitmap, nullptr);
        ASSERT_EQ(bitmap->Width(), 40);
        ASSERT_EQ(bitmap->Height(), 30);
        for (int y = 0; y < 30; y += 7)
            for (int x = 0; x < 40; x += 3) EXPECT_EQ(Pixel(*bitmap, x, y), ReferenceColor(ref, x, y));
    }
}

// A rejected .jpg empties the picture; a .jpeg takes no route and leaves it.
TEST_F(JpegRoute, FilesThatDoNotArriveAsABitmap) {
    const std::string text = "plain text, not a picture";
    const struct {
        const char* name;
        Bytes bytes;
        LoadOutcome outcome;
    } cases[] = {
        {"text.jpg", Bytes(text.begin(), text.end()), LoadOutcome::LoadError},  // header read fails on loading
        {"empty.jpg", Bytes{}, LoadOutcome::LoadError},                         // loads, fails on decoding
        {"header_only.jpg", Bytes(good_.begin(), good_.begin() + 30), LoadOutcome::LoadError},  // ends in the header
        {"bad_scan.jpg", BadProgression(), LoadOutcome::LoadError},  // fatal error while decoding
        {"photo.jpeg", good_, LoadOutcome::UnknownFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TPicture picture;
        Prefill(picture);
        EXPECT_EQ(LoadIntoPicture(Write(c.name, c.bytes), picture), c.outcome);
        EXPECT_EQ(picture.Empty(), c.outcome == LoadOutcome::LoadError);
        EXPECT_EQ(picture.Width(), c.outcome == LoadOutcome::LoadError ? 0 : 5);
    }
}

TEST_F(JpegRoute, MissingFilePassesOn) {
    TPicture picture;
    Prefill(picture);
    const std::string path = (dir_ / "missing.jpg").string();
    EXPECT_EQ(MessageOf<EFOpenError>([&] { LoadIntoPicture(path, picture); }), "Cannot open file " + path);
    EXPECT_EQ(picture.Width(), 5);
}

TEST_F(JpegRoute, PictureLoadsJpegThroughTheRegistryWithoutDecoding) {
    InitializeFormats();
    TPicture picture;
    picture.LoadFile(Write("preview.jpeg", good_));
    auto* jpeg = dynamic_cast<TJPEGImage*>(picture.Graphic());
    ASSERT_NE(jpeg, nullptr);
    EXPECT_FALSE(jpeg->Decoded());
    EXPECT_EQ(picture.Width(), 40);
    EXPECT_EQ(picture.Height(), 30);
}

// ---- damage ---------------------------------------------------------------------

// A file cut short is one warning, in words that say what is missing; the
// row source and the whole decode say the same.
TEST(JpegWarnings, ACutFileIsOneWarningThatSaysWhatIsMissing) {
    const Bytes baseline = jpegtest::EncodeJpeg({.width = 256, .height = 160});
    const Bytes progressive = jpegtest::EncodeJpeg({.width = 256, .height = 160, .progressive = true});
    auto cut = [](const Bytes& b, std::size_t n) {
        return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    };
    const std::string endMarker = "truncated: the file ends just before its end marker; every row is there";
    const struct {
        const char* proves;
        Bytes bytes;
        std::vector<std::string> warnings;
    } cases[] = {
        {"a whole file", baseline, {}},
        {"only the end marker missing", cut(baseline, baseline.size() - 2), {endMarker}},
        {"half of the end marker missing", cut(baseline, baseline.size() - 1), {endMarker}},
        {"cut inside the data",
         cut(baseline, baseline.size() / 2),
         {"truncated: the file ends inside the image data (at row 62 of 160); the rows below are made up"}},
        {"cut just before the last rows' data ends",
         cut(baseline, baseline.size() - 40),
         {"truncated: the file ends inside the image data (at row 142 of 160); the rows below are made up"}},
        {"progressive, whole", progressive, {}},
        {"progressive, only the end marker missing", cut(progressive, progressive.size() - 2), {endMarker}},
        {"progressive, cut inside a scan",
         cut(progressive, progressive.size() / 2),
         {"truncated: the file ends inside the image data; what is missing is made up"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proves);
        auto rows = OpenJpegRows(c.bytes, kDefaultLimits);
        std::vector<std::uint8_t> row(rows->Format().RowBytes());
        for (int y = 0; y < rows->Height(); ++y) rows->ReadRows(row.data(), 0, 1);
        rows->Finish();
        std::vector<std::string> got;
        for (const auto& w : rows->Warnings()) got.push_back(w.kind + ": " + w.message);
        EXPECT_EQ(got, c.warnings);
        EXPECT_EQ(rows->Warnings(), DecodeJpeg(c.bytes, JpegSettings{}, kDefaultLimits).picture.warnings);
    }
}

}  // namespace
