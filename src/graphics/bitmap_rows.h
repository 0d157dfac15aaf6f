// A bitmap as a row source: its rows read where they lie in its raster, in
// the raster's own layout. The comparison engine reads the desktop
// program's panes through it.
#pragma once

#include <memory>

#include "codecs/row_source.h"
#include "graphics/bitmap.h"

namespace duvo {

// The bitmap must not change while the source is used; an empty bitmap
// gives a source of no rows.
std::unique_ptr<RowSource> BitmapRows(const TBitmap& bitmap);

}  // namespace duvo
