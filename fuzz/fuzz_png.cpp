// Reads arbitrary bytes as a PNG and reads back every output byte (pixels
// and side planes), so that the sanitizers see any read of memory the
// decoder did not fill.
#include <cstddef>
#include <cstdint>

#include "codecs/png/png_spng.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The caps keep every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = std::uint64_t{1} << 22;
    limits.decodedBytes = std::uint64_t{1} << 26;
    duvo::PngDecoded png;
    try {
        png = duvo::DecodePng({data, size}, limits, [](std::size_t) {});
    } catch (const duvo::Exception&) {
        return 0;
    }
    volatile std::uint32_t sum = 0;
    const duvo::platform::Raster& r = *png.picture.raster;
    for (int y = 0; y < r.Height(); ++y) {
        const std::uint8_t* row = r.Row(y);
        for (int x = 0; x < 3 * r.Width(); ++x) sum = sum + row[x];
    }
    for (std::uint8_t a : png.side.alpha) sum = sum + a;
    for (std::uint16_t d : png.side.deep) sum = sum + d;
    return 0;
}
