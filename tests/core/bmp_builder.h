// Builds BMP bytes from a small description, so that every test fixture says
// how it was made; colors are given as 0x00BBGGRR like pixel reads. Also the
// few helpers the bitmap and picture tests share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/bitmap.h"
#include "rtl/streams.h"

namespace bmptest {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& out, std::uint32_t v) { out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
inline void Put32(Bytes& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void PutBGR(Bytes& out, std::uint32_t c) {
    out.insert(out.end(), {std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)});
}

struct BmpRecipe {
    std::uint32_t headerSize = 40;  // 12 writes a core header; 40, 108, 124 or any other size an info header
    std::int32_t width = 1;
    std::int32_t height = 1;  // negative: rows stored top-down
    std::uint16_t planes = 1;
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t sizeImage = 0;
    std::uint32_t clrUsed = 0;
    std::vector<std::uint32_t> masks{};   // red, green, blue; after a 40-byte header, inside larger ones
    std::vector<std::uint32_t> colors{};  // the color table, 0x00BBGGRR
    Bytes pixels{};                       // pixel data exactly as stored
    std::uint32_t dataOffset = 0;         // 0: where the pixels really start
    Bytes gap{};                          // bytes between the color table and the pixels
    std::string signature = "BM";
};

inline Bytes BuildBmp(const BmpRecipe& s) {
    Bytes info;
    Put32(info, s.headerSize);
    if (s.headerSize == 12) {
        for (std::int32_t v : {s.width, s.height, std::int32_t{s.planes}, std::int32_t{s.bitCount}})
            Put16(info, static_cast<std::uint32_t>(v));
    } else {
        Put32(info, static_cast<std::uint32_t>(s.width));
        Put32(info, static_cast<std::uint32_t>(s.height));
        Put16(info, s.planes);
        Put16(info, s.bitCount);
        for (std::uint32_t v : {s.compression, s.sizeImage, 2835u, 2835u, s.clrUsed, 0u}) Put32(info, v);
        if (s.headerSize > 40)
            for (std::uint32_t m : s.masks) Put32(info, m);
        // A size below 40 still writes the 40 bytes, with the odd size field.
        if (s.headerSize > info.size()) info.resize(s.headerSize, 0);
        if (s.headerSize == 40)
            for (std::uint32_t m : s.masks) Put32(info, m);
    }
    for (std::uint32_t c : s.colors) {
        PutBGR(info, c);
        if (s.headerSize != 12) info.push_back(0);
    }
    info.insert(info.end(), s.gap.begin(), s.gap.end());

    Bytes out(s.signature.begin(), s.signature.begin() + 2);
    const auto offset = static_cast<std::uint32_t>(14 + info.size());
    Put32(out, offset + static_cast<std::uint32_t>(s.pixels.size()));
    Put32(out, 0);
    Put32(out, s.dataOffset ? s.dataOffset : offset);
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

// Packs rows of pixel values into 4-byte aligned BMP rows, in the order given.
// Values are color-table indices for 1, 4 and 8 bits, raw 16- or 32-bit
// words, and 0x00BBGGRR colors for 24 bits.
inline Bytes PackRows(int bitCount, const std::vector<std::vector<std::uint32_t>>& rows) {
    Bytes out;
    for (const auto& row : rows) {
        Bytes line;
        for (std::size_t x = 0; x < row.size(); ++x) {
            if (bitCount < 8) {
                const std::size_t perByte = 8 / bitCount;
                if (x % perByte == 0) line.push_back(0);
                line.back() = static_cast<std::uint8_t>(line.back() | (row[x] << (8 - bitCount * (x % perByte + 1))));
            }
            if (bitCount == 8) line.push_back(static_cast<std::uint8_t>(row[x]));
            if (bitCount == 16) Put16(line, row[x]);
            if (bitCount == 24) PutBGR(line, row[x]);
            if (bitCount == 32) Put32(line, row[x]);
        }
        line.resize((line.size() + 3) / 4 * 4, 0);
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

using Grid = std::vector<std::vector<duvo::TColor>>;  // top row first

inline Grid ReadAll(duvo::TBitmap& b) {
    Grid g(static_cast<std::size_t>(b.Height()), std::vector<duvo::TColor>(static_cast<std::size_t>(b.Width())));
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) g[y][x] = b.Canvas().ReadPixel(x, y);
    return g;
}

inline void Load(duvo::TBitmap& b, const Bytes& bytes) {
    duvo::TBytesStream s(bytes.data(), bytes.size());
    b.ReadFromStream(s);
}

template <class T>
T& Sized(T& t, int width, int height) {
    t.SetWidth(width);
    t.SetHeight(height);
    return t;
}

// Counts the change notifications of a graphic or picture into `count`.
template <class T>
void CountChanges(T& t, int& count) {
    count = 0;
    t.SetOnChange([&count](duvo::TPersistent*) { ++count; });
}

// The message of the E that f raises, or "no exception". Any other exception
// leaves the test as a failure.
template <class E, class F>
std::string Raised(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace bmptest
