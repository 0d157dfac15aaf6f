// Rows in their format's own layout turned into what the comparison works
// on, one run of pixels at a time while the run is in the first-level cache:
// packed 0x00BBGGRR colors composed over white, and for formats that have
// them, each pixel's 8-bit alpha and its four 16-bit samples (red, green and
// blue composed over white at 16 bits, then alpha). The conversion is chosen
// once per picture; no per-pixel branch on the format.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/row_source.h"
#include "compare/compare_rows.h"

namespace duvo::compare_rows {

class RowReader {
public:
    RowReader(const RowFormat& format, const Kernels& kernels);
    ~RowReader();
    RowReader(RowReader&&) noexcept;
    RowReader& operator=(RowReader&&) noexcept;

    // The colors of pixels x0 .. x0 + n - 1 (n at most kRunPixels) of row,
    // in dst or in another buffer, whose address is returned.
    const std::uint32_t* Colors(const std::uint8_t* row, int x0, int n, std::uint32_t* dst) const {
        return colors_(*this, row, x0, n, dst);
    }
    // The 8-bit alpha and the 16-bit samples (four per pixel) of the same
    // pixels; either may be null. Opaque 8-bit formats give 255 and their
    // samples widened by 257.
    void Side(const std::uint8_t* row, int x0, int n, std::uint8_t* alpha, std::uint16_t* deep) const;

    // Rows of 24-bit blue, green, red, which the kernels take as they are.
    bool Bgr24() const { return bgr24_; }
    // Some pixel may be less than opaque, or has samples beyond 8 bits.
    bool MayHaveAlpha() const { return alpha_; }
    bool Deep() const { return deep_; }
    const RowFormat& Format() const { return format_; }

private:
    using ColorsFn = const std::uint32_t* (*)(const RowReader&, const std::uint8_t*, int, int, std::uint32_t*);
    using SideFn = void (*)(const RowReader&, const std::uint8_t*, int, int, std::uint8_t*, std::uint16_t*);

    template <class Pixel>
    friend struct Reading;

    RowFormat format_;
    const Kernels* kernels_;
    ColorsFn colors_ = nullptr;
    SideFn side_ = nullptr;
    bool bgr24_ = false, alpha_ = false, deep_ = false;
    // Per format: colors of indices or 16-bit words, and the palette's alpha.
    std::vector<std::uint32_t> lut_;
    std::unique_ptr<ColorTable> table_;
    std::array<std::uint8_t, 256> paletteAlpha_{};
    // 32-bit bit fields: each channel's mask and shift to its top 8 bits.
    std::array<std::uint32_t, 3> mask_{};
    std::array<int, 3> shift_{};
};

// Whether two formats give the same colors, alpha and samples for the same
// bytes, so that rows equal byte for byte are equal pixels.
bool SameRowBytesMeanSamePixels(const RowFormat& a, const RowFormat& b);

}  // namespace duvo::compare_rows
