#include "widgets/ImageControl.h"

#include <QPaintEvent>
#include <QPainter>
#include <cstring>

namespace duvo {

using platform::Raster;

namespace {

QList<QRgb> ColorTable(const Raster& raster, int count) {
    QList<QRgb> table(count);
    const auto& colors = raster.Colors();
    for (int i = 0; i < count; ++i) table[i] = qRgb(colors[i].red, colors[i].green, colors[i].blue);
    return table;
}

// A wrapped image never owns or changes the bits; the non-const constructor
// is used only so that setting a color table does not detach into a copy.
QImage Wrap(const Raster& r, QImage::Format format) {
    auto* bits = const_cast<uchar*>(r.Bits());
    return QImage(bits, r.Width(), r.Height(), static_cast<qsizetype>(r.Stride()), format);
}

// 4-bit rows unpacked into 8-bit indices, top-down.
QImage Unpack4(const Raster& r) {
    QImage image(r.Width(), r.Height(), QImage::Format_Indexed8);
    image.setColorTable(ColorTable(r, 256));
    for (int y = 0; y < r.Height(); ++y) {
        const std::uint8_t* src = r.Row(y);
        uchar* dst = image.scanLine(y);
        for (int x = 0; x < r.Width(); ++x) dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
    }
    return image;
}

// Any other layout through the raster's own pixel read, row by row, top-down.
QImage ConvertByPixel(const Raster& r) {
    QImage image(r.Width(), r.Height(), QImage::Format_RGB32);
    for (int y = 0; y < r.Height(); ++y) {
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < r.Width(); ++x) {
            const std::uint32_t c = static_cast<std::uint32_t>(r.GetPixel(x, y));
            dst[x] = qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        }
    }
    return image;
}

// 32-bit BI_RGB rows carry an unused fourth byte that need not be 0xFF.
QImage Convert32(const Raster& r) {
    QImage image(r.Width(), r.Height(), QImage::Format_RGB32);
    for (int y = 0; y < r.Height(); ++y) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(r.Row(y));
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < r.Width(); ++x) dst[x] = src[x] | 0xFF000000u;
    }
    return image;
}

}  // namespace

PaintImage MakePaintImage(const TBitmap& bitmap) {
    PaintImage out;
    out.raster = bitmap.SharedRaster();
    const Raster* r = out.raster.get();
    if (!r || r->Width() <= 0 || r->Height() <= 0) return out;
    const auto& format = r->Format();
    const bool bitFields = format.compression == platform::BI_BITFIELDS;
    // The painter wants 32-bit aligned rows; rows borrowed from a file's
    // bytes may start anywhere, and are converted instead.
    const bool aligned = reinterpret_cast<std::uintptr_t>(r->Bits()) % 4 == 0;
    auto wrap = [&](QImage::Format f) {
        if (!aligned) {
            out.image = ConvertByPixel(*r);
            return;
        }
        out.image = Wrap(*r, f);
        out.bottomUp = r->BottomUp();
        out.sharesBits = true;
    };
    switch (r->BitCount()) {
        case 24:
            wrap(QImage::Format_BGR888);
            break;
        case 8:
            wrap(QImage::Format_Indexed8);
            // All 256 entries, so any index in the data has a color.
            if (out.sharesBits) out.image.setColorTable(ColorTable(*r, 256));
            break;
        case 1:
            wrap(QImage::Format_Mono);
            if (out.sharesBits) out.image.setColorTable(ColorTable(*r, 2));
            break;
        case 4:
            out.image = Unpack4(*r);
            break;
        case 16:
            if (!bitFields)
                wrap(QImage::Format_RGB555);
            else if (format.masks == std::array<std::uint32_t, 3>{0xF800, 0x07E0, 0x001F})
                wrap(QImage::Format_RGB16);
            else
                out.image = ConvertByPixel(*r);
            break;
        case 32:
            out.image = bitFields ? ConvertByPixel(*r) : Convert32(*r);
            break;
        default:
            out.image = ConvertByPixel(*r);
            break;
    }
    return out;
}

QImage ToQImage(const TBitmap& bitmap) {
    PaintImage p = MakePaintImage(bitmap);
    if (p.image.isNull()) return {};
    QImage image = p.image.convertToFormat(QImage::Format_RGB32);
    if (p.bottomUp) image = image.mirrored(false, true);
    // A conversion that returned the wrapped image itself would still point
    // at the raster; detach so the copy outlives the bitmap.
    if (image.constBits() == p.image.constBits()) image = image.copy();
    return image;
}

TImageControl::TImageControl(QWidget* parent) : QWidget(parent) {
    image_.SetOnPictureChanged([this] { PictureChanged(); });
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    QWidget::resize(image_.Width(), image_.Height());
}

TImageControl::~TImageControl() { image_.SetOnPictureChanged(nullptr); }

void TImageControl::SetWidth(int value) {
    image_.SetWidth(value);
    QWidget::resize(value, height());
}

void TImageControl::SetHeight(int value) {
    image_.SetHeight(value);
    QWidget::resize(width(), value);
}

void TImageControl::SetBounds(int left, int top, int width, int height) {
    image_.SetWidth(width);
    image_.SetHeight(height);
    setGeometry(left, top, width, height);
}

void TImageControl::resizeEvent(QResizeEvent* event) {
    image_.SetWidth(width());
    image_.SetHeight(height());
    QWidget::resizeEvent(event);
}

void TImageControl::PictureChanged() {
    viewValid_ = false;
    update();
}

const TBitmap* TImageControl::PaintedBitmap() {
    TGraphic* graphic = image_.Picture().Graphic();
    if (!graphic) return nullptr;
    if (auto* bitmap = dynamic_cast<const TBitmap*>(graphic)) return bitmap;
    // Another kind of graphic is shown through a bitmap of its own.
    if (!viewValid_ || !converted_) {
        converted_ = std::make_unique<TBitmap>();
        try {
            converted_->CopyFrom(graphic);
        } catch (const std::exception&) {
            converted_.reset();
        }
    }
    return converted_.get();
}

void TImageControl::EnsureView() {
    const TBitmap* bitmap = PaintedBitmap();
    if (!bitmap) {
        view_ = PaintImage{};
        viewValid_ = true;
        return;
    }
    // The view holds its raster, so a raster exchanged without a change
    // notice is told by its address.
    if (viewValid_ && view_.raster == bitmap->SharedRaster()) return;
    view_ = MakePaintImage(*bitmap);
    viewValid_ = true;
    ++conversions_;
}

void TImageControl::paintEvent(QPaintEvent* event) {
    EnsureView();
    if (view_.image.isNull()) return;
    const int h = view_.image.height();
    const QRect exposed = event->rect() & QRect(0, 0, view_.image.width(), h);
    if (exposed.isEmpty()) return;
    QPainter painter(this);
    if (!view_.bottomUp) {
        painter.drawImage(exposed.topLeft(), view_.image, exposed);
        return;
    }
    // Image row s is picture row h - 1 - s: draw the matching stored rows
    // through a vertical flip.
    painter.setTransform(QTransform(1, 0, 0, -1, 0, h));
    const QRect source(exposed.x(), h - exposed.y() - exposed.height(), exposed.width(), exposed.height());
    painter.drawImage(source.topLeft(), view_.image, source);
}

}  // namespace duvo
