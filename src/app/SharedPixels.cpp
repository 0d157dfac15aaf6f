#include "app/SharedPixels.h"

#include <cstring>

namespace duvo {

namespace {

bool SamePalette(const platform::Palette* a, const platform::Palette* b) {
    if (!a || !b) return a == b;
    if (a->entries.size() != b->entries.size()) return false;
    for (std::size_t i = 0; i < a->entries.size(); ++i) {
        const auto &x = a->entries[i], &y = b->entries[i];
        if (x.red != y.red || x.green != y.green || x.blue != y.blue || x.flags != y.flags) return false;
    }
    return true;
}

}  // namespace

bool SamePixels(const TBitmap& a, const TBitmap& b) {
    const platform::Raster* ra = a.Raster();
    const platform::Raster* rb = b.Raster();
    if (!ra || !rb) return false;
    if (ra == rb) return true;
    if (ra->Width() != rb->Width() || ra->Height() != rb->Height() || ra->BitCount() != rb->BitCount()) return false;
    if (ra->Format().compression != rb->Format().compression || ra->Format().masks != rb->Format().masks) return false;
    if (a.PixelKind() != b.PixelKind() || !SamePalette(a.GetPalette(), b.GetPalette())) return false;
    if (ra->BitCount() <= 8) {
        if (ra->ColorCount() != rb->ColorCount()) return false;
        for (int i = 0; i < ra->ColorCount(); ++i) {
            const auto &x = ra->Colors()[i], &y = rb->Colors()[i];
            if (x.red != y.red || x.green != y.green || x.blue != y.blue) return false;
        }
    }
    if (a.TransparentColor() != b.TransparentColor() || a.TransparentMode() != b.TransparentMode() ||
        a.GetTransparent() != b.GetTransparent())
        return false;
    const std::size_t rowBytes = (static_cast<std::size_t>(ra->Width()) * ra->BitCount() + 7) / 8;
    for (int y = 0; y < ra->Height(); ++y)
        if (std::memcmp(ra->Row(y), rb->Row(y), rowBytes) != 0) return false;
    return true;
}

bool ShareIdenticalStore(TPicture& picture, std::initializer_list<const TPicture*> others) {
    auto* bitmap = dynamic_cast<TBitmap*>(picture.Graphic());
    if (!bitmap) return false;
    for (const TPicture* other : others) {
        const auto* candidate = other ? dynamic_cast<const TBitmap*>(other->Graphic()) : nullptr;
        if (!candidate || candidate == bitmap) continue;
        if (bitmap->SharesStoreWith(*candidate)) return true;
        if (SamePixels(*bitmap, *candidate)) {
            bitmap->CopyFrom(candidate);
            return true;
        }
    }
    return false;
}

}  // namespace duvo
