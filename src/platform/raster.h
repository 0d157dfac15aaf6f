// Our stand-in for the platform's raster graphics: a device-independent raster
// with a BMP-style layout (4-byte aligned rows, bottom-up or top-down, a color
// table for indexed pixels, bit-field masks), palettes, and the per-pixel read
// and write that the drawing surface rests on. The screen is 24 bits per pixel,
// so a "device" raster is simply a 24-bit one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace duvo {

// 0x00BBGGRR; negative values name system colors.
using TColor = std::int32_t;
inline constexpr TColor kInvalidColor = static_cast<TColor>(0xFFFFFFFF);
inline constexpr TColor kWhite = 0x00FFFFFF;

namespace platform {

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;

inline constexpr int kScreenBitsPerPixel = 24;

struct RGBQuad {
    std::uint8_t blue = 0, green = 0, red = 0, reserved = 0;
};

struct PaletteEntry {
    std::uint8_t red = 0, green = 0, blue = 0, flags = 0;
};

// A logical palette (1 to 256 entries). Whoever holds one owns it alone.
struct Palette {
    std::vector<PaletteEntry> entries;
};
std::unique_ptr<Palette> PaletteFromColorTable(const RGBQuad* colors, int count);
std::unique_ptr<Palette> HalftonePalette();
// The 16 colors of the platform's standard VGA palette.
const Palette& SystemPalette16();

// The BMP info header as the platform keeps it in a bitmap's description.
struct BitmapInfoHeader {
    std::uint32_t size = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
    std::uint32_t sizeImage = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
    std::uint32_t clrUsed = 0;
    std::uint32_t clrImportant = 0;
};

// Row stride and total bytes of a width x height raster of the given depth.
// False when a dimension is not positive or above 2^31 - 1, or the depth is
// not 1 to 32 bits. The pixel count is the caller's to check (Limits).
bool RasterSize(std::int64_t width, std::int64_t height, int bitCount, std::size_t* stride, std::size_t* total);

struct RasterFormat {
    int bitCount = 24;
    std::uint32_t compression = BI_RGB;    // BI_RGB or BI_BITFIELDS
    std::array<std::uint32_t, 3> masks{};  // red, green, blue (bit fields only)
};

// Widens a channel read through a bit-field mask to 8 bits by bit replication
// (5-bit 31 gives 255).
struct MaskChannel {
    int shift = 0;
    int bits = 0;
    std::uint32_t mask = 0;
    MaskChannel() = default;
    explicit MaskChannel(std::uint32_t m);
    std::uint32_t Read8(std::uint32_t pixel) const;
    std::uint32_t Write8(std::uint32_t value8) const;
};

class Raster {
public:
    enum class Fill { Zero, White };

    // height > 0: rows stored bottom-up; height < 0: top-down. A picture
    // above the program's pixel limit is refused (EPictureTooLarge); memory
    // the system will not give is EOutOfMemory.
    static std::unique_ptr<Raster> Create(int width, int height, const RasterFormat& format, const RGBQuad* colors,
                                          int colorCount, Fill fill);
    // A raster over rows that lie elsewhere, in the layout Create would give
    // them (a BMP file's pixel data in a mapped or read file): nothing is
    // copied, owner keeps the bytes alive, and the raster is read-only.
    static std::unique_ptr<Raster> Borrow(int width, int height, const RasterFormat& format, const RGBQuad* colors,
                                          int colorCount, const std::uint8_t* bits, std::shared_ptr<const void> owner);
    ~Raster();
    Raster(const Raster&) = delete;
    Raster& operator=(const Raster&) = delete;

    // A private, writable copy (also of a borrowed raster).
    std::unique_ptr<Raster> Clone() const;
    // Borrowed rows must not be written: whoever wants to write clones first.
    bool ReadOnly() const { return owner_ != nullptr; }

    int Width() const { return width_; }
    int Height() const { return height_; }
    bool BottomUp() const { return bottomUp_; }
    int SignedHeight() const { return bottomUp_ ? height_ : -height_; }
    int BitCount() const { return format_.bitCount; }
    const RasterFormat& Format() const { return format_; }
    std::size_t Stride() const { return stride_; }
    std::size_t ImageSize() const { return stride_ * static_cast<std::size_t>(height_); }
    std::uint8_t* Bits() { return bits_; }
    const std::uint8_t* Bits() const { return bits_; }

    // Row y counted from the top.
    std::uint8_t* Row(int y) { return bits_ + StoredRow(y) * stride_; }
    const std::uint8_t* Row(int y) const { return bits_ + StoredRow(y) * stride_; }
    std::ptrdiff_t RowStep() const {
        return bottomUp_ ? -static_cast<std::ptrdiff_t>(stride_) : static_cast<std::ptrdiff_t>(stride_);
    }

    // Full 256-entry table; entries past ColorCount() are black.
    const std::array<RGBQuad, 256>& Colors() const { return colors_; }
    int ColorCount() const { return colorCount_; }
    void SetColors(const RGBQuad* colors, int count);

    // Platform pixel access: 0x00BBGGRR, outside reads give kInvalidColor and
    // outside writes are ignored. Indexed writes pick the nearest table color.
    TColor GetPixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);

    void FillWhite();
    // Block copy of src onto this raster at (0, 0), over the common area.
    void CopyFrom(const Raster& src);

    // Colors of an indexed raster as 0x00BBGGRR, for fast row readers.
    std::array<std::uint32_t, 256> ColorLookup() const;
    // Index of the table color nearest to color.
    int NearestIndex(TColor color) const;
    // Writes a color-table index into an indexed raster (in range only).
    void SetIndex(int x, int y, int index);

private:
    Raster() = default;
    void Init(int width, int height, const RasterFormat& format, std::size_t stride, std::uint8_t* bits,
              const RGBQuad* colors, int colorCount);
    std::size_t StoredRow(int y) const {
        return bottomUp_ ? static_cast<std::size_t>(height_ - 1 - y) : static_cast<std::size_t>(y);
    }

    int width_ = 0;
    int height_ = 0;
    bool bottomUp_ = true;
    RasterFormat format_;
    std::array<MaskChannel, 3> channels_{};  // red, green, blue of 16- and 32-bit pixels
    std::size_t stride_ = 0;
    std::uint8_t* bits_ = nullptr;
    bool mapped_ = false;                // bits_ is a mapping of ImageSize() bytes, not heap memory
    std::shared_ptr<const void> owner_;  // set for borrowed bits, which we neither write nor free
    std::array<RGBQuad, 256> colors_{};
    int colorCount_ = 0;
};

// Default masks: 5-5-5 for 16 bits without bit fields, 8-8-8 for 32 bits.
std::array<std::uint32_t, 3> EffectiveMasks(const RasterFormat& format);

// The platform's system colors (negative TColor values) in 0x00BBGGRR.
TColor ColorToRGB(TColor color);

}  // namespace platform
}  // namespace duvo
