// Our PNG decoder against libspng on the same bytes: where both decode, the
// rows must be the same in every byte; where one refuses the file, the
// other must too, but for the accepted cases below, each let pass only with
// the evidence named. A disagreement stops the fuzzer with both outcomes.
// docs/png.md lists the same cases.
//
// libspng decodes the whole picture to the file's layout (SPNG_FMT_RAW:
// 16-bit samples big-endian, as ours), with CRCs checked on critical chunks
// and bad ancillary chunks skipped, as ours; then it reads the chunks after
// the image data (spng_decode_chunks), so that it sees what our Finish sees.
//
// Each input is tried as it is and with the CRC of every whole chunk made
// right: mutations almost always break a CRC, and the second try lets them
// reach the zlib stream, the filters and the header fields behind it.
//
// The accepted disagreements:
// - libspng refuses the contents of ancillary chunks we do not read (gAMA,
//   cHRM, iCCP, sBIT, sRGB, text chunks, bKGD, hIST, pHYs, sPLT, tIME, oFFs,
//   eXIf: bad values, duplicates, positions) and ancillary chunks past its
//   size limits; we take such files. Let pass by libspng's error code.
// - libspng refuses damage behind complete rows; we take the rows and warn.
//   Let pass only with our warning of the matching kind: the file ends (a
//   missing IEND, a cut chunk) for its end of stream; a chunk the file cuts
//   or that is no chunk for its refusal of a chunk's header (its position,
//   its type, its length); an IEND that holds data for a wrong length.
// - zlib, which libspng inflates with, refuses some streams that ISA-L
//   decodes (a look back past the window the header names, a Huffman code
//   with lengths missing that the block never uses). Let pass only where
//   zlib refuses the whole image data and ISA-L reads it to its end with a
//   good Adler-32 and enough scanlines.
// - libspng stops reading the zlib stream once it has its rows: damage
//   further on in it (an invalid code, a look back past its start, a wrong
//   Adler-32, an end that never comes, a file that ends first) it never
//   sees, and takes the file; we read the stream to its end and refuse it.
//   Let pass only where zlib and ISA-L, each reading the whole image data,
//   both find it damaged.
// - libspng takes a second PLTE chunk in a palette picture; we refuse the
//   file, whose colors it leaves in doubt (libspng's raw rows are indices,
//   which the palette does not change).
// - The bits after a row's last pixel, in rows of 1-, 2- and 4-bit pixels,
//   are no pixel and are not compared.
#include <isa-l/igzip_lib.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/png/png_rows.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace {

constexpr std::uint64_t kPixels = std::uint64_t{1} << 22;
constexpr std::uint64_t kBytes = std::uint64_t{1} << 26;

struct Ours {
    bool tooLarge = false;
    bool rowsOk = false;    // every row decoded
    bool finishOk = false;  // and Finish raised nothing
    std::string error;
    std::vector<std::uint8_t> rows;
    std::size_t rowBytes = 0;
    int usedBitsOfLastByte = 0;  // 0: all of it
    std::vector<duvo::DecodeWarning> warnings;
    std::uint64_t scanlineBytes = 0;  // what the picture's scanlines take, filter bytes included
};

// The bytes of the filtered scanlines a picture takes, pass by pass when
// interlaced.
std::uint64_t ScanlineBytes(std::uint64_t width, std::uint64_t height, std::uint64_t bits, bool interlaced) {
    auto rows = [&](std::uint64_t w, std::uint64_t h) { return w && h ? h * (1 + (w * bits + 7) / 8) : 0; };
    if (!interlaced) return rows(width, height);
    static const int kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::uint64_t total = 0;
    for (const auto& p : kPasses)
        total += rows(width > static_cast<std::uint64_t>(p[0]) ? (width - p[0] + p[2] - 1) / p[2] : 0,
                      height > static_cast<std::uint64_t>(p[1]) ? (height - p[1] + p[3] - 1) / p[3] : 0);
    return total;
}

// The bits past a row's last pixel are no pixel: the decoders may leave
// different things there (libspng copies a pass's last byte whole).
void ClearPadding(std::vector<std::uint8_t>& rows, std::size_t rowBytes, int used) {
    if (used == 0 || rowBytes == 0) return;
    const std::uint8_t keep = static_cast<std::uint8_t>(0xFF << (8 - used));
    for (std::size_t i = rowBytes - 1; i < rows.size(); i += rowBytes) rows[i] &= keep;
}

Ours DecodeOurs(const std::uint8_t* data, std::size_t size) {
    Ours o;
    duvo::Limits limits;
    limits.pixels = kPixels;
    limits.decodedBytes = kBytes;
    try {
        auto source = duvo::OpenPngRows({data, size}, limits, [](std::size_t) {});
        const std::size_t rowBytes = source->Format().RowBytes();
        o.rowBytes = rowBytes;
        o.usedBitsOfLastByte =
            static_cast<int>(static_cast<std::uint64_t>(source->Width()) * source->Format().BitsPerPixel() % 8);
        o.rows.resize(rowBytes * static_cast<std::size_t>(source->Height()));
        o.scanlineBytes =
            ScanlineBytes(static_cast<std::uint64_t>(source->Width()), static_cast<std::uint64_t>(source->Height()),
                          static_cast<std::uint64_t>(source->Format().BitsPerPixel()), !source->Sequential());
        // Bands of a size the input chooses, so that every way of asking
        // for rows is tried.
        const int band = 1 + static_cast<int>(size % 7);
        for (int y = 0; y < source->Height(); y += band)
            source->ReadRows(o.rows.data() + static_cast<std::size_t>(y) * rowBytes,
                             static_cast<std::ptrdiff_t>(rowBytes), std::min(band, source->Height() - y));
        o.rowsOk = true;
        source->Finish();
        o.finishOk = true;
        o.warnings = source->Warnings();
    } catch (const duvo::EPictureTooLarge&) {
        o.tooLarge = true;
    } catch (const duvo::EInvalidGraphic& e) {
        o.error = e.Message();
    }
    return o;
}

struct Spng {
    int imageRc = 0;  // 0: the rows decoded
    int chunksRc = 0;
    std::vector<std::uint8_t> rows;
};

Spng DecodeSpng(const std::uint8_t* data, std::size_t size) {
    Spng s;
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, data, size);
    spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    spng_set_image_limits(ctx, 1u << 24, 1u << 24);
    spng_set_chunk_limits(ctx, std::size_t{1} << 24, std::size_t{1} << 26);
    std::size_t bytes = 0;
    s.imageRc = spng_decoded_image_size(ctx, SPNG_FMT_RAW, &bytes);
    if (s.imageRc == 0 && bytes > kBytes) s.imageRc = SPNG_EOVERFLOW;
    if (s.imageRc == 0) {
        s.rows.resize(bytes);
        s.imageRc = spng_decode_image(ctx, s.rows.data(), s.rows.size(), SPNG_FMT_RAW, 0);
    }
    if (s.imageRc == 0) s.chunksRc = spng_decode_chunks(ctx);
    spng_ctx_free(ctx);
    return s;
}

// libspng's refusals of what we do not read: the contents of ancillary
// chunks (we read tRNS alone) and its limits on them.
bool AncillaryRefusal(int rc) {
    switch (rc) {
        case SPNG_EDUP_CHRM:
        case SPNG_EDUP_GAMA:
        case SPNG_EDUP_ICCP:
        case SPNG_EDUP_SBIT:
        case SPNG_EDUP_SRGB:
        case SPNG_EDUP_BKGD:
        case SPNG_EDUP_HIST:
        case SPNG_EDUP_PHYS:
        case SPNG_EDUP_TIME:
        case SPNG_EDUP_OFFS:
        case SPNG_EDUP_EXIF:
        case SPNG_ECHRM:
        case SPNG_EGAMA:
        case SPNG_EICCP_NAME:
        case SPNG_EICCP_COMPRESSION_METHOD:
        case SPNG_ESBIT:
        case SPNG_ESRGB:
        case SPNG_ETEXT:
        case SPNG_ETEXT_KEYWORD:
        case SPNG_EZTXT:
        case SPNG_EZTXT_COMPRESSION_METHOD:
        case SPNG_EITXT:
        case SPNG_EITXT_COMPRESSION_FLAG:
        case SPNG_EITXT_COMPRESSION_METHOD:
        case SPNG_EITXT_LANG_TAG:
        case SPNG_EITXT_TRANSLATED_KEY:
        case SPNG_EBKGD_NO_PLTE:
        case SPNG_EBKGD_PLTE_IDX:
        case SPNG_EHIST_NO_PLTE:
        case SPNG_EPHYS:
        case SPNG_ESPLT_NAME:
        case SPNG_ESPLT_DUP_NAME:
        case SPNG_ESPLT_DEPTH:
        case SPNG_ETIME:
        case SPNG_EOFFS:
        case SPNG_EEXIF:
        case SPNG_ECHUNK_LIMITS:
            return true;
        default:
            return false;
    }
}

// The image data as a decoder sees it: the data of the first run of IDAT
// chunks, joined (a chunk cut by the file's end gives what it has).
std::vector<std::uint8_t> ImageData(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> stream;
    bool inRun = false;
    for (std::size_t at = 8; at + 8 <= size;) {
        const std::size_t length = (std::size_t{data[at]} << 24) | (std::size_t{data[at + 1]} << 16) |
                                   (std::size_t{data[at + 2]} << 8) | data[at + 3];
        const bool idat = std::memcmp(data + at + 4, "IDAT", 4) == 0;
        if (inRun && !idat) break;
        if (idat) {
            inRun = true;
            stream.insert(stream.end(), data + at + 8, data + at + 8 + std::min(length, size - at - 8));
        }
        if (length > size - at - 8) break;
        at += 12 + length;
    }
    return stream;
}

// What one library makes of the whole image data, read to its end.
struct WholeStream {
    bool finished = false;   // the stream's end reached, its Adler-32 right
    std::uint64_t out = 0;   // the bytes it inflated to
    bool dataAfter = false;  // input left after the stream's end
};

constexpr std::uint64_t kStreamBound = kBytes * 2;

WholeStream InflateWithZlib(const std::vector<std::uint8_t>& stream) {
    WholeStream w;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return w;
    z.next_in = const_cast<std::uint8_t*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    std::vector<std::uint8_t> out(65536);
    int rc = Z_OK;
    while (rc == Z_OK && w.out < kStreamBound) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
        w.out += out.size() - z.avail_out;
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    w.finished = rc == Z_STREAM_END;
    w.dataAfter = w.finished && z.avail_in > 0;
    inflateEnd(&z);
    return w;
}

// ISA-L with its own zlib wrapper, which checks the header and the Adler-32.
WholeStream InflateWithIsal(const std::vector<std::uint8_t>& stream) {
    WholeStream w;
    inflate_state z;
    isal_inflate_init(&z);
    z.crc_flag = ISAL_ZLIB;
    z.next_in = const_cast<std::uint8_t*>(stream.data());
    z.avail_in = static_cast<std::uint32_t>(stream.size());
    std::vector<std::uint8_t> out(65536);
    while (z.block_state != ISAL_BLOCK_FINISH && w.out < kStreamBound) {
        z.next_out = out.data();
        z.avail_out = static_cast<std::uint32_t>(out.size());
        const std::uint32_t before = z.avail_in;
        const int rc = isal_inflate(&z);
        w.out += out.size() - z.avail_out;
        if (rc < 0 || rc == ISAL_NEED_DICT) return w;
        if (z.avail_out == out.size() && z.avail_in == before && z.block_state != ISAL_BLOCK_FINISH) return w;
    }
    w.finished = z.block_state == ISAL_BLOCK_FINISH;
    w.dataAfter = w.finished && z.avail_in > 0;
    return w;
}

// Whether one of our warnings is of kind and starts with message.
bool Warned(const Ours& o, const char* kind, const std::string& message) {
    for (const duvo::DecodeWarning& w : o.warnings)
        if (w.kind == kind && w.message.compare(0, message.size(), message) == 0) return true;
    return false;
}

// Our warnings, for a disagreement's report.
std::string Describe(const Ours& o) {
    std::string text;
    for (const duvo::DecodeWarning& w : o.warnings) text += " [" + w.kind + ": " + w.message + "]";
    return text;
}

[[noreturn]] void Disagree(const char* what, const Ours& o, const Spng& s) {
    std::fprintf(stderr, "disagreement: %s\n  ours: %s%s%s;%s\n  libspng: image %d (%s), chunks %d (%s)\n", what,
                 o.rowsOk ? "rows" : "no rows", o.finishOk ? ", finished" : "",
                 o.error.empty() ? "" : (", " + o.error).c_str(), Describe(o).c_str(), s.imageRc,
                 spng_strerror(s.imageRc), s.chunksRc, spng_strerror(s.chunksRc));
    std::abort();
}

// libspng's refusal of the image data's stream (its inflate failed) of a
// file we take: zlib, which libspng inflates with, refuses the whole stream,
// and ISA-L, which we inflate with, reads it to its end with a good Adler-32
// and enough scanlines for the picture. zlib refuses streams that ISA-L
// reads (a look back past the window the header names, a Huffman code with
// lengths missing that the block never uses); the checksum vouches for the
// rows either way.
bool ZlibAloneRefusesTheStream(const std::uint8_t* data, std::size_t size, const Ours& o) {
    const std::vector<std::uint8_t> stream = ImageData(data, size);
    const WholeStream isal = InflateWithIsal(stream);
    return !InflateWithZlib(stream).finished && isal.finished && isal.out >= o.scanlineBytes;
}

// Our decode refuses the stream, and both libraries, each reading the whole
// stream, find it damaged: an invalid code, a look back past its start, a
// wrong Adler-32, an end that never comes. libspng stops reading once it has
// its rows and sees none of this when it lies further on.
bool BothLibrariesRefuseTheStream(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> stream = ImageData(data, size);
    return !InflateWithZlib(stream).finished && !InflateWithIsal(stream).finished;
}

// libspng's refusal of the chunks after complete image data, which we take
// with a warning: one of ours must say what it is about. libspng judges a
// chunk by its header before it reads the data (an IDAT after other chunks,
// a type it does not know or that is no letters, a length wrong for the
// type); we stop where the file cuts that chunk or where it is no chunk. We
// stop reading at bytes that are no chunk, where libspng may read on (a
// chunk whose type is no letters) to the file's end.
bool TrailerWarningMatches(int rc, const Ours& o) {
    const bool cut = Warned(o, duvo::warning_kind::Truncated, "the file ends");
    const bool notAChunk = Warned(o, duvo::warning_kind::Corrupt, "the bytes after the image data are not a chunk");
    switch (rc) {
        case SPNG_IO_EOF:
            return cut || notAChunk;
        case SPNG_ECHUNK_STDLEN:
            return notAChunk;
        case SPNG_ECHUNK_POS:
        case SPNG_ECHUNK_TYPE:
        case SPNG_ECHUNK_UNKNOWN_CRITICAL:
            return cut || notAChunk;
        case SPNG_ECHUNK_SIZE:
            return cut || notAChunk || Warned(o, duvo::warning_kind::Corrupt, "the IEND chunk holds data");
        default:
            return false;
    }
}

void Compare(const std::uint8_t* data, std::size_t size) {
    Ours o = DecodeOurs(data, size);
    if (o.tooLarge) return;
    Spng s = DecodeSpng(data, size);
    if (o.rowsOk && s.imageRc == 0) {
        ClearPadding(o.rows, o.rowBytes, o.usedBitsOfLastByte);
        ClearPadding(s.rows, o.rowBytes, o.usedBitsOfLastByte);
    }
    if (o.rowsOk && s.imageRc == 0 && o.rows != s.rows) Disagree("different rows", o, s);
    const bool oursRefuses = !o.error.empty();
    const bool spngRefuses = s.imageRc != 0 || s.chunksRc != 0;
    if (oursRefuses == spngRefuses) return;
    if (spngRefuses) {
        const int rc = s.imageRc != 0 ? s.imageRc : s.chunksRc;
        if (AncillaryRefusal(rc)) return;
        if (s.imageRc != 0 && (rc == SPNG_EIDAT_STREAM || rc == SPNG_EZLIB) && ZlibAloneRefusesTheStream(data, size, o))
            return;
        if (s.imageRc == 0 && TrailerWarningMatches(rc, o)) return;
        Disagree("libspng refuses the file, we take it", o, s);
    }
    if (o.error == "PNG error: a second PLTE chunk") return;
    if (BothLibrariesRefuseTheStream(data, size)) return;
    Disagree("we refuse the file, libspng takes it", o, s);
}

std::vector<std::uint8_t> WithCrcsMadeRight(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> b(data, data + size);
    for (std::size_t at = 8; at + 12 <= b.size();) {
        const std::size_t length =
            (std::size_t{b[at]} << 24) | (std::size_t{b[at + 1]} << 16) | (std::size_t{b[at + 2]} << 8) | b[at + 3];
        if (length > b.size() - at - 12) break;
        const uLong crc = crc32(0, b.data() + at + 4, static_cast<uInt>(4 + length));
        for (int i = 0; i < 4; ++i) b[at + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        at += 12 + length;
    }
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Compare(data, size);
    const std::vector<std::uint8_t> fixed = WithCrcsMadeRight(data, size);
    if (!std::equal(fixed.begin(), fixed.end(), data)) Compare(fixed.data(), fixed.size());
    return 0;
}
