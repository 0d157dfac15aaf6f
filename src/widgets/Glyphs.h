// Pictures compiled into the program, made ready for Qt: tool-button glyphs,
// the window icon and the comparison scale.
#pragma once

#include <QIcon>
#include <QImage>

namespace duvo {

class TPicture;

// A BMP resource read through our own BMP reader; a null image when the
// resource is missing.
QImage ResourceImage(const char* name);

// A glyph bitmap holds the normal image and the disabled one side by side;
// the color of its bottom-left pixel is drawn transparent in both.
QIcon GlyphIcon(const char* name);
// The two halves of a glyph with transparency applied, for tests.
QImage GlyphHalf(const QImage& glyph, int half);

// The main window's icon.
QIcon ApplicationIcon();

// Reads a picture's stored form (length byte, class name, data) from an
// embedded resource into picture.
void ReadStoredPicture(const char* name, TPicture& picture);

}  // namespace duvo
