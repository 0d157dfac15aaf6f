// TIFF files for the tests, written in memory by libtiff itself from a
// recipe (any layout, compression, strips or tiles, several pages), and a
// hand-made writer of bare directories for what libtiff will not write
// (private tags, tags out of order, headers that lie).
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tifftest {

using Bytes = std::vector<std::uint8_t>;

struct TiffPage {
    int width = 8;
    int height = 8;
    std::uint16_t bits = 8;
    std::uint16_t spp = 3;
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t predictor = 0;  // 0: none written
    std::uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    std::uint32_t rowsPerStrip = 0;  // 0: libtiff's default
    std::uint32_t tileWidth = 0;     // 0: strips
    std::uint32_t tileLength = 0;
    std::vector<std::uint16_t> extraSamples;  // EXTRASAMPLE_* of the samples past the colors
    // JPEG: quality, and YCbCr 2 x 2 subsampling made by libtiff from RGB samples.
    int jpegQuality = 90;
    bool ycbcr = false;
    // spp samples per pixel as stored, top row first (bits 32: the raw bits).
    std::vector<std::uint32_t> samples;
    std::vector<std::uint16_t> red, green, blue;  // the color map of a palette page
};

namespace detail {

struct MemoryFile {
    Bytes data;
    std::uint64_t pos = 0;

    static tmsize_t Read(thandle_t h, void* buffer, tmsize_t n) {
        auto& f = *static_cast<MemoryFile*>(h);
        if (n <= 0 || f.pos >= f.data.size()) return 0;
        const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, f.data.size() - f.pos));
        std::memcpy(buffer, f.data.data() + f.pos, k);
        f.pos += k;
        return static_cast<tmsize_t>(k);
    }
    static tmsize_t Write(thandle_t h, void* buffer, tmsize_t n) {
        auto& f = *static_cast<MemoryFile*>(h);
        if (f.pos + n > f.data.size()) f.data.resize(f.pos + n);
        std::memcpy(f.data.data() + f.pos, buffer, static_cast<std::size_t>(n));
        f.pos += n;
        return n;
    }
    static toff_t Seek(thandle_t h, toff_t offset, int whence) {
        auto& f = *static_cast<MemoryFile*>(h);
        const std::uint64_t base = whence == SEEK_CUR ? f.pos : whence == SEEK_END ? f.data.size() : 0;
        f.pos = base + offset;
        return f.pos;
    }
    static int Close(thandle_t) { return 0; }
    static toff_t Size(thandle_t h) { return static_cast<MemoryFile*>(h)->data.size(); }
    static int Map(thandle_t, void**, toff_t*) { return 0; }
    static void Unmap(thandle_t, void*, toff_t) {}
};

// Packs the samples of a run of pixels: sub-byte samples first pixel in the
// high bits, 16-bit ones in the machine's order (libtiff swaps them for a
// big-endian file), 32-bit ones as raw words.
inline void Pack(const TiffPage& p, int y, int x0, int count, int plane, std::uint8_t* out) {
    const int perPixel = p.planar == PLANARCONFIG_SEPARATE ? 1 : p.spp;
    int bit = 0;
    for (int x = x0; x < x0 + count; ++x)
        for (int s = 0; s < perPixel; ++s) {
            const int sample = p.planar == PLANARCONFIG_SEPARATE ? plane : s;
            const std::uint32_t v =
                x < p.width && y < p.height
                    ? p.samples[(static_cast<std::size_t>(y) * p.width + x) * p.spp + static_cast<std::size_t>(sample)]
                    : 0;
            if (p.bits == 16) {
                const auto w = static_cast<std::uint16_t>(v);
                std::memcpy(out + bit / 8, &w, 2);
            } else if (p.bits == 32) {
                std::memcpy(out + bit / 8, &v, 4);
            } else if (p.bits == 8) {
                out[bit / 8] = static_cast<std::uint8_t>(v);
            } else {
                out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] | (v << (8 - p.bits - bit % 8)));
            }
            bit += p.bits;
        }
}

inline void Check(int ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("libtiff refused ") + what);
}

inline void WritePage(TIFF* t, const TiffPage& p) {
    Check(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(p.width)), "the width");
    Check(TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(p.height)), "the height");
    Check(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits), "the bits");
    Check(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp), "the samples per pixel");
    Check(TIFFSetField(t, TIFFTAG_PLANARCONFIG, p.planar), "the planar configuration");
    Check(TIFFSetField(t, TIFFTAG_COMPRESSION, p.compression), "the compression");
    Check(TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, p.sampleFormat), "the sample format");
    Check(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.ycbcr ? PHOTOMETRIC_YCBCR : p.photometric), "the photometric");
    if (p.predictor) Check(TIFFSetField(t, TIFFTAG_PREDICTOR, p.predictor), "the predictor");
    if (!p.extraSamples.empty())
        Check(TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(p.extraSamples.size()),
                           p.extraSamples.data()),
              "the extra samples");
    if (!p.red.empty())
        Check(TIFFSetField(t, TIFFTAG_COLORMAP, p.red.data(), p.green.data(), p.blue.data()), "the color map");
    if (p.compression == COMPRESSION_JPEG) {
        Check(TIFFSetField(t, TIFFTAG_JPEGQUALITY, p.jpegQuality), "the JPEG quality");
        if (p.ycbcr) {
            Check(TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 2), "the subsampling");
            Check(TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB), "the JPEG color mode");
        }
    }
    const int planes = p.planar == PLANARCONFIG_SEPARATE ? p.spp : 1;
    if (p.tileWidth) {
        Check(TIFFSetField(t, TIFFTAG_TILEWIDTH, p.tileWidth), "the tile width");
        Check(TIFFSetField(t, TIFFTAG_TILELENGTH, p.tileLength), "the tile length");
        const tmsize_t rowBytes = TIFFTileRowSize(t);
        Bytes tile(static_cast<std::size_t>(TIFFTileSize(t)));
        for (int plane = 0; plane < planes; ++plane)
            for (std::uint32_t y0 = 0; y0 < static_cast<std::uint32_t>(p.height); y0 += p.tileLength)
                for (std::uint32_t x0 = 0; x0 < static_cast<std::uint32_t>(p.width); x0 += p.tileWidth) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (std::uint32_t k = 0; k < p.tileLength; ++k)
                        Pack(p, static_cast<int>(y0 + k), static_cast<int>(x0), static_cast<int>(p.tileWidth), plane,
                             tile.data() + k * rowBytes);
                    const std::uint32_t index = TIFFComputeTile(t, x0, y0, 0, static_cast<std::uint16_t>(plane));
                    Check(TIFFWriteEncodedTile(t, index, tile.data(), static_cast<tmsize_t>(tile.size())) >= 0,
                          "a tile");
                }
    } else {
        const std::uint32_t rows = p.rowsPerStrip ? p.rowsPerStrip : TIFFDefaultStripSize(t, 0);
        Check(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows), "the rows per strip");
        const tmsize_t rowBytes = TIFFScanlineSize(t);
        const std::uint32_t strips = (static_cast<std::uint32_t>(p.height) + rows - 1) / rows;
        for (int plane = 0; plane < planes; ++plane)
            for (std::uint32_t s = 0; s < strips; ++s) {
                const std::uint32_t y0 = s * rows;
                const std::uint32_t n = std::min<std::uint32_t>(rows, static_cast<std::uint32_t>(p.height) - y0);
                Bytes strip(static_cast<std::size_t>(rowBytes) * n, 0);
                for (std::uint32_t k = 0; k < n; ++k)
                    Pack(p, static_cast<int>(y0 + k), 0, p.width, plane, strip.data() + k * rowBytes);
                Check(TIFFWriteEncodedStrip(t, plane * strips + s, strip.data(), static_cast<tmsize_t>(strip.size())) >=
                          0,
                      "a strip");
            }
    }
}

}  // namespace detail

// The pages written by libtiff into one file, in memory.
inline Bytes WriteTiff(const std::vector<TiffPage>& pages, bool bigEndian = false) {
    detail::MemoryFile file;
    TIFF* t = TIFFClientOpen("test.tif", bigEndian ? "wb" : "wl", &file, detail::MemoryFile::Read,
                             detail::MemoryFile::Write, detail::MemoryFile::Seek, detail::MemoryFile::Close,
                             detail::MemoryFile::Size, detail::MemoryFile::Map, detail::MemoryFile::Unmap);
    if (!t) throw std::runtime_error("libtiff could not start a file");
    try {
        for (const TiffPage& page : pages) {
            detail::WritePage(t, page);
            detail::Check(TIFFWriteDirectory(t), "the directory");
        }
    } catch (...) {
        TIFFClose(t);
        throw;
    }
    TIFFClose(t);
    return file.data;
}
inline Bytes WriteTiff(const TiffPage& page, bool bigEndian = false) { return WriteTiff(std::vector{page}, bigEndian); }

// Random samples of bits each for a page's spp samples per pixel.
inline std::vector<std::uint32_t> RandomSamples(const TiffPage& p, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::uint32_t max = p.bits >= 32 ? 0xFFFFFFFFu : (1u << p.bits) - 1;
    std::vector<std::uint32_t> s(static_cast<std::size_t>(p.width) * p.height * p.spp);
    for (auto& v : s) v = rng() & max;
    return s;
}

// Smooth samples, which lossy codecs keep close to what they were given.
inline std::vector<std::uint32_t> SmoothSamples(const TiffPage& p) {
    std::vector<std::uint32_t> s(static_cast<std::size_t>(p.width) * p.height * p.spp);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < p.spp; ++c)
                s[(static_cast<std::size_t>(y) * p.width + x) * p.spp + c] =
                    static_cast<std::uint32_t>((x * 5 + y * 3 + c * 70) % 256);
    return s;
}

// ---- bare directories, written by hand ---------------------------------------------

// One directory entry: tag, field type (3 SHORT, 4 LONG, 2 ASCII, 7
// UNDEFINED) and its values (ASCII and UNDEFINED: one byte each).
struct RawEntry {
    std::uint16_t tag;
    std::uint16_t type;
    std::vector<std::uint32_t> values;
};

// A little-endian file of one directory whose entries are written in the
// order given (values that do not fit in an entry right after it), then the
// pixel data: the values of StripOffsets (273) and TileOffsets (324) are
// offsets into the data, and the builder adds the data's place.
inline Bytes RawTiff(std::vector<RawEntry> entries, const Bytes& data) {
    auto size = [](std::uint16_t type) { return type == 3 ? 2u : type == 4 ? 4u : 1u; };
    Bytes out{'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&out](std::uint32_t v, int n, std::size_t at) {
        for (int i = 0; i < n; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const std::size_t ifdBytes = 2 + 12 * entries.size() + 4;
    std::size_t extra = 8 + ifdBytes;  // where values that do not fit in an entry go
    std::size_t extraBytes = 0;
    for (const RawEntry& e : entries) {
        const std::size_t n = e.values.size() * size(e.type);
        if (n > 4) extraBytes += (n + 1) & ~std::size_t{1};
    }
    const std::size_t dataAt = extra + extraBytes;
    out.resize(dataAt);
    put(static_cast<std::uint32_t>(entries.size()), 2, 8);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        RawEntry& e = entries[i];
        if (e.tag == 273 || e.tag == 324)
            for (auto& v : e.values) v += static_cast<std::uint32_t>(dataAt);
        const std::size_t at = 10 + 12 * i;
        put(e.tag, 2, at);
        put(e.type, 2, at + 2);
        put(static_cast<std::uint32_t>(e.values.size()), 4, at + 4);
        const std::uint32_t unit = size(e.type);
        const std::size_t n = e.values.size() * unit;
        std::size_t to = at + 8;
        if (n > 4) {
            put(static_cast<std::uint32_t>(extra), 4, at + 8);
            to = extra;
            extra += (n + 1) & ~std::size_t{1};
        }
        for (std::size_t k = 0; k < e.values.size(); ++k) put(e.values[k], static_cast<int>(unit), to + k * unit);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The entries of an uncompressed 8-bit gray picture in one strip.
inline std::vector<RawEntry> GrayEntries(std::uint32_t width, std::uint32_t height, std::uint32_t stripBytes) {
    return {{256, 4, {width}}, {257, 4, {height}}, {258, 3, {8}},      {259, 3, {1}},         {262, 3, {1}},
            {273, 4, {0}},     {277, 3, {1}},      {278, 4, {height}}, {279, 4, {stripBytes}}};
}

// The first page of a file libtiff wrote, laid out again with its
// directory first and its strips or tiles after it, in order, so that a cut
// of the file falls inside the image data. The tags kept are those the tests'
// pages use.
inline Bytes DirectoryFirst(const Bytes& file) {
    detail::MemoryFile f{file};
    TIFF* t = TIFFClientOpen("test.tif", "r", &f, detail::MemoryFile::Read, detail::MemoryFile::Write,
                             detail::MemoryFile::Seek, detail::MemoryFile::Close, detail::MemoryFile::Size,
                             detail::MemoryFile::Map, detail::MemoryFile::Unmap);
    if (!t) throw std::runtime_error("libtiff could not read its own file");
    std::vector<RawEntry> entries;
    auto field = [&](std::uint16_t tag, std::uint16_t type, auto value) {
        if (TIFFGetField(t, tag, &value)) entries.push_back({tag, type, {static_cast<std::uint32_t>(value)}});
    };
    std::uint32_t u32 = 0;
    std::uint16_t u16 = 0;
    field(TIFFTAG_IMAGEWIDTH, 4, u32);
    field(TIFFTAG_IMAGELENGTH, 4, u32);
    std::uint16_t spp = 1;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    std::uint16_t bits = 1;
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    entries.push_back({TIFFTAG_BITSPERSAMPLE, 3, std::vector<std::uint32_t>(spp, bits)});
    field(TIFFTAG_COMPRESSION, 3, u16);
    field(TIFFTAG_PHOTOMETRIC, 3, u16);
    const bool tiled = TIFFIsTiled(t) != 0;
    const std::size_t offsetsAt = entries.size();
    entries.push_back({static_cast<std::uint16_t>(tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS), 4, {}});
    entries.push_back({TIFFTAG_SAMPLESPERPIXEL, 3, {spp}});
    if (!tiled) field(TIFFTAG_ROWSPERSTRIP, 4, u32);
    const std::size_t countsAt = entries.size();
    entries.push_back({static_cast<std::uint16_t>(tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS), 4, {}});
    field(TIFFTAG_PLANARCONFIG, 3, u16);
    field(TIFFTAG_PREDICTOR, 3, u16);
    if (tiled) {
        field(TIFFTAG_TILEWIDTH, 4, u32);
        field(TIFFTAG_TILELENGTH, 4, u32);
    }
    std::uint16_t count = 0;
    std::uint16_t* types = nullptr;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &count, &types) && count > 0)
        entries.push_back({TIFFTAG_EXTRASAMPLES, 3, std::vector<std::uint32_t>(types, types + count)});
    Bytes data;
    const std::uint32_t striles = tiled ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t);
    for (std::uint32_t i = 0; i < striles; ++i) {
        const auto size = static_cast<std::uint32_t>(TIFFGetStrileByteCount(t, i));
        entries[offsetsAt].values.push_back(static_cast<std::uint32_t>(data.size()));
        entries[countsAt].values.push_back(size);
        const auto at = static_cast<std::size_t>(TIFFGetStrileOffset(t, i));
        data.insert(data.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                    file.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    TIFFClose(t);
    // Directory entries go in ascending tag order.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const RawEntry& a, const RawEntry& b) { return a.tag < b.tag; });
    return RawTiff(entries, data);
}

}  // namespace tifftest
