#include "graphics/jpeg.h"

#include <jerror.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "graphics/jpeg_boundary.h"

namespace duvo {

using namespace jpegboundary;

DUVO_DEFINE_CLASS(TJPEGImage, TGraphic::StaticClass(), []() -> TGraphic* { return new TJPEGImage; })

constinit TJPEGDefaults DecodeDefaults{
    90,                                                         // SaveQuality
    false,                                                      // GrayOutput
    dmBestQuality,                                              // DecodeMode
    platform::kScreenBitsPerPixel * 1 <= 8 ? od8Bit : od24Bit,  // OutputDepth: bits per pixel x planes
    false,                                                      // ProgressiveView
    false,                                                      // MultiScan
    dsFull,                                                     // DecodeScale
    true,                                                       // BlockSmoothing
};

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

bool SamePalette(const platform::Palette* a, const platform::Palette* b) {
    if (!a || !b) return a == b;
    if (a->entries.size() != b->entries.size()) return false;
    for (std::size_t i = 0; i < a->entries.size(); ++i) {
        const auto& x = a->entries[i];
        const auto& y = b->entries[i];
        if (x.red != y.red || x.green != y.green || x.blue != y.blue) return false;
    }
    return true;
}

// Keeps shared data alive while the library reads its bytes, even if a
// progress handler reloads the image meanwhile.
class DataHold {
public:
    explicit DataHold(TJPEGData* data) : data_(data) { data_->Reference(); }
    ~DataHold() { data_->Release(); }
    DataHold(const DataHold&) = delete;
    DataHold& operator=(const DataHold&) = delete;

private:
    TJPEGData* data_;
};

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

const unsigned char* BitmapRowSource(void* client, int y, unsigned char* scratch) {
    const auto* raster = static_cast<const platform::Raster*>(client);
    if (raster->BitCount() == 24) return raster->Row(y);
    unsigned char* out = scratch;
    for (int x = 0; x < raster->Width(); ++x, out += 3) {
        const auto c = static_cast<std::uint32_t>(raster->GetPixel(x, y));
        out[0] = static_cast<unsigned char>(c >> 16);
        out[1] = static_cast<unsigned char>(c >> 8);
        out[2] = static_cast<unsigned char>(c);
    }
    return scratch;
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

// The library's warnings in our words. A file that ends early is the damage
// people meet; the rest keep the library's own text.
std::vector<DecodeWarning> JpegWarnings(const JpegDecodeSession& s) {
    std::vector<DecodeWarning> out;
    const JpegBoundary& b = s.b;
    const unsigned height = s.cinfo.output_height;
    for (int i = 0; i < std::min(b.warningCount, kKeptJpegWarnings); ++i) {
        const JpegWarning& w = b.warnings[i];
        DecodeWarning warning;
        if (w.code == JWRN_JPEG_EOF) {
            warning.kind = warning_kind::Truncated;
            warning.message = w.scanline > 0 && w.scanline < height
                                  ? "the file ends inside the image data (at row " + std::to_string(w.scanline) +
                                        " of " + std::to_string(height) + "); the rows below are made up"
                                  : std::string("the file ends inside the image data; what is missing is made up");
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
        state.Check(DecodeFinish(&s));
    } catch (const EAbort&) {
        // A cancel keeps what was decoded so far, on white.
        out.cancelled = true;
        if (raster) PaintWhite(*raster, std::max<int>(rowsDone, static_cast<int>(state.session.cinfo.output_scanline)));
    }
    picture.raster = std::move(raster);
    // A picture that never got its rows is empty, palette and all.
    if (!picture.raster) picture.palette.reset();
    picture.warnings = JpegWarnings(state.session);
    return out;
}

// ---- construction and settings ----------------------------------------------

TJPEGImage::TJPEGImage()
    : data_(new TJPEGData),
      blockSmoothing_(DecodeDefaults.BlockSmoothing),
      grayOutput_(DecodeDefaults.GrayOutput),
      outputDepth_(DecodeDefaults.OutputDepth),
      saveQuality_(DecodeDefaults.SaveQuality),
      progressiveView_(DecodeDefaults.ProgressiveView),
      multiScan_(DecodeDefaults.MultiScan),
      decodeMode_(DecodeDefaults.DecodeMode),
      decodeScale_(DecodeDefaults.DecodeScale) {
    data_->Reference();
}

TJPEGImage::~TJPEGImage() { data_->Release(); }

void TJPEGImage::SettingChanged() {
    // Without compressed bytes the bitmap is the only copy of the picture.
    if (data_->HasBytes()) bitmap_.reset();
    needRecalc_ = true;
    Changed();
}

void TJPEGImage::SetBlockSmoothing(bool value) {
    if (value == blockSmoothing_) return;
    blockSmoothing_ = value;
    SettingChanged();
}

void TJPEGImage::SetGrayOutput(bool value) {
    if (value == grayOutput_) return;
    grayOutput_ = value;
    SettingChanged();
}

void TJPEGImage::SetOutputDepth(TJPEGOutputDepth value) {
    if (value == outputDepth_) return;
    outputDepth_ = value;
    SettingChanged();
}

void TJPEGImage::SetSaveQuality(int value) { saveQuality_ = std::clamp(value, 1, 100); }

void TJPEGImage::SetProgressiveView(bool value) {
    if (value == progressiveView_) return;
    progressiveView_ = value;
    SettingChanged();
}

void TJPEGImage::SetDecodeMode(TJPEGDecodeMode value) {
    if (value == decodeMode_) return;
    decodeMode_ = value;
    SettingChanged();
}

void TJPEGImage::SetDecodeScale(TJPEGScale value) {
    if (value == decodeScale_) return;
    decodeScale_ = value;
    SettingChanged();
}

void TJPEGImage::ReleaseData() {
    auto* fresh = new TJPEGData;
    fresh->Reference();
    data_->Release();
    data_ = fresh;
}

// ---- graphic slots ----------------------------------------------------------

void TJPEGImage::CopyTo(TPersistent* dest) const {
    if (auto* bitmap = dynamic_cast<TBitmap*>(dest)) {
        // Decoding caches the result, so copies share one set of pixels.
        bitmap->CopyFrom(const_cast<TJPEGImage*>(this)->DecodedBitmap());
        return;
    }
    TGraphic::CopyTo(dest);
}

void TJPEGImage::CopyFrom(const TPersistent* source) {
    if (const auto* jpeg = dynamic_cast<const TJPEGImage*>(source)) {
        if (jpeg == this) return;
        jpeg->data_->Reference();
        data_->Release();
        data_ = jpeg->data_;
        // The copy decodes like its source, so a shared bitmap and a later
        // decode of our own agree.
        blockSmoothing_ = jpeg->blockSmoothing_;
        grayOutput_ = jpeg->grayOutput_;
        outputDepth_ = jpeg->outputDepth_;
        saveQuality_ = jpeg->saveQuality_;
        progressiveView_ = jpeg->progressiveView_;
        multiScan_ = jpeg->multiScan_;
        decodeMode_ = jpeg->decodeMode_;
        decodeScale_ = jpeg->decodeScale_;
        bitmap_.reset();
        if (jpeg->bitmap_) {
            bitmap_ = std::make_unique<TBitmap>();
            bitmap_->CopyFrom(jpeg->bitmap_.get());
        }
        needRecalc_ = true;
        paletteModified_ = true;
        Changed();
        return;
    }
    if (const auto* source_bitmap = dynamic_cast<const TBitmap*>(source)) {
        // Compression waits until the image is saved.
        ReleaseData();
        bitmap_ = std::make_unique<TBitmap>();
        bitmap_->CopyFrom(source_bitmap);
        needRecalc_ = true;
        paletteModified_ = true;
        Changed();
        return;
    }
    TGraphic::CopyFrom(source);
}

void TJPEGImage::NotifyChanged(TPersistent* sender) { TGraphic::NotifyChanged(sender); }

void TJPEGImage::DrawTo(TCanvas& canvas, const TRect& rect) { DecodedBitmap()->DrawTo(canvas, rect); }

bool TJPEGImage::SameAs(const TGraphic* other) const {
    const auto* jpeg = dynamic_cast<const TJPEGImage*>(other);
    return jpeg && jpeg->data_ == data_;
}

bool TJPEGImage::IsEmpty() const { return !data_->HasBytes() && (!bitmap_ || bitmap_->IsEmpty()); }

int TJPEGImage::GetWidth() const {
    if (bitmap_) return bitmap_->Width();
    if (decodeScale_ == dsFull) return data_->width;
    CalcScaledSize();
    return scaledWidth_;
}

int TJPEGImage::GetHeight() const {
    if (bitmap_) return bitmap_->Height();
    if (decodeScale_ == dsFull) return data_->height;
    CalcScaledSize();
    return scaledHeight_;
}

void TJPEGImage::SetWidth(int) { throw EInvalidGraphicOperation(msg::ChangeJPEGSize); }
void TJPEGImage::SetHeight(int) { throw EInvalidGraphicOperation(msg::ChangeJPEGSize); }

const platform::Palette* TJPEGImage::GetPalette() const {
    if (bitmap_) return bitmap_->GetPalette();
    if (palette_) return palette_.get();
    if (outputDepth_ == od24Bit && platform::kScreenBitsPerPixel <= 8) {
        palette_ = platform::HalftonePalette();
        return palette_.get();
    }
    return nullptr;
}

void TJPEGImage::SetPalette(std::unique_ptr<platform::Palette> palette) {
    if (palette.get() == palette_.get()) return;
    bool discarded = false;
    if (bitmap_ && data_->HasBytes() && !SamePalette(bitmap_->GetPalette(), palette.get())) {
        bitmap_.reset();
        discarded = true;
    }
    palette_ = std::move(palette);
    if (discarded) {
        paletteModified_ = true;
        Changed();
    }
}

void TJPEGImage::ReadStoredData(TStream& stream) {
    std::int32_t length = 0;
    stream.ReadBuffer(&length, 4);
    LoadFromStream(stream, length < 0 ? 0 : length);
}

void TJPEGImage::WriteStoredData(TStream& stream) const {
    const std::int64_t size = data_->data ? data_->data->Size() : 0;
    if (size > std::numeric_limits<std::int32_t>::max()) throw EWriteError(msg::StreamWrite);
    const auto length = static_cast<std::int32_t>(size);
    stream.WriteBuffer(&length, 4);
    if (length > 0) stream.WriteBuffer(data_->data->Memory(), static_cast<std::size_t>(length));
}

void TJPEGImage::ReadFromStream(TStream& stream) { LoadFromStream(stream, stream.Size() - stream.Position()); }

void TJPEGImage::WriteToStream(TStream& stream) const {
    if (!data_->HasBytes() && bitmap_ && !bitmap_->IsEmpty()) const_cast<TJPEGImage*>(this)->Compress();
    if (data_->HasBytes()) stream.WriteBuffer(data_->data->Memory(), static_cast<std::size_t>(data_->data->Size()));
}

void TJPEGImage::ReadClipboard(unsigned, std::uintptr_t, const platform::Palette*) {
    throw EInvalidGraphic("Unsupported clipboard format");
}

void TJPEGImage::WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const {
    const_cast<TJPEGImage*>(this)->DecodedBitmap()->WriteClipboard(format, data, palette);
}

// ---- loading ----------------------------------------------------------------

void TJPEGImage::LoadFromStream(TStream& stream, std::int64_t length) {
    ReleaseData();
    bitmap_.reset();
    needRecalc_ = true;
    if (length < 0) length = 0;
    // Refuse a length the stream cannot deliver before taking its memory.
    if (length > stream.Size() - stream.Position()) throw EReadError(msg::StreamRead);
    auto bytes = std::make_unique<TMemoryStream>();
    bytes->SetSize(static_cast<std::size_t>(length));
    if (length > 0) stream.ReadBuffer(bytes->Memory(), static_cast<std::size_t>(length));
    data_->data = std::move(bytes);
    if (length > 0) ReadHeader();
    paletteModified_ = true;
    Changed();
}

void TJPEGImage::ReadHeader() {
    const JpegHeader header = ReadJpegHeader(Bytes());
    data_->width = header.width;
    data_->height = header.height;
    data_->grayscale = header.grayscale;
    multiScan_ = header.multiScan;
}

ByteSpan TJPEGImage::Bytes() const {
    if (!data_->data) return {};
    return {data_->data->Memory(), static_cast<std::size_t>(data_->data->Size())};
}

void TJPEGImage::CalcScaledSize() const {
    if (!needRecalc_) return;
    scaledWidth_ = scaledHeight_ = 0;
    needRecalc_ = false;
    if (!data_->HasBytes()) return;
    if (!JpegOutputSize(Bytes(), decodeScale_, &scaledWidth_, &scaledHeight_)) scaledWidth_ = scaledHeight_ = 0;
}

// ---- decoding ---------------------------------------------------------------

TBitmap* TJPEGImage::DecodedBitmap() {
    if (!bitmap_) Decode();
    return bitmap_.get();
}

void TJPEGImage::Decode() {
    bitmap_ = std::make_unique<TBitmap>();
    DataHold hold(data_);
    JpegSettings settings;
    settings.blockSmoothing = blockSmoothing_;
    settings.grayOutput = grayOutput_;
    settings.outputDepth = outputDepth_;
    settings.progressiveView = progressiveView_;
    settings.decodeMode = decodeMode_;
    settings.decodeScale = decodeScale_;
    settings.palette = palette_.get();
    JpegDecodeHooks hooks;
    hooks.started = [this] {
        ReportProgress(this, TProgressStage::psStarting, 0, false, TRect{}, std::string());
        // A 24-bit picture has no use for an assigned palette.
        if (palette_ && outputDepth_ == od24Bit) palette_.reset();
    };
    hooks.progress = [this](std::uint8_t percent, bool redraw, const TRect& r) {
        ReportProgress(this, TProgressStage::psRunning, percent, redraw, r, std::string());
    };
    std::exception_ptr failure;
    bool ok = false;
    try {
        JpegDecoded decoded = DecodeJpeg(Bytes(), settings, GetLimits(), hooks);
        if (decoded.paletteFromLibrary) paletteModified_ = true;
        ok = !decoded.cancelled;
        bitmap_->Adopt(std::move(decoded.picture));
    } catch (...) {
        failure = std::current_exception();
    }
    ReportProgress(this, TProgressStage::psEnding, ok ? 100 : 0, paletteModified_, TRect{}, std::string());
    if (paletteModified_) NotifyChanged(this);
    if (!failure) return;
    // A failure leaves no bitmap, so asking again fails again instead of
    // handing out a half-made picture.
    bitmap_.reset();
    std::rethrow_exception(failure);
}

// ---- saving -----------------------------------------------------------------

void TJPEGImage::Compress() {
    const platform::Raster* raster = bitmap_->Raster();
    if (!raster) return;
    JpegEncodeParams params{raster->Width(), raster->Height(), saveQuality_, grayOutput_ ? 1 : 0, multiScan_ ? 1 : 0};
    std::vector<unsigned char> scratch(static_cast<std::size_t>(raster->Width()) * 3);
    ProgressState progress;
    progress.report = [this](std::uint8_t percent, bool redraw, const TRect& r) {
        ReportProgress(this, TProgressStage::psRunning, percent, redraw, r, std::string());
    };
    struct Session {
        JpegEncodeSession s{};
        ~Session() { EncodeRelease(&s); }
    } session;
    if (EncodeRun(&session.s, &params, BitmapRowSource, const_cast<platform::Raster*>(raster), scratch.data(),
                  ProgressHook, &progress))
        RaiseFailure(session.s.b, progress);
    // Bytes belong to the pixels of this image only.
    if (data_->RefCount() > 1) ReleaseData();
    data_->data =
        std::make_unique<TMemoryStream>(std::vector<std::uint8_t>(session.s.buffer, session.s.buffer + session.s.size));
    data_->width = raster->Width();
    data_->height = raster->Height();
    data_->grayscale = grayOutput_;
}

// ---- registration -----------------------------------------------------------

namespace {
std::mutex g_registrationLock;
bool g_registered = false;
}  // namespace

void RegisterJPEGFormats() {
    std::lock_guard lock(g_registrationLock);
    if (g_registered) return;
    RegisterFileFormat("jpeg", msg::JPEGImageFile, TJPEGImage::StaticClass());
    RegisterFileFormat("jpg", msg::JPEGImageFile, TJPEGImage::StaticClass());
    g_registered = true;
}

void UnregisterJPEGFormats() {
    std::lock_guard lock(g_registrationLock);
    if (!g_registered) return;
    UnregisterGraphicClass(TJPEGImage::StaticClass());
    g_registered = false;
}

}  // namespace duvo
