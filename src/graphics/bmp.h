// BMP reading and writing behind TBitmap.
#pragma once

#include <cstdint>
#include <memory>

#include "graphics/bitmap.h"
#include "graphics/decoded.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// Decodes a BMP file's bytes. No bytes give an empty picture. With keepAlive
// (an owner of the bytes that outlives the call) an uncompressed picture
// whose rows are all in the data is not copied: its raster points into the
// bytes and holds keepAlive. Short pixel data leaves the missing rows zero.
DecodedPicture DecodeBmp(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> keepAlive = nullptr);

TDibDescription DescribeRaster(const platform::Raster& raster, bool dib);

// Decodes RLE8 (bitsPerPixel 8) or RLE4 (4) data into a bottom-up 24-bit
// raster already filled with the background color. Never writes outside it.
// Returns the rows, counted from the bottom, that the data reached before it
// ended: the height when it ended the picture or ran to its last row.
int DecodeRle(const std::uint8_t* data, std::size_t size, int bitsPerPixel, const platform::RGBQuad* colors,
               platform::Raster& out);

}  // namespace duvo
