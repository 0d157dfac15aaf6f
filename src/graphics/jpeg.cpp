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

namespace duvo {

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
        limits_ = jpeg->limits_;
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
    const ByteSpan bytes = data_->Bytes();
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw EWriteError(msg::StreamWrite);
    const auto length = static_cast<std::int32_t>(bytes.size());
    stream.WriteBuffer(&length, 4);
    if (length > 0) stream.WriteBuffer(bytes.data(), bytes.size());
}

void TJPEGImage::ReadFromStream(TStream& stream) { LoadFromStream(stream, stream.Size() - stream.Position()); }

void TJPEGImage::WriteToStream(TStream& stream) const {
    if (!data_->HasBytes() && bitmap_ && !bitmap_->IsEmpty()) const_cast<TJPEGImage*>(this)->Compress();
    if (data_->HasBytes()) stream.WriteBuffer(data_->Bytes().data(), data_->Bytes().size());
}

void TJPEGImage::ReadClipboard(unsigned, std::uintptr_t, const platform::Palette*) {
    throw EInvalidGraphic("Unsupported clipboard format");
}

void TJPEGImage::WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const {
    const_cast<TJPEGImage*>(this)->DecodedBitmap()->WriteClipboard(format, data, palette);
}

// ---- loading ----------------------------------------------------------------

void TJPEGImage::LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner) {
    if (!owner) {
        TBytesStream stream(bytes.data(), bytes.size());
        LoadFromStream(stream, static_cast<std::int64_t>(bytes.size()));
    } else {
        ReleaseData();
        bitmap_.reset();
        needRecalc_ = true;
        data_->borrowed = bytes;
        data_->owner = std::move(owner);
        if (!bytes.empty()) ReadHeader();
        paletteModified_ = true;
        Changed();
    }
    // Refused now, before anything is decoded; the decode checks again.
    if (data_->HasBytes())
        CheckPictureSize(static_cast<std::uint64_t>(std::max(data_->width, 0)),
                         static_cast<std::uint64_t>(std::max(data_->height, 0)), limits);
    limits_ = limits;
}

void TJPEGImage::LoadFromStream(TStream& stream, std::int64_t length) {
    limits_ = kDefaultLimits;
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

ByteSpan TJPEGImage::Bytes() const { return data_->Bytes(); }

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
        JpegDecoded decoded = DecodeJpeg(Bytes(), settings, limits_, hooks);
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
    JpegEncodeRequest request;
    request.width = raster->Width();
    request.height = raster->Height();
    request.quality = saveQuality_;
    request.gray = grayOutput_;
    request.progressive = multiScan_;
    request.rows = BitmapRowSource;
    request.client = const_cast<platform::Raster*>(raster);
    request.progress = [this](std::uint8_t percent, bool redraw, const TRect& r) {
        ReportProgress(this, TProgressStage::psRunning, percent, redraw, r, std::string());
    };
    std::vector<std::uint8_t> bytes = EncodeJpeg(request);
    // Bytes belong to the pixels of this image only.
    if (data_->RefCount() > 1) ReleaseData();
    data_->data = std::make_unique<TMemoryStream>(std::move(bytes));
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
