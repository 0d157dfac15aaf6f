#include "loading/open_routes.h"

#include <mutex>

#include "graphics/bitmap.h"
#include "rtl/exceptions.h"

namespace duvo {

void InitializeFormats() {
    static std::once_flag once;
    std::call_once(once, [] { GetFileFormats(); });
}

std::string OpenExtension(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    const auto slash = fileName.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot)) return {};
    return LowerAscii(fileName.substr(dot));
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

}  // namespace

LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture) {
    InitializeFormats();
    const std::string ext = OpenExtension(fileName);
    if (ext == ".bmp") return BmpRoute(fileName, picture);
    return LoadOutcome::UnknownFormat;
}

}  // namespace duvo
