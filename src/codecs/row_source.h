// A decoder seen from its caller: once the header is read, the picture's
// size, its row layout and its colors are known, and the rows follow one
// band at a time, top row first, into memory the caller owns. The rows keep
// the format's own layout (indices with a palette, gray, RGB, RGBA, 16-bit
// samples); whoever reads them converts a band once, while it is in cache.
// A whole picture is these rows collected.
//
// Damage that a decoder can decode around (rows missing at the end, image
// data that stops early) is not an error: the decoder fills in what the
// file does not hold, as the desktop program's decode does, and says so in
// a warning. Damage that leaves nothing trustworthy raises the format's
// exception.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace duvo {

// How the pixels of one row lie in memory.
enum class RowLayout : std::uint8_t {
    // Palette indices of depth 1, 2, 4 or 8 bits, the first pixel in the
    // highest bits of its byte. Indices past the palette read opaque black.
    Index,
    // Gray samples of depth 1, 2, 4, 8 or 16 bits (16: big-endian, as PNG
    // stores them). Depths below 8 are scaled to 8 bits by bit replication.
    Gray,
    // Gray and alpha, 8 or 16 bits per sample (16: big-endian).
    GrayAlpha,
    // Red, green, blue; 8 or 16 bits per sample (16: big-endian).
    Rgb,
    // Red, green, blue, alpha; 8 or 16 bits per sample (16: big-endian).
    Rgba,
    // Blue, green, red bytes (a 24-bit bitmap's rows).
    Bgr,
    // Blue, green, red and an unused byte (a 32-bit bitmap without masks).
    Bgrx,
    // Little-endian 16- or 32-bit words whose red, green and blue lie
    // under masks[0..2]; a channel is widened to 8 bits by bit replication
    // and one wider than 8 bits keeps its top 8 bits.
    Masked,
};

struct Rgba8 {
    std::uint8_t red = 0, green = 0, blue = 0, alpha = 255;
    bool operator==(const Rgba8&) const = default;
};

struct RowFormat {
    int width = 0;
    int height = 0;
    RowLayout layout = RowLayout::Bgr;
    // Bits per sample (Index: per index; Masked: per word).
    int bitDepth = 8;
    // Index: the colors; entries past paletteSize are opaque black.
    std::array<Rgba8, 256> palette{};
    int paletteSize = 0;
    // Gray and Rgb: the one color (samples at bitDepth, gray in [0]) that is
    // fully transparent, as a PNG tRNS chunk gives it.
    bool hasColorKey = false;
    std::array<std::uint16_t, 3> colorKey{};
    // Masked: red, green and blue masks.
    std::array<std::uint32_t, 3> masks{};

    // Some pixel may be less than opaque (an alpha channel, a color key, or
    // a palette entry below 255).
    bool MayHaveAlpha() const;
    // Samples deeper than 8 bits, whose low bits a comparison counts apart.
    bool Deep() const { return bitDepth == 16 && layout != RowLayout::Index && layout != RowLayout::Masked; }
    int BitsPerPixel() const;
    // Bytes of one row, without padding; 0 when width is 0.
    std::size_t RowBytes() const;
};

// Something the decoder filled in or let pass. Kinds are short words for
// scripts ("truncated", "corrupt"); the message says what, for people.
struct DecodeWarning {
    std::string kind;
    std::string message;
    bool operator==(const DecodeWarning&) const = default;
};

namespace warning_kind {
// The file ends before the picture does; the rest is filled in.
inline constexpr const char* Truncated = "truncated";
// Data inside the file is broken in a way the decoder went around.
inline constexpr const char* Corrupt = "corrupt";
}  // namespace warning_kind

class RowSource {
public:
    virtual ~RowSource() = default;
    RowSource() = default;
    RowSource(const RowSource&) = delete;
    RowSource& operator=(const RowSource&) = delete;

    const RowFormat& Format() const { return format_; }
    int Width() const { return format_.width; }
    int Height() const { return format_.height; }

    // False when the source holds a whole frame before it gives its rows
    // (an interlaced frame, run-length data, a progressive JPEG's
    // coefficients), decoded at open or on the first read: only such a
    // source holds a full-size buffer, and only it counts that buffer
    // against Limits::decodedBytes. Its rows still come in order through
    // ReadRows; a reader need not treat it apart.
    virtual bool Sequential() const { return true; }

    // The next count rows, top first: row i goes to dst + i * stride and
    // takes Format().RowBytes() bytes. Rows are read once each, in order, and
    // never past the last. A stride of 0 (every row into one buffer) is for
    // count 1 only: a source may read the row above from dst (PNG's filters
    // do). Throws the format's exception for damage that leaves no picture.
    virtual void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) = 0;

    // Row y where it already lies in memory (an uncompressed bitmap in a
    // mapped file), valid while the source lives; nullptr for a source that
    // must decode. A source that gives one row in place gives all of them,
    // in any order and from any thread, and needs no ReadRows.
    virtual const std::uint8_t* RowInPlace(int /*y*/) const { return nullptr; }

    // The reader is done with rows y0 .. y1 - 1: a source may let go of the
    // input they came from (a mapped file's pages). Called from any thread.
    virtual void Release(int /*y0*/, int /*y1*/) {}

    // After the last row: looks at what lies behind the pixels (checksums,
    // trailers), which may add warnings or raise the format's exception.
    virtual void Finish() {}

    // What was filled in or let pass so far; complete after Finish.
    const std::vector<DecodeWarning>& Warnings() const { return warnings_; }

protected:
    void Warn(const char* kind, std::string message) { warnings_.push_back({kind, std::move(message)}); }

    RowFormat format_;
    std::vector<DecodeWarning> warnings_;
};

}  // namespace duvo
