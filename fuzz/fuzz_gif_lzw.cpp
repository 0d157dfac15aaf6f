// The fast LZW decoder against the reference: any difference in pixels,
// warnings, errors or final position aborts. The first three bytes choose
// the frame (width, height, interlace and fill), the rest is the image data
// from the minimum code size on. Inputs that are GIF files are also loaded
// whole with each decoder and compared frame by frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "codecs/gif/lzw.h"
#include "graphics/gif/gif_image.h"
#include "rtl/streams.h"

namespace {

[[noreturn]] void PrematureEnd() { throw duvo::GIFException(duvo::msg::GIFPrematureEnd); }

struct Outcome {
    std::vector<std::uint8_t> pixels;
    std::vector<std::string> warnings;
    std::optional<std::string> error;
    std::size_t position = 0;
    bool operator==(const Outcome&) const = default;
};

using Decoder = std::size_t (*)(duvo::ByteReader&, const duvo::LzwFrame&, const duvo::LzwWarn&);

Outcome DecodeFrame(Decoder decode, const std::uint8_t* data, std::size_t size) {
    Outcome o;
    const std::uint32_t width = 1 + data[0] % 64, height = 1 + data[1] % 64;
    o.pixels.resize(std::size_t{width} * height);
    duvo::ByteReader reader({data + 3, size - 3}, PrematureEnd);
    const duvo::LzwFrame frame{o.pixels.data(), width, height, (data[2] & 1) != 0,
                               static_cast<std::uint8_t>(data[2] >> 1)};
    try {
        decode(reader, frame, [&](const char* m) { o.warnings.emplace_back(m); });
    } catch (const duvo::GIFException& e) {
        o.error = e.what();
        o.pixels.clear();
    }
    o.position = reader.Position();
    return o;
}

Outcome LoadWhole(duvo::TGIFDecoder decoder, const std::uint8_t* data, std::size_t size) {
    Outcome o;
    duvo::TGIFImage image;
    image.SetDecoder(decoder);
    image.SetOnWarning([&](duvo::TPersistent* sender, std::uint8_t, const std::string& m) {
        o.warnings.push_back(sender->ClassName() + std::to_string(image.Images().Count()) + ": " + m);
    });
    duvo::TBytesStream stream(data, size);
    try {
        image.ReadFromStream(
            stream, {.pixels = std::uint64_t{1} << 20, .frames = 1024, .decodedBytes = std::uint64_t{1} << 24});
    } catch (const duvo::Exception& e) {
        o.error = e.what();
    }
    o.position = static_cast<std::size_t>(stream.Position());
    for (int i = 0; i < image.Images().Count(); ++i) {
        const duvo::TGIFSubImage* f = image.Images().Frame(i);
        o.pixels.push_back(static_cast<std::uint8_t>(f->Width()));
        o.pixels.insert(o.pixels.end(), f->Data(), f->Data() + f->DataSize());
    }
    return o;
}

void Check(const Outcome& fast, const Outcome& ref, const char* what) {
    if (fast == ref) return;
    std::fprintf(
        stderr, "%s: fast and reference decoders differ (pixels %d, warnings %zu/%zu, error %s/%s, position %zu/%zu)\n",
        what, fast.pixels == ref.pixels, fast.warnings.size(), ref.warnings.size(), fast.error.value_or("-").c_str(),
        ref.error.value_or("-").c_str(), fast.position, ref.position);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 3)
        Check(DecodeFrame(duvo::DecodeLzwFast, data, size), DecodeFrame(duvo::DecodeLzwReference, data, size), "frame");
    if (size >= 13)
        Check(LoadWhole(duvo::TGIFDecoder::Fast, data, size), LoadWhole(duvo::TGIFDecoder::Reference, data, size),
              "file");
    return 0;
}
