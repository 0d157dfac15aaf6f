// BMP decoding: a file's bytes and a Limits value in, a raster in the file's
// own layout out (or, for run-length data, a 24-bit one).
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/decoded.h"
#include "platform/raster.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// Decodes a BMP file's bytes. No bytes give an empty picture. With keepAlive
// (an owner of the bytes that outlives the call) an uncompressed picture
// whose rows are all in the data is not copied: its raster points into the
// bytes and holds keepAlive. Short pixel data leaves the missing rows zero.
DecodedPicture DecodeBmp(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> keepAlive = nullptr);

// Decodes RLE8 (bitsPerPixel 8) or RLE4 (4) data into a bottom-up 24-bit
// raster already filled with the background color. Never writes outside it.
// Returns the rows, counted from the bottom, that the data reached before it
// ended: the height when it ended the picture or ran to its last row.
int DecodeRle(const std::uint8_t* data, std::size_t size, int bitsPerPixel, const platform::RGBQuad* colors,
              platform::Raster& out);

}  // namespace duvo
