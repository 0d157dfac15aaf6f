// Loads arbitrary bytes as a JPEG, decodes them and reads every pixel, so the
// sanitizers see any row the decoder left unwritten or wrote past; then
// holds duvo-compare's row source against the whole decode with the default
// settings: the same rows byte for byte, read in bands the input chooses,
// the same warnings, and the same error where the whole decode fails.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/jpeg/jpeg_decoder.h"
#include "graphics/bitmap.h"
#include "graphics/jpeg.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"
#include "rtl/streams.h"

namespace {

// The cap keeps every picture a fuzz input may declare within memory.
constexpr duvo::Limits kLimits{.pixels = std::uint64_t{1} << 22};

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
    image.SetOutputDepth(depth);
    image.SetProgressiveView(progressiveView);
    try {
        image.LoadFromBytes({data, size}, kLimits);
        (void)image.Width();
        ReadEveryPixel(*image.DecodedBitmap());
    } catch (const duvo::EInvalidGraphic&) {
    } catch (const duvo::EOutOfMemory&) {
    }
}

// What a decode gave: its rows top to bottom, its warnings, or its error.
struct Seen {
    std::string error;
    int width = 0, height = 0;
    std::vector<std::uint8_t> rows;
    std::vector<duvo::DecodeWarning> warnings;
    bool operator==(const Seen&) const = default;
};

Seen Whole(const std::uint8_t* data, std::size_t size) {
    Seen s;
    try {
        duvo::JpegDecoded whole = duvo::DecodeJpeg({data, size}, duvo::JpegSettings{}, kLimits);
        const duvo::platform::Raster& r = *whole.picture.raster;
        s.width = r.Width();
        s.height = r.Height();
        const std::size_t rowBytes = (static_cast<std::size_t>(r.Width()) * r.BitCount() + 7) / 8;
        for (int y = 0; y < r.Height(); ++y) s.rows.insert(s.rows.end(), r.Row(y), r.Row(y) + rowBytes);
        s.warnings = whole.picture.warnings;
    } catch (const duvo::Exception& e) {
        s.error = e.Message();
    }
    return s;
}

Seen Rows(const std::uint8_t* data, std::size_t size, int band) {
    Seen s;
    try {
        auto rows = duvo::OpenJpegRows({data, size}, kLimits);
        s.width = rows->Width();
        s.height = rows->Height();
        const std::size_t rowBytes = rows->Format().RowBytes();
        s.rows.resize(rowBytes * static_cast<std::size_t>(s.height));
        for (int y = 0; y < s.height; y += band)
            rows->ReadRows(s.rows.data() + rowBytes * static_cast<std::size_t>(y),
                           static_cast<std::ptrdiff_t>(rowBytes), std::min(band, s.height - y));
        rows->Finish();
        s.warnings = rows->Warnings();
    } catch (const duvo::Exception& e) {
        s = Seen{};
        s.error = e.Message();
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The length picks the settings, so the 8-bit and progressive-view paths
    // are fuzzed too; bytes after the end-of-image marker change it freely.
    const std::size_t mode = size & 3;
    Decode(data, size, (mode & 1) ? duvo::od8Bit : duvo::od24Bit, (mode & 2) != 0);
    const Seen whole = Whole(data, size);
    if (!(Rows(data, size, 1 + static_cast<int>(size % 7)) == whole)) std::abort();
    return 0;
}
