// The LZW decoder of GIF image data: the minimum code size byte and the data
// sub-blocks after an image descriptor become one index byte per pixel.
//
// Two decoders with one behaviour. The reference is a plain transcription of
// the classic decoder that hands out one value per request through a stack;
// it is kept as the oracle for tests, fuzzing and benchmarks. The fast one
// writes whole strings straight into the pixels and must give the same
// pixels, warnings, errors and final reader position on every input.
//
// Shared decisions, in both:
// - A minimum code size above 11 is refused ("Invalid GIF data") before any
//   table is touched: its clear code would not fit the 4096-entry table.
// - A chain that would overflow the 8192-entry output stack ends the frame
//   with "Circular decoder table entry", like an entry that is its own prefix.
// - The bit buffer starts zeroed.
// - A sub-block too short to complete the next code (a 1-byte sub-block while
//   codes are wider than 8 bits) does not leave the code to stale buffer
//   bytes: further sub-blocks are read until the code is complete. Valid
//   files with tiny sub-blocks decode correctly, and the bit position can
//   never run past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "rtl/byte_reader.h"

namespace duvo {

struct LzwFrame {
    // width * height bytes; need not be initialised.
    std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool interlaced = false;
    // Value of every pixel the data does not reach.
    std::uint8_t fill = 0;
};

// Receives the decoder's warnings (all of severity 1).
using LzwWarn = std::function<void(const char* message)>;

// Both read from the reader's position (the minimum code size byte) and leave
// it after the data they consumed. Errors raise GIFException. They return how
// many pixels, in the order they are stored, the data gave before it ended;
// the rest have the fill value.
std::size_t DecodeLzwFast(ByteReader& reader, const LzwFrame& frame, const LzwWarn& warn);
std::size_t DecodeLzwReference(ByteReader& reader, const LzwFrame& frame, const LzwWarn& warn);

class LzwFastDecoder;

// The fast decoder over a frame that is not interlaced, a piece at a time:
// its pixels, in order, go where the caller asks, and the decoder holds
// about 300 KB with its tables (more only while the strings the table names
// are longer, up to a few megabytes), never the frame. Pixels, warnings,
// errors and the reader's final position are those of DecodeLzwFast over
// the whole frame; errors come as the data that causes them is reached.
class LzwStream {
public:
    // Reads the minimum code size byte: GIFException for one above 11.
    LzwStream(ByteReader& reader, std::uint64_t pixels, std::uint8_t fill, LzwWarn warn);
    ~LzwStream();
    LzwStream(const LzwStream&) = delete;
    LzwStream& operator=(const LzwStream&) = delete;

    // The next n pixels into dst; at most what is left of the frame.
    void Read(std::uint8_t* dst, std::size_t n);
    // Decodes what was not read and asks for the one value more that the
    // whole-frame decode asks for. Returns how many pixels the data gave
    // before it ended.
    std::uint64_t Finish();

private:
    LzwWarn warn_;
    std::unique_ptr<LzwFastDecoder> decoder_;
};

// Display row of the s-th row stored in an interlaced frame of the given
// height, for every s below height.
void InterlacedRowOrder(std::uint32_t height, std::uint32_t* rows);

}  // namespace duvo
