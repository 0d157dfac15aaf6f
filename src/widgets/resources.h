// Pictures compiled into the program: tool-button glyphs, the window icon and
// the comparison scale. They are BMP data read with our own BMP reader.
#pragma once

#include <cstddef>

namespace duvo::res {

struct Blob {
    const unsigned char* data;
    std::size_t size;
};

// By file name under src/widgets/resources: "open.bmp", "compare.bmp",
// "about.bmp", "exit.bmp", "icon.bmp", and "scale.dat" (a picture's stored
// form: length byte, class name, then the bitmap's stored data). An unknown
// name gives {nullptr, 0}.
Blob Find(const char* name);

}  // namespace duvo::res
