#include "loading/open_routes.h"

#include <mutex>

#include "gif/gif_image.h"
#include "graphics/bitmap.h"
#include "graphics/jpeg.h"
#include "rtl/exceptions.h"

namespace duvo {

void InitializeFormats() {
    static std::once_flag once;
    std::call_once(once, [] {
        GetFileFormats();
        RegisterJPEGFormats();
        RegisterGIFFormats();
    });
}

std::string OpenExtension(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    const auto slash = fileName.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot)) return {};
    return LowerAscii(fileName.substr(dot));
}

const std::string& OpenDialogFilter() {
    static const std::string filter =
        "Wszystkie obsługiwane formaty|*.bmp;  *.gif; *.jpeg;  *.jpg|JPEGi (*.jpg, *.jpeg)|*.jpg; *.jpeg|"
        "Bitmapy (*.bmp)|*.bmp|GIFy (*.gif)|*.gif";
    return filter;
}

namespace {

LoadOutcome BmpRoute(const std::string& fileName, TPicture& picture) {
    try {
        picture.LoadFile(fileName);
    } catch (const EInvalidGraphic&) {
        picture.SetGraphic(nullptr);
        return LoadOutcome::LoadError;
    }
    return picture.Empty() ? LoadOutcome::LoadError : LoadOutcome::Loaded;
}

// Decodes through the JPEG image into a plain bitmap; every invalid-graphic
// error (the library's "JPEG error #%d" among them) is a load error.
LoadOutcome JpegRoute(const std::string& fileName, TPicture& picture) {
    try {
        TJPEGImage jpeg;
        jpeg.LoadFile(fileName);
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

}  // namespace

LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture) {
    InitializeFormats();
    const std::string ext = OpenExtension(fileName);
    if (ext == ".bmp") return BmpRoute(fileName, picture);
    if (ext == ".jpg") return JpegRoute(fileName, picture);
    return LoadOutcome::UnknownFormat;
}

}  // namespace duvo
