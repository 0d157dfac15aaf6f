#include "codecs/png/png_rows.h"

// clang-format off
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "codecs/png/png_filter.h"
#include "codecs/png/png_writer.h"
#include "rtl/exceptions.h"

// How a damaged file ends, decided once here:
// - Before the image data, every critical chunk must be sound: a wrong CRC,
//   a cut, a wrong length, a second IHDR, a second PLTE in a palette
//   picture, chunks out of their order (PLTE after a tRNS, even one skipped
//   for its CRC) or an unknown critical chunk are errors; a PLTE in a gray
//   picture and a second one in an RGB picture change no pixel and are
//   ignored with a warning. An ancillary
//   chunk with a wrong CRC is skipped with a warning, as libpng and libspng
//   do, and so is a tRNS that does not fit the picture (a wrong length, one
//   before PLTE or longer than the palette, one in a picture with alpha, a
//   second one): the picture is still whole, and the warning says that its
//   transparency may be lost (--strict refuses it).
// - The image data must be whole: every IDAT chunk's CRC, the zlib header,
//   the deflate stream, its Adler-32, and enough scanlines for the picture.
//   A file that ends or changes to another chunk before the stream's end is
//   an error, even when every row is already there, because the stream's
//   checksum is what says the rows are right.
// - Behind complete image data, only the structure can be damaged: a
//   missing IEND, a cut chunk, an ancillary chunk with a wrong CRC, bytes
//   that are not a chunk, data after IEND, and more image data than the
//   picture holds are warnings. A critical chunk there is still held to its
//   rules: a wrong CRC (IEND's too), a second IHDR, a PLTE or an unknown
//   critical chunk are errors.

namespace duvo {

namespace {

constexpr std::uint32_t ChunkType(const char (&s)[5]) {
    return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3]));
}
constexpr std::uint32_t kIHDR = ChunkType("IHDR");
constexpr std::uint32_t kPLTE = ChunkType("PLTE");
constexpr std::uint32_t kIDAT = ChunkType("IDAT");
constexpr std::uint32_t kIEND = ChunkType("IEND");
constexpr std::uint32_t kTRNS = ChunkType("tRNS");

// The format's largest chunk length.
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFFu;
// IDAT data goes to the inflater in pieces of at most this size, each one
// added to the chunk's CRC first, so that a huge chunk is not read twice
// from memory and a mapped file's pages can go while it is inflated.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
// Inflated scanlines are staged in a buffer of about this size (at least
// one scanline), which stays in the second-level cache.
constexpr std::size_t kStageBytes = std::size_t{256} << 10;
constexpr std::size_t kReportEvery = std::size_t{4} << 20;

std::uint32_t Be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* p, std::size_t n) { return crc32_gzip_refl(crc, p, n); }

[[noreturn]] void Fail(const std::string& why) { throw EInvalidGraphic(Format(msg::PNGError, {why})); }

bool ValidType(std::uint32_t type) {
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint8_t c = static_cast<std::uint8_t>(type >> shift);
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

// A chunk is critical when its type's first letter is a capital.
bool Critical(std::uint32_t type) { return (type & 0x20000000u) == 0; }

std::string TypeName(std::uint32_t type) {
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(type >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7F) s[static_cast<std::size_t>(i)] = c;
    }
    return s;
}

struct Chunk {
    std::size_t at = 0;  // offset of its length field
    std::uint32_t type = 0;
    ByteSpan data;
    std::uint32_t storedCrc = 0;
};

enum class ChunkRead {
    Ok,
    None,       // no bytes left
    Cut,        // the file ends inside the chunk (type known when 8 bytes were there)
    NotAChunk,  // a length past the format's maximum
};

// Reads the chunk at the reader's position and moves past it (not past
// what is not a chunk). The CRC is read, not checked. A type that is not
// four letters is not refused here: before the image data such a chunk is
// judged by its CRC and its critical bit, as any unknown chunk (libspng does
// the same); after it, it is taken for bytes that are not a chunk.
ChunkRead ReadChunk(ByteReader& in, Chunk& c) {
    c = Chunk{};
    c.at = in.Position();
    if (in.AtEnd()) return ChunkRead::None;
    if (in.Remaining() < 8) {
        in.SkipUpTo(in.Remaining());
        return ChunkRead::Cut;
    }
    const ByteSpan head = in.Take(8);
    const std::uint32_t length = Be32(head.data());
    c.type = Be32(head.data() + 4);
    if (length > kMaxChunkLength) {
        in.Seek(c.at);
        return ChunkRead::NotAChunk;
    }
    if (in.Remaining() < std::size_t{length} + 4) {
        in.SkipUpTo(in.Remaining());
        return ChunkRead::Cut;
    }
    c.data = in.Take(length);
    c.storedCrc = Be32(in.Take(4).data());
    return ChunkRead::Ok;
}

bool CrcMatches(ByteSpan bytes, const Chunk& c) {
    return Crc32(0, bytes.data() + c.at + 4, 4 + c.data.size()) == c.storedCrc;
}

const char* InflateError(int rc) {
    switch (rc) {
        case ISAL_INVALID_BLOCK:
            return "the image data holds an invalid deflate block";
        case ISAL_INVALID_SYMBOL:
            return "the image data holds an invalid deflate code";
        case ISAL_INVALID_LOOKBACK:
            return "the image data refers back past its start";
        case ISAL_INCORRECT_CHECKSUM:
            return "the image data's Adler-32 checksum is wrong";
        default:
            return "the image data cannot be inflated";
    }
}

// Adam7: first column, first row, column step and row step of each pass.
constexpr int kPass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                             {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

class PngRows final : public RowSource {
public:
    PngRows(ByteSpan bytes, const Limits& limits, std::function<void(std::size_t)> consumed)
        : bytes_(bytes), in_(bytes, [] { Fail("the file ends too early"); }), consumed_(std::move(consumed)) {
        ReadHeader(limits);
    }

    bool Sequential() const override { return !interlaced_; }

    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        count = std::min(count, Height() - nextRow_);
        if (count <= 0) return;
        if (interlaced_) {
            if (!frame_) DecodeFrame();
            for (int i = 0; i < count; ++i, ++nextRow_)
                std::memcpy(dst + i * stride, frame_.get() + static_cast<std::size_t>(nextRow_) * rowBytes_, rowBytes_);
            return;
        }
        Prepare(rowBytes_ + 1);
        const std::size_t scan = rowBytes_ + 1;
        // Two Paeth rows in a row go together (see UnfilterPairFn), when the
        // stage holds them both.
        const bool pairs = 2 * scan <= stage_.size();
        for (int i = 0; i < count;) {
            std::uint8_t* row = dst + i * stride;
            const std::uint8_t* prev = i == 0 ? prev_.data() : row - stride;
            Prepare(scan);
            if (pairs && i + 1 < count && stage_[stagePos_] == png::kFilterPaeth) {
                Prepare(2 * scan);
                const std::uint8_t* s = stage_.data() + stagePos_;
                if (s[0] == png::kFilterPaeth && s[scan] == png::kFilterPaeth) {
                    kernels_->paethPair(row, row + stride, s + 1, s + scan + 1, prev, rowBytes_);
                    stagePos_ += 2 * scan;
                    i += 2;
                    nextRow_ += 2;
                    continue;
                }
            }
            Unfilter(row, prev, rowBytes_, nextRow_);
            ++i;
            ++nextRow_;
        }
        std::memcpy(prev_.data(), dst + (count - 1) * stride, rowBytes_);
    }

    void Finish() override {
        if (finished_) return;
        // Rows the caller did not read still hold the stream up to its end.
        if (nextRow_ < Height()) {
            std::vector<std::uint8_t> row(rowBytes_);
            while (nextRow_ < Height()) ReadRows(row.data(), 0, 1);
        }
        finished_ = true;
        DrainStream();
        ReadTrailer();
        Report(bytes_.size());
    }

private:
    void ReadHeader(const Limits& limits) {
        static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        if (bytes_.size() < 8) Fail("the file ends inside its signature");
        if (std::memcmp(bytes_.data(), kSignature, 8) != 0) Fail("the file does not start with the PNG signature");
        in_.Skip(8);

        Chunk c;
        bool sawPalette = false, sawTrns = false;
        bool metTrns = false;  // a tRNS taken, or one skipped for its CRC: no PLTE may follow
        int colorType = 0;
        for (bool first = true;; first = false) {
            const ChunkRead r = ReadChunk(in_, c);
            if (r == ChunkRead::None) Fail(first ? "the file ends before its header" : "the file has no image data");
            if (r == ChunkRead::Cut)
                Fail(c.type == kIDAT ? std::string("the file ends inside the image data")
                     : c.type        ? "the file ends inside chunk " + TypeName(c.type)
                              : std::string(first ? "the file ends before its header" : "the file ends too early"));
            if (r == ChunkRead::NotAChunk) Fail("the file holds bytes that are not a chunk before the image data");
            // Image data has its CRC checked piece by piece as it is
            // inflated: checked here, a chunk holding the whole stream would
            // bring the whole file into memory at once.
            const bool crcOk = c.type == kIDAT || CrcMatches(bytes_, c);
            if (!crcOk && Critical(c.type)) Fail("the CRC of chunk " + TypeName(c.type) + " is wrong");
            if (first != (c.type == kIHDR)) Fail(first ? "the first chunk is not IHDR" : "a second IHDR chunk");
            if (!crcOk) {
                Warn(warning_kind::Corrupt, "the CRC of chunk " + TypeName(c.type) + " is wrong; the chunk is skipped");
                metTrns = metTrns || c.type == kTRNS;
                continue;
            }
            if (c.type == kIHDR) {
                colorType = ReadIhdr(c.data, limits);
            } else if (c.type == kPLTE) {
                // A palette's length and place are held to the format's rules
                // in every picture, as libspng holds them.
                if (c.data.empty() || c.data.size() % 3 != 0 || c.data.size() > 3 * 256)
                    Fail("the PLTE chunk has the wrong length");
                if (metTrns) Fail("a PLTE chunk after tRNS");
                // Gray pictures have no use for a palette; the format forbids
                // one, but it changes nothing (libspng passes it too).
                if (colorType == 0 || colorType == 4) {
                    Warn(warning_kind::Corrupt, "a PLTE chunk in a gray picture is ignored");
                    continue;
                }
                if (sawPalette && colorType != 3) {
                    // A second suggested palette changes no pixel either.
                    Warn(warning_kind::Corrupt, "a second PLTE chunk is ignored");
                    continue;
                }
                // Which of two palettes holds the colors is anyone's guess.
                if (sawPalette) Fail("a second PLTE chunk");
                sawPalette = true;
                // Color types 2 and 6 may suggest a palette; their pixels do not use it.
                if (colorType == 3) {
                    if (c.data.size() / 3 > (std::size_t{1} << format_.bitDepth))
                        Fail("the PLTE chunk has more entries than the bit depth can index");
                    format_.paletteSize = static_cast<int>(c.data.size() / 3);
                    for (int i = 0; i < format_.paletteSize; ++i) {
                        const std::uint8_t* p = c.data.data() + 3 * i;
                        format_.palette[static_cast<std::size_t>(i)] = {p[0], p[1], p[2], 255};
                    }
                }
            } else if (c.type == kTRNS) {
                if (sawTrns)
                    Warn(warning_kind::Corrupt, "a second tRNS chunk; the chunk is skipped");
                else
                    sawTrns = ReadTrns(c.data, colorType, sawPalette);
                metTrns = metTrns || sawTrns;
            } else if (c.type == kIDAT) {
                if (colorType == 3 && !sawPalette) Fail("no PLTE chunk before the image data");
                idat_ = c;
                idatCrc_ = Crc32(0, bytes_.data() + c.at + 4, 4);
                idatOpen_ = true;
                isal_inflate_init(z_.get());
                return;
            } else if (c.type == kIEND) {
                Fail("the file has no image data");
            } else if (Critical(c.type)) {
                Fail("an unknown critical chunk " + TypeName(c.type));
            }
        }
    }

    int ReadIhdr(ByteSpan d, const Limits& limits) {
        if (d.size() != 13) Fail("the IHDR chunk has the wrong length");
        const std::uint32_t width = Be32(d.data()), height = Be32(d.data() + 4);
        const int depth = d[8], colorType = d[9];
        if (width == 0 || height == 0) Fail("the picture has no pixels");
        if (width > kMaxChunkLength || height > kMaxChunkLength)
            Fail("the picture's size is past the format's maximum");
        bool depthOk = false;
        switch (colorType) {
            case 0:
                depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
                break;
            case 3:
                depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8;
                break;
            case 2:
            case 4:
            case 6:
                depthOk = depth == 8 || depth == 16;
                break;
            default:
                Fail("an unknown color type " + std::to_string(colorType));
        }
        if (!depthOk)
            Fail("bit depth " + std::to_string(depth) + " is not allowed for color type " + std::to_string(colorType));
        if (d[10] != 0) Fail("an unknown compression method");
        if (d[11] != 0) Fail("an unknown filter method");
        if (d[12] > 1) Fail("an unknown interlace method");

        CheckPictureSize(width, height, limits);
        static const RowLayout kLayouts[7] = {RowLayout::Gray,      RowLayout::Gray, RowLayout::Rgb, RowLayout::Index,
                                              RowLayout::GrayAlpha, RowLayout::Gray, RowLayout::Rgba};
        format_.width = static_cast<int>(width);
        format_.height = static_cast<int>(height);
        format_.layout = kLayouts[colorType];
        format_.bitDepth = depth;
        interlaced_ = d[12] == 1;
        rowBytes_ = format_.RowBytes();
        // An interlaced picture is held whole, its rows together; rows in
        // order are handed out as they come and hold nothing.
        if (interlaced_) CheckHeldFrame(width, height, std::uint64_t{rowBytes_} * height, limits);
        const int bits = format_.BitsPerPixel();
        pixelBytes_ = std::max(1, bits / 8);
        kernels_ = &png::BestUnfilters(pixelBytes_);
        if (!interlaced_) {
            expectedOut_ = std::uint64_t{height} * (rowBytes_ + 1);
        } else {
            for (const auto& p : kPass) {
                const std::uint64_t pw = (width + static_cast<std::uint32_t>(p[2] - p[0] - 1)) / p[2];
                const std::uint64_t ph = (height + static_cast<std::uint32_t>(p[3] - p[1] - 1)) / p[3];
                if (pw && ph) expectedOut_ += ph * ((pw * static_cast<std::uint64_t>(bits) + 7) / 8 + 1);
            }
        }
        return colorType;
    }

    // A tRNS that does not fit the picture is damage in an ancillary
    // chunk: skipped with a warning, as one with a wrong CRC is (libpng and
    // libspng skip it too). True when the chunk was taken.
    bool ReadTrns(ByteSpan d, int colorType, bool sawPalette) {
        const auto skip = [&](const std::string& why) {
            Warn(warning_kind::Corrupt, why + "; the chunk is skipped");
            return false;
        };
        switch (colorType) {
            case 3:
                if (!sawPalette) return skip("a tRNS chunk before PLTE");
                if (d.size() > static_cast<std::size_t>(format_.paletteSize))
                    return skip("the tRNS chunk is longer than the palette");
                for (std::size_t i = 0; i < d.size(); ++i) format_.palette[i].alpha = d[i];
                return true;
            case 0:
            case 2: {
                const std::size_t samples = colorType == 0 ? 1 : 3;
                if (d.size() != 2 * samples) return skip("the tRNS chunk has the wrong length");
                format_.hasColorKey = true;
                for (std::size_t i = 0; i < samples; ++i)
                    format_.colorKey[i] = static_cast<std::uint16_t>((d[2 * i] << 8) | d[2 * i + 1]);
                return true;
            }
            default:
                return skip("a tRNS chunk in a picture with an alpha channel");
        }
    }

    // The next piece of image data into the inflater, past the zlib header;
    // raises when there is none.
    void NextInput() {
        for (;;) {
            if (idatOpen_ && idatFed_ < idat_.data.size()) {
                const std::uint8_t* p = idat_.data.data() + idatFed_;
                std::size_t n = std::min(kPieceBytes, idat_.data.size() - idatFed_);
                idatCrc_ = Crc32(idatCrc_, p, n);
                idatFed_ += n;
                if (idatFed_ == idat_.data.size() && idatCrc_ != idat_.storedCrc)
                    Fail("the CRC of chunk IDAT is wrong");
                Report(static_cast<std::size_t>(p - bytes_.data()));
                while (zlibHeader_ < 2 && n > 0) {
                    zlibBytes_[zlibHeader_++] = *p++;
                    --n;
                    if (zlibHeader_ == 2) StartInflate();
                }
                if (n == 0) continue;
                z_->next_in = const_cast<std::uint8_t*>(p);
                z_->avail_in = static_cast<std::uint32_t>(n);
                return;
            }
            Chunk c;
            const ChunkRead r = ReadChunk(in_, c);
            if (r == ChunkRead::None || r == ChunkRead::Cut) Fail("the file ends inside the image data");
            if (r != ChunkRead::Ok || c.type != kIDAT) Fail("the image data ends too early");
            idat_ = c;
            idatFed_ = 0;
            idatCrc_ = Crc32(0, bytes_.data() + c.at + 4, 4);
            idatOpen_ = true;
        }
    }

    // Damage found inside the image data: where the rest of the chunk it lies
    // in fails its CRC, that is what the file has, and says so.
    [[noreturn]] void FailInData(const std::string& why) {
        if (idatOpen_ && idatFed_ < idat_.data.size() &&
            Crc32(idatCrc_, idat_.data.data() + idatFed_, idat_.data.size() - idatFed_) != idat_.storedCrc)
            Fail("the CRC of chunk IDAT is wrong");
        Fail(why);
    }

    void StartInflate() {
        const std::uint8_t cmf = zlibBytes_[0], flg = zlibBytes_[1];
        if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0)
            FailInData("the image data does not start with a zlib header");
        if (flg & 0x20) FailInData("the image data asks for a preset dictionary");
        // The header's window size is not held against the stream: a stream
        // that looks back past it (zlib refuses one) still has its Adler-32
        // to vouch for the rows, and the library keeps a 32K window anyway.
        // Raw deflate after our own header check; the library computes the
        // Adler-32 and compares it with the four bytes after the stream.
        z_->crc_flag = ISAL_ZLIB_NO_HDR_VER;
    }

    // Exactly n inflated bytes at out.
    void Inflate(std::uint8_t* out, std::size_t n) {
        z_->next_out = out;
        z_->avail_out = static_cast<std::uint32_t>(n);
        // The library may hold input and output of its own, so it runs before
        // it is given more.
        while (z_->avail_out > 0) {
            Step();
            if (z_->block_state == ISAL_BLOCK_FINISH && z_->avail_out > 0)
                FailInData("the image data ends before the picture is complete");
        }
    }

    // One call of the inflater, with more input when it has used up what it
    // had and made no output.
    void Step() {
        const std::uint32_t in = z_->avail_in, out = z_->avail_out;
        const int rc = isal_inflate(z_.get());
        if (rc < 0) FailInData(InflateError(rc));
        if (z_->block_state == ISAL_BLOCK_FINISH || z_->avail_out == 0 || z_->avail_out != out) return;
        if (z_->avail_in == 0)
            NextInput();
        else if (z_->avail_in == in)
            FailInData("the image data cannot be inflated");
    }

    // At least need bytes of scanlines staged.
    void Prepare(std::size_t need) {
        if (stageEnd_ - stagePos_ >= need) return;
        if (stage_.empty()) {
            stage_.resize(std::max(kStageBytes, rowBytes_ + 1));
            prev_.assign(rowBytes_, 0);
        }
        const std::size_t have = stageEnd_ - stagePos_;
        std::memmove(stage_.data(), stage_.data() + stagePos_, have);
        stagePos_ = 0;
        stageEnd_ = have;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(stage_.size() - have, expectedOut_ - producedOut_));
        if (want + have < need) FailInData("the image data ends before the picture is complete");
        Inflate(stage_.data() + have, want);
        stageEnd_ += want;
        producedOut_ += want;
    }

    void Unfilter(std::uint8_t* row, const std::uint8_t* prev, std::size_t n, int y) {
        Prepare(n + 1);
        const std::uint8_t* s = stage_.data() + stagePos_;
        if (!png::Unfilter(*kernels_, s[0], row, s + 1, prev, n))
            FailInData("row " + std::to_string(y) + " has an unknown filter type " + std::to_string(s[0]));
        stagePos_ += n + 1;
    }

    // The seven passes into one frame in the rows' layout.
    void DecodeFrame() {
        // Zeroed pages from the system, touched only where rows land: a file
        // that claims a large frame and holds little costs little.
        frame_.reset(static_cast<std::uint8_t*>(std::calloc(rowBytes_ * static_cast<std::size_t>(Height()), 1)));
        if (!frame_) throw EOutOfMemory(msg::OutOfMemory);
        const int bits = format_.BitsPerPixel();
        std::vector<std::uint8_t> passRow, passPrev;
        for (const auto& p : kPass) {
            const int pw = (Width() - p[0] + p[2] - 1) / p[2];
            const int ph = (Height() - p[1] + p[3] - 1) / p[3];
            if (pw <= 0 || ph <= 0) continue;
            const std::size_t n = (static_cast<std::size_t>(pw) * static_cast<std::size_t>(bits) + 7) / 8;
            passRow.assign(n, 0);
            passPrev.assign(n, 0);
            for (int j = 0; j < ph; ++j) {
                const int y = p[1] + j * p[3];
                Unfilter(passRow.data(), passPrev.data(), n, y);
                std::uint8_t* out = frame_.get() + static_cast<std::size_t>(y) * rowBytes_;
                if (bits >= 8) {
                    const std::size_t b = static_cast<std::size_t>(bits / 8);
                    for (int k = 0; k < pw; ++k)
                        std::memcpy(out + static_cast<std::size_t>(p[0] + k * p[2]) * b, passRow.data() + k * b, b);
                } else {
                    const unsigned mask = (1u << bits) - 1;
                    for (int k = 0; k < pw; ++k) {
                        const int from = k * bits, to = (p[0] + k * p[2]) * bits;
                        const unsigned v =
                            (passRow[static_cast<std::size_t>(from / 8)] >> (8 - bits - from % 8)) & mask;
                        out[to / 8] = static_cast<std::uint8_t>(out[to / 8] | (v << (8 - bits - to % 8)));
                    }
                }
                std::swap(passRow, passPrev);
            }
        }
    }

    // Reads the stream to its end, past the last scanline, so that its
    // Adler-32 is checked however much more it holds. Data past the picture
    // is let pass up to a bound (the picture's own size and 64 MB more);
    // past that the checksum would take too long to reach, and the file is
    // refused rather than taken unchecked.
    void DrainStream() {
        std::uint8_t spare[4096];
        const std::uint64_t bound = expectedOut_ + (std::uint64_t{64} << 20);
        std::uint64_t extraOut = 0;
        while (z_->block_state != ISAL_BLOCK_FINISH) {
            z_->next_out = spare;
            z_->avail_out = sizeof spare;
            Step();
            extraOut += sizeof spare - z_->avail_out;
            if (extraOut > bound) FailInData("the image data holds far more than the picture");
        }
        if (extraOut) Warn(warning_kind::Corrupt, "the image data holds more than the picture");
        // What is left of the chunk the stream ended in is still under its CRC.
        bool extra = z_->avail_in > 0 || idatFed_ < idat_.data.size();
        if (idatFed_ < idat_.data.size()) {
            idatCrc_ = Crc32(idatCrc_, idat_.data.data() + idatFed_, idat_.data.size() - idatFed_);
            idatFed_ = idat_.data.size();
            if (idatCrc_ != idat_.storedCrc) Fail("the CRC of chunk IDAT is wrong");
        }
        // IDAT chunks may follow the stream's end; they must be sound, and
        // their data is not used.
        for (;;) {
            const std::size_t at = in_.Position();
            Chunk c;
            if (ReadChunk(in_, c) != ChunkRead::Ok || c.type != kIDAT) {
                in_.Seek(at);
                break;
            }
            if (!CrcMatches(bytes_, c)) Fail("the CRC of chunk IDAT is wrong");
            extra = extra || !c.data.empty();
        }
        if (extra) Warn(warning_kind::Corrupt, "data follows the end of the image data's stream");
    }

    // The chunks after the image data, up to IEND and past it.
    void ReadTrailer() {
        for (;;) {
            Chunk c;
            switch (ReadChunk(in_, c)) {
                case ChunkRead::None:
                    Warn(warning_kind::Truncated, "the file ends before its IEND chunk");
                    return;
                case ChunkRead::Cut:
                    Warn(warning_kind::Truncated, c.type ? "the file ends inside chunk " + TypeName(c.type)
                                                         : std::string("the file ends before its IEND chunk"));
                    return;
                case ChunkRead::NotAChunk:
                    Warn(warning_kind::Corrupt, "the bytes after the image data are not a chunk");
                    return;
                case ChunkRead::Ok:
                    break;
            }
            const bool crcOk = CrcMatches(bytes_, c);
            if (!crcOk && Critical(c.type)) Fail("the CRC of chunk " + TypeName(c.type) + " is wrong");
            if (crcOk && !ValidType(c.type)) {
                Warn(warning_kind::Corrupt, "the bytes after the image data are not a chunk");
                return;
            }
            if (c.type == kIHDR) Fail("a second IHDR chunk");
            if (c.type == kPLTE) Fail("a PLTE chunk after the image data");
            if (c.type == kIDAT) Fail("a second run of IDAT chunks");
            if (c.type == kIEND) {
                if (!c.data.empty()) Warn(warning_kind::Corrupt, "the IEND chunk holds data");
                if (!in_.AtEnd())
                    Warn(warning_kind::Corrupt, std::to_string(in_.Remaining()) + " bytes follow the IEND chunk");
                return;
            }
            if (Critical(c.type)) Fail("an unknown critical chunk " + TypeName(c.type));
            if (!crcOk)
                Warn(warning_kind::Corrupt, "the CRC of chunk " + TypeName(c.type) + " is wrong; the chunk is skipped");
        }
    }

    void Report(std::size_t done) {
        if (consumed_ && done >= reported_ + kReportEvery) {
            reported_ = done;
            consumed_(done);
        } else if (consumed_ && done == bytes_.size() && done > reported_) {
            reported_ = done;
            consumed_(done);
        }
    }

    ByteSpan bytes_;
    ByteReader in_;
    std::function<void(std::size_t)> consumed_;
    std::size_t reported_ = 0;

    bool interlaced_ = false;
    int pixelBytes_ = 1;
    const png::Unfilters* kernels_ = nullptr;
    std::size_t rowBytes_ = 0;

    // The IDAT chunk being fed and how much of it has gone in.
    Chunk idat_;
    std::size_t idatFed_ = 0;
    std::uint32_t idatCrc_ = 0;
    bool idatOpen_ = false;
    std::uint8_t zlibBytes_[2] = {};
    int zlibHeader_ = 0;
    std::unique_ptr<inflate_state> z_ = std::make_unique<inflate_state>();
    std::uint64_t expectedOut_ = 0, producedOut_ = 0;

    std::vector<std::uint8_t> stage_;
    std::size_t stagePos_ = 0, stageEnd_ = 0;
    std::vector<std::uint8_t> prev_;
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> frame_;
    int nextRow_ = 0;
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<RowSource> OpenPngRows(ByteSpan bytes, const Limits& limits,
                                       std::function<void(std::size_t)> consumed) {
    return std::make_unique<PngRows>(bytes, limits, std::move(consumed));
}

}  // namespace duvo
