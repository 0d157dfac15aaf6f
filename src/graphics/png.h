// Writing a bitmap as a PNG file, through the codec's block writer.
#pragma once

#include <string>

#include "codecs/png/png_writer.h"
#include "graphics/bitmap.h"

namespace duvo {

// Writes a non-empty bitmap through a PngBlockWriter, in horizontal strips
// on up to threads threads (0: all cores).
void WritePngFile(const TBitmap& bitmap, const std::string& fileName, unsigned threads = 0);

}  // namespace duvo
