// Reading a GIF file into the object model, block by block with one byte of
// look-ahead. Lenient where files in the wild are sloppy (version bytes,
// zero bytes between blocks, a missing trailer, a file that simply ends),
// strict where the structure cannot be followed (signature, unknown labels,
// records cut short, a malformed looping extension).
//
// All reading goes through one ByteReader over the file's bytes; a record
// that does not fit raises "Premature end of data". Where the classic reader
// moved forward past the end of the data, the position stops at the end: the
// next read then finds nothing, as it did there.
#include <cstring>

#include "codecs/gif/lzw.h"
#include "graphics/gif/gif_image.h"

namespace duvo {

namespace {

[[noreturn]] void RaisePrematureEnd() { throw GIFException(msg::GIFPrematureEnd); }

// Data sub-blocks as text lines: each line holds its block's bytes up to the
// first zero byte. The end of data stops quietly.
void ReadSubBlocks(ByteReader& reader, std::vector<std::string>& lines) {
    lines.clear();
    std::uint8_t count = 0;
    if (!reader.TryU8(count)) return;
    while (count != 0) {
        const ByteSpan bytes = reader.Take(count);
        const auto* text = reinterpret_cast<const char*>(bytes.data());
        lines.emplace_back(text, strnlen(text, bytes.size()));
        if (!reader.TryU8(count)) return;
    }
}

// Banker's rounding of position * 100 / size, as the progress reports have it.
std::uint8_t Percent(std::uint64_t position, std::uint64_t size) {
    if (size == 0) return 0;
    const std::uint64_t num = position * 100;
    std::uint64_t q = num / size;
    const std::uint64_t twice = (num % size) * 2;
    if (twice > size || (twice == size && (q & 1) != 0)) ++q;
    return static_cast<std::uint8_t>(q > 100 ? 100 : q);
}

bool IsGIF(ByteSpan signature) {
    auto upper = [](std::uint8_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
    return upper(signature[0]) == 'G' && upper(signature[1]) == 'I' && upper(signature[2]) == 'F';
}

}  // namespace

// ---- header -----------------------------------------------------------------

void TGIFHeader::LoadFromStream(ByteReader& reader) {
    const std::size_t start = reader.Position();
    if (!IsGIF(reader.Take(6))) {
        // Some files carry 4 bytes of other data before the signature.
        reader.Seek(start);
        reader.SkipUpTo(4);
        if (!IsGIF(reader.Take(6))) throw GIFException(msg::GIFInvalidSignature);
    }
    const ByteSpan d = reader.Take(7);
    descriptor_.ScreenWidth = LoadU16(d.data());
    descriptor_.ScreenHeight = LoadU16(d.data() + 2);
    descriptor_.PackedFields = d[4];
    descriptor_.BackgroundColorIndex = d[5];
    descriptor_.AspectRatio = d[6];
    if (descriptor_.PackedFields & 0x80)
        colorMap_->LoadFromStream(reader, 2 << (descriptor_.PackedFields & 7));
    else
        colorMap_->Clear();
}

// ---- the block loop ---------------------------------------------------------

void TGIFImageList::LoadFromStream(ByteReader& reader, TPersistent* parent) {
    auto* image = static_cast<TGIFImage*>(parent);
    std::uint8_t b = 0;
    do
        if (!reader.TryU8(b)) return;
    while (b == 0x00);
    while (b != 0x3B) {
        reader.StepBack();
        if (static_cast<std::uint64_t>(Count()) >= image->framesWanted_) return;
        if (b != 0x21 && b != 0x2C) {
            ReportWarning(1, msg::GIFUnknownBlock);
            return;
        }
        if (static_cast<std::uint64_t>(Count()) >= image->LoadLimits().frames)
            throw EGIFTooLarge(Format(msg::TooManyFrames, {std::to_string(image->LoadLimits().frames)}));
        auto frame = std::make_unique<TGIFSubImage>(image);
        frame->LoadFromStream(reader);
        image->ReportLoadProgress(this, reader.Position());
        Add(std::move(frame));
        do
            if (!reader.TryU8(b)) return;
        while (b == 0x00);
    }
    reader.StepBack();
}

// ---- frames -----------------------------------------------------------------

void TGIFSubImage::LoadFromStream(ByteReader& reader) {
    Clear();
    extensions_->LoadFromStream(reader, this);
    std::uint8_t b = 0;
    if (!reader.TryU8(b)) return;
    reader.StepBack();
    if (b == 0x3B || b == 0x00) return;

    // The separator is not checked: after an invalid extension introducer
    // the descriptor starts at that byte.
    const ByteSpan d = reader.Take(10);
    descriptor_.Separator = d[0];
    descriptor_.Left = LoadU16(d.data() + 1);
    descriptor_.Top = LoadU16(d.data() + 3);
    descriptor_.Width = LoadU16(d.data() + 5);
    descriptor_.Height = LoadU16(d.data() + 7);
    descriptor_.PackedFields = d[9];
    if (descriptor_.Width == 0 || descriptor_.Height == 0) {
        const TLogicalScreenDescriptor& screen = Image()->Header().Descriptor();
        descriptor_.Height = screen.ScreenHeight;
        descriptor_.Width = screen.ScreenWidth;
        ReportWarning(1, msg::GIFBadScreenSize);
    }
    if (descriptor_.PackedFields & 0x80) colorMap_->LoadFromStream(reader, 2 << (descriptor_.PackedFields & 7));

    TGIFImage& image = *Image();
    if (image.Images().Count() == 0) image.firstFrameData_ = reader.Position();
    if (image.deferData_ && !Interlaced()) {
        // The caller decodes the data row by row; no frame is held.
        CheckPixelLimit();
        image.firstFrameDeferred_ = true;
        return;
    }
    MakePixelData();
    LzwFrame target;
    target.pixels = data_.get();
    target.width = descriptor_.Width;
    target.height = descriptor_.Height;
    target.interlaced = Interlaced();
    target.fill = transparent_ && gce_ ? static_cast<std::uint8_t>(gce_->TransparentColorIndex()) : 0;
    const LzwWarn warn = [this](const char* message) { ReportWarning(1, message); };
    decodedPixels_ = Image()->Decoder() == TGIFDecoder::Reference ? DecodeLzwReference(reader, target, warn)
                                                                  : DecodeLzwFast(reader, target, warn);
}

void TGIFSubImage::LoadFile(const std::string& fileName) {
    TFileStream stream(fileName);
    std::vector<std::uint8_t> holder;
    const ByteSpan bytes = StreamBytes(stream, holder, Image()->LoadLimits().inputBytes);
    ByteReader reader(bytes, RaisePrematureEnd);
    LoadFromStream(reader);
}

// ---- the extension loop -----------------------------------------------------

namespace {

// The stream stands just after an 0x21. Reads ahead as the classes ask and
// puts the reader back; none when the label is missing or not registered.
TGIFExtensionClass ResolveExtension(ByteReader& reader) {
    const std::size_t start = reader.Position();
    std::uint8_t label = 0;
    if (!reader.TryU8(label)) return nullptr;
    TGIFExtensionClass kind = ExtensionRegistry().Find(label);
    while (kind) {
        const TGIFExtensionClass next = kind->resolveKind(kind, reader);
        if (next == kind) break;
        kind = next;
    }
    reader.Seek(start);
    return kind;
}

}  // namespace

void TGIFExtensionList::LoadFromStream(ByteReader& reader, TPersistent* parent) {
    auto* frame = static_cast<TGIFSubImage*>(parent);
    std::uint8_t b = 0;
    if (!reader.TryU8(b)) return;
    while (b != 0x2C && b != 0x3B) {
        if (b != 0x21) {
            // Zero bytes are not skipped here: the frame reads from this byte.
            ReportWarning(1, msg::GIFBadIntroducer);
            break;
        }
        const TGIFExtensionClass kind = ResolveExtension(reader);
        if (!kind) throw GIFException(msg::GIFUnknownExtension);
        reader.StepBack();
        std::unique_ptr<TGIFItem> extension(kind->create(frame));
        extension->LoadFromStream(reader);
        Add(std::move(extension));
        if (!reader.TryU8(b)) return;
    }
    reader.StepBack();
}

// ---- extensions -------------------------------------------------------------

void TGIFExtension::LoadFromStream(ByteReader& reader) {
    const ByteSpan head = reader.Take(2);
    if (head[0] != 0x21) throw GIFException(msg::GIFBadIntroducer);
    if (head[1] != ExtensionLabel()) throw GIFException(msg::GIFExtensionMismatch);
}

void TGIFGraphicControlExtension::LoadFromStream(ByteReader& reader) {
    TGIFExtension::LoadFromStream(reader);
    std::uint8_t bytes[6] = {record_.BlockSize, record_.PackedFields, 0, 0, record_.TransparentColorIndex,
                             record_.Terminator};
    bytes[2] = static_cast<std::uint8_t>(record_.DelayTime);
    bytes[3] = static_cast<std::uint8_t>(record_.DelayTime >> 8);
    const std::size_t got = reader.ReadUpTo(bytes, 6);
    // What arrived is kept, the rest stays as it was.
    record_.BlockSize = bytes[0];
    record_.PackedFields = bytes[1];
    record_.DelayTime = LoadU16(bytes + 2);
    record_.TransparentColorIndex = bytes[4];
    record_.Terminator = bytes[5];
    if (got < 6) {
        ReportWarning(1, msg::GIFPrematureEnd);
        return;
    }
    if (Transparent()) Frame()->SetTransparent(true);
}

void TGIFTextExtension::LoadFromStream(ByteReader& reader) {
    TGIFExtension::LoadFromStream(reader);
    const ByteSpan r = reader.Take(13);
    record_.BlockSize = r[0];
    record_.Left = LoadU16(r.data() + 1);
    record_.Top = LoadU16(r.data() + 3);
    record_.Width = LoadU16(r.data() + 5);
    record_.Height = LoadU16(r.data() + 7);
    record_.CellWidth = r[9];
    record_.CellHeight = r[10];
    record_.TextFGColorIndex = r[11];
    record_.TextBGColorIndex = r[12];
    ReadSubBlocks(reader, text_);
}

void TGIFCommentExtension::LoadFromStream(ByteReader& reader) {
    TGIFExtension::LoadFromStream(reader);
    ReadSubBlocks(reader, text_);
}

void TGIFApplicationExtension::LoadFromStream(ByteReader& reader) {
    TGIFExtension::LoadFromStream(reader);
    // The classic reader took this byte unchecked; a missing one is the end
    // of data like any other record cut short.
    const std::uint8_t size = reader.U8();
    if (size == 10) {
        std::memset(ident_, 0, sizeof ident_);
        reader.Read(ident_, 10);
    } else if (size < 10) {
        throw GIFException(msg::GIFAppBlockSize);
    } else {
        reader.Read(ident_, 11);
        reader.SkipUpTo(size - 11u);
    }
    ReadData(reader);
}

void TGIFApplicationExtension::ReadData(ByteReader& reader) { ReadBlocks(reader); }

void TGIFApplicationExtension::ReadBlocks(ByteReader& reader) {
    blocks_.clear();
    std::uint8_t count = 0;
    if (!reader.TryU8(count)) return;
    while (count != 0) {
        const ByteSpan bytes = reader.Take(count);
        blocks_.push_back(TGIFBlock{{bytes.begin(), bytes.end()}});
        if (!reader.TryU8(count)) return;
    }
}

void TGIFUnknownAppExtension::ReadData(ByteReader& reader) { ReadBlocks(reader); }

void TGIFAppExtNSLoop::ReadData(ByteReader& reader) {
    // A missing byte fails the test like a wrong one.
    std::uint8_t b = 0;
    if (!reader.TryU8(b) || b != 3) throw GIFException(msg::GIFInvalidData);
    if (!reader.TryU8(b) || b != 1) throw GIFException(msg::GIFInvalidData);
    loops_ = LoadU16(reader.Take(2).data());
    if (!reader.TryU8(b) || b != 0) throw GIFException(msg::GIFInvalidData);
}

// ---- trailer ----------------------------------------------------------------

void TGIFTrailer::LoadFromStream(ByteReader& reader) {
    std::uint8_t b = 0;
    if (reader.TryU8(b) && b != 0x3B) ReportWarning(1, msg::GIFBadTrailer);
}

// ---- the image --------------------------------------------------------------

void TGIFImage::ReportLoadProgress(TPersistent* sender, std::uint64_t position) {
    ReportProgress(sender, TProgressStage::psRunning, Percent(streamOffset_ + position, streamSize_), false, TRect{},
                   msg::GIFLoading);
}

void TGIFImage::ReadBlocks(ByteReader& reader, std::uint64_t streamOffset) {
    streamOffset_ = streamOffset;
    streamSize_ = streamOffset + reader.Size();
    Clear();
    header_->LoadFromStream(reader);
    images_->LoadFromStream(reader, this);
    TGIFTrailer trailer(this);
    trailer.LoadFromStream(reader);
}

void TGIFImage::ReadFromStream(TStream& stream) { ReadFromStream(stream, kDefaultLimits); }

void TGIFImage::ReadFromStream(TStream& stream, const Limits& limits) {
    std::vector<std::uint8_t> holder;
    const std::int64_t start = stream.Position();
    const ByteSpan bytes = StreamBytes(stream, holder, limits.inputBytes);
    std::size_t consumed = 0;
    try {
        ReadAll(bytes, static_cast<std::uint64_t>(start), limits, consumed);
    } catch (...) {
        SkipConsumed(stream, start, bytes, consumed);
        throw;
    }
    SkipConsumed(stream, start, bytes, consumed);
}

// The file's bytes go to the block reader where they lie: no stream between.
void TGIFImage::LoadFromBytes(ByteSpan bytes, const Limits& limits, std::shared_ptr<const void>) {
    std::size_t consumed = 0;
    ReadAll(bytes, 0, limits, consumed);
}

void TGIFImage::ReadAll(ByteSpan bytes, std::uint64_t streamOffset, const Limits& limits, std::size_t& consumed) {
    limits_ = limits;
    framesWanted_ = ~std::uint64_t{0};
    ReportProgress(this, TProgressStage::psStarting, 0, false, TRect{}, msg::GIFLoading);
    ByteReader reader(bytes, RaisePrematureEnd);
    try {
        ReadBlocks(reader, streamOffset);
    } catch (...) {
        consumed = reader.Position();
        ReportProgress(this, TProgressStage::psEnding, 0, true, TRect{}, msg::GIFLoading);
        throw;
    }
    consumed = reader.Position();
    ReportProgress(this, TProgressStage::psEnding, 100, true, TRect{}, msg::GIFLoading);
}

std::size_t TGIFImage::LoadFirstFrame(ByteSpan bytes, const Limits& limits, bool deferData) {
    limits_ = limits;
    framesWanted_ = 1;
    deferData_ = deferData;
    struct Restore {
        TGIFImage& image;
        ~Restore() {
            image.framesWanted_ = ~std::uint64_t{0};
            image.deferData_ = false;
        }
    } restore{*this};
    ByteReader reader(bytes, RaisePrematureEnd);
    streamOffset_ = 0;
    streamSize_ = reader.Size();
    Clear();
    header_->LoadFromStream(reader);
    images_->LoadFromStream(reader, this);
    return reader.Position();
}

}  // namespace duvo
