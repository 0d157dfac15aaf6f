#include "codecs/webp/webp_decoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/raster.h"
#include "rtl/exceptions.h"

namespace duvo {

namespace {

[[noreturn]] void Fail(const std::string& why) { throw EInvalidGraphic(Format(msg::WebPError, {why})); }

[[noreturn]] void Fail(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY:
            throw EOutOfMemory(msg::OutOfMemory);
        case VP8_STATUS_INVALID_PARAM:
            Fail("the library refused the decoding parameters");
        case VP8_STATUS_BITSTREAM_ERROR:
            Fail("the image data is damaged");
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            Fail("the file uses a feature the library does not support");
        case VP8_STATUS_SUSPENDED:
        case VP8_STATUS_NOT_ENOUGH_DATA:
            Fail("the file ends inside its header");
        default:
            Fail("status " + std::to_string(static_cast<int>(status)));
    }
}

// The byte count a RIFF container declares for itself, or 0 when the bytes
// are not one (libwebp also takes a bare VP8 or VP8L bitstream).
std::uint64_t DeclaredSize(ByteSpan bytes) {
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WEBP", 4) != 0)
        return 0;
    return std::uint64_t{LoadU32(bytes.data() + 4)} + 8;
}

// What one decode holds at once besides its output: a lossless bitstream is
// decoded into a whole frame of 32-bit pixels first, and a lossy one with
// alpha keeps an alpha plane.
std::uint64_t WorkingBytes(int format, bool alpha, std::uint64_t pixels) {
    if (format == 2) return 4 * pixels;
    return alpha ? pixels : 0;
}

void CheckBytes(std::uint64_t bytes, const Limits& limits) {
    if (bytes > limits.decodedBytes)
        throw EPictureTooLarge(Format(msg::TooManyBytes, {std::to_string(limits.decodedBytes)}));
}

struct IdecDelete {
    void operator()(WebPIDecoder* d) const { WebPIDelete(d); }
};
struct DemuxDelete {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

// Decodes one still bitstream (a file, or a frame's data) into the rows at
// out. The incremental decoder is given every byte at once, which costs
// nothing over a plain decode and, when the data ends early, says how many
// rows it finished. Returns those rows: height when the data is whole.
int DecodeStill(ByteSpan data, bool alpha, std::uint8_t* out, int stride, int width, int height) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) Fail("the library's version does not match");
    config.output.colorspace = alpha ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.width = width;
    config.output.height = height;
    config.output.u.RGBA.rgba = out;
    config.output.u.RGBA.stride = stride;
    config.output.u.RGBA.size =
        static_cast<std::size_t>(stride) * static_cast<std::size_t>(height - 1) + std::size_t(width) * (alpha ? 4 : 3);
    std::unique_ptr<WebPIDecoder, IdecDelete> idec(WebPIDecode(nullptr, 0, &config));
    if (!idec) throw EOutOfMemory(msg::OutOfMemory);
    const VP8StatusCode status = WebPIUpdate(idec.get(), data.data(), data.size());
    if (status == VP8_STATUS_OK) return height;
    if (status != VP8_STATUS_SUSPENDED) Fail(status);
    int rows = 0;
    if (!WebPIDecGetRGB(idec.get(), &rows, nullptr, nullptr, nullptr)) rows = 0;
    return std::clamp(rows, 0, height);
}

class WebpRows final : public RowSource {
public:
    WebpRows(ByteSpan bytes, const Limits& limits) {
        WebPBitstreamFeatures features;
        const VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &features);
        if (status == VP8_STATUS_BITSTREAM_ERROR) Fail("the file is not a WebP file, or its header is damaged");
        if (status != VP8_STATUS_OK) Fail(status);
        const std::uint64_t declared = DeclaredSize(bytes);
        cutAfterPixels_ = declared > bytes.size();
        if (features.has_animation)
            OpenAnimation(bytes, limits);
        else
            OpenStill(bytes, features, limits);
        if (decodedRows_ < format_.height) {
            // The rows not decoded read as one row of zeros, whatever the
            // library left there.
            zeros_.assign(format_.RowBytes(), 0);
            Warn(warning_kind::Truncated, "the file ends inside " +
                                              std::string(animated_ ? "the first frame's" : "the") +
                                              " image data (at row " + std::to_string(decodedRows_) + " of " +
                                              std::to_string(format_.height) + "); the rows below are zero");
        } else if (cutAfterPixels_) {
            Warn(warning_kind::Truncated,
                 "the file ends after " + std::string(animated_ ? "the first frame" : "the pixels") + " (" +
                     std::to_string(bytes.size()) + " of the " + std::to_string(declared) +
                     " bytes its header declares); the " + (animated_ ? "first frame" : "picture") + " is whole");
        }
    }

    bool Sequential() const override { return false; }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) std::memcpy(dst + i * stride, RowInPlace(next_), format_.RowBytes());
    }
    const std::uint8_t* RowInPlace(int y) const override {
        return y < decodedRows_ ? frame_->Bits() + stride_ * static_cast<std::size_t>(y) : zeros_.data();
    }

private:
    std::uint8_t* Row(int y) { return frame_->Bits() + stride_ * static_cast<std::size_t>(y); }

    void Allocate(int width, int height, bool alpha) {
        format_.width = width;
        format_.height = height;
        format_.layout = alpha ? RowLayout::Rgba : RowLayout::Rgb;
        format_.bitDepth = 8;
        // A raster's memory: zeroed without a pass (fresh pages are zero, so
        // a small file declaring a big canvas touches only what it draws),
        // and in huge pages when big, which the decoder writes faster.
        platform::RasterFormat raster;
        raster.bitCount = alpha ? 32 : 24;
        frame_ = platform::Raster::Create(width, -height, raster, nullptr, 0, platform::Raster::Fill::Zero);
        stride_ = frame_->Stride();
    }

    void OpenStill(ByteSpan bytes, const WebPBitstreamFeatures& f, const Limits& limits) {
        CheckPictureSize(static_cast<std::uint64_t>(f.width), static_cast<std::uint64_t>(f.height), limits);
        const std::uint64_t pixels = std::uint64_t(f.width) * std::uint64_t(f.height);
        const bool alpha = f.has_alpha != 0;
        CheckBytes(pixels * (alpha ? 4 : 3) + WorkingBytes(f.format, alpha, pixels), limits);
        Allocate(f.width, f.height, alpha);
        decodedRows_ = DecodeStill(bytes, alpha, frame_->Bits(), static_cast<int>(stride_), f.width, f.height);
    }

    // The first canvas: a key frame on a canvas of transparent black, which
    // it covers where it lies, unblended (WebPAnimDecoder's first frame).
    // The frame is decoded straight into its place on the canvas.
    void OpenAnimation(ByteSpan bytes, const Limits& limits) {
        animated_ = true;
        WebPData data{bytes.data(), bytes.size()};
        WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
        std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemuxPartial(&data, &state));
        if (!demux || state == WEBP_DEMUX_PARSE_ERROR)
            Fail(state == WEBP_DEMUX_PARSING_HEADER ? "the file ends inside its header"
                                                    : "the animation's container is damaged");
        const std::uint32_t canvasWidth = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
        const std::uint32_t canvasHeight = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
        CheckPictureSize(canvasWidth, canvasHeight, limits);
        WebPIterator frame;
        if (!WebPDemuxGetFrame(demux.get(), 1, &frame))
            Fail(state == WEBP_DEMUX_DONE ? "the animation has no frame"
                                          : "the file ends before the first frame is whole");
        struct IteratorRelease {
            WebPIterator* it;
            ~IteratorRelease() { WebPDemuxReleaseIterator(it); }
        } release{&frame};
        if (frame.width <= 0 || frame.height <= 0 || frame.x_offset < 0 || frame.y_offset < 0 ||
            std::uint64_t(frame.x_offset) + std::uint64_t(frame.width) > canvasWidth ||
            std::uint64_t(frame.y_offset) + std::uint64_t(frame.height) > canvasHeight)
            Fail("the first frame does not lie on the canvas");
        WebPBitstreamFeatures f;
        const VP8StatusCode status = WebPGetFeatures(frame.fragment.bytes, frame.fragment.size, &f);
        if (status != VP8_STATUS_OK) {
            if (frame.complete) Fail(status);
            // Cut before the frame's own header: nothing of it is there.
            f.has_alpha = 1;
            f.format = 0;
        } else if (f.width != frame.width || f.height != frame.height) {
            Fail("the first frame's size differs from its image data's");
        }
        const bool covers = frame.x_offset == 0 && frame.y_offset == 0 && std::uint32_t(frame.width) == canvasWidth &&
                            std::uint32_t(frame.height) == canvasHeight;
        // A frame that covers the canvas and has no alpha gives opaque rows.
        const bool alpha = !covers || f.has_alpha || frame.has_alpha;
        const std::uint64_t canvasPixels = std::uint64_t(canvasWidth) * canvasHeight;
        const std::uint64_t framePixels = std::uint64_t(frame.width) * std::uint64_t(frame.height);
        CheckBytes(canvasPixels * (alpha ? 4 : 3) + WorkingBytes(f.format, alpha, framePixels), limits);
        Allocate(static_cast<int>(canvasWidth), static_cast<int>(canvasHeight), alpha);
        const int channels = alpha ? 4 : 3;
        int rows = 0;
        if (status == VP8_STATUS_OK)
            rows = DecodeStill({frame.fragment.bytes, frame.fragment.size}, alpha,
                               Row(frame.y_offset) + std::size_t(frame.x_offset) * channels, static_cast<int>(stride_),
                               frame.width, frame.height);
        if (rows < frame.height) {
            // Rows of the frame it did not finish are zero, whole canvas rows
            // from there on, so the cut reads the same for every frame place.
            decodedRows_ = frame.y_offset + rows;
        } else {
            decodedRows_ = format_.height;
            cutAfterPixels_ = cutAfterPixels_ || state != WEBP_DEMUX_DONE;
        }
    }

    std::unique_ptr<platform::Raster> frame_;
    std::vector<std::uint8_t> zeros_;
    std::size_t stride_ = 0;
    int decodedRows_ = 0;
    bool animated_ = false;
    bool cutAfterPixels_ = false;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenWebpRows(ByteSpan bytes, const Limits& limits, std::function<void()> done) {
    auto rows = std::make_unique<WebpRows>(bytes, limits);
    if (done) done();
    return rows;
}

}  // namespace duvo
