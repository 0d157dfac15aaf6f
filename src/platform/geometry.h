// A rectangle in pixels, as the platform's drawing calls take it.
#pragma once

namespace duvo {

struct TRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const TRect&) const = default;
};

}  // namespace duvo
