// The WebP row source against files libwebp wrote: lossless pixels exactly,
// lossy ones as libwebp decodes them, animations as its animation decoder
// composes their first frame; cut, damaged and oversized files with their
// exact outcome.
#include <gtest/gtest.h>
#include <webp/demux.h>
#include <webp/mux.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codecs/webp/webp_decoder.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "webp_fixtures.h"

namespace {

using namespace duvo;
using webptest::Bytes;

struct Decoded {
    RowFormat format;
    Bytes rows;
    std::vector<DecodeWarning> warnings;
};

// Every row twice: through ReadRows in bands of 1 to 5, and in place.
Decoded Decode(const Bytes& file, const Limits& limits = kDefaultLimits) {
    auto source = OpenWebpRows({file.data(), file.size()}, limits);
    Decoded d;
    d.format = source->Format();
    EXPECT_FALSE(source->Sequential());
    const std::size_t rowBytes = d.format.RowBytes();
    d.rows.assign(rowBytes * static_cast<std::size_t>(d.format.height), 0xCD);
    for (int y = 0, band = 1; y < d.format.height; band = band % 5 + 1) {
        const int n = std::min(band, d.format.height - y);
        source->ReadRows(d.rows.data() + rowBytes * static_cast<std::size_t>(y), static_cast<std::ptrdiff_t>(rowBytes),
                         n);
        y += n;
    }
    for (int y = 0; y < d.format.height; ++y)
        EXPECT_TRUE(std::equal(d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * y),
                               d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * (y + 1)), source->RowInPlace(y)))
            << y;
    source->Finish();
    d.warnings = source->Warnings();
    return d;
}

// What libwebp's animation decoder makes of the first frame, as RGBA.
Bytes FirstCanvas(const Bytes& file) {
    WebPData data{file.data(), file.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    if (!decoder) return {};
    WebPAnimInfo info;
    WebPAnimDecoderGetInfo(decoder, &info);
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    Bytes out;
    if (WebPAnimDecoderGetNext(decoder, &canvas, &timestamp))
        out.assign(canvas, canvas + std::size_t{4} * info.canvas_width * info.canvas_height);
    WebPAnimDecoderDelete(decoder);
    return out;
}

// RGB rows widened to opaque RGBA.
Bytes Opaque(const Bytes& rgb) {
    Bytes out;
    for (std::size_t i = 0; i < rgb.size(); i += 3) out.insert(out.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 255});
    return out;
}

// An animation of frames (RGBA, width x height each) by libwebp's encoder.
Bytes Animation(const std::vector<Bytes>& frames, int width, int height, bool lossless) {
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(width, height, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless ? 1 : 0;
    config.exact = 1;
    int timestamp = 0;
    for (const Bytes& f : frames) {
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.use_argb = 1;
        picture.width = width;
        picture.height = height;
        WebPPictureImportRGBA(&picture, f.data(), width * 4);
        WebPAnimEncoderAdd(encoder, &picture, timestamp, &config);
        WebPPictureFree(&picture);
        timestamp += 100;
    }
    WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(encoder, &data);
    Bytes out(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return out;
}

// An animation by hand: a canvas and its frames, each a still file placed
// at an (even) offset.
struct PlacedFrame {
    Bytes still;
    int x, y;
};
Bytes Placed(int canvasWidth, int canvasHeight, const std::vector<PlacedFrame>& frames) {
    WebPMux* mux = WebPMuxNew();
    for (const PlacedFrame& f : frames) {
        WebPMuxFrameInfo info{};
        info.bitstream = {f.still.data(), f.still.size()};
        info.x_offset = f.x;
        info.y_offset = f.y;
        info.duration = 100;
        info.id = WEBP_CHUNK_ANMF;
        info.dispose_method = WEBP_MUX_DISPOSE_NONE;
        info.blend_method = WEBP_MUX_BLEND;
        WebPMuxPushFrame(mux, &info, 1);
    }
    WebPMuxAnimParams params{0, 0};
    WebPMuxSetAnimationParams(mux, &params);
    WebPMuxSetCanvasSize(mux, canvasWidth, canvasHeight);
    WebPData data;
    WebPDataInit(&data);
    WebPMuxAssemble(mux, &data);
    Bytes out(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPMuxDelete(mux);
    return out;
}

TEST(WebpRows, StillFilesGiveTheirPixels) {
    const struct {
        const char* what;
        int width, height, channels;
        bool lossless;
        bool opaque;  // every alpha 255: the file has no alpha
    } cases[] = {
        {"lossless RGB", 37, 23, 3, true, false},
        {"lossless RGBA", 37, 23, 4, true, false},
        {"lossless, one pixel", 1, 1, 4, true, false},
        {"lossless, one long row", 300, 1, 3, true, false},
        {"lossy RGB", 45, 31, 3, false, false},
        {"lossy RGBA", 45, 31, 4, false, false},
        {"lossless RGBA, all opaque", 20, 9, 4, true, true},
        {"lossy, one column", 1, 40, 3, false, false},
    };
    std::uint32_t seed = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes pixels = webptest::Pixels(c.width, c.height, c.channels, seed++);
        if (c.opaque)
            for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
        const Bytes file = webptest::Encode(pixels, c.width, c.height, c.channels, c.lossless);
        const Decoded d = Decode(file);
        bool seeThrough = false;
        for (std::size_t i = 3; c.channels == 4 && i < pixels.size(); i += 4)
            seeThrough = seeThrough || pixels[i] < 255;
        const int channels = seeThrough ? 4 : 3;
        EXPECT_EQ(d.format.width, c.width);
        EXPECT_EQ(d.format.height, c.height);
        EXPECT_EQ(d.format.layout, channels == 4 ? RowLayout::Rgba : RowLayout::Rgb);
        EXPECT_EQ(d.format.bitDepth, 8);
        EXPECT_TRUE(d.warnings.empty());
        if (!c.lossless) {
            EXPECT_EQ(d.rows, webptest::Decode(file, channels));
            continue;
        }
        ASSERT_EQ(d.rows.size(), static_cast<std::size_t>(c.width) * c.height * channels);
        for (std::size_t i = 0, o = 0; i < pixels.size(); i += c.channels, o += channels) {
            // The simple encoder may change the colors of invisible pixels.
            if (channels == 4 && pixels[i + 3] == 0) {
                ASSERT_EQ(d.rows[o + 3], 0) << i;
                continue;
            }
            ASSERT_TRUE(std::equal(d.rows.begin() + static_cast<std::ptrdiff_t>(o),
                                   d.rows.begin() + static_cast<std::ptrdiff_t>(o + channels), pixels.begin() + i))
                << i / c.channels;
        }
    }
}

TEST(WebpRows, AnAnimationGivesItsFirstCanvas) {
    const int w = 40, h = 30;
    std::vector<Bytes> frames;
    for (std::uint32_t i = 0; i < 3; ++i) frames.push_back(webptest::Pixels(w, h, 4, 70 + i));
    for (std::size_t i = 3; i < frames[0].size(); i += 4) frames[0][i] = frames[0][i] ? 255 : 0;  // alpha 0 or 255

    const Bytes lossless = Animation(frames, w, h, true);
    const Bytes lossy = Animation(frames, w, h, false);
    const Bytes small = webptest::Encode(webptest::Pixels(20, 10, 3, 9), 20, 10, 3, true);
    const Bytes covering = webptest::Encode(webptest::Pixels(w, h, 3, 10), w, h, 3, true);
    const struct {
        const char* what;
        Bytes file;
        RowLayout layout;
    } cases[] = {
        {"lossless frames", lossless, RowLayout::Rgba},
        {"lossy frames", lossy, RowLayout::Rgba},
        {"a first frame in the middle of the canvas", Placed(50, 40, {{small, 10, 6}, {covering, 0, 0}}),
         RowLayout::Rgba},
        {"an opaque first frame that covers the canvas", Placed(w, h, {{covering, 0, 0}, {small, 2, 2}}),
         RowLayout::Rgb},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = Decode(c.file);
        EXPECT_EQ(d.format.layout, c.layout);
        EXPECT_TRUE(d.warnings.empty());
        const Bytes reference = FirstCanvas(c.file);
        ASSERT_FALSE(reference.empty());
        EXPECT_EQ(c.layout == RowLayout::Rgb ? Opaque(d.rows) : d.rows, reference);
    }
    // The lossless one is the first frame that was given, where it is seen.
    const Decoded d = Decode(lossless);
    for (std::size_t i = 0; i < d.rows.size(); i += 4)
        if (frames[0][i + 3] == 255) {
            ASSERT_TRUE(std::equal(d.rows.begin() + static_cast<std::ptrdiff_t>(i),
                                   d.rows.begin() + static_cast<std::ptrdiff_t>(i + 4), frames[0].begin() + i))
                << i / 4;
        }
    // The placed one is transparent black around its frame.
    const Decoded placed = Decode(cases[2].file);
    const Bytes inner = webptest::Pixels(20, 10, 3, 9);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 50; ++x) {
            const std::uint8_t* px = placed.rows.data() + (static_cast<std::size_t>(y) * 50 + x) * 4;
            const bool inside = x >= 10 && x < 30 && y >= 6 && y < 16;
            if (!inside) {
                ASSERT_EQ(px[0] | px[1] | px[2] | px[3], 0) << x << "," << y;
                continue;
            }
            const std::uint8_t* want = inner.data() + (static_cast<std::size_t>(y - 6) * 20 + (x - 10)) * 3;
            ASSERT_TRUE(std::equal(px, px + 3, want) && px[3] == 255) << x << "," << y;
        }
}

// The first row from which rows are zero, checking that every row above
// it is as wanted.
int RowsKept(const Decoded& d, const Bytes& wanted) {
    const std::size_t rowBytes = d.format.RowBytes();
    int y = 0;
    while (y < d.format.height && std::equal(d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * y),
                                             d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * (y + 1)),
                                             wanted.begin() + static_cast<std::ptrdiff_t>(rowBytes * y)))
        ++y;
    const bool zeros = std::all_of(d.rows.begin() + static_cast<std::ptrdiff_t>(rowBytes * y), d.rows.end(),
                                   [](std::uint8_t b) { return b == 0; });
    return zeros ? y : -1;
}

TEST(WebpRows, ACutFileKeepsTheRowsDecodedAndSaysWhere) {
    const int w = 64, h = 48;
    const Bytes rgb = webptest::Pixels(w, h, 3, 21);
    const Bytes lossless = webptest::Encode(rgb, w, h, 3, true);
    const Bytes lossy = webptest::Encode(rgb, w, h, 3, false);
    const Bytes lossyRows = webptest::Decode(lossy, 3);
    std::vector<Bytes> frames{webptest::Pixels(w, h, 4, 22), webptest::Pixels(w, h, 4, 23)};
    for (Bytes& f : frames)
        for (std::size_t i = 3; i < f.size(); i += 4) f[i] = 255;
    frames[1][0] ^= 0xFF;
    const Bytes animation = Animation(frames, w, h, true);
    const Bytes firstCanvas = FirstCanvas(animation);
    // Pixels, then a metadata chunk the RIFF header counts in.
    Bytes tagged = lossless;
    const Bytes chunk{'E', 'X', 'I', 'F', 92, 0, 0, 0};
    tagged.insert(tagged.end(), chunk.begin(), chunk.end());
    tagged.resize(tagged.size() + 92, 'x');
    const std::uint32_t riff = static_cast<std::uint32_t>(tagged.size() - 8);
    for (int i = 0; i < 4; ++i) tagged[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));

    const struct {
        const char* what;
        const Bytes* file;
        std::size_t keep;
        const Bytes* wanted;  // the rows kept are these
        bool inside;          // the cut is inside the pixels
        bool animated;
    } cases[] = {
        {"lossless, cut in the middle", &lossless, lossless.size() * 6 / 10, &rgb, true, false},
        {"lossy, cut in the middle", &lossy, lossy.size() * 6 / 10, &lossyRows, true, false},
        {"an animation cut inside its second frame", &animation, animation.size() - 3, nullptr, false, true},
        {"metadata after the pixels cut", &tagged, tagged.size() - 50, &rgb, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes cut(c.file->begin(), c.file->begin() + static_cast<std::ptrdiff_t>(c.keep));
        const Decoded d = Decode(cut);
        ASSERT_EQ(d.warnings.size(), 1u);
        EXPECT_EQ(d.warnings[0].kind, "truncated");
        Bytes wanted = c.wanted ? *c.wanted : Bytes{};
        if (c.animated) {
            ASSERT_EQ(d.format.layout, RowLayout::Rgb);
            wanted.clear();
            for (std::size_t i = 0; i < firstCanvas.size(); i += 4)
                wanted.insert(wanted.end(), firstCanvas.begin() + static_cast<std::ptrdiff_t>(i),
                              firstCanvas.begin() + static_cast<std::ptrdiff_t>(i + 3));
        }
        const int kept = RowsKept(d, wanted);
        const std::string declared =
            std::to_string(cut.size()) + " of the " + std::to_string(c.file->size()) + " bytes its header declares";
        if (c.inside) {
            EXPECT_GT(kept, 0);
            EXPECT_LT(kept, h);
            EXPECT_EQ(d.warnings[0].message, std::string("the file ends inside ") +
                                                 (c.animated ? "the first frame's" : "the") + " image data (at row " +
                                                 std::to_string(kept) + " of 48); the rows below are zero");
        } else {
            EXPECT_EQ(kept, h);
            EXPECT_EQ(d.warnings[0].message,
                      c.animated ? "the file ends after the first frame (" + declared + "); the first frame is whole"
                                 : "the file ends after the pixels (" + declared + "); the picture is whole");
        }
    }
}

TEST(WebpRows, DamagedAndOversizedFilesHaveTheirExactOutcome) {
    // A lossless header declaring width x height, and no image data.
    auto header = [](std::uint32_t width, std::uint32_t height) {
        Bytes b{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'L', 6, 0, 0, 0, 0x2F};
        const std::uint32_t bits = (width - 1) | ((height - 1) << 14);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        b.push_back(0);
        const auto riff = static_cast<std::uint32_t>(b.size() - 8);
        for (int i = 0; i < 4; ++i) b[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(riff >> (8 * i));
        return b;
    };
    const Bytes file = webptest::Encode(webptest::Pixels(64, 64, 3, 3), 64, 64, 3, true);
    std::vector<Bytes> frames{webptest::Pixels(40, 30, 4, 1), webptest::Pixels(40, 30, 4, 2)};
    const Bytes animation = Animation(frames, 40, 30, true);
    Bytes garbled = file;
    std::fill(garbled.begin() + 30, garbled.begin() + 60, 0xFF);
    Limits small;
    small.pixels = std::uint64_t{1} << 20;
    Limits fewBytes;
    fewBytes.decodedBytes = 10000;
    const struct {
        const char* what;
        Bytes file;
        Limits limits;
        std::string message;
        bool tooLarge;
    } cases[] = {
        {"not a WebP file", Bytes(100, 'X'), kDefaultLimits,
         "WebP error: the file is not a WebP file, or its header is damaged", false},
        {"cut inside its header", Bytes(file.begin(), file.begin() + 16), kDefaultLimits,
         "WebP error: the file ends inside its header", false},
        {"image data that makes no sense", garbled, kDefaultLimits, "WebP error: the image data is damaged", false},
        {"a header and no image data", header(100, 50), kDefaultLimits, "WebP error: the image data is damaged", false},
        // libwebp's demuxer gives no part of a frame it does not hold whole.
        {"an animation cut inside its first frame", Bytes(animation.begin(), animation.begin() + animation.size() / 2),
         kDefaultLimits, "WebP error: the file ends before the first frame is whole", false},
        {"a huge picture in a small file", header(16383, 16383), small,
         "Picture too large (16383 x 16383 pixels; the limit is 1048576 pixels)", true},
        {"more bytes than allowed", file, fewBytes, "Picture too large (more than 10000 bytes of pixels)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            Decode(c.file, c.limits);
            ADD_FAILURE() << "decoded";
        } catch (const EPictureTooLarge& e) {
            EXPECT_TRUE(c.tooLarge) << e.Message();
            EXPECT_EQ(e.Message(), c.message);
        } catch (const EInvalidGraphic& e) {
            EXPECT_FALSE(c.tooLarge) << e.Message();
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

// The fuzzer's seeds and every WebP reproducer it found, each with its
// outcome (tests/data/webp/README.md says how the seeds were written); a
// file without a row fails the test.
TEST(WebpRows, DataFilesHaveTheirExactOutcome) {
    struct Outcome {
        int width = 0, height = 0;
        RowLayout layout = RowLayout::Rgb;
        std::vector<DecodeWarning> warnings;
        std::string error;  // the message of a file refused
    };
    const DecodeWarning cutAfterTheFirstFrame{
        "truncated",
        "the file ends after the first frame (696 of the 716 bytes its header declares); the first frame is whole"};
    const std::map<std::string, Outcome> outcomes = {
        {"webp/lossless_rgb.webp", {17, 13, RowLayout::Rgb, {}, ""}},
        {"webp/lossless_rgba.webp", {17, 13, RowLayout::Rgba, {}, ""}},
        {"webp/lossy_rgb.webp", {24, 16, RowLayout::Rgb, {}, ""}},
        {"webp/lossy_rgba.webp", {24, 16, RowLayout::Rgba, {}, ""}},
        // Cut at 60 % of its bytes, which lie before its first row is whole.
        {"webp/lossless_cut.webp",
         {32,
          24,
          RowLayout::Rgb,
          {{"truncated", "the file ends inside the image data (at row 0 of 24); the rows below are zero"}},
          ""}},
        {"webp/animation_placed_frames.webp", {30, 20, RowLayout::Rgba, {}, ""}},
        {"webp/animation_cut_in_second_frame.webp", {30, 20, RowLayout::Rgba, {cutAfterTheFirstFrame}, ""}},
    };
    const std::filesystem::path root(DUVO_TEST_DATA);
    std::map<std::string, Decoded> decoded;
    std::size_t seen = 0;
    for (const char* folder : {"webp", "regress"})
        for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
            if (entry.path().extension() != ".webp") continue;
            const std::string name = std::string(folder) + "/" + entry.path().filename().string();
            SCOPED_TRACE(name);
            const auto want = outcomes.find(name);
            ASSERT_NE(want, outcomes.end()) << "a file without its outcome";
            ++seen;
            std::ifstream in(entry.path(), std::ios::binary);
            const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            Limits limits;
            limits.pixels = std::uint64_t{1} << 22;
            limits.decodedBytes = std::uint64_t{1} << 26;
            Outcome got;
            try {
                Decoded d = Decode(bytes, limits);
                got = {d.format.width, d.format.height, d.format.layout, d.warnings, ""};
                decoded.emplace(name, std::move(d));
            } catch (const EInvalidGraphic& e) {
                got.error = e.Message();
            }
            EXPECT_EQ(got.error, want->second.error);
            EXPECT_EQ(got.width, want->second.width);
            EXPECT_EQ(got.height, want->second.height);
            EXPECT_EQ(got.layout, want->second.layout);
            EXPECT_EQ(got.warnings, want->second.warnings);
        }
    ASSERT_EQ(seen, outcomes.size()) << "a file of the table is missing";
    // The animation cut inside its second frame is the whole one cut: its first canvas is whole.
    EXPECT_EQ(decoded["webp/animation_cut_in_second_frame.webp"].rows,
              decoded["webp/animation_placed_frames.webp"].rows);
    // The lossless file cut before any row: every row zero.
    const Bytes& cut = decoded["webp/lossless_cut.webp"].rows;
    EXPECT_EQ(std::count(cut.begin(), cut.end(), 0), static_cast<std::ptrdiff_t>(cut.size()));
}

}  // namespace
