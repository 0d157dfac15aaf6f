#include "codecs/bmp/bmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
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

BmpLayout ParseBmp(ByteSpan bytes, const Limits& limits) {
    BmpLayout out;
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
    BitmapInfoHeader& h = out.header;
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
    for (std::uint32_t k = 0; k < h.clrUsed; ++k)
        out.colors[k] = {table[k * entrySize], table[k * entrySize + 1], table[k * entrySize + 2], 0};

    // What the platform would accept: the usual depths, RLE only bottom-up
    // and at its own depth, and no compression beyond bit fields.
    out.rle = h.compression == platform::BI_RLE8 || h.compression == platform::BI_RLE4;
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
    if (h.width <= 0 || absHeight <= 0) Invalid();
    CheckPictureSize(static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(absHeight), limits);
    if (!platform::RasterSize(h.width, absHeight, h.bitCount, &out.stride, &out.total)) Invalid();
    if (h.sizeImage == 0) h.sizeImage = static_cast<std::uint32_t>(std::min<std::size_t>(out.total, 0xFFFFFFFFu));
    out.data = in.TakeUpTo(h.sizeImage);
    out.height = static_cast<int>(absHeight);
    out.os2 = core;
    out.format.bitCount = out.rle ? 24 : h.bitCount;
    out.format.compression = out.rle ? platform::BI_RGB : h.compression;
    out.format.masks = out.rle ? std::array<std::uint32_t, 3>{} : masks;

    if (!out.rle && out.data.size() < out.total) {
        // Rows are stored bottom row first unless the height is negative.
        const std::size_t whole = out.data.size() / out.stride;
        const bool fileEnded = in.AtEnd();
        out.warnings.push_back(
            {warning_kind::Truncated, (fileEnded ? "only " : "the header's image size covers only ") +
                                          std::to_string(whole) + " of " + std::to_string(absHeight) + " rows" +
                                          (fileEnded ? " are in the file" : "")});
    }
    return out;
}

std::unique_ptr<Raster> DecodeRleRaster(const BmpLayout& layout, std::vector<DecodeWarning>& warnings) {
    platform::RasterFormat format;  // the screen's: 24 bits
    auto raster = Raster::Create(layout.header.width, layout.height, format, nullptr, 0, Raster::Fill::Zero);
    Raster& r = *raster;
    // Pixels the data never sets show color-table entry 0.
    const RGBQuad bg = layout.colors[0];
    std::uint8_t* first = r.Row(0);
    for (int x = 0; x < r.Width(); ++x) {
        first[x * 3] = bg.blue;
        first[x * 3 + 1] = bg.green;
        first[x * 3 + 2] = bg.red;
    }
    for (int y = 1; y < r.Height(); ++y) std::memcpy(r.Row(y), first, static_cast<std::size_t>(r.Width()) * 3);
    const int reached = DecodeRle(layout.data.data(), layout.data.size(), layout.header.bitCount, layout.colors, r);
    if (reached < r.Height())
        warnings.push_back({warning_kind::Truncated, "the run-length data ends after " + std::to_string(reached) +
                                                         " of " + std::to_string(r.Height()) + " rows"});
    return raster;
}

DecodedPicture DecodeBmp(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> keepAlive) {
    DecodedPicture out;
    const BmpLayout layout = ParseBmp(bytes, limits);
    if (layout.height == 0) return out;
    const BitmapInfoHeader& h = layout.header;
    out.warnings = layout.warnings;
    if (layout.rle) {
        out.raster = DecodeRleRaster(layout, out.warnings);
        out.dib = false;
    } else {
        const int colorCount = static_cast<int>(h.clrUsed);
        if (keepAlive && layout.data.size() >= layout.total) {
            // Every row is in the data: the raster points into it.
            out.raster = Raster::Borrow(h.width, h.height, layout.format, layout.colors, colorCount, layout.data.data(),
                                        std::move(keepAlive));
        } else {
            out.raster =
                Raster::Create(h.width, h.height, layout.format, layout.colors, colorCount, Raster::Fill::Zero);
            // One copy straight into the rows; bytes the data lacks stay zero.
            // An image-size field larger than the raster is cut to the raster.
            const std::size_t n = std::min(layout.data.size(), out.raster->ImageSize());
            if (n != 0) std::memcpy(out.raster->Bits(), layout.data.data(), n);
        }
        out.hasFileHeader = true;
        out.fileHeader = h;
    }
    if (h.clrUsed > 0) out.palette = platform::PaletteFromColorTable(layout.colors, static_cast<int>(h.clrUsed));
    out.os2Format = layout.os2;
    return out;
}

// ---- rows ---------------------------------------------------------------------

RowFormat RowFormatOf(const platform::RasterFormat& format, int width, int height, const RGBQuad* colors,
                      int colorCount) {
    RowFormat f;
    f.width = width;
    f.height = height;
    switch (format.bitCount) {
        case 1:
        case 4:
        case 8:
            f.layout = RowLayout::Index;
            f.bitDepth = format.bitCount;
            f.paletteSize = std::clamp(colorCount, 0, 256);
            for (int i = 0; i < f.paletteSize; ++i)
                f.palette[static_cast<std::size_t>(i)] = {colors[i].red, colors[i].green, colors[i].blue, 255};
            break;
        case 16:
            f.layout = RowLayout::Masked;
            f.bitDepth = 16;
            f.masks = platform::EffectiveMasks(format);
            break;
        case 24:
            f.layout = RowLayout::Bgr;
            break;
        default:
            if (format.compression == platform::BI_BITFIELDS) {
                f.layout = RowLayout::Masked;
                f.bitDepth = 32;
                f.masks = format.masks;
            } else {
                f.layout = RowLayout::Bgrx;
            }
    }
    return f;
}

namespace {

// Rows that lie in the file's bytes, read where they are. A row the data
// holds only in part, or not at all, reads as the decode fills it: the bytes
// there, then zeros.
class BmpRows final : public RowSource {
public:
    BmpRows(const BmpLayout& layout, std::function<void(std::size_t, std::size_t)> release)
        : layout_(layout), release_(std::move(release)) {
        format_ = RowFormatOf(layout.format, layout.header.width, layout.height, layout.colors,
                              static_cast<int>(layout.header.clrUsed));
        warnings_ = layout.warnings;
        zeros_.assign(layout.stride, 0);
        const std::size_t whole = layout.data.size() / layout.stride;
        if (whole < static_cast<std::size_t>(layout.height) && layout.data.size() % layout.stride != 0) {
            partial_ = whole;
            partialRow_.assign(layout.stride, 0);
            std::memcpy(partialRow_.data(), layout.data.data() + whole * layout.stride,
                        layout.data.size() - whole * layout.stride);
        }
    }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) std::memcpy(dst + i * stride, RowInPlace(next_), format_.RowBytes());
    }
    const std::uint8_t* RowInPlace(int y) const override {
        const std::size_t stored =
            layout_.header.height > 0 ? static_cast<std::size_t>(layout_.height - 1 - y) : static_cast<std::size_t>(y);
        if ((stored + 1) * layout_.stride <= layout_.data.size()) return layout_.data.data() + stored * layout_.stride;
        return stored == partial_ ? partialRow_.data() : zeros_.data();
    }
    void Release(int y0, int y1) override {
        if (!release_ || y1 <= y0) return;
        const std::size_t offset = static_cast<std::size_t>(layout_.data.data() - base_);
        // Stored bottom row first unless the height is negative.
        const bool bottomUp = layout_.header.height > 0;
        const std::size_t first =
            bottomUp ? static_cast<std::size_t>(layout_.height - y1) : static_cast<std::size_t>(y0);
        const std::size_t begin = first * layout_.stride;
        const std::size_t end =
            std::min(layout_.data.size(), begin + static_cast<std::size_t>(y1 - y0) * layout_.stride);
        if (end > begin) release_(offset + begin, offset + end);
    }
    void SetBase(const std::uint8_t* base) { base_ = base; }

private:
    BmpLayout layout_;
    std::function<void(std::size_t, std::size_t)> release_;
    const std::uint8_t* base_ = nullptr;
    std::vector<std::uint8_t> zeros_;
    std::size_t partial_ = static_cast<std::size_t>(-1);
    std::vector<std::uint8_t> partialRow_;
    int next_ = 0;
};

// Run-length data can move up and down the picture, so it is decoded whole
// first, into 24-bit rows.
class BmpRleRows final : public RowSource {
public:
    explicit BmpRleRows(const BmpLayout& layout) {
        raster_ = DecodeRleRaster(layout, warnings_);
        warnings_.insert(warnings_.begin(), layout.warnings.begin(), layout.warnings.end());
        format_ = RowFormatOf(raster_->Format(), raster_->Width(), raster_->Height(), nullptr, 0);
    }
    bool Sequential() const override { return false; }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) std::memcpy(dst + i * stride, raster_->Row(next_), format_.RowBytes());
    }
    const std::uint8_t* RowInPlace(int y) const override { return raster_->Row(y); }

private:
    std::unique_ptr<Raster> raster_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenBmpRows(ByteSpan bytes, const Limits& limits,
                                       std::function<void(std::size_t, std::size_t)> release) {
    const BmpLayout layout = ParseBmp(bytes, limits);
    if (layout.height == 0) throw EInvalidGraphic(msg::InvalidBitmap);
    if (layout.rle) {
        // Decoded whole into 24-bit rows before the first is read.
        std::size_t stride = 0, total = 0;
        if (!platform::RasterSize(layout.header.width, layout.height, 24, &stride, &total))
            throw EOutOfMemory(msg::OutOfMemory);
        CheckHeldFrame(static_cast<std::uint64_t>(layout.header.width), static_cast<std::uint64_t>(layout.height),
                       total, limits);
        return std::make_unique<BmpRleRows>(layout);
    }
    auto rows = std::make_unique<BmpRows>(layout, std::move(release));
    rows->SetBase(bytes.data());
    return rows;
}

}  // namespace duvo
