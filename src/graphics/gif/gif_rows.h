// A GIF file's first frame as rows, for a comparison: the header and the
// first frame are read by the image model (so the file's structure is
// followed exactly as the desktop program follows it), the blocks after it
// are not read, and no bitmap is made. The rows are the frame's indices with
// its palette when it covers the logical screen, else the screen in 24 bits
// on white with the frame at its place, as the conversion to a bitmap gives.
#pragma once

#include <memory>

#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// GIFException for a file the codec refuses, EGIFTooLarge above limits. A
// file without frames gives a source of no rows. The frame is held whole (a
// byte per pixel); the bytes need not outlive the call. The codec's warnings,
// and image data that ends before the frame does, are the source's warnings.
std::unique_ptr<RowSource> OpenGifRows(ByteSpan bytes, const Limits& limits);

}  // namespace duvo
