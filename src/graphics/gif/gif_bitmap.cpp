// A loaded GIF as a bitmap: the first frame only, rendered at 8 bits per
// pixel with its own colors, or dithered into the 216-color web palette for
// a screen of 256 colors or fewer; the logical screen on white around a
// frame that does not cover it. Frame bitmaps, palettes and the image bitmap
// are made on first request and kept.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "graphics/gif/dib.h"
#include "graphics/gif/gif_image.h"
#include "rtl/exceptions.h"

namespace duvo {

using platform::Palette;
using platform::RGBQuad;

namespace {

bool g_autoDitherScreen = platform::kScreenBitsPerPixel * 1 <= 8;

// Every palette the codec hands out says "no-collapse" in its flags.
constexpr std::uint8_t kNoCollapse = 4;

std::unique_ptr<Palette> CopyOf(const Palette* palette) {
    return palette ? std::make_unique<Palette>(*palette) : nullptr;
}

std::unique_ptr<Palette> WebPalette() {
    auto palette = std::make_unique<Palette>();
    palette->entries.reserve(216);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                palette->entries.push_back({static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                                            static_cast<std::uint8_t>(51 * b), 0});
    return palette;
}

// Exactly the map's entries, none added up to a power of two.
std::unique_ptr<Palette> ExportedPalette(const TGIFColorMap& map) {
    if (map.Count() == 0) return nullptr;
    auto palette = std::make_unique<Palette>();
    palette->entries.reserve(static_cast<std::size_t>(map.Count()));
    for (int i = 0; i < map.Count(); ++i) {
        const std::uint8_t* e = map.Entry(i);
        palette->entries.push_back({e[0], e[1], e[2], kNoCollapse});
    }
    return palette;
}

// a x b / c with a 64-bit product, the nearest integer, halves away from zero.
int ScaleRound(std::int64_t a, std::int64_t b, std::int64_t c) {
    if (c == 0) return 0;
    const long double exact = static_cast<long double>(a * b) / static_cast<long double>(c);
    return static_cast<int>(std::llround(exact));
}

// Nearest integer of v / 51 for an integer v: 51 is odd, so no value lies
// halfway and floor((v + 25) / 51) is it.
int Level(int v) {
    const int t = v + 25;
    return t >= 0 ? t / 51 : -((-t + 50) / 51);
}

// Progress every 32 rows: the share of rows done, to the nearest whole
// percent (halves to even, as the rest of the codec rounds).
int RowPercent(int y, int h) { return static_cast<int>(std::nearbyint(static_cast<double>(y) * 100.0 / h)); }

// The mask of a transparent frame, built as a by-product of rendering: rows
// padded to 16 bits, pixel x at bit 7 - (x mod 8) of byte x div 8.
class MaskBuilder {
public:
    MaskBuilder(bool wanted, int width, int height, int transparentIndex)
        : wanted_(wanted), width_(width), height_(height), index_(transparentIndex) {
        if (!wanted_) return;
        rowBytes_ = static_cast<std::size_t>((width + 15) / 16) * 2;
        rows_.assign(rowBytes_ * static_cast<std::size_t>(height), 0);
    }
    bool Wanted() const { return wanted_; }
    int Index() const { return index_; }

    // A whole row of indices, left to right.
    void Row(int y, const std::uint8_t* indices) {
        if (!wanted_) return;
        std::uint8_t* out = rows_.data() + rowBytes_ * static_cast<std::size_t>(y);
        for (int x = 0; x < width_; ++x)
            if (indices[x] == index_) {
                out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] | (0x80 >> (x & 7)));
                found_ = true;
            }
    }
    // One pixel, as the dithered walk meets it.
    void Set(int y, int x) {
        std::uint8_t* out = rows_.data() + rowBytes_ * static_cast<std::size_t>(y);
        out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] | (0x80 >> (x & 7)));
        found_ = true;
    }
    // The monochrome mask, when a transparent pixel was met.
    std::unique_ptr<TBitmap> Finish() {
        if (!wanted_ || !found_) return nullptr;
        DecodedPicture mono;
        platform::RasterFormat format;
        format.bitCount = 1;
        const RGBQuad blackWhite[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        mono.raster = platform::Raster::Create(width_, height_, format, blackWhite, 2, platform::Raster::Fill::Zero);
        for (int y = 0; y < height_; ++y)
            std::memcpy(mono.raster->Row(y), rows_.data() + rowBytes_ * static_cast<std::size_t>(y),
                        static_cast<std::size_t>((width_ + 7) / 8));
        // A device bitmap, as one made from monochrome rows is.
        mono.dib = false;
        auto mask = std::make_unique<TBitmap>();
        mask->Adopt(std::move(mono));
        return mask;
    }

private:
    bool wanted_;
    int width_, height_, index_;
    std::size_t rowBytes_ = 0;
    std::vector<std::uint8_t> rows_;
    bool found_ = false;
};

// A bitmap in the state the renders' sizing leaves it in: width x height,
// the given kind and a copy of palette. Its pixels are not painted, since
// the writer replaces every row before anyone sees them; nor is a
// screen-format bitmap of the frame's size ever made, so no frame needs
// the detour through 1 bit that keeps large frames small.
std::unique_ptr<TBitmap> RenderTarget(int width, int height, bool indexed, const Palette* palette) {
    DecodedPicture target;
    platform::RasterFormat format;
    std::vector<RGBQuad> colors;
    if (indexed) {
        format.bitCount = 8;
        if (palette)
            for (std::size_t i = 0; i < palette->entries.size() && i < 256; ++i)
                colors.push_back({palette->entries[i].blue, palette->entries[i].green, palette->entries[i].red, 0});
    } else {
        target.dib = false;
    }
    target.raster = platform::Raster::Create(width, height, format, colors.data(), static_cast<int>(colors.size()),
                                             platform::Raster::Fill::Zero);
    target.palette = CopyOf(palette);
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->Adopt(std::move(target));
    return bitmap;
}

// Clears a flag when the operation ends, however it ends.
class GuardReset {
public:
    explicit GuardReset(bool& flag) : flag_(flag) { flag_ = true; }
    ~GuardReset() { flag_ = false; }
    GuardReset(const GuardReset&) = delete;
    GuardReset& operator=(const GuardReset&) = delete;

private:
    bool& flag_;
};

}  // namespace

bool GIFAutoDitherScreen() { return g_autoDitherScreen; }
void SetGIFAutoDitherScreen(bool value) { g_autoDitherScreen = value; }

// ---- the image ------------------------------------------------------------------

bool TGIFImage::DoDither() const {
    return (drawOptions_ & goDither) && (!(drawOptions_ & goAutoDither) || g_autoDitherScreen);
}

const Palette* TGIFImage::GetPalette() const { return const_cast<TGIFImage*>(this)->ImagePalette(); }

const Palette* TGIFImage::ImagePalette() {
    // A first frame without a table of its own in a file without a global
    // one asks the image, which asks the frame again: that is the error.
    if (paletteGuard_) throw GIFException(msg::GIFNoColorTable);
    GuardReset guard(paletteGuard_);
    if (bitmap_ && bitmap_->GetPalette()) return bitmap_->GetPalette();
    if (palette_) return palette_.get();
    if (DoDither()) {
        palette_ = WebPalette();
        return palette_.get();
    }
    if (header_->ColorMap().Count() > 0) {
        palette_ = ExportedPalette(header_->ColorMap());
        return palette_.get();
    }
    if (images_->Count() > 0) return images_->Frame(0)->Palette();
    return nullptr;
}

TBitmap* TGIFImage::Bitmap() {
    if (images_->Count() == 0) return nullptr;
    if (bitmap_) return bitmap_.get();
    bitmap_ = std::make_unique<TBitmap>();
    bitmap_->SetOnChange([this](TPersistent*) { NotifyChanged(this); });
    TGIFSubImage& frame = *images_->Frame(0);
    const int width = Width(), height = Height();
    if (frame.Width() == width && frame.Height() == height) {
        // The frame is the picture; its offset is not looked at.
        bitmap_->CopyFrom(frame.Bitmap());
        return bitmap_.get();
    }
    // The logical screen is up to 65535 x 65535: refuse what we would not
    // hold before the white background takes its memory.
    CheckGIFPixels(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), LoadLimits());
    bitmap_->SetPalette(CopyOf(ImagePalette()));
    bitmap_->SetHeight(height);
    bitmap_->SetWidth(width);
    frame.Draw(bitmap_->Canvas(), TRect{0, 0, width, height}, false, false);
    return bitmap_.get();
}

// ---- frames -----------------------------------------------------------------------

const Palette* TGIFSubImage::Palette() {
    if (bitmap_ && bitmap_->GetPalette()) return bitmap_->GetPalette();
    if (palette_) return palette_.get();
    if (Image()->DoDither()) {
        palette_ = WebPalette();
        return palette_.get();
    }
    if (colorMap_->Count() > 0) {
        palette_ = ExportedPalette(*colorMap_);
        return palette_.get();
    }
    return Image()->ImagePalette();
}

void TGIFSubImage::ReportRendering(TProgressStage stage, int percent) {
    Image()->ReportProgress(this, stage, static_cast<std::uint8_t>(std::clamp(percent, 0, 100)),
                            stage == TProgressStage::psEnding && Image()->PaletteModified(), TRect{},
                            msg::GIFRendering);
}

TBitmap* TGIFSubImage::Bitmap() {
    if (bitmap_) return bitmap_.get();
    if (Empty()) return nullptr;
    try {
        ReportRendering(TProgressStage::psStarting, 0);
        std::exception_ptr failure;
        try {
            bitmap_ = Image()->DoDither() ? RenderDithered() : RenderIndexed();
        } catch (...) {
            failure = std::current_exception();
        }
        ReportRendering(TProgressStage::psEnding, failure ? 0 : 100);
        if (failure) std::rethrow_exception(failure);
    } catch (const EAbort&) {
        // A cancel leaves whatever the frame bitmap holds: none, unless the
        // cancel came after the rendering.
    }
    return bitmap_.get();
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderIndexed() {
    const int width = Width(), height = Height();
    std::unique_ptr<TBitmap> target = RenderTarget(width, height, true, Palette());
    if (Empty()) return target;
    TDIBWriter writer(*target, pk8Bit);
    MaskBuilder mask(needMask_ && transparent_ && !mask_, width, height, TransparentColorIndex());
    needMask_ = false;
    const std::uint8_t* pixels = Data();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = writer.ScanLineForOverwrite(y);
        if (y % 32 == 0) ReportRendering(TProgressStage::psRunning, RowPercent(y, height));
        const std::uint8_t* source = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        std::memcpy(row, source, static_cast<std::size_t>(width));
        mask.Row(y, source);
    }
    mask_ = mask.Finish();
    writer.Release();
    return target;
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderDithered() {
    const int width = Width(), height = Height();
    std::unique_ptr<TBitmap> target = RenderTarget(width, height, false, Palette());
    if (Empty()) return target;
    TDIBWriter writer(*target, pk8Bit);
    MaskBuilder mask(needMask_ && transparent_ && !mask_, width, height, TransparentColorIndex());
    needMask_ = false;

    // The colors of every index; an index past the map, or a frame without
    // any map, is black.
    const TGIFColorMap& map = ActiveColorMap();
    std::uint8_t red[256] = {}, green[256] = {}, blue[256] = {};
    for (int i = 0; i < std::min(map.Count(), 256); ++i) {
        red[i] = map.Entry(i)[0];
        green[i] = map.Entry(i)[1];
        blue[i] = map.Entry(i)[2];
    }

    // Errors scaled by 1024, of the current and the next row; pixel x owns
    // position x + 1, so positions 0 and width + 1 take the spill at the edges.
    const std::size_t n = static_cast<std::size_t>(width) + 2;
    std::vector<std::int32_t> errors(6 * n, 0);
    std::int32_t* cur[3] = {&errors[0], &errors[n], &errors[2 * n]};
    std::int32_t* next[3] = {&errors[3 * n], &errors[4 * n], &errors[5 * n]};
    const std::uint8_t* pixels = Data();
    bool leftToRight = true;
    for (int y = 0; y < height; ++y) {
        for (auto* row : next) std::fill(row, row + n, 0);
        std::uint8_t* out = writer.ScanLineForOverwrite(y);
        if (y % 32 == 0) ReportRendering(TProgressStage::psRunning, RowPercent(y, height));
        const std::uint8_t* source = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int step = 0; step < width; ++step) {
            const int x = leftToRight ? step : width - 1 - step;
            const int index = source[x];
            const int channel[3] = {red[index], green[index], blue[index]};
            if (mask.Wanted() && index == mask.Index()) {
                mask.Set(y, x);
                out[x] = static_cast<std::uint8_t>(36 * Level(channel[0]) + 6 * Level(channel[1]) + Level(channel[2]));
                continue;
            }
            int q[3];
            for (int c = 0; c < 3; ++c) {
                const int v = cur[c][x + 1] / 1024 + channel[c];
                q[c] = std::clamp(Level(v), 0, 5);
                const int e = (v - 51 * q[c]) * 1024;
                if (leftToRight) {
                    cur[c][x + 2] += (7 * e) / 16;
                    next[c][x] += (3 * e) / 16;
                    next[c][x + 1] += (5 * e) / 16;
                    next[c][x + 2] += e / 16;
                } else {
                    cur[c][x] += (7 * e) / 16;
                    next[c][x + 2] += (3 * e) / 16;
                    next[c][x + 1] += (5 * e) / 16;
                    next[c][x] += e / 16;
                }
            }
            out[x] = static_cast<std::uint8_t>(36 * q[0] + 6 * q[1] + q[2]);
        }
        for (int c = 0; c < 3; ++c) std::swap(cur[c], next[c]);
        leftToRight = !leftToRight;
    }
    mask_ = mask.Finish();
    writer.Release();
    return target;
}

void TGIFSubImage::Draw(TCanvas& canvas, const TRect& rect, bool transparent, bool tile) {
    if (transparent || tile) RaiseGIFNotSupported("drawing with transparency or tiles");
    const std::int64_t screenWidth = Image()->Width(), screenHeight = Image()->Height();
    const TRect scaled{rect.left + ScaleRound(Left(), rect.Width(), screenWidth),
                       rect.top + ScaleRound(Top(), rect.Height(), screenHeight),
                       rect.left + ScaleRound(std::int64_t{Left()} + Width(), rect.Width(), screenWidth),
                       rect.top + ScaleRound(std::int64_t{Top()} + Height(), rect.Height(), screenHeight)};
    if (TBitmap* bitmap = Bitmap()) bitmap->DrawTo(canvas, scaled);
}

}  // namespace duvo
