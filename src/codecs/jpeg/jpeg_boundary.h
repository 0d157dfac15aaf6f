// The only frames that a JPEG library error may jump across. The library
// reports a fatal error by calling our error_exit, which cannot throw through
// its C frames; it longjmps back to the setjmp of the boundary function that
// made the call. Every function here has only trivially destructible locals,
// returns 0 on success and 1 on failure (the reason is in JpegBoundary), and
// the C++ caller raises the exception. Progress hooks are C++ functions that
// catch their own exceptions and ask for the same jump by returning 0.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>

// clang-format off
#include <cstdio>  // the library's header needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

namespace duvo::jpegboundary {

// A warning the library gave: its code, the text it formats for it, and the
// output row it had reached.
struct JpegWarning {
    int code;
    unsigned scanline;
    char text[JMSG_LENGTH_MAX];
};

// Warnings kept of one decode; later ones are only counted.
inline constexpr int kKeptJpegWarnings = 4;

// Shared by the decompressor and the compressor; the library's client_data
// points here.
struct JpegBoundary {
    jpeg_error_mgr err;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    int messageCode;  // the library's code of the fatal error
    int hookFailed;   // the progress hook failed; its exception is the caller's
    // Returns 0 when the hook failed and the library call must be abandoned.
    int (*hook)(void* client, j_common_ptr cinfo);
    void* client;
    int warningCount;
    JpegWarning warnings[kKeptJpegWarnings];
    // The library's own message formatter, for the warnings' texts.
    void (*formatStandard)(j_common_ptr cinfo, char* buffer);
};

struct JpegDecodeSession {
    jpeg_decompress_struct cinfo;
    JpegBoundary b;
};

// Output of the compressor, grown with realloc; released by EncodeRelease.
struct JpegEncodeSession {
    jpeg_compress_struct cinfo;
    JpegBoundary b;
    jpeg_destination_mgr dest;
    unsigned char* buffer;
    std::size_t size;
    std::size_t capacity;
};

struct JpegEncodeParams {
    int width;
    int height;
    int quality;
    int grayOutput;
    int progressive;
};

// Supplies row y of the picture to compress as blue, green, red bytes; it may
// fill scratch (width * 3 bytes) and return it. Must not throw.
using JpegRowSource = const unsigned char* (*)(void* client, int y, unsigned char* scratch);

// Decompressor, with the error manager installed; a progress hook when hook is set.
int DecodeCreate(JpegDecodeSession* s, int (*hook)(void*, j_common_ptr), void* client);
// Attaches the library's memory source and reads the header (an image is required).
int DecodeReadHeader(JpegDecodeSession* s, const unsigned char* data, std::size_t size, int* multiScan);
int DecodeCalcOutputDimensions(JpegDecodeSession* s);
// An external color map of count entries, red/green/blue triples.
int DecodeSetColormap(JpegDecodeSession* s, const unsigned char* rgb, int count);
int DecodeStart(JpegDecodeSession* s);
// Reads the rows of the current output pass, one per library call, into
// base + y * step. With cmykScratch (output_width * 4 bytes) the library's
// CMYK rows are converted into blue, green, red; adobeInverted says the file
// stores inverted inks.
int DecodeReadRows(JpegDecodeSession* s, unsigned char* base, std::ptrdiff_t step, unsigned char* cmykScratch,
                   int adobeInverted);
// The next count rows of the current output pass (fewer at its end), row i
// at base + i * step, converted from CMYK as DecodeReadRows does.
int DecodeReadSomeRows(JpegDecodeSession* s, unsigned char* base, std::ptrdiff_t step, int count,
                       unsigned char* cmykScratch, int adobeInverted);
// Buffered-image mode: whether the library has read the whole input.
int DecodeInputComplete(JpegDecodeSession* s, int* complete);
int DecodeStartOutput(JpegDecodeSession* s, int scanNumber);
int DecodeFinishOutput(JpegDecodeSession* s);
int DecodeFinish(JpegDecodeSession* s);
void DecodeDestroy(JpegDecodeSession* s);

// Compresses width x height rows from rows (3 components, blue/green/red)
// into s->buffer / s->size with the library's defaults and the given quality.
int EncodeRun(JpegEncodeSession* s, const JpegEncodeParams* p, JpegRowSource rows, void* rowClient,
              unsigned char* scratch, int (*hook)(void*, j_common_ptr), void* client);
void EncodeRelease(JpegEncodeSession* s);

// One row of library CMYK into blue, green, red.
void CmykRowToBgr(const unsigned char* cmyk, unsigned char* bgr, unsigned width, int adobeInverted);

}  // namespace duvo::jpegboundary
