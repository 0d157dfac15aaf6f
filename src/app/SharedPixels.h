// Opening the same picture into both panes decodes it twice; when the new
// scratch picture holds exactly the pixels a pane already shows, the scratch
// picture takes that pane's store instead, so one pixel store serves both.
#pragma once

#include <initializer_list>

#include "graphics/bitmap.h"

namespace duvo {

// Same size, layout, color table and pixel bytes.
bool SamePixels(const TBitmap& a, const TBitmap& b);

// When picture holds a bitmap with the same pixels as one of others, it
// shares that bitmap's store (copy-on-write keeps them apart later).
// Returns whether it did.
bool ShareIdenticalStore(TPicture& picture, std::initializer_list<const TPicture*> others);

}  // namespace duvo
