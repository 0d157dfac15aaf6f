#include "graphics/png.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "rtl/parallel.h"

namespace duvo {

using platform::Raster;

void WritePngFile(const TBitmap& bitmap, const std::string& fileName, unsigned threads) {
    TBitmap converted;
    const TBitmap* source = &bitmap;
    if (bitmap.PixelKind() != pk24Bit || !bitmap.Raster()) {
        converted.CopyFrom(&bitmap);
        converted.SetPixelKind(pk24Bit);
        source = &converted;
    }
    const Raster* raster = source->Raster();
    if (!raster || raster->Width() <= 0 || raster->Height() <= 0) throw EInvalidGraphic(msg::InvalidBitmap);
    const int height = raster->Height();
    PngBlockWriter writer(raster->Width(), height, fileName);
    // Strips deflate side by side; each is worth a thread only with enough rows.
    if (threads == 0) threads = HardwareThreads();
    const int strips = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(threads, height / 64), 1, 64));
    ParallelFor(static_cast<std::size_t>(strips), threads, [&](std::size_t i) {
        const int y0 = static_cast<int>(std::int64_t{height} * static_cast<std::int64_t>(i) / strips);
        const int y1 = static_cast<int>(std::int64_t{height} * static_cast<std::int64_t>(i + 1) / strips);
        writer.Block(y0, y1, raster->Row(y0), raster->RowStep());
    });
    writer.Finish();
}

}  // namespace duvo
