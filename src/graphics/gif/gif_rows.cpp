#include "graphics/gif/gif_rows.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/gif/gif_image.h"

namespace duvo {

namespace {

class GifRows final : public RowSource {
public:
    GifRows(ByteSpan bytes, const Limits& limits) {
        image_.SetOnWarning([this](TPersistent*, std::uint8_t, const std::string& message) {
            // Data that stops early is the damage people meet; the rest is
            // the file's structure gone wrong.
            const bool ends = message == msg::GIFPrematureEnd || message == msg::GIFBitUnderrun;
            const DecodeWarning w{ends ? warning_kind::Truncated : warning_kind::Corrupt, message};
            if (std::find(warnings_.begin(), warnings_.end(), w) == warnings_.end()) warnings_.push_back(w);
        });
        image_.LoadFirstFrame(bytes, limits);
        if (image_.Images().Count() == 0) return;
        const TGIFSubImage& frame = *image_.Images().Frame(0);
        const std::uint64_t total = std::uint64_t(frame.Width()) * std::uint64_t(frame.Height());
        if (!frame.Empty() && frame.DecodedPixels() < total)
            warnings_.insert(warnings_.begin(), {warning_kind::Truncated,
                                                 "the image data ends after " + std::to_string(frame.DecodedPixels()) +
                                                     " of " + std::to_string(total) + " pixels"});
        const int width = image_.Width(), height = image_.Height();
        format_.width = width;
        format_.height = height;
        if (frame.Width() == width && frame.Height() == height) {
            // The frame is the picture; its offset is not looked at.
            if (frame.Empty()) {
                format_.width = format_.height = 0;
                return;
            }
            format_.layout = RowLayout::Index;
            format_.bitDepth = 8;
            SetPalette(frame);
            indices_ = frame.Data();
            return;
        }
        // The logical screen on white, the frame drawn at its place and cut
        // at the screen's edges; refused first when it is too large to hold.
        const std::uint64_t limit = std::min(limits.pixels, kGIFMaxFramePixels);
        if (std::uint64_t(width) * std::uint64_t(height) > limit)
            throw EGIFTooLarge(
                PictureTooLargeText(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), limit));
        format_.layout = RowLayout::Bgr;
        composedFrame_ = &frame;
        // The screen takes the image's palette before anything is drawn: a
        // file with no table at all fails here, even with nothing to draw.
        if (frame.ColorMap().Count() == 0 && image_.Header().ColorMap().Count() == 0)
            throw GIFException(msg::GIFNoColorTable);
        if (!frame.Empty()) SetPalette(frame);
    }

    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) {
            std::uint8_t* row = dst + i * stride;
            if (indices_) {
                std::memcpy(row, RowInPlace(next_), format_.RowBytes());
            } else {
                Compose(next_, row);
            }
        }
    }
    const std::uint8_t* RowInPlace(int y) const override {
        return indices_ ? indices_ + std::size_t(y) * std::size_t(format_.width) : nullptr;
    }

private:
    // The frame's colors: its own table, else the global one; a frame with
    // neither is the codec's error.
    void SetPalette(const TGIFSubImage& frame) {
        const TGIFColorMap* map = frame.ColorMap().Count() > 0 ? static_cast<const TGIFColorMap*>(&frame.ColorMap())
                                  : image_.Header().ColorMap().Count() > 0
                                      ? static_cast<const TGIFColorMap*>(&image_.Header().ColorMap())
                                      : nullptr;
        if (!map) throw GIFException(msg::GIFNoColorTable);
        format_.paletteSize = std::min(map->Count(), 256);
        for (int i = 0; i < format_.paletteSize; ++i) {
            const std::uint8_t* e = map->Entry(i);
            format_.palette[static_cast<std::size_t>(i)] = {e[0], e[1], e[2], 255};
        }
    }

    // Row y of the logical screen: white, with the frame's part of it.
    void Compose(int y, std::uint8_t* row) const {
        std::memset(row, 0xFF, format_.RowBytes());
        const TGIFSubImage& frame = *composedFrame_;
        if (frame.Empty() || y < frame.Top() || y >= frame.Top() + frame.Height()) return;
        const int x0 = std::max(0, frame.Left()), x1 = std::min(format_.width, frame.Left() + frame.Width());
        const std::uint8_t* src = frame.Data() + std::size_t(y - frame.Top()) * std::size_t(frame.Width());
        std::uint8_t* dst = row + std::size_t(std::max(x0, 0)) * 3;
        for (int x = x0; x < x1; ++x, dst += 3) {
            const int i = src[x - frame.Left()];
            const Rgba8 c = i < format_.paletteSize ? format_.palette[static_cast<std::size_t>(i)] : Rgba8{};
            dst[0] = c.blue;
            dst[1] = c.green;
            dst[2] = c.red;
        }
    }

    TGIFImage image_;
    const std::uint8_t* indices_ = nullptr;
    const TGIFSubImage* composedFrame_ = nullptr;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenGifRows(ByteSpan bytes, const Limits& limits) {
    return std::make_unique<GifRows>(bytes, limits);
}

}  // namespace duvo
