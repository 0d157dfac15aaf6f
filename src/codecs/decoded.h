// What every decoder gives back: a raster in its pixel format with its color
// table, the palette that goes with it, and the few flags a bitmap keeps
// about where its pixels came from. A picture class adopts the result once;
// no decoder calls a bitmap's setters.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/row_source.h"
#include "platform/raster.h"

namespace duvo {

struct DecodedPicture {
    // None for an empty picture. Shared, so that a raster borrowed from the
    // file's bytes and the bitmaps that adopt it can hold one set of rows.
    std::shared_ptr<platform::Raster> raster;
    std::unique_ptr<platform::Palette> palette;
    // Addressed as a device-independent section; false for a bitmap in the
    // screen's format (run-length data decodes into one).
    bool dib = true;
    // The data came with a 12-byte core header.
    bool os2Format = false;
    // Header fields that the file gave and the raster does not carry; kept in
    // the bitmap's description when set.
    bool hasFileHeader = false;
    platform::BitmapInfoHeader fileHeader;
    // What the decoder filled in because the file did not hold it; the
    // pixels are those of the decode all the same.
    std::vector<DecodeWarning> warnings;
};

}  // namespace duvo
