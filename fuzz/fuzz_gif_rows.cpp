// The first frame as rows (what duvo-compare reads, a frame that is not
// interlaced decoded as the rows are read) against the image model's
// conversion to a bitmap (what the desktop program shows): the same size and
// the same pixels whenever the model reads the file, the same error when the
// model fails within the first frame, wherever in the rows it comes, and
// the model's warnings (the pixels the data lacks standing alone for a cut).
#include <algorithm>
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
    std::vector<duvo::DecodeWarning> warnings;
};

const std::string kCut = "the file ends before its trailer";

Seen Model(const std::uint8_t* data, std::size_t size, bool firstFrameOnly) {
    Seen s;
    try {
        duvo::TGIFImage gif;
        gif.SetOnWarning([&](duvo::TPersistent*, std::uint8_t, const std::string& m) {
            const bool ends = m == duvo::msg::GIFPrematureEnd || m == duvo::msg::GIFBitUnderrun;
            const duvo::DecodeWarning w{ends ? "truncated" : "corrupt", m};
            if (std::find(s.warnings.begin(), s.warnings.end(), w) == s.warnings.end()) s.warnings.push_back(w);
        });
        if (firstFrameOnly)
            gif.LoadFirstFrame({data, size}, kLimits);
        else
            gif.LoadFromBytes({data, size}, kLimits);
        if (gif.Images().Count() > 0) {
            const duvo::TGIFSubImage& f = *gif.Images().Frame(0);
            const std::uint64_t total = std::uint64_t(f.Width()) * std::uint64_t(f.Height());
            if (!f.Empty() && f.DecodedPixels() < total) {
                std::erase_if(s.warnings, [](const duvo::DecodeWarning& w) { return w.kind == "truncated"; });
                s.warnings.insert(s.warnings.begin(),
                                  {"truncated", "the image data ends after " + std::to_string(f.DecodedPixels()) +
                                                    " of " + std::to_string(total) + " pixels"});
            }
        }
        duvo::TBitmap bitmap;
        bitmap.CopyFrom(&gif);
        s.width = bitmap.Width();
        s.height = bitmap.Height();
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x)
                s.colors.push_back(static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y)));
    } catch (const duvo::Exception& e) {
        s = Seen{};
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
        rows->Finish();
        s.warnings = rows->Warnings();
    } catch (const duvo::Exception& e) {
        // Wherever the rows failed, the load did: no picture.
        s = Seen{};
        s.error = e.Message();
    }
    return s;
}

bool Same(const Seen& a, const Seen& b) {
    return a.error == b.error && a.width == b.width && a.height == b.height && a.colors == b.colors;
}

// The model cannot see a missing trailer: where the rows say the file was
// cut after the pixels, the model's "Premature end of data" is that cut.
bool SameWarnings(const Seen& rows, std::vector<duvo::DecodeWarning> model) {
    std::vector<duvo::DecodeWarning> got = rows.warnings;
    const auto cut =
        std::find_if(got.begin(), got.end(), [](const duvo::DecodeWarning& w) { return w.message.starts_with(kCut); });
    if (cut != got.end()) {
        if (cut + 1 != got.end()) return false;
        got.erase(cut);
        std::erase_if(model, [](const duvo::DecodeWarning& w) { return w.message == duvo::msg::GIFPrematureEnd; });
    }
    return got == model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The rows are the model read up to its first frame and converted, error
    // for error; and when the model reads the whole file, its picture.
    const Seen rows = Rows(data, size);
    const Seen first = Model(data, size, true);
    if (!Same(rows, first)) std::abort();
    if (first.error.empty() && !SameWarnings(rows, first.warnings)) std::abort();
    const Seen whole = Model(data, size, false);
    if (whole.error.empty() && !Same(rows, whole)) std::abort();
    return 0;
}
