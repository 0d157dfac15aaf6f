// PNG writing through zlib, for difference pictures: 8-bit RGB rows handed
// over in blocks on any thread, deflated where they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rtl/exceptions.h"

namespace duvo {

namespace msg {
inline constexpr const char* PNGError = "PNG error: %s";
}  // namespace msg

// Makes an 8-bit RGB PNG file from blocks of 24-bit rows (B, G, R bytes)
// handed over on any threads in any order; each block is deflated on the
// thread that hands it over and goes to the file as soon as the blocks above
// it have, so only blocks that arrive early wait in memory. Settings for
// pictures that are mostly one color (the difference picture): no row
// filters, fast run-length deflate.
class PngBlockWriter {
public:
    // Makes the file (EFCreateError "Cannot create file %s" when it cannot).
    // With alpha the rows hold blue, green, red and alpha, and the file is RGBA.
    PngBlockWriter(int width, int height, const std::string& fileName, bool alpha = false);
    ~PngBlockWriter();
    PngBlockWriter(const PngBlockWriter&) = delete;
    PngBlockWriter& operator=(const PngBlockWriter&) = delete;

    // Rows y0 .. y1 - 1; row y lies at rows + (y - y0) * stride. Blocks must
    // not overlap. EWriteError when the file cannot be written.
    void Block(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride);
    // Once every row has arrived exactly once (else EInvalidGraphic): the end
    // of the file, and the file closed; EWriteError when that fails.
    void Finish();

private:
    struct Strip {
        int y0 = 0, y1 = 0;
        std::vector<std::uint8_t> out;
        std::size_t used = 0;
        unsigned long adler = 0;
        unsigned long rawBytes = 0;
    };
    void WriteReady();  // under the lock
    void Chunk(const char* type, std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> pieces);

    int width_, height_;
    int channels_;
    std::mutex lock_;
    std::vector<Strip> waiting_;  // blocks whose predecessors have not arrived
    int next_ = 0;                // the first row not yet written
    unsigned long adler_ = 1;
    bool ok_ = true;
    int error_ = 0;  // errno of the first failed write
    std::FILE* file_ = nullptr;
};

}  // namespace duvo
