// JPEG decoding and encoding through the IJG library: a file's bytes and a
// Limits value in, a picture (or its rows, one band at a time) out. The
// library's C errors become EJPEG exceptions in one place, the boundary
// (jpeg_boundary.h); the JPEG graphic class builds on these functions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "codecs/decoded.h"
#include "codecs/row_source.h"
#include "platform/geometry.h"
#include "platform/raster.h"
#include "rtl/byte_reader.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo {

// Every fatal library error; the number is the library's message code.
class EJPEG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

namespace msg {
inline constexpr const char* JPEGError = "JPEG error #%d";
}  // namespace msg

enum TJPEGOutputDepth : std::uint8_t { od24Bit, od8Bit };
enum TJPEGDecodeMode : std::uint8_t { dmBestQuality, dmFastest };
enum TJPEGScale : std::uint8_t { dsFull, dsHalf, dsQuarter, dsEighth };

// How to decode: the image's settings, and a palette to decode into.
struct JpegSettings {
    bool blockSmoothing = true;
    bool grayOutput = false;
    TJPEGOutputDepth outputDepth = od24Bit;
    bool progressiveView = false;
    TJPEGDecodeMode decodeMode = dmBestQuality;
    TJPEGScale decodeScale = dsFull;
    // With 8-bit output, the colors to decode into (up to 256 are used).
    const platform::Palette* palette = nullptr;
};

// Called on the decoding thread; either may throw, EAbort to cancel.
struct JpegDecodeHooks {
    // Once the header is read and the settings applied, before any row.
    std::function<void()> started;
    // At most every 500 ms, when the whole percentage changed.
    std::function<void(std::uint8_t percent, bool redraw, const TRect& rect)> progress;
};

struct JpegDecoded {
    // A 24-bit, or with quantization an 8-bit, bottom-up picture.
    DecodedPicture picture;
    // The palette is the library's color map (not the caller's or halftone).
    bool paletteFromLibrary = false;
    // A hook raised EAbort: the rows decoded so far, the rest white.
    bool cancelled = false;
};

// Decodes a whole JPEG file. Library errors raise EJPEG ("JPEG error #%d"),
// a picture above limits.pixels EPictureTooLarge before anything is decoded.
JpegDecoded DecodeJpeg(ByteSpan bytes, const JpegSettings& settings, const Limits& limits,
                       const JpegDecodeHooks& hooks = {});

struct JpegHeader {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool grayscale = false;
    bool multiScan = false;
};
// Reads only the header; EJPEG when the library rejects it.
JpegHeader ReadJpegHeader(ByteSpan bytes);
// The output size at a decode scale; false when the header is rejected.
bool JpegOutputSize(ByteSpan bytes, TJPEGScale scale, int* width, int* height);

// The file as rows, decoded with the default settings (those of a new JPEG
// image) as they are read: 24-bit blue, green, red, or for a grayscale file
// the indices of the library's color map. The header is read once, here;
// EJPEG when the library rejects it, EPictureTooLarge above limits.pixels
// or, for a file of several scans (progressive), whose coefficients are
// held whole, above limits.decodedBytes. The bytes must outlive the
// source. Warnings are complete after Finish.
std::unique_ptr<RowSource> OpenJpegRows(ByteSpan bytes, const Limits& limits);

// Compresses width x height rows (blue, green, red) with the library's
// defaults; rows(client, y, scratch) gives row y and may fill scratch
// (width * 3 bytes) and return it. EJPEG on a library error.
struct JpegEncodeRequest {
    int width = 0;
    int height = 0;
    int quality = 90;
    bool gray = false;
    bool progressive = false;
    const unsigned char* (*rows)(void* client, int y, unsigned char* scratch) = nullptr;
    void* client = nullptr;
    std::function<void(std::uint8_t percent, bool redraw, const TRect& rect)> progress;
};
std::vector<std::uint8_t> EncodeJpeg(const JpegEncodeRequest& request);

// The millisecond clock behind the progress reports; tests replace it.
using TTickSource = std::uint64_t (*)();
TTickSource SetJPEGTickSource(TTickSource source);

}  // namespace duvo
