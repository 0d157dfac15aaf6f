// PNG reading through libspng, for duvo-compare only: the desktop program's
// open command takes no ".png".
//
// Every color type and bit depth becomes a 24-bit picture. Transparent
// pixels are composed over white, and 16-bit samples are rounded to 8 bits.
// What that loses (the alpha itself, the bits below 8) is kept in side
// planes, and only when the file has it, so that a comparison can still tell
// such pixels apart. Gamma, color profiles and background chunks are not
// applied: a screenshot's bytes are compared as they are stored.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "codecs/compose.h"
#include "codecs/decoded.h"
#include "codecs/png/png_writer.h"
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

// Decodes a whole PNG file. Library errors, a damaged or truncated file among
// them, raise EInvalidGraphic ("PNG error: ..."); a picture above
// limits.pixels, or whose planes together exceed limits.decodedBytes, raises
// EPictureTooLarge before anything is allocated for it. consumed, if given,
// is told from time to time how many leading bytes the decoder is done with.
PngDecoded DecodePng(ByteSpan bytes, const Limits& limits, const std::function<void(std::size_t)>& consumed = {});

// The same file as rows in its own layout (gray, RGB, RGBA, indices; 16-bit
// samples big-endian), decoded one row at a time.
std::unique_ptr<RowSource> OpenPngRowsWithSpng(ByteSpan bytes, const Limits& limits,
                                               std::function<void(std::size_t)> consumed = {});

}  // namespace duvo
