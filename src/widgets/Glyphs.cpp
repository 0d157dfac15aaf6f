#include "widgets/Glyphs.h"

#include <QPixmap>

#include "graphics/bitmap.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"
#include "widgets/ImageControl.h"
#include "widgets/resources.h"

namespace duvo {

QImage ResourceImage(const char* name) {
    const res::Blob blob = res::Find(name);
    if (!blob.data) return {};
    TBitmap bitmap;
    TBytesStream stream(blob.data, blob.size);
    bitmap.ReadFromStream(stream);
    return ToQImage(bitmap);
}

namespace {
// The color of the bottom-left pixel is the picture's background: drawn transparent.
QImage KeyOutBottomLeft(const QImage& source, QRgb key) {
    QImage image = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((row[x] & 0x00FFFFFF) == key) row[x] = 0;
    }
    return image;
}
}  // namespace

QImage GlyphHalf(const QImage& glyph, int half) {
    if (glyph.isNull()) return {};
    const int w = glyph.width() / 2;
    return KeyOutBottomLeft(glyph.copy(half * w, 0, w, glyph.height()),
                            glyph.pixel(0, glyph.height() - 1) & 0x00FFFFFF);
}

QIcon GlyphIcon(const char* name) {
    const QImage glyph = ResourceImage(name);
    QIcon icon;
    if (glyph.isNull()) return icon;
    icon.addPixmap(QPixmap::fromImage(GlyphHalf(glyph, 0)), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(GlyphHalf(glyph, 1)), QIcon::Disabled);
    return icon;
}

QIcon ApplicationIcon() {
    const QImage image = ResourceImage("icon.bmp");
    if (image.isNull()) return {};
    return QIcon(QPixmap::fromImage(KeyOutBottomLeft(image, image.pixel(0, image.height() - 1) & 0x00FFFFFF)));
}

void ReadStoredPicture(const char* name, TPicture& picture) {
    const res::Blob blob = res::Find(name);
    if (!blob.data) throw EReadError(msg::StreamRead);
    TBytesStream stream(blob.data, blob.size);
    picture.ReadData(stream);
}

}  // namespace duvo
