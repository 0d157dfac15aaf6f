#include "codecs/jpeg/jpeg_decoder.h"

#include <jerror.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "codecs/jpeg/jpeg_boundary.h"

namespace duvo {

using namespace jpegboundary;

namespace {

constexpr int kQuantizedColors = 236;
constexpr std::uint64_t kProgressIntervalMs = 500;

std::uint64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::atomic<TTickSource> g_tickSource{SteadyMilliseconds};

// State of the progress monitor for one library object.
struct ProgressState {
    // Where reports go; none: the monitor does nothing.
    std::function<void(std::uint8_t percent, bool redraw, const TRect& rect)> report;
    std::exception_ptr failure;  // what a progress handler threw
    bool clockStarted = false;
    std::uint64_t lastTick = 0;
    int lastPercent = 0;
    JDIMENSION lastRow = 0;
};

[[noreturn]] void RaiseFailure(const JpegBoundary& b, const ProgressState& progress) {
    if (b.hookFailed && progress.failure) std::rethrow_exception(progress.failure);
    throw EJPEG(Format(msg::JPEGError, {std::to_string(b.messageCode)}));
}

[[noreturn]] void RaiseCode(int code) { throw EJPEG(Format(msg::JPEGError, {std::to_string(code)})); }

// Called by the library during decoding and encoding; exceptions stay here and
// the boundary abandons the library call.
int ProgressHook(void* client, j_common_ptr cinfo) noexcept {
    auto* state = static_cast<ProgressState*>(client);
    try {
        if (!state->report) return 1;
        const std::uint64_t now = g_tickSource.load(std::memory_order_relaxed)();
        if (state->clockStarted && now - state->lastTick < kProgressIntervalMs) return 1;
        const bool first = !state->clockStarted;
        state->clockStarted = true;
        state->lastTick = now;
        if (first) return 1;

        TRect r{};
        j_decompress_ptr d = nullptr;
        if (cinfo->is_decompressor) {
            d = reinterpret_cast<j_decompress_ptr>(cinfo);
            r = {0, static_cast<int>(state->lastRow), static_cast<int>(d->output_width),
                 static_cast<int>(d->output_scanline)};
            // A new pass started from the top: redraw down to the bottom.
            if (r.bottom < r.top) r.bottom = static_cast<int>(d->output_height);
        }
        const jpeg_progress_mgr* p = cinfo->progress;
        if (p->total_passes <= 0) return 1;
        const double passDone = p->pass_limit > 0 ? static_cast<double>(p->pass_counter) / p->pass_limit : 0.0;
        const double exact = (passDone + p->completed_passes) * 100.0 / p->total_passes;
        const int percent = static_cast<int>(std::clamp(std::trunc(exact), 0.0, 100.0));
        if (percent == state->lastPercent) return 1;
        state->lastPercent = percent;
        if (d) state->lastRow = d->output_scanline;
        state->report(static_cast<std::uint8_t>(percent), r.Height() > 3, r);
        return 1;
    } catch (...) {
        state->failure = std::current_exception();
        return 0;
    }
}

std::unique_ptr<platform::Palette> PaletteFromColormap(const jpeg_decompress_struct& c) {
    auto palette = std::make_unique<platform::Palette>();
    const int count = std::clamp(c.actual_number_of_colors, 0, 256);
    palette->entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (c.out_color_components >= 3) {
            palette->entries.push_back({c.colormap[0][i], c.colormap[1][i], c.colormap[2][i], 0});
        } else {
            const std::uint8_t g = c.colormap[0][i];
            palette->entries.push_back({g, g, g, 0});
        }
    }
    return palette;
}

// Rows from fromRow down get the white a freshly sized bitmap has.
void PaintWhite(platform::Raster& raster, int fromRow) {
    if (fromRow >= raster.Height()) return;
    const std::size_t bytes = static_cast<std::size_t>(raster.Width()) * (raster.BitCount() / 8);
    const auto value = static_cast<std::uint8_t>(raster.BitCount() <= 8 ? raster.NearestIndex(kWhite) : 0xFF);
    for (int y = std::max(fromRow, 0); y < raster.Height(); ++y) std::memset(raster.Row(y), value, bytes);
}

std::vector<platform::RGBQuad> ColorTableOf(const platform::Palette& palette) {
    std::vector<platform::RGBQuad> table;
    for (std::size_t i = 0; i < palette.entries.size() && i < 256; ++i) {
        const auto& e = palette.entries[i];
        table.push_back({e.blue, e.green, e.red, 0});
    }
    return table;
}

}  // namespace

TTickSource SetJPEGTickSource(TTickSource source) {
    return g_tickSource.exchange(source ? source : SteadyMilliseconds);
}

namespace {

// One decompressor with its progress state; destroyed on every path.
struct DecodeState {
    JpegDecodeSession session{};
    ProgressState progress;
    bool quantize = false;
    bool cmyk = false;
    bool buffered = false;
    // More than one scan: the library keeps every coefficient of the picture.
    bool multiScan = false;
    // Taken just before the decompression finishes.
    bool coefficientsComplete = false;
    // The final pass of a progressive view uses these again.
    J_DCT_METHOD dctMethod = JDCT_ISLOW;
    J_DITHER_MODE ditherMode = JDITHER_FS;
    bool twoPass = false;

    DecodeState() = default;
    DecodeState(const DecodeState&) = delete;
    DecodeState& operator=(const DecodeState&) = delete;
    ~DecodeState() { DecodeDestroy(&session); }

    void Check(int failed) const {
        if (failed) RaiseFailure(session.b, progress);
    }
};

// Whether a progressive file's every coefficient reached its last
// refinement. Asked before the decompression finishes, which frees the
// library's record of it.
bool CoefficientsComplete(const jpeg_decompress_struct& c) {
    if (!c.progressive_mode || !c.coef_bits) return false;
    for (int i = 0; i < c.num_components; ++i)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (c.coef_bits[i][k] != 0) return false;
    return true;
}

// The library's warnings in our words. A file that ends early is the damage
// people meet, and one cut is one warning: the library's word that the data
// ran short of bits is that same cut. The rest keep the library's own text.
// A file that ended early still gave every row from its own data when the
// library met the end only where it looked for the next marker: it read
// one scan without running short of bits, or a progressive file's every
// coefficient was complete. Files of several sequential scans cannot tell,
// and are taken as short.
std::vector<DecodeWarning> JpegWarnings(const JpegDecodeSession& s, bool multiScan, bool coefficientsComplete) {
    std::vector<DecodeWarning> out;
    const JpegBoundary& b = s.b;
    const unsigned height = s.cinfo.output_height;
    const int kept = std::min(b.warningCount, kKeptJpegWarnings);
    bool ended = false, ranShort = false;
    for (int i = 0; i < kept; ++i) {
        ended = ended || b.warnings[i].code == JWRN_JPEG_EOF;
        ranShort = ranShort || b.warnings[i].code == JWRN_HIT_MARKER;
    }
    for (int i = 0; i < kept; ++i) {
        const JpegWarning& w = b.warnings[i];
        if (ended && w.code == JWRN_HIT_MARKER) continue;
        DecodeWarning warning;
        if (w.code == JWRN_JPEG_EOF) {
            warning.kind = warning_kind::Truncated;
            const bool complete = s.cinfo.progressive_mode ? coefficientsComplete : !multiScan;
            if (!ranShort && complete)
                warning.message = "the file ends just before its end marker; every row is there";
            else if (w.scanline > 0 && w.scanline < height)
                warning.message = "the file ends inside the image data (at row " + std::to_string(w.scanline) + " of " +
                                  std::to_string(height) + "); the rows below are made up";
            else
                warning.message = "the file ends inside the image data; what is missing is made up";
        } else {
            warning.kind = warning_kind::Corrupt;
            warning.message = w.text[0] ? std::string(w.text) : "JPEG warning #" + std::to_string(w.code);
        }
        if (std::find(out.begin(), out.end(), warning) == out.end()) out.push_back(std::move(warning));
    }
    if (b.warningCount > kKeptJpegWarnings)
        out.push_back({warning_kind::Corrupt,
                       std::to_string(b.warningCount - kKeptJpegWarnings) + " more warnings of the JPEG library"});
    return out;
}

// Reads the header and applies the settings to the library's parameters.
void SetupDecompressor(DecodeState& state, ByteSpan bytes, const JpegSettings& settings, const Limits& limits) {
    JpegDecodeSession& s = state.session;
    state.Check(DecodeCreate(&s, state.progress.report ? ProgressHook : nullptr, &state.progress));
    int multiScan = 0;
    state.Check(DecodeReadHeader(&s, bytes.empty() ? nullptr : bytes.data(), bytes.size(), &multiScan));
    state.multiScan = multiScan != 0;
    jpeg_decompress_struct& c = s.cinfo;

    // Checked on the stored size, which also bounds the coefficient memory
    // that a progressive file needs before any pixel is written.
    CheckPictureSize(c.image_width, c.image_height, limits);

    c.scale_num = 1;
    c.scale_denom = 1u << settings.decodeScale;
    c.do_block_smoothing = settings.blockSmoothing ? TRUE : FALSE;
    // CMYK and YCCK files come out of the library as CMYK; we convert them
    // into our 24-bit rows ourselves, so gray and 8-bit output do not apply.
    state.cmyk = c.out_color_space == JCS_CMYK;
    if (!state.cmyk) {
        if (settings.grayOutput) c.out_color_space = JCS_GRAYSCALE;
        state.quantize = settings.outputDepth == od8Bit || c.out_color_space == JCS_GRAYSCALE;
        if (state.quantize) {
            c.quantize_colors = TRUE;
            c.desired_number_of_colors = kQuantizedColors;
        } else if (c.out_color_space == JCS_RGB) {
            // Blue, green, red is the byte order of our rows.
            c.out_color_space = JCS_EXT_BGR;
        }
    }
    if (settings.decodeMode == dmFastest) {
        c.dct_method = JDCT_IFAST;
        c.two_pass_quantize = FALSE;
        c.dither_mode = JDITHER_ORDERED;
    }
    state.dctMethod = c.dct_method;
    state.twoPass = c.two_pass_quantize != FALSE;
    state.ditherMode = c.dither_mode;
    state.buffered = settings.progressiveView && multiScan != 0;
    if (state.buffered) {
        c.buffered_image = TRUE;
        c.dct_method = JDCT_IFAST;
        c.two_pass_quantize = FALSE;
        c.dither_mode = JDITHER_ORDERED;
        c.enable_2pass_quant = state.twoPass ? TRUE : FALSE;
    }
    state.Check(DecodeCalcOutputDimensions(&s));
    // Our rows hold color-map indices, 3 bytes of color, or the 4 inks we
    // convert; files with other component counts are not ours to show.
    const int expected = state.quantize ? 1 : state.cmyk ? 4 : 3;
    const bool mapUsable = !state.quantize || c.out_color_components == 1 || c.out_color_components == 3;
    if (c.output_components != expected || !mapUsable) RaiseCode(JERR_CONVERSION_NOTIMPL);
}

}  // namespace

JpegHeader ReadJpegHeader(ByteSpan bytes) {
    DecodeState state;
    state.Check(DecodeCreate(&state.session, nullptr, nullptr));
    int multiScan = 0;
    state.Check(DecodeReadHeader(&state.session, bytes.empty() ? nullptr : bytes.data(), bytes.size(), &multiScan));
    const jpeg_decompress_struct& c = state.session.cinfo;
    return {static_cast<std::int32_t>(c.image_width), static_cast<std::int32_t>(c.image_height),
            c.jpeg_color_space == JCS_GRAYSCALE, multiScan != 0};
}

bool JpegOutputSize(ByteSpan bytes, TJPEGScale scale, int* width, int* height) {
    // A size query does not fail: bytes the library rejects have no size.
    try {
        DecodeState state;
        state.Check(DecodeCreate(&state.session, nullptr, nullptr));
        int multiScan = 0;
        state.Check(DecodeReadHeader(&state.session, bytes.data(), bytes.size(), &multiScan));
        state.session.cinfo.scale_num = 1;
        state.session.cinfo.scale_denom = 1u << scale;
        state.Check(DecodeCalcOutputDimensions(&state.session));
        *width = static_cast<int>(state.session.cinfo.output_width);
        *height = static_cast<int>(state.session.cinfo.output_height);
        return true;
    } catch (const EJPEG&) {
        return false;
    }
}

JpegDecoded DecodeJpeg(ByteSpan bytes, const JpegSettings& settings, const Limits& limits,
                       const JpegDecodeHooks& hooks) {
    JpegDecoded out;
    DecodedPicture& picture = out.picture;
    DecodeState state;
    state.progress.report = hooks.progress;
    std::shared_ptr<platform::Raster> raster;
    int rowsDone = 0;  // rows every later pass finds written
    try {
        SetupDecompressor(state, bytes, settings, limits);
        JpegDecodeSession& s = state.session;
        jpeg_decompress_struct& c = s.cinfo;
        // An 8-bit picture starts with the halftone colors a new 8-bit bitmap
        // has, and takes the library's or the caller's map over them.
        if (state.quantize) picture.palette = platform::HalftonePalette();
        // Our own copy: the started hook may drop the caller's palette.
        const std::unique_ptr<platform::Palette> assigned =
            settings.palette ? std::make_unique<platform::Palette>(*settings.palette) : nullptr;
        if (hooks.started) hooks.started();

        bool generatePalette = true;
        JSAMPARRAY assignedMap = nullptr;
        if (assigned && settings.outputDepth == od8Bit && state.quantize && !assigned->entries.empty()) {
            const std::size_t count = std::min<std::size_t>(assigned->entries.size(), 256);
            std::vector<unsigned char> rgb(count * 3);
            for (std::size_t i = 0; i < count; ++i) {
                rgb[i * 3] = assigned->entries[i].red;
                rgb[i * 3 + 1] = assigned->entries[i].green;
                rgb[i * 3 + 2] = assigned->entries[i].blue;
            }
            state.Check(DecodeSetColormap(&s, rgb.data(), static_cast<int>(count)));
            assignedMap = c.colormap;
            picture.palette = std::make_unique<platform::Palette>();
            picture.palette->entries.assign(assigned->entries.begin(),
                                            assigned->entries.begin() + static_cast<std::ptrdiff_t>(count));
            generatePalette = false;
        }

        state.Check(DecodeStart(&s));
        // The library drops an external map for one-component output and
        // makes its own, whose entries the picture must then carry.
        if (!generatePalette && c.colormap != assignedMap) generatePalette = true;

        // The raster is made once the first output pass has its color map,
        // so it starts with its final color table.
        bool paletteTaken = false;
        auto takePalette = [&] {
            if (!state.quantize || !generatePalette || !c.colormap) return;
            picture.palette = PaletteFromColormap(c);
            out.paletteFromLibrary = true;
            paletteTaken = true;
            if (raster) {
                const auto table = ColorTableOf(*picture.palette);
                raster->SetColors(table.data(), static_cast<int>(table.size()));
            }
        };
        std::vector<unsigned char> cmykRow(state.cmyk ? std::size_t{c.output_width} * 4 : 0);
        unsigned char* scratch = state.cmyk ? cmykRow.data() : nullptr;
        const int adobeInverted = c.saw_Adobe_marker ? 1 : 0;
        auto readPass = [&] {
            if (!raster) {
                platform::RasterFormat format;
                format.bitCount = state.quantize ? 8 : 24;
                std::vector<platform::RGBQuad> table;
                if (picture.palette) table = ColorTableOf(*picture.palette);
                // Every row is written below, so no white fill first; a cancel
                // paints the rows it did not reach.
                raster = platform::Raster::Create(static_cast<int>(c.output_width), static_cast<int>(c.output_height),
                                                  format, table.data(), static_cast<int>(table.size()),
                                                  platform::Raster::Fill::Zero);
            }
            unsigned char* base = raster->Row(0);
            state.Check(DecodeReadRows(&s, base, raster->RowStep(), scratch, adobeInverted));
            rowsDone = raster->Height();
        };

        if (state.buffered) {
            // One quick pass per scan as it arrives...
            for (;;) {
                int complete = 0;
                state.Check(DecodeInputComplete(&s, &complete));
                if (complete) break;
                state.Check(DecodeStartOutput(&s, c.input_scan_number));
                if (!paletteTaken) takePalette();
                readPass();
                state.Check(DecodeFinishOutput(&s));
            }
            // ...then the final one with the remembered settings.
            c.dct_method = state.dctMethod;
            c.dither_mode = state.ditherMode;
            const bool newMap = state.quantize && state.twoPass && c.enable_2pass_quant && !assignedMap;
            if (newMap) {
                c.two_pass_quantize = TRUE;
                c.colormap = nullptr;
            }
            state.Check(DecodeStartOutput(&s, c.input_scan_number));
            if (newMap || !paletteTaken) takePalette();
            readPass();
            state.Check(DecodeFinishOutput(&s));
        } else {
            // Every quantizer has its map once decompression started (two-pass
            // quantization ran its first pass inside the start).
            takePalette();
            readPass();
        }
        state.coefficientsComplete = CoefficientsComplete(c);
        state.Check(DecodeFinish(&s));
    } catch (const EAbort&) {
        // A cancel keeps what was decoded so far, on white.
        out.cancelled = true;
        if (raster) PaintWhite(*raster, std::max<int>(rowsDone, static_cast<int>(state.session.cinfo.output_scanline)));
    }
    picture.raster = std::move(raster);
    // A picture that never got its rows is empty, palette and all.
    if (!picture.raster) picture.palette.reset();
    picture.warnings = JpegWarnings(state.session, state.multiScan, state.coefficientsComplete);
    return out;
}

// ---- rows ---------------------------------------------------------------------

namespace {

// What the library keeps of a picture of several scans: a block of 64
// two-byte coefficients per 8 x 8 samples of every component, rounded up to
// whole sampling units, as its coefficient controller asks for them.
std::uint64_t CoefficientBytes(const jpeg_decompress_struct& c) {
    std::uint64_t bytes = 0;
    for (int i = 0; i < c.num_components; ++i) {
        const jpeg_component_info& comp = c.comp_info[i];
        const std::uint64_t h = static_cast<std::uint64_t>(std::max(comp.h_samp_factor, 1));
        const std::uint64_t v = static_cast<std::uint64_t>(std::max(comp.v_samp_factor, 1));
        const std::uint64_t across = (comp.width_in_blocks + h - 1) / h * h;
        const std::uint64_t down = (comp.height_in_blocks + v - 1) / v * v;
        bytes += across * down * sizeof(JBLOCK);
    }
    return bytes;
}

// The file decoded with the default settings, the rows handed out as the
// library makes them: blue, green, red, or the indices of the color map a
// grayscale file is quantized into. One header read, no whole picture.
class JpegRows final : public RowSource {
public:
    JpegRows(ByteSpan bytes, const Limits& limits) {
        SetupDecompressor(state_, bytes, JpegSettings{}, limits);
        JpegDecodeSession& s = state_.session;
        // A file of several scans has its coefficients held whole from the
        // start of decompression: refused before the library takes them.
        if (state_.multiScan)
            CheckHeldFrame(s.cinfo.image_width, s.cinfo.image_height, CoefficientBytes(s.cinfo), limits);
        state_.Check(DecodeStart(&s));
        const jpeg_decompress_struct& c = s.cinfo;
        format_.width = static_cast<int>(c.output_width);
        format_.height = static_cast<int>(c.output_height);
        if (state_.quantize) {
            format_.layout = RowLayout::Index;
            format_.bitDepth = 8;
            const auto palette = PaletteFromColormap(c);
            format_.paletteSize = static_cast<int>(palette->entries.size());
            for (std::size_t i = 0; i < palette->entries.size(); ++i) {
                const auto& e = palette->entries[i];
                format_.palette[i] = {e.red, e.green, e.blue, 255};
            }
        } else {
            format_.layout = RowLayout::Bgr;
        }
        if (state_.cmyk) cmykRow_.resize(std::size_t{c.output_width} * 4);
        adobeInverted_ = c.saw_Adobe_marker ? 1 : 0;
    }
    // The rows come in order, but from coefficients held whole.
    bool Sequential() const override { return !state_.multiScan; }
    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        state_.Check(DecodeReadSomeRows(&state_.session, dst, stride, count,
                                        cmykRow_.empty() ? nullptr : cmykRow_.data(), adobeInverted_));
    }
    void Finish() override {
        state_.coefficientsComplete = CoefficientsComplete(state_.session.cinfo);
        state_.Check(DecodeFinish(&state_.session));
        warnings_ = JpegWarnings(state_.session, state_.multiScan, state_.coefficientsComplete);
    }

private:
    DecodeState state_;
    std::vector<unsigned char> cmykRow_;
    int adobeInverted_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenJpegRows(ByteSpan bytes, const Limits& limits) {
    return std::make_unique<JpegRows>(bytes, limits);
}

// ---- compressing ------------------------------------------------------------

std::vector<std::uint8_t> EncodeJpeg(const JpegEncodeRequest& request) {
    JpegEncodeParams params{request.width, request.height, request.quality, request.gray ? 1 : 0,
                            request.progressive ? 1 : 0};
    std::vector<unsigned char> scratch(static_cast<std::size_t>(request.width) * 3);
    ProgressState progress;
    progress.report = request.progress;
    struct Session {
        JpegEncodeSession s{};
        ~Session() { EncodeRelease(&s); }
    } session;
    if (EncodeRun(&session.s, &params, request.rows, request.client, scratch.data(),
                  progress.report ? ProgressHook : nullptr, &progress))
        RaiseFailure(session.s.b, progress);
    return {session.s.buffer, session.s.buffer + session.s.size};
}

}  // namespace duvo
