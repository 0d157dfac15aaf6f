// Reading GIF files into the object model: the block structure with its
// leniencies and errors, the warnings and their senders, the model's derived
// values and registries, limits, progress, and pixels against giflib.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "gif_builder.h"
#include "graphics/gif/gif_image.h"
#include "graphics/graphics.h"
#include "loading/open_routes.h"
#include "rtl/streams.h"

namespace {

using namespace giftest;
using duvo::TGIFImage;
using duvo::TGIFSubImage;

struct Warning {
    std::string sender;  // class of the sender
    std::string message;
    bool operator==(const Warning&) const = default;
};

struct Loaded {
    std::unique_ptr<TGIFImage> image = std::make_unique<TGIFImage>();
    std::vector<Warning> warnings;
    std::vector<duvo::TPersistent*> senders;
    std::optional<std::string> error;
    std::int64_t position = 0;
};

Loaded Load(const Bytes& bytes, duvo::TGIFDecoder decoder = duvo::TGIFDecoder::Fast,
            const duvo::Limits& limits = duvo::kDefaultLimits) {
    Loaded l;
    l.image->SetDecoder(decoder);
    l.image->SetOnWarning([&l](duvo::TPersistent* sender, std::uint8_t severity, const std::string& message) {
        EXPECT_EQ(severity, 1);
        l.warnings.push_back({sender->ClassName(), message});
        l.senders.push_back(sender);
    });
    duvo::TMemoryStream stream(bytes);
    try {
        l.image->ReadFromStream(stream, limits);
    } catch (const duvo::GIFException& e) {
        l.error = e.what();
    }
    l.position = stream.Position();
    return l;
}

Bytes Pixels(int n, std::uint8_t first = 0) {
    Bytes px(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) px[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
    return px;
}

// A 4 x 2 screen with a 256-color table: the start of most fixtures.
GifWriter Start(const std::string& signature = "GIF89a") { return GifWriter().Header(signature).Screen(4, 2, 256); }
GifWriter& AddFrame(GifWriter& w) { return w.Frame(4, 2, Pixels(8)); }

TGIFSubImage& FrameOf(Loaded& l, int i) { return *l.image->Images().Frame(i); }

// ---- block structure --------------------------------------------------------------

struct StructureCase {
    const char* proves;
    Bytes bytes;
    std::optional<std::string> error;
    std::vector<Warning> warnings;
    std::function<void(Loaded&)> check;
};

const char* kExtList = "TGIFExtensionList";
const char* kFrame = "TGIFSubImage";

std::vector<StructureCase> StructureCases() {
    using namespace duvo;
    auto oneFrame = [](Loaded& l) {
        ASSERT_EQ(l.image->Images().Count(), 1);
        EXPECT_EQ(Bytes(FrameOf(l, 0).Data(), FrameOf(l, 0).Data() + 8), Pixels(8));
    };
    auto frames = [](int n) { return [n](Loaded& l) { EXPECT_EQ(l.image->Images().Count(), n); }; };
    auto junk = [](int n) {
        GifWriter w;
        w.Raw(Bytes(static_cast<std::size_t>(n), 'x')).Header().Screen(4, 2, 256);
        return AddFrame(w).Trailer().out;
    };
    auto start = [](const std::string& sig) {
        GifWriter w = Start(sig);
        return AddFrame(w).Trailer().out;
    };
    auto app = [](const std::string& ident, const std::vector<Bytes>& blocks, int blockSize = 11) {
        GifWriter w = Start();
        w.App(ident, blocks, blockSize);
        return AddFrame(w).Trailer().out;
    };
    GifWriter gceZero = Start();
    gceZero.Gce(1, 3).Raw({0x00});
    AddFrame(gceZero).Trailer();
    GifWriter commentAfter = Start();
    AddFrame(commentAfter).Comment({"after"}).Trailer();
    GifWriter commentZero = Start();
    commentZero.Comment({std::string("ab\0c", 4), "de"});
    AddFrame(commentZero).Trailer();
    GifWriter unknownLabel = Start();
    AddFrame(unknownLabel).Raw({0x21, 0x02, 0x01, 0x00, 0x00});
    GifWriter width0 = GifWriter().Header().Screen(100, 50, 2);
    width0.Image(0, 7).Data(2, LzwEncode(Bytes(5000, 1), 2)).Trailer();
    GifWriter twoGce = Start();
    twoGce.Gce(0, 1).Gce(1, 2);
    AddFrame(twoGce).Trailer();
    GifWriter garbage = Start();
    AddFrame(garbage).Raw({0x55, 0x3B});
    GifWriter gceCut = Start();
    gceCut.Raw({0x21, 0xF9, 4, 1, 0});
    GifWriter descriptorCut = Start();
    AddFrame(descriptorCut).Raw({0x2C, 0, 0, 0});
    GifWriter earlyEnd = Start();
    earlyEnd.Image(4, 2).Data(8, Codes(8, {256, 7, 257}));
    AddFrame(earlyEnd).Trailer();
    GifWriter text = Start();
    text.Raw({0x21, 0x01, 12, 1, 0, 2, 0, 3, 0, 4, 0, 5, 6, 7, 8, 2, 'h', 'i', 0});
    AddFrame(text).Trailer();
    GifWriter transparent = Start();
    transparent.Gce(1, 7).Image(4, 2).Data(8, Codes(8, {256, 1, 257})).Trailer();
    GifWriter labelMissing = Start();
    labelMissing.Raw({0x21});

    return {
        {"lower-case signature", start("gif89a"), {}, {}, oneFrame},
        {"version bytes are not checked (90a)", start("GIF90a"), {}, {}, oneFrame},
        {"version bytes are not checked (87b)", start("GIF87b"), {}, {}, oneFrame},
        {"4 bytes before the signature: found on the second try", junk(4), {}, {}, oneFrame},
        {"1 byte before the signature", junk(1), msg::GIFInvalidSignature, {}, frames(0)},
        {"2 bytes before the signature", junk(2), msg::GIFInvalidSignature, {}, frames(0)},
        {"3 bytes before the signature", junk(3), msg::GIFInvalidSignature, {}, frames(0)},
        {"5 bytes before the signature", junk(5), msg::GIFInvalidSignature, {}, frames(0)},
        {"fewer than 6 bytes", {'G', 'I', 'F'}, msg::GIFPrematureEnd, {}, frames(0)},
        {"ends after the screen descriptor", GifWriter().Header().Screen(4, 2).out, {}, {}, frames(0)},
        {"ends after the global color table",
         GifWriter().Header().Screen(4, 2, 4).out,
         {},
         {},
         [](Loaded& l) {
             EXPECT_EQ(l.image->Images().Count(), 0);
             EXPECT_EQ(l.image->Header().ColorMap().Count(), 4);
         }},
        {"global color table cut short",
         [] {
             Bytes b = GifWriter().Header().Screen(4, 2, 4).out;
             b.pop_back();
             return b;
         }(),
         msg::GIFPrematureEnd,
         {},
         frames(0)},
        {"no trailer",
         [] {
             GifWriter w = Start();
             return AddFrame(w).out;
         }(),
         {},
         {},
         oneFrame},
        {"trailer 0x00 0x00 0x3B: zero bytes are skipped",
         [] {
             GifWriter w = Start();
             return AddFrame(w).Raw({0, 0, 0x3B}).out;
         }(),
         {},
         {},
         oneFrame},
        {"stray 0x00 after a graphic control extension",
         gceZero.out,
         {},
         {{kExtList, msg::GIFBadIntroducer}},
         [](Loaded& l) {
             ASSERT_EQ(l.image->Images().Count(), 2);
             EXPECT_EQ(FrameOf(l, 0).Extensions().Count(), 1);
             EXPECT_EQ(FrameOf(l, 0).Width(), 0);
             EXPECT_TRUE(FrameOf(l, 0).Empty());
             EXPECT_EQ(FrameOf(l, 1).Extensions().Count(), 0);
             EXPECT_FALSE(FrameOf(l, 1).Transparent());
             EXPECT_EQ(FrameOf(l, 1).Width(), 4);
         }},
        {"a comment after the last image makes one more, empty frame",
         commentAfter.out,
         {},
         {},
         [](Loaded& l) {
             ASSERT_EQ(l.image->Images().Count(), 2);
             EXPECT_TRUE(FrameOf(l, 1).Empty());
             ASSERT_EQ(FrameOf(l, 1).Extensions().Count(), 1);
             auto* c = dynamic_cast<TGIFCommentExtension*>(FrameOf(l, 1).Extensions().Extension(0));
             ASSERT_TRUE(c);
             EXPECT_EQ(c->Text(), std::vector<std::string>{"after"});
         }},
        {"a comment line ends at its first zero byte",
         commentZero.out,
         {},
         {},
         [](Loaded& l) {
             auto* c = dynamic_cast<TGIFCommentExtension*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(c);
             EXPECT_EQ(c->Text(), (std::vector<std::string>{"ab", "de"}));
         }},
        {"plain text extension: record and lines",
         text.out,
         {},
         {},
         [](Loaded& l) {
             auto* t = dynamic_cast<TGIFTextExtension*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(t);
             EXPECT_EQ(t->Record().Left, 1);
             EXPECT_EQ(t->Record().Height, 4);
             EXPECT_EQ(t->Record().TextBGColorIndex, 8);
             EXPECT_EQ(t->Text(), std::vector<std::string>{"hi"});
         }},
        {"unknown label 0x02 fails the load; the frame before stays",
         unknownLabel.out,
         msg::GIFUnknownExtension,
         {},
         frames(1)},
        {"a label missing at the end of data", labelMissing.out, msg::GIFUnknownExtension, {}, frames(0)},
        {"looping extension",
         app("NETSCAPE2.0", {{1, 0, 0}}),
         {},
         {},
         [](Loaded& l) {
             auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(loop);
             EXPECT_EQ(loop->Loops(), 0);
         }},
        {"looping extension under its other identifier",
         app("ANIMEXTS1.0", {{1, 5, 1}}),
         {},
         {},
         [](Loaded& l) {
             auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(loop);
             EXPECT_EQ(loop->Loops(), 261);
         }},
        {"looping extension with 0x02 where 0x01 belongs",
         app("NETSCAPE2.0", {{2, 0, 0}}),
         msg::GIFInvalidData,
         {},
         frames(0)},
        {"looping extension data cut after its loop count",
         [] {
             return GifWriter()
                 .Header()
                 .Screen(4, 2)
                 .Raw({0x21, 0xFF, 11})
                 .Raw(Bytes{'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0})
                 .out;
         }(),
         msg::GIFInvalidData,
         {},
         frames(0)},
        {"identifiers are compared with case: netscape2.0 is unknown",
         app("netscape2.0", {{1, 0, 0}}),
         {},
         {},
         [](Loaded& l) {
             auto* e = FrameOf(l, 0).Extensions().Extension(0);
             EXPECT_EQ(e->ClassName(), "TGIFUnknownAppExtension");
         }},
        {"an unregistered identifier keeps its sub-blocks",
         app("DUVOTEST1.0", {{1, 2, 3}, {4}}),
         {},
         {},
         [](Loaded& l) {
             auto* e = dynamic_cast<TGIFUnknownAppExtension*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(e);
             EXPECT_EQ(e->IdentifierText(), "DUVOTEST1.0");
             ASSERT_EQ(e->Blocks().size(), 2u);
             EXPECT_EQ(e->Blocks()[0].data, (Bytes{1, 2, 3}));
             EXPECT_EQ(e->Blocks()[1].data, (Bytes{4}));
         }},
        {"block size 10: unknown kind, last identifier byte 0",
         app("ABCDEFGHIJ", {{9}}, 10),
         {},
         {},
         [](Loaded& l) {
             auto* e = dynamic_cast<TGIFUnknownAppExtension*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(e);
             EXPECT_EQ(e->IdentifierText(), std::string("ABCDEFGHIJ\0", 11));
         }},
        {"block size 13: the extra bytes are skipped, the sub-blocks kept",
         app("NETSCAPE2.0xy", {{7}}, 13),
         {},
         {},
         [](Loaded& l) {
             auto* e = dynamic_cast<TGIFApplicationExtension*>(FrameOf(l, 0).Extensions().Extension(0));
             ASSERT_TRUE(e);
             EXPECT_EQ(e->ClassName(), "TGIFApplicationExtension");
             EXPECT_EQ(e->IdentifierText(), "NETSCAPE2.0");
             ASSERT_EQ(e->Blocks().size(), 1u);
             EXPECT_EQ(FrameOf(l, 0).Width(), 4);
         }},
        {"block size 9", app("ABCDEFGHI", {}, 9), msg::GIFAppBlockSize, {}, frames(0)},
        {"width 0 in a 100 x 50 screen",
         width0.out,
         {},
         {{kFrame, msg::GIFBadScreenSize}},
         [](Loaded& l) {
             ASSERT_EQ(l.image->Images().Count(), 1);
             EXPECT_EQ(l.senders[0], &FrameOf(l, 0));
             EXPECT_EQ(FrameOf(l, 0).Width(), 100);
             EXPECT_EQ(FrameOf(l, 0).Height(), 50);
             EXPECT_EQ(FrameOf(l, 0).DataSize(), 5000u);
             EXPECT_EQ(FrameOf(l, 0).Data()[4999], 1);
         }},
        {"two graphic control extensions: the first is the frame's, either sets transparency",
         twoGce.out,
         {},
         {},
         [](Loaded& l) {
             TGIFSubImage& f = FrameOf(l, 0);
             ASSERT_EQ(f.Extensions().Count(), 2);
             EXPECT_EQ(f.GraphicControlExtension(), f.Extensions().Extension(0));
             EXPECT_TRUE(f.Transparent());
             EXPECT_EQ(f.TransparentColorIndex(), 1);
         }},
        {"a transparent frame's undecoded pixels hold the transparent index",
         transparent.out,
         {},
         {},
         [](Loaded& l) {
             EXPECT_EQ(Bytes(FrameOf(l, 0).Data(), FrameOf(l, 0).Data() + 8), (Bytes{1, 7, 7, 7, 7, 7, 7, 7}));
         }},
        {"garbage after the last frame",
         garbage.out,
         {},
         {{"TGIFImageList", msg::GIFUnknownBlock}, {"TGIFTrailer", msg::GIFBadTrailer}},
         frames(1)},
        {"a graphic control extension cut short",
         gceCut.out,
         {},
         {{"TGIFGraphicControlExtension", msg::GIFPrematureEnd}},
         [](Loaded& l) {
             ASSERT_EQ(l.image->Images().Count(), 1);
             EXPECT_FALSE(FrameOf(l, 0).Transparent());
         }},
        {"an image descriptor cut short; the frame before stays",
         descriptorCut.out,
         msg::GIFPrematureEnd,
         {},
         frames(1)},
        {"an early end code; the next frame is read correctly",
         earlyEnd.out,
         {},
         {},
         [](Loaded& l) {
             ASSERT_EQ(l.image->Images().Count(), 2);
             EXPECT_EQ(Bytes(FrameOf(l, 0).Data(), FrameOf(l, 0).Data() + 8), (Bytes{7, 0, 0, 0, 0, 0, 0, 0}));
             EXPECT_EQ(Bytes(FrameOf(l, 1).Data(), FrameOf(l, 1).Data() + 8), Pixels(8));
         }},
    };
}

TEST(GifReader, BlockStructure) {
    for (const StructureCase& c : StructureCases()) {
        SCOPED_TRACE(c.proves);
        for (auto decoder : {duvo::TGIFDecoder::Fast, duvo::TGIFDecoder::Reference}) {
            Loaded l = Load(c.bytes, decoder);
            EXPECT_EQ(l.error, c.error);
            EXPECT_EQ(l.warnings, c.warnings);
            if (c.check) c.check(l);
        }
    }
}

TEST(GifReader, StreamIsLeftAfterTheTrailer) {
    GifWriter w = Start();
    const Bytes gif = AddFrame(w).Trailer().out;
    Bytes bytes = gif;
    bytes.insert(bytes.end(), {1, 2, 3});
    EXPECT_EQ(Load(bytes).position, static_cast<std::int64_t>(gif.size()));
}

TEST(GifReader, ProgressReportsLoading) {
    GifWriter w = Start();
    AddFrame(w);
    const Bytes bytes = AddFrame(w).Trailer().out;
    struct Report {
        duvo::TProgressStage stage;
        int percent;
        bool redraw;
    };
    for (bool damaged : {false, true}) {
        TGIFImage image;
        std::vector<Report> reports;
        image.SetOnProgress([&](duvo::TPersistent*, duvo::TProgressStage stage, std::uint8_t percent, bool redraw,
                                const duvo::TRect& r, const std::string& text) {
            EXPECT_EQ(text, "Loading...");
            EXPECT_EQ(r, duvo::TRect{});
            reports.push_back({stage, percent, redraw});
        });
        duvo::TMemoryStream stream(damaged ? Bytes(bytes.begin(), bytes.begin() + 10) : bytes);
        if (damaged)
            EXPECT_THROW(image.ReadFromStream(stream), duvo::GIFException);
        else
            image.ReadFromStream(stream);
        ASSERT_EQ(reports.size(), damaged ? 2u : 4u);
        EXPECT_EQ(reports.front().stage, duvo::TProgressStage::psStarting);
        EXPECT_EQ(reports.back().stage, duvo::TProgressStage::psEnding);
        EXPECT_TRUE(reports.back().redraw);
        // 100 on success, 0 when an exception is on its way out.
        EXPECT_EQ(reports.back().percent, damaged ? 0 : 100);
        if (!damaged) {
            // After the second frame the reader stands before the trailer.
            const double share = 100.0 * static_cast<double>(bytes.size() - 1) / static_cast<double>(bytes.size());
            EXPECT_EQ(reports[2].percent, static_cast<int>(std::nearbyint(share)));
            EXPECT_LT(reports[1].percent, reports[2].percent);
        }
    }
}

// ---- limits ----------------------------------------------------------------------

TEST(GifReader, LimitsRefuseBeforeAllocating) {
    GifWriter w = Start();
    AddFrame(w);
    w.Image(60000, 60000).Data(8, Codes(8, {256, 1, 257}));
    const Bytes huge = w.Trailer().out;
    GifWriter many = Start();
    for (int i = 0; i < 5; ++i) AddFrame(many);
    const Bytes five = many.Trailer().out;
    struct Case {
        const char* proves;
        Bytes bytes;
        duvo::Limits limits;
        std::string message;
        int framesKept;
    };
    const Case cases[] = {
        {"a frame of more than 2^30 pixels",
         huge,
         {.pixels = std::uint64_t{1} << 40},
         duvo::PictureTooLargeText(60000, 60000, std::uint64_t{1} << 30),
         1},
        {"a frame over the pixel limit", five, {.pixels = 7}, duvo::PictureTooLargeText(4, 2, 7), 0},
        {"more frames than the limit", five, {.frames = 3}, "Picture too large (more than 3 frames)", 3},
        {"more decoded bytes than the limit",
         five,
         {.decodedBytes = 20},
         "Picture too large (more than 20 bytes of pixels)",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.proves);
        TGIFImage image;
        try {
            image.LoadFromBytes(c.bytes, c.limits);
            ADD_FAILURE() << "loaded";
        } catch (const duvo::EPictureTooLarge& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_NE(dynamic_cast<const duvo::GIFException*>(&e), nullptr);
        }
        EXPECT_EQ(image.Images().Count(), c.framesKept);
    }
}

// ---- the model -------------------------------------------------------------------

TEST(GifModel, ColorMaps) {
    struct Case {
        int count, capacity, bits;
    };
    for (const Case c : {Case{0, 16, 0},
                         {1, 16, 1},
                         {2, 16, 1},
                         {3, 16, 2},
                         {16, 16, 4},
                         {17, 32, 5},
                         {33, 64, 6},
                         {129, 160, 8},
                         {256, 256, 8}}) {
        TGIFImage image;
        Bytes rgb(static_cast<std::size_t>(c.count) * 3, 9);
        duvo::ByteReader reader(rgb);
        image.Header().ColorMap().LoadFromStream(reader, c.count);
        EXPECT_EQ(image.Header().ColorMap().Capacity(), c.capacity) << c.count;
        EXPECT_EQ(image.Header().ColorMap().BitsPerIndex(), c.bits) << c.count;
    }
    TGIFImage image;
    std::vector<Warning> warnings;
    image.SetOnWarning([&](duvo::TPersistent* s, std::uint8_t, const std::string& m) {
        warnings.push_back({s->ClassName(), m});
    });
    duvo::TGIFColorMap& map = image.Header().ColorMap();
    EXPECT_THROW(map.EntryColor(0), duvo::GIFException);  // empty: warns, then fails
    const Bytes rgb{1, 2, 3, 4, 5, 6, 7, 8, 9};
    duvo::ByteReader reader(rgb);
    map.LoadFromStream(reader, 3);
    EXPECT_EQ(map.EntryColor(1), 0x060504);
    EXPECT_EQ(map.EntryColor(5), 0x030201);  // outside: warns, entry 0
    const Warning w{"TGIFGlobalColorMap", "Invalid color index"};
    EXPECT_EQ(warnings, (std::vector<Warning>{w, w}));
}

TEST(GifModel, Registries) {
    using namespace duvo;
    EXPECT_EQ(ExtensionRegistry().Find(0xF9), TGIFGraphicControlExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Find(0x01), TGIFTextExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Find(0xFE), TGIFCommentExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Find(0xFF), TGIFApplicationExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Find(0x02), nullptr);
    EXPECT_EQ(AppExtensionRegistry().Find(reinterpret_cast<const std::uint8_t*>("ANIMEXTS1.0")),
              TGIFAppExtNSLoop::Class());
    EXPECT_EQ(AppExtensionRegistry().Find(reinterpret_cast<const std::uint8_t*>("NETSCAPE2.1")), nullptr);
    // Later entries win.
    TExtensionList list;
    list.Add(0xFE, TGIFCommentExtension::Class());
    list.Add(0xFE, TGIFTextExtension::Class());
    EXPECT_EQ(list.Find(0xFE), TGIFTextExtension::Class());

    std::thread a([] { InitializeFormats(); }), b([] { RegisterGIFFormats(); });
    a.join(), b.join();
    RegisterGIFFormats();
    EXPECT_EQ(GetFileFormats().FindExt("GIF"), TGIFImage::StaticClass());
    int gifEntries = 0;
    for (const auto& e : GetFileFormats().Entries())
        if (e.graphicClass == TGIFImage::StaticClass()) {
            ++gifEntries;
            EXPECT_EQ(e.extension, "gif");
            EXPECT_EQ(e.description, "GIF Image");
        }
    EXPECT_EQ(gifEntries, 1);
    EXPECT_EQ(FindClipboardFormat(GIFClipboardFormat()), TGIFImage::StaticClass());
}

TEST(GifModel, UnbuiltSlotsFailLoudly) {
    using namespace duvo;
    TGIFImage image;
    TMemoryStream stream;
    EXPECT_THROW(image.WriteToStream(stream), EInvalidGraphicOperation);
    EXPECT_THROW(image.SetWidth(3), EInvalidGraphicOperation);
    EXPECT_THROW(image.SetHeight(3), EInvalidGraphicOperation);
    unsigned format = 0;
    std::uintptr_t data = 0;
    platform::Palette* palette = nullptr;
    EXPECT_THROW(image.WriteClipboard(format, data, palette), EInvalidGraphicOperation);
    EXPECT_THROW(image.ReadClipboard(0, 0, nullptr), EInvalidGraphicOperation);
    EXPECT_THROW(image.Header().SaveToStream(stream), EInvalidGraphicOperation);
    EXPECT_THROW(image.Header().ColorMap().Optimize(), EInvalidGraphicOperation);
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(image.Width(), 0);
}

TEST(GifModel, GifExceptionIsAnInvalidGraphic) {
    try {
        throw duvo::EGIFTooLarge("x");
    } catch (const duvo::EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "x");
        EXPECT_NE(dynamic_cast<const duvo::GIFException*>(&e), nullptr);
        EXPECT_NE(dynamic_cast<const duvo::EPictureTooLarge*>(&e), nullptr);
    }
}

// ---- against giflib ----------------------------------------------------------------

struct GiflibFrames {
    int error = D_GIF_SUCCEEDED;
    std::vector<Bytes> frames;
};

GiflibFrames DecodeWithGiflib(const Bytes& bytes) {
    struct Source {
        const Bytes* bytes;
        std::size_t pos;
    } source{&bytes, 0};
    auto read = [](GifFileType* gif, GifByteType* out, int n) -> int {
        auto* s = static_cast<Source*>(gif->UserData);
        const std::size_t k = std::min(static_cast<std::size_t>(n), s->bytes->size() - s->pos);
        std::memcpy(out, s->bytes->data() + s->pos, k);
        s->pos += k;
        return static_cast<int>(k);
    };
    GiflibFrames out;
    GifFileType* gif = DGifOpen(&source, read, &out.error);
    if (!gif) return out;
    if (DGifSlurp(gif) != GIF_OK) out.error = gif->Error;
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& s = gif->SavedImages[i];
        out.frames.emplace_back(s.RasterBits,
                                s.RasterBits + static_cast<std::size_t>(s.ImageDesc.Width) * s.ImageDesc.Height);
    }
    int closeError = 0;
    DGifCloseFile(gif, &closeError);
    return out;
}

TEST(GifReader, PixelsMatchGiflibOnWellFormedFiles) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        GifWriter w = GifWriter().Header().Screen(300, 200, 256);
        const int frames = 1 + static_cast<int>(rng() % 3);
        std::vector<Bytes> expected;
        for (int f = 0; f < frames; ++f) {
            const int width = 1 + static_cast<int>(rng() % 300), height = 1 + static_cast<int>(rng() % 200);
            const int m = 2 + static_cast<int>(rng() % 7);
            Bytes px = PhotoPixels(width, height, 1 << m, rng());
            if (rng() % 2) w.Gce(static_cast<std::uint8_t>(rng() % 2), static_cast<std::uint8_t>(rng()));
            w.Frame(width, height, px, m, rng() % 3 == 0, 1 + static_cast<int>(rng() % 255));
            expected.push_back(px);
        }
        const Bytes bytes = w.Trailer().out;
        const GiflibFrames lib = DecodeWithGiflib(bytes);
        ASSERT_EQ(lib.error, D_GIF_SUCCEEDED);
        ASSERT_EQ(lib.frames, expected);
        for (auto decoder : {duvo::TGIFDecoder::Fast, duvo::TGIFDecoder::Reference}) {
            Loaded l = Load(bytes, decoder);
            ASSERT_FALSE(l.error) << *l.error;
            EXPECT_TRUE(l.warnings.empty());
            ASSERT_EQ(l.image->Images().Count(), frames);
            for (int f = 0; f < frames; ++f) {
                const TGIFSubImage& frame = FrameOf(l, f);
                EXPECT_EQ(Bytes(frame.Data(), frame.Data() + frame.DataSize()),
                          lib.frames[static_cast<std::size_t>(f)]);
            }
        }
    }
}

// ---- files -----------------------------------------------------------------------

TEST(GifReader, EveryGifInTheDataFoldersLoadsOrFailsCleanly) {
    int files = 0;
    for (const std::string folder : {"/gif", "/regress"}) {
        const std::filesystem::path dir = DUVO_TEST_DATA + folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() != ".gif") continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            TGIFImage image;
            try {
                image.LoadFile(entry.path().string(), {.pixels = std::uint64_t{1} << 24});
            } catch (const duvo::GIFException& e) {
                EXPECT_NE(folder, "/gif") << e.what();
                continue;
            }
            EXPECT_TRUE(folder != "/gif" || !image.IsEmpty());
            std::uint64_t sum = 0;
            for (int i = 0; i < image.Images().Count(); ++i) {
                const TGIFSubImage* f = image.Images().Frame(i);
                for (std::uint64_t k = 0; k < f->DataSize(); ++k) sum += f->Data()[k];
            }
            EXPECT_GE(sum, 0u);
        }
    }
    EXPECT_GE(files, 4);
}

}  // namespace
