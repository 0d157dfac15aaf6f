#include "compare/row_convert.h"

#include <cstring>

#include "codecs/compose.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"

namespace duvo::compare_rows {

namespace {

constexpr std::uint32_t Pack(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return r | (g << 8) | (b << 16); }

// One pixel in the 16-bit domain: samples and alpha before composing.
struct Pixel16 {
    std::uint16_t r, g, b, a;
};

inline std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

// Sample x of a row of packed samples of depth 1, 2 or 4, first in the
// highest bits.
inline unsigned Packed(const std::uint8_t* row, int x, int depth) {
    const int perByte = 8 / depth;
    const int shift = 8 - depth * (x % perByte + 1);
    return (row[x / perByte] >> shift) & ((1u << depth) - 1);
}

// Depths below 8 widened by bit replication.
inline unsigned Widen(unsigned v, int depth) { return depth == 1 ? v * 255 : depth == 2 ? v * 85 : v * 17; }

}  // namespace

// Every layout as a pixel reader: Get gives pixel x in the 16-bit domain, so
// one generic loop serves the colors and the side values of the rare
// layouts; the common ones have loops of their own.
template <class Pixel>
struct Reading {
    static const std::uint32_t* Colors(const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        const Pixel pixel{r};
        for (int i = 0; i < n; ++i) {
            const Pixel16 p = pixel.Get(row, x0 + i);
            if (Pixel::kDeep) {
                const auto cr = OverWhite16(p.r, p.a), cg = OverWhite16(p.g, p.a), cb = OverWhite16(p.b, p.a);
                dst[i] = Pack(Round16To8(cr), Round16To8(cg), Round16To8(cb));
            } else {
                dst[i] = Pack(OverWhite8(p.r, p.a), OverWhite8(p.g, p.a), OverWhite8(p.b, p.a));
            }
        }
        return dst;
    }
    static void Side(const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint8_t* alpha,
                     std::uint16_t* deep) {
        const Pixel pixel{r};
        for (int i = 0; i < n; ++i) {
            const Pixel16 p = pixel.Get(row, x0 + i);
            if (Pixel::kDeep) {
                if (alpha) alpha[i] = Round16To8(p.a);
                if (deep) {
                    deep[4 * i] = OverWhite16(p.r, p.a);
                    deep[4 * i + 1] = OverWhite16(p.g, p.a);
                    deep[4 * i + 2] = OverWhite16(p.b, p.a);
                    deep[4 * i + 3] = p.a;
                }
            } else {
                if (alpha) alpha[i] = static_cast<std::uint8_t>(p.a);
                if (deep) {
                    deep[4 * i] = static_cast<std::uint16_t>(OverWhite8(p.r, p.a) * 257);
                    deep[4 * i + 1] = static_cast<std::uint16_t>(OverWhite8(p.g, p.a) * 257);
                    deep[4 * i + 2] = static_cast<std::uint16_t>(OverWhite8(p.b, p.a) * 257);
                    deep[4 * i + 3] = static_cast<std::uint16_t>(p.a * 257);
                }
            }
        }
    }
};

namespace {

// ---- pixels of each layout -----------------------------------------------------------
// 8-bit readers give samples 0..255 and alpha 0..255; deep readers 0..65535.

struct IndexPixel {
    static constexpr bool kDeep = false;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const int depth = r.Format().bitDepth;
        const unsigned i = depth == 8 ? row[x] : Packed(row, x, depth);
        const Rgba8& e = r.Format().palette[i];
        // Entries past the palette are opaque black.
        if (static_cast<int>(i) >= r.Format().paletteSize) return {0, 0, 0, 255};
        return {e.red, e.green, e.blue, e.alpha};
    }
};

struct GrayPixel {
    static constexpr bool kDeep = false;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const RowFormat& f = r.Format();
        const unsigned raw = f.bitDepth == 8 ? row[x] : Packed(row, x, f.bitDepth);
        const auto v = static_cast<std::uint16_t>(f.bitDepth == 8 ? raw : Widen(raw, f.bitDepth));
        const std::uint16_t a = f.hasColorKey && raw == f.colorKey[0] ? 0 : 255;
        return {v, v, v, a};
    }
};

struct Gray16Pixel {
    static constexpr bool kDeep = true;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint16_t v = Be16(row + 2 * static_cast<std::size_t>(x));
        const RowFormat& f = r.Format();
        const std::uint16_t a = f.hasColorKey && v == f.colorKey[0] ? 0 : 65535;
        return {v, v, v, a};
    }
};

struct GrayAlphaPixel {
    static constexpr bool kDeep = false;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 2 * static_cast<std::size_t>(x);
        return {p[0], p[0], p[0], p[1]};
    }
};

struct GrayAlpha16Pixel {
    static constexpr bool kDeep = true;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 4 * static_cast<std::size_t>(x);
        const std::uint16_t v = Be16(p);
        return {v, v, v, Be16(p + 2)};
    }
};

struct RgbPixel {
    static constexpr bool kDeep = false;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
        const RowFormat& f = r.Format();
        const bool key = f.hasColorKey && p[0] == f.colorKey[0] && p[1] == f.colorKey[1] && p[2] == f.colorKey[2];
        return {p[0], p[1], p[2], static_cast<std::uint16_t>(key ? 0 : 255)};
    }
};

struct Rgb16Pixel {
    static constexpr bool kDeep = true;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 6 * static_cast<std::size_t>(x);
        const std::uint16_t red = Be16(p), green = Be16(p + 2), blue = Be16(p + 4);
        const RowFormat& f = r.Format();
        const bool key = f.hasColorKey && red == f.colorKey[0] && green == f.colorKey[1] && blue == f.colorKey[2];
        return {red, green, blue, static_cast<std::uint16_t>(key ? 0 : 65535)};
    }
};

struct RgbaPixel {
    static constexpr bool kDeep = false;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 4 * static_cast<std::size_t>(x);
        return {p[0], p[1], p[2], p[3]};
    }
};

struct Rgba16Pixel {
    static constexpr bool kDeep = true;
    const RowReader& r;
    Pixel16 Get(const std::uint8_t* row, int x) const {
        const std::uint8_t* p = row + 8 * static_cast<std::size_t>(x);
        return {Be16(p), Be16(p + 2), Be16(p + 4), Be16(p + 6)};
    }
};

}  // namespace

// The readers need RowReader's private tables; they are its friends through Reading.
template <>
struct Reading<void> {
    static const std::uint32_t* Bgr(const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        r.kernels_->unpack24(row + static_cast<std::size_t>(x0) * 3, dst, n);
        return dst;
    }
    static const std::uint32_t* Bgrx(const RowReader&, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 4;
        for (int i = 0; i < n; ++i, p += 4) dst[i] = Pack(p[2], p[1], p[0]);
        return dst;
    }
    static const std::uint32_t* Index8(const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        r.kernels_->decode8(*r.table_, row + x0, dst, n);
        return dst;
    }
    static const std::uint32_t* IndexLow(const RowReader& r, const std::uint8_t* row, int x0, int n,
                                         std::uint32_t* dst) {
        const int depth = r.format_.bitDepth;
        for (int i = 0; i < n; ++i) dst[i] = r.lut_[Packed(row, x0 + i, depth)];
        return dst;
    }
    static const std::uint32_t* Masked16(const RowReader& r, const std::uint8_t* row, int x0, int n,
                                         std::uint32_t* dst) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 2;
        for (int i = 0; i < n; ++i, p += 2) dst[i] = r.lut_[p[0] | (p[1] << 8)];
        return dst;
    }
    static const std::uint32_t* Masked32(const RowReader& r, const std::uint8_t* row, int x0, int n,
                                         std::uint32_t* dst) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 4;
        const std::uint32_t* lut = r.lut_.data();
        for (int i = 0; i < n; ++i, p += 4) {
            std::uint32_t px;
            std::memcpy(&px, p, 4);
            dst[i] = lut[(px & r.mask_[0]) >> r.shift_[0]] | lut[256 + ((px & r.mask_[1]) >> r.shift_[1])] |
                     lut[512 + ((px & r.mask_[2]) >> r.shift_[2])];
        }
        return dst;
    }
    static const std::uint32_t* Gray8(const RowReader&, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        for (int i = 0; i < n; ++i) dst[i] = row[x0 + i] * 0x010101u;
        return dst;
    }
    static const std::uint32_t* Rgb8(const RowReader&, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 3;
        for (int i = 0; i < n; ++i, p += 3) dst[i] = Pack(p[0], p[1], p[2]);
        return dst;
    }
    // Mostly opaque, as screenshots are: opaque pixels are their word with the
    // alpha byte cleared, the rest composed over white.
    static const std::uint32_t* Rgba8(const RowReader&, const std::uint8_t* row, int x0, int n, std::uint32_t* dst) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 4;
        // A run wholly opaque is its words with the alpha bytes cleared, in a
        // loop without branches.
        std::uint32_t opaque = 0xFF000000u;
        for (int i = 0; i < n; ++i) {
            std::uint32_t w;
            std::memcpy(&w, p + 4 * i, 4);
            opaque &= w;
            dst[i] = w & 0xFFFFFF;
        }
        if (opaque == 0xFF000000u) return dst;
        for (int i = 0; i < n; ++i, p += 4) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            const std::uint32_t a = w >> 24;
            dst[i] = a == 255 ? (w & 0xFFFFFF) : Pack(OverWhite8(p[0], a), OverWhite8(p[1], a), OverWhite8(p[2], a));
        }
        return dst;
    }
    // The alpha of 8-bit RGBA without taking the pixels apart; the samples
    // by the general reader.
    static void Rgba8Side(const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint8_t* alpha,
                          std::uint16_t* deep) {
        if (deep) return Reading<RgbaPixel>::Side(r, row, x0, n, alpha, deep);
        if (!alpha) return;
        const std::uint8_t* p = row + static_cast<std::size_t>(x0) * 4 + 3;
        for (int i = 0; i < n; ++i) alpha[i] = p[4 * i];
    }
};

RowReader::RowReader(const RowFormat& format, const Kernels& kernels) : format_(format), kernels_(&kernels) {
    using Fast = Reading<void>;
    alpha_ = format.MayHaveAlpha();
    deep_ = format.Deep();
    switch (format.layout) {
        case RowLayout::Index: {
            if (format.bitDepth != 1 && format.bitDepth != 2 && format.bitDepth != 4 && format.bitDepth != 8)
                throw EInvalidGraphic(msg::InvalidPixelFormat);
            std::array<std::uint32_t, 256> colors{};
            for (int i = 0; i < 256; ++i) {
                const Rgba8& e = format.palette[static_cast<std::size_t>(i)];
                const bool in = i < format.paletteSize;
                const std::uint32_t a = in ? e.alpha : 255;
                paletteAlpha_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a);
                colors[static_cast<std::size_t>(i)] =
                    in ? Pack(OverWhite8(e.red, a), OverWhite8(e.green, a), OverWhite8(e.blue, a)) : 0;
            }
            lut_.assign(colors.begin(), colors.end());
            if (format.bitDepth == 8) {
                table_ = std::make_unique<ColorTable>(colors);
                colors_ = Fast::Index8;
            } else {
                colors_ = Fast::IndexLow;
            }
            side_ = Reading<IndexPixel>::Side;
            break;
        }
        case RowLayout::Gray:
            if (format.bitDepth == 16) {
                colors_ = Reading<Gray16Pixel>::Colors;
                side_ = Reading<Gray16Pixel>::Side;
            } else {
                colors_ = format.bitDepth == 8 && !format.hasColorKey ? Fast::Gray8 : Reading<GrayPixel>::Colors;
                side_ = Reading<GrayPixel>::Side;
            }
            break;
        case RowLayout::GrayAlpha:
            colors_ = format.bitDepth == 16 ? Reading<GrayAlpha16Pixel>::Colors : Reading<GrayAlphaPixel>::Colors;
            side_ = format.bitDepth == 16 ? Reading<GrayAlpha16Pixel>::Side : Reading<GrayAlphaPixel>::Side;
            break;
        case RowLayout::Rgb:
            if (format.bitDepth == 16) {
                colors_ = Reading<Rgb16Pixel>::Colors;
                side_ = Reading<Rgb16Pixel>::Side;
            } else {
                colors_ = format.hasColorKey ? Reading<RgbPixel>::Colors : Fast::Rgb8;
                side_ = Reading<RgbPixel>::Side;
            }
            break;
        case RowLayout::Rgba:
            colors_ = format.bitDepth == 16 ? Reading<Rgba16Pixel>::Colors : Fast::Rgba8;
            side_ = format.bitDepth == 16 ? Reading<Rgba16Pixel>::Side : Fast::Rgba8Side;
            break;
        case RowLayout::Bgr:
            colors_ = Fast::Bgr;
            bgr24_ = true;
            break;
        case RowLayout::Bgrx:
            colors_ = Fast::Bgrx;
            break;
        case RowLayout::Masked:
            if (format.bitDepth == 16) {
                const platform::MaskChannel red(format.masks[0]), green(format.masks[1]), blue(format.masks[2]);
                lut_.resize(65536);
                for (std::uint32_t px = 0; px < 65536; ++px)
                    lut_[px] = red.Read8(px) | (green.Read8(px) << 8) | (blue.Read8(px) << 16);
                colors_ = Fast::Masked16;
            } else if (format.bitDepth == 32) {
                // Each channel is cut to at most 8 bits by one mask and shift
                // and widened through a 256-entry table, which is what
                // MaskChannel::Read8 computes.
                lut_.assign(3 * 256, 0);
                for (int c = 0; c < 3; ++c) {
                    const platform::MaskChannel ch(format.masks[static_cast<std::size_t>(c)]);
                    const int s = ch.bits > 8 ? ch.shift + ch.bits - 8 : ch.shift;
                    mask_[static_cast<std::size_t>(c)] = ch.mask;
                    shift_[static_cast<std::size_t>(c)] = s;
                    for (std::uint32_t i = 0; i < 256; ++i) {
                        const std::uint32_t px = s < 32 ? static_cast<std::uint32_t>(std::uint64_t{i} << s) : 0;
                        lut_[static_cast<std::size_t>(c) * 256 + i] = ch.Read8(px) << (8 * c);
                    }
                }
                colors_ = Fast::Masked32;
            } else {
                throw EInvalidGraphic(msg::InvalidPixelFormat);
            }
            break;
    }
    if (!side_) {
        // Opaque 8-bit layouts: alpha 255, samples widened.
        side_ = [](const RowReader& r, const std::uint8_t* row, int x0, int n, std::uint8_t* alpha,
                   std::uint16_t* deep) {
            std::uint32_t colors[kRunPixels];
            r.colors_(r, row, x0, n, colors);
            for (int i = 0; i < n; ++i) {
                if (alpha) alpha[i] = 255;
                if (deep) {
                    deep[4 * i] = static_cast<std::uint16_t>((colors[i] & 0xFF) * 257);
                    deep[4 * i + 1] = static_cast<std::uint16_t>(((colors[i] >> 8) & 0xFF) * 257);
                    deep[4 * i + 2] = static_cast<std::uint16_t>((colors[i] >> 16) * 257);
                    deep[4 * i + 3] = 65535;
                }
            }
        };
    }
}

RowReader::~RowReader() = default;
RowReader::RowReader(RowReader&&) noexcept = default;
RowReader& RowReader::operator=(RowReader&&) noexcept = default;

void RowReader::Side(const std::uint8_t* row, int x0, int n, std::uint8_t* alpha, std::uint16_t* deep) const {
    side_(*this, row, x0, n, alpha, deep);
}

bool SameRowBytesMeanSamePixels(const RowFormat& a, const RowFormat& b) {
    if (a.layout != b.layout || a.bitDepth != b.bitDepth) return false;
    switch (a.layout) {
        case RowLayout::Index:
            if (a.paletteSize != b.paletteSize) return false;
            for (int i = 0; i < a.paletteSize; ++i)
                if (!(a.palette[static_cast<std::size_t>(i)] == b.palette[static_cast<std::size_t>(i)])) return false;
            return true;
        case RowLayout::Gray:
        case RowLayout::Rgb:
            return a.hasColorKey == b.hasColorKey && (!a.hasColorKey || a.colorKey == b.colorKey);
        case RowLayout::Masked:
            return a.masks == b.masks;
        default:
            return true;
    }
}

}  // namespace duvo::compare_rows
