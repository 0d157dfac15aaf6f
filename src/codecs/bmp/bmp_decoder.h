// BMP decoding: a file's bytes and a Limits value in, a raster in the file's
// own layout out (or, for run-length data, a 24-bit one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "codecs/decoded.h"
#include "codecs/row_source.h"
#include "platform/raster.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// A BMP file's header as read, and where its pixels lie.
struct BmpLayout {
    platform::BitmapInfoHeader header;  // the signed height as given
    int height = 0;                     // rows; 0 for a file of no bytes
    bool os2 = false;                   // a 12-byte core header
    bool rle = false;
    // The rows' layout: the file's own, or 24 bits for run-length data.
    platform::RasterFormat format;
    platform::RGBQuad colors[256] = {};
    std::size_t stride = 0;  // of the file's rows
    std::size_t total = 0;   // bytes of all its rows
    ByteSpan data;           // the pixel data the file holds, perhaps short
    // Rows that the data lacks.
    std::vector<DecodeWarning> warnings;
};

// Reads everything up to the pixels and checks the size against limits
// before anything is allocated; EInvalidGraphic ("Bitmap image is not
// valid") for a header the platform would refuse, EReadError ("Stream read
// error") for one cut short. No bytes give a height of 0.
BmpLayout ParseBmp(ByteSpan bytes, const Limits& limits);

// The rows of a raster of this format as a row source sees them.
RowFormat RowFormatOf(const platform::RasterFormat& format, int width, int height, const platform::RGBQuad* colors,
                      int colorCount);

// The file as rows: uncompressed rows are read where they lie in bytes,
// which must outlive the source (release, when given, is told which byte
// ranges the reader is done with); run-length data is decoded whole first,
// within limits.decodedBytes. A file of no bytes is "Bitmap image is not
// valid".
std::unique_ptr<RowSource> OpenBmpRows(ByteSpan bytes, const Limits& limits,
                                       std::function<void(std::size_t, std::size_t)> release = {});

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
