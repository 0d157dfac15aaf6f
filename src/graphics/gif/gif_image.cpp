// The GIF object model: construction, ownership, derived values, warnings,
// the registries and the image's graphic slots. Reading is in gif_reader.cpp.
#include "graphics/gif/gif_image.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace duvo {

DUVO_DEFINE_CLASS(TGIFImage, TGraphic::StaticClass(), []() -> TGraphic* { return new TGIFImage; })
DUVO_DEFINE_CLASS(TGIFHeader, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFGlobalColorMap, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFLocalColorMap, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFImageList, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFExtensionList, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFSubImage, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFTrailer, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFGraphicControlExtension, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFTextExtension, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFCommentExtension, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFApplicationExtension, nullptr, nullptr)
DUVO_DEFINE_CLASS(TGIFUnknownAppExtension, TGIFApplicationExtension::StaticClass(), nullptr)
DUVO_DEFINE_CLASS(TGIFAppExtNSLoop, TGIFApplicationExtension::StaticClass(), nullptr)

void RaiseGIFNotSupported(const char* what) { throw EInvalidGraphicOperation(Format(msg::GIFNotSupported, {what})); }

// ---- items ------------------------------------------------------------------

void TGIFItem::ReportWarning(std::uint8_t severity, const std::string& message) {
    image_->ReportWarning(this, severity, message);
}

void TGIFItem::SaveToStream(TStream&) const { RaiseGIFNotSupported("writing"); }

// ---- color maps -------------------------------------------------------------

void TGIFColorMap::Clear() {
    entries_.clear();
    entries_.shrink_to_fit();
    count_ = capacity_ = 0;
    sorted_ = false;
}

void TGIFColorMap::Grow(int n) {
    if (n < capacity_) return;
    capacity_ = n <= 16 ? 16 : std::min((n + 31) / 32 * 32, 256);
    entries_.resize(static_cast<std::size_t>(capacity_) * 3);
}

void TGIFColorMap::LoadFromStream(ByteReader& reader, int n) {
    Clear();
    Grow(n);
    reader.Read(entries_.data(), static_cast<std::size_t>(n) * 3);
    count_ = n;
}

std::int32_t TGIFColorMap::EntryColor(int index) {
    if (index < 0 || index >= count_) {
        ReportWarning(1, msg::GIFBadColorIndex);
        if (count_ == 0) throw GIFException(msg::GIFEmptyColorTable);
        index = 0;
    }
    const std::uint8_t* e = Entry(index);
    return e[0] | (e[1] << 8) | (e[2] << 16);
}

int TGIFColorMap::BitsPerIndex() const {
    if (count_ == 0) return 0;
    for (int n = 1; n <= 8; ++n)
        if ((1 << n) >= count_) return n;
    return 8;
}

void TGIFColorMap::Optimize() { RaiseGIFNotSupported("optimizing a color map"); }

void TGIFGlobalColorMap::ReportWarning(std::uint8_t severity, const std::string& message) {
    header_->Image()->ReportWarning(this, severity, message);
}

// The image palette belongs to the conversion to a bitmap; none is made yet.
void TGIFGlobalColorMap::Changed() { header_->Image()->SetPalette(nullptr); }

void TGIFLocalColorMap::ReportWarning(std::uint8_t severity, const std::string& message) {
    frame_->Image()->ReportWarning(this, severity, message);
}

void TGIFLocalColorMap::Changed() { frame_->DropPalette(); }

// ---- header -----------------------------------------------------------------

TGIFHeader::TGIFHeader(TGIFImage* image) : TGIFItem(image), colorMap_(std::make_unique<TGIFGlobalColorMap>(this)) {}

TGIFHeader::~TGIFHeader() = default;

int TGIFHeader::RequiredVersion() const { return colorMap_->Sorted() || descriptor_.AspectRatio != 0 ? 2 : 1; }

// ---- lists ------------------------------------------------------------------

int TGIFList::Add(std::unique_ptr<TGIFItem> item) {
    items_.push_back(std::move(item));
    return Count() - 1;
}

void TGIFList::Clear() {
    // Item 0 first, as the items were made.
    while (!items_.empty()) items_.erase(items_.begin());
}

void TGIFList::Delete(int index) { items_.erase(items_.begin() + index); }

void TGIFList::ReportWarning(std::uint8_t severity, const std::string& message) {
    image_->ReportWarning(this, severity, message);
}

void TGIFList::SaveToStream(TStream& stream) const {
    for (const auto& item : items_) item->SaveToStream(stream);
}

TGIFSubImage* TGIFImageList::Frame(int index) const { return static_cast<TGIFSubImage*>(Items(index)); }

TGIFExtension* TGIFExtensionList::Extension(int index) const { return static_cast<TGIFExtension*>(Items(index)); }

// ---- frames -----------------------------------------------------------------

TGIFSubImage::TGIFSubImage(TGIFImage* image)
    : TGIFItem(image),
      colorMap_(std::make_unique<TGIFLocalColorMap>(this)),
      extensions_(std::make_unique<TGIFExtensionList>(image)) {}

TGIFSubImage::~TGIFSubImage() {
    // The extensions go first: a graphic control extension clears its
    // reference in the frame as it goes.
    extensions_.reset();
}

void TGIFSubImage::CopyTo(TPersistent* dest) const {
    if (auto* bitmap = dynamic_cast<TBitmap*>(dest)) {
        bitmap->CopyFrom(const_cast<TGIFSubImage*>(this)->Bitmap());
        return;
    }
    AssignError(this, dest);
}

int TGIFSubImage::RequiredVersion() const { return colorMap_->Sorted() || extensions_->Count() > 0 ? 2 : 1; }

void TGIFSubImage::Clear() {
    extensions_->Clear();
    colorMap_->Clear();
    data_.reset();
    dataSize_ = 0;
    decodedPixels_ = 0;
    descriptor_.Width = descriptor_.Height = 0;
    transparent_ = false;
    gce_ = nullptr;
    bitmap_.reset();
    mask_.reset();
    needMask_ = true;
}

void TGIFSubImage::CheckPixelLimit() const {
    CheckGIFPixels(descriptor_.Width, descriptor_.Height, Image()->LoadLimits());
}

void TGIFSubImage::MakePixelData() {
    data_.reset();
    dataSize_ = 0;
    const std::uint64_t w = descriptor_.Width, h = descriptor_.Height;
    CheckPixelLimit();
    Image()->AddDecodedBytes(w * h);
    if (w * h == 0) return;
    data_ = std::make_unique_for_overwrite<std::uint8_t[]>(w * h);
    dataSize_ = w * h;
}

TGIFColorMap& TGIFSubImage::ActiveColorMap() {
    if (colorMap_->Count() > 0) return *colorMap_;
    TGIFGlobalColorMap& global = Image()->Header().ColorMap();
    if (global.Count() > 0) return global;
    return *colorMap_;
}

int TGIFSubImage::TransparentColorIndex() const { return gce_ ? gce_->TransparentColorIndex() : 0; }

// ---- extensions -------------------------------------------------------------

TGIFExtension::TGIFExtension(TGIFSubImage* frame) : TGIFItem(frame->Image()), frame_(frame) {}

TGIFGraphicControlExtension::TGIFGraphicControlExtension(TGIFSubImage* frame) : TGIFExtension(frame) {
    if (!frame->GraphicControlExtension()) frame->SetGraphicControlExtension(this);
}

TGIFGraphicControlExtension::~TGIFGraphicControlExtension() {
    if (Transparent()) Frame()->SetTransparent(false);
    if (Frame()->GraphicControlExtension() == this) Frame()->SetGraphicControlExtension(nullptr);
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFSubImage* frame) : TGIFApplicationExtension(frame) {
    std::memcpy(ident_, "NETSCAPE2.0", 11);
}

void TGIFApplicationExtension::WriteData(TStream&) const { RaiseGIFNotSupported("writing"); }

namespace {

TGIFExtensionClass ResolveOwn(TGIFExtensionClass self, ByteReader&) { return self; }
TGIFExtensionClass ResolveApplication(TGIFExtensionClass self, ByteReader& reader);

template <class T>
TGIFExtension* Make(TGIFSubImage* frame) {
    return new T(frame);
}

}  // namespace

TGIFExtensionClass TGIFGraphicControlExtension::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFGraphicControlExtension>, ResolveOwn};
    return &info;
}

TGIFExtensionClass TGIFTextExtension::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFTextExtension>, ResolveOwn};
    return &info;
}

TGIFExtensionClass TGIFCommentExtension::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFCommentExtension>, ResolveOwn};
    return &info;
}

TGIFExtensionClass TGIFApplicationExtension::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFApplicationExtension>, ResolveApplication};
    return &info;
}

TGIFExtensionClass TGIFUnknownAppExtension::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFUnknownAppExtension>, ResolveApplication};
    return &info;
}

TGIFExtensionClass TGIFAppExtNSLoop::Class() {
    static const TGIFExtensionClassInfo info{StaticClass(), kLabel, Make<TGIFAppExtNSLoop>, ResolveApplication};
    return &info;
}

namespace {

// Every application kind asks the same question of the bytes ahead: block
// size 10 means an unknown kind, 11 an identifier to look up, anything else
// leaves the asking class in charge. The caller does not move back between
// questions, so a class asked in turn looks at the bytes after the block.
TGIFExtensionClass ResolveApplication(TGIFExtensionClass self, ByteReader& reader) {
    const std::size_t start = reader.Position();
    std::uint8_t size = 0;
    if (!reader.TryU8(size)) return nullptr;
    if (size == 10) return reader.SkipUpTo(10) == 10 ? TGIFUnknownAppExtension::Class() : nullptr;
    if (size == 11 && reader.Remaining() >= 11) {
        const TGIFExtensionClass found = AppExtensionRegistry().Find(reader.Take(11).data());
        return found ? found : TGIFUnknownAppExtension::Class();
    }
    reader.Seek(start);
    return self;
}

}  // namespace

// ---- registries -------------------------------------------------------------

TGIFExtensionClass TExtensionList::Find(std::uint8_t label) const {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->label == label) return it->extensionClass;
    return nullptr;
}

void TAppExtensionList::Add(const char* ident, TGIFExtensionClass extensionClass) {
    Entry e{};
    std::memcpy(e.ident, ident, 11);
    e.extensionClass = extensionClass;
    entries_.push_back(e);
}

TGIFExtensionClass TAppExtensionList::Find(const std::uint8_t* ident) const {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (std::memcmp(it->ident, ident, 11) == 0) return it->extensionClass;
    return nullptr;
}

const TExtensionList& ExtensionRegistry() {
    static const TExtensionList list = [] {
        TExtensionList l;
        l.Add(TGIFTextExtension::kLabel, TGIFTextExtension::Class());
        l.Add(TGIFGraphicControlExtension::kLabel, TGIFGraphicControlExtension::Class());
        l.Add(TGIFCommentExtension::kLabel, TGIFCommentExtension::Class());
        l.Add(TGIFApplicationExtension::kLabel, TGIFApplicationExtension::Class());
        return l;
    }();
    return list;
}

const TAppExtensionList& AppExtensionRegistry() {
    static const TAppExtensionList list = [] {
        TAppExtensionList l;
        l.Add("NETSCAPE2.0", TGIFAppExtNSLoop::Class());
        l.Add("ANIMEXTS1.0", TGIFAppExtNSLoop::Class());
        return l;
    }();
    return list;
}

// ---- the image --------------------------------------------------------------

TGIFImage::TGIFImage() : images_(std::make_unique<TGIFImageList>(this)), header_(std::make_unique<TGIFHeader>(this)) {
    Clear();
}

TGIFImage::~TGIFImage() {
    // Frames refer to the header's map through the image; they go first.
    images_.reset();
}

void TGIFImage::Clear() {
    bitmap_.reset();
    images_->Clear();
    header_->ColorMap().Clear();
    header_->Descriptor().ScreenWidth = 0;
    header_->Descriptor().ScreenHeight = 0;
    decodedBytes_ = 0;
    palette_.reset();
    firstFrameData_ = kNoFrameData;
    firstFrameDeferred_ = false;
}

void TGIFImage::AddDecodedBytes(std::uint64_t n) {
    if (n > LoadLimits().decodedBytes - std::min(decodedBytes_, LoadLimits().decodedBytes))
        throw EGIFTooLarge(Format(msg::TooManyBytes, {std::to_string(LoadLimits().decodedBytes)}));
    decodedBytes_ += n;
}

void TGIFImage::ReportWarning(TPersistent* sender, std::uint8_t severity, const std::string& message) {
    if (onWarning_) onWarning_(sender, severity, message);
}

void TGIFImage::CopyTo(TPersistent* dest) const {
    if (auto* bitmap = dynamic_cast<TBitmap*>(dest)) {
        bitmap->CopyFrom(const_cast<TGIFImage*>(this)->Bitmap());
        return;
    }
    TGraphic::CopyTo(dest);
}

void TGIFImage::CopyFrom(const TPersistent* source) {
    if (!source || !dynamic_cast<const TGIFImage*>(source)) {
        TGraphic::CopyFrom(source);
        return;
    }
    RaiseGIFNotSupported("copying an image");
}

void TGIFImage::DrawTo(TCanvas&, const TRect&) { RaiseGIFNotSupported("drawing"); }
void TGIFImage::SetHeight(int) { RaiseGIFNotSupported("changing the size"); }
void TGIFImage::SetWidth(int) { RaiseGIFNotSupported("changing the size"); }

void TGIFImage::SetPalette(std::unique_ptr<platform::Palette> palette) {
    // Dropping the image palette (its color map changed) is all reading needs.
    if (palette) RaiseGIFNotSupported("setting a palette");
    palette_.reset();
}

void TGIFImage::WriteToStream(TStream&) const { RaiseGIFNotSupported("writing"); }
void TGIFImage::ReadClipboard(unsigned, std::uintptr_t, const platform::Palette*) {
    RaiseGIFNotSupported("reading the clipboard");
}
void TGIFImage::WriteClipboard(unsigned&, std::uintptr_t&, platform::Palette*&) const {
    RaiseGIFNotSupported("writing to the clipboard");
}

// ---- registration -----------------------------------------------------------

namespace {
std::mutex g_registrationLock;
bool g_registered = false;
}  // namespace

unsigned GIFClipboardFormat() {
    // A private format number, as a registered clipboard format would be.
    return 0xC000u + 0x0647u;
}

void RegisterGIFFormats() {
    std::lock_guard lock(g_registrationLock);
    if (g_registered) return;
    RegisterFileFormat("GIF", msg::GIFImage, TGIFImage::StaticClass());
    RegisterClipboardFormat(GIFClipboardFormat(), TGIFImage::StaticClass());
    g_registered = true;
}

void UnregisterGIFFormats() {
    std::lock_guard lock(g_registrationLock);
    if (!g_registered) return;
    UnregisterGraphicClass(TGIFImage::StaticClass());
    g_registered = false;
}

}  // namespace duvo
