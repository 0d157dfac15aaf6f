#include "graphics/bitmap_rows.h"

#include <cstring>

#include "codecs/bmp/bmp_decoder.h"
#include "rtl/exceptions.h"

namespace duvo {

namespace {

class RasterRows final : public RowSource {
public:
    RasterRows(std::shared_ptr<const platform::Raster> raster, int width, int height) : raster_(std::move(raster)) {
        if (!raster_) return;
        const int bits = raster_->BitCount();
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
            throw EInvalidGraphic(msg::InvalidPixelFormat);
        // The rows are read straight from the raster, so it must hold the picture.
        if (raster_->Width() < width || raster_->Height() < height) throw EInvalidGraphic(msg::InvalidBitmap);
        format_ = RowFormatOf(raster_->Format(), width, height, raster_->Colors().data(), raster_->ColorCount());
        // GetPixel reads the whole 256-entry table, whose unused entries are black.
        if (format_.layout == RowLayout::Index) format_.paletteSize = 256;
        for (int i = 0; i < 256 && format_.layout == RowLayout::Index; ++i) {
            const platform::RGBQuad& c = raster_->Colors()[static_cast<std::size_t>(i)];
            format_.palette[static_cast<std::size_t>(i)] = {c.red, c.green, c.blue, 255};
        }
    }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) std::memcpy(dst + i * stride, raster_->Row(next_), format_.RowBytes());
    }
    const std::uint8_t* RowInPlace(int y) const override { return raster_ ? raster_->Row(y) : nullptr; }

private:
    std::shared_ptr<const platform::Raster> raster_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> BitmapRows(const TBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    return std::make_unique<RasterRows>(w > 0 && h > 0 ? bitmap.SharedRaster() : nullptr, std::max(w, 0),
                                        std::max(h, 0));
}

}  // namespace duvo
