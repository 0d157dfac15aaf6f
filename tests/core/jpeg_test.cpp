// The JPEG image: loading reads only the header, decoding matches the library
// decoding the same bytes with the same settings, failures become EJPEG, and
// the .jpg route of the open command.
#include "graphics/jpeg.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "graphics/bitmap.h"
#include "jpeg_fixtures.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

using namespace duvo;
using jpegtest::Bytes;
using jpegtest::DecodeSpec;
using jpegtest::EncodeRecipe;
using jpegtest::Kind;

std::string JpegMessage(int code) { return "JPEG error #" + std::to_string(code); }

void Load(TJPEGImage& image, const Bytes& bytes) {
    TBytesStream stream(bytes.data(), bytes.size());
    image.ReadFromStream(stream);
}

// Cuts the file inside its (first) scan data, keeping the given share of it.
Bytes CutInScan(const Bytes& bytes, double keep) {
    const std::size_t sos = jpegtest::FindMarker(bytes, 0xDA);
    const std::size_t cut = sos + 20 + static_cast<std::size_t>((bytes.size() - sos - 20) * keep);
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
}

// Every row of a 24-bit bitmap against the library's blue, green, red rows,
// and every pixel read through the surface against the library's color.
void ExpectSameAs24(TBitmap& bitmap, const jpegtest::Decoded& ref) {
    ASSERT_EQ(bitmap.PixelKind(), pk24Bit);
    ASSERT_EQ(bitmap.Width(), ref.width);
    ASSERT_EQ(bitmap.Height(), ref.height);
    const std::size_t rowBytes = static_cast<std::size_t>(ref.width) * 3;
    for (int y = 0; y < ref.height; ++y)
        ASSERT_EQ(std::memcmp(bitmap.RowAddress(y), ref.rows.data() + y * rowBytes, rowBytes), 0) << "row " << y;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x)
            ASSERT_EQ(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)), jpegtest::ReferenceColor(ref, x, y))
                << x << "," << y;
}

// An 8-bit bitmap holds the library's indices and its color map as palette.
void ExpectSameAs8(TBitmap& bitmap, const jpegtest::Decoded& ref) {
    ASSERT_EQ(bitmap.PixelKind(), pk8Bit);
    ASSERT_EQ(bitmap.Width(), ref.width);
    ASSERT_EQ(bitmap.Height(), ref.height);
    const platform::Palette* palette = bitmap.GetPalette();
    ASSERT_NE(palette, nullptr);
    ASSERT_EQ(palette->entries.size(), ref.colormap.size());
    for (std::size_t i = 0; i < ref.colormap.size(); ++i) {
        const auto& e = palette->entries[i];
        EXPECT_EQ(e.red | (e.green << 8) | (static_cast<std::uint32_t>(e.blue) << 16), ref.colormap[i]) << i;
    }
    for (int y = 0; y < ref.height; ++y)
        ASSERT_EQ(std::memcmp(bitmap.RowAddress(y), ref.rows.data() + static_cast<std::size_t>(y) * ref.width,
                              static_cast<std::size_t>(ref.width)),
                  0)
            << "row " << y;
    for (int y = 0; y < ref.height; y += 3)
        for (int x = 0; x < ref.width; ++x)
            ASSERT_EQ(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)), jpegtest::ReferenceColor(ref, x, y));
}

// ---- decoding against the library ---------------------------------------------

struct ColorCase {
    const char* name;
    EncodeRecipe recipe;
    double keep;  // share of the scan data kept; 1 keeps the whole file
};

class JpegColorDecode : public ::testing::TestWithParam<ColorCase> {};

TEST_P(JpegColorDecode, RowsAndPixelsAreTheLibrarysBgrOutput) {
    const ColorCase& c = GetParam();
    Bytes bytes = jpegtest::EncodeJpeg(c.recipe);
    if (c.keep < 1) bytes = CutInScan(bytes, c.keep);
    const auto ref = jpegtest::ReferenceDecode(bytes, DecodeSpec{});

    TJPEGImage image;
    Load(image, bytes);
    EXPECT_FALSE(image.Decoded());
    EXPECT_EQ(image.Width(), c.recipe.width);
    EXPECT_EQ(image.Height(), c.recipe.height);
    EXPECT_EQ(image.MultiScan(), c.recipe.progressive);
    ExpectSameAs24(*image.DecodedBitmap(), ref);
}

EncodeRecipe Recipe(int w, int h, int hs, int vs, bool progressive = false, unsigned restart = 0) {
    EncodeRecipe s;
    s.width = w;
    s.height = h;
    s.hSamp = hs;
    s.vSamp = vs;
    s.progressive = progressive;
    s.restartInterval = restart;
    return s;
}

INSTANTIATE_TEST_SUITE_P(Files, JpegColorDecode,
                         ::testing::Values(ColorCase{"Baseline420", Recipe(64, 48, 2, 2), 1},
                                           ColorCase{"Baseline444", Recipe(64, 48, 1, 1), 1},
                                           ColorCase{"OddSizePadsRows", Recipe(37, 19, 2, 2), 1},
                                           ColorCase{"OneRowNeedsNoRowStep", Recipe(40, 1, 2, 2), 1},
                                           ColorCase{"OnePixel", Recipe(1, 1, 1, 1), 1},
                                           ColorCase{"Progressive", Recipe(80, 56, 2, 2, true), 1},
                                           ColorCase{"RestartMarkers", Recipe(96, 64, 2, 2, false, 2), 1},
                                           ColorCase{"CutShortInScanData", Recipe(96, 64, 2, 2), 0.5},
                                           ColorCase{"ProgressiveCutShort", Recipe(96, 64, 2, 2, true), 0.4}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SettingsCase {
    const char* name;
    EncodeRecipe recipe;
    TJPEGOutputDepth depth;
    TJPEGDecodeMode mode;
    bool smoothing;
    TJPEGScale scale;
    DecodeSpec ref;  // the library's settings that these must amount to
};

class JpegSettingsDecode : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(JpegSettingsDecode, SettingsMapOntoTheLibrarysParameters) {
    const SettingsCase& c = GetParam();
    const Bytes bytes = jpegtest::EncodeJpeg(c.recipe);
    const auto ref = jpegtest::ReferenceDecode(bytes, c.ref);
    TJPEGImage image;
    image.SetOutputDepth(c.depth);
    image.SetDecodeMode(c.mode);
    image.SetBlockSmoothing(c.smoothing);
    image.SetDecodeScale(c.scale);
    Load(image, bytes);
    // The size before decoding is the library's output size at that scale.
    EXPECT_EQ(image.Width(), ref.width);
    EXPECT_EQ(image.Height(), ref.height);
    if (ref.components == 3)
        ExpectSameAs24(*image.DecodedBitmap(), ref);
    else
        ExpectSameAs8(*image.DecodedBitmap(), ref);
}

DecodeSpec Quantized(J_COLOR_SPACE space, bool twoPass, J_DITHER_MODE dither, J_DCT_METHOD dct = JDCT_ISLOW) {
    DecodeSpec d;
    d.outSpace = space;
    d.quantize = true;
    d.twoPass = twoPass;
    d.dither = dither;
    d.dct = dct;
    return d;
}

DecodeSpec Plain(J_DCT_METHOD dct, bool smoothing, unsigned denom) {
    DecodeSpec d;
    d.dct = dct;
    d.smoothing = smoothing;
    d.scaleDenom = denom;
    return d;
}

EncodeRecipe GraySpec(bool progressive) {
    EncodeRecipe s = Recipe(72, 40, 1, 1, progressive);
    s.kind = Kind::Gray;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, JpegSettingsDecode,
    ::testing::Values(SettingsCase{"GrayFileQuantizedTo236", GraySpec(false), od24Bit, dmBestQuality, true, dsFull,
                                   Quantized(JCS_GRAYSCALE, true, JDITHER_FS)},
                      SettingsCase{"GrayProgressive", GraySpec(true), od24Bit, dmBestQuality, true, dsFull,
                                   Quantized(JCS_GRAYSCALE, true, JDITHER_FS)},
                      SettingsCase{"GrayFastestDithersOrdered", GraySpec(false), od24Bit, dmFastest, true, dsFull,
                                   Quantized(JCS_GRAYSCALE, false, JDITHER_ORDERED, JDCT_IFAST)},
                      SettingsCase{"EightBitColorTwoPassFloydSteinberg", Recipe(64, 48, 2, 2), od8Bit, dmBestQuality,
                                   true, dsFull, Quantized(JCS_RGB, true, JDITHER_FS)},
                      SettingsCase{"EightBitColorFastest", Recipe(64, 48, 2, 2), od8Bit, dmFastest, true, dsFull,
                                   Quantized(JCS_RGB, false, JDITHER_ORDERED, JDCT_IFAST)},
                      SettingsCase{"FastestIsFastDct", Recipe(64, 48, 2, 2), od24Bit, dmFastest, true, dsFull,
                                   Plain(JDCT_IFAST, true, 1)},
                      SettingsCase{"ProgressiveWithoutSmoothing", Recipe(64, 48, 2, 2, true), od24Bit, dmBestQuality,
                                   false, dsFull, Plain(JDCT_ISLOW, false, 1)},
                      SettingsCase{"HalfScale", Recipe(65, 47, 2, 2), od24Bit, dmBestQuality, true, dsHalf,
                                   Plain(JDCT_ISLOW, true, 2)},
                      SettingsCase{"EighthScale", Recipe(100, 60, 2, 2), od24Bit, dmBestQuality, true, dsEighth,
                                   Plain(JDCT_ISLOW, true, 8)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegDecode, GrayFileHasAtMost236GrayEntriesForAll256Levels) {
    EncodeRecipe s = GraySpec(false);
    s.width = 256;
    s.height = 8;
    s.quality = 100;
    Bytes ramp(256 * 8);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i % 256);
    TJPEGImage image;
    Load(image, jpegtest::EncodePixels(s, ramp));
    EXPECT_TRUE(image.Grayscale());
    TBitmap* bitmap = image.DecodedBitmap();
    EXPECT_EQ(bitmap->PixelKind(), pk8Bit);
    const auto* palette = bitmap->GetPalette();
    ASSERT_NE(palette, nullptr);
    EXPECT_LE(palette->entries.size(), 236u);
    EXPECT_GE(palette->entries.size(), 200u);
    for (const auto& e : palette->entries) {
        EXPECT_EQ(e.red, e.green);
        EXPECT_EQ(e.green, e.blue);
    }
    // The ends of the ramp survive quantization.
    EXPECT_EQ(bitmap->Canvas().ReadPixel(0, 4), 0x000000);
    EXPECT_EQ(bitmap->Canvas().ReadPixel(255, 4), 0xFFFFFF);
}

// The fuzzer's seed files and every JPEG reproducer it found decode (or fail
// as invalid graphics) without touching memory they do not own.
TEST(JpegDecode, DataFilesDecodeToTheirHeaderSize) {
    const std::filesystem::path root(DUVO_TEST_DATA);
    int seen = 0;
    for (const char* folder : {"jpeg", "regress"}) {
        if (!std::filesystem::exists(root / folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".jpg") continue;
            ++seen;
            TJPEGImage image;
            try {
                image.LoadFile(entry.path().string());
                const int w = image.Width(), h = image.Height();
                TBitmap* bitmap = image.DecodedBitmap();
                EXPECT_EQ(bitmap->Width(), w) << name;
                EXPECT_EQ(bitmap->Height(), h) << name;
            } catch (const EInvalidGraphic& e) {
                EXPECT_NE(std::string(folder), "jpeg") << name << ": " << e.Message();
            }
        }
    }
    EXPECT_GE(seen, 5);
}

// ---- CMYK and YCCK ------------------------------------------------------------

std::uint32_t InkToRgb(int c, int m, int y, int k) {
    auto ch = [&](int ink) { return static_cast<std::uint32_t>(std::lround((255 - ink) * (255 - k) / 255.0)); };
    return ch(c) | (ch(m) << 8) | (ch(y) << 16);
}

class JpegCmykDecode : public ::testing::TestWithParam<Kind> {};

TEST_P(JpegCmykDecode, InksBecomeRgbAsThePaperLeftByThem) {
    EncodeRecipe s = Recipe(48, 40, 1, 1);
    s.kind = GetParam();
    const Bytes bytes = jpegtest::EncodeJpeg(s);
    DecodeSpec d;
    d.outSpace = JCS_CMYK;
    const auto ref = jpegtest::ReferenceDecode(bytes, d);
    const bool adobe = s.kind == Kind::CmykAdobe;
    ASSERT_EQ(ref.sawAdobe, adobe);
    TJPEGImage image;
    Load(image, bytes);
    TBitmap* bitmap = image.DecodedBitmap();
    ASSERT_EQ(bitmap->PixelKind(), pk24Bit);
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const std::uint8_t* p = ref.rows.data() + (static_cast<std::size_t>(y) * ref.width + x) * 4;
            const int flip = adobe ? 255 : 0;
            ASSERT_EQ(static_cast<std::uint32_t>(bitmap->Canvas().ReadPixel(x, y)),
                      InkToRgb(p[0] ^ flip, p[1] ^ flip, p[2] ^ flip, p[3] ^ flip))
                << x << "," << y;
        }
}

TEST_P(JpegCmykDecode, FlatInksGiveTheirColors) {
    // Quadrants of cyan, magenta, yellow and half black.
    EncodeRecipe s = Recipe(32, 32, 1, 1);
    s.kind = GetParam();
    s.quality = 100;
    const bool adobe = s.kind == Kind::CmykAdobe;
    const std::uint8_t inks[4][4] = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {0, 0, 0, 128}};
    Bytes pixels(32 * 32 * 4);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            for (int k = 0; k < 4; ++k)
                pixels[(y * 32 + x) * 4 + k] =
                    static_cast<std::uint8_t>(inks[(y / 16) * 2 + x / 16][k] ^ (adobe ? 255 : 0));
    TJPEGImage image;
    Load(image, jpegtest::EncodePixels(s, pixels));
    TBitmap* bitmap = image.DecodedBitmap();
    const TColor expected[4] = {0xFFFF00, 0xFF00FF, 0x00FFFF, 0x7F7F7F};
    for (int q = 0; q < 4; ++q) {
        const TColor got = bitmap->Canvas().ReadPixel((q % 2) * 16 + 8, (q / 2) * 16 + 8);
        for (int shift = 0; shift < 24; shift += 8)
            EXPECT_NEAR((got >> shift) & 0xFF, (expected[q] >> shift) & 0xFF, 4) << "quadrant " << q;
    }
}

INSTANTIATE_TEST_SUITE_P(Inks, JpegCmykDecode, ::testing::Values(Kind::Cmyk, Kind::CmykAdobe),
                         [](const auto& info) { return info.param == Kind::Cmyk ? "Plain" : "AdobeInverted"; });

// ---- progressive view -----------------------------------------------------------

// A buffered-image decode shows each scan as it arrives, then makes a final
// pass over all coefficients with the remembered settings. That last pass
// reads the same coefficients with the same DCT, smoothing and quantizer as a
// plain decode, so the result must be identical, byte for byte.
struct ViewCase {
    const char* name;
    EncodeRecipe recipe;
    TJPEGOutputDepth depth;
    DecodeSpec ref;
};

class JpegProgressiveView : public ::testing::TestWithParam<ViewCase> {};

TEST_P(JpegProgressiveView, FinalPassEqualsPlainDecode) {
    const ViewCase& c = GetParam();
    const Bytes bytes = jpegtest::EncodeJpeg(c.recipe);
    const auto ref = jpegtest::ReferenceDecode(bytes, c.ref);
    TJPEGImage image;
    image.SetProgressiveView(true);
    image.SetOutputDepth(c.depth);
    Load(image, bytes);
    ASSERT_TRUE(image.MultiScan());
    if (ref.components == 3)
        ExpectSameAs24(*image.DecodedBitmap(), ref);
    else
        ExpectSameAs8(*image.DecodedBitmap(), ref);
}

INSTANTIATE_TEST_SUITE_P(Views, JpegProgressiveView,
                         ::testing::Values(ViewCase{"Color", Recipe(96, 72, 2, 2, true), od24Bit, DecodeSpec{}},
                                           ViewCase{"Gray", GraySpec(true), od24Bit,
                                                    Quantized(JCS_GRAYSCALE, true, JDITHER_FS)},
                                           ViewCase{"EightBitTwoPass", Recipe(96, 72, 2, 2, true), od8Bit,
                                                    Quantized(JCS_RGB, true, JDITHER_FS)}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- assigned palettes ------------------------------------------------------------

std::unique_ptr<platform::Palette> CubeCorners() {
    auto p = std::make_unique<platform::Palette>();
    for (int i = 0; i < 8; ++i)
        p->entries.push_back({static_cast<std::uint8_t>(i & 1 ? 255 : 0), static_cast<std::uint8_t>(i & 2 ? 255 : 0),
                              static_cast<std::uint8_t>(i & 4 ? 255 : 0), 0});
    return p;
}

TEST(JpegPalette, AssignedPaletteBecomesTheColorMapAt8Bit) {
    for (const bool view : {false, true}) {
        const Bytes bytes = jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2, view));
        DecodeSpec d = Quantized(JCS_RGB, true, JDITHER_FS);
        const auto corners = CubeCorners();
        for (const auto& e : corners->entries) d.externalMap.insert(d.externalMap.end(), {e.red, e.green, e.blue});
        const auto ref = jpegtest::ReferenceDecode(bytes, d);
        TJPEGImage image;
        image.SetOutputDepth(od8Bit);
        image.SetProgressiveView(view);
        Load(image, bytes);
        image.SetPalette(CubeCorners());
        SCOPED_TRACE(view ? "progressive view" : "plain");
        ExpectSameAs8(*image.DecodedBitmap(), ref);
    }
}

TEST(JpegPalette, AssignedPaletteIsDroppedAt24Bit) {
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(16, 16, 2, 2)));
    image.SetPalette(CubeCorners());
    EXPECT_NE(image.GetPalette(), nullptr);
    EXPECT_EQ(image.DecodedBitmap()->PixelKind(), pk24Bit);
    EXPECT_EQ(image.GetPalette(), nullptr);
}

TEST(JpegPalette, OneComponentOutputKeepsTheLibrarysOwnMap) {
    // The library ignores an external map for gray output; the bitmap must
    // then carry the gray map its indices refer to.
    const Bytes bytes = jpegtest::EncodeJpeg(GraySpec(false));
    const auto ref = jpegtest::ReferenceDecode(bytes, Quantized(JCS_GRAYSCALE, true, JDITHER_FS));
    TJPEGImage image;
    image.SetOutputDepth(od8Bit);
    Load(image, bytes);
    image.SetPalette(CubeCorners());
    ExpectSameAs8(*image.DecodedBitmap(), ref);
}

TEST(JpegPalette, DifferentPaletteDiscardsTheDecodedBitmap) {
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(GraySpec(false)));
    const platform::Palette own = *image.DecodedBitmap()->GetPalette();
    image.SetPalette(std::make_unique<platform::Palette>(own));
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
    std::string msg;
    std::uint64_t tick;
};

std::uint64_t g_now = 0;
std::uint64_t g_step = 0;
std::uint64_t SteppingClock() { return g_now += g_step; }

class ClockScope {
public:
    explicit ClockScope(std::uint64_t step) {
        g_now = 1000000;
        g_step = step;
        previous_ = SetJPEGTickSource(SteppingClock);
    }
    ~ClockScope() { SetJPEGTickSource(previous_); }

private:
    TTickSource previous_;
};

void Record(TGraphic& g, std::vector<Report>& reports, std::function<void(const Report&)> then = {}) {
    g.SetOnProgress([&reports, then](TPersistent*, TProgressStage stage, std::uint8_t percent, bool redraw,
                                     const TRect& r, const std::string& msg) {
        reports.push_back({stage, percent, redraw, r, msg, g_now});
        if (then) then(reports.back());
    });
}

std::vector<Report> Running(const std::vector<Report>& all) {
    std::vector<Report> out;
    for (const auto& r : all)
        if (r.stage == TProgressStage::psRunning) out.push_back(r);
    return out;
}

TEST(JpegProgress, StartAndEndFrameTheRowReports) {
    ClockScope clock(1000);
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 200, 2, 2)));
    std::vector<Report> reports;
    Record(image, reports);
    image.DecodedBitmap();
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
        EXPECT_TRUE(r.msg.empty());
        lastPercent = r.percent;
        lastBottom = r.rect.bottom;
    }
}

TEST(JpegProgress, ReportsAreAtLeast500MsApartAndTheFirstCallOnlyStartsTheClock) {
    ClockScope clock(100);
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 400, 2, 2)));
    std::vector<Report> reports;
    Record(image, reports);
    const std::uint64_t start = g_now;
    image.DecodedBitmap();
    const auto running = Running(reports);
    ASSERT_GT(running.size(), 3u);
    // The first library call happens at start + 100 and only starts the clock.
    EXPECT_GE(running.front().tick, start + 100 + 500);
    for (std::size_t i = 1; i < running.size(); ++i) EXPECT_GE(running[i].tick - running[i - 1].tick, 500u);
}

TEST(JpegProgress, FrozenClockReportsNoRows) {
    ClockScope clock(0);
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 200, 2, 2, true)));
    std::vector<Report> reports;
    Record(image, reports);
    image.DecodedBitmap();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].stage, TProgressStage::psStarting);
    EXPECT_EQ(reports[1].stage, TProgressStage::psEnding);
}

// A new output pass starts again at the top, which shows as a report whose
// rectangle starts above the previous one's.
int PassRestarts(bool progressiveView) {
    ClockScope clock(1000);
    TJPEGImage image;
    image.SetProgressiveView(progressiveView);
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 400, 2, 2, true)));
    std::vector<Report> reports;
    Record(image, reports);
    image.DecodedBitmap();
    const auto running = Running(reports);
    int restarts = 0;
    for (std::size_t i = 1; i < running.size(); ++i) {
        if (running[i].rect.top >= running[i - 1].rect.top) continue;
        ++restarts;
        // The report that crossed into the new pass reached down to the bottom.
        EXPECT_EQ(running[i - 1].rect.bottom, 400);
    }
    return restarts;
}

TEST(JpegProgress, ProgressiveViewShowsEveryScanInItsOwnPass) {
    EXPECT_EQ(PassRestarts(false), 0);
    EXPECT_GE(PassRestarts(true), 5);
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
    const Bytes bytes = jpegtest::EncodeJpeg(c.recipe);
    const auto ref = c.compareRows ? jpegtest::ReferenceDecode(bytes, c.ref) : jpegtest::Decoded{};
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
            const auto got = static_cast<std::uint32_t>(bitmap->Canvas().ReadPixel(x, y));
            if (y >= rowsDone) {
                ASSERT_EQ(got, 0xFFFFFFu) << x << "," << y << " stays white";
            } else if (c.compareRows) {
                ASSERT_EQ(got, jpegtest::ReferenceColor(ref, x, y)) << x << "," << y;
            }
        }
    // The partial bitmap is the cached result.
    const std::size_t count = reports.size();
    EXPECT_EQ(image.DecodedBitmap(), bitmap);
    EXPECT_EQ(reports.size(), count);
}

EncodeRecipe Tall(Kind kind, bool progressive) {
    EncodeRecipe s = Recipe(64, 200, 2, 2, progressive);
    s.kind = kind;
    return s;
}

INSTANTIATE_TEST_SUITE_P(Cancels, JpegCancel,
                         ::testing::Values(CancelCase{"Color24", Tall(Kind::Color, false), false, true, DecodeSpec{}},
                                           CancelCase{"Gray8", Tall(Kind::Gray, false), false, true,
                                                      Quantized(JCS_GRAYSCALE, true, JDITHER_FS)},
                                           CancelCase{"Cmyk", Tall(Kind::CmykAdobe, false), false, false, DecodeSpec{}},
                                           CancelCase{"FirstPassOfProgressiveView", Tall(Kind::Color, true), true,
                                                      false, DecodeSpec{}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegProgress, OtherHandlerFailuresPassOnAndLeaveNoBitmap) {
    ClockScope clock(1000);
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 200, 2, 2)));
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
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2)));
    std::vector<Report> reports;
    Record(image, reports);
    TBitmap a, b;
    a.CopyFrom(&image);
    b.CopyFrom(&image);
    int starts = 0;
    for (const auto& r : reports) starts += r.stage == TProgressStage::psStarting;
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(a.SharesStoreWith(b));
    EXPECT_TRUE(a.SharesStoreWith(*image.DecodedBitmap()));
}

// ---- failures -------------------------------------------------------------------

TEST(JpegFailures, NotAJpegFailsOnLoadingWithTheLibrarysCode) {
    const std::string text = "hello, this is no picture";
    TJPEGImage image;
    try {
        Load(image, Bytes(text.begin(), text.end()));
        FAIL() << "loaded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(dynamic_cast<const EJPEG*>(&e), nullptr);
        EXPECT_TRUE(std::regex_match(e.Message(), std::regex("JPEG error #[0-9]+")));
        EXPECT_EQ(e.Message(), JpegMessage(JERR_NO_SOI));
    }
}

TEST(JpegFailures, EmptyFileLoadsThenFailsToDecode) {
    TJPEGImage image;
    Load(image, Bytes{});
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(image.Width(), 0);
    try {
        image.DecodedBitmap();
        FAIL() << "decoded";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Message(), JpegMessage(JERR_INPUT_EMPTY));
    }
}

TEST(JpegFailures, FatalErrorInTheScansFailsEveryTime) {
    // The second scan of a progressive file asks for coefficients 63..0.
    Bytes bytes = jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2, true));
    const std::size_t sos = jpegtest::FindMarker(bytes, 0xDA, 1);
    ASSERT_NE(sos, std::string::npos);
    const std::size_t ns = bytes[sos + 4];
    bytes[sos + 5 + ns * 2] = 63;
    bytes[sos + 6 + ns * 2] = 0;
    TJPEGImage image;
    Load(image, bytes);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            image.DecodedBitmap();
            FAIL() << "decoded";
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Message(), JpegMessage(JERR_BAD_PROGRESSION));
        }
        EXPECT_FALSE(image.Decoded());
    }
}

class JpegTooBig : public ::testing::Test {
protected:
    void TearDown() override { platform::SetMaxPixels(saved_); }
    std::uint64_t saved_ = platform::MaxPixels();
};

TEST_F(JpegTooBig, HeaderBeyondThePixelLimitFailsBeforeDecoding) {
    // A 16 x 16 file whose frame header claims 60000 x 60000.
    Bytes bytes = jpegtest::EncodeJpeg(Recipe(16, 16, 2, 2));
    const std::size_t sof = jpegtest::FindMarker(bytes, 0xC0);
    ASSERT_NE(sof, std::string::npos);
    for (std::size_t at : {sof + 5, sof + 7}) {
        bytes[at] = 60000 >> 8;
        bytes[at + 1] = 60000 & 0xFF;
    }
    TJPEGImage image;
    Load(image, bytes);
    EXPECT_EQ(image.Width(), 60000);
    try {
        image.DecodedBitmap();
        FAIL() << "decoded";
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Message(), JpegMessage(JERR_IMAGE_TOO_BIG));
    }
}

TEST_F(JpegTooBig, LimitFollowsThePlatformSetting) {
    platform::SetMaxPixels(64 * 48 - 1);
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2)));
    EXPECT_THROW(image.DecodedBitmap(), EJPEG);
    platform::SetMaxPixels(64 * 48);
    TJPEGImage fits;
    Load(fits, jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2)));
    EXPECT_EQ(fits.DecodedBitmap()->Width(), 64);
}

TEST(JpegFailures, SizeCannotBeChanged) {
    TJPEGImage image;
    for (auto set : {&TJPEGImage::SetWidth, &TJPEGImage::SetHeight}) {
        try {
            (image.*set)(10);
            FAIL();
        } catch (const EInvalidGraphicOperation& e) {
            EXPECT_EQ(e.Message(), "Cannot change the size of a JPEG image");
        }
    }
}

TEST(JpegFailures, CopyingIntoAnythingButABitmapFails) {
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(8, 8, 2, 2)));
    TMetafile metafile;
    try {
        image.CopyTo(&metafile);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TJPEGImage to a TMetafile");
    }
}

TEST(JpegFailures, StoredLengthBeyondTheStreamIsAReadError) {
    Bytes stored = {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xD8};
    TBytesStream stream(stored.data(), stored.size());
    TJPEGImage image;
    try {
        image.ReadStoredData(stream);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
}

// ---- copies, stored data, saving ------------------------------------------------

TEST(JpegCopies, CopyFromAJpegSharesTheDataAndTheBitmap) {
    TJPEGImage source;
    Load(source, jpegtest::EncodeJpeg(Recipe(32, 24, 2, 2)));
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
    TMemoryStream bytes;
    source.WriteToStream(bytes);
    bytes.SetPosition(0);
    sameBytes.ReadFromStream(bytes);
    EXPECT_FALSE(sameBytes.SameAs(&source)) << "equal only when the data is shared";
}

TEST(JpegCopies, PictureOfAJpegHoldsItsOwnSharingCopy) {
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(32, 24, 2, 2)));
    TPicture picture;
    picture.SetGraphic(&image);
    ASSERT_NE(picture.Graphic(), &image);
    EXPECT_TRUE(picture.Graphic()->SameAs(&image));
    EXPECT_EQ(picture.Width(), 32);
}

TEST(JpegCopies, StoredDataRoundTrips) {
    const Bytes bytes = jpegtest::EncodeJpeg(Recipe(20, 10, 2, 2));
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
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = b.RowAddress(y);
        for (int x = 0; x < w; ++x) {
            row[x * 3] = static_cast<std::uint8_t>(x * 255 / w);
            row[x * 3 + 1] = static_cast<std::uint8_t>(y * 255 / h);
            row[x * 3 + 2] = static_cast<std::uint8_t>(128 + (x - y) / 4);
        }
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
    TMemoryStream saved;
    image.WriteToStream(saved);
    ASSERT_GT(saved.Size(), 2);
    EXPECT_EQ(saved.Bytes()[0], 0xFF);
    EXPECT_EQ(saved.Bytes()[1], 0xD8);

    saved.SetPosition(0);
    TJPEGImage back;
    back.ReadFromStream(saved);
    EXPECT_FALSE(back.MultiScan());
    EXPECT_FALSE(back.Grayscale());
    TBitmap* decoded = back.DecodedBitmap();
    ASSERT_EQ(decoded->Width(), 48);
    ASSERT_EQ(decoded->Height(), 32);
    long total = 0;
    int worst = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            const TColor a = original.Canvas().ReadPixel(x, y), b = decoded->Canvas().ReadPixel(x, y);
            for (int s = 0; s < 24; s += 8) {
                const int d = std::abs(((a >> s) & 0xFF) - ((b >> s) & 0xFF));
                total += d;
                worst = std::max(worst, d);
            }
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
    TMemoryStream saved;
    image.WriteToStream(saved);
    saved.SetPosition(0);
    TJPEGImage back;
    back.ReadFromStream(saved);
    EXPECT_TRUE(back.Grayscale());
    EXPECT_TRUE(back.MultiScan());
}

TEST(JpegCopies, DrawToCopiesTheDecodedPixels) {
    TJPEGImage image;
    Load(image, jpegtest::EncodeJpeg(Recipe(24, 16, 2, 2)));
    TBitmap target;
    target.SetPixelKind(pk24Bit);
    target.SetWidth(24);
    target.SetHeight(16);
    image.DrawTo(target.Canvas(), TRect{0, 0, 24, 16});
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x)
            ASSERT_EQ(target.Canvas().ReadPixel(x, y), image.DecodedBitmap()->Canvas().ReadPixel(x, y));
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
    const auto bmp = std::find(order.begin(), order.end(), "bmp");
    const auto jpeg = std::find(order.begin(), order.end(), "jpeg");
    ASSERT_NE(jpeg, order.end());
    EXPECT_LT(bmp, jpeg);
    ASSERT_NE(jpeg + 1, order.end());
    EXPECT_EQ(*(jpeg + 1), "jpg");
}

class JpegRoute : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("duvo_jpeg_route_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        good_ = jpegtest::EncodeJpeg(Recipe(40, 30, 2, 2));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir_ / name).string();
        jpegtest::WriteFile(path, bytes);
        return path;
    }
    // The scratch picture holds an earlier file's bitmap.
    void Prefill(TPicture& picture) {
        TBitmap previous;
        previous.SetWidth(5);
        previous.SetHeight(5);
        picture.SetGraphic(&previous);
    }
    std::filesystem::path dir_;
    Bytes good_;
};

TEST_F(JpegRoute, JpgFileArrivesAsAPlainBitmap) {
    const auto ref = jpegtest::ReferenceDecode(good_, DecodeSpec{});
    for (const char* name : {"photo.jpg", "PHOTO.JPG"}) {
        TPicture picture;
        Prefill(picture);
        EXPECT_EQ(LoadIntoPicture(Write(name, good_), picture), LoadOutcome::Loaded) << name;
        auto* bitmap = dynamic_cast<TBitmap*>(picture.Graphic());
        ASSERT_NE(bitmap, nullptr) << name;
        ASSERT_EQ(bitmap->Width(), 40);
        ASSERT_EQ(bitmap->Height(), 30);
        for (int y = 0; y < 30; y += 7)
            for (int x = 0; x < 40; x += 3)
                EXPECT_EQ(static_cast<std::uint32_t>(bitmap->Canvas().ReadPixel(x, y)),
                          jpegtest::ReferenceColor(ref, x, y));
    }
}

TEST_F(JpegRoute, RejectedFilesAreLoadErrorsWithThePictureEmptied) {
    Bytes badScan = jpegtest::EncodeJpeg(Recipe(64, 48, 2, 2, true));
    const std::size_t sos = jpegtest::FindMarker(badScan, 0xDA, 1);
    badScan[sos + 5 + badScan[sos + 4] * 2] = 63;
    const std::string text = "plain text, not a picture";
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"text.jpg", Bytes(text.begin(), text.end())},                  // header read fails on loading
        {"empty.jpg", Bytes{}},                                         // loads, fails on decoding
        {"header_only.jpg", Bytes(good_.begin(), good_.begin() + 30)},  // ends inside the header
        {"bad_scan.jpg", badScan},                                      // fatal error while decoding
    };
    for (const auto& c : cases) {
        TPicture picture;
        Prefill(picture);
        EXPECT_EQ(LoadIntoPicture(Write(c.name, c.bytes), picture), LoadOutcome::LoadError) << c.name;
        EXPECT_TRUE(picture.Empty()) << c.name;
    }
}

TEST_F(JpegRoute, JpegExtensionTakesNoRoute) {
    TPicture picture;
    Prefill(picture);
    EXPECT_EQ(LoadIntoPicture(Write("photo.jpeg", good_), picture), LoadOutcome::UnknownFormat);
    EXPECT_EQ(picture.Width(), 5);
}

TEST_F(JpegRoute, MissingFilePassesOn) {
    TPicture picture;
    Prefill(picture);
    const std::string path = (dir_ / "missing.jpg").string();
    try {
        LoadIntoPicture(path, picture);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + path);
    }
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

}  // namespace
