// PNG reading through libspng and writing through zlib, for duvo-compare
// only: the desktop program's open command takes no ".png".
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
#include <mutex>
#include <string>
#include <vector>

#include "graphics/bitmap.h"
#include "graphics/decoded.h"
#include "rtl/byte_reader.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo {

namespace msg {
inline constexpr const char* PNGError = "PNG error: %s";
}  // namespace msg

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

// 8-bit reductions used by the decoder, exposed for the tests' reference.
constexpr std::uint8_t Round16To8(std::uint32_t v) { return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u); }
constexpr std::uint8_t OverWhite8(std::uint32_t c, std::uint32_t a) {
    return static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
}
constexpr std::uint16_t OverWhite16(std::uint64_t c, std::uint64_t a) {
    return static_cast<std::uint16_t>((c * a + 65535u * (65535u - a) + 32767u) / 65535u);
}

// Makes an 8-bit RGB PNG file from blocks of 24-bit rows (B, G, R bytes)
// handed over on any threads in any order; each block is deflated on the
// thread that hands it over. Settings for pictures that are mostly one color
// (the difference picture): no row filters, fast run-length deflate.
class PngBlockWriter {
public:
    PngBlockWriter(int width, int height);
    ~PngBlockWriter();
    PngBlockWriter(const PngBlockWriter&) = delete;
    PngBlockWriter& operator=(const PngBlockWriter&) = delete;

    // Rows y0 .. y1 - 1; row y lies at rows + (y - y0) * stride.
    void Block(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride);
    // Once every row has arrived exactly once (else EInvalidGraphic):
    // EFCreateError when the file cannot be made, EWriteError when it cannot
    // be written.
    void Save(const std::string& fileName);

private:
    struct Strip {
        int y0 = 0, y1 = 0;
        std::vector<std::uint8_t> out;
        std::size_t used = 0;
        unsigned long adler = 0;
        unsigned long rawBytes = 0;
    };
    int width_, height_;
    std::mutex lock_;
    std::vector<Strip> strips_;
};

// Writes a non-empty bitmap through a PngBlockWriter, in horizontal strips
// on up to threads threads (0: all cores).
void WritePngFile(const TBitmap& bitmap, const std::string& fileName, unsigned threads = 0);

}  // namespace duvo
