// Reads arbitrary bytes as a TIFF file through the row source and reads
// back every byte of every row, so that the sanitizers see any row the
// decoder left unwritten or wrote past.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/tiff/tiff_decoder.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The caps keep every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = std::uint64_t{1} << 22;
    limits.decodedBytes = std::uint64_t{1} << 26;
    try {
        auto rows = duvo::OpenTiffRows({data, size}, limits, [](std::size_t, std::size_t) {});
        const std::size_t rowBytes = rows->Format().RowBytes();
        // Bands of 1 to 3 rows, and one skipped row (stride 0) now and then.
        std::vector<std::uint8_t> band(rowBytes * 3);
        volatile std::uint32_t sum = 0;
        for (int y = 0, n = 1; y < rows->Height(); y += n, n = n % 3 + 1) {
            n = std::min(n, rows->Height() - y);
            rows->ReadRows(band.data(), n == 2 ? 0 : static_cast<std::ptrdiff_t>(rowBytes), n);
            for (std::size_t i = 0; i < rowBytes * (n == 2 ? 1 : n); ++i) sum = sum + band[i];
        }
        rows->Finish();
        for (const auto& w : rows->Warnings()) sum = sum + static_cast<std::uint32_t>(w.message.size());
    } catch (const duvo::Exception&) {
    }
    return 0;
}
