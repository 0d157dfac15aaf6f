#include "codecs/bmp/bmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "rtl/byte_reader.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::BitmapInfoHeader;
using platform::Raster;
using platform::RGBQuad;

namespace {

[[noreturn]] void Invalid() { throw EInvalidGraphic(msg::InvalidBitmap); }

std::uint16_t U16(const std::uint8_t* p) { return LoadU16(p); }
std::uint32_t U32(const std::uint8_t* p) { return LoadU32(p); }

// Largest header we keep: the V5 header. Bytes beyond it are skipped.
constexpr std::uint32_t kMaxKeptHeader = 124;

constexpr std::array<std::uint32_t, 3> kDefaultMasks16{0xF800, 0x07E0, 0x001F};
constexpr std::array<std::uint32_t, 3> kDefaultMasks32{0xFF0000, 0xFF00, 0xFF};

}  // namespace

int DecodeRle(const std::uint8_t* data, std::size_t size, int bitsPerPixel, const RGBQuad* colors, Raster& out) {
    // What the format leaves open, and what we do: runs and absolute blocks
    // that reach past the end of a row are cut at the row's end (the rest of
    // the run is dropped, not wrapped); a delta or line end that moves past
    // the last row ends the picture; pixels never written keep the background
    // (color-table entry 0). Indices past the table read entry values that
    // are zero-filled, so every index is safe.
    const int width = out.Width();
    const int height = out.Height();
    int x = 0;
    int y = 0;  // counted from the bottom, as RLE data is stored
    std::size_t i = 0;
    auto put = [&](int index) {
        if (x < width && y < height) {
            std::uint8_t* p = out.Row(height - 1 - y) + static_cast<std::size_t>(x) * 3;
            const RGBQuad& c = colors[index & 0xFF];
            p[0] = c.blue;
            p[1] = c.green;
            p[2] = c.red;
        }
        ++x;
    };
    while (i + 1 < size && y < height) {
        const int count = data[i];
        const int value = data[i + 1];
        i += 2;
        if (count > 0) {
            const int n = std::min(count, std::max(0, width - x));
            for (int k = 0; k < n; ++k) put(bitsPerPixel == 8 ? value : (k & 1 ? value & 0x0F : value >> 4));
            x += count - n;
            x = std::min(x, width);
            continue;
        }
        switch (value) {
            case 0:  // end of line
                x = 0;
                ++y;
                break;
            case 1:  // end of bitmap
                return height;
            case 2:  // delta
                if (i + 1 >= size) return y;
                x = std::min(x + data[i], width);
                y += data[i + 1];
                i += 2;
                break;
            default: {  // absolute run of `value` pixels, padded to 16 bits
                const int pixels = value;
                const std::size_t bytes =
                    bitsPerPixel == 8 ? static_cast<std::size_t>(pixels) : static_cast<std::size_t>(pixels + 1) / 2;
                const std::size_t avail = std::min(bytes, size - i);
                for (int k = 0; k < pixels; ++k) {
                    const std::size_t b =
                        bitsPerPixel == 8 ? static_cast<std::size_t>(k) : static_cast<std::size_t>(k) / 2;
                    if (b >= avail) break;
                    const int v = data[i + b];
                    put(bitsPerPixel == 8 ? v : (k & 1 ? v & 0x0F : v >> 4));
                }
                x = std::min(x, width);
                i += (bytes + 1) & ~std::size_t{1};
                break;
            }
        }
    }
    return std::min(y, height);
}

DecodedPicture DecodeBmp(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> keepAlive) {
    DecodedPicture out;
    if (bytes.empty()) return out;
    ByteReader in(bytes);

    const ByteSpan fileHeader = in.Take(14);
    if (LoadU16(fileHeader.data()) != 0x4D42) Invalid();

    // The offset field of the file header is not used: the pixels are taken
    // to follow the color table directly.
    std::uint8_t raw[kMaxKeptHeader]{};
    in.Read(raw, 4);
    const std::uint32_t headerSize = U32(raw);
    const bool core = headerSize == 12;
    if (!core && headerSize < 40) Invalid();
    BitmapInfoHeader h;
    if (core) {
        in.Read(raw + 4, 8);
        h.width = U16(raw + 4);
        h.height = U16(raw + 6);
        h.planes = U16(raw + 8);
        h.bitCount = U16(raw + 10);
    } else {
        const std::uint32_t kept = std::min(headerSize, kMaxKeptHeader);
        if (headerSize - 4 > in.Remaining()) in.End();
        in.Read(raw + 4, kept - 4);
        in.Skip(headerSize - kept);
        h.width = static_cast<std::int32_t>(U32(raw + 4));
        h.height = static_cast<std::int32_t>(U32(raw + 8));
        h.planes = U16(raw + 12);
        h.bitCount = U16(raw + 14);
        h.compression = U32(raw + 16);
        h.sizeImage = U32(raw + 20);
        h.xPelsPerMeter = static_cast<std::int32_t>(U32(raw + 24));
        h.yPelsPerMeter = static_cast<std::int32_t>(U32(raw + 28));
        h.clrUsed = U32(raw + 32);
        h.clrImportant = U32(raw + 36);
    }
    h.size = 40;
    if (h.planes != 1) Invalid();

    std::array<std::uint32_t, 3> masks{};
    if (h.compression == platform::BI_BITFIELDS && (h.bitCount == 16 || h.bitCount == 32)) {
        if (headerSize == 40) {
            const ByteSpan m = in.Take(12);
            masks = {U32(m.data()), U32(m.data() + 4), U32(m.data() + 8)};
        } else {
            // Larger headers carry their masks; what a short one lacks is zero.
            masks = {U32(raw + 40), U32(raw + 44), U32(raw + 48)};
        }
    }

    // The table has room for 256 entries; a file that claims more is refused
    // rather than read past the table.
    if (h.clrUsed == 0) h.clrUsed = h.bitCount == 1 ? 2 : h.bitCount == 4 ? 16 : h.bitCount == 8 ? 256 : 0;
    if (h.clrUsed > 256) Invalid();
    const std::size_t entrySize = core ? 3 : 4;
    const ByteSpan table = in.Take(h.clrUsed * entrySize);
    // Entries past the table stay black, so any index of a pixel is safe.
    RGBQuad colors[256]{};
    for (std::uint32_t k = 0; k < h.clrUsed; ++k)
        colors[k] = {table[k * entrySize], table[k * entrySize + 1], table[k * entrySize + 2], 0};

    // What the platform would accept: the usual depths, RLE only bottom-up
    // and at its own depth, and no compression beyond bit fields.
    const bool rle = h.compression == platform::BI_RLE8 || h.compression == platform::BI_RLE4;
    switch (h.compression) {
        case platform::BI_RGB:
            if (h.bitCount != 1 && h.bitCount != 4 && h.bitCount != 8 && h.bitCount != 16 && h.bitCount != 24 &&
                h.bitCount != 32)
                Invalid();
            break;
        case platform::BI_RLE8:
            if (h.bitCount != 8 || h.height < 0) Invalid();
            break;
        case platform::BI_RLE4:
            if (h.bitCount != 4 || h.height < 0) Invalid();
            break;
        case platform::BI_BITFIELDS:
            if (h.bitCount != 16 && h.bitCount != 32) Invalid();
            // No masks at all: the same defaults a bitmap gets when it is rebuilt.
            if (masks == std::array<std::uint32_t, 3>{}) masks = h.bitCount == 16 ? kDefaultMasks16 : kDefaultMasks32;
            break;
        default:
            Invalid();
    }

    // Every size is checked before any pixel memory is taken, so a tiny file
    // cannot ask for gigabytes.
    const std::int64_t absHeight = h.height < 0 ? -static_cast<std::int64_t>(h.height) : h.height;
    std::size_t stride = 0, total = 0;
    if (h.width <= 0 || absHeight <= 0) Invalid();
    CheckPictureSize(static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(absHeight), limits);
    if (!platform::RasterSize(h.width, absHeight, h.bitCount, &stride, &total)) Invalid();
    if (h.sizeImage == 0) h.sizeImage = static_cast<std::uint32_t>(std::min<std::size_t>(total, 0xFFFFFFFFu));
    const ByteSpan data = in.TakeUpTo(h.sizeImage);

    if (rle) {
        platform::RasterFormat format;  // the screen's: 24 bits
        out.raster = Raster::Create(h.width, static_cast<int>(absHeight), format, nullptr, 0, Raster::Fill::Zero);
        Raster& r = *out.raster;
        // Pixels the data never sets show color-table entry 0.
        const RGBQuad bg = colors[0];
        std::uint8_t* first = r.Row(0);
        for (int x = 0; x < r.Width(); ++x) {
            first[x * 3] = bg.blue;
            first[x * 3 + 1] = bg.green;
            first[x * 3 + 2] = bg.red;
        }
        for (int y = 1; y < r.Height(); ++y) std::memcpy(r.Row(y), first, static_cast<std::size_t>(r.Width()) * 3);
        const int reached = DecodeRle(data.data(), data.size(), h.bitCount, colors, r);
        if (reached < r.Height())
            out.warnings.push_back({warning_kind::Truncated, "the run-length data ends after " +
                                                                 std::to_string(reached) + " of " +
                                                                 std::to_string(r.Height()) + " rows"});
        out.dib = false;
    } else {
        platform::RasterFormat format;
        format.bitCount = h.bitCount;
        format.compression = h.compression;
        format.masks = masks;
        if (keepAlive && data.size() >= total) {
            // Every row is in the data: the raster points into it.
            out.raster = Raster::Borrow(h.width, h.height, format, colors, static_cast<int>(h.clrUsed), data.data(),
                                        std::move(keepAlive));
        } else {
            out.raster =
                Raster::Create(h.width, h.height, format, colors, static_cast<int>(h.clrUsed), Raster::Fill::Zero);
            // One copy straight into the rows; bytes the data lacks stay zero.
            // An image-size field larger than the raster is cut to the raster.
            const std::size_t n = std::min(data.size(), out.raster->ImageSize());
            if (n != 0) std::memcpy(out.raster->Bits(), data.data(), n);
        }
        if (data.size() < total) {
            // Rows are stored bottom row first unless the height is negative.
            const std::size_t whole = std::min<std::size_t>(data.size(), out.raster->ImageSize()) / stride;
            const bool fileEnded = in.AtEnd();
            out.warnings.push_back(
                {warning_kind::Truncated, (fileEnded ? "only " : "the header's image size covers only ") +
                                              std::to_string(whole) + " of " + std::to_string(absHeight) + " rows" +
                                              (fileEnded ? " are in the file" : "")});
        }
        out.hasFileHeader = true;
        out.fileHeader = h;
    }
    if (h.clrUsed > 0) out.palette = platform::PaletteFromColorTable(colors, static_cast<int>(h.clrUsed));
    out.os2Format = core;
    return out;
}

}  // namespace duvo
