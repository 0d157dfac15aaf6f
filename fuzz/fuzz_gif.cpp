// Reads arbitrary bytes as a GIF, reads every pixel of every frame, then
// converts the image to a bitmap as the open command does, in both renders,
// and reads every pixel of the result, so that the sanitizers see any byte
// the decoder or a render left unwritten or wrote past.
#include <cstddef>
#include <cstdint>

#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "rtl/streams.h"

namespace {

void ReadEveryPixel(const duvo::TBitmap& bitmap) {
    const duvo::platform::Raster* raster = bitmap.Raster();
    if (!raster) return;
    volatile std::uint32_t sum = 0;
    const std::size_t bytes = (static_cast<std::size_t>(raster->Width()) * raster->BitCount() + 7) / 8;
    for (int y = 0; y < raster->Height(); ++y) {
        const std::uint8_t* row = raster->Row(y);
        for (std::size_t i = 0; i < bytes; ++i) sum = sum + row[i];
        sum = sum + static_cast<std::uint32_t>(raster->GetPixel(raster->Width() - 1, y));
    }
}

void Load(const std::uint8_t* data, std::size_t size, bool dither) {
    duvo::TGIFImage image;
    // Small enough that every frame and screen a fuzz input may declare fits in memory.
    image.SetDrawOptions(dither ? duvo::goDither : duvo::goAutoDither);
    image.SetOnWarning([](duvo::TPersistent* sender, std::uint8_t, const std::string&) {
        volatile const char* name = sender->ClassType()->name;
        (void)name;
    });
    try {
        duvo::TBytesStream stream(data, size);
        image.ReadFromStream(
            stream, {.pixels = std::uint64_t{1} << 22, .frames = 4096, .decodedBytes = std::uint64_t{1} << 26});
    } catch (const duvo::Exception&) {
    }
    volatile std::uint32_t sum = 0;
    for (int i = 0; i < image.Images().Count(); ++i) {
        const duvo::TGIFSubImage* frame = image.Images().Frame(i);
        const std::uint8_t* p = frame->Data();
        for (std::uint64_t k = 0; k < frame->DataSize(); ++k) sum = sum + p[k];
    }
    try {
        duvo::TBitmap bitmap;
        bitmap.CopyFrom(&image);
        ReadEveryPixel(bitmap);
        if (const duvo::TBitmap* mask = image.Images().Count() ? image.Images().Frame(0)->Mask() : nullptr)
            ReadEveryPixel(*mask);
    } catch (const duvo::Exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The last byte picks the render, so both are fuzzed on any input.
    Load(data, size, size > 0 && (data[size - 1] & 1));
    return 0;
}
