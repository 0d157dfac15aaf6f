// A GIF file's first frame as rows, for a comparison: the header and the
// first frame's blocks are read by the image model (so the file's structure
// is followed exactly as the desktop program follows it), and no bitmap is
// made. The rows are the frame's indices with its palette when it covers the
// logical screen, else the screen in 24 bits on white with the frame at its
// place, as the conversion to a bitmap gives. A frame that is not
// interlaced is decoded as its rows are read, never held; an interlaced one
// is decoded whole at once, a byte per pixel, and the source says so
// (Sequential() false).
#pragma once

#include <memory>

#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// GIFException for a file the codec refuses, EGIFTooLarge above limits; an
// error in the image data comes as the rows reach it (or at Finish, for rows
// below the screen), as the pixels, warnings and errors of the model's load
// and conversion. A file without frames gives a source of no rows. The bytes
// must outlive the source. Warnings, complete after Finish: the codec's, and
// one for a file cut short (the pixels the data lacks, or the missing
// trailer; the blocks after the first frame are followed for it, not read).
std::unique_ptr<RowSource> OpenGifRows(ByteSpan bytes, const Limits& limits);

}  // namespace duvo
