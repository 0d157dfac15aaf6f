// Tells a pixel that differs only because an edge was anti-aliased
// differently from a real change, after "Anti-aliased Pixel and Intensity
// Slope Detector" (V. Vysniauskas, 2009), with the choices pixelmatch makes,
// so that counts agree with it.
//
// A differing pixel is anti-aliasing when, in one of the two pictures, it
// lies on a slope and the slope ends on a flat area in both pictures:
//  - on a slope: of its 8 neighbours at most 2 have its exact color, at
//    least one is darker and at least one brighter;
//  - flat: its darkest or its brightest neighbour has 3 or more neighbours
//    of its own exact color, in the first picture and in the second.
// The test is made in the first picture against the second and in the
// second against the first.
//
// Details decided here:
//  - Brightness is the gamma-encoded Rec. 601 luma with the weights
//    0.29889531, 0.58662247, 0.11448223 (YIQ's Y), as in pixelmatch, not the
//    perceptual distance's Lr: the test only orders neighbours, the luma
//    costs three multiplications on the packed bytes, and it keeps the
//    darkest and brightest neighbours the ones pixelmatch picks, which Lr
//    would not for colored pixels. The weights are scaled by 2^18 and
//    rounded; no two different 8-bit colors then have the same luma, so
//    "same brightness" and "same color" coincide.
//  - "Same color" is the exact packed color, composed over white.
//  - Ties between equally dark (or bright) neighbours go to the first met
//    going down the left column, then the middle, then the right one, as in
//    pixelmatch.
//  - At the picture's border a pixel has fewer neighbours; the border counts
//    as one neighbour of the pixel's own color (once, also in a corner), for
//    the pixel itself and for the darkest and brightest neighbours alike.
//
// What this cannot tell: a one-pixel change whose new color lies between the
// two flat areas it touches (a grey dot on a black and white edge) looks
// exactly like anti-aliasing and is counted as such. A change of two pixels
// or more across, or one that is darker or brighter than everything around
// it, is not.
#pragma once

#include <cstdint>

namespace duvo::antialias {

// Five rows of a picture's packed 0x00BBGGRR colors around row y: rows[k] is
// row y - 2 + k, nullptr where that row lies outside the picture; rows[2]
// is never nullptr. Every row holds width colors.
struct Window {
    const std::uint32_t* rows[5];
    int width;
};

// Whether the pixel at x of row y (rows[2]) of two equally sized pictures,
// which differs between them, is anti-aliasing in either.
bool IsAntialiased(const Window& a, const Window& b, int x);

// IsAntialiased(a, b, x) for x = x0 .. x0 + n - 1 into aa[x - x0], for
// every pixel of the run whether it differs or not (0 <= x0, x0 + n <=
// width). It costs the same for every pixel, about a sixth of what the
// one-pixel test costs for one that needs it, so it pays where more than
// one pixel in six of a run is to be tested (a photograph against a copy
// with scattered changes, a threshold of 0 on a re-encode).
void AntialiasedRun(const Window& a, const Window& b, int x0, int n, std::uint8_t* aa);

// The brightness used above, for the tests.
std::int32_t Luma(std::uint32_t c);

}  // namespace duvo::antialias
