#include "graphics/bitmap.h"

#include <cstring>
#include <vector>

#include "graphics/bmp.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;
using platform::RasterFormat;

DUVO_DEFINE_CLASS(TBitmap, TGraphic::StaticClass(), []() -> TGraphic* { return new TBitmap; })

namespace {
constexpr std::array<std::uint32_t, 3> kMasks565{0xF800, 0x07E0, 0x001F};

std::unique_ptr<platform::Palette> CopyPalette(const platform::Palette* p) {
    return p ? std::make_unique<platform::Palette>(*p) : nullptr;
}
}  // namespace

TDibDescription DescribeRaster(const Raster& r, bool dib) {
    TDibDescription d;
    d.bmWidth = r.Width();
    d.bmHeight = r.Height();
    d.bmPlanes = 1;
    d.bmBitsPixel = r.BitCount();
    d.hasBits = dib;
    if (dib) {
        d.header.size = 40;
        d.header.width = r.Width();
        d.header.height = r.SignedHeight();
        d.header.planes = 1;
        d.header.bitCount = static_cast<std::uint16_t>(r.BitCount());
        d.header.compression = r.Format().compression;
        d.header.sizeImage = static_cast<std::uint32_t>(r.ImageSize());
        d.header.clrUsed = static_cast<std::uint32_t>(r.BitCount() <= 8 ? r.ColorCount() : 0);
        d.masks = r.Format().masks;
    }
    return d;
}

// ---- surface ----------------------------------------------------------------

TColor TBitmapCanvas::ReadPixel(int x, int y) {
    const Raster* r = bitmap_.image_->raster.get();
    return r ? r->GetPixel(x, y) : kInvalidColor;
}

void TBitmapCanvas::WritePixel(int x, int y, TColor color) {
    const Raster* r = bitmap_.image_->raster.get();
    if (!r || x < 0 || y < 0 || x >= r->Width() || y >= r->Height()) return;
    bitmap_.PrepareChange();
    bitmap_.image_->raster->SetPixel(x, y, platform::ColorToRGB(color));
    bitmap_.NotifyChanged(&bitmap_);
}

// ---- bitmap -----------------------------------------------------------------

TBitmap::TBitmap() : image_(new TBitmapImage) { image_->Reference(); }

TBitmap::~TBitmap() { image_->Release(); }

// A bitmap is used by one thread at a time and the reference count is
// atomic, so exchanging stores needs no lock of its own.
void TBitmap::InstallStore(TBitmapImage* image) {
    image->Reference();
    TBitmapImage* old = image_;
    image_ = image;
    old->Release();
    maskValid_ = false;
}

void TBitmap::CopyTo(TPersistent* dest) const {
    if (auto* b = dynamic_cast<TBitmap*>(dest)) {
        b->CopyFrom(this);
        return;
    }
    TGraphic::CopyTo(dest);
}

void TBitmap::CopyFrom(const TPersistent* source) {
    if (const auto* src = dynamic_cast<const TBitmap*>(source)) {
        if (src != this) {
            src->image_->Reference();
            image_->Release();
            image_ = src->image_;
            transparent_ = src->transparent_;
            transparentColor_ = src->transparentColor_;
            transparentMode_ = src->transparentMode_;
        }
    } else if (!source) {
        InstallStore(new TBitmapImage);
    } else {
        TGraphic::CopyFrom(source);
        return;
    }
    maskValid_ = false;
    paletteModified_ = image_->palette != nullptr;
    Changed();
}

void TBitmap::NotifyChanged(TPersistent* sender) {
    maskValid_ = false;
    TGraphic::NotifyChanged(sender);
}

void TBitmap::DrawTo(TCanvas& canvas, const TRect& rect) {
    const platform::Raster* src = image_->raster.get();
    if (!src || rect.Width() <= 0 || rect.Height() <= 0) return;
    TBitmap* destBitmap = canvas.Bitmap();
    if (!destBitmap) {
        for (int y = rect.top; y < rect.bottom; ++y)
            for (int x = rect.left; x < rect.right; ++x)
                canvas.WritePixel(
                    x, y,
                    src->GetPixel(static_cast<int>((std::int64_t{x - rect.left} * src->Width()) / rect.Width()),
                                  static_cast<int>((std::int64_t{y - rect.top} * src->Height()) / rect.Height())));
        return;
    }
    if (destBitmap->IsEmpty()) return;
    destBitmap->PrepareChange();
    platform::Raster* dst = destBitmap->image_->raster.get();
    const int x0 = std::max(rect.left, 0), x1 = std::min(rect.right, dst->Width());
    const int y0 = std::max(rect.top, 0), y1 = std::min(rect.bottom, dst->Height());
    const bool plain = rect.Width() == src->Width() && rect.Height() == src->Height();
    // An indexed picture drawn unscaled into a 24-bit one: one table lookup
    // per pixel along the row.
    const bool indexedRows = plain && src->BitCount() <= 8 && dst->BitCount() == 24;
    const auto lut = indexedRows ? src->ColorLookup() : std::array<std::uint32_t, 256>{};
    for (int y = y0; y < y1; ++y) {
        const int sy =
            plain ? y - rect.top : static_cast<int>((std::int64_t{y - rect.top} * src->Height()) / rect.Height());
        if (plain && src->BitCount() == 24 && dst->BitCount() == 24 && x1 > x0) {
            std::memcpy(dst->Row(y) + std::size_t(x0) * 3, src->Row(sy) + std::size_t(x0 - rect.left) * 3,
                        std::size_t(x1 - x0) * 3);
            continue;
        }
        if (indexedRows) {
            const int bits = src->BitCount();
            const std::uint8_t* in = src->Row(sy);
            std::uint8_t* out = dst->Row(y);
            for (int x = x0; x < x1; ++x) {
                const std::size_t bit = static_cast<std::size_t>(x - rect.left) * bits;
                const int index = (in[bit >> 3] >> (8 - bits - static_cast<int>(bit & 7))) & ((1 << bits) - 1);
                const std::uint32_t c = lut[static_cast<std::size_t>(index)];
                out[x * 3] = static_cast<std::uint8_t>(c >> 16);
                out[x * 3 + 1] = static_cast<std::uint8_t>(c >> 8);
                out[x * 3 + 2] = static_cast<std::uint8_t>(c);
            }
            continue;
        }
        for (int x = x0; x < x1; ++x) {
            const int sx =
                plain ? x - rect.left : static_cast<int>((std::int64_t{x - rect.left} * src->Width()) / rect.Width());
            dst->SetPixel(x, y, src->GetPixel(sx, sy));
        }
    }
    destBitmap->NotifyChanged(destBitmap);
}

bool TBitmap::IsEmpty() const { return !image_->raster; }

int TBitmap::GetWidth() const { return image_->description.bmWidth; }

int TBitmap::GetHeight() const {
    const int h = image_->description.bmHeight;
    return h < 0 ? -h : h;
}

const platform::Palette* TBitmap::GetPalette() const { return image_->palette.get(); }

TStorageMode TBitmap::StorageMode() const {
    if (image_->raster) return image_->dibSection ? TStorageMode::smDIB : TStorageMode::smDevice;
    return image_->description.header.size == 0 ? TStorageMode::smDevice : TStorageMode::smDIB;
}

TPixelKind TBitmap::PixelKind() const {
    if (StorageMode() == TStorageMode::smDevice) return pkDevice;
    const auto& h = image_->description.header;
    switch (h.bitCount) {
        case 1:
            return pk1Bit;
        case 4:
            return pk4Bit;
        case 8:
            return pk8Bit;
        case 16:
            if (h.compression == platform::BI_RGB) return pk15Bit;
            if (h.compression == platform::BI_BITFIELDS && image_->description.masks[1] == 0x07E0) return pk16Bit;
            return pkCustom;
        case 24:
            return pk24Bit;
        case 32:
            return h.compression == platform::BI_RGB ? pk32Bit : pkCustom;
        default:
            return pkCustom;
    }
}

void TBitmap::RebuildStore(const TDibDescription& target, const platform::Palette* newPalette, bool keepPixels,
                           platform::Raster::Fill fill) {
    const platform::Raster* old = image_->raster.get();
    const auto& h = target.header;
    const bool dib = h.size >= 40;
    auto store = std::make_unique<TBitmapImage>();
    store->os2Format = image_->os2Format;
    store->description = target;
    store->dibSection = dib;
    const bool empty = dib ? (h.width == 0 || h.height == 0) : (target.bmWidth == 0 || target.bmHeight == 0);
    if (!empty) {
        if ((dib && h.width < 0) || (!dib && (target.bmWidth < 0 || target.bmHeight < 0)))
            throw EInvalidGraphic(msg::InvalidBitmap);
        RasterFormat format;
        std::vector<platform::RGBQuad> colors;
        int width, height;
        if (dib) {
            width = h.width;
            height = h.height;
            // A header without a depth (an empty bitmap switched to DIB and
            // then sized) takes the screen's.
            format.bitCount = h.bitCount != 0 ? h.bitCount : platform::kScreenBitsPerPixel;
            format.compression = h.compression == platform::BI_BITFIELDS ? platform::BI_BITFIELDS : platform::BI_RGB;
            if (format.compression == platform::BI_BITFIELDS) {
                format.masks = target.masks;
                if (format.masks == std::array<std::uint32_t, 3>{})
                    format.masks =
                        format.bitCount == 16 ? kMasks565 : std::array<std::uint32_t, 3>{0xFF0000, 0xFF00, 0xFF};
            }
            if (format.bitCount <= 8) {
                if (format.bitCount == 1 && (!old || !image_->dibSection)) {
                    colors = {{0, 0, 0, 0}, {255, 255, 255, 0}};
                } else if (newPalette) {
                    for (std::size_t i = 0; i < newPalette->entries.size() && i < 256; ++i) {
                        const auto& e = newPalette->entries[i];
                        colors.push_back({e.blue, e.green, e.red, 0});
                    }
                } else if (old) {
                    const int n = old->BitCount() <= 8 ? old->ColorCount() : 0;
                    colors.assign(old->Colors().begin(), old->Colors().begin() + n);
                }
            }
        } else {
            width = target.bmWidth;
            height = target.bmHeight;
            if ((target.bmPlanes | target.bmBitsPixel) == 1) {
                format.bitCount = 1;
                colors = {{0, 0, 0, 0}, {255, 255, 255, 0}};
            } else {
                format.bitCount = platform::kScreenBitsPerPixel;
            }
        }
        store->raster =
            platform::Raster::Create(width, height, format, colors.data(), static_cast<int>(colors.size()), fill);
        if (old && keepPixels) store->raster->CopyFrom(*old);
        store->description = DescribeRaster(*store->raster, dib);
        if (!newPalette && format.bitCount <= 8 && dib)
            store->palette =
                platform::PaletteFromColorTable(store->raster->Colors().data(), store->raster->ColorCount());
    }
    // An empty bitmap keeps its palette too, so that a pixel kind chosen
    // before the size still brings its colors when the bitmap is sized.
    if (newPalette) store->palette = CopyPalette(newPalette);
    InstallStore(store.release());
}

void TBitmap::SetWidth(int value) {
    if (value == GetWidth()) return;
    TDibDescription target = image_->description;
    target.bmWidth = value;
    if (target.header.size != 0) target.header.width = value;
    if (target.bmHeight == 0 && target.header.size == 0) target.bmBitsPixel = platform::kScreenBitsPerPixel;
    RebuildStore(target, image_->palette.get());
    Changed();
}

void TBitmap::SetHeight(int value) {
    if (value == GetHeight()) return;
    TDibDescription target = image_->description;
    target.bmHeight = value;
    // Keep the row order the bitmap has.
    if (target.header.size != 0) target.header.height = target.header.height < 0 ? -value : value;
    RebuildStore(target, image_->palette.get());
    Changed();
}

void TBitmap::PrepareChange() {
    const bool borrowed = image_->raster && image_->raster->ReadOnly();
    if (image_->RefCount() < 2 && !borrowed) return;
    auto store = std::make_unique<TBitmapImage>();
    if (image_->raster) store->raster = image_->raster->Clone();
    store->dibSection = image_->dibSection;
    store->palette = CopyPalette(image_->palette.get());
    store->description = image_->description;
    store->os2Format = image_->os2Format;
    store->halftone = image_->halftone;
    InstallStore(store.release());
}

std::uint8_t* TBitmap::RowAddress(int row) {
    if (row < 0 || row >= GetHeight() || !image_->raster) throw EInvalidGraphicOperation(msg::ScanLine);
    // Rows borrowed from a file are not ours to write.
    if (image_->raster->ReadOnly()) PrepareChange();
    if (!image_->dibSection) {
        // Row access needs a DIB; ours has the same layout, so only the mode changes.
        image_->dibSection = true;
        image_->description = DescribeRaster(*image_->raster, true);
    }
    return image_->raster->Row(row);
}

const std::uint8_t* TBitmap::RowAddress(int row) const {
    if (row < 0 || row >= GetHeight() || !image_->raster) throw EInvalidGraphicOperation(msg::ScanLine);
    return image_->raster->Row(row);
}

void TBitmap::SetPixelKind(TPixelKind kind) {
    if (kind == PixelKind()) return;
    if (kind == pkDevice) {
        SetStorageMode(TStorageMode::smDevice);
        return;
    }
    if (kind == pkCustom) throw EInvalidGraphic(msg::InvalidPixelFormat);
    TDibDescription target;
    target.bmWidth = image_->description.bmWidth;
    target.bmHeight = image_->description.bmHeight;
    target.bmPlanes = 1;
    auto& h = target.header;
    h.size = 40;
    h.width = target.bmWidth;
    h.height = target.bmHeight;
    h.planes = 1;
    h.compression = platform::BI_RGB;
    std::unique_ptr<platform::Palette> halftone;
    const platform::Palette* palette = image_->palette.get();
    bool tableSupplied = false;
    switch (kind) {
        case pk1Bit:
            h.bitCount = 1;
            break;
        case pk4Bit:
            h.bitCount = 4;
            palette = &platform::SystemPalette16();
            tableSupplied = true;
            break;
        case pk8Bit:
            h.bitCount = 8;
            halftone = platform::HalftonePalette();
            palette = halftone.get();
            tableSupplied = true;
            break;
        case pk15Bit:
            h.bitCount = 16;
            break;
        case pk16Bit:
            h.bitCount = 16;
            h.compression = platform::BI_BITFIELDS;
            target.masks = kMasks565;
            break;
        case pk24Bit:
            h.bitCount = 24;
            break;
        case pk32Bit:
            h.bitCount = 32;
            break;
        default:
            break;
    }
    target.bmBitsPixel = h.bitCount;
    RebuildStore(target, h.bitCount <= 8 ? palette : nullptr);
    paletteModified_ = tableSupplied;
    Changed();
}

void TBitmap::SetStorageMode(TStorageMode mode) {
    if (mode == StorageMode()) return;
    if (!image_->raster) {
        PrepareChange();
        image_->description.header.size = mode == TStorageMode::smDevice ? 0 : 40;
        Changed();
        return;
    }
    if (mode == TStorageMode::smDevice) {
        TDibDescription target;
        target.bmWidth = image_->raster->Width();
        target.bmHeight = image_->raster->Height();
        target.bmPlanes = 1;
        target.bmBitsPixel = platform::kScreenBitsPerPixel;
        RebuildStore(target, nullptr);
    } else {
        PrepareChange();
        image_->dibSection = true;
        image_->description = DescribeRaster(*image_->raster, true);
    }
    Changed();
}

void TBitmap::SetPalette(std::unique_ptr<platform::Palette> palette) {
    if (palette.get() == image_->palette.get()) return;
    if (!palette && image_->RefCount() < 2) {
        image_->palette.reset();
    } else if (image_->raster && image_->raster->BitCount() <= 8 && image_->dibSection) {
        RebuildStore(image_->description, palette.get());
    } else {
        PrepareChange();
        image_->palette = std::move(palette);
    }
    paletteModified_ = true;
    Changed();
}

platform::Raster* TBitmap::GetHandle() {
    if (image_->raster) PrepareChange();
    return image_->raster.get();
}

platform::Raster* TBitmap::GetMaskHandle() { return nullptr; }

TCanvas& TBitmap::Canvas() {
    if (!canvas_) canvas_ = std::make_unique<TBitmapCanvas>(*this);
    return *canvas_;
}

void TBitmap::ReadData(TStream& stream, std::int64_t length) {
    std::vector<std::uint8_t> holder;
    const std::int64_t start = stream.Position();
    const ByteSpan bytes = StreamBytes(stream, holder, length > 0 ? static_cast<std::uint64_t>(length) : 0);
    // Bytes that outlive the stream may keep the rows; a copy read into the
    // holder is ours alone, and the rows are copied out of it.
    std::shared_ptr<const void> owner = stream.Memory() ? stream.MemoryOwner() : nullptr;
    Adopt(DecodeBmp(bytes, kDefaultLimits, std::move(owner)));
    SkipConsumed(stream, start, bytes, bytes.size());
}

void TBitmap::Adopt(DecodedPicture picture) {
    auto store = std::make_unique<TBitmapImage>();
    if (picture.raster) {
        store->description = DescribeRaster(*picture.raster, picture.dib);
        if (picture.hasFileHeader && picture.dib) {
            auto& h = store->description.header;
            h.sizeImage = picture.fileHeader.sizeImage;
            h.xPelsPerMeter = picture.fileHeader.xPelsPerMeter;
            h.yPelsPerMeter = picture.fileHeader.yPelsPerMeter;
            h.clrUsed = picture.fileHeader.clrUsed;
            h.clrImportant = picture.fileHeader.clrImportant;
        }
    }
    store->raster = std::move(picture.raster);
    store->dibSection = store->raster && picture.dib;
    store->palette = std::move(picture.palette);
    store->os2Format = picture.os2Format;
    InstallStore(store.release());
    paletteModified_ = image_->palette != nullptr;
    Changed();
}

void TBitmap::ReadFromStream(TStream& stream) { ReadData(stream, stream.Size() - stream.Position()); }

void TBitmap::LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner) {
    Adopt(DecodeBmp(bytes, limits, std::move(owner)));
}

void TBitmap::ReadStoredData(TStream& stream) {
    std::int32_t length = 0;
    stream.ReadBuffer(&length, 4);
    ReadData(stream, length < 0 ? 0 : length);
}

void TBitmap::WriteStoredData(TStream& stream) const {
    TMemoryStream data;
    WriteToStream(data);
    const auto length = static_cast<std::int32_t>(data.Size());
    stream.WriteBuffer(&length, 4);
    stream.WriteBuffer(data.Memory(), data.Bytes().size());
}

void TBitmap::WriteToStream(TStream& stream) const {
    if (!IsEmpty()) WriteBitmapFile(*this, stream);
}

void TBitmap::ReadClipboard(unsigned, std::uintptr_t, const platform::Palette*) {
    throw EInvalidGraphic("Unsupported clipboard format");
}

void TBitmap::WriteClipboard(unsigned&, std::uintptr_t&, platform::Palette*&) const {
    throw EInvalidGraphic("Unsupported clipboard format");
}

}  // namespace duvo
