// The tests' reference PNG decoder (libspng, tests/reference) is itself held
// against pictures made by the tests' own writer: every color type and bit
// depth, interlaced or not, with and without tRNS, pixel by pixel against
// the samples of the recipe, so that what our decoder and the one pass are
// compared with is known to be right. Then the reductions it and the engine
// share, and the PNG route.
#include <gtest/gtest.h>

#include <random>

#include "graphics/bitmap.h"
#include "loading/open_routes.h"
#include "platform/raster.h"
#include "png_builder.h"
#include "reference/png_spng.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace {

using duvo::test::PngBuilder;
using duvo::test::PngChannels;
using duvo::test::PngRecipe;

PngRecipe R(int width, int height, int depth, int colorType, bool interlaced = false) {
    PngRecipe r;
    r.width = width;
    r.height = height;
    r.bitDepth = depth;
    r.colorType = colorType;
    r.interlaced = interlaced;
    return r;
}

// Random samples in range for the recipe (indices below the palette size).
PngRecipe Filled(PngRecipe r, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::uint32_t count = r.colorType == 3 ? static_cast<std::uint32_t>(r.palette.size()) : (1u << r.bitDepth);
    r.samples.resize(static_cast<std::size_t>(r.width) * r.height * PngChannels(r.colorType));
    for (auto& s : r.samples) s = static_cast<std::uint16_t>(rng() % count);
    // Some transparent-colored pixels, so that tRNS has something to hit.
    if (r.transparent)
        for (std::size_t i = 0; i < r.samples.size() / PngChannels(r.colorType); i += 3)
            for (int c = 0; c < PngChannels(r.colorType); ++c)
                r.samples[i * PngChannels(r.colorType) + c] = (*r.transparent)[c];
    return r;
}

struct Expected {
    std::uint8_t blue, green, red, alpha;
    std::array<std::uint16_t, 4> deep;  // composed red, green, blue, and alpha at 16 bits
};

// The plain reading of one pixel of a recipe: samples widened by bit
// replication, tRNS matched on the stored values, composed over white.
Expected Reference(const PngRecipe& r, int x, int y) {
    const int ch = PngChannels(r.colorType);
    const std::uint16_t* s = &r.samples[(static_cast<std::size_t>(y) * r.width + x) * ch];
    const std::uint32_t max = (1u << r.bitDepth) - 1;
    std::array<std::uint32_t, 3> rgb{};
    std::uint32_t alpha = max;
    switch (r.colorType) {
        case 0:
            rgb = {s[0], s[0], s[0]};
            break;
        case 2:
            rgb = {s[0], s[1], s[2]};
            break;
        case 4:
            rgb = {s[0], s[0], s[0]};
            alpha = s[1];
            break;
        case 6:
            rgb = {s[0], s[1], s[2]};
            alpha = s[3];
            break;
        case 3: {
            const auto& c = r.palette[s[0]];
            rgb = {c[0], c[1], c[2]};
            alpha = s[0] < r.paletteAlpha.size() ? r.paletteAlpha[s[0]] : 255;
            break;
        }
    }
    if (r.transparent) {
        const bool hit = r.colorType == 0 ? s[0] == (*r.transparent)[0]
                                          : s[0] == (*r.transparent)[0] && s[1] == (*r.transparent)[1] &&
                                                s[2] == (*r.transparent)[2];
        if (hit) alpha = 0;
    }
    Expected e{};
    if (r.bitDepth == 16) {
        for (int c = 0; c < 3; ++c) e.deep[c] = duvo::OverWhite16(rgb[c], alpha);
        e.deep[3] = static_cast<std::uint16_t>(alpha);
        e.red = duvo::Round16To8(e.deep[0]);
        e.green = duvo::Round16To8(e.deep[1]);
        e.blue = duvo::Round16To8(e.deep[2]);
        e.alpha = duvo::Round16To8(alpha);
        return e;
    }
    const std::uint32_t scale = r.colorType == 3 ? 1 : 255 / max;
    for (auto& v : rgb) v *= scale;
    const std::uint32_t a = r.colorType == 3 ? alpha : alpha * (255 / max);
    e.red = duvo::OverWhite8(rgb[0], a);
    e.green = duvo::OverWhite8(rgb[1], a);
    e.blue = duvo::OverWhite8(rgb[2], a);
    e.alpha = static_cast<std::uint8_t>(a);
    return e;
}

struct DecodeCase {
    const char* what;
    PngRecipe recipe;
    bool alphaPlane;
};

std::vector<DecodeCase> DecodeCases() {
    const std::vector<std::array<std::uint8_t, 3>> palette{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 99, 199}};
    std::vector<DecodeCase> cases;
    for (bool interlaced : {false, true}) {
        // Odd sizes: partial bytes at row ends, interlace passes that are empty
        // or one pixel wide.
        for (int depth : {1, 2, 4, 8, 16}) {
            cases.push_back({"gray", R(13, 7, depth, 0, interlaced), false});
            PngRecipe keyed = R(5, 9, depth, 0, interlaced);
            keyed.transparent = std::array<std::uint16_t, 3>{static_cast<std::uint16_t>((1u << depth) - 1), 0, 0};
            cases.push_back({"gray with a tRNS key", keyed, true});
        }
        for (int depth : {1, 2, 4, 8}) {
            PngRecipe p = R(11, 3, depth, 3, interlaced);
            p.palette.assign(palette.begin(), palette.begin() + (depth == 1 ? 2 : 4));
            cases.push_back({"palette", p, false});
            p.paletteAlpha = {0, 77};  // shorter than the palette: the rest opaque
            cases.push_back({"palette with tRNS", p, true});
        }
        for (int depth : {8, 16}) {
            cases.push_back({"RGB", R(9, 10, depth, 2, interlaced), false});
            PngRecipe keyed = R(6, 5, depth, 2, interlaced);
            keyed.transparent = std::array<std::uint16_t, 3>{1, 2, 3};
            cases.push_back({"RGB with a tRNS key", keyed, true});
            cases.push_back({"gray and alpha", R(7, 7, depth, 4, interlaced), true});
            cases.push_back({"RGBA", R(10, 3, depth, 6, interlaced), true});
        }
    }
    return cases;
}

TEST(PngDecode, EveryColorTypeAndDepthMatchesTheRecipe) {
    std::uint32_t seed = 1;
    for (const DecodeCase& c : DecodeCases()) {
        const PngRecipe r = Filled(c.recipe, seed++);
        SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(r.bitDepth) + " bit" +
                     (r.interlaced ? ", interlaced" : ""));
        const auto bytes = PngBuilder::Build(r);
        const duvo::PngDecoded png = duvo::DecodePng(bytes, duvo::kDefaultLimits);
        const duvo::platform::Raster& raster = *png.picture.raster;
        ASSERT_EQ(raster.Width(), r.width);
        ASSERT_EQ(raster.Height(), r.height);
        ASSERT_EQ(raster.BitCount(), 24);
        EXPECT_EQ(png.bitDepth, r.bitDepth);
        EXPECT_EQ(png.interlaced, r.interlaced);
        // Side planes only where the file has what they keep.
        ASSERT_EQ(png.side.alpha.empty(), !c.alphaPlane);
        ASSERT_EQ(png.side.deep.empty(), r.bitDepth != 16);
        int mismatches = 0;
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) {
                const Expected e = Reference(r, x, y);
                const std::uint8_t* p = raster.Row(y) + 3 * x;
                const std::size_t at = static_cast<std::size_t>(y) * r.width + x;
                bool ok = p[0] == e.blue && p[1] == e.green && p[2] == e.red;
                if (c.alphaPlane) ok = ok && png.side.alpha[at] == e.alpha;
                if (r.bitDepth == 16)
                    for (int k = 0; k < 4; ++k) ok = ok && png.side.deep[4 * at + k] == e.deep[k];
                if (!ok && ++mismatches < 4) ADD_FAILURE() << "pixel " << x << "," << y;
            }
    }
}

TEST(PngDecode, ReductionsRoundAndComposeOverWhite) {
    const struct {
        const char* what;
        std::uint32_t got, expected;
    } rows[] = {
        {"16 to 8 bits: 0x807F rounds down to 0x80", duvo::Round16To8(0x807F), 0x80},
        {"16 to 8 bits: 0x8080 is exactly 0x80", duvo::Round16To8(0x8080), 0x80},
        {"16 to 8 bits: 0x8100 is still below the half", duvo::Round16To8(0x8100), 0x80},
        {"16 to 8 bits: 0x8101 rounds up", duvo::Round16To8(0x8101), 0x81},
        {"16 to 8 bits: the top stays the top", duvo::Round16To8(0xFFFF), 0xFF},
        {"transparent black is white", duvo::OverWhite8(0, 0), 0xFF},
        {"opaque black stays black", duvo::OverWhite8(0, 255), 0},
        {"half-covered black is mid grey", duvo::OverWhite8(0, 128), 127},
        {"16-bit transparent is white", duvo::OverWhite16(0, 0), 0xFFFF},
        {"16-bit opaque keeps its value", duvo::OverWhite16(0x1234, 0xFFFF), 0x1234},
    };
    for (const auto& row : rows) EXPECT_EQ(row.got, row.expected) << row.what;
}

TEST(PngRoute, TakenByTheCommandLineAloneAndTheDesktopFilterUnchanged) {
    EXPECT_EQ(duvo::FindRoute("shot.png"), nullptr);
    EXPECT_EQ(duvo::FindRoute("shot.PNG"), nullptr);
    const duvo::Route* route = duvo::FindRoute("shot.PNG", duvo::RouteUser::CommandLine);
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(route->format, "PNG");
    EXPECT_EQ(route->loadPicture, nullptr);  // the open command has no way to it
    EXPECT_NE(route->openRows, nullptr);
    EXPECT_EQ(duvo::FindRoute("a.bmp", duvo::RouteUser::CommandLine), duvo::FindRoute("a.bmp"));
    EXPECT_EQ(duvo::OpenDialogFilter().find("png"), std::string::npos);
}

}  // namespace
