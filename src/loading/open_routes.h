// The open command's routes: one table from a file's extension to the
// decoder that reads it, with the open dialog's filter beside it. A row
// carries its decoder twice over: as the desktop program's open command
// loads it (into a picture, as a plain bitmap) and as a comparison reads it
// (as rows). The desktop program and duvo-compare both go through here, so
// they accept the same files. The rows of the formats duvo-compare alone
// reads get their decoders from the library that holds those codecs
// (loading/command_line_routes.cpp), which the desktop program does not
// link. No windows here: the caller shows the boxes for the outcomes.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "codecs/row_source.h"
#include "graphics/graphics.h"
#include "rtl/file_bytes.h"
#include "rtl/limits.h"

namespace duvo {

enum class LoadOutcome {
    Loaded,         // the picture holds a bitmap
    LoadError,      // the decoder rejected the file as an invalid graphic; picture empty
    UnknownFormat,  // no route takes the extension; picture unchanged
};

// A comparison's way into a file: its rows. The source may read the file's
// bytes where they lie and holds the file for that. The decoder's failures
// pass on as its exceptions.
using RowOpener = std::unique_ptr<RowSource> (*)(const std::shared_ptr<const FileBytes>& file, const Limits& limits);

struct Route {
    std::string_view extension;  // with its dot, lower case
    // A short name of the format, for lists of what a tool reads.
    std::string_view format;
    // Taken by duvo-compare alone: the desktop program's open command knows
    // nothing of it, and its dialog's filter does not offer it.
    bool commandLineOnly = false;
    // The desktop program's open command: the file's bytes into picture as a
    // plain bitmap, a snapshot that keeps nothing of the file. Invalid-graphic
    // failures are the LoadError outcome, or pass on where the route says so.
    // None for a command-line route.
    LoadOutcome (*loadPicture)(ByteSpan bytes, TPicture& picture, const Limits& limits) = nullptr;
    // A comparison: the file as rows. Supplied by SupplyRowDecoder for a
    // command-line route, so none in a program that does not link its codec.
    RowOpener openRows = nullptr;
    // The report gives the bits per sample as the file stores them (PNG,
    // TIFF); 8 for the others.
    bool storedDepth = false;
    // A file the decoder refuses is reported in the decoder's own words (the
    // GIF codec's, which the open command lets through); for the others the
    // open command's load-error box says it, with the decoder's reason.
    bool ownMessages = false;
};

// Who asks for a route: the desktop program's open command or duvo-compare.
enum class RouteUser { Desktop, CommandLine };

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

// Gives the command-line routes of a format their decoder. Called before
// main only, from the registration that comes with the format's codec: the
// table is not guarded against a write while it is read.
void SupplyRowDecoder(std::string_view format, RowOpener openRows);

// A source that keeps the file its rows come from (the mapping they may be
// read from), and checks after the last row that the file was not cut
// meanwhile.
std::unique_ptr<RowSource> HoldingFile(const std::shared_ptr<const FileBytes>& file, std::unique_ptr<RowSource> rows);

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

// Opens the file and decodes it into picture by its extension, as the open
// command does. Failures other than an invalid graphic on the BMP and JPEG
// routes pass on as exceptions (among them EFOpenError "Cannot open file
// %s"); the GIF route catches nothing, so its codec's GIFException passes on
// too. The picture is a snapshot: it keeps no reference to the file.
LoadOutcome LoadIntoPicture(const std::string& fileName, TPicture& picture, const Limits& limits = kDefaultLimits);

}  // namespace duvo
