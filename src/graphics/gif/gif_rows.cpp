#include "graphics/gif/gif_rows.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codecs/gif/lzw.h"
#include "graphics/gif/gif_image.h"

namespace duvo {

namespace {

[[noreturn]] void RaisePrematureEnd() { throw GIFException(msg::GIFPrematureEnd); }

// Whether the bytes end before the trailer, when the blocks are followed
// from at on: at the first frame's image data (inData: its minimum code
// size byte), or at a block. Only the structure is followed: extensions and
// frames are skipped by their sub-blocks, zero bytes between blocks pass as
// the reader lets them pass, and a byte that starts no block ends the walk
// without an answer, as a reader gives up there.
bool EndsBeforeTrailer(ByteSpan bytes, std::size_t at, bool inData) {
    const std::size_t size = bytes.size();
    auto skipBlocks = [&] {
        for (;;) {
            if (at >= size) return false;
            const std::size_t count = bytes[at++];
            if (count == 0) return true;
            at += count;
        }
    };
    if (inData && !(++at, skipBlocks())) return true;
    for (;;) {
        if (at >= size) return true;
        const std::uint8_t b = bytes[at];
        if (b == 0x3B) return false;
        if (b == 0x00) {
            ++at;
        } else if (b == 0x21) {
            at += 2;
            if (!skipBlocks()) return true;
        } else if (b == 0x2C) {
            if (size - at < 11) return true;
            const std::uint8_t packed = bytes[at + 9];
            at += 10;
            if (packed & 0x80) at += std::size_t{3} << ((packed & 7) + 1);
            ++at;  // the minimum code size
            if (!skipBlocks()) return true;
        } else {
            return false;
        }
    }
}

class GifRows final : public RowSource {
public:
    GifRows(ByteSpan bytes, const Limits& limits) : bytes_(bytes), reader_(bytes, RaisePrematureEnd) {
        image_.SetOnWarning([this](TPersistent*, std::uint8_t, const std::string& message) { CodecWarning(message); });
        after_ = image_.LoadFirstFrame(bytes, limits, true);
        if (image_.Images().Count() == 0) return;
        const TGIFSubImage& frame = *image_.Images().Frame(0);
        frame_ = &frame;
        total_ = std::uint64_t(frame.Width()) * std::uint64_t(frame.Height());
        empty_ = total_ == 0;
        if (image_.FirstFrameDeferred()) {
            reader_.Seek(image_.FirstFrameData());
            const auto fill = static_cast<std::uint8_t>(
                frame.Transparent() && frame.GraphicControlExtension() ? frame.TransparentColorIndex() : 0);
            stream_.emplace(reader_, total_, fill, [this](const char* message) { CodecWarning(message); });
        } else {
            decoded_ = frame.DecodedPixels();
            held_ = !empty_;
        }
        const int width = image_.Width(), height = image_.Height();
        format_.width = width;
        format_.height = height;
        if (frame.Width() == width && frame.Height() == height) {
            // The frame is the picture; its offset is not looked at.
            if (empty_) {
                format_.width = format_.height = 0;
                DecodeRest();
                return;
            }
            format_.layout = RowLayout::Index;
            format_.bitDepth = 8;
            SetPalette(frame);
            if (held_) indices_ = frame.Data();
            return;
        }
        // The logical screen on white, the frame drawn at its place and cut
        // at the screen's edges; refused first when it is too large to hold.
        try {
            CheckGIFPixels(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), limits);
        } catch (const EGIFTooLarge&) {
            DecodeRest();
            throw;
        }
        format_.layout = RowLayout::Bgr;
        composed_ = true;
        // The screen takes the image's palette before anything is drawn: a
        // file with no table at all fails here, even with nothing to draw.
        if (frame.ColorMap().Count() == 0 && image_.Header().ColorMap().Count() == 0) {
            DecodeRest();
            throw GIFException(msg::GIFNoColorTable);
        }
        if (!empty_) SetPalette(frame);
        if (stream_) frameRow_.resize(static_cast<std::size_t>(frame.Width()));
    }

    // Only an interlaced frame, whose rows are stored out of order, is held.
    bool Sequential() const override { return !held_; }

    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) {
            std::uint8_t* row = dst + i * stride;
            if (composed_) {
                Compose(next_, row);
            } else if (indices_) {
                std::memcpy(row, RowInPlace(next_), format_.RowBytes());
            } else {
                stream_->Read(row, format_.RowBytes());
            }
        }
    }
    const std::uint8_t* RowInPlace(int y) const override {
        return indices_ ? indices_ + std::size_t(y) * std::size_t(format_.width) : nullptr;
    }

    // The rest of the frame's data (rows below the screen), then what lies
    // behind it. A file cut short is one warning: the pixels it lacks when
    // the frame is short of them, else that the trailer is missing.
    void Finish() override {
        if (finished_) return;
        finished_ = true;
        const std::size_t data = image_.FirstFrameData();
        const bool cut = data != TGIFImage::kNoFrameData ? EndsBeforeTrailer(bytes_, data, true)
                                                         : EndsBeforeTrailer(bytes_, after_, false);
        DecodeRest();
        auto codecEnd = [](const DecodeWarning& w, bool underrunToo) {
            return w.message == msg::GIFPrematureEnd || (underrunToo && w.message == msg::GIFBitUnderrun);
        };
        if (frame_ && !empty_ && decoded_ < total_) {
            std::erase_if(warnings_, [&](const DecodeWarning& w) { return codecEnd(w, true); });
            warnings_.insert(warnings_.begin(),
                             {warning_kind::Truncated, "the image data ends after " + std::to_string(decoded_) +
                                                           " of " + std::to_string(total_) + " pixels"});
        } else if (cut) {
            std::erase_if(warnings_, [&](const DecodeWarning& w) { return codecEnd(w, false); });
            Warn(warning_kind::Truncated, frame_ && !empty_ && data != TGIFImage::kNoFrameData
                                              ? "the file ends before its trailer; the first frame is whole"
                                              : "the file ends before its trailer");
        }
    }

private:
    // The codec's warnings as the model reports them, each once. Data that
    // stops early is the damage people meet; the rest is the file's
    // structure gone wrong.
    void CodecWarning(const std::string& message) {
        const bool ends = message == msg::GIFPrematureEnd || message == msg::GIFBitUnderrun;
        const DecodeWarning w{ends ? warning_kind::Truncated : warning_kind::Corrupt, message};
        if (std::find(warnings_.begin(), warnings_.end(), w) == warnings_.end()) warnings_.push_back(w);
    }

    // Decodes what the rows did not take: all of it before an error that the
    // whole-frame load would only have met after the data (whose own errors
    // come first), the rows below the screen at the end.
    void DecodeRest() {
        if (!stream_ || rest_) return;
        rest_ = true;
        decoded_ = stream_->Finish();
    }

    // The frame's colors: its own table, else the global one; a frame with
    // neither is the codec's error.
    void SetPalette(const TGIFSubImage& frame) {
        const TGIFColorMap* map = frame.ColorMap().Count() > 0 ? static_cast<const TGIFColorMap*>(&frame.ColorMap())
                                  : image_.Header().ColorMap().Count() > 0
                                      ? static_cast<const TGIFColorMap*>(&image_.Header().ColorMap())
                                      : nullptr;
        if (!map) {
            DecodeRest();
            throw GIFException(msg::GIFNoColorTable);
        }
        format_.paletteSize = std::min(map->Count(), 256);
        for (int i = 0; i < format_.paletteSize; ++i) {
            const std::uint8_t* e = map->Entry(i);
            format_.palette[static_cast<std::size_t>(i)] = {e[0], e[1], e[2], 255};
        }
    }

    // Row y of the logical screen: white, with the frame's part of it. The
    // frame's rows are taken in order as the screen's rows reach them.
    void Compose(int y, std::uint8_t* row) {
        std::memset(row, 0xFF, format_.RowBytes());
        const TGIFSubImage& frame = *frame_;
        if (empty_ || y < frame.Top() || y >= frame.Top() + frame.Height()) return;
        const std::uint8_t* src;
        if (stream_) {
            stream_->Read(frameRow_.data(), frameRow_.size());
            src = frameRow_.data();
        } else {
            src = frame.Data() + std::size_t(y - frame.Top()) * std::size_t(frame.Width());
        }
        const int x0 = std::max(0, frame.Left()), x1 = std::min(format_.width, frame.Left() + frame.Width());
        std::uint8_t* dst = row + std::size_t(x0) * 3;
        for (int x = x0; x < x1; ++x, dst += 3) {
            const int i = src[x - frame.Left()];
            const Rgba8 c = i < format_.paletteSize ? format_.palette[static_cast<std::size_t>(i)] : Rgba8{};
            dst[0] = c.blue;
            dst[1] = c.green;
            dst[2] = c.red;
        }
    }

    ByteSpan bytes_;
    TGIFImage image_;
    std::size_t after_ = 0;  // where the model stopped reading
    const TGIFSubImage* frame_ = nullptr;
    std::uint64_t total_ = 0, decoded_ = 0;
    bool empty_ = true, held_ = false, composed_ = false, rest_ = false, finished_ = false;
    // A frame that is not interlaced: its data, decoded as the rows are read.
    ByteReader reader_;
    std::optional<LzwStream> stream_;
    std::vector<std::uint8_t> frameRow_;
    const std::uint8_t* indices_ = nullptr;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenGifRows(ByteSpan bytes, const Limits& limits) {
    return std::make_unique<GifRows>(bytes, limits);
}

}  // namespace duvo
