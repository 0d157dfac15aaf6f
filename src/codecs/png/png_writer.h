// PNG writing through zlib, for difference pictures: 8-bit RGB rows handed
// over in blocks on any thread, deflated where they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rtl/exceptions.h"

namespace duvo {

namespace msg {
inline constexpr const char* PNGError = "PNG error: %s";
}  // namespace msg

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

}  // namespace duvo
