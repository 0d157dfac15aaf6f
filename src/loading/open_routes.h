// The open command's routes: one table from a file's extension to the
// decoder that reads it, with the open dialog's filter beside it. The
// desktop program and duvo-compare both load through here, so they accept
// exactly the same files the same way. No windows here: the caller shows the
// boxes for the outcomes.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/png/png_spng.h"
#include "graphics/graphics.h"
#include "rtl/file_bytes.h"
#include "rtl/limits.h"

namespace duvo {

enum class LoadOutcome {
    Loaded,         // the picture holds a bitmap
    LoadError,      // the decoder rejected the file as an invalid graphic; picture empty
    UnknownFormat,  // no route takes the extension; picture unchanged
};

enum class RouteKind { Bmp, Jpeg, Gif, Png };

struct Route {
    std::string_view extension;  // with its dot, lower case
    RouteKind kind;
    // Taken by duvo-compare alone: the desktop program's open command knows
    // nothing of it, and its dialog's filter does not offer it.
    bool commandLineOnly = false;
    // A short name of the format, for lists of what a tool reads.
    std::string_view format = {};
};

// Who asks for a route: the desktop program's open command or duvo-compare.
enum class RouteUser { Desktop, CommandLine };

// What a load may tell beyond its outcome.
struct LoadDetails {
    // Why the decoder rejected the file (its exception's message), for a
    // LoadError outcome.
    std::string error;
    // A PNG file's alpha and deep samples, when it has them, and its bits
    // per sample as stored (0 for the other formats).
    PngSidePlanes side;
    int bitDepth = 0;
    // What the decoder filled in because the file did not hold it.
    std::vector<DecodeWarning> warnings;
};

// One pair of the open dialog's filter: a description and its pattern list,
// as the user sees them.
struct FilterGroup {
    std::string_view description;
    std::string_view patterns;
};

// Makes the format registry and every process-wide default exist, with the
// format units' registrations. Safe to call often and from any thread; call it
// before pictures are loaded on several threads.
void InitializeFormats();

// Every route, in the order the open command tests them, those for
// duvo-compare alone included.
std::span<const Route> Routes();
// The route for a file name's extension that the user takes, or none.
const Route* FindRoute(const std::string& fileName, RouteUser user = RouteUser::Desktop);

// The extension as the open command sees it: with its dot, ASCII letters
// lower-cased, empty when the name has none (the one parser of file names is
// ExtractExtension; this only adds the dot and the case).
std::string OpenExtension(const std::string& fileName);

// The open dialog's filter pairs, and the filter as one text: descriptions
// and pattern lists, all separated by "|".
std::span<const FilterGroup> OpenDialogFilters();
const std::string& OpenDialogFilter();

// Opens the file and decodes it into picture by its extension. Failures other
// than an invalid graphic on the BMP and JPEG routes pass on as exceptions
// (among them EFOpenError "Cannot open file %s"); the GIF route catches
// nothing, so its codec's GIFException passes on too. The picture is a snapshot:
// it keeps no reference to the file.
LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture, const Limits& limits = kDefaultLimits);

// The same for a file already opened by the caller. With borrow, a picture
// may keep pointing into the file's bytes instead of copying them (and holds
// the file open): for a short-lived reader that checks file.Damaged() after
// it used the pixels.
LoadOutcome LoadFileBytes(const Route& route, const std::shared_ptr<const FileBytes>& file, TPicture& picture,
                          const Limits& limits, bool borrow, LoadDetails* details = nullptr);

}  // namespace duvo
