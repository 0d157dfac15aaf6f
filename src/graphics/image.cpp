#include "graphics/image.h"

#include "rtl/exceptions.h"

namespace duvo {

TImage::TImage() {
    picture_.SetOnChange([this](TPersistent*) { PictureChanged(); });
}

TCanvas& TImage::Surface() {
    if (picture_.Empty()) {
        TBitmap bitmap;
        bitmap.SetWidth(width_);
        bitmap.SetHeight(height_);
        picture_.SetGraphic(&bitmap);
    }
    auto* bitmap = dynamic_cast<TBitmap*>(picture_.Graphic());
    if (!bitmap) throw EInvalidOperation(msg::NoBitmapInImage);
    return bitmap->Canvas();
}

void TImage::PictureChanged() {
    if (onPictureChanged_) onPictureChanged_();
}

}  // namespace duvo
