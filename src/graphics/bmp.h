// BMP reading and writing behind TBitmap.
#pragma once

#include <cstdint>

#include "graphics/bitmap.h"

namespace duvo {

// Reads BMP data of the given length into a new store (reference count 0).
// Length 0 gives an empty store. Failures leave nothing behind.
TBitmapImage* ReadBitmapStore(TStream& stream, std::int64_t length);

TDibDescription DescribeRaster(const platform::Raster& raster, bool dib);

// Decodes RLE8 (bitsPerPixel 8) or RLE4 (4) data into a bottom-up 24-bit
// raster already filled with the background color. Never writes outside it.
void DecodeRle(const std::uint8_t* data, std::size_t size, int bitsPerPixel, const platform::RGBQuad* colors,
               platform::Raster& out);

}  // namespace duvo
