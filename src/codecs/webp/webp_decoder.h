// WebP reading through libwebp, for duvo-compare only: lossy and lossless
// files, with and without alpha, and the first frame of an animation.
#pragma once

#include <functional>
#include <memory>

#include "codecs/row_source.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

namespace msg {
inline constexpr const char* WebPError = "WebP error: %s";
}  // namespace msg

// The file as 8-bit rows: RGBA when the file says it has alpha, else RGB;
// for an animation, the first canvas (the first frame at its place on a
// transparent canvas, as libwebp's animation decoder composes it). libwebp
// always decodes into one buffer of the whole frame, so the frame is decoded
// here, when the source is made, and its rows are read in place.
//
// A picture above limits.pixels, or whose decode takes more than
// limits.decodedBytes, raises EPictureTooLarge before anything is allocated;
// a file the library refuses raises EInvalidGraphic ("WebP error: ...").
// A file cut inside its image data keeps the rows libwebp decoded, the rest
// are zero (transparent black, or black), with a "truncated" warning; so
// does a file cut after its pixels, with whole pixels. done, if given, is
// called once the bytes are no longer read.
std::unique_ptr<RowSource> OpenWebpRows(ByteSpan bytes, const Limits& limits, std::function<void()> done = {});

}  // namespace duvo
