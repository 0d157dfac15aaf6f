#include "graphics/gif/dib.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "graphics/gif/gif_image.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::BitmapInfoHeader;
using platform::RGBQuad;

namespace {

// The copy starts 2 bytes into its block, so that the rows, which follow the
// 14-byte file header and an info block of a multiple of 4 bytes, start on
// a 4-byte boundary as painting wants them.
constexpr std::size_t kLead = 2;
constexpr std::size_t kFileHeader = 14;

int BitsOf(TPixelKind format) {
    switch (format) {
        case pk1Bit:
            return 1;
        case pk4Bit:
            return 4;
        case pk8Bit:
            return 8;
        case pk24Bit:
            return 24;
        default:
            throw GIFException(msg::GIFUnsupportedPixelFormat);
    }
}

void Put16(std::uint8_t*& p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p += 2;
}
void Put32(std::uint8_t*& p, std::uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p, v >> 16);
}

// The table colors of a bitmap without a palette of its own, as the platform
// would give them for the depth.
std::vector<RGBQuad> DefaultColors(int bits) {
    std::vector<RGBQuad> out;
    if (bits == 1) return {{0, 0, 0, 0}, {255, 255, 255, 0}};
    const auto palette =
        bits == 4 ? std::make_unique<platform::Palette>(platform::SystemPalette16()) : platform::HalftonePalette();
    for (const auto& e : palette->entries) out.push_back({e.blue, e.green, e.red, 0});
    return out;
}

int Nearest(const std::vector<RGBQuad>& colors, std::uint32_t color) {
    const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    int best = 0, bestDistance = 1 << 30;
    for (std::size_t i = 0; i < colors.size(); ++i) {
        const int dr = colors[i].red - r, dg = colors[i].green - g, db = colors[i].blue - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = static_cast<int>(i);
            if (d == 0) break;
        }
    }
    return best;
}

}  // namespace

std::size_t BytesPerRow(std::int64_t width, int bits) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits) + 31) / 32 *
                                    4);
}

BitmapInfoHeader DIBHeader(const TBitmap& bitmap, TPixelKind format) {
    const TBitmapImage& store = *bitmap.Image();
    BitmapInfoHeader h;
    if (!store.dibSection || store.description.header.size < 40) {
        h.size = 40;
        h.width = bitmap.Width();
        h.height = bitmap.Height();
    } else {
        h = store.description.header;
    }
    h.bitCount = static_cast<std::uint16_t>(BitsOf(format));
    h.planes = 1;
    const std::uint64_t rows =
        static_cast<std::uint64_t>(h.height < 0 ? -static_cast<std::int64_t>(h.height) : h.height);
    h.sizeImage =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(BytesPerRow(h.width, h.bitCount) * rows, 0xFFFFFFFFu));
    // Our bitmaps note their palette's length here; the copy always carries
    // the whole table for its depth (none above 8 bits), which says 0, so
    // that its rows follow the table where the reader looks for them.
    const std::uint32_t full = h.bitCount <= 8 ? 1u << h.bitCount : 0;
    if (h.clrUsed != full) h.clrUsed = 0;
    return h;
}

std::size_t DIBInfoSize(const BitmapInfoHeader& header) {
    if (header.bitCount <= 8) return 40 + 4 * (std::size_t{1} << header.bitCount);
    return 40 + ((header.compression & 3) != 0 ? 12 : 0);
}

// ---- writer -------------------------------------------------------------------

TDIBWriter::~TDIBWriter() {
    try {
        Release();
    } catch (...) {
        // Unwinding already: the bitmap keeps what the write-back managed.
    }
}

void TDIBWriter::Capture() {
    TBitmap& bitmap = Bitmap();
    if (bitmap.IsEmpty()) throw GIFException(msg::InvalidBitmap);
    header_ = DIBHeader(bitmap, PixelFormat());
    const int bits = header_.bitCount;
    const std::int64_t height = header_.height < 0 ? -static_cast<std::int64_t>(header_.height) : header_.height;
    infoSize_ = DIBInfoSize(header_);
    rowBytes_ = BytesPerRow(header_.width, bits);
    pixelSize_ = rowBytes_ * static_cast<std::size_t>(height);
    streamSize_ = kFileHeader + infoSize_ + pixelSize_;

    // Uninitialised: every row is written or converted before the release.
    std::shared_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kLead + streamSize_]);
    if (!block) throw EOutOfMemory(msg::GIFDIBAllocation);

    colors_.clear();
    if (bits <= 8) {
        const std::size_t full = std::size_t{1} << bits;
        colors_.assign(full, RGBQuad{});
        const platform::Palette* palette = bitmap.GetPalette();
        std::size_t n = palette ? palette->entries.size() : 0;
        if (n != 0) {
            const std::size_t colors = header_.clrUsed != 0 ? header_.clrUsed : full;
            if (colors != 0 && colors < n) n = colors;
            n = std::min(n, full);
            for (std::size_t i = 0; i < n; ++i) {
                const auto& e = palette->entries[i];
                colors_[i] = {e.blue, e.green, e.red, 0};
            }
        } else if (!palette) {
            const auto defaults = DefaultColors(bits);
            std::copy(defaults.begin(), defaults.begin() + std::min(defaults.size(), full), colors_.begin());
        }
    }

    // The file header and the info block go in front of the rows now; only
    // the rows change until the release.
    std::uint8_t* p = block.get() + kLead;
    *p++ = 'B';
    *p++ = 'M';
    Put32(p, static_cast<std::uint32_t>(std::min<std::size_t>(streamSize_, 0xFFFFFFFFu)));
    Put32(p, 0);
    Put32(p, static_cast<std::uint32_t>(kFileHeader + infoSize_));
    Put32(p, 40);
    Put32(p, static_cast<std::uint32_t>(header_.width));
    Put32(p, static_cast<std::uint32_t>(header_.height));
    Put16(p, header_.planes);
    Put16(p, header_.bitCount);
    Put32(p, header_.compression);
    Put32(p, header_.sizeImage);
    Put32(p, static_cast<std::uint32_t>(header_.xPelsPerMeter));
    Put32(p, static_cast<std::uint32_t>(header_.yPelsPerMeter));
    Put32(p, header_.clrUsed);
    Put32(p, header_.clrImportant);
    if (bits <= 8) {
        for (const RGBQuad& c : colors_) {
            *p++ = c.blue;
            *p++ = c.green;
            *p++ = c.red;
            *p++ = 0;
        }
    } else if (infoSize_ > 40) {
        for (std::uint32_t m : bitmap.Image()->description.masks) Put32(p, m);
    }
    stream_ = std::move(block);
    pending_.assign(static_cast<std::size_t>(height), true);
    pendingCount_ = static_cast<int>(height);
}

std::uint8_t* TDIBWriter::StoredRow(int row) {
    const std::int64_t height = header_.height < 0 ? -static_cast<std::int64_t>(header_.height) : header_.height;
    const std::int64_t stored = header_.height > 0 ? height - 1 - row : row;
    return stream_.get() + kLead + kFileHeader + infoSize_ + static_cast<std::size_t>(stored) * rowBytes_;
}

void TDIBWriter::Extract(int row) {
    const platform::Raster& src = *Bitmap().Raster();
    std::uint8_t* dst = StoredRow(row);
    std::memset(dst, 0, rowBytes_);
    const int width = std::min(header_.width, src.Width());
    const int bits = header_.bitCount;
    if (bits == 24) {
        if (src.BitCount() == 24) {
            std::memcpy(dst, src.Row(row), static_cast<std::size_t>(width) * 3);
            return;
        }
        for (int x = 0; x < width; ++x) {
            const auto c = static_cast<std::uint32_t>(src.GetPixel(x, row));
            dst[x * 3] = static_cast<std::uint8_t>(c >> 16);
            dst[x * 3 + 1] = static_cast<std::uint8_t>(c >> 8);
            dst[x * 3 + 2] = static_cast<std::uint8_t>(c);
        }
        return;
    }
    // An indexed bitmap with the same table keeps its indices; any other
    // pixel takes the nearest color of the table.
    const bool sameTable =
        src.BitCount() == bits &&
        std::equal(colors_.begin(), colors_.end(), src.Colors().begin(), [](const RGBQuad& a, const RGBQuad& b) {
            return a.red == b.red && a.green == b.green && a.blue == b.blue;
        });
    if (sameTable) {
        std::memcpy(dst, src.Row(row), (static_cast<std::size_t>(width) * bits + 7) / 8);
        return;
    }
    std::uint32_t lastColor = 0xFFFFFFFFu;
    int lastIndex = 0;
    for (int x = 0; x < width; ++x) {
        const auto c = static_cast<std::uint32_t>(src.GetPixel(x, row));
        if (c != lastColor) {
            lastColor = c;
            lastIndex = Nearest(colors_, c);
        }
        const std::size_t bit = static_cast<std::size_t>(x) * bits;
        dst[bit >> 3] =
            static_cast<std::uint8_t>(dst[bit >> 3] | (lastIndex << (8 - bits - static_cast<int>(bit & 7))));
    }
}

std::uint8_t* TDIBWriter::ScanLine(int row) {
    if (!stream_) Capture();
    if (!stream_) throw GIFException(msg::GIFNoDIB);
    if (row < 0 || row >= Bitmap().Height()) throw EInvalidGraphicOperation(msg::ScanLine);
    if (pending_[static_cast<std::size_t>(row)]) {
        Extract(row);
        pending_[static_cast<std::size_t>(row)] = false;
        --pendingCount_;
    }
    return StoredRow(row);
}

std::uint8_t* TDIBWriter::ScanLineForOverwrite(int row) {
    if (!stream_) Capture();
    if (!stream_) throw GIFException(msg::GIFNoDIB);
    if (row < 0 || row >= Bitmap().Height()) throw EInvalidGraphicOperation(msg::ScanLine);
    std::uint8_t* out = StoredRow(row);
    if (pending_[static_cast<std::size_t>(row)]) {
        const std::size_t used = (static_cast<std::size_t>(header_.width) * header_.bitCount + 7) / 8;
        std::memset(out + used, 0, rowBytes_ - used);
        pending_[static_cast<std::size_t>(row)] = false;
        --pendingCount_;
    }
    return out;
}

std::vector<std::uint8_t> TDIBWriter::Stream() const {
    if (!stream_) return {};
    return {stream_.get() + kLead, stream_.get() + kLead + streamSize_};
}

void TDIBWriter::Release() {
    if (!stream_) return;
    for (std::size_t row = 0; pendingCount_ > 0 && row < pending_.size(); ++row)
        if (pending_[row]) {
            Extract(static_cast<int>(row));
            pending_[row] = false;
            --pendingCount_;
        }
    std::shared_ptr<std::uint8_t[]> block = std::move(stream_);
    pending_.clear();
    // The bitmap's reader keeps the rows where they are, holding the block.
    TBytesStream stream(block.get() + kLead, streamSize_, std::shared_ptr<const void>(block, block.get()));
    Bitmap().ReadFromStream(stream);
}

// ---- reader -------------------------------------------------------------------

TDIBReader::TDIBReader(TBitmap& bitmap, TPixelKind format) : TDIB(bitmap, format) { bitmap.SetPixelKind(format); }

std::uint8_t* TDIBReader::ScanLine(int row) { return Bitmap().RowAddress(row); }

}  // namespace duvo
