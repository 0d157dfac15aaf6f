// The picture container, the format registry, the stored form, the image
// control's surface, and the runtime pieces they rest on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bmp_builder.h"
#include "graphics/bitmap.h"
#include "graphics/graphics.h"
#include "graphics/image.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"
#include "scratch_folder.h"

namespace {

using namespace duvo;
using namespace bmptest;
namespace fs = std::filesystem;

class TTestBitmap : public TBitmap {
    DUVO_CLASS(TTestBitmap)
};
DUVO_DEFINE_CLASS(TTestBitmap, TBitmap::StaticClass(), []() -> TGraphic* { return new TTestBitmap; })

class TTestBitmapChild : public TTestBitmap {
    DUVO_CLASS(TTestBitmapChild)
};
DUVO_DEFINE_CLASS(TTestBitmapChild, TTestBitmap::StaticClass(), []() -> TGraphic* { return new TTestBitmapChild; })

Bytes SmallBmp(TColor topLeft = 0x123456) {
    const auto top = static_cast<std::uint32_t>(topLeft);
    return BuildBmp({.width = 2, .height = 2, .pixels = PackRows(24, {{0x000000, 0x0000FF}, {top, 0xFFFFFF}})});
}

using Files = scratchtest::ScratchFolderTest;

TBitmap& BitmapOf(TPicture& p) {
    auto* b = dynamic_cast<TBitmap*>(p.Graphic());
    if (!b) throw std::runtime_error("no bitmap in the picture");
    return *b;
}

// ---- registry ----------------------------------------------------------------------

TEST(Registry, FourBuiltInEntriesInOrder) {
    const auto entries = GetFileFormats().Entries();
    ASSERT_GE(entries.size(), 4u);
    const struct {
        const char* ext;
        const char* description;
        TGraphicClass cls;
    } expected[] = {{"wmf", "Metafiles", TMetafile::StaticClass()},
                    {"emf", "Enhanced Metafiles", TMetafile::StaticClass()},
                    {"ico", "Icons", TIcon::StaticClass()},
                    {"bmp", "Bitmaps", TBitmap::StaticClass()}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].extension, expected[i].ext);
        EXPECT_EQ(entries[i].description, expected[i].description);
        EXPECT_EQ(entries[i].graphicClass, expected[i].cls);
        EXPECT_EQ(entries[i].descriptionResource, 0);
    }
}

TEST(Registry, LookupByExtensionIgnoresCaseByClassNameIsExact) {
    const auto& formats = GetFileFormats();
    const TGraphicClass bitmap = TBitmap::StaticClass(), metafile = TMetafile::StaticClass();
    const TGraphicClass icon = TIcon::StaticClass();
    const std::pair<const char*, TGraphicClass> byExtension[] = {
        {"bmp", bitmap},   {"BMP", bitmap}, {"Bmp", bitmap},  {"bMP", bitmap}, {"WMF", metafile},
        {"emf", metafile}, {"Ico", icon},   {"xyz", nullptr}, {"", nullptr},   {".bmp", nullptr}};
    for (auto [ext, cls] : byExtension) EXPECT_EQ(formats.FindExt(ext), cls) << ext;
    const std::pair<const char*, TGraphicClass> byName[] = {
        {"TBitmap", bitmap}, {"TIcon", icon}, {"tbitmap", nullptr}, {"TBitma", nullptr}, {"TGraphic", nullptr}};
    for (auto [name, cls] : byName) EXPECT_EQ(formats.FindClassName(name), cls) << name;
}

TEST(Registry, LaterRegistrationHidesEarlierAndUnregisteringRemovesDerivedClasses) {
    TFileFormatsList list;
    list.Add("bmp", "Bitmaps", 0, TBitmap::StaticClass());
    list.Add("BMP", "Test", 0, TTestBitmap::StaticClass());  // lower-cased when registered
    list.Add("tbc", "Child", 0, TTestBitmapChild::StaticClass());
    EXPECT_EQ(list.FindExt("bmp"), TTestBitmap::StaticClass());
    EXPECT_EQ(list.Entries()[1].extension, "bmp");
    list.Remove(TTestBitmap::StaticClass());
    EXPECT_EQ(list.FindExt("bmp"), TBitmap::StaticClass());
    EXPECT_EQ(list.FindExt("tbc"), nullptr);
    EXPECT_EQ(list.Entries().size(), 1u);
}

TEST(Registry, ProcessWideRegistrationAndUnregistration) {
    RegisterFileFormat("TeSt", "Test pictures", TTestBitmap::StaticClass());
    EXPECT_EQ(GetFileFormats().FindExt("test"), TTestBitmap::StaticClass());
    RegisterClipboardFormat(0xC123, TTestBitmap::StaticClass());
    EXPECT_EQ(FindClipboardFormat(0xC123), TTestBitmap::StaticClass());
    EXPECT_EQ(FindClipboardFormat(2), TBitmap::StaticClass());
    UnregisterGraphicClass(TTestBitmap::StaticClass());
    EXPECT_EQ(GetFileFormats().FindExt("test"), nullptr);
    EXPECT_EQ(FindClipboardFormat(0xC123), nullptr);
    EXPECT_EQ(GetFileFormats().FindExt("bmp"), TBitmap::StaticClass());
}

TEST(Registry, FilterStrings) {
    TFileFormatsList list;
    list.Add("wmf", "Metafiles", 0, TMetafile::StaticClass());
    list.Add("emf", "Enhanced Metafiles", 0, TMetafile::StaticClass());
    list.Add("ico", "Icons", 0, TIcon::StaticClass());
    list.Add("bmp", "Bitmaps", 0, TBitmap::StaticClass());
    list.Add("", "No extension", 0, TBitmap::StaticClass());
    const struct {
        TGraphicClass cls;
        const char* filter;
        const char* masks;
    } cases[] = {
        {TBitmap::StaticClass(), "Bitmaps (*.bmp)|*.bmp", "*.bmp"},
        {TMetafile::StaticClass(),
         "All (*.emf;*.wmf)|*.emf;*.wmf|Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf", "*.emf;*.wmf"},
        {TGraphic::StaticClass(),
         "All (*.bmp;*.ico;*.emf;*.wmf)|*.bmp;*.ico;*.emf;*.wmf|Bitmaps (*.bmp)|*.bmp|Icons (*.ico)|*.ico|"
         "Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf",
         "*.bmp;*.ico;*.emf;*.wmf"},
        {TTestBitmap::StaticClass(), "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cls->name);
        std::string filter, masks;
        list.BuildFilterStrings(c.cls, filter, masks);
        EXPECT_EQ(filter, c.filter);
        EXPECT_EQ(masks, c.masks);
    }
}

TEST(Registry, ExtensionOfAFileName) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.bmp", "bmp"},
        {"/x/y/Picture.BMP", "BMP"},
        {"a.b.gif", "gif"},
        {"noext", ""},
        {"a.", ""},
        {"/dir.d/file", ""},
        {"C:\\dir.d\\file", ""},
        {"dir.d:file", ""},
        {"../rel/.hidden", "hidden"},
    };
    for (auto [name, ext] : cases) EXPECT_EQ(ExtractExtension(name), ext) << name;
}

// ---- loading ------------------------------------------------------------------------

TEST_F(Files, LoadsABitmapWhateverTheCaseOfItsExtensionAndNotifies) {
    for (const char* name : {"lower.bmp", "UPPER.BMP", "Mixed.Bmp"}) {
        SCOPED_TRACE(name);
        TPicture p;
        int changes = 0;
        p.SetOnChange([&](TPersistent* sender) {
            EXPECT_EQ(sender, &p);
            ++changes;
        });
        std::string progressMessage;
        p.SetOnProgress([&](TPersistent*, TProgressStage, std::uint8_t, bool, const TRect&, const std::string& m) {
            progressMessage = m;
        });
        p.LoadFile(Write(name, SmallBmp()));
        ASSERT_EQ(p.Graphic()->ClassType(), TBitmap::StaticClass());
        EXPECT_EQ(p.Width(), 2);
        EXPECT_EQ(p.Height(), 2);
        EXPECT_EQ(BitmapOf(p).Canvas().ReadPixel(0, 0), 0x123456);
        EXPECT_EQ(changes, 1);
        p.Graphic()->ReportProgress(p.Graphic(), TProgressStage::psRunning, 50, false, {}, "half");
        EXPECT_EQ(progressMessage, "half");
        BitmapOf(p).Canvas().WritePixel(0, 0, 0);  // a change of the graphic reaches the picture's handler
        EXPECT_EQ(changes, 2);
    }
}

TEST_F(Files, FailedLoadNamesTheFaultAndKeepsTheOldGraphic) {
    TPicture p;
    p.LoadFile(Write("good.bmp", SmallBmp(0x0A0B0C)));
    const TGraphic* held = p.Graphic();
    int changes;
    CountChanges(p, changes);
    const std::string absent = (dir_ / "absent.bmp").string();
    const Bytes good = SmallBmp();
    const struct {
        std::string path;
        bool streamError;  // else the graphic is invalid
        std::string message;
    } failures[] = {
        {Write("bad.bmp", BuildBmp({.signature = "XX"})), false, "Bitmap image is not valid"},
        {Write("short.bmp", Bytes(good.begin(), good.begin() + 20)), true, "Stream read error"},
        {Write("icon.ico", SmallBmp()), false, "Icon image is not valid"},
        {Write("meta.wmf", SmallBmp()), false, "Metafile is not valid"},
        {absent, true, "Cannot open file " + absent},
        {Write("unknown.qqq", SmallBmp()), false, "Unknown picture file extension (.qqq)"},
        {Write("noext", SmallBmp()), false, "Unknown picture file extension (.)"},
        {Write("dir.d/file", SmallBmp()), false, "Unknown picture file extension (.)"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.path);
        auto load = [&] { p.LoadFile(f.path); };
        EXPECT_EQ(f.streamError ? Raised<EStreamError>(load) : Raised<EInvalidGraphic>(load), f.message);
        EXPECT_EQ(p.Graphic(), held);
        EXPECT_EQ(BitmapOf(p).Canvas().ReadPixel(0, 0), 0x0A0B0C);
    }
    EXPECT_EQ(changes, 0);
    TPicture empty;  // and an empty picture stays empty
    EXPECT_EQ(Raised<EInvalidGraphic>([&] { empty.LoadFile(failures[5].path); }), failures[5].message);
    EXPECT_TRUE(empty.Empty());
}

// ---- copying ---------------------------------------------------------------------------

TEST(Picture, CopyingCostsOneReferenceAndStaysIndependent) {
    TPicture a, b;
    TBitmap source;
    Load(source, SmallBmp());
    a.SetGraphic(&source);
    // The picture holds its own object, sharing the caller's pixels.
    EXPECT_NE(a.Graphic(), &source);
    EXPECT_TRUE(BitmapOf(a).SharesStoreWith(source));

    b.CopyFrom(&a);
    ASSERT_NE(b.Graphic(), nullptr);
    EXPECT_NE(b.Graphic(), a.Graphic());
    EXPECT_TRUE(BitmapOf(b).SharesStoreWith(BitmapOf(a)));
    EXPECT_EQ(BitmapOf(a).Raster(), BitmapOf(b).Raster());
    EXPECT_EQ(source.Image()->RefCount(), 3);

    BitmapOf(b).Canvas().WritePixel(0, 0, 0x00FF00);
    EXPECT_EQ(BitmapOf(b).Canvas().ReadPixel(0, 0), 0x00FF00);
    EXPECT_EQ(BitmapOf(a).Canvas().ReadPixel(0, 0), 0x123456);
    EXPECT_EQ(source.Canvas().ReadPixel(0, 0), 0x123456);
}

TEST(Picture, CopyingAnEmptyPictureEmptiesTheDestination) {
    TPicture full, empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(empty.Width(), 0);
    EXPECT_EQ(empty.Height(), 0);
    TBitmap b;
    full.SetGraphic(&Sized(b, 2, 2));
    int changes;
    CountChanges(full, changes);
    full.CopyFrom(&empty);
    EXPECT_TRUE(full.Empty());
    EXPECT_EQ(full.Width(), 0);
    EXPECT_EQ(changes, 1);
    full.SetGraphic(&b);
    full.CopyFrom(nullptr);
    EXPECT_TRUE(full.Empty());
}

TEST(Picture, CopyFromAGraphicAndIntoAGraphic) {
    TBitmap b, out;
    TPicture p;
    p.CopyFrom(&Sized(b, 3, 1));
    EXPECT_EQ(p.Width(), 3);
    out.CopyFrom(&p);  // a bitmap takes a picture's bitmap, sharing the store
    EXPECT_TRUE(out.SharesStoreWith(b));
    TMetafile m;
    EXPECT_EQ(Raised<EConvertError>([&] { m.CopyFrom(&p); }), "Cannot assign a TPicture to a TMetafile");
    EXPECT_EQ(Raised<EConvertError>([&] { m.CopyFrom(nullptr); }), "Cannot assign a nil to a TMetafile");
}

TEST(Picture, KeepsTheClassOfTheCopiedGraphic) {
    TTestBitmap t;
    TMetafile m;
    TPicture p;
    p.SetGraphic(&Sized(t, 1, 1));
    EXPECT_EQ(p.Graphic()->ClassType(), TTestBitmap::StaticClass());
    p.SetGraphic(&m);
    EXPECT_EQ(p.Graphic()->ClassType(), TMetafile::StaticClass());
}

// ---- stored form -------------------------------------------------------------------------

Bytes StoredForm(const std::string& className, const Bytes& bmp) {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(className.size()));
    for (char c : className) out.push_back(static_cast<std::uint8_t>(c));
    Put32(out, static_cast<std::uint32_t>(bmp.size()));
    out.insert(out.end(), bmp.begin(), bmp.end());
    return out;
}

TEST(StoredForm, WriteThenReadGivesTheSamePictureAndNotifies) {
    TPicture p, back;
    TBitmap b;
    Sized(b, 3, 2).Canvas().WritePixel(2, 1, 0x445566);
    p.SetGraphic(&b);
    TMemoryStream stored;
    p.WriteData(stored);
    const Bytes& bytes = stored.Bytes();
    ASSERT_GT(bytes.size(), 14u);
    EXPECT_EQ(bytes, StoredForm("TBitmap", Bytes(bytes.begin() + 12, bytes.end())));  // name and length
    EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 14), "BM");

    // Reading it back: the same class and pixels, the whole record read, one change.
    int changes;
    CountChanges(back, changes);
    stored.SetPosition(0);
    back.ReadData(stored);
    ASSERT_FALSE(back.Empty());
    EXPECT_TRUE(back.Graphic()->SameAs(p.Graphic()));
    EXPECT_EQ(BitmapOf(back).Canvas().ReadPixel(2, 1), 0x445566);
    EXPECT_EQ(stored.Position(), stored.Size());
    EXPECT_EQ(changes, 1);
    BitmapOf(back).Canvas().WritePixel(1, 1, 0);  // the new graphic reports to the picture
    EXPECT_EQ(changes, 2);
}

TEST(StoredForm, UnknownClassOrDamagedBitmapLeavesThePictureUnchanged) {
    TPicture p, empty;
    TBitmap b;
    p.SetGraphic(&Sized(b, 1, 1));
    const TGraphic* held = p.Graphic();
    const Bytes unknown = StoredForm("TNoSuchGraphic", SmallBmp());
    const Bytes damaged = StoredForm("TBitmap", BuildBmp({.signature = "XX"}));
    TBytesStream s1(unknown.data(), unknown.size()), s2(damaged.data(), damaged.size());
    p.ReadData(s1);
    EXPECT_EQ(p.Graphic(), held);
    EXPECT_EQ(Raised<EInvalidGraphic>([&] { empty.ReadData(s2); }), "Bitmap image is not valid");
    EXPECT_TRUE(empty.Empty());
}

TEST(StoredForm, EmptyBitmapAndEmptyPicture) {
    TBitmap empty, back;
    TMemoryStream stored, pictureData;
    empty.WriteStoredData(stored);
    EXPECT_EQ(stored.Bytes(), (Bytes{0, 0, 0, 0}));
    stored.SetPosition(0);
    Sized(back, 1, 1).ReadStoredData(stored);
    EXPECT_TRUE(back.IsEmpty());
    TPicture().WriteData(pictureData);
    EXPECT_EQ(pictureData.Bytes(), (Bytes{0}));
}

TEST(StoredForm, DataPropertyIsWrittenOnlyWhenNeeded) {
    TBitmap b, twin;
    auto written = [&](const TBitmap* ancestor) {
        TFiler filer;
        filer.ancestor = ancestor;
        b.DefineProperties(filer);
        EXPECT_EQ(filer.properties.size(), 1u);
        EXPECT_EQ(filer.properties.at(0).name, "Data");
        return filer.properties.at(0).written;
    };
    EXPECT_FALSE(written(nullptr));
    Sized(b, 1, 1);
    EXPECT_TRUE(written(nullptr));
    twin.CopyFrom(&b);
    EXPECT_FALSE(written(&twin));
    twin.Canvas().WritePixel(0, 0, 0);
    EXPECT_TRUE(written(&twin));
}

// ---- graphics in general -------------------------------------------------------------------

TEST(Graphic, SameAs) {
    TBitmap empty1, empty2, a, same, other;
    TMetafile metafile;
    Sized(a, 2, 2).Canvas().WritePixel(1, 1, 0x111111);
    Sized(same, 2, 2).Canvas().WritePixel(1, 1, 0x111111);
    Sized(other, 2, 2).Canvas().WritePixel(1, 1, 0x111112);
    TTestBitmap derived;
    derived.CopyFrom(&a);
    EXPECT_TRUE(empty1.SameAs(&empty2));
    EXPECT_TRUE(empty1.SameAs(&metafile));  // both empty
    EXPECT_FALSE(empty1.SameAs(&a));
    EXPECT_FALSE(a.SameAs(&empty1));
    EXPECT_TRUE(a.SameAs(&same));
    EXPECT_FALSE(a.SameAs(&other));
    EXPECT_FALSE(a.SameAs(&derived));  // same pixels, another class
    EXPECT_FALSE(a.SameAs(nullptr));
}

TEST(Graphic, MetafilesAndIconsFailToRead) {
    const Bytes bytes = SmallBmp();
    const std::pair<TGraphicClass, const char*> cases[] = {{TMetafile::StaticClass(), "Metafile is not valid"},
                                                           {TIcon::StaticClass(), "Icon image is not valid"}};
    for (auto [cls, message] : cases) {
        SCOPED_TRACE(cls->name);
        std::unique_ptr<TGraphic> g(cls->create());
        TBytesStream s(bytes.data(), bytes.size());
        EXPECT_EQ(Raised<EInvalidGraphic>([&] { g->ReadFromStream(s); }), message);
        EXPECT_TRUE(g->IsEmpty());
    }
}

// ---- image control ---------------------------------------------------------------------------

TEST(Image, SurfaceOfAnEmptyPictureIsAWhiteBitmapOfTheControlSize) {
    TImage image;
    EXPECT_EQ(image.Width(), 105);
    EXPECT_EQ(image.Height(), 105);
    Sized(image, 7, 5);
    int changes = 0;
    image.SetOnPictureChanged([&] { ++changes; });
    TCanvas& surface = image.Surface();
    EXPECT_GE(changes, 1);
    ASSERT_EQ(image.Picture().Graphic()->ClassType(), TBitmap::StaticClass());
    EXPECT_EQ(ReadAll(BitmapOf(image.Picture())), Grid(5, std::vector<TColor>(7, 0xFFFFFF)));

    // The control's later size does not touch the bitmap.
    image.SetWidth(50);
    EXPECT_EQ(&image.Surface(), &surface);
    EXPECT_EQ(image.Picture().Width(), 7);

    const int before = changes;
    surface.WritePixel(3, 3, 0x00FF00);
    EXPECT_EQ(changes, before + 1);
    EXPECT_EQ(surface.ReadPixel(3, 3), 0x00FF00);
    EXPECT_EQ(surface.ReadPixel(7, 0), kInvalidColor);
}

TEST(Image, SurfaceNeedsABitmap) {
    TImage image;
    TMetafile m;
    image.Picture().SetGraphic(&m);
    EXPECT_EQ(Raised<EInvalidOperation>([&] { image.Surface(); }), "Can only modify an image if it contains a bitmap");
}

TEST(Image, SettingThePictureCopiesIt) {
    TPicture p;
    TBitmap b;
    p.SetGraphic(&Sized(b, 2, 2));
    TImage image;
    image.SetPicture(p);
    EXPECT_NE(image.Picture().Graphic(), p.Graphic());
    EXPECT_TRUE(BitmapOf(image.Picture()).SharesStoreWith(b));
    image.Surface().WritePixel(0, 0, 0);
    EXPECT_EQ(b.Canvas().ReadPixel(0, 0), 0xFFFFFF);
}

// ---- runtime -------------------------------------------------------------------------------

TEST(Runtime, ErrorDisplayText) {
    const std::pair<const char*, const char*> cases[] = {
        {"Invalid GIF signature", "Invalid GIF signature."},
        {"Done!", "Done!"},
        {"(x)", "(x)"},
        {"Ends.", "Ends."},
        {"Ends-", "Ends-"},
        {"Code 7", "Code 7."},
        {"", ""},
    };
    for (auto [message, shown] : cases) EXPECT_EQ(ErrorDisplayText(message), shown) << message;
}

TEST(Runtime, FormatFillsPlaceholdersInOrder) {
    EXPECT_EQ(Format("Cannot assign a %s to a %s", {"TIcon", "TBitmap"}), "Cannot assign a TIcon to a TBitmap");
    EXPECT_EQ(Format("Unknown picture file extension (.%s)", {""}), "Unknown picture file extension (.)");
    EXPECT_EQ(Format("Win32 Error.  Code: %d.\n%s", {"5", "Access"}), "Win32 Error.  Code: 5.\nAccess");
}

TEST(Runtime, ExceptionFamilies) {
    EXPECT_THROW(throw EReadError("x"), EStreamError);
    EXPECT_THROW(throw EFOpenError("x"), EStreamError);
    EXPECT_THROW(throw EInvalidGraphic("x"), Exception);
    EXPECT_EQ(Raised<Exception>([] { throw EReadError("read"); }), "read");
    EXPECT_THROW(Raised<EInvalidGraphic>([] { throw EReadError("x"); }), EReadError);  // not an EInvalidGraphic
}

TEST(Runtime, StreamsReadSeekAndFailShortReads) {
    TMemoryStream m, copy;
    m.WriteBuffer("abcdef", 6);
    EXPECT_EQ(m.Size(), 6);
    m.SetPosition(4);
    char two[2];
    m.ReadBuffer(two, 2);
    EXPECT_EQ(std::string(two, 2), "ef");
    EXPECT_THROW(m.ReadBuffer(two, 1), EReadError);
    m.Seek(-3, SeekOrigin::End);
    EXPECT_EQ(m.Position(), 3);

    TBytesStream b("xyz", 3);
    char three[4] = {};
    EXPECT_EQ(b.Read(three, 4), 3u);
    EXPECT_STREQ(three, "xyz");
    EXPECT_EQ(b.Write("q", 1), 0u);
    EXPECT_THROW(b.WriteBuffer("q", 1), EWriteError);

    EXPECT_EQ(copy.CopyFrom(m, 0), 6);
    EXPECT_EQ(copy.Bytes(), m.Bytes());
    EXPECT_EQ(copy.CopyFrom(m, -5), 0);
}

}  // namespace
