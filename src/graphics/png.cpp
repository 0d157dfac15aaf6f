#include "graphics/png.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "rtl/exceptions.h"

namespace duvo {

using platform::Raster;

namespace {

struct CtxFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxFree>;

[[noreturn]] void Fail(int rc) {
    // A file cut short is the common damage; say so plainly.
    const char* why = rc == SPNG_IO_EOF ? "the file ends too early" : spng_strerror(rc);
    throw EInvalidGraphic(Format(msg::PNGError, {why}));
}

void Check(int rc) {
    if (rc != 0) Fail(rc);
}

// Hands the library the bytes in order and tells the caller, every few
// megabytes, how far it got.
struct Source {
    ByteSpan bytes;
    std::size_t pos = 0;
    std::size_t reported = 0;
    const std::function<void(std::size_t)>* consumed;

    static int Read(spng_ctx*, void* user, void* dest, std::size_t length) {
        auto& s = *static_cast<Source*>(user);
        if (length > s.bytes.size() - s.pos) return SPNG_IO_EOF;
        std::memcpy(dest, s.bytes.data() + s.pos, length);
        s.pos += length;
        constexpr std::size_t kReportEvery = std::size_t{8} << 20;
        if (*s.consumed && s.pos - s.reported >= kReportEvery) {
            s.reported = s.pos;
            (*s.consumed)(s.pos);
        }
        return 0;
    }
};

// Red and blue change places: the library gives R, G, B and a 24-bit raster
// holds B, G, R.
void SwapRedBlue(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
}

void FromRgba8(const std::uint8_t* src, int width, std::uint8_t* out, std::uint8_t* alpha) {
    for (int x = 0; x < width; ++x, src += 4, out += 3) {
        const std::uint32_t a = src[3];
        out[0] = OverWhite8(src[2], a);
        out[1] = OverWhite8(src[1], a);
        out[2] = OverWhite8(src[0], a);
        alpha[x] = static_cast<std::uint8_t>(a);
    }
}

void FromRgba16(const std::uint16_t* src, int width, std::uint8_t* out, std::uint8_t* alpha, std::uint16_t* deep) {
    for (int x = 0; x < width; ++x, src += 4, out += 3, deep += 4) {
        const std::uint32_t a = src[3];
        for (int c = 0; c < 3; ++c) deep[c] = OverWhite16(src[c], a);
        deep[3] = static_cast<std::uint16_t>(a);
        out[0] = Round16To8(deep[2]);
        out[1] = Round16To8(deep[1]);
        out[2] = Round16To8(deep[0]);
        if (alpha) alpha[x] = Round16To8(a);
    }
}

}  // namespace

PngDecoded DecodePng(ByteSpan bytes, const Limits& limits, const std::function<void(std::size_t)>& consumed) {
    Ctx ctx(spng_ctx_new(0));
    if (!ctx) throw EOutOfMemory(msg::OutOfMemory);
    Source source{bytes, 0, 0, &consumed};
    Check(spng_set_png_stream(ctx.get(), Source::Read, &source));
    // The library checks sides against the format's maximum only; the
    // pixel limit is ours, checked before the library allocates anything.
    Check(spng_set_image_limits(ctx.get(), 0x7FFFFFFF, 0x7FFFFFFF));
    // Text, profiles and unknown chunks are not used; a huge one must not be
    // held in memory either.
    Check(spng_set_chunk_limits(ctx.get(), std::size_t{16} << 20, std::size_t{64} << 20));

    spng_ihdr ihdr{};
    Check(spng_get_ihdr(ctx.get(), &ihdr));
    CheckPictureSize(ihdr.width, ihdr.height, limits);
    const int width = static_cast<int>(ihdr.width);
    const int height = static_cast<int>(ihdr.height);
    const std::uint64_t pixels = std::uint64_t{ihdr.width} * ihdr.height;

    spng_trns trns{};
    const int trnsRc = spng_get_trns(ctx.get(), &trns);
    if (trnsRc != 0 && trnsRc != SPNG_ECHUNKAVAIL) Fail(trnsRc);
    const bool hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                          ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || trnsRc == 0;
    const bool deep = ihdr.bit_depth == 16;
    const bool interlaced = ihdr.interlace_method != 0;

    // Everything this decode keeps or holds at once, against the byte limit.
    const int fmt = deep ? SPNG_FMT_RGBA16 : hasAlpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    const std::uint64_t decodeBytesPerPixel = deep ? 8 : hasAlpha ? 4 : 0;
    const std::uint64_t total =
        pixels * (3 + (hasAlpha ? 1 : 0) + (deep ? 8 : 0)) + (interlaced ? pixels * decodeBytesPerPixel : 0);
    if (total > limits.decodedBytes)
        throw EPictureTooLarge(Format(msg::TooManyBytes, {std::to_string(limits.decodedBytes)}));

    PngDecoded out;
    out.bitDepth = ihdr.bit_depth;
    out.colorType = ihdr.color_type;
    out.interlaced = interlaced;
    platform::RasterFormat format;
    format.bitCount = 24;
    std::shared_ptr<Raster> raster = Raster::Create(width, -height, format, nullptr, 0, Raster::Fill::Zero);
    if (hasAlpha) out.side.alpha.resize(pixels);
    if (deep) out.side.deep.resize(pixels * 4);

    Check(spng_decode_image(ctx.get(), nullptr, 0, fmt, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE));
    // Interlaced rows come back pass by pass, each pass adding pixels to rows
    // already seen, so the conversion waits for the last pass.
    const std::size_t rowBytes = static_cast<std::size_t>(width) * (fmt == SPNG_FMT_RGB8 ? 3 : decodeBytesPerPixel);
    std::vector<std::uint8_t> staging;
    if (fmt != SPNG_FMT_RGB8) staging.resize(interlaced ? rowBytes * static_cast<std::size_t>(height) : rowBytes);

    auto convert = [&](int y, const std::uint8_t* src) {
        std::uint8_t* row = raster->Row(y);
        const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        std::uint8_t* alpha = hasAlpha ? out.side.alpha.data() + at : nullptr;
        if (fmt == SPNG_FMT_RGB8)
            SwapRedBlue(row, width);
        else if (fmt == SPNG_FMT_RGBA8)
            FromRgba8(src, width, row, alpha);
        else
            FromRgba16(reinterpret_cast<const std::uint16_t*>(src), width, row, alpha, out.side.deep.data() + 4 * at);
    };

    int rc = 0;
    for (;;) {
        spng_row_info info{};
        rc = spng_get_row_info(ctx.get(), &info);
        if (rc) break;
        const int y = static_cast<int>(info.row_num);
        if (y >= height) Fail(SPNG_EINTERNAL);
        std::uint8_t* dst = fmt == SPNG_FMT_RGB8 ? raster->Row(y)
                            : interlaced         ? staging.data() + rowBytes * static_cast<std::size_t>(y)
                                                 : staging.data();
        rc = spng_decode_row(ctx.get(), dst, rowBytes);
        if (rc && rc != SPNG_EOI) break;
        if (!interlaced) convert(y, dst);
        if (rc == SPNG_EOI) break;
    }
    if (rc != SPNG_EOI) Fail(rc);
    if (interlaced)
        for (int y = 0; y < height; ++y)
            convert(y, fmt == SPNG_FMT_RGB8 ? nullptr : staging.data() + rowBytes * static_cast<std::size_t>(y));
    out.picture.raster = std::move(raster);
    return out;
}

namespace {

bool Pump(z_stream& z, int flush, std::vector<std::uint8_t>& out, std::size_t& used) {
    for (;;) {
        if (out.size() - used < 65536) out.resize(std::max<std::size_t>(out.size() * 2, used + 65536));
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(out.size() - used);
        const int rc = deflate(&z, flush);
        used = out.size() - z.avail_out;
        if (rc == Z_STREAM_ERROR) return false;
        if (flush == Z_FINISH ? rc == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0) return true;
    }
}

void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

PngBlockWriter::PngBlockWriter(int width, int height) : width_(width), height_(height) {
    if (width <= 0 || height <= 0) throw EInvalidGraphic(msg::InvalidBitmap);
}

PngBlockWriter::~PngBlockWriter() = default;

void PngBlockWriter::Block(int y0, int y1, const std::uint8_t* rows, std::ptrdiff_t stride) {
    Strip s;
    s.y0 = y0;
    s.y1 = y1;
    z_stream z{};
    // A difference picture is white but for its changes: unfiltered rows
    // and run-length deflate at the fastest level pack it about as small as
    // the slow settings would, several times faster. Each block is a raw
    // deflate stream of its own that ends on a byte boundary (a sync flush),
    // or with the final block for the last rows, so that the blocks'
    // streams join into one.
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) throw EOutOfMemory(msg::OutOfMemory);
    std::vector<std::uint8_t> line(1 + static_cast<std::size_t>(width_) * 3);
    s.adler = adler32(0, nullptr, 0);
    bool ok = true;
    for (int y = y0; y < y1 && ok; ++y) {
        const std::uint8_t* src = rows + (y - y0) * stride;
        line[0] = 0;  // filter type None
        std::uint8_t* dst = line.data() + 1;
        for (int x = 0; x < width_; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
        s.adler = adler32(s.adler, line.data(), static_cast<uInt>(line.size()));
        s.rawBytes += line.size();
        z.next_in = line.data();
        z.avail_in = static_cast<uInt>(line.size());
        const int flush = y + 1 < y1 ? Z_NO_FLUSH : y1 == height_ ? Z_FINISH : Z_SYNC_FLUSH;
        ok = Pump(z, flush, s.out, s.used);
    }
    deflateEnd(&z);
    if (!ok) throw EOutOfMemory(msg::OutOfMemory);
    std::lock_guard<std::mutex> g(lock_);
    strips_.push_back(std::move(s));
}

void PngBlockWriter::Save(const std::string& fileName) {
    std::sort(strips_.begin(), strips_.end(), [](const Strip& a, const Strip& b) { return a.y0 < b.y0; });
    // Every row exactly once, in order.
    int next = 0;
    for (const Strip& s : strips_) {
        if (s.y0 != next || s.y1 <= s.y0) throw EInvalidGraphic(msg::InvalidBitmap);
        next = s.y1;
    }
    if (next != height_) throw EInvalidGraphic(msg::InvalidBitmap);
    uLong adler = strips_[0].adler;
    for (std::size_t i = 1; i < strips_.size(); ++i)
        adler = adler32_combine(adler, strips_[i].adler, static_cast<z_off_t>(strips_[i].rawBytes));

    struct FileClose {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(fileName.c_str(), "wb"));
    if (!file) throw EFCreateError(Format(msg::FCreate, {fileName}));
    bool ok = true;
    auto chunk = [&](const char* type, std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> pieces) {
        std::size_t length = 0;
        for (const auto& p : pieces) length += p.second;
        std::uint8_t head[8];
        PutU32(head, static_cast<std::uint32_t>(length));
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, head + 4, 4);
        ok = ok && std::fwrite(head, 1, 8, file.get()) == 8;
        for (const auto& p : pieces) {
            crc = crc32(crc, p.first, static_cast<uInt>(p.second));
            ok = ok && (p.second == 0 || std::fwrite(p.first, 1, p.second, file.get()) == p.second);
        }
        std::uint8_t tail[4];
        PutU32(tail, static_cast<std::uint32_t>(crc));
        ok = ok && std::fwrite(tail, 1, 4, file.get()) == 4;
    };
    const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ok = std::fwrite(signature, 1, 8, file.get()) == 8;
    std::uint8_t ihdr[13] = {};
    PutU32(ihdr, static_cast<std::uint32_t>(width_));
    PutU32(ihdr + 4, static_cast<std::uint32_t>(height_));
    ihdr[8] = 8;  // bits per sample
    ihdr[9] = 2;  // RGB
    chunk("IHDR", {{ihdr, sizeof ihdr}});
    // One IDAT per block; a chunk holds less than 2^31 bytes, so a large
    // block goes out in pieces.
    const std::uint8_t zlibHeader[2] = {0x78, 0x01};  // deflate, 32K window, fastest level
    std::uint8_t trailer[4];
    PutU32(trailer, static_cast<std::uint32_t>(adler));
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (std::size_t i = 0; i < strips_.size(); ++i) {
        const Strip& part = strips_[i];
        std::size_t at = 0;
        do {
            const std::size_t n = std::min(kChunk, part.used - at);
            const bool first = i == 0 && at == 0;
            const bool last = i + 1 == strips_.size() && at + n == part.used;
            chunk("IDAT", {{zlibHeader, first ? 2u : 0u}, {part.out.data() + at, n}, {trailer, last ? 4u : 0u}});
            at += n;
        } while (at < part.used);
    }
    chunk("IEND", {});
    if (!ok || std::fflush(file.get()) != 0 || std::ferror(file.get())) throw EWriteError(msg::StreamWrite);
    if (std::fclose(file.release()) != 0) throw EWriteError(msg::StreamWrite);
}

void WritePngFile(const TBitmap& bitmap, const std::string& fileName, unsigned threads) {
    TBitmap converted;
    const TBitmap* source = &bitmap;
    if (bitmap.PixelKind() != pk24Bit || !bitmap.Raster()) {
        converted.CopyFrom(&bitmap);
        converted.SetPixelKind(pk24Bit);
        source = &converted;
    }
    const Raster* raster = source->Raster();
    if (!raster || raster->Width() <= 0 || raster->Height() <= 0) throw EInvalidGraphic(msg::InvalidBitmap);
    const int height = raster->Height();
    PngBlockWriter writer(raster->Width(), height);
    // Strips deflate side by side; each is worth a thread only with enough rows.
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const int strips = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(threads, height / 64), 1, 64));
    auto strip = [&](int i) {
        const int y0 = static_cast<int>(std::int64_t{height} * i / strips);
        const int y1 = static_cast<int>(std::int64_t{height} * (i + 1) / strips);
        writer.Block(y0, y1, raster->Row(y0), raster->RowStep());
    };
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(strips));
    {
        std::vector<std::thread> pool;
        struct Joiner {
            std::vector<std::thread>& pool;
            ~Joiner() {
                for (auto& t : pool) t.join();
            }
        } joiner{pool};
        for (int i = 1; i < strips; ++i)
            pool.emplace_back([&, i] {
                try {
                    strip(i);
                } catch (...) {
                    errors[static_cast<std::size_t>(i)] = std::current_exception();
                }
            });
        strip(0);
    }
    for (const auto& e : errors)
        if (e) std::rethrow_exception(e);
    writer.Save(fileName);
}

}  // namespace duvo
