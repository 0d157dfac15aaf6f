// Reads arbitrary bytes as a PNG through our row source, in bands of a size
// the input chooses, and reads back every row byte, so that the sanitizers
// see any read of memory the decoder did not fill.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/png/png_rows.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The caps keep every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = std::uint64_t{1} << 22;
    limits.decodedBytes = std::uint64_t{1} << 26;
    try {
        auto source = duvo::OpenPngRows({data, size}, limits, [](std::size_t) {});
        const std::size_t rowBytes = source->Format().RowBytes();
        const int band = 1 + static_cast<int>(size % 5);
        std::vector<std::uint8_t> rows(rowBytes * static_cast<std::size_t>(band));
        volatile std::uint32_t sum = 0;
        for (int y = 0; y < source->Height(); y += band) {
            const int n = std::min(band, source->Height() - y);
            source->ReadRows(rows.data(), static_cast<std::ptrdiff_t>(rowBytes), n);
            for (std::size_t i = 0; i < rowBytes * static_cast<std::size_t>(n); ++i) sum = sum + rows[i];
        }
        source->Finish();
    } catch (const duvo::Exception&) {
    }
    return 0;
}
