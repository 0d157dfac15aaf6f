// Builds BMP bytes from a small description, so that every test fixture says
// how it was made. Header-only; colors are given as 0x00BBGGRR like pixel reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmptest {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void Put32(Bytes& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
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
    std::uint32_t dataOffset = 0;       // 0: where the pixels really start
    Bytes gap{};                          // bytes between the color table and the pixels
    std::string signature = "BM";
};

inline Bytes BuildBmp(const BmpRecipe& s) {
    Bytes info;
    Put32(info, s.headerSize);
    if (s.headerSize == 12) {
        Put16(info, static_cast<std::uint32_t>(s.width));
        Put16(info, static_cast<std::uint32_t>(s.height));
        Put16(info, s.planes);
        Put16(info, s.bitCount);
    } else {
        Put32(info, static_cast<std::uint32_t>(s.width));
        Put32(info, static_cast<std::uint32_t>(s.height));
        Put16(info, s.planes);
        Put16(info, s.bitCount);
        Put32(info, s.compression);
        Put32(info, s.sizeImage);
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, s.clrUsed);
        Put32(info, 0);
        if (s.headerSize > 40)
            for (std::uint32_t m : s.masks) Put32(info, m);
        // A size below 40 still writes the 40 bytes, with the odd size field.
        if (s.headerSize > info.size()) info.resize(s.headerSize, 0);
        if (s.headerSize == 40)
            for (std::uint32_t m : s.masks) Put32(info, m);
    }
    for (std::uint32_t c : s.colors) {
        info.push_back(static_cast<std::uint8_t>(c >> 16));
        info.push_back(static_cast<std::uint8_t>(c >> 8));
        info.push_back(static_cast<std::uint8_t>(c));
        if (s.headerSize != 12) info.push_back(0);
    }
    info.insert(info.end(), s.gap.begin(), s.gap.end());

    Bytes out;
    out.push_back(static_cast<std::uint8_t>(s.signature[0]));
    out.push_back(static_cast<std::uint8_t>(s.signature[1]));
    const std::size_t offset = 14 + info.size();
    Put32(out, static_cast<std::uint32_t>(offset + s.pixels.size()));
    Put32(out, 0);
    Put32(out, s.dataOffset ? s.dataOffset : static_cast<std::uint32_t>(offset));
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

// Overwrites a 32-bit field, for values the builder cannot write honestly
// (a header size of 4 GB, say).
inline void Patch32(Bytes& bytes, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Packs rows of pixel values into 4-byte aligned BMP rows, in the order given.
// Values are color-table indices for 1, 4 and 8 bits, raw 16- or 32-bit
// words, and 0x00BBGGRR colors for 24 bits.
inline Bytes PackRows(int bitCount, const std::vector<std::vector<std::uint32_t>>& rows) {
    Bytes out;
    for (const auto& row : rows) {
        Bytes line;
        if (bitCount < 8) {
            const int perByte = 8 / bitCount;
            for (std::size_t x = 0; x < row.size(); ++x) {
                if (x % perByte == 0) line.push_back(0);
                const int shift = 8 - bitCount * static_cast<int>(x % perByte + 1);
                line.back() = static_cast<std::uint8_t>(line.back() | (row[x] << shift));
            }
        } else {
            for (std::uint32_t v : row) {
                if (bitCount == 8) line.push_back(static_cast<std::uint8_t>(v));
                if (bitCount == 16) Put16(line, v);
                if (bitCount == 24) {
                    line.push_back(static_cast<std::uint8_t>(v >> 16));
                    line.push_back(static_cast<std::uint8_t>(v >> 8));
                    line.push_back(static_cast<std::uint8_t>(v));
                }
                if (bitCount == 32) Put32(line, v);
            }
        }
        while (line.size() % 4) line.push_back(0);
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

}  // namespace bmptest
