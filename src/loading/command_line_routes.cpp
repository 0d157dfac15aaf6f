// The decoders of the formats duvo-compare alone reads (PNG, WebP, TIFF),
// given to their rows of the route table before main. This file comes with
// those codecs in duvo_loading_cli, which the desktop program does not link:
// it keeps the rows, without a way into them, and none of the libraries.
#include "codecs/png/png_rows.h"
#include "codecs/tiff/tiff_decoder.h"
#include "codecs/webp/webp_decoder.h"
#include "loading/open_routes.h"

namespace duvo {

namespace {

// A PNG file is read once, front to back, so a mapped file's pages are let go
// behind the decoder.
std::unique_ptr<RowSource> PngRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    const FileBytes* bytes = file.get();
    return HoldingFile(file,
                       OpenPngRows(file->Bytes(), limits, [bytes](std::size_t done) { bytes->ReleaseRange(0, done); }));
}

// A WebP file is decoded whole when it is opened; its bytes are done with then.
std::unique_ptr<RowSource> WebpRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    const FileBytes* bytes = file.get();
    return HoldingFile(file,
                       OpenWebpRows(file->Bytes(), limits, [bytes] { bytes->ReleaseRange(0, bytes->Bytes().size()); }));
}

// A TIFF file's strips are read where they lie, and let go behind the decoder.
std::unique_ptr<RowSource> TiffRows(const std::shared_ptr<const FileBytes>& file, const Limits& limits) {
    const FileBytes* bytes = file.get();
    return HoldingFile(file, OpenTiffRows(file->Bytes(), limits, [bytes](std::size_t begin, std::size_t end) {
                           bytes->ReleaseRange(begin, end);
                       }));
}

// Static initialisation, in whichever order: the table it writes into is
// constant-initialised.
[[maybe_unused]] const bool kSupplied = [] {
    SupplyRowDecoder("PNG", PngRows);
    SupplyRowDecoder("WebP", WebpRows);
    SupplyRowDecoder("TIFF", TiffRows);
    return true;
}();

}  // namespace

}  // namespace duvo
