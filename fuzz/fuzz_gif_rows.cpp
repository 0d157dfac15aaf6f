// The first frame as rows (what duvo-compare reads) against the image
// model's conversion to a bitmap (what the desktop program shows): the same
// size and the same pixels whenever the model reads the file, the same
// error when the model fails within the first frame.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "compare/row_convert.h"
#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "graphics/gif/gif_rows.h"
#include "rtl/exceptions.h"

namespace {

// Small enough that every frame and screen a fuzz input may declare fits in memory.
constexpr duvo::Limits kLimits{.pixels = std::uint64_t{1} << 20, .frames = 64, .decodedBytes = std::uint64_t{1} << 24};

struct Seen {
    std::string error;
    int width = 0, height = 0;
    std::vector<std::uint32_t> colors;
};

Seen Model(const std::uint8_t* data, std::size_t size, bool firstFrameOnly) {
    Seen s;
    try {
        duvo::TGIFImage gif;
        if (firstFrameOnly)
            gif.LoadFirstFrame({data, size}, kLimits);
        else
            gif.LoadFromBytes({data, size}, kLimits);
        duvo::TBitmap bitmap;
        bitmap.CopyFrom(&gif);
        s.width = bitmap.Width();
        s.height = bitmap.Height();
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x)
                s.colors.push_back(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)));
    } catch (const duvo::Exception& e) {
        s.error = e.Message();
    }
    return s;
}

Seen Rows(const std::uint8_t* data, std::size_t size) {
    Seen s;
    try {
        auto rows = duvo::OpenGifRows({data, size}, kLimits);
        s.width = rows->Width();
        s.height = rows->Height();
        if (s.width > 0 && s.height > 0) {
            const duvo::compare_rows::RowReader reader(rows->Format(), duvo::compare_rows::ScalarKernels());
            std::vector<std::uint8_t> row(rows->Format().RowBytes());
            std::vector<std::uint32_t> colors(static_cast<std::size_t>(s.width));
            for (int y = 0; y < s.height; ++y) {
                rows->ReadRows(row.data(), 0, 1);
                for (int x0 = 0; x0 < s.width; x0 += duvo::compare_rows::kRunPixels) {
                    const int n = std::min(duvo::compare_rows::kRunPixels, s.width - x0);
                    const std::uint32_t* c = reader.Colors(row.data(), x0, n, colors.data());
                    s.colors.insert(s.colors.end(), c, c + n);
                }
            }
        }
    } catch (const duvo::Exception& e) {
        s.error = e.Message();
    }
    return s;
}

bool Same(const Seen& a, const Seen& b) {
    return a.error == b.error && a.width == b.width && a.height == b.height && a.colors == b.colors;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The rows are the model read up to its first frame and converted, error
    // for error; and when the model reads the whole file, its picture.
    const Seen rows = Rows(data, size);
    if (!Same(rows, Model(data, size, true))) std::abort();
    const Seen whole = Model(data, size, false);
    if (whole.error.empty() && !Same(rows, whole)) std::abort();
    return 0;
}
