// libspng as the tests' reference PNG decoder: what our decoder
// (codecs/png) and the one pass are held against, in the tests and the
// benchmarks. Nothing the programs run links it.
//
// DecodePng makes the plain whole picture of the old way: every color type
// and bit depth as 24-bit colors, transparent pixels composed over white,
// 16-bit samples rounded to 8 bits, and what that loses (the alpha, the
// bits below 8) in side planes, only when the file has it. Gamma, color
// profiles and background chunks are not applied.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/compose.h"
#include "codecs/decoded.h"
#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// What a PNG file holds beyond its 24-bit colors. Planes are row-major over
// the whole picture, top row first.
struct PngSidePlanes {
    // The alpha of each pixel, rounded to 8 bits; empty when the file has
    // neither an alpha channel nor a tRNS chunk.
    std::vector<std::uint8_t> alpha;
    // Four 16-bit samples per pixel: red, green and blue composed over white
    // at 16 bits, then alpha; empty unless the file has 16-bit samples.
    std::vector<std::uint16_t> deep;

    bool Empty() const { return alpha.empty() && deep.empty(); }
};

struct PngDecoded {
    DecodedPicture picture;  // 24-bit, top-down
    PngSidePlanes side;
    int bitDepth = 0;
    int colorType = 0;
    bool interlaced = false;
};

// Decodes a whole PNG file. The library's errors raise EInvalidGraphic
// ("PNG error: ..."), a picture above limits.pixels EPictureTooLarge before
// anything is allocated for it.
PngDecoded DecodePng(ByteSpan bytes, const Limits& limits);

// The same file as rows in its own layout (gray, RGB, RGBA, indices; 16-bit
// samples big-endian), decoded one row at a time.
std::unique_ptr<RowSource> OpenPngRowsWithSpng(ByteSpan bytes, const Limits& limits);

}  // namespace duvo
