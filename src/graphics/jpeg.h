// The JPEG graphic: keeps a file's compressed bytes, reads only the header on
// loading, and decodes through the IJG library into its own TBitmap the first
// time pixels are needed. Copies of the image share the compressed bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "codecs/jpeg/jpeg_decoder.h"
#include "graphics/bitmap.h"
#include "graphics/graphics.h"
#include "rtl/byte_reader.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo {

namespace msg {
inline constexpr const char* ChangeJPEGSize = "Cannot change the size of a JPEG image";
inline constexpr const char* JPEGImageFile = "JPEG Image File";
}  // namespace msg

struct TJPEGDefaults {
    int SaveQuality;  // 1..100
    bool GrayOutput;
    TJPEGDecodeMode DecodeMode;
    TJPEGOutputDepth OutputDepth;
    bool ProgressiveView;
    bool MultiScan;
    TJPEGScale DecodeScale;
    bool BlockSmoothing;
};

// Settings every new TJPEGImage starts with. The depth follows the screen,
// which is known before anything runs, so the record needs no start-up code.
extern TJPEGDefaults DecodeDefaults;

// Compressed bytes and header values, shared by the images copied from one.
class TJPEGData : public TSharedImage {
public:
    std::unique_ptr<TMemoryStream> data;
    // Bytes that lie elsewhere (a mapped file), kept alive by owner, in
    // place of a copy in data.
    ByteSpan borrowed;
    std::shared_ptr<const void> owner;
    std::int32_t height = 0;
    std::int32_t width = 0;
    bool grayscale = false;

    ByteSpan Bytes() const {
        if (owner) return borrowed;
        if (!data) return {};
        return {data->Memory(), static_cast<std::size_t>(data->Size())};
    }
    bool HasBytes() const { return !Bytes().empty(); }
};

class TJPEGImage : public TGraphic {
    DUVO_CLASS(TJPEGImage)
public:
    TJPEGImage();
    ~TJPEGImage() override;

    void CopyTo(TPersistent* dest) const override;                         // 1
    void CopyFrom(const TPersistent* source) override;                     // 3
    void NotifyChanged(TPersistent* sender) override;                      // 5
    void DrawTo(TCanvas& canvas, const TRect& rect) override;              // 6
    bool SameAs(const TGraphic* other) const override;                     // 7
    bool IsEmpty() const override;                                         // 8
    int GetHeight() const override;                                        // 9
    const platform::Palette* GetPalette() const override;                  // 10
    int GetWidth() const override;                                         // 12
    void ReadStoredData(TStream& stream) override;                         // 13
    void SetHeight(int value) override;                                    // 14
    void SetPalette(std::unique_ptr<platform::Palette> palette) override;  // 15
    void SetWidth(int value) override;                                     // 17
    void WriteStoredData(TStream& stream) const override;                  // 18
    void ReadFromStream(TStream& stream) override;                         // 21
    // Reads the header now, within limits; the pixels are decoded within them
    // when first needed. With owner the bytes are not copied.
    void LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner = nullptr) override;
    void WriteToStream(TStream& stream) const override;                                                       // 22
    void ReadClipboard(unsigned format, std::uintptr_t data, const platform::Palette* palette) override;      // 23
    void WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const override;  // 24

    // Loads length bytes from the stream's position; only the header is read.
    void LoadFromStream(TStream& stream, std::int64_t length);
    // The decoded picture, decoding first when there is none; owned by the image.
    TBitmap* DecodedBitmap();
    bool Decoded() const { return bitmap_ != nullptr; }
    const TJPEGData& Data() const { return *data_; }
    bool Grayscale() const { return data_->grayscale; }

    bool BlockSmoothing() const { return blockSmoothing_; }
    void SetBlockSmoothing(bool value);
    bool GrayOutput() const { return grayOutput_; }
    void SetGrayOutput(bool value);
    TJPEGOutputDepth OutputDepth() const { return outputDepth_; }
    void SetOutputDepth(TJPEGOutputDepth value);
    int SaveQuality() const { return saveQuality_; }
    void SetSaveQuality(int value);
    bool ProgressiveView() const { return progressiveView_; }
    void SetProgressiveView(bool value);
    // The loaded file has several scans; when saving, write a progression.
    bool MultiScan() const { return multiScan_; }
    void SetMultiScan(bool value) { multiScan_ = value; }
    TJPEGDecodeMode DecodeMode() const { return decodeMode_; }
    void SetDecodeMode(TJPEGDecodeMode value);
    TJPEGScale DecodeScale() const { return decodeScale_; }
    void SetDecodeScale(TJPEGScale value);

private:
    void Decode();
    void ReadHeader();
    void Compress();
    void CalcScaledSize() const;
    void SettingChanged();
    void ReleaseData();
    ByteSpan Bytes() const;

    TJPEGData* data_;
    std::unique_ptr<TBitmap> bitmap_;
    mutable int scaledWidth_ = 0;
    mutable int scaledHeight_ = 0;
    mutable std::unique_ptr<platform::Palette> palette_;
    bool blockSmoothing_;
    bool grayOutput_;
    TJPEGOutputDepth outputDepth_;
    int saveQuality_;
    bool progressiveView_;
    bool multiScan_;
    TJPEGDecodeMode decodeMode_;
    TJPEGScale decodeScale_;
    mutable bool needRecalc_ = true;
    // What the load that gave the bytes allowed.
    Limits limits_ = kDefaultLimits;
};

// Registers "jpeg" and "jpg" with the picture registry (once).
void RegisterJPEGFormats();
void UnregisterJPEGFormats();

}  // namespace duvo
