// The image control as a window: it owns the non-visual TImage and paints its
// picture unscaled from the top-left corner, clipped to the control.
#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

#include "graphics/image.h"

namespace duvo {

// A picture ready for painting. For the common layouts the image wraps the
// raster's own bits; bottomUp then says that image row 0 is the picture's
// bottom row, so the painter flips instead of copying.
struct PaintImage {
    QImage image;
    bool bottomUp = false;
    bool sharesBits = false;
    // The rows the image was made from; held, so that a wrapped image never
    // outlives them and an exchanged raster is told by its address.
    std::shared_ptr<const platform::Raster> raster;
};
PaintImage MakePaintImage(const TBitmap& bitmap);

// A self-contained top-down copy in a 32-bit format, for icons and previews.
QImage ToQImage(const TBitmap& bitmap);

class TImageControl : public QWidget {
    Q_OBJECT
public:
    explicit TImageControl(QWidget* parent = nullptr);
    ~TImageControl() override;

    TImage& Image() { return image_; }
    TPicture& Picture() { return image_.Picture(); }
    const TPicture& Picture() const { return image_.Picture(); }
    TCanvas& Surface() { return image_.Surface(); }

    int Left() const { return x(); }
    int Top() const { return y(); }
    int Width() const { return image_.Width(); }
    int Height() const { return image_.Height(); }
    void SetLeft(int value) { move(value, y()); }
    void SetTop(int value) { move(x(), value); }
    void SetWidth(int value);
    void SetHeight(int value);
    void SetBounds(int left, int top, int width, int height);

    // For tests: whether the last painting wrapped the raster without a copy,
    // and how many conversions for painting were made so far.
    bool PaintSharesBits() const { return view_.sharesBits; }
    int ConversionCount() const { return conversions_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void PictureChanged();
    const TBitmap* PaintedBitmap();
    void EnsureView();

    TImage image_;
    // The bitmap a non-bitmap graphic was converted to for painting.
    std::unique_ptr<TBitmap> converted_;
    PaintImage view_;
    bool viewValid_ = false;
    int conversions_ = 0;
};

}  // namespace duvo
