// Reads arbitrary bytes as a WebP file through the row source and reads
// back every byte of every row, so that the sanitizers see any row the
// decoder left unwritten.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/webp/webp_decoder.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The caps keep every picture a fuzz input may declare within memory.
    duvo::Limits limits;
    limits.pixels = std::uint64_t{1} << 22;
    limits.decodedBytes = std::uint64_t{1} << 26;
    try {
        auto rows = duvo::OpenWebpRows({data, size}, limits);
        const std::size_t rowBytes = rows->Format().RowBytes();
        std::vector<std::uint8_t> row(rowBytes);
        volatile std::uint32_t sum = 0;
        for (int y = 0; y < rows->Height(); ++y) {
            rows->ReadRows(row.data(), static_cast<std::ptrdiff_t>(rowBytes), 1);
            const std::uint8_t* inPlace = rows->RowInPlace(y);
            for (std::size_t i = 0; i < rowBytes; ++i) sum = sum + row[i] + inPlace[i];
        }
        rows->Finish();
    } catch (const duvo::Exception&) {
    }
    return 0;
}
