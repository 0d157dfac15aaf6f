// BMP reading and writing behind TBitmap: the decoder is the codec's, the
// bitmap adopts what it gives.
#pragma once

#include "codecs/bmp/bmp_decoder.h"
#include "graphics/bitmap.h"

namespace duvo {

TDibDescription DescribeRaster(const platform::Raster& raster, bool dib);

}  // namespace duvo
