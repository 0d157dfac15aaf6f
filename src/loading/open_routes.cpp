#include "loading/open_routes.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "graphics/bitmap.h"
#include "graphics/bmp.h"
#include "graphics/gif/gif_image.h"
#include "graphics/jpeg.h"
#include "rtl/exceptions.h"

namespace duvo {

namespace {

// The routes in the order the open command tests them. ".jpeg" is offered by
// the filter but taken by no route: such a file gets the unknown-format box.
constexpr std::array kRoutes{
    Route{".bmp", RouteKind::Bmp, false, "BMP"},
    Route{".jpg", RouteKind::Jpeg, false, "JPEG"},
    Route{".gif", RouteKind::Gif, false, "GIF"},
    Route{".png", RouteKind::Png, true, "PNG"},
};

constexpr std::array kFilters{
    FilterGroup{"Wszystkie obsługiwane formaty", "*.bmp;  *.gif; *.jpeg;  *.jpg"},
    FilterGroup{"JPEGi (*.jpg, *.jpeg)", "*.jpg; *.jpeg"},
    FilterGroup{"Bitmapy (*.bmp)", "*.bmp"},
    FilterGroup{"GIFy (*.gif)", "*.gif"},
};

LoadOutcome Rejected(TPicture& picture, const EInvalidGraphic& e, LoadDetails* details) {
    picture.SetGraphic(nullptr);
    if (details) details->error = e.Message();
    return LoadOutcome::LoadError;
}

LoadOutcome BmpRoute(const FileBytes& file, bool borrow, const std::shared_ptr<const FileBytes>& owner,
                     TPicture& picture, const Limits& limits, LoadDetails* details) {
    try {
        DecodedPicture decoded = DecodeBmp(file.Bytes(), limits, borrow ? owner : nullptr);
        if (details) details->warnings = decoded.warnings;
        TBitmap bitmap;
        bitmap.Adopt(std::move(decoded));
        picture.SetGraphic(&bitmap);
    } catch (const EInvalidGraphic& e) {
        return Rejected(picture, e, details);
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// Decodes through the JPEG image into a plain bitmap; every invalid-graphic
// error (the library's "JPEG error #%d" among them) is a load error.
LoadOutcome JpegRoute(TStream& stream, TPicture& picture, const Limits& limits, LoadDetails* details) {
    try {
        if (details) {
            // The command line wants to hear of damage, which the image
            // class keeps to itself: the same decode with the same settings,
            // called directly.
            JpegSettings settings;
            settings.blockSmoothing = DecodeDefaults.BlockSmoothing;
            settings.grayOutput = DecodeDefaults.GrayOutput;
            settings.outputDepth = DecodeDefaults.OutputDepth;
            settings.progressiveView = DecodeDefaults.ProgressiveView;
            settings.decodeMode = DecodeDefaults.DecodeMode;
            settings.decodeScale = DecodeDefaults.DecodeScale;
            const ByteSpan bytes{stream.Memory() + stream.Position(),
                                 static_cast<std::size_t>(stream.Size() - stream.Position())};
            JpegDecoded decoded = DecodeJpeg(bytes, settings, limits);
            details->warnings = decoded.picture.warnings;
            TBitmap bitmap;
            bitmap.Adopt(std::move(decoded.picture));
            picture.SetGraphic(&bitmap);
            return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
        }
        TJPEGImage jpeg;
        jpeg.SetLimits(limits);
        jpeg.ReadFromStream(stream);
        picture.SetGraphic(nullptr);
        TBitmap bitmap;
        bitmap.CopyFrom(&jpeg);
        picture.CopyFrom(&bitmap);
    } catch (const EInvalidGraphic& e) {
        return Rejected(picture, e, details);
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// A PNG file is read once, front to back, so a mapped file's pages are let go
// behind the decoder.
LoadOutcome PngRoute(const FileBytes& file, TPicture& picture, const Limits& limits, LoadDetails* details) {
    try {
        PngDecoded png = DecodePng(file.Bytes(), limits, [&file](std::size_t done) { file.ReleaseBefore(done); });
        TBitmap bitmap;
        bitmap.Adopt(std::move(png.picture));
        picture.SetGraphic(&bitmap);
        if (details) {
            details->side = std::move(png.side);
            details->bitDepth = png.bitDepth;
        }
    } catch (const EInvalidGraphic& e) {
        return Rejected(picture, e, details);
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// The first frame becomes a plain bitmap. Nothing is caught: a GIF the codec
// rejects reaches the caller with the codec's own message.
LoadOutcome GifRoute(TStream& stream, TPicture& picture, const Limits& limits, LoadDetails* details) {
    TGIFImage gif;
    gif.SetLimits(limits);
    if (details)
        gif.SetOnWarning([details](TPersistent*, std::uint8_t, const std::string& message) {
            // Data that stops early is the damage people meet; the rest is
            // the file's structure gone wrong.
            const bool ends = message == msg::GIFPrematureEnd || message == msg::GIFBitUnderrun;
            const DecodeWarning w{ends ? warning_kind::Truncated : warning_kind::Corrupt, message};
            if (std::find(details->warnings.begin(), details->warnings.end(), w) == details->warnings.end())
                details->warnings.push_back(w);
        });
    gif.ReadFromStream(stream);
    if (details && gif.Images().Count() > 0) {
        const TGIFSubImage& frame = *gif.Images().Frame(0);
        const std::uint64_t total = std::uint64_t(frame.Width()) * std::uint64_t(frame.Height());
        if (frame.DecodedPixels() < total)
            details->warnings.insert(
                details->warnings.begin(),
                {warning_kind::Truncated, "the image data ends after " + std::to_string(frame.DecodedPixels()) +
                                              " of " + std::to_string(total) + " pixels"});
    }
    picture.SetGraphic(nullptr);
    TBitmap bitmap;
    bitmap.CopyFrom(&gif);
    picture.CopyFrom(&bitmap);
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

}  // namespace

void InitializeFormats() {
    static std::once_flag once;
    std::call_once(once, [] {
        GetFileFormats();
        RegisterJPEGFormats();
        RegisterGIFFormats();
    });
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

LoadOutcome LoadFileBytes(const Route& route, const std::shared_ptr<const FileBytes>& file, TPicture& picture,
                          const Limits& limits, bool borrow, LoadDetails* details) {
    InitializeFormats();
    const ByteSpan bytes = file->Bytes();
    TBytesStream stream(bytes.data(), bytes.size(), borrow ? file : nullptr);
    switch (route.kind) {
        case RouteKind::Bmp:
            return BmpRoute(*file, borrow, file, picture, limits, details);
        case RouteKind::Jpeg:
            return JpegRoute(stream, picture, limits, details);
        case RouteKind::Gif:
            return GifRoute(stream, picture, limits, details);
        case RouteKind::Png:
            return PngRoute(*file, picture, limits, details);
    }
    return LoadOutcome::UnknownFormat;
}

LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture, const Limits& limits) {
    const Route* route = FindRoute(fileName);
    if (!route) return LoadOutcome::UnknownFormat;
    const auto file = FileBytes::Open(fileName, limits);
    const LoadOutcome outcome = LoadFileBytes(*route, file, picture, limits, false);
    file->CheckIntact();
    return outcome;
}

}  // namespace duvo
