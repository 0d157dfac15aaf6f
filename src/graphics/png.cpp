#include "graphics/png.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

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
    PngBlockWriter writer(raster->Width(), height);
    // Strips deflate side by side; each is worth a thread only with enough rows.
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const int strips = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(threads, height / 64), 1, 64));
    auto strip = [&](int i) {
        const int y0 = static_cast<int>(std::int64_t{height} * i / strips);
        const int y1 = static_cast<int>(std::int64_t{height} * (i + 1) / strips);
        writer.Block(y0, y1, raster->Row(y0), raster->RowStep());
    };
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(strips));
    {
        std::vector<std::thread> pool;
        struct Joiner {
            std::vector<std::thread>& pool;
            ~Joiner() {
                for (auto& t : pool) t.join();
            }
        } joiner{pool};
        for (int i = 1; i < strips; ++i)
            pool.emplace_back([&, i] {
                try {
                    strip(i);
                } catch (...) {
                    errors[static_cast<std::size_t>(i)] = std::current_exception();
                }
            });
        strip(0);
    }
    for (const auto& e : errors)
        if (e) std::rethrow_exception(e);
    writer.Save(fileName);
}

}  // namespace duvo
