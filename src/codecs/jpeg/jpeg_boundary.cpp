#include "codecs/jpeg/jpeg_boundary.h"

#include <jerror.h>

#include <cstdlib>
#include <cstring>

namespace duvo::jpegboundary {

namespace {

JpegBoundary* BoundaryOf(j_common_ptr cinfo) { return static_cast<JpegBoundary*>(cinfo->client_data); }

JpegEncodeSession* EncodeSessionOf(j_compress_ptr cinfo) {
    return reinterpret_cast<JpegEncodeSession*>(reinterpret_cast<char*>(cinfo->dest) -
                                                offsetof(JpegEncodeSession, dest));
}

}  // namespace

// Library callbacks. Nothing here owns anything, so jumping out is safe.
extern "C" {

static void ErrorExit(j_common_ptr cinfo) {
    JpegBoundary* b = BoundaryOf(cinfo);
    b->messageCode = cinfo->err->msg_code;
    std::longjmp(b->jump, 1);
}

// Warnings (such as data that ends early, which the memory source answers by
// inserting an end-of-image marker) are not worth stopping for; they are
// kept for callers that report damage. Trace messages are dropped.
static void EmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    JpegBoundary* b = BoundaryOf(cinfo);
    if (b->warningCount < kKeptJpegWarnings) {
        JpegWarning& w = b->warnings[b->warningCount];
        w.code = cinfo->err->msg_code;
        w.scanline = cinfo->is_decompressor ? reinterpret_cast<j_decompress_ptr>(cinfo)->output_scanline : 0;
        w.text[0] = '\0';
        if (b->formatStandard) b->formatStandard(cinfo, w.text);
    }
    ++b->warningCount;
}
static void OutputMessage(j_common_ptr) {}
static void FormatMessage(j_common_ptr, char* buffer) { buffer[0] = '\0'; }

static void ResetErrorMgr(j_common_ptr cinfo) {
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

static void ProgressMonitor(j_common_ptr cinfo) {
    JpegBoundary* b = BoundaryOf(cinfo);
    if (b->hook && !b->hook(b->client, cinfo)) {
        b->hookFailed = 1;
        std::longjmp(b->jump, 1);
    }
}

static void InitDestination(j_compress_ptr cinfo) {
    JpegEncodeSession* s = EncodeSessionOf(cinfo);
    const std::size_t initial = 64 * 1024;
    s->buffer = static_cast<unsigned char*>(std::malloc(initial));
    if (!s->buffer) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    s->capacity = initial;
    s->size = 0;
    s->dest.next_output_byte = s->buffer;
    s->dest.free_in_buffer = initial;
}

static boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    JpegEncodeSession* s = EncodeSessionOf(cinfo);
    // The library calls this only with a full buffer, so everything is used.
    const std::size_t used = s->capacity;
    const std::size_t grown = used * 2;
    auto* bigger = static_cast<unsigned char*>(std::realloc(s->buffer, grown));
    if (!bigger) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    s->buffer = bigger;
    s->capacity = grown;
    s->dest.next_output_byte = bigger + used;
    s->dest.free_in_buffer = grown - used;
    return TRUE;
}

static void TermDestination(j_compress_ptr cinfo) {
    JpegEncodeSession* s = EncodeSessionOf(cinfo);
    s->size = s->capacity - s->dest.free_in_buffer;
}

}  // extern "C"

namespace {

void InitBoundary(JpegBoundary* b, int (*hook)(void*, j_common_ptr), void* client) {
    jpeg_std_error(&b->err);
    b->formatStandard = b->err.format_message;
    b->warningCount = 0;
    b->err.error_exit = ErrorExit;
    b->err.emit_message = EmitMessage;
    b->err.output_message = OutputMessage;
    b->err.format_message = FormatMessage;
    b->err.reset_error_mgr = ResetErrorMgr;
    b->progress.progress_monitor = ProgressMonitor;
    b->messageCode = 0;
    b->hookFailed = 0;
    b->hook = hook;
    b->client = client;
}

// Callers hold the setjmp; this one may be jumped out of.
void ReadRowsOfPass(j_decompress_ptr cinfo, unsigned char* base, std::ptrdiff_t step, unsigned char* cmykScratch,
                    int adobeInverted) {
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION y = cinfo->output_scanline;
        unsigned char* row = base + static_cast<std::ptrdiff_t>(y) * step;
        JSAMPROW target = cmykScratch ? cmykScratch : row;
        const JDIMENSION read = jpeg_read_scanlines(cinfo, &target, 1);
        // Our sources never suspend, so no rows means the library gave up.
        if (read == 0) ERREXIT(cinfo, JERR_INPUT_EOF);
        if (cmykScratch) CmykRowToBgr(cmykScratch, row, cinfo->output_width, adobeInverted);
    }
}

// Exact round(v / 255) for v in 0..255*255.
inline unsigned Div255(unsigned v) {
    v += 128;
    return (v + (v >> 8)) >> 8;
}

}  // namespace

int DecodeCreate(JpegDecodeSession* s, int (*hook)(void*, j_common_ptr), void* client) {
    InitBoundary(&s->b, hook, client);
    s->cinfo.err = &s->b.err;
    s->cinfo.client_data = &s->b;
    if (setjmp(s->b.jump)) return 1;
    jpeg_create_decompress(&s->cinfo);
    if (hook) s->cinfo.progress = &s->b.progress;
    return 0;
}

int DecodeReadHeader(JpegDecodeSession* s, const unsigned char* data, std::size_t size, int* multiScan) {
    if (setjmp(s->b.jump)) return 1;
    // The memory source refuses empty input as a fatal error, and at the end
    // of the data warns and inserts an end-of-image marker.
    jpeg_mem_src(&s->cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&s->cinfo, TRUE);
    *multiScan = jpeg_has_multiple_scans(&s->cinfo) ? 1 : 0;
    return 0;
}

int DecodeCalcOutputDimensions(JpegDecodeSession* s) {
    if (setjmp(s->b.jump)) return 1;
    jpeg_calc_output_dimensions(&s->cinfo);
    return 0;
}

int DecodeSetColormap(JpegDecodeSession* s, const unsigned char* rgb, int count) {
    if (setjmp(s->b.jump)) return 1;
    j_decompress_ptr cinfo = &s->cinfo;
    JSAMPARRAY map = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 static_cast<JDIMENSION>(count), 3);
    for (int i = 0; i < count; ++i) {
        map[0][i] = rgb[i * 3];
        map[1][i] = rgb[i * 3 + 1];
        map[2][i] = rgb[i * 3 + 2];
    }
    cinfo->colormap = map;
    cinfo->actual_number_of_colors = count;
    return 0;
}

int DecodeStart(JpegDecodeSession* s) {
    if (setjmp(s->b.jump)) return 1;
    jpeg_start_decompress(&s->cinfo);
    return 0;
}

int DecodeReadRows(JpegDecodeSession* s, unsigned char* base, std::ptrdiff_t step, unsigned char* cmykScratch,
                   int adobeInverted) {
    if (setjmp(s->b.jump)) return 1;
    ReadRowsOfPass(&s->cinfo, base, step, cmykScratch, adobeInverted);
    return 0;
}

int DecodeReadSomeRows(JpegDecodeSession* s, unsigned char* base, std::ptrdiff_t step, int count,
                       unsigned char* cmykScratch, int adobeInverted) {
    if (setjmp(s->b.jump)) return 1;
    j_decompress_ptr cinfo = &s->cinfo;
    for (int i = 0; i < count && cinfo->output_scanline < cinfo->output_height; ++i) {
        unsigned char* row = base + static_cast<std::ptrdiff_t>(i) * step;
        JSAMPROW target = cmykScratch ? cmykScratch : row;
        if (jpeg_read_scanlines(cinfo, &target, 1) == 0) ERREXIT(cinfo, JERR_INPUT_EOF);
        if (cmykScratch) CmykRowToBgr(cmykScratch, row, cinfo->output_width, adobeInverted);
    }
    return 0;
}

int DecodeInputComplete(JpegDecodeSession* s, int* complete) {
    if (setjmp(s->b.jump)) return 1;
    *complete = jpeg_input_complete(&s->cinfo) ? 1 : 0;
    return 0;
}

int DecodeStartOutput(JpegDecodeSession* s, int scanNumber) {
    if (setjmp(s->b.jump)) return 1;
    jpeg_start_output(&s->cinfo, scanNumber);
    return 0;
}

int DecodeFinishOutput(JpegDecodeSession* s) {
    if (setjmp(s->b.jump)) return 1;
    jpeg_finish_output(&s->cinfo);
    return 0;
}

int DecodeFinish(JpegDecodeSession* s) {
    if (setjmp(s->b.jump)) return 1;
    jpeg_finish_decompress(&s->cinfo);
    return 0;
}

void DecodeDestroy(JpegDecodeSession* s) {
    // Destroying never raises an error; a decompressor that was never made
    // has no memory manager and is left alone by the library.
    jpeg_destroy_decompress(&s->cinfo);
}

int EncodeRun(JpegEncodeSession* s, const JpegEncodeParams* p, JpegRowSource rows, void* rowClient,
              unsigned char* scratch, int (*hook)(void*, j_common_ptr), void* client) {
    InitBoundary(&s->b, hook, client);
    s->cinfo.err = &s->b.err;
    s->cinfo.client_data = &s->b;
    if (setjmp(s->b.jump)) return 1;
    j_compress_ptr cinfo = &s->cinfo;
    jpeg_create_compress(cinfo);
    if (hook) cinfo->progress = &s->b.progress;
    s->dest.init_destination = InitDestination;
    s->dest.empty_output_buffer = EmptyOutputBuffer;
    s->dest.term_destination = TermDestination;
    cinfo->dest = &s->dest;
    cinfo->image_width = static_cast<JDIMENSION>(p->width);
    cinfo->image_height = static_cast<JDIMENSION>(p->height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, p->quality, TRUE);
    if (p->grayOutput) jpeg_set_colorspace(cinfo, JCS_GRAYSCALE);
    if (p->progressive) jpeg_simple_progression(cinfo);
    jpeg_start_compress(cinfo, TRUE);
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rows(rowClient, static_cast<int>(cinfo->next_scanline), scratch));
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return 0;
}

void EncodeRelease(JpegEncodeSession* s) {
    jpeg_destroy_compress(&s->cinfo);
    std::free(s->buffer);
    s->buffer = nullptr;
    s->size = 0;
    s->capacity = 0;
}

void CmykRowToBgr(const unsigned char* cmyk, unsigned char* bgr, unsigned width, int adobeInverted) {
    // Adobe files store 255 - ink; plain files store the ink itself. Either
    // way each channel is (paper left by the ink) x (paper left by black).
    const unsigned flip = adobeInverted ? 0 : 255;
    for (unsigned x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const unsigned c = cmyk[0] ^ flip, m = cmyk[1] ^ flip, y = cmyk[2] ^ flip, k = cmyk[3] ^ flip;
        bgr[0] = static_cast<unsigned char>(Div255(y * k));
        bgr[1] = static_cast<unsigned char>(Div255(m * k));
        bgr[2] = static_cast<unsigned char>(Div255(c * k));
    }
}

}  // namespace duvo::jpegboundary
