// Loads arbitrary bytes as a JPEG, decodes them and reads every pixel, so the
// sanitizers see any row the decoder left unwritten or wrote past.
#include <cstddef>
#include <cstdint>

#include "graphics/bitmap.h"
#include "graphics/jpeg.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "rtl/streams.h"

namespace {

void ReadEveryPixel(duvo::TBitmap& bitmap) {
    const duvo::platform::Raster* raster = bitmap.Raster();
    if (!raster) return;
    std::uint32_t sum = 0;
    for (int y = 0; y < raster->Height(); ++y) {
        const std::uint8_t* row = raster->Row(y);
        const std::size_t bytes = (static_cast<std::size_t>(raster->Width()) * raster->BitCount() + 7) / 8;
        for (std::size_t i = 0; i < bytes; ++i) sum += row[i];
        sum += static_cast<std::uint32_t>(raster->GetPixel(raster->Width() - 1, y));
    }
    // Keep the sum alive so the reads are not dropped.
    volatile std::uint32_t sink = sum;
    (void)sink;
}

void Decode(const std::uint8_t* data, std::size_t size, duvo::TJPEGOutputDepth depth, bool progressiveView) {
    duvo::TJPEGImage image;
    // The cap keeps every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = 1u << 22;
    image.SetOutputDepth(depth);
    image.SetProgressiveView(progressiveView);
    try {
        image.LoadFromBytes({data, size}, limits);
        (void)image.Width();
        ReadEveryPixel(*image.DecodedBitmap());
    } catch (const duvo::EInvalidGraphic&) {
    } catch (const duvo::EOutOfMemory&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The length picks the settings, so the 8-bit and progressive-view paths
    // are fuzzed too; bytes after the end-of-image marker change it freely.
    const std::size_t mode = size & 3;
    Decode(data, size, (mode & 1) ? duvo::od8Bit : duvo::od24Bit, (mode & 2) != 0);
    return 0;
}
