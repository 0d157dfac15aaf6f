// Reads arbitrary bytes as a BMP twice: as the desktop program's whole
// decode, reading back every pixel so that the sanitizers see any read of
// memory the reader did not fill; and as duvo-compare's row source, every
// row read in bands the input chooses (and in place where the source gives
// rows there), whose colors must be the bitmap's pixel for pixel, with the
// same warnings, and which must refuse what the whole decode refuses and take
// what it takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/bmp/bmp_decoder.h"
#include "compare/row_convert.h"
#include "graphics/bitmap.h"
#include "platform/raster.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace {

// The cap keeps every picture a fuzz input may declare within memory.
constexpr duvo::Limits kLimits{.pixels = std::uint64_t{1} << 22};

// The colors of every row of the source, converted as the engine converts them.
std::vector<std::uint32_t> RowColors(duvo::RowSource& rows, int band) {
    const duvo::RowFormat& f = rows.Format();
    const duvo::compare_rows::RowReader reader(f, duvo::compare_rows::ScalarKernels());
    const std::size_t rowBytes = f.RowBytes();
    std::vector<std::uint8_t> buffer(rowBytes * static_cast<std::size_t>(band));
    std::vector<std::uint32_t> colors;
    colors.reserve(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height));
    std::uint32_t run[duvo::compare_rows::kRunPixels];
    for (int y = 0; y < f.height; y += band) {
        const int n = std::min(band, f.height - y);
        const bool inPlace = rows.RowInPlace(y) != nullptr;
        if (!inPlace) rows.ReadRows(buffer.data(), static_cast<std::ptrdiff_t>(rowBytes), n);
        for (int i = 0; i < n; ++i) {
            const std::uint8_t* row =
                inPlace ? rows.RowInPlace(y + i) : buffer.data() + rowBytes * static_cast<std::size_t>(i);
            for (int x0 = 0; x0 < f.width; x0 += duvo::compare_rows::kRunPixels) {
                const int count = std::min(duvo::compare_rows::kRunPixels, f.width - x0);
                const std::uint32_t* c = reader.Colors(row, x0, count, run);
                colors.insert(colors.end(), c, c + count);
            }
        }
        if (inPlace) rows.Release(y, y + n);
    }
    rows.Finish();
    return colors;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    duvo::TBitmap bitmap;
    std::vector<duvo::DecodeWarning> warnings;
    bool refused = false;
    try {
        duvo::DecodedPicture decoded = duvo::DecodeBmp({data, size}, kLimits);
        warnings = decoded.warnings;
        bitmap.Adopt(std::move(decoded));
    } catch (const duvo::Exception&) {
        refused = true;
    }
    std::vector<std::uint32_t> pixels;
    if (!refused) {
        duvo::TCanvas& canvas = bitmap.Canvas();
        for (int y = 0; y < bitmap.Height(); ++y)
            for (int x = 0; x < bitmap.Width(); ++x)
                pixels.push_back(static_cast<std::uint32_t>(canvas.ReadPixel(x, y)));
        // Outside reads must stay outside.
        volatile std::uint32_t sum = 0;
        sum = sum + static_cast<std::uint32_t>(canvas.ReadPixel(bitmap.Width(), 0));
        sum = sum + static_cast<std::uint32_t>(canvas.ReadPixel(0, -1));
    }

    try {
        auto rows = duvo::OpenBmpRows({data, size}, kLimits);
        if (refused) std::abort();  // the rows take a file the whole decode refuses
        if (rows->Width() != bitmap.Width() || rows->Height() != bitmap.Height()) std::abort();
        if (rows->Width() > 0 && rows->Height() > 0) {
            const int band = 1 + static_cast<int>(size % 5);
            if (RowColors(*rows, band) != pixels) std::abort();
        }
        if (rows->Warnings() != warnings) std::abort();
    } catch (const duvo::Exception&) {
        // The rows refuse a file the whole decode takes, unless it gives no
        // picture (no bytes at all, which the tool refuses before decoding).
        if (!refused && bitmap.Width() > 0 && bitmap.Height() > 0) std::abort();
    }
    return 0;
}
