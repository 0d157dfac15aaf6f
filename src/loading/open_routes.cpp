#include "loading/open_routes.h"

#include <array>
#include <mutex>

#include "codecs/bmp/bmp_decoder.h"
#include "codecs/jpeg/jpeg_decoder.h"
#include "graphics/bitmap.h"
#include "graphics/gif/gif_image.h"
#include "graphics/gif/gif_rows.h"
#include "graphics/jpeg.h"
#include "rtl/exceptions.h"

namespace duvo {

namespace {

// ---- the desktop program's loads ----------------------------------------------------

LoadOutcome BmpPicture(ByteSpan bytes, TPicture& picture, const Limits& limits) {
    try {
        TBitmap bitmap;
        bitmap.LoadFromBytes(bytes, limits);
        picture.SetGraphic(&bitmap);
    } catch (const EInvalidGraphic&) {
        picture.SetGraphic(nullptr);
        return LoadOutcome::LoadError;
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// Decodes through the JPEG image into a plain bitmap; every invalid-graphic
// error (the library's "JPEG error #%d" among them) is a load error. The
// image reads the bytes where they lie: it lives only as long as the load.
LoadOutcome JpegPicture(ByteSpan bytes, TPicture& picture, const Limits& limits) {
    try {
        TJPEGImage jpeg;
        jpeg.LoadFromBytes(bytes, limits, std::shared_ptr<const void>(bytes.data(), [](const void*) {}));
        picture.SetGraphic(nullptr);
        TBitmap bitmap;
        bitmap.CopyFrom(&jpeg);
        picture.CopyFrom(&bitmap);
    } catch (const EInvalidGraphic&) {
        picture.SetGraphic(nullptr);
        return LoadOutcome::LoadError;
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// The first frame becomes a plain bitmap. Nothing is caught: a GIF the codec
// rejects reaches the caller with the codec's own message.
LoadOutcome GifPicture(ByteSpan bytes, TPicture& picture, const Limits& limits) {
    TGIFImage gif;
    gif.LoadFromBytes(bytes, limits);
    picture.SetGraphic(nullptr);
    TBitmap bitmap;
    bitmap.CopyFrom(&gif);
    picture.CopyFrom(&bitmap);
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// ---- a comparison's rows ---------------------------------------------------------------

// A source that reads the file's bytes where they lie keeps the file, and
// tells it which of its pages are done with.
class Holding final : public RowSource {
public:
    Holding(std::shared_ptr<const FileBytes> file, std::unique_ptr<RowSource> rows)
        : file_(std::move(file)), rows_(std::move(rows)) {
        format_ = rows_->Format();
        warnings_ = rows_->Warnings();
    }
    bool Sequential() const override { return rows_->Sequential(); }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override { rows_->ReadRows(dst, stride, count); }
    const std::uint8_t* RowInPlace(int y) const override { return rows_->RowInPlace(y); }
    void Release(int y0, int y1) override { rows_->Release(y0, y1); }
    void Finish() override {
        rows_->Finish();
        warnings_ = rows_->Warnings();
        // A file cut short meanwhile read as zeros: its pixels are not to be trusted.
        file_->CheckIntact();
    }

private:
    std::shared_ptr<const FileBytes> file_;
    std::unique_ptr<RowSource> rows_;
};

}  // namespace

std::unique_ptr<RowSource> HoldingFile(const std::shared_ptr<const FileBytes>& file, std::unique_ptr<RowSource> rows) {
    return std::make_unique<Holding>(file, std::move(rows));
}

namespace {

std::unique_ptr<RowSource> BmpRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    const FileBytes* bytes = file.get();
    return HoldingFile(file, OpenBmpRows(file->Bytes(), limits, [bytes](std::size_t begin, std::size_t end) {
                           bytes->ReleaseRange(begin, end);
                       }));
}

std::unique_ptr<RowSource> JpegRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    return HoldingFile(file, OpenJpegRows(file->Bytes(), limits));
}

std::unique_ptr<RowSource> GifRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    return HoldingFile(file, OpenGifRows(file->Bytes(), limits));
}

// The routes in the order the open command tests them. ".jpeg" is offered by
// the filter but taken by no route: such a file gets the unknown-format box.
// The command-line rows' decoders come from SupplyRowDecoder; the table is
// constant-initialised, so it is complete before any supplier runs.
constinit std::array kRoutes{
    Route{".bmp", "BMP", false, BmpPicture, BmpRows},
    Route{".jpg", "JPEG", false, JpegPicture, JpegRows},
    Route{".gif", "GIF", false, GifPicture, GifRows, false, true},
    Route{".png", "PNG", true, nullptr, nullptr, true},
    Route{".webp", "WebP", true, nullptr, nullptr},
    Route{".tif", "TIFF", true, nullptr, nullptr, true},
    Route{".tiff", "TIFF", true, nullptr, nullptr, true},
};

constexpr std::array kFilters{
    FilterGroup{"Wszystkie obsługiwane formaty", "*.bmp;  *.gif; *.jpeg;  *.jpg"},
    FilterGroup{"JPEGi (*.jpg, *.jpeg)", "*.jpg; *.jpeg"},
    FilterGroup{"Bitmapy (*.bmp)", "*.bmp"},
    FilterGroup{"GIFy (*.gif)", "*.gif"},
};

}  // namespace

void InitializeFormats() {
    static std::once_flag once;
    std::call_once(once, [] {
        GetFileFormats();
        RegisterJPEGFormats();
        RegisterGIFFormats();
    });
}

void SupplyRowDecoder(std::string_view format, RowOpener openRows) {
    for (Route& route : kRoutes)
        if (route.commandLineOnly && route.format == format) route.openRows = openRows;
}

std::span<const Route> Routes() { return kRoutes; }

std::string OpenExtension(const std::string& fileName) {
    const std::string ext = ExtractExtension(fileName);
    return ext.empty() ? std::string() : "." + LowerAscii(ext);
}

const Route* FindRoute(const std::string& fileName, RouteUser user) {
    const std::string ext = OpenExtension(fileName);
    for (const Route& route : kRoutes)
        if (route.extension == ext && (user == RouteUser::CommandLine || !route.commandLineOnly)) return &route;
    return nullptr;
}

std::span<const FilterGroup> OpenDialogFilters() { return kFilters; }

const std::string& OpenDialogFilter() {
    static const std::string filter = [] {
        std::string text;
        for (const FilterGroup& group : kFilters) {
            if (!text.empty()) text += '|';
            text.append(group.description).append("|").append(group.patterns);
        }
        return text;
    }();
    return filter;
}

LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture, const Limits& limits) {
    const Route* route = FindRoute(fileName);
    if (!route || !route->loadPicture) return LoadOutcome::UnknownFormat;
    InitializeFormats();
    const auto file = FileBytes::Open(fileName, limits);
    const LoadOutcome outcome = route->loadPicture(file->Bytes(), picture, limits);
    file->CheckIntact();
    return outcome;
}

}  // namespace duvo
