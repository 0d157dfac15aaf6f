// TIFF reading through libtiff, for duvo-compare only: the first page of a
// file, in strips or tiles, with any compression the library decodes.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

namespace msg {
inline constexpr const char* TIFFError = "TIFF error: %s";
}  // namespace msg

// The first page as rows, strip by strip (a row of tiles at a time), read
// by the library from the bytes where they lie. The rows keep the file's
// layout where a row layout has it: gray of 1, 2, 4, 8 or 16 bits (a
// min-is-white file inverted), palette indices of up to 8 bits, gray and
// alpha, RGB and RGBA of 8 or 16 bits, contiguous or in planes; JPEG-coded
// YCbCr comes out as RGB. Associated (premultiplied) alpha is divided out,
// so that every RGBA row holds straight alpha. Anything else the library can
// convert (CMYK, CIE L*a*b*, YCbCr without JPEG, other sample sizes,
// floating point it takes) goes through its RGBA converter into 8-bit RGB,
// or RGBA when the file has alpha. The Orientation tag is not applied: rows
// come as stored, as in every other format.
//
// A picture above limits.pixels raises EPictureTooLarge before anything is
// allocated, and so do buffers above limits.decodedBytes; the library's
// errors raise EInvalidGraphic ("TIFF error: <its message>") and its
// warnings become "corrupt" warnings (unknown private tags are no damage).
// A strip or tile that the file ends inside of, or before, is decoded from
// the bytes there are; what it does not hold is zero, with a "truncated"
// warning. The bytes must outlive the source; release, if given, is told
// which byte ranges the decoder is done with.
std::unique_ptr<RowSource> OpenTiffRows(ByteSpan bytes, const Limits& limits,
                                        std::function<void(std::size_t, std::size_t)> release = {});

}  // namespace duvo
