// The open command's dispatch by extension and its decoding routes, shared by
// the desktop program and duvo-compare so that both accept exactly the same
// files. No windows here: the caller shows the boxes for the outcomes.
#pragma once

#include <string>

#include "graphics/graphics.h"

namespace duvo {

enum class LoadOutcome {
    Loaded,         // the picture holds a bitmap
    LoadError,      // the decoder rejected the file as an invalid graphic; picture empty
    UnknownFormat,  // no route takes the extension; picture unchanged
};

// Makes the format registry and every process-wide default exist, with the
// format units' registrations. Safe to call often and from any thread; call it
// before pictures are loaded on several threads.
void InitializeFormats();

// The extension with its dot, ASCII letters lower-cased; empty when the last
// dot lies before the last folder separator or there is none.
std::string OpenExtension(const std::string& fileName);

// The open dialog's filter: pairs of a description and a pattern list, all
// separated by "|", exactly as the program shows them.
const std::string& OpenDialogFilter();

// Decodes the file into picture by its extension. Failures other than an
// invalid graphic on the BMP and JPEG routes pass on as exceptions.
LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture);

}  // namespace duvo
