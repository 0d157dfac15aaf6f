// The GIF image model: a tree of objects that mirrors the blocks of a file.
// The image owns a header (logical screen, global color table) and a list of
// frames; each frame owns the extensions that stood before its image
// descriptor, its own color table and its decoded pixels. Every element reads
// itself from the file's bytes (LoadFromStream, in gif_reader.cpp).
//
// Trouble comes in two kinds: an error raises GIFException and ends the load;
// a warning goes through ReportWarning of the element concerned, which always
// ends at the image with that element as sender, and reaches the image's
// warning handler when one is installed. The program installs none.
//
// Only the reading side is built. Writing, optimizing, drawing and the
// clipboard throw EInvalidGraphicOperation naming what is not supported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/gif/gif_errors.h"
#include "graphics/bitmap.h"
#include "graphics/graphics.h"
#include "rtl/byte_reader.h"
#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo {

// The image's draw options that the conversion to a bitmap reads; the
// others serve drawing on a canvas and animation, which are not built.
using TGIFDrawOptions = std::uint32_t;
inline constexpr TGIFDrawOptions goDither = 1u << 0;
inline constexpr TGIFDrawOptions goAutoDither = 1u << 1;
// What every new image starts with.
inline constexpr TGIFDrawOptions kGIFDefaultDrawOptions = goDither | goAutoDither;

// Whether the screen shows 256 colors or fewer, which is when dithering
// into the web palette pays. Ours has 24 bits per pixel; tests set it.
bool GIFAutoDitherScreen();
void SetGIFAutoDitherScreen(bool value);

// Frames of more pixels than this are rendered without ever making a
// screen-format bitmap of their size.
inline constexpr std::uint64_t kGIFLargeFrame = 500000;

namespace msg {
inline constexpr const char* GIFRendering = "Rendering...";
inline constexpr const char* GIFNoColorTable = "No global or local color table defined";
}  // namespace msg

// Which LZW decoder turns a frame's data into pixels. Both give the same
// pixels, warnings, errors and stream position; the reference hands out one
// value per request through a stack and serves tests and benchmarks.
enum class TGIFDecoder : std::uint8_t { Fast, Reference };

class TGIFImage;
class TGIFHeader;
class TGIFSubImage;
class TGIFExtension;

using TGIFWarning = std::function<void(TPersistent* sender, std::uint8_t severity, const std::string& message)>;

[[noreturn]] void RaiseGIFNotSupported(const char* what);

// ---- file elements ----------------------------------------------------------

class TGIFItem : public TPersistent {
public:
    explicit TGIFItem(TGIFImage* image) : image_(image) {}
    TGIFItem(const TGIFItem&) = delete;
    TGIFItem& operator=(const TGIFItem&) = delete;

    TGIFImage* Image() const { return image_; }

    virtual int RequiredVersion() const { return 1; }                               // 4
    virtual void ReportWarning(std::uint8_t severity, const std::string& message);  // 5
    virtual void SaveToStream(TStream& stream) const;                               // 7
    virtual void LoadFromStream(ByteReader& reader) = 0;                            // 8

private:
    TGIFImage* image_;
};

class TGIFColorMap : public TPersistent {
public:
    TGIFColorMap() = default;
    TGIFColorMap(const TGIFColorMap&) = delete;
    TGIFColorMap& operator=(const TGIFColorMap&) = delete;

    void Clear();
    void LoadFromStream(ByteReader& reader, int n);

    int Count() const { return count_; }
    int Capacity() const { return capacity_; }
    bool Sorted() const { return sorted_; }
    // Entry i as red, green, blue bytes; i must be below Count().
    const std::uint8_t* Entry(int i) const { return entries_.data() + static_cast<std::size_t>(i) * 3; }
    // red + green * 256 + blue * 65536; an index outside the map warns and
    // falls back to entry 0.
    std::int32_t EntryColor(int index);
    // Bits per pixel index the map needs: 0 for an empty map, 1..8 otherwise.
    int BitsPerIndex() const;

    virtual void ReportWarning(std::uint8_t severity, const std::string& message) = 0;  // 4
    virtual void Optimize();                                                            // 5
    virtual void Changed() = 0;                                                         // 6

protected:
    void Grow(int n);

private:
    std::vector<std::uint8_t> entries_;
    std::int32_t count_ = 0;
    std::int32_t capacity_ = 0;
    bool sorted_ = false;
};

class TGIFGlobalColorMap : public TGIFColorMap {
    DUVO_CLASS(TGIFGlobalColorMap)
public:
    explicit TGIFGlobalColorMap(TGIFHeader* header) : header_(header) {}
    TGIFHeader* Header() const { return header_; }
    void ReportWarning(std::uint8_t severity, const std::string& message) override;
    void Changed() override;

private:
    TGIFHeader* header_;
};

class TGIFLocalColorMap : public TGIFColorMap {
    DUVO_CLASS(TGIFLocalColorMap)
public:
    explicit TGIFLocalColorMap(TGIFSubImage* frame) : frame_(frame) {}
    TGIFSubImage* Frame() const { return frame_; }
    void ReportWarning(std::uint8_t severity, const std::string& message) override;
    void Changed() override;

private:
    TGIFSubImage* frame_;
};

// The logical screen descriptor as its 7 bytes stand in the file.
struct TLogicalScreenDescriptor {
    std::uint16_t ScreenWidth = 0;
    std::uint16_t ScreenHeight = 0;
    std::uint8_t PackedFields = 0;
    std::uint8_t BackgroundColorIndex = 0;
    std::uint8_t AspectRatio = 0;
};

class TGIFHeader : public TGIFItem {
    DUVO_CLASS(TGIFHeader)
public:
    explicit TGIFHeader(TGIFImage* image);
    ~TGIFHeader() override;

    int RequiredVersion() const override;
    void LoadFromStream(ByteReader& reader) override;

    TLogicalScreenDescriptor& Descriptor() { return descriptor_; }
    const TLogicalScreenDescriptor& Descriptor() const { return descriptor_; }
    TGIFGlobalColorMap& ColorMap() { return *colorMap_; }
    const TGIFGlobalColorMap& ColorMap() const { return *colorMap_; }
    int Width() const { return descriptor_.ScreenWidth; }
    int Height() const { return descriptor_.ScreenHeight; }
    int BackgroundColorIndex() const { return descriptor_.BackgroundColorIndex; }
    std::int32_t BackgroundColor() { return colorMap_->EntryColor(descriptor_.BackgroundColorIndex); }

private:
    TLogicalScreenDescriptor descriptor_;
    std::unique_ptr<TGIFGlobalColorMap> colorMap_;
};

// An owning, ordered list of file elements.
class TGIFList : public TPersistent {
public:
    explicit TGIFList(TGIFImage* image) : image_(image) {}
    TGIFList(const TGIFList&) = delete;
    TGIFList& operator=(const TGIFList&) = delete;

    TGIFImage* Image() const { return image_; }
    int Count() const { return static_cast<int>(items_.size()); }
    TGIFItem* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }
    int Add(std::unique_ptr<TGIFItem> item);
    void Clear();
    void Delete(int index);

    virtual void ReportWarning(std::uint8_t severity, const std::string& message);  // 4
    virtual void SaveToStream(TStream& stream) const;                               // 5
    virtual void LoadFromStream(ByteReader& reader, TPersistent* parent) = 0;       // 6

private:
    std::vector<std::unique_ptr<TGIFItem>> items_;
    TGIFImage* image_;
};

class TGIFImageList : public TGIFList {
    DUVO_CLASS(TGIFImageList)
public:
    using TGIFList::TGIFList;
    TGIFSubImage* Frame(int index) const;
    // The block loop; parent is the image.
    void LoadFromStream(ByteReader& reader, TPersistent* parent) override;
};

class TGIFExtensionList : public TGIFList {
    DUVO_CLASS(TGIFExtensionList)
public:
    using TGIFList::TGIFList;
    TGIFExtension* Extension(int index) const;
    // The extension loop; parent is the frame.
    void LoadFromStream(ByteReader& reader, TPersistent* parent) override;
};

// The image descriptor as its 10 bytes stand in the file.
struct TImageDescriptor {
    std::uint8_t Separator = 0x2C;
    std::uint16_t Left = 0;
    std::uint16_t Top = 0;
    std::uint16_t Width = 0;
    std::uint16_t Height = 0;
    std::uint8_t PackedFields = 0;
};

class TGIFGraphicControlExtension;

// One frame: an image block and the extensions before it. Its pixel data is
// one index byte per pixel, rows top to bottom in display order (also for
// interlaced frames), Width() bytes each, without gaps.
class TGIFSubImage : public TGIFItem {
    DUVO_CLASS(TGIFSubImage)
public:
    explicit TGIFSubImage(TGIFImage* image);
    ~TGIFSubImage() override;

    void CopyTo(TPersistent* dest) const;  // 1
    int RequiredVersion() const override;
    void LoadFromStream(ByteReader& reader) override;
    // Reads a frame from the start of a file (slot 9); the file is closed
    // again also when reading fails.
    void LoadFile(const std::string& fileName);

    void Clear();
    // Frees any old pixel data and makes width x height bytes, uninitialised,
    // after checking the size against the image's limits.
    void MakePixelData();
    // EGIFTooLarge when width x height is above the image's pixel limit.
    void CheckPixelLimit() const;

    TImageDescriptor& Descriptor() { return descriptor_; }
    const TImageDescriptor& Descriptor() const { return descriptor_; }
    int Left() const { return descriptor_.Left; }
    int Top() const { return descriptor_.Top; }
    int Width() const { return descriptor_.Width; }
    int Height() const { return descriptor_.Height; }
    TRect BoundsRect() const { return {Left(), Top(), Left() + Width(), Top() + Height()}; }
    bool Interlaced() const { return (descriptor_.PackedFields & 0x40) != 0; }
    bool Empty() const { return !data_ || dataSize_ == 0 || Width() == 0 || Height() == 0; }

    std::uint8_t* Data() { return data_.get(); }
    const std::uint8_t* Data() const { return data_.get(); }
    std::uint64_t DataSize() const { return dataSize_; }
    // Pixels, in the order they are stored, that the image data gave before
    // it ended; the rest hold the fill value.
    std::uint64_t DecodedPixels() const { return decodedPixels_; }

    TGIFLocalColorMap& ColorMap() { return *colorMap_; }
    const TGIFLocalColorMap& ColorMap() const { return *colorMap_; }
    // The local map when it has entries, else the global map when that has
    // entries, else the (empty) local map.
    TGIFColorMap& ActiveColorMap();

    TGIFExtensionList& Extensions() { return *extensions_; }
    const TGIFExtensionList& Extensions() const { return *extensions_; }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value) { transparent_ = value; }
    // The first graphic control extension made for this frame, if any.
    TGIFGraphicControlExtension* GraphicControlExtension() const { return gce_; }
    void SetGraphicControlExtension(TGIFGraphicControlExtension* gce) { gce_ = gce; }
    int TransparentColorIndex() const;

    // ---- as a bitmap; each is made on first request and kept ----
    // The frame rendered at 8 bits per pixel, its own colors or dithered into
    // the web palette; none for an empty frame, or when a progress handler
    // cancelled the rendering.
    TBitmap* Bitmap();
    // The frame's palette, owned by the frame, its bitmap or the image.
    const platform::Palette* Palette();
    // Transparent pixels as 1 bits, made by the rendering of a transparent frame.
    const TBitmap* Mask() const { return mask_.get(); }
    bool NeedMask() const { return needMask_; }
    // Draws the frame into rect, which stands for the whole logical screen,
    // scaled to it and cut at the canvas's edges. Only transparent false and
    // tile false are built.
    void Draw(TCanvas& canvas, const TRect& rect, bool transparent, bool tile);
    // Drops the palette made for the frame (its local color map changed).
    void DropPalette() { palette_.reset(); }

private:
    std::unique_ptr<TBitmap> RenderIndexed();
    std::unique_ptr<TBitmap> RenderDithered();
    void ReportRendering(TProgressStage stage, int percent);

    std::unique_ptr<TBitmap> bitmap_;
    std::unique_ptr<TBitmap> mask_;
    bool needMask_ = true;
    std::unique_ptr<platform::Palette> palette_;
    std::unique_ptr<std::uint8_t[]> data_;
    // 64 bits: 65535 x 65535 does not fit a signed 32-bit count.
    std::uint64_t dataSize_ = 0;
    std::uint64_t decodedPixels_ = 0;
    std::unique_ptr<TGIFLocalColorMap> colorMap_;
    TImageDescriptor descriptor_;
    std::unique_ptr<TGIFExtensionList> extensions_;
    bool transparent_ = false;
    TGIFGraphicControlExtension* gce_ = nullptr;
};

class TGIFTrailer : public TGIFItem {
    DUVO_CLASS(TGIFTrailer)
public:
    using TGIFItem::TGIFItem;
    void LoadFromStream(ByteReader& reader) override;
};

// ---- extensions -------------------------------------------------------------

// A class reference for extensions: what the registries hold and what
// resolving a label yields. resolveKind may read ahead; the caller puts the
// reader back.
struct TGIFExtensionClassInfo;
using TGIFExtensionClass = const TGIFExtensionClassInfo*;
struct TGIFExtensionClassInfo {
    const TClassInfo* info;
    std::uint8_t label;
    TGIFExtension* (*create)(TGIFSubImage* frame);
    TGIFExtensionClass (*resolveKind)(TGIFExtensionClass self, ByteReader& reader);
};

class TGIFExtension : public TGIFItem {
public:
    explicit TGIFExtension(TGIFSubImage* frame);

    TGIFSubImage* Frame() const { return frame_; }
    int RequiredVersion() const override { return 2; }
    // Reads and checks the two-byte block header.
    void LoadFromStream(ByteReader& reader) override;
    virtual std::uint8_t ExtensionLabel() const = 0;  // 9
    virtual TGIFExtensionClass Kind() const = 0;

private:
    TGIFSubImage* frame_;
};

struct TGraphicControlRecord {
    std::uint8_t BlockSize = 4;
    std::uint8_t PackedFields = 0;
    std::uint16_t DelayTime = 0;
    std::uint8_t TransparentColorIndex = 0;
    std::uint8_t Terminator = 0;
};

class TGIFGraphicControlExtension : public TGIFExtension {
    DUVO_CLASS(TGIFGraphicControlExtension)
public:
    static constexpr std::uint8_t kLabel = 0xF9;
    static TGIFExtensionClass Class();
    // Becomes the frame's graphic control extension when it has none yet.
    explicit TGIFGraphicControlExtension(TGIFSubImage* frame);
    ~TGIFGraphicControlExtension() override;

    void LoadFromStream(ByteReader& reader) override;
    std::uint8_t ExtensionLabel() const override { return kLabel; }
    TGIFExtensionClass Kind() const override { return Class(); }

    const TGraphicControlRecord& Record() const { return record_; }
    int Disposal() const { return (record_.PackedFields >> 2) & 7; }
    bool Transparent() const { return (record_.PackedFields & 1) != 0; }
    int TransparentColorIndex() const { return record_.TransparentColorIndex; }
    int Delay() const { return record_.DelayTime; }

private:
    TGraphicControlRecord record_;
};

struct TPlainTextRecord {
    std::uint8_t BlockSize = 12;
    std::uint16_t Left = 0, Top = 0, Width = 0, Height = 0;
    std::uint8_t CellWidth = 0, CellHeight = 0;
    std::uint8_t TextFGColorIndex = 0, TextBGColorIndex = 0;
};

class TGIFTextExtension : public TGIFExtension {
    DUVO_CLASS(TGIFTextExtension)
public:
    static constexpr std::uint8_t kLabel = 0x01;
    static TGIFExtensionClass Class();
    using TGIFExtension::TGIFExtension;

    void LoadFromStream(ByteReader& reader) override;
    std::uint8_t ExtensionLabel() const override { return kLabel; }
    TGIFExtensionClass Kind() const override { return Class(); }

    const TPlainTextRecord& Record() const { return record_; }
    const std::vector<std::string>& Text() const { return text_; }

private:
    std::vector<std::string> text_;
    TPlainTextRecord record_;
};

class TGIFCommentExtension : public TGIFExtension {
    DUVO_CLASS(TGIFCommentExtension)
public:
    static constexpr std::uint8_t kLabel = 0xFE;
    static TGIFExtensionClass Class();
    using TGIFExtension::TGIFExtension;

    void LoadFromStream(ByteReader& reader) override;
    std::uint8_t ExtensionLabel() const override { return kLabel; }
    TGIFExtensionClass Kind() const override { return Class(); }

    const std::vector<std::string>& Text() const { return text_; }

private:
    std::vector<std::string> text_;
};

// One raw data sub-block.
struct TGIFBlock {
    std::vector<std::uint8_t> data;  // 1..255 bytes
    int Size() const { return static_cast<int>(data.size()); }
};

class TGIFApplicationExtension : public TGIFExtension {
    DUVO_CLASS(TGIFApplicationExtension)
public:
    static constexpr std::uint8_t kLabel = 0xFF;
    static TGIFExtensionClass Class();
    using TGIFExtension::TGIFExtension;

    void LoadFromStream(ByteReader& reader) override;
    std::uint8_t ExtensionLabel() const override { return kLabel; }
    TGIFExtensionClass Kind() const override { return Class(); }
    virtual void WriteData(TStream& stream) const;  // 12
    // A block size of 12 or more leaves this class in charge; it keeps the
    // data sub-blocks like an unknown application extension does.
    virtual void ReadData(ByteReader& reader);  // 13

    // 8-byte application identifier and 3-byte authentication code.
    const std::uint8_t* Identifier() const { return ident_; }
    std::string IdentifierText() const { return std::string(reinterpret_cast<const char*>(ident_), 11); }
    const std::vector<TGIFBlock>& Blocks() const { return blocks_; }

protected:
    void ReadBlocks(ByteReader& reader);
    std::uint8_t ident_[11] = {};
    std::vector<TGIFBlock> blocks_;
};

class TGIFUnknownAppExtension : public TGIFApplicationExtension {
    DUVO_CLASS(TGIFUnknownAppExtension)
public:
    static TGIFExtensionClass Class();
    using TGIFApplicationExtension::TGIFApplicationExtension;
    TGIFExtensionClass Kind() const override { return Class(); }
    void ReadData(ByteReader& reader) override;
};

class TGIFAppExtNSLoop : public TGIFApplicationExtension {
    DUVO_CLASS(TGIFAppExtNSLoop)
public:
    static TGIFExtensionClass Class();
    explicit TGIFAppExtNSLoop(TGIFSubImage* frame);
    TGIFExtensionClass Kind() const override { return Class(); }
    void ReadData(ByteReader& reader) override;
    int Loops() const { return loops_; }

private:
    std::uint16_t loops_ = 0;
};

// ---- registries -------------------------------------------------------------

// Label -> extension class; lookups scan from the last entry to the first.
class TExtensionList {
public:
    struct Entry {
        std::uint8_t label;
        TGIFExtensionClass extensionClass;
    };
    void Add(std::uint8_t label, TGIFExtensionClass extensionClass) { entries_.push_back({label, extensionClass}); }
    TGIFExtensionClass Find(std::uint8_t label) const;
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// 11-byte identifier block -> application extension class; exact bytes,
// case matters, last entry first.
class TAppExtensionList {
public:
    struct Entry {
        std::uint8_t ident[11];
        TGIFExtensionClass extensionClass;
    };
    void Add(const char* ident, TGIFExtensionClass extensionClass);
    TGIFExtensionClass Find(const std::uint8_t* ident) const;
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// Made on first use (thread-safe) and never changed afterwards.
const TExtensionList& ExtensionRegistry();
const TAppExtensionList& AppExtensionRegistry();

// ---- the image --------------------------------------------------------------

class TGIFImage : public TGraphic {
    DUVO_CLASS(TGIFImage)
public:
    TGIFImage();
    ~TGIFImage() override;

    void CopyTo(TPersistent* dest) const override;                                                            // 1
    void CopyFrom(const TPersistent* source) override;                                                        // 3
    void DrawTo(TCanvas& canvas, const TRect& rect) override;                                                 // 6
    bool IsEmpty() const override { return images_->Count() == 0; }                                           // 8
    int GetHeight() const override { return header_->Height(); }                                              // 9
    int GetWidth() const override { return header_->Width(); }                                                // 12
    void SetHeight(int value) override;                                                                       // 14
    void SetPalette(std::unique_ptr<platform::Palette> palette) override;                                     // 15
    void SetWidth(int value) override;                                                                        // 17
    void ReadFromStream(TStream& stream) override;                                                            // 21
    void WriteToStream(TStream& stream) const override;                                                       // 22
    void ReadClipboard(unsigned format, std::uintptr_t data, const platform::Palette* palette) override;      // 23
    void WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const override;  // 24
    // Slot 21 within the caller's limits.
    void ReadFromStream(TStream& stream, const Limits& limits);
    // Passes a warning to the handler, when one is installed.
    virtual void ReportWarning(TPersistent* sender, std::uint8_t severity, const std::string& message);  // 25

    // Replaces the content by the GIF that starts at the reader's position;
    // streamOffset is where the reader's bytes stand in their stream, for
    // the progress reports.
    void ReadBlocks(ByteReader& reader, std::uint64_t streamOffset = 0);
    // The whole file, as ReadFromStream reads it.
    void LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner = nullptr) override;
    // The header and the first frame only: what a comparison uses. The
    // blocks after it are not read. With deferData a first frame that is not
    // interlaced is not decoded (FirstFrameDeferred()): it gets no pixels
    // and no share of the decoded bytes, for a caller that decodes its data
    // as it goes. Returns the reader's position where reading stopped.
    std::size_t LoadFirstFrame(ByteSpan bytes, const Limits& limits, bool deferData = false);
    // Where the first frame's image data starts (its minimum code size byte);
    // kNoFrameData when the last load read none.
    static constexpr std::size_t kNoFrameData = ~std::size_t{0};
    std::size_t FirstFrameData() const { return firstFrameData_; }
    bool FirstFrameDeferred() const { return firstFrameDeferred_; }
    // What the load in progress, or the last one, allows.
    const Limits& LoadLimits() const { return limits_; }
    // "Loading..." at the given reader position, as a share of the stream.
    void ReportLoadProgress(TPersistent* sender, std::uint64_t position);
    void Clear();

    TGIFImageList& Images() { return *images_; }
    const TGIFImageList& Images() const { return *images_; }
    TGIFHeader& Header() { return *header_; }
    const TGIFHeader& Header() const { return *header_; }

    void SetOnWarning(TGIFWarning handler) { onWarning_ = std::move(handler); }

    // ---- as a bitmap ----
    // The first frame as a bitmap: its own when it covers the logical
    // screen, else the logical screen on white with the frame drawn in it.
    // None without frames. Made on first request and kept.
    TBitmap* Bitmap();
    // The palette of the image: owned by the image, its bitmap or a frame.
    const platform::Palette* ImagePalette();
    const platform::Palette* GetPalette() const override;  // 10
    // Dither into the web palette: with the dither option on, and either the
    // auto-dither option off or a screen of 256 colors or fewer.
    bool DoDither() const;
    TGIFDrawOptions DrawOptions() const { return drawOptions_; }
    void SetDrawOptions(TGIFDrawOptions options) { drawOptions_ = options; }
    TGIFDecoder Decoder() const { return decoder_; }
    void SetDecoder(TGIFDecoder decoder) { decoder_ = decoder; }

    // Pixel bytes of all frames made so far; checked against the limits.
    std::uint64_t DecodedBytes() const { return decodedBytes_; }
    void AddDecodedBytes(std::uint64_t n);

private:
    // The whole file from bytes, with the progress reports of a load;
    // consumed: where reading stopped, also when it throws.
    void ReadAll(ByteSpan bytes, std::uint64_t streamOffset, const Limits& limits, std::size_t& consumed);

    std::unique_ptr<TGIFImageList> images_;
    std::unique_ptr<TGIFHeader> header_;
    TGIFWarning onWarning_;
    TGIFDecoder decoder_ = TGIFDecoder::Fast;
    std::uint64_t decodedBytes_ = 0;
    std::unique_ptr<TBitmap> bitmap_;
    std::unique_ptr<platform::Palette> palette_;
    bool paletteGuard_ = false;
    TGIFDrawOptions drawOptions_ = kGIFDefaultDrawOptions;
    std::uint64_t streamOffset_ = 0;
    std::uint64_t streamSize_ = 0;
    Limits limits_ = kDefaultLimits;
    // Frames the block loop reads at most.
    std::uint64_t framesWanted_ = ~std::uint64_t{0};
    bool deferData_ = false;
    std::size_t firstFrameData_ = kNoFrameData;
    bool firstFrameDeferred_ = false;
    friend class TGIFImageList;
    friend class TGIFSubImage;
};

// Registers "gif" ("GIF Image") with the picture registry and the GIF
// clipboard format; once, from any thread.
void RegisterGIFFormats();
void UnregisterGIFFormats();
// The clipboard format number registered for "GIF Image".
unsigned GIFClipboardFormat();

}  // namespace duvo
