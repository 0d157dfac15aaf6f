// Builds GIF bytes from small recipes, so every GIF fixture says how it was
// made: a plain LZW encoder, a writer for hand-picked codes (for damaged
// data), sub-block framing and the block writer. Test code only.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

using Bytes = std::vector<std::uint8_t>;

// Codes packed least significant bit first, each with its own width.
class CodeWriter {
public:
    void Put(int code, int width) {
        acc_ |= static_cast<std::uint64_t>(code & ((1 << width) - 1)) << bits_;
        bits_ += width;
        while (bits_ >= 8) {
            out_.push_back(static_cast<std::uint8_t>(acc_));
            acc_ >>= 8;
            bits_ -= 8;
        }
    }
    Bytes Finish() {
        if (bits_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_));
        acc_ = 0;
        bits_ = 0;
        return std::move(out_);
    }

private:
    Bytes out_;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

// Hand-picked codes; the widths follow the decoder's own growth rule
// (one entry per code after the first one after a clear), so the codes may
// name any entry, including ones the table does not hold yet.
inline Bytes Codes(int minCodeSize, const std::vector<int>& codes) {
    const int clear = 1 << minCodeSize;
    int size = minCodeSize + 1, next = clear + 2, limit = 2 * clear;
    bool first = true;
    CodeWriter w;
    for (int code : codes) {
        w.Put(code, size);
        if (code == clear) {
            size = minCodeSize + 1, next = clear + 2, limit = 2 * clear, first = true;
        } else if (first) {
            first = false;
        } else if (next <= 4095) {
            ++next;
            if (next >= limit && limit <= 4095) limit *= 2, ++size;
        }
    }
    return w.Finish();
}

struct EncodeOptions {
    bool leadingClear = true;
    bool endCode = true;
    bool clearWhenFull = true;  // false: keep a full table until the data ends
};

// A plain GIF LZW encoder.
inline Bytes LzwEncode(const std::uint8_t* px, std::size_t n, int minCodeSize, EncodeOptions o = {}) {
    const int clear = 1 << minCodeSize;
    // The decoder's code width and its table, which lags the encoder's by one.
    int size = minCodeSize + 1, decNext = clear + 2, limit = 2 * clear;
    bool firstAfterClear = true;
    CodeWriter w;
    auto putCode = [&](int code) {
        w.Put(code, size);
        if (code == clear) {
            size = minCodeSize + 1, decNext = clear + 2, limit = 2 * clear, firstAfterClear = true;
        } else if (firstAfterClear) {
            firstAfterClear = false;
        } else if (decNext <= 4095) {
            ++decNext;
            if (decNext >= limit && limit <= 4095) limit *= 2, ++size;
        }
    };
    // Open addressing over (prefix, byte) -> code.
    constexpr int kSlots = 1 << 14;
    std::vector<std::int32_t> keys(kSlots), values(kSlots);
    int next = clear + 2;
    auto reset = [&] {
        std::fill(keys.begin(), keys.end(), -1);
        next = clear + 2;
    };
    auto slot = [&](std::int32_t key) {
        std::uint32_t h = static_cast<std::uint32_t>(key) * 2654435761u >> 18;
        while (keys[h] != -1 && keys[h] != key) h = (h + 1) & (kSlots - 1);
        return h;
    };
    reset();
    if (o.leadingClear) putCode(clear);
    if (n > 0) {
        int cur = px[0];
        for (std::size_t i = 1; i < n; ++i) {
            const std::int32_t key = cur << 8 | px[i];
            const std::uint32_t h = slot(key);
            if (keys[h] == key) {
                cur = values[h];
                continue;
            }
            putCode(cur);
            if (next <= 4095) {
                keys[h] = key;
                values[h] = next++;
            } else if (o.clearWhenFull) {
                putCode(clear);
                reset();
            }
            cur = px[i];
        }
        putCode(cur);
    }
    if (o.endCode) putCode(clear + 1);
    return w.Finish();
}

inline Bytes LzwEncode(const Bytes& px, int minCodeSize, EncodeOptions o = {}) {
    return LzwEncode(px.data(), px.size(), minCodeSize, o);
}

// Data sub-blocks of at most blockSize bytes, then the terminator.
inline Bytes SubBlocks(const Bytes& data, int blockSize = 255, bool terminator = true) {
    Bytes out;
    for (std::size_t i = 0; i < data.size(); i += static_cast<std::size_t>(blockSize)) {
        const std::size_t n = std::min(data.size() - i, static_cast<std::size_t>(blockSize));
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                   data.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    if (terminator) out.push_back(0);
    return out;
}

// Rows of an interlaced frame in the order they are stored.
inline Bytes InterlaceRows(const Bytes& px, int width, int height) {
    Bytes out;
    for (int pass = 0; pass < 4; ++pass) {
        static const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
        for (int y = start[pass]; y < height; y += step[pass])
            out.insert(out.end(), px.begin() + y * width, px.begin() + (y + 1) * width);
    }
    return out;
}

// The block writer: each call appends one block.
class GifWriter {
public:
    GifWriter& Header(const std::string& signature = "GIF89a") {
        out.insert(out.end(), signature.begin(), signature.end());
        return *this;
    }
    // A logical screen; colors > 0 adds a global table of that many entries (2..256, a power of 2).
    GifWriter& Screen(int width, int height, int colors = 0, std::uint8_t background = 0, std::uint8_t aspect = 0) {
        U16(width), U16(height);
        out.push_back(colors > 0 ? static_cast<std::uint8_t>(0x80 | TableBits(colors)) : 0);
        out.push_back(background), out.push_back(aspect);
        if (colors > 0) Table(colors, 0);
        return *this;
    }
    GifWriter& Gce(std::uint8_t packed = 0, std::uint8_t transparentIndex = 0, int delay = 0) {
        out.insert(out.end(), {0x21, 0xF9, 4, packed});
        U16(delay);
        out.insert(out.end(), {transparentIndex, 0});
        return *this;
    }
    GifWriter& Comment(const std::vector<std::string>& lines) {
        out.insert(out.end(), {0x21, 0xFE});
        for (const auto& l : lines) {
            out.push_back(static_cast<std::uint8_t>(l.size()));
            out.insert(out.end(), l.begin(), l.end());
        }
        out.push_back(0);
        return *this;
    }
    GifWriter& App(const std::string& ident, const std::vector<Bytes>& blocks, int blockSize = 11) {
        out.insert(out.end(), {0x21, 0xFF, static_cast<std::uint8_t>(blockSize)});
        out.insert(out.end(), ident.begin(), ident.end());
        for (const auto& b : blocks) {
            out.push_back(static_cast<std::uint8_t>(b.size()));
            out.insert(out.end(), b.begin(), b.end());
        }
        out.push_back(0);
        return *this;
    }
    GifWriter& Loop(int count) { return App("NETSCAPE2.0", {{1, std::uint8_t(count), std::uint8_t(count >> 8)}}); }
    // An image descriptor; localColors > 0 adds a local table.
    GifWriter& Image(int width, int height, bool interlaced = false, int localColors = 0, int left = 0, int top = 0) {
        out.push_back(0x2C);
        U16(left), U16(top), U16(width), U16(height);
        std::uint8_t packed = interlaced ? 0x40 : 0;
        if (localColors > 0) packed |= static_cast<std::uint8_t>(0x80 | TableBits(localColors));
        out.push_back(packed);
        if (localColors > 0) Table(localColors, 7);
        return *this;
    }
    // The minimum code size and the code bytes in sub-blocks.
    GifWriter& Data(int minCodeSize, const Bytes& codes, int blockSize = 255, bool terminator = true) {
        out.push_back(static_cast<std::uint8_t>(minCodeSize));
        Raw(SubBlocks(codes, blockSize, terminator));
        return *this;
    }
    // A whole frame: descriptor and encoded pixels (given in display order).
    GifWriter& Frame(int width, int height, const Bytes& px, int minCodeSize = 8, bool interlaced = false,
                     int blockSize = 255) {
        Image(width, height, interlaced);
        return Data(minCodeSize, LzwEncode(interlaced ? InterlaceRows(px, width, height) : px, minCodeSize), blockSize);
    }
    // A logical screen with the given global colors (0x00BBGGRR), the table
    // filled up with black to a power of 2; none when colors is empty.
    GifWriter& ScreenColors(int width, int height, const std::vector<std::uint32_t>& colors) {
        U16(width), U16(height);
        const int size = colors.empty() ? 0 : PowerOf2(static_cast<int>(colors.size()));
        out.push_back(size > 0 ? static_cast<std::uint8_t>(0x80 | TableBits(size)) : 0);
        out.push_back(0), out.push_back(0);
        if (size > 0) Colors(colors, size);
        return *this;
    }
    // An image descriptor with the given local colors (none when empty).
    GifWriter& ImageColors(int width, int height, const std::vector<std::uint32_t>& colors, int left = 0, int top = 0,
                           bool interlaced = false) {
        out.push_back(0x2C);
        U16(left), U16(top), U16(width), U16(height);
        const int size = colors.empty() ? 0 : PowerOf2(static_cast<int>(colors.size()));
        std::uint8_t packed = interlaced ? 0x40 : 0;
        if (size > 0) packed |= static_cast<std::uint8_t>(0x80 | TableBits(size));
        out.push_back(packed);
        if (size > 0) Colors(colors, size);
        return *this;
    }
    // The pixels of a frame whose descriptor was just written.
    GifWriter& Pixels(int width, int height, const Bytes& px, bool interlaced = false, int minCodeSize = 8) {
        return Data(minCodeSize, LzwEncode(interlaced ? InterlaceRows(px, width, height) : px, minCodeSize));
    }
    GifWriter& Raw(const Bytes& bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return *this;
    }
    GifWriter& Trailer() {
        out.push_back(0x3B);
        return *this;
    }

    Bytes out;

private:
    void U16(int v) { out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
    static int PowerOf2(int n) {
        int size = 2;
        while (size < n) size *= 2;
        return size;
    }
    void Colors(const std::vector<std::uint32_t>& colors, int size) {
        for (int i = 0; i < size; ++i) {
            const std::uint32_t c = i < static_cast<int>(colors.size()) ? colors[static_cast<std::size_t>(i)] : 0;
            out.insert(out.end(), {std::uint8_t(c), std::uint8_t(c >> 8), std::uint8_t(c >> 16)});
        }
    }
    static int TableBits(int colors) {
        int n = 0;
        while ((2 << n) < colors) ++n;
        return n;
    }
    // Entry i: red i, green 255 - i, blue i * seed.
    void Table(int colors, int seed) {
        for (int i = 0; i < colors; ++i)
            out.insert(out.end(), {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * seed)});
    }
};

// Indices below `colors`, deterministic from seed: smooth bands with noise,
// like a dithered photo.
inline Bytes PhotoPixels(int width, int height, int colors, std::uint32_t seed) {
    Bytes px(static_cast<std::size_t>(width) * height);
    std::uint32_t s = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s ^= s << 13, s ^= s >> 17, s ^= s << 5;
            const int base = (x * 3 + y * 2) / 7 + static_cast<int>(s % 5);
            px[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(base % colors);
        }
    return px;
}

}  // namespace giftest
