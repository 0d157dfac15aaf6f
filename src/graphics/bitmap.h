// The bitmap: a raster in a reference-counted, copy-on-write store, its
// drawing surface for one-pixel reads and writes, and row access for the
// code that works on whole rows.
#pragma once

#include <atomic>
#include <memory>

#include "codecs/decoded.h"
#include "graphics/graphics.h"
#include "platform/raster.h"

namespace duvo {

class TBitmap;

// Reference-counted shared data; Release frees it when the count reaches 0.
class TSharedImage {
public:
    virtual ~TSharedImage() = default;
    void Reference() { refCount_.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            FreeHandle();
            delete this;
        }
    }
    int RefCount() const { return refCount_.load(std::memory_order_acquire); }

protected:
    virtual void FreeHandle() {}

private:
    std::atomic<int> refCount_{0};
};

// What the platform reports about a bitmap: the BITMAP part and the header.
struct TDibDescription {
    int bmWidth = 0;
    int bmHeight = 0;
    int bmPlanes = 0;
    int bmBitsPixel = 0;
    bool hasBits = false;
    platform::BitmapInfoHeader header;  // size 0 for a device bitmap
    std::array<std::uint32_t, 3> masks{};
};

class TBitmapImage : public TSharedImage {
public:
    // The raster doubles as device-bitmap and DIB-section handle; dibSection
    // says whether it is addressed as a DIB (smDIB) or kept as a device bitmap.
    // A decoder's raster may be read-only (rows borrowed from a file's bytes);
    // every writer takes a private copy first.
    std::shared_ptr<platform::Raster> raster;
    bool dibSection = false;
    std::unique_ptr<platform::Palette> palette;
    TDibDescription description;
    bool os2Format = false;
    bool halftone = false;

protected:
    void FreeHandle() override {
        raster.reset();
        palette.reset();
    }
};

enum class TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };
// The names used throughout the program.
using TPixelKind = TPixelFormat;
inline constexpr TPixelKind pkDevice = TPixelFormat::pfDevice;
inline constexpr TPixelKind pk1Bit = TPixelFormat::pf1bit;
inline constexpr TPixelKind pk4Bit = TPixelFormat::pf4bit;
inline constexpr TPixelKind pk8Bit = TPixelFormat::pf8bit;
inline constexpr TPixelKind pk15Bit = TPixelFormat::pf15bit;
inline constexpr TPixelKind pk16Bit = TPixelFormat::pf16bit;
inline constexpr TPixelKind pk24Bit = TPixelFormat::pf24bit;
inline constexpr TPixelKind pk32Bit = TPixelFormat::pf32bit;
inline constexpr TPixelKind pkCustom = TPixelFormat::pfCustom;

enum class TStorageMode { smDevice, smDIB };
enum class TTransparentMode { tmAuto, tmFixed };

// The drawing surface. ReadPixel and WritePixel are the only per-pixel entry
// points; hot loops use rows instead.
class TCanvas {
public:
    virtual ~TCanvas() = default;
    virtual TColor ReadPixel(int x, int y) = 0;
    virtual void WritePixel(int x, int y, TColor color) = 0;
    // The bitmap behind the surface, when it is a bitmap's.
    virtual TBitmap* Bitmap() const { return nullptr; }
};

class TBitmapCanvas final : public TCanvas {
public:
    explicit TBitmapCanvas(TBitmap& bitmap) : bitmap_(bitmap) {}
    TColor ReadPixel(int x, int y) override;
    void WritePixel(int x, int y, TColor color) override;
    TBitmap* Bitmap() const override { return &bitmap_; }

private:
    TBitmap& bitmap_;
};

class TBitmap : public TGraphic {
    DUVO_CLASS(TBitmap)
public:
    TBitmap();
    ~TBitmap() override;

    void CopyTo(TPersistent* dest) const override;
    void CopyFrom(const TPersistent* source) override;
    void NotifyChanged(TPersistent* sender) override;
    void DrawTo(TCanvas& canvas, const TRect& rect) override;
    bool IsEmpty() const override;
    int GetHeight() const override;
    const platform::Palette* GetPalette() const override;
    int GetWidth() const override;
    void ReadStoredData(TStream& stream) override;
    void SetHeight(int value) override;
    void SetPalette(std::unique_ptr<platform::Palette> palette) override;
    void SetWidth(int value) override;
    void WriteStoredData(TStream& stream) const override;
    void ReadFromStream(TStream& stream) override;
    void LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner = nullptr) override;
    void WriteToStream(TStream& stream) const override;
    void ReadClipboard(unsigned format, std::uintptr_t data, const platform::Palette* palette) override;
    void WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const override;
    // TBitmap's own slots.
    virtual platform::Raster* GetHandle();
    virtual platform::Raster* GetMaskHandle();
    virtual void SetStorageMode(TStorageMode mode);

    // Reads BMP data of the given length from the stream's position.
    void ReadData(TStream& stream, std::int64_t length);
    // Takes over a decoder's picture as a new store, in one step.
    void Adopt(DecodedPicture picture);

    TPixelKind PixelKind() const;
    void SetPixelKind(TPixelKind kind);
    TStorageMode StorageMode() const;
    // Address of row y (0 = top); rows of other bitmaps sharing the store are
    // the same memory, so callers write only into bitmaps they own alone.
    std::uint8_t* RowAddress(int row);
    const std::uint8_t* RowAddress(int row) const;
    // Gives the bitmap a private store when it shares one, or when its rows
    // are borrowed and must not be written.
    void PrepareChange();
    TCanvas& Canvas();

    // The raster behind the bitmap, or none when empty; read-only use.
    const platform::Raster* Raster() const { return image_->raster.get(); }
    // The same, for a holder that must keep the rows alive (a painted view).
    std::shared_ptr<const platform::Raster> SharedRaster() const { return image_->raster; }
    const TBitmapImage* Image() const { return image_; }
    bool SharesStoreWith(const TBitmap& other) const { return image_ == other.image_; }

    TColor TransparentColor() const { return transparentColor_; }
    TTransparentMode TransparentMode() const { return transparentMode_; }
    // Kept for painting code that draws without realizing the palette.
    bool IgnorePalette() const { return ignorePalette_; }
    void SetIgnorePalette(bool value) { ignorePalette_ = value; }

private:
    friend class TBitmapCanvas;
    void InstallStore(TBitmapImage* image);
    void RebuildStore(const TDibDescription& target, const platform::Palette* newPalette, bool keepPixels = true,
                      platform::Raster::Fill fill = platform::Raster::Fill::White);

    TBitmapImage* image_;
    std::unique_ptr<TBitmapCanvas> canvas_;
    TColor transparentColor_ = 0x20000000;
    TTransparentMode transparentMode_ = TTransparentMode::tmAuto;
    bool ignorePalette_ = false;
    bool maskValid_ = false;
};

// Writes a BMP file (file header, 40-byte info header, masks, color table and
// rows in the raster's own order) for a non-empty bitmap.
void WriteBitmapFile(const TBitmap& bitmap, TStream& stream);

}  // namespace duvo
