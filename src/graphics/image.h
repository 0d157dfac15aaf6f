// The non-visual part of the image control: it owns a picture, knows its own
// size, and hands out a drawing surface. The windowed control only paints.
#pragma once

#include <functional>

#include "graphics/bitmap.h"

namespace duvo {

class TImage {
public:
    TImage();
    TImage(const TImage&) = delete;
    TImage& operator=(const TImage&) = delete;

    TPicture& Picture() { return picture_; }
    const TPicture& Picture() const { return picture_; }
    // Copies the given picture into the control's own.
    void SetPicture(const TPicture& picture) { picture_.CopyFrom(&picture); }

    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetWidth(int value) { width_ = value; }
    void SetHeight(int value) { height_ = value; }

    // The surface of the picture's bitmap; an empty picture first gets a white
    // bitmap of the control's current size.
    TCanvas& Surface();

    // Called whenever the picture changes, so the window can repaint.
    void SetOnPictureChanged(std::function<void()> handler) { onPictureChanged_ = std::move(handler); }

private:
    void PictureChanged();

    TPicture picture_;
    int width_ = 105;
    int height_ = 105;
    std::function<void()> onPictureChanged_;
};

}  // namespace duvo
