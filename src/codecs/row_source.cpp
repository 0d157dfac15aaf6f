#include "codecs/row_source.h"

namespace duvo {

bool RowFormat::MayHaveAlpha() const {
    switch (layout) {
        case RowLayout::GrayAlpha:
        case RowLayout::Rgba:
            return true;
        case RowLayout::Gray:
        case RowLayout::Rgb:
            return hasColorKey;
        case RowLayout::Index:
            for (int i = 0; i < paletteSize && i < 256; ++i)
                if (palette[static_cast<std::size_t>(i)].alpha != 255) return true;
            return false;
        default:
            return false;
    }
}

int RowFormat::BitsPerPixel() const {
    switch (layout) {
        case RowLayout::Index:
        case RowLayout::Gray:
        case RowLayout::Masked:
            return bitDepth;
        case RowLayout::GrayAlpha:
            return 2 * bitDepth;
        case RowLayout::Rgb:
            return 3 * bitDepth;
        case RowLayout::Rgba:
            return 4 * bitDepth;
        case RowLayout::Bgr:
            return 24;
        case RowLayout::Bgrx:
            return 32;
    }
    return 0;
}

std::size_t RowFormat::RowBytes() const {
    if (width <= 0) return 0;
    return (static_cast<std::size_t>(width) * static_cast<std::size_t>(BitsPerPixel()) + 7) / 8;
}

}  // namespace duvo
