// Reads arbitrary bytes as a BMP and reads back every pixel, so that the
// sanitizers see any read of memory the reader did not fill.
#include <cstddef>
#include <cstdint>

#include "graphics/bitmap.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "rtl/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    duvo::TBitmap bitmap;
    // The cap keeps every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = std::uint64_t{1} << 22;
    try {
        bitmap.LoadFromBytes({data, size}, limits);
    } catch (const duvo::Exception&) {
        return 0;
    }
    volatile std::uint32_t sum = 0;
    duvo::TCanvas& canvas = bitmap.Canvas();
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) sum = sum + static_cast<std::uint32_t>(canvas.ReadPixel(x, y));
    // Outside reads must stay outside.
    sum = sum + static_cast<std::uint32_t>(canvas.ReadPixel(bitmap.Width(), 0));
    sum = sum + static_cast<std::uint32_t>(canvas.ReadPixel(0, -1));
    return 0;
}
