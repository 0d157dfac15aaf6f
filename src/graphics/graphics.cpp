#include "graphics/graphics.h"

#include <algorithm>

#include "graphics/bitmap.h"
#include "rtl/exceptions.h"
#include "rtl/file_bytes.h"

namespace duvo {

const TClassInfo* TGraphic::StaticClass() {
    static const TClassInfo info{"TGraphic", nullptr, nullptr};
    return &info;
}
DUVO_DEFINE_CLASS(TPicture, nullptr, nullptr)
DUVO_DEFINE_CLASS(TMetafile, TGraphic::StaticClass(), []() -> TGraphic* { return new TMetafile; })
DUVO_DEFINE_CLASS(TIcon, TGraphic::StaticClass(), []() -> TGraphic* { return new TIcon; })

void TPersistent::AssignError(const TPersistent* source, const TPersistent* dest) {
    throw EConvertError(Format(msg::AssignError, {source ? source->ClassName() : "nil", dest->ClassName()}));
}

// ---- TGraphic ---------------------------------------------------------------

void TGraphic::CopyTo(TPersistent* dest) const { AssignError(this, dest); }

void TGraphic::DefineProperties(TFiler& filer) const {
    bool write;
    if (const auto* ancestor = dynamic_cast<const TGraphic*>(filer.ancestor))
        write = !SameAs(ancestor);
    else
        write = !IsEmpty();
    filer.properties.push_back({"Data", write});
}

void TGraphic::CopyFrom(const TPersistent* source) {
    if (!source) AssignError(nullptr, this);
    if (const auto* g = dynamic_cast<const TGraphic*>(source)) {
        g->CopyTo(this);
        return;
    }
    if (const auto* p = dynamic_cast<const TPicture*>(source)) {
        p->CopyTo(this);
        return;
    }
    AssignError(source, this);
}

void TGraphic::NotifyChanged(TPersistent*) {
    modified_ = true;
    if (onChange_) onChange_(this);
}

void TGraphic::DrawTo(TCanvas&, const TRect&) { throw Exception(msg::AbstractError); }

bool TGraphic::SameAs(const TGraphic* other) const {
    if (!other) return false;
    if (IsEmpty() || other->IsEmpty()) return IsEmpty() && other->IsEmpty();
    if (ClassType() != other->ClassType()) return false;
    TMemoryStream a, b;
    WriteStoredData(a);
    other->WriteStoredData(b);
    return a.Bytes() == b.Bytes();
}

void TGraphic::SetHeight(int) { throw Exception(msg::AbstractError); }
void TGraphic::SetWidth(int) { throw Exception(msg::AbstractError); }

void TGraphic::SetTransparent(bool value) {
    if (value == transparent_) return;
    transparent_ = value;
    Changed();
}

void TGraphic::LoadFile(const std::string& fileName) { LoadFile(fileName, kDefaultLimits); }

void TGraphic::LoadFile(const std::string& fileName, const Limits& limits) {
    // The file's bytes are read in one go (mapped where it can be); the
    // graphic keeps its own copy of what it needs, so a picture is a snapshot
    // of the file as it was.
    const auto file = FileBytes::Open(fileName, limits);
    LoadFromBytes(file->Bytes(), limits);
    file->CheckIntact();
}

void TGraphic::LoadFromBytes(ByteSpan bytes, const Limits&, std::shared_ptr<const void>) {
    TBytesStream stream(bytes.data(), bytes.size());
    ReadFromStream(stream);
}

void TGraphic::SaveFile(const std::string& fileName) const {
    TFileStream stream(fileName, TFileStream::Create);
    WriteToStream(stream);
}

void TGraphic::ReadClipboard(unsigned, std::uintptr_t, const platform::Palette*) {
    throw Exception(msg::AbstractError);
}
void TGraphic::WriteClipboard(unsigned&, std::uintptr_t&, platform::Palette*&) const {
    throw Exception(msg::AbstractError);
}

void TGraphic::ReportProgress(TPersistent* sender, TProgressStage stage, std::uint8_t percent, bool redraw,
                              const TRect& r, const std::string& msg) {
    if (onProgress_) onProgress_(sender, stage, percent, redraw, r, msg);
}

void TMetafile::ReadFromStream(TStream&) { throw EInvalidGraphic(msg::InvalidMetafile); }
void TIcon::ReadFromStream(TStream&) { throw EInvalidGraphic(msg::InvalidIcon); }

void TMetafile::CopyFrom(const TPersistent* source) {
    if (!dynamic_cast<const TMetafile*>(source)) return TGraphic::CopyFrom(source);
    Changed();
}

void TIcon::CopyFrom(const TPersistent* source) {
    if (!dynamic_cast<const TIcon*>(source)) return TGraphic::CopyFrom(source);
    Changed();
}

// ---- TPicture ---------------------------------------------------------------

TPicture::TPicture() { GetFileFormats(); }
TPicture::~TPicture() = default;

void TPicture::Adopt(std::unique_ptr<TGraphic> graphic) {
    if (graphic) {
        graphic->SetOnChange([this](TPersistent* s) { Changed(s); });
        graphic->SetOnProgress([this](TPersistent* s, TProgressStage st, std::uint8_t p, bool rd, const TRect& r,
                                      const std::string& m) { Progress(s, st, p, rd, r, m); });
    }
    graphic_ = std::move(graphic);
    Changed(this);
}

void TPicture::SetGraphic(const TGraphic* graphic) {
    std::unique_ptr<TGraphic> copy;
    if (graphic) {
        copy.reset(graphic->ClassType()->create());
        copy->CopyFrom(graphic);
    }
    Adopt(std::move(copy));
}

void TPicture::CopyFrom(const TPersistent* source) {
    if (!source) {
        SetGraphic(nullptr);
    } else if (const auto* p = dynamic_cast<const TPicture*>(source)) {
        if (p != this) SetGraphic(p->Graphic());
    } else if (const auto* g = dynamic_cast<const TGraphic*>(source)) {
        SetGraphic(g);
    } else {
        AssignError(source, this);
    }
}

void TPicture::CopyTo(TPersistent* dest) const {
    if (auto* g = dynamic_cast<TGraphic*>(dest); g && graphic_ && graphic_->InheritsFrom(g->ClassType())) {
        g->CopyFrom(graphic_.get());
        return;
    }
    AssignError(this, dest);
}

void TPicture::LoadFile(const std::string& fileName) {
    const std::string ext = ExtractExtension(fileName);
    TGraphicClass cls = GetFileFormats().FindExt(ext);
    if (!cls) throw EInvalidGraphic(Format(msg::UnknownExtension, {ext}));
    std::unique_ptr<TGraphic> fresh(cls->create());
    fresh->SetOnProgress([this](TPersistent* s, TProgressStage st, std::uint8_t p, bool rd, const TRect& r,
                                const std::string& m) { Progress(s, st, p, rd, r, m); });
    fresh->LoadFile(fileName);
    Adopt(std::move(fresh));
}

void TPicture::SaveFile(const std::string& fileName) const {
    if (graphic_) graphic_->SaveFile(fileName);
}

void TPicture::ReadData(TStream& stream) {
    std::uint8_t length = 0;
    stream.ReadBuffer(&length, 1);
    std::string name(length, '\0');
    stream.ReadBuffer(name.data(), length);
    TGraphicClass cls = GetFileFormats().FindClassName(name);
    if (!cls) return;
    std::unique_ptr<TGraphic> fresh(cls->create());
    fresh->ReadStoredData(stream);
    Adopt(std::move(fresh));
}

void TPicture::WriteData(TStream& stream) const {
    std::string name = graphic_ ? graphic_->ClassName() : std::string();
    if (name.size() > 63) name.resize(63);
    const auto length = static_cast<std::uint8_t>(name.size());
    stream.WriteBuffer(&length, 1);
    stream.WriteBuffer(name.data(), name.size());
    if (graphic_) graphic_->WriteStoredData(stream);
}

void TPicture::Changed(TPersistent*) {
    if (onChange_) onChange_(this);
}

void TPicture::Progress(TPersistent* sender, TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& r,
                        const std::string& msg) {
    if (onProgress_) onProgress_(sender, stage, percent, redraw, r, msg);
}

// ---- registry ---------------------------------------------------------------

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string ExtractExtension(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    if (dot == std::string::npos) return {};
    // A dot in a folder name is no extension ("/" is the folder separator here).
    if (fileName.find_first_of("\\:/", dot) != std::string::npos) return {};
    return fileName.substr(dot + 1);
}

void TFileFormatsList::Add(const std::string& extension, const std::string& description, int descriptionResource,
                           TGraphicClass graphicClass) {
    std::lock_guard lock(mutex_);
    entries_.push_back({graphicClass, LowerAscii(extension), description, descriptionResource});
}

void TFileFormatsList::Remove(TGraphicClass graphicClass) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.graphicClass->InheritsFrom(graphicClass); });
}

TGraphicClass TFileFormatsList::FindExt(const std::string& extension) const {
    const std::string key = LowerAscii(extension);
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->extension == key) return it->graphicClass;
    return nullptr;
}

TGraphicClass TFileFormatsList::FindClassName(const std::string& className) const {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (className == it->graphicClass->name) return it->graphicClass;
    return nullptr;
}

void TFileFormatsList::BuildFilterStrings(TGraphicClass graphicClass, std::string& description,
                                          std::string& filters) const {
    std::lock_guard lock(mutex_);
    description.clear();
    filters.clear();
    int count = 0;
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (!it->graphicClass->InheritsFrom(graphicClass) || it->extension.empty()) continue;
        if (count != 0) {
            description += '|';
            filters += ';';
        }
        description += it->description + " (*." + it->extension + ")|*." + it->extension;
        filters += "*." + it->extension;
        ++count;
    }
    if (count > 1) description = "All (" + filters + ")|" + filters + "|" + description;
}

std::vector<TFileFormatsList::Entry> TFileFormatsList::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

namespace {
struct ClipboardRegistry {
    std::mutex mutex;
    std::vector<std::pair<unsigned, TGraphicClass>> entries;
};
ClipboardRegistry& Clipboard() {
    static ClipboardRegistry* registry = [] {
        auto* r = new ClipboardRegistry;
        r->entries = {{3u, TMetafile::StaticClass()}, {14u, TMetafile::StaticClass()}, {2u, TBitmap::StaticClass()}};
        return r;
    }();
    return *registry;
}
}  // namespace

TFileFormatsList& GetFileFormats() {
    static TFileFormatsList* list = [] {
        auto* l = new TFileFormatsList;
        l->Add("wmf", "Metafiles", 0, TMetafile::StaticClass());
        l->Add("emf", "Enhanced Metafiles", 0, TMetafile::StaticClass());
        l->Add("ico", "Icons", 0, TIcon::StaticClass());
        l->Add("bmp", "Bitmaps", 0, TBitmap::StaticClass());
        return l;
    }();
    Clipboard();
    return *list;
}

void RegisterFileFormat(const std::string& extension, const std::string& description, TGraphicClass graphicClass) {
    GetFileFormats().Add(extension, description, 0, graphicClass);
}

void RegisterClipboardFormat(unsigned format, TGraphicClass graphicClass) {
    auto& c = Clipboard();
    std::lock_guard lock(c.mutex);
    c.entries.emplace_back(format, graphicClass);
}

void UnregisterGraphicClass(TGraphicClass graphicClass) {
    GetFileFormats().Remove(graphicClass);
    auto& c = Clipboard();
    std::lock_guard lock(c.mutex);
    std::erase_if(c.entries, [&](const auto& e) { return e.second->InheritsFrom(graphicClass); });
}

TGraphicClass FindClipboardFormat(unsigned format) {
    auto& c = Clipboard();
    std::lock_guard lock(c.mutex);
    for (auto it = c.entries.rbegin(); it != c.entries.rend(); ++it)
        if (it->first == format) return it->second;
    return nullptr;
}

}  // namespace duvo
