#include "reference/png_spng.h"

#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "codecs/png/png_writer.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;

namespace {

struct CtxFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxFree>;

[[noreturn]] void Fail(int rc) {
    // A file cut short is the common damage; say so plainly.
    const char* why = rc == SPNG_IO_EOF ? "the file ends too early" : spng_strerror(rc);
    throw EInvalidGraphic(Format(msg::PNGError, {why}));
}

void Check(int rc) {
    if (rc != 0) Fail(rc);
}

// The library reads the bytes where they lie; its sides are checked against
// the format's maximum only, the pixel limit is ours, checked before the
// library allocates anything.
Ctx Open(ByteSpan bytes, const Limits& limits, spng_ihdr& ihdr) {
    Ctx ctx(spng_ctx_new(0));
    if (!ctx) throw EOutOfMemory(msg::OutOfMemory);
    Check(spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size()));
    Check(spng_set_image_limits(ctx.get(), 0x7FFFFFFF, 0x7FFFFFFF));
    Check(spng_set_chunk_limits(ctx.get(), std::size_t{16} << 20, std::size_t{64} << 20));
    Check(spng_get_ihdr(ctx.get(), &ihdr));
    CheckPictureSize(ihdr.width, ihdr.height, limits);
    return ctx;
}

// Red and blue change places: the library gives R, G, B and a 24-bit raster
// holds B, G, R.
void SwapRedBlue(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
}

void FromRgba8(const std::uint8_t* src, int width, std::uint8_t* out, std::uint8_t* alpha) {
    for (int x = 0; x < width; ++x, src += 4, out += 3) {
        const std::uint32_t a = src[3];
        out[0] = OverWhite8(src[2], a);
        out[1] = OverWhite8(src[1], a);
        out[2] = OverWhite8(src[0], a);
        alpha[x] = static_cast<std::uint8_t>(a);
    }
}

void FromRgba16(const std::uint16_t* src, int width, std::uint8_t* out, std::uint8_t* alpha, std::uint16_t* deep) {
    for (int x = 0; x < width; ++x, src += 4, out += 3, deep += 4) {
        const std::uint32_t a = src[3];
        for (int c = 0; c < 3; ++c) deep[c] = OverWhite16(src[c], a);
        deep[3] = static_cast<std::uint16_t>(a);
        out[0] = Round16To8(deep[2]);
        out[1] = Round16To8(deep[1]);
        out[2] = Round16To8(deep[0]);
        if (alpha) alpha[x] = Round16To8(a);
    }
}

}  // namespace

PngDecoded DecodePng(ByteSpan bytes, const Limits& limits) {
    spng_ihdr ihdr{};
    const Ctx ctx = Open(bytes, limits, ihdr);
    const int width = static_cast<int>(ihdr.width);
    const int height = static_cast<int>(ihdr.height);
    const std::uint64_t pixels = std::uint64_t{ihdr.width} * ihdr.height;

    spng_trns trns{};
    const int trnsRc = spng_get_trns(ctx.get(), &trns);
    if (trnsRc != 0 && trnsRc != SPNG_ECHUNKAVAIL) Fail(trnsRc);
    const bool hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                          ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || trnsRc == 0;
    const bool deep = ihdr.bit_depth == 16;
    const bool interlaced = ihdr.interlace_method != 0;

    const int fmt = deep ? SPNG_FMT_RGBA16 : hasAlpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    const std::uint64_t decodeBytesPerPixel = deep ? 8 : hasAlpha ? 4 : 0;

    PngDecoded out;
    out.bitDepth = ihdr.bit_depth;
    out.colorType = ihdr.color_type;
    out.interlaced = interlaced;
    platform::RasterFormat format;
    format.bitCount = 24;
    std::shared_ptr<Raster> raster = Raster::Create(width, -height, format, nullptr, 0, Raster::Fill::Zero);
    if (hasAlpha) out.side.alpha.resize(pixels);
    if (deep) out.side.deep.resize(pixels * 4);

    Check(spng_decode_image(ctx.get(), nullptr, 0, fmt, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE));
    // Interlaced rows come back pass by pass, each pass adding pixels to rows
    // already seen, so the conversion waits for the last pass.
    const std::size_t rowBytes = static_cast<std::size_t>(width) * (fmt == SPNG_FMT_RGB8 ? 3 : decodeBytesPerPixel);
    std::vector<std::uint8_t> staging;
    if (fmt != SPNG_FMT_RGB8) staging.resize(interlaced ? rowBytes * static_cast<std::size_t>(height) : rowBytes);

    auto convert = [&](int y, const std::uint8_t* src) {
        std::uint8_t* row = raster->Row(y);
        const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        std::uint8_t* alpha = hasAlpha ? out.side.alpha.data() + at : nullptr;
        if (fmt == SPNG_FMT_RGB8)
            SwapRedBlue(row, width);
        else if (fmt == SPNG_FMT_RGBA8)
            FromRgba8(src, width, row, alpha);
        else
            FromRgba16(reinterpret_cast<const std::uint16_t*>(src), width, row, alpha, out.side.deep.data() + 4 * at);
    };

    int rc = 0;
    for (;;) {
        spng_row_info info{};
        rc = spng_get_row_info(ctx.get(), &info);
        if (rc) break;
        const int y = static_cast<int>(info.row_num);
        if (y >= height) Fail(SPNG_EINTERNAL);
        std::uint8_t* dst = fmt == SPNG_FMT_RGB8 ? raster->Row(y)
                            : interlaced         ? staging.data() + rowBytes * static_cast<std::size_t>(y)
                                                 : staging.data();
        rc = spng_decode_row(ctx.get(), dst, rowBytes);
        if (rc && rc != SPNG_EOI) break;
        if (!interlaced) convert(y, dst);
        if (rc == SPNG_EOI) break;
    }
    if (rc != SPNG_EOI) Fail(rc);
    if (interlaced)
        for (int y = 0; y < height; ++y)
            convert(y, fmt == SPNG_FMT_RGB8 ? nullptr : staging.data() + rowBytes * static_cast<std::size_t>(y));
    out.picture.raster = std::move(raster);
    return out;
}

}  // namespace duvo

namespace duvo {

namespace {

// The file's rows in its own layout through the library: one row at a time
// for a plain file, the whole frame first for an interlaced one.
class SpngRows final : public RowSource {
public:
    SpngRows(ByteSpan bytes, const Limits& limits) {
        spng_ihdr ihdr{};
        ctx_ = Open(bytes, limits, ihdr);
        format_.width = static_cast<int>(ihdr.width);
        format_.height = static_cast<int>(ihdr.height);
        format_.bitDepth = ihdr.bit_depth;
        switch (ihdr.color_type) {
            case SPNG_COLOR_TYPE_GRAYSCALE:
                format_.layout = RowLayout::Gray;
                break;
            case SPNG_COLOR_TYPE_TRUECOLOR:
                format_.layout = RowLayout::Rgb;
                break;
            case SPNG_COLOR_TYPE_INDEXED:
                format_.layout = RowLayout::Index;
                break;
            case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
                format_.layout = RowLayout::GrayAlpha;
                break;
            default:
                format_.layout = RowLayout::Rgba;
        }
        spng_trns trns{};
        const int trnsRc = spng_get_trns(ctx_.get(), &trns);
        if (trnsRc != 0 && trnsRc != SPNG_ECHUNKAVAIL) Fail(trnsRc);
        if (format_.layout == RowLayout::Index) {
            spng_plte plte{};
            Check(spng_get_plte(ctx_.get(), &plte));
            format_.paletteSize = static_cast<int>(std::min<std::uint32_t>(plte.n_entries, 256));
            for (int i = 0; i < format_.paletteSize; ++i) {
                const auto& e = plte.entries[i];
                const std::uint8_t a =
                    trnsRc == 0 && static_cast<std::uint32_t>(i) < trns.n_type3_entries ? trns.type3_alpha[i] : 255;
                format_.palette[static_cast<std::size_t>(i)] = {e.red, e.green, e.blue, a};
            }
        } else if (trnsRc == 0 && (format_.layout == RowLayout::Gray || format_.layout == RowLayout::Rgb)) {
            format_.hasColorKey = true;
            format_.colorKey = format_.layout == RowLayout::Gray
                                   ? std::array<std::uint16_t, 3>{trns.gray, 0, 0}
                                   : std::array<std::uint16_t, 3>{trns.red, trns.green, trns.blue};
        }
        interlaced_ = ihdr.interlace_method != 0;
        if (interlaced_) {
            std::size_t size = 0;
            Check(spng_decoded_image_size(ctx_.get(), SPNG_FMT_RAW, &size));
            frame_.resize(size);
            Check(spng_decode_image(ctx_.get(), frame_.data(), frame_.size(), SPNG_FMT_RAW, 0));
        } else {
            Check(spng_decode_image(ctx_.get(), nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE));
        }
    }
    bool Sequential() const override { return !interlaced_; }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        const std::size_t rowBytes = format_.RowBytes();
        for (int i = 0; i < count; ++i, ++next_) {
            if (interlaced_) {
                std::memcpy(dst + i * stride, frame_.data() + rowBytes * static_cast<std::size_t>(next_), rowBytes);
                continue;
            }
            const int rc = spng_decode_row(ctx_.get(), dst + i * stride, rowBytes);
            if (rc != 0 && !(rc == SPNG_EOI && next_ + 1 == format_.height)) Fail(rc);
        }
    }

private:
    Ctx ctx_;
    bool interlaced_ = false;
    std::vector<std::uint8_t> frame_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenPngRowsWithSpng(ByteSpan bytes, const Limits& limits) {
    return std::make_unique<SpngRows>(bytes, limits);
}

}  // namespace duvo
