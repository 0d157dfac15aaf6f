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

namespace {

using namespace duvo;
namespace fs = std::filesystem;

class TTestBitmap : public TBitmap {
    DUVO_CLASS(TTestBitmap)
};
DUVO_DEFINE_CLASS(TTestBitmap, TBitmap::StaticClass(), []() -> TGraphic* { return new TTestBitmap; })

class TTestBitmapChild : public TTestBitmap {
    DUVO_CLASS(TTestBitmapChild)
};
DUVO_DEFINE_CLASS(TTestBitmapChild, TTestBitmap::StaticClass(), []() -> TGraphic* { return new TTestBitmapChild; })

bmptest::Bytes SmallBmp(TColor topLeft = 0x123456) {
    return bmptest::BuildBmp(
        {.width = 2, .height = 2, .pixels = bmptest::PackRows(24, {{0x000000, 0x0000FF}, {static_cast<std::uint32_t>(topLeft), 0xFFFFFF}})});
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("duvo_picture_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const bmptest::Bytes& bytes) {
        const fs::path path = dir_ / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    fs::path dir_;
};

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

TEST(Registry, LookupByExtensionIgnoresCase) {
    const auto& formats = GetFileFormats();
    for (const char* ext : {"bmp", "BMP", "Bmp", "bMP"}) EXPECT_EQ(formats.FindExt(ext), TBitmap::StaticClass()) << ext;
    EXPECT_EQ(formats.FindExt("WMF"), TMetafile::StaticClass());
    EXPECT_EQ(formats.FindExt("emf"), TMetafile::StaticClass());
    EXPECT_EQ(formats.FindExt("Ico"), TIcon::StaticClass());
    EXPECT_EQ(formats.FindExt("xyz"), nullptr);
    EXPECT_EQ(formats.FindExt(""), nullptr);
    EXPECT_EQ(formats.FindExt(".bmp"), nullptr);
}

TEST(Registry, LookupByClassNameIsExact) {
    const auto& formats = GetFileFormats();
    EXPECT_EQ(formats.FindClassName("TBitmap"), TBitmap::StaticClass());
    EXPECT_EQ(formats.FindClassName("TIcon"), TIcon::StaticClass());
    EXPECT_EQ(formats.FindClassName("tbitmap"), nullptr);
    EXPECT_EQ(formats.FindClassName("TBitma"), nullptr);
    EXPECT_EQ(formats.FindClassName("TGraphic"), nullptr);
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
    struct Case {
        TGraphicClass cls;
        const char* filter;
        const char* masks;
    };
    const Case cases[] = {
        {TBitmap::StaticClass(), "Bitmaps (*.bmp)|*.bmp", "*.bmp"},
        {TMetafile::StaticClass(),
         "All (*.emf;*.wmf)|*.emf;*.wmf|Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf", "*.emf;*.wmf"},
        {TGraphic::StaticClass(),
         "All (*.bmp;*.ico;*.emf;*.wmf)|*.bmp;*.ico;*.emf;*.wmf|Bitmaps (*.bmp)|*.bmp|Icons (*.ico)|*.ico|"
         "Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf",
         "*.bmp;*.ico;*.emf;*.wmf"},
        {TTestBitmap::StaticClass(), "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cls->name);
        std::string filter, masks;
        list.BuildFilterStrings(c.cls, filter, masks);
        EXPECT_EQ(filter, c.filter);
        EXPECT_EQ(masks, c.masks);
    }
}

TEST(Registry, ExtensionOfAFileName) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.bmp", "bmp"},          {"/x/y/Picture.BMP", "BMP"}, {"a.b.gif", "gif"},   {"noext", ""},
        {"a.", ""},                {"/dir.d/file", ""},          {"C:\\dir.d\\file", ""}, {"dir.d:file", ""},
        {"../rel/.hidden", "hidden"},
    };
    for (auto [name, ext] : cases) EXPECT_EQ(ExtractExtension(name), ext) << name;
}

// ---- loading ------------------------------------------------------------------------

TEST_F(Files, LoadsABitmapWhateverTheCaseOfItsExtension) {
    for (const char* name : {"lower.bmp", "UPPER.BMP", "Mixed.Bmp"}) {
        SCOPED_TRACE(name);
        TPicture p;
        p.LoadFile(Write(name, SmallBmp()));
        ASSERT_EQ(p.Graphic()->ClassType(), TBitmap::StaticClass());
        EXPECT_EQ(p.Width(), 2);
        EXPECT_EQ(p.Height(), 2);
        EXPECT_EQ(BitmapOf(p).Canvas().ReadPixel(0, 0), 0x123456);
    }
}

TEST_F(Files, UnknownExtensions) {
    const std::string folderDot = Write("dir.d/file", SmallBmp());
    const std::pair<std::string, std::string> cases[] = {
        {folderDot, "Unknown picture file extension (.)"},
        {Write("picture.xyz", SmallBmp()), "Unknown picture file extension (.xyz)"},
        {Write("noext", SmallBmp()), "Unknown picture file extension (.)"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        TPicture p;
        try {
            p.LoadFile(path);
            ADD_FAILURE();
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), message);
        }
        EXPECT_TRUE(p.Empty());
    }
}

TEST_F(Files, MissingFile) {
    const std::string path = (dir_ / "missing.bmp").string();
    TPicture p;
    try {
        p.LoadFile(path);
        ADD_FAILURE();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + path);
    }
}

TEST_F(Files, FailedLoadKeepsTheOldGraphic) {
    TPicture p;
    p.LoadFile(Write("good.bmp", SmallBmp(0x0A0B0C)));
    const TGraphic* held = p.Graphic();
    int changes = 0;
    p.SetOnChange([&](TPersistent*) { ++changes; });

    bmptest::Bytes truncated = SmallBmp();
    truncated.resize(20);
    const struct {
        std::string path;
        bool invalidGraphic;
    } failures[] = {
        {Write("bad.bmp", bmptest::BuildBmp({.signature = "XX"})), true},
        {Write("short.bmp", truncated), false},
        {Write("icon.ico", SmallBmp()), true},
        {Write("meta.wmf", SmallBmp()), true},
        {(dir_ / "absent.bmp").string(), false},
        {Write("unknown.qqq", SmallBmp()), true},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.path);
        try {
            p.LoadFile(f.path);
            ADD_FAILURE();
        } catch (const EInvalidGraphic&) {
            EXPECT_TRUE(f.invalidGraphic);
        } catch (const EStreamError&) {
            EXPECT_FALSE(f.invalidGraphic);
        }
        EXPECT_EQ(p.Graphic(), held);
        EXPECT_EQ(BitmapOf(p).Canvas().ReadPixel(0, 0), 0x0A0B0C);
    }
    EXPECT_EQ(changes, 0);
}

TEST_F(Files, LoadNotifiesAndForwardsProgress) {
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
    p.LoadFile(Write("a.bmp", SmallBmp()));
    EXPECT_EQ(changes, 1);
    p.Graphic()->ReportProgress(p.Graphic(), TProgressStage::psRunning, 50, false, {}, "half");
    EXPECT_EQ(progressMessage, "half");
    // A change of the graphic reaches the picture's handler.
    BitmapOf(p).Canvas().WritePixel(0, 0, 0);
    EXPECT_EQ(changes, 2);
}

// ---- copying ---------------------------------------------------------------------------

TEST(Picture, EmptyPictureHasNoSize) {
    TPicture p;
    EXPECT_TRUE(p.Empty());
    EXPECT_EQ(p.Width(), 0);
    EXPECT_EQ(p.Height(), 0);
}

TEST(Picture, CopyingCostsOneReferenceAndStaysIndependent) {
    TPicture a;
    TBitmap source;
    const bmptest::Bytes bytes = SmallBmp();
    duvo::TBytesStream s(bytes.data(), bytes.size());
    source.ReadFromStream(s);
    a.SetGraphic(&source);
    // The picture holds its own object, sharing the caller's pixels.
    EXPECT_NE(a.Graphic(), &source);
    EXPECT_TRUE(BitmapOf(a).SharesStoreWith(source));

    TPicture b;
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
    TPicture full;
    TBitmap b;
    b.SetWidth(2);
    b.SetHeight(2);
    full.SetGraphic(&b);
    TPicture empty;
    int changes = 0;
    full.SetOnChange([&](TPersistent*) { ++changes; });
    full.CopyFrom(&empty);
    EXPECT_TRUE(full.Empty());
    EXPECT_EQ(full.Width(), 0);
    EXPECT_EQ(changes, 1);
    full.SetGraphic(&b);
    full.CopyFrom(nullptr);
    EXPECT_TRUE(full.Empty());
}

TEST(Picture, CopyFromAGraphicAndIntoAGraphic) {
    TBitmap b;
    b.SetWidth(3);
    b.SetHeight(1);
    TPicture p;
    p.CopyFrom(&b);
    EXPECT_EQ(p.Width(), 3);
    // A bitmap takes a picture's bitmap, sharing the store.
    TBitmap out;
    out.CopyFrom(&p);
    EXPECT_TRUE(out.SharesStoreWith(b));
    TMetafile m;
    try {
        m.CopyFrom(&p);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TPicture to a TMetafile");
    }
    // Copying nothing into a graphic names "nil".
    try {
        m.CopyFrom(nullptr);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a nil to a TMetafile");
    }
}

TEST(Picture, KeepsTheClassOfTheCopiedGraphic) {
    TTestBitmap t;
    t.SetWidth(1);
    t.SetHeight(1);
    TPicture p;
    p.SetGraphic(&t);
    EXPECT_EQ(p.Graphic()->ClassType(), TTestBitmap::StaticClass());
    TMetafile m;
    p.SetGraphic(&m);
    EXPECT_EQ(p.Graphic()->ClassType(), TMetafile::StaticClass());
}

// ---- stored form -------------------------------------------------------------------------

bmptest::Bytes StoredForm(const std::string& className, const bmptest::Bytes& bmp) {
    bmptest::Bytes out;
    out.push_back(static_cast<std::uint8_t>(className.size()));
    for (char c : className) out.push_back(static_cast<std::uint8_t>(c));
    bmptest::Put32(out, static_cast<std::uint32_t>(bmp.size()));
    out.insert(out.end(), bmp.begin(), bmp.end());
    return out;
}

TEST(StoredForm, ReadsABitmapFromEmbeddedData) {
    const bmptest::Bytes data = StoredForm("TBitmap", SmallBmp(0x010203));
    duvo::TBytesStream s(data.data(), data.size());
    TPicture p;
    int changes = 0;
    p.SetOnChange([&](TPersistent*) { ++changes; });
    p.ReadData(s);
    ASSERT_FALSE(p.Empty());
    EXPECT_EQ(p.Graphic()->ClassType(), TBitmap::StaticClass());
    EXPECT_EQ(BitmapOf(p).Canvas().ReadPixel(0, 0), 0x010203);
    EXPECT_EQ(s.Position(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(changes, 1);
    // The new graphic reports to the picture.
    BitmapOf(p).Canvas().WritePixel(1, 1, 0);
    EXPECT_EQ(changes, 2);
}

TEST(StoredForm, WriteThenReadGivesTheSamePicture) {
    TPicture p;
    TBitmap b;
    b.SetWidth(3);
    b.SetHeight(2);
    b.Canvas().WritePixel(2, 1, 0x445566);
    p.SetGraphic(&b);
    duvo::TMemoryStream stored;
    p.WriteData(stored);
    const auto& bytes = stored.Bytes();
    ASSERT_GT(bytes.size(), 12u);
    EXPECT_EQ(bytes[0], 7);
    EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 8), "TBitmap");
    const std::uint32_t length = bytes[8] | (bytes[9] << 8) | (bytes[10] << 16) | (static_cast<std::uint32_t>(bytes[11]) << 24);
    EXPECT_EQ(length, bytes.size() - 12);
    EXPECT_EQ(bytes[12], 'B');
    EXPECT_EQ(bytes[13], 'M');

    stored.SetPosition(0);
    TPicture back;
    back.ReadData(stored);
    ASSERT_FALSE(back.Empty());
    EXPECT_TRUE(back.Graphic()->SameAs(p.Graphic()));
    EXPECT_EQ(BitmapOf(back).Canvas().ReadPixel(2, 1), 0x445566);
}

TEST(StoredForm, UnknownClassLeavesThePictureUnchanged) {
    TPicture p;
    TBitmap b;
    b.SetWidth(1);
    b.SetHeight(1);
    p.SetGraphic(&b);
    const TGraphic* held = p.Graphic();
    const bmptest::Bytes data = StoredForm("TNoSuchGraphic", SmallBmp());
    duvo::TBytesStream s(data.data(), data.size());
    p.ReadData(s);
    EXPECT_EQ(p.Graphic(), held);
}

TEST(StoredForm, DamagedBitmapLeavesThePictureUnchanged) {
    TPicture p;
    const bmptest::Bytes data = StoredForm("TBitmap", bmptest::BuildBmp({.signature = "XX"}));
    duvo::TBytesStream s(data.data(), data.size());
    EXPECT_THROW(p.ReadData(s), EInvalidGraphic);
    EXPECT_TRUE(p.Empty());
}

TEST(StoredForm, EmptyBitmapAndEmptyPicture) {
    TBitmap empty;
    duvo::TMemoryStream stored;
    empty.WriteStoredData(stored);
    EXPECT_EQ(stored.Bytes(), (bmptest::Bytes{0, 0, 0, 0}));
    stored.SetPosition(0);
    TBitmap back;
    back.SetWidth(1);
    back.SetHeight(1);
    back.ReadStoredData(stored);
    EXPECT_TRUE(back.IsEmpty());

    TPicture nothing;
    duvo::TMemoryStream pictureData;
    nothing.WriteData(pictureData);
    EXPECT_EQ(pictureData.Bytes(), (bmptest::Bytes{0}));
}

TEST(StoredForm, DataPropertyIsWrittenOnlyWhenNeeded) {
    TBitmap b;
    TFiler none;
    b.DefineProperties(none);
    ASSERT_EQ(none.properties.size(), 1u);
    EXPECT_EQ(none.properties[0].name, "Data");
    EXPECT_FALSE(none.properties[0].written);

    b.SetWidth(1);
    b.SetHeight(1);
    TFiler full;
    b.DefineProperties(full);
    EXPECT_TRUE(full.properties[0].written);

    TBitmap twin;
    twin.CopyFrom(&b);
    TFiler same;
    same.ancestor = &twin;
    b.DefineProperties(same);
    EXPECT_FALSE(same.properties[0].written);
    twin.Canvas().WritePixel(0, 0, 0);
    TFiler differs;
    differs.ancestor = &twin;
    b.DefineProperties(differs);
    EXPECT_TRUE(differs.properties[0].written);
}

// ---- SameAs ------------------------------------------------------------------------------

TEST(Graphic, SameAs) {
    auto sized = [](TColor pixel) {
        auto b = std::make_unique<TBitmap>();
        b->SetWidth(2);
        b->SetHeight(2);
        b->Canvas().WritePixel(1, 1, pixel);
        return b;
    };
    TBitmap empty1, empty2;
    TMetafile metafile;
    auto a = sized(0x111111), same = sized(0x111111), other = sized(0x111112);
    TTestBitmap derived;
    derived.CopyFrom(a.get());
    EXPECT_TRUE(empty1.SameAs(&empty2));
    EXPECT_TRUE(empty1.SameAs(&metafile));  // both empty
    EXPECT_FALSE(empty1.SameAs(a.get()));
    EXPECT_FALSE(a->SameAs(&empty1));
    EXPECT_TRUE(a->SameAs(same.get()));
    EXPECT_FALSE(a->SameAs(other.get()));
    EXPECT_FALSE(a->SameAs(&derived));  // same pixels, another class
    EXPECT_FALSE(a->SameAs(nullptr));
}

TEST(Graphic, MetafilesAndIconsFailToRead) {
    const bmptest::Bytes bytes = SmallBmp();
    for (TGraphicClass cls : {TMetafile::StaticClass(), TIcon::StaticClass()}) {
        SCOPED_TRACE(cls->name);
        std::unique_ptr<TGraphic> g(cls->create());
        duvo::TBytesStream s(bytes.data(), bytes.size());
        EXPECT_THROW(g->ReadFromStream(s), EInvalidGraphic);
        EXPECT_TRUE(g->IsEmpty());
    }
}

// ---- image control ---------------------------------------------------------------------------

TEST(Image, SurfaceOfAnEmptyPictureIsAWhiteBitmapOfTheControlSize) {
    TImage image;
    EXPECT_EQ(image.Width(), 105);
    EXPECT_EQ(image.Height(), 105);
    image.SetWidth(7);
    image.SetHeight(5);
    int changes = 0;
    image.SetOnPictureChanged([&] { ++changes; });
    TCanvas& surface = image.Surface();
    EXPECT_GE(changes, 1);
    ASSERT_EQ(image.Picture().Graphic()->ClassType(), TBitmap::StaticClass());
    EXPECT_EQ(image.Picture().Width(), 7);
    EXPECT_EQ(image.Picture().Height(), 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(surface.ReadPixel(x, y), 0xFFFFFF);
    EXPECT_EQ(surface.ReadPixel(7, 0), kInvalidColor);

    // The control's later size does not touch the bitmap.
    image.SetWidth(50);
    TCanvas& again = image.Surface();
    EXPECT_EQ(&again, &surface);
    EXPECT_EQ(image.Picture().Width(), 7);

    const int before = changes;
    surface.WritePixel(3, 3, 0x00FF00);
    EXPECT_EQ(changes, before + 1);
    EXPECT_EQ(surface.ReadPixel(3, 3), 0x00FF00);
}

TEST(Image, SurfaceNeedsABitmap) {
    TImage image;
    TMetafile m;
    image.Picture().SetGraphic(&m);
    try {
        image.Surface();
        ADD_FAILURE();
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Can only modify an image if it contains a bitmap");
    }
}

TEST(Image, SettingThePictureCopiesIt) {
    TPicture p;
    TBitmap b;
    b.SetWidth(2);
    b.SetHeight(2);
    p.SetGraphic(&b);
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
    bool caughtAsGraphic = false;
    try {
        throw EReadError("x");
    } catch (const EInvalidGraphic&) {
        caughtAsGraphic = true;
    } catch (const Exception&) {
    }
    EXPECT_FALSE(caughtAsGraphic);
}

TEST(Runtime, StreamsReadSeekAndFailShortReads) {
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    EXPECT_EQ(m.Size(), 6);
    m.SetPosition(4);
    char two[2];
    m.ReadBuffer(two, 2);
    EXPECT_EQ(std::string(two, 2), "ef");
    EXPECT_THROW(m.ReadBuffer(two, 1), EReadError);
    m.Seek(-3, SeekOrigin::End);
    EXPECT_EQ(m.Position(), 3);

    const char data[] = "xyz";
    TBytesStream b(data, 3);
    char three[4] = {};
    EXPECT_EQ(b.Read(three, 4), 3u);
    EXPECT_STREQ(three, "xyz");
    EXPECT_EQ(b.Write("q", 1), 0u);
    EXPECT_THROW(b.WriteBuffer("q", 1), EWriteError);

    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(m, 0), 6);
    EXPECT_EQ(copy.Bytes(), m.Bytes());
    EXPECT_EQ(copy.CopyFrom(m, -5), 0);
}

}  // namespace
