// Our PNG decoder as a row source: the rows of every color type and bit
// depth in the file's own layout, inflated and unfiltered while they are
// asked for, so that a picture that is not interlaced costs memory for a few
// rows only.
//
// What the decoder refuses (EInvalidGraphic, "PNG error: ..."): a damaged
// signature or header, a wrong CRC of a critical chunk, image data that is
// damaged, cut short or whose Adler-32 is wrong. What it lets pass with a
// warning, after the last row (Finish): damage behind complete image data
// (a missing IEND, a cut or damaged ancillary chunk, trailing bytes), and an
// ancillary chunk with a wrong CRC anywhere, which is skipped.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

// Reads the signature and the chunks up to the image data; the source's
// Format() is then known. A picture above limits.pixels, or an interlaced
// one (which is held whole) whose rows hold more than limits.decodedBytes,
// raises EPictureTooLarge before anything is allocated for it. consumed, if
// given, is told every few megabytes how many leading bytes of the input
// the decoder is done with. bytes must outlive the source.
std::unique_ptr<RowSource> OpenPngRows(ByteSpan bytes, const Limits& limits,
                                       std::function<void(std::size_t)> consumed = {});

}  // namespace duvo
