// The picture model: the graphic base class with its virtual operations, the
// picture container, the process-wide registry of file formats, and class
// references that make instances (so a registry entry can create a graphic).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/raster.h"
#include "rtl/byte_reader.h"
#include "rtl/limits.h"
#include "rtl/streams.h"

namespace duvo {

class TPersistent;
class TGraphic;
class TCanvas;

// A class reference: name, parent, and a factory for graphic classes.
struct TClassInfo {
    const char* name;
    const TClassInfo* parent;
    TGraphic* (*create)();
    bool InheritsFrom(const TClassInfo* other) const {
        for (const TClassInfo* c = this; c; c = c->parent)
            if (c == other) return true;
        return false;
    }
};
using TGraphicClass = const TClassInfo*;

#define DUVO_CLASS(Name)                    \
public:                                     \
    static const TClassInfo* StaticClass(); \
    const TClassInfo* ClassType() const override { return StaticClass(); }

#define DUVO_DEFINE_CLASS(Name, Parent, Factory)              \
    const TClassInfo* Name::StaticClass() {                   \
        static const TClassInfo info{#Name, Parent, Factory}; \
        return &info;                                         \
    }

enum class TProgressStage { psStarting, psRunning, psEnding };

using TNotifyEvent = std::function<void(TPersistent* sender)>;
using TProgressEvent = std::function<void(TPersistent* sender, TProgressStage stage, std::uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& msg)>;

class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual const TClassInfo* ClassType() const = 0;
    std::string ClassName() const { return ClassType()->name; }
    bool InheritsFrom(const TClassInfo* c) const { return ClassType()->InheritsFrom(c); }

    // Generic failure of a copy between unrelated classes.
    [[noreturn]] static void AssignError(const TPersistent* source, const TPersistent* dest);
};

// Stored properties, reduced to what the stored form of a picture needs: the
// name of each binary property and whether it is written.
struct TFiler {
    const TPersistent* ancestor = nullptr;
    struct Property {
        std::string name;
        bool written;
    };
    std::vector<Property> properties;
};

class TGraphic : public TPersistent {
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    static const TClassInfo* StaticClass();

    // Slot order is part of the design; every graphic class keeps it.
    virtual void CopyTo(TPersistent* dest) const;        // 1
    virtual void DefineProperties(TFiler& filer) const;  // 2
    virtual void CopyFrom(const TPersistent* source);    // 3
    // 4: the virtual constructor is TClassInfo::create.
    virtual void NotifyChanged(TPersistent* sender);                                                         // 5
    virtual void DrawTo(TCanvas& canvas, const TRect& rect);                                                 // 6
    virtual bool SameAs(const TGraphic* other) const;                                                        // 7
    virtual bool IsEmpty() const = 0;                                                                        // 8
    virtual int GetHeight() const = 0;                                                                       // 9
    virtual const platform::Palette* GetPalette() const { return nullptr; }                                  // 10
    virtual bool GetTransparent() const { return transparent_; }                                             // 11
    virtual int GetWidth() const = 0;                                                                        // 12
    virtual void ReadStoredData(TStream& stream) { ReadFromStream(stream); }                                 // 13
    virtual void SetHeight(int value);                                                                       // 14
    virtual void SetPalette(std::unique_ptr<platform::Palette>) {}                                           // 15
    virtual void SetTransparent(bool value);                                                                 // 16
    virtual void SetWidth(int value);                                                                        // 17
    virtual void WriteStoredData(TStream& stream) const { WriteToStream(stream); }                           // 18
    virtual void LoadFile(const std::string& fileName);                                                      // 19
    virtual void SaveFile(const std::string& fileName) const;                                                // 20
    virtual void ReadFromStream(TStream& stream) = 0;                                                        // 21
    virtual void WriteToStream(TStream& stream) const = 0;                                                   // 22
    virtual void ReadClipboard(unsigned format, std::uintptr_t data, const platform::Palette* palette);      // 23
    virtual void WriteClipboard(unsigned& format, std::uintptr_t& data, platform::Palette*& palette) const;  // 24
    // Reads the graphic from a file's bytes within the caller's limits. With
    // owner (which keeps the bytes alive) the graphic may keep pointing into
    // them instead of copying. The base reads them as a stream.
    virtual void LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void> owner = nullptr);
    // Slot 19 with the caller's limits.
    void LoadFile(const std::string& fileName, const Limits& limits);

    int Width() const { return GetWidth(); }
    int Height() const { return GetHeight(); }
    bool Modified() const { return modified_; }
    void SetModified(bool value) { modified_ = value; }
    bool PaletteModified() const { return paletteModified_; }
    void SetPaletteModified(bool value) { paletteModified_ = value; }

    void SetOnChange(TNotifyEvent handler) { onChange_ = std::move(handler); }
    void SetOnProgress(TProgressEvent handler) { onProgress_ = std::move(handler); }
    const TProgressEvent& OnProgress() const { return onProgress_; }

    void ReportProgress(TPersistent* sender, TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& r,
                        const std::string& msg);

protected:
    void Changed() { NotifyChanged(this); }
    bool paletteModified_ = false;
    bool transparent_ = false;

private:
    TNotifyEvent onChange_;
    TProgressEvent onProgress_;
    bool modified_ = false;
};

class TPicture : public TPersistent {
    DUVO_CLASS(TPicture)
public:
    TPicture();
    ~TPicture() override;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    TGraphic* Graphic() const { return graphic_.get(); }
    // Installs an own copy of graphic (or none); the caller keeps its object.
    void SetGraphic(const TGraphic* graphic);
    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }
    bool Empty() const { return !graphic_; }

    void CopyFrom(const TPersistent* source);
    void CopyTo(TPersistent* dest) const;
    void LoadFile(const std::string& fileName);
    void SaveFile(const std::string& fileName) const;

    // Stored form ("Data"): length byte, class name, the graphic's stored data.
    void ReadData(TStream& stream);
    void WriteData(TStream& stream) const;

    void SetOnChange(TNotifyEvent handler) { onChange_ = std::move(handler); }
    void SetOnProgress(TProgressEvent handler) { onProgress_ = std::move(handler); }

private:
    void Adopt(std::unique_ptr<TGraphic> graphic);
    void Changed(TPersistent* sender);
    void Progress(TPersistent* sender, TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& r,
                  const std::string& msg);

    std::unique_ptr<TGraphic> graphic_;
    TNotifyEvent onChange_;
    TProgressEvent onProgress_;
};

// The extension of a file name without its dot, as picture loading sees it:
// the text after the last "." unless a folder separator follows it.
std::string ExtractExtension(const std::string& fileName);
std::string LowerAscii(std::string s);

class TFileFormatsList {
public:
    struct Entry {
        TGraphicClass graphicClass;
        std::string extension;
        std::string description;
        int descriptionResource;
    };

    void Add(const std::string& extension, const std::string& description, int descriptionResource,
             TGraphicClass graphicClass);
    // Removes every entry whose class is graphicClass or derives from it.
    void Remove(TGraphicClass graphicClass);
    TGraphicClass FindExt(const std::string& extension) const;
    TGraphicClass FindClassName(const std::string& className) const;
    // Filter text ("desc (*.ext)|*.ext|...") and mask list for the given class.
    void BuildFilterStrings(TGraphicClass graphicClass, std::string& description, std::string& filters) const;
    std::vector<Entry> Entries() const;

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// The process-wide registry, made on first use with its built-in entries.
TFileFormatsList& GetFileFormats();
void RegisterFileFormat(const std::string& extension, const std::string& description, TGraphicClass graphicClass);
void RegisterClipboardFormat(unsigned format, TGraphicClass graphicClass);
void UnregisterGraphicClass(TGraphicClass graphicClass);
// Classes registered for clipboard formats, for completeness of the registry.
TGraphicClass FindClipboardFormat(unsigned format);

// Registered but not readable here; their reading fails as invalid graphics.
class TMetafile : public TGraphic {
    DUVO_CLASS(TMetafile)
public:
    // Another instance of the class holds nothing either: the copy is trivial.
    void CopyFrom(const TPersistent* source) override;
    bool IsEmpty() const override { return true; }
    int GetHeight() const override { return 0; }
    int GetWidth() const override { return 0; }
    void SetHeight(int) override {}
    void SetWidth(int) override {}
    void ReadFromStream(TStream& stream) override;
    void WriteToStream(TStream&) const override {}
};

class TIcon : public TGraphic {
    DUVO_CLASS(TIcon)
public:
    // Another instance of the class holds nothing either: the copy is trivial.
    void CopyFrom(const TPersistent* source) override;
    bool IsEmpty() const override { return true; }
    int GetHeight() const override { return 0; }
    int GetWidth() const override { return 0; }
    void SetHeight(int) override {}
    void SetWidth(int) override {}
    void ReadFromStream(TStream& stream) override;
    void WriteToStream(TStream&) const override {}
};

}  // namespace duvo
