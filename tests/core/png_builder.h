// A tiny PNG writer for tests: any color type, bit depth and interlacing
// from plain sample values, with the image data in stored (uncompressed)
// deflate blocks or deflated by zlib, any row filter, the image data split
// into IDAT chunks of any size, and extra chunks, so that every fixture is
// made from its recipe.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace duvo::test {

struct PngRecipe {
    int width = 1;
    int height = 1;
    int bitDepth = 8;
    int colorType = 2;  // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGBA
    bool interlaced = false;
    // Channels per pixel by color type (1, 3, 1, 2, 4), rows top first;
    // palette pictures hold indices.
    std::vector<std::uint16_t> samples;
    std::vector<std::array<std::uint8_t, 3>> palette;
    std::vector<std::uint8_t> paletteAlpha;                   // tRNS of a palette picture
    std::optional<std::array<std::uint16_t, 3>> transparent;  // tRNS of gray ([0]) or RGB
    // The filter type of every row (0 to 4), or -1: row y gets y % 5.
    int filter = 0;
    // zlib's deflate at its default level instead of stored blocks.
    bool deflate = false;
    // The image data in IDAT chunks of this many bytes (0: one chunk).
    std::size_t idatSize = 0;
    // Zero-length IDAT chunks before, between and after the others.
    bool emptyIdats = false;
    // Chunks written before the image data (after PLTE and tRNS) and after it.
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> before, after;
};

inline int PngChannels(int colorType) {
    switch (colorType) {
        case 0:
        case 3:
            return 1;
        case 2:
            return 3;
        case 4:
            return 2;
        default:
            return 4;
    }
}

inline std::uint32_t PngCrc(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0xFFFFFFFFu) {
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

class PngBuilder {
public:
    static std::vector<std::uint8_t> Build(const PngRecipe& r) {
        PngBuilder b;
        const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        b.out_.assign(signature, signature + 8);
        std::vector<std::uint8_t> ihdr;
        Put32(ihdr, static_cast<std::uint32_t>(r.width));
        Put32(ihdr, static_cast<std::uint32_t>(r.height));
        ihdr.push_back(static_cast<std::uint8_t>(r.bitDepth));
        ihdr.push_back(static_cast<std::uint8_t>(r.colorType));
        ihdr.push_back(0);
        ihdr.push_back(0);
        ihdr.push_back(r.interlaced ? 1 : 0);
        b.Chunk("IHDR", ihdr);
        if (!r.palette.empty()) {
            std::vector<std::uint8_t> plte;
            for (const auto& c : r.palette) plte.insert(plte.end(), c.begin(), c.end());
            b.Chunk("PLTE", plte);
        }
        if (!r.paletteAlpha.empty()) b.Chunk("tRNS", r.paletteAlpha);
        if (r.transparent) {
            std::vector<std::uint8_t> trns;
            for (int c = 0; c < (r.colorType == 0 ? 1 : 3); ++c) Put16(trns, (*r.transparent)[c]);
            b.Chunk("tRNS", trns);
        }
        for (const auto& c : r.before) b.Chunk(c.first.c_str(), c.second);
        const std::vector<std::uint8_t> z = r.deflate ? Deflated(Scanlines(r)) : Stored(Scanlines(r));
        const std::size_t piece = r.idatSize ? r.idatSize : z.size();
        for (std::size_t at = 0; at < z.size(); at += piece) {
            if (r.emptyIdats) b.Chunk("IDAT", {});
            const std::size_t n = std::min(piece, z.size() - at);
            b.Chunk("IDAT", std::vector<std::uint8_t>(z.begin() + static_cast<std::ptrdiff_t>(at),
                                                      z.begin() + static_cast<std::ptrdiff_t>(at + n)));
        }
        if (r.emptyIdats) b.Chunk("IDAT", {});
        for (const auto& c : r.after) b.Chunk(c.first.c_str(), c.second);
        b.Chunk("IEND", {});
        return b.out_;
    }

    // A picture of the recipe's size and kind whose every sample is zero,
    // deflated as hard as zlib goes: the smallest file of its size, as a
    // hostile one would be (20000 x 20000 RGB in about a megabyte).
    static std::vector<std::uint8_t> BuildZeroRows(const PngRecipe& r) {
        PngBuilder b;
        const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        b.out_.assign(signature, signature + 8);
        std::vector<std::uint8_t> ihdr;
        Put32(ihdr, static_cast<std::uint32_t>(r.width));
        Put32(ihdr, static_cast<std::uint32_t>(r.height));
        ihdr.insert(ihdr.end(),
                    {static_cast<std::uint8_t>(r.bitDepth), static_cast<std::uint8_t>(r.colorType), 0, 0, 0});
        b.Chunk("IHDR", ihdr);
        const std::size_t rowBytes =
            1 + (static_cast<std::size_t>(r.width) * PngChannels(r.colorType) * r.bitDepth + 7) / 8;
        const std::vector<std::uint8_t> row(rowBytes, 0);
        std::vector<std::uint8_t> z(1 << 16);
        std::vector<std::uint8_t> idat;
        z_stream s{};
        deflateInit(&s, 9);
        for (int y = 0; y <= r.height; ++y) {
            const bool last = y == r.height;
            s.next_in = const_cast<std::uint8_t*>(row.data());
            s.avail_in = last ? 0 : static_cast<uInt>(row.size());
            do {
                s.next_out = z.data();
                s.avail_out = static_cast<uInt>(z.size());
                deflate(&s, last ? Z_FINISH : Z_NO_FLUSH);
                idat.insert(idat.end(), z.data(), z.data() + (z.size() - s.avail_out));
            } while (s.avail_out == 0);
        }
        deflateEnd(&s);
        b.Chunk("IDAT", idat);
        b.Chunk("IEND", {});
        return b.out_;
    }

    // One chunk with its length and CRC.
    static std::vector<std::uint8_t> ChunkBytes(const char* type, const std::vector<std::uint8_t>& data) {
        PngBuilder b;
        b.Chunk(type, data);
        return b.out_;
    }

    // A zlib stream made by zlib itself.
    static std::vector<std::uint8_t> Deflated(const std::vector<std::uint8_t>& raw) {
        uLongf n = compressBound(static_cast<uLong>(raw.size()));
        std::vector<std::uint8_t> z(n);
        if (compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
            z.clear();
        z.resize(n);
        return z;
    }

    // The filtered scanlines of the picture or of its seven interlace passes.
    static std::vector<std::uint8_t> Scanlines(const PngRecipe& r) {
        std::vector<std::uint8_t> data;
        const int bits = PngChannels(r.colorType) * r.bitDepth;
        const std::size_t bpp = static_cast<std::size_t>(bits < 8 ? 1 : bits / 8);
        std::vector<std::uint8_t> line, above;
        int row = 0;
        static const int kPass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        const int passes = r.interlaced ? 7 : 1;
        for (int p = 0; p < passes; ++p) {
            const int x0 = r.interlaced ? kPass[p][0] : 0, y0 = r.interlaced ? kPass[p][1] : 0;
            const int dx = r.interlaced ? kPass[p][2] : 1, dy = r.interlaced ? kPass[p][3] : 1;
            if (x0 >= r.width || y0 >= r.height) continue;
            above.clear();
            for (int y = y0; y < r.height; y += dy, ++row) {
                line.clear();
                Bits packer{line};
                for (int x = x0; x < r.width; x += dx) {
                    const int ch = PngChannels(r.colorType);
                    for (int c = 0; c < ch; ++c)
                        packer.Put(r.samples[(static_cast<std::size_t>(y) * r.width + x) * ch + c], r.bitDepth);
                }
                packer.Flush();
                if (above.empty()) above.assign(line.size(), 0);
                const int type = r.filter < 0 ? row % 5 : r.filter;
                data.push_back(static_cast<std::uint8_t>(type));
                for (std::size_t i = 0; i < line.size(); ++i) {
                    const int a = i >= bpp ? line[i - bpp] : 0, b = above[i], c = i >= bpp ? above[i - bpp] : 0;
                    int predicted = 0;
                    if (type == 1) predicted = a;
                    if (type == 2) predicted = b;
                    if (type == 3) predicted = (a + b) / 2;
                    if (type == 4) {
                        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
                        predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                    }
                    data.push_back(static_cast<std::uint8_t>(line[i] - predicted));
                }
                above = line;
            }
        }
        return data;
    }

    // A zlib stream of stored blocks.
    static std::vector<std::uint8_t> Stored(const std::vector<std::uint8_t>& raw) {
        std::vector<std::uint8_t> z{0x78, 0x01};
        std::size_t at = 0;
        do {
            const std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
            z.push_back(at + n == raw.size() ? 1 : 0);
            z.push_back(static_cast<std::uint8_t>(n));
            z.push_back(static_cast<std::uint8_t>(n >> 8));
            z.push_back(static_cast<std::uint8_t>(~n));
            z.push_back(static_cast<std::uint8_t>(~n >> 8));
            z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                     raw.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
        } while (at < raw.size());
        std::uint32_t s1 = 1, s2 = 0;
        for (std::uint8_t c : raw) {
            s1 = (s1 + c) % 65521;
            s2 = (s2 + s1) % 65521;
        }
        Put32(z, (s2 << 16) | s1);
        return z;
    }

private:
    struct Bits {
        std::vector<std::uint8_t>& out;
        std::uint32_t acc = 0;
        int count = 0;
        void Put(std::uint32_t v, int depth) {
            if (depth == 16) {
                out.push_back(static_cast<std::uint8_t>(v >> 8));
                out.push_back(static_cast<std::uint8_t>(v));
                return;
            }
            acc = (acc << depth) | (v & ((1u << depth) - 1));
            count += depth;
            if (count == 8) {
                out.push_back(static_cast<std::uint8_t>(acc));
                acc = 0;
                count = 0;
            }
        }
        void Flush() {
            if (count) out.push_back(static_cast<std::uint8_t>(acc << (8 - count)));
            acc = 0;
            count = 0;
        }
    };

    static void Put16(std::vector<std::uint8_t>& v, std::uint32_t x) {
        v.push_back(static_cast<std::uint8_t>(x >> 8));
        v.push_back(static_cast<std::uint8_t>(x));
    }
    static void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
        Put16(v, x >> 16);
        Put16(v, x & 0xFFFF);
    }
    void Chunk(const char* type, const std::vector<std::uint8_t>& data) {
        Put32(out_, static_cast<std::uint32_t>(data.size()));
        const std::size_t start = out_.size();
        out_.insert(out_.end(), type, type + 4);
        out_.insert(out_.end(), data.begin(), data.end());
        Put32(out_, PngCrc(out_.data() + start, out_.size() - start) ^ 0xFFFFFFFFu);
    }

    std::vector<std::uint8_t> out_;
};

}  // namespace duvo::test
