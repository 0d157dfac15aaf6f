#include "codecs/png/png_writer.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace duvo {

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

// Deflate's bits, least significant first, appended to out at used.
class BitWriter {
public:
    BitWriter(std::vector<std::uint8_t>& out, std::size_t& used) : out_(out), used_(used) {}
    void Put(std::uint32_t value, int bits) {
        acc_ |= static_cast<std::uint64_t>(value) << count_;
        count_ += bits;
        while (count_ >= 8) {
            Byte(static_cast<std::uint8_t>(acc_));
            acc_ >>= 8;
            count_ -= 8;
        }
    }
    // A Huffman code goes out from its top bit down.
    void Code(std::uint32_t code, int bits) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < bits; ++i) reversed |= ((code >> i) & 1u) << (bits - 1 - i);
        Put(reversed, bits);
    }
    void Align() {
        if (count_) Put(0, 8 - count_);
    }

private:
    void Byte(std::uint8_t b) {
        if (used_ == out_.size()) out_.resize(std::max<std::size_t>(out_.size() * 2, 65536));
        out_[used_++] = b;
    }
    std::vector<std::uint8_t>& out_;
    std::size_t& used_;
    std::uint64_t acc_ = 0;
    int count_ = 0;
};

// The fixed Huffman code of a literal/length symbol.
void FixedSymbol(BitWriter& bits, int symbol) {
    if (symbol < 144)
        bits.Code(0x30 + static_cast<std::uint32_t>(symbol), 8);
    else if (symbol < 256)
        bits.Code(0x190 + static_cast<std::uint32_t>(symbol - 144), 9);
    else if (symbol < 280)
        bits.Code(static_cast<std::uint32_t>(symbol - 256), 7);
    else
        bits.Code(0xC0 + static_cast<std::uint32_t>(symbol - 280), 8);
}

void FixedMatch(BitWriter& bits, int length, int distance) {
    static constexpr int kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr int kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr int kDistanceBase[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                            33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                            1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static constexpr int kDistanceExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    // 258 has a code of its own; the code below it with all extra bits set
    // means 258 too, but not every inflater takes it.
    int l = 28;
    if (length < 258)
        for (l = 27; kLengthBase[l] > length; --l) {
        }
    FixedSymbol(bits, 257 + l);
    if (kLengthExtra[l]) bits.Put(static_cast<std::uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
    int d = 29;
    while (kDistanceBase[d] > distance) --d;
    bits.Code(static_cast<std::uint32_t>(d), 5);
    if (kDistanceExtra[d]) bits.Put(static_cast<std::uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
}

// Matches of one distance for count bytes; no match is shorter than 3.
void FixedMatches(BitWriter& bits, std::size_t count, int distance) {
    while (count > 0) {
        std::size_t m = std::min<std::size_t>(count, 258);
        if (count - m > 0 && count - m < 3) m = count - 3;
        FixedMatch(bits, static_cast<int>(m), distance);
        count -= m;
    }
}

// Rows that repeat the line above, as one fixed-code block, then an empty
// stored block that brings the stream to a byte again. Difference pictures
// are mostly such rows: deflate would scan every byte of them to find what
// this says at once. A row of one byte value (white) is its filter byte,
// one pixel byte and a match one byte back, which packs as tight as
// run-length deflate does; any other row is a match a line back.
void RepeatedRows(std::vector<std::uint8_t>& out, std::size_t& used, const std::vector<std::uint8_t>& line,
                  std::size_t rows) {
    BitWriter bits(out, used);
    bits.Put(0, 1);  // not the last block
    bits.Put(1, 2);  // fixed codes
    const bool flat =
        line.size() >= 5 && std::all_of(line.begin() + 2, line.end(), [&](std::uint8_t b) { return b == line[1]; });
    if (flat) {
        for (std::size_t r = 0; r < rows; ++r) {
            FixedSymbol(bits, line[0]);
            FixedSymbol(bits, line[1]);
            FixedMatches(bits, line.size() - 2, 1);
        }
    } else {
        FixedMatches(bits, line.size() * rows, static_cast<int>(line.size()));
    }
    FixedSymbol(bits, 256);
    bits.Put(0, 1);
    bits.Put(0, 2);  // stored
    bits.Align();
    bits.Put(0x0000, 16);
    bits.Put(0xFFFF, 16);
}

void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

PngBlockWriter::PngBlockWriter(int width, int height, const std::string& fileName, bool alpha)
    : width_(width), height_(height), channels_(alpha ? 4 : 3) {
    if (width <= 0 || height <= 0) throw EInvalidGraphic(msg::InvalidBitmap);
    file_ = std::fopen(fileName.c_str(), "wb");
    if (!file_) throw EFCreateError(Format(msg::FCreate, {fileName}), SystemReason(errno));
    const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ok_ = std::fwrite(signature, 1, 8, file_) == 8;
    std::uint8_t ihdr[13] = {};
    PutU32(ihdr, static_cast<std::uint32_t>(width_));
    PutU32(ihdr + 4, static_cast<std::uint32_t>(height_));
    ihdr[8] = 8;                       // bits per sample
    ihdr[9] = channels_ == 4 ? 6 : 2;  // RGBA or RGB
    Chunk("IHDR", {{ihdr, sizeof ihdr}});
}

PngBlockWriter::~PngBlockWriter() {
    if (file_) std::fclose(file_);
}

void PngBlockWriter::Chunk(const char* type,
                           std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> pieces) {
    std::size_t length = 0;
    for (const auto& p : pieces) length += p.second;
    std::uint8_t head[8];
    PutU32(head, static_cast<std::uint32_t>(length));
    std::memcpy(head + 4, type, 4);
    std::uint32_t crc = crc32_gzip_refl(0, head + 4, 4);
    ok_ = ok_ && std::fwrite(head, 1, 8, file_) == 8;
    for (const auto& p : pieces) {
        crc = crc32_gzip_refl(crc, p.first, p.second);
        ok_ = ok_ && (p.second == 0 || std::fwrite(p.first, 1, p.second, file_) == p.second);
    }
    std::uint8_t tail[4];
    PutU32(tail, static_cast<std::uint32_t>(crc));
    ok_ = ok_ && std::fwrite(tail, 1, 4, file_) == 4;
    if (!ok_ && error_ == 0) error_ = errno ? errno : EIO;
}

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
    const int c = channels_;
    const std::size_t rowBytes = static_cast<std::size_t>(width_) * c;
    std::vector<std::uint8_t> line(1 + rowBytes);
    // A repeat is a match one line back, which deflate allows up to 32 KiB.
    const bool repeats = line.size() <= 32768;
    s.adler = 1;
    bool ok = true;
    std::size_t pending = 0;  // rows equal to the one above, not yet written
    auto writePending = [&] {
        // zlib first ends its block and forgets its window, so that nothing
        // it writes later refers to bytes it did not see.
        ok = ok && Pump(z, Z_FULL_FLUSH, s.out, s.used);
        if (ok) RepeatedRows(s.out, s.used, line, pending);
        pending = 0;
    };
    for (int y = y0; y < y1 && ok; ++y) {
        const std::uint8_t* src = rows + (y - y0) * stride;
        if (repeats && y > y0 && std::memcmp(src, src - stride, rowBytes) == 0) {
            // The line is still the one above.
            s.adler = isal_adler32(s.adler, line.data(), line.size());
            s.rawBytes += line.size();
            ++pending;
            continue;
        }
        if (pending) writePending();
        line[0] = 0;  // filter type None
        std::uint8_t* dst = line.data() + 1;
        for (int x = 0; x < width_; ++x) {
            dst[c * x] = src[c * x + 2];
            dst[c * x + 1] = src[c * x + 1];
            dst[c * x + 2] = src[c * x];
            if (c == 4) dst[4 * x + 3] = src[4 * x + 3];
        }
        s.adler = isal_adler32(s.adler, line.data(), line.size());
        s.rawBytes += line.size();
        z.next_in = line.data();
        z.avail_in = static_cast<uInt>(line.size());
        ok = Pump(z, Z_NO_FLUSH, s.out, s.used);
    }
    if (ok && pending) writePending();
    // Each block ends on a byte (a sync flush), or with the final block.
    z.avail_in = 0;
    ok = ok && Pump(z, y1 == height_ ? Z_FINISH : Z_SYNC_FLUSH, s.out, s.used);
    deflateEnd(&z);
    if (!ok) throw EOutOfMemory(msg::OutOfMemory);
    std::lock_guard<std::mutex> g(lock_);
    waiting_.push_back(std::move(s));
    WriteReady();
    if (!ok_) throw EWriteError(msg::StreamWrite, SystemReason(error_));
}

void PngBlockWriter::WriteReady() {
    // One IDAT per block; a chunk holds less than 2^31 bytes, so a large
    // block goes out in pieces.
    const std::uint8_t zlibHeader[2] = {0x78, 0x01};  // deflate, 32K window, fastest level
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (;;) {
        auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Strip& s) { return s.y0 == next_; });
        if (it == waiting_.end()) return;
        const Strip part = std::move(*it);
        waiting_.erase(it);
        const bool first = part.y0 == 0;
        const bool last = part.y1 == height_;
        adler_ = first ? part.adler : adler32_combine(adler_, part.adler, static_cast<z_off_t>(part.rawBytes));
        std::uint8_t trailer[4];
        PutU32(trailer, static_cast<std::uint32_t>(adler_));
        std::size_t at = 0;
        do {
            const std::size_t n = std::min(kChunk, part.used - at);
            const bool head = first && at == 0;
            const bool tail = last && at + n == part.used;
            Chunk("IDAT", {{zlibHeader, head ? 2u : 0u}, {part.out.data() + at, n}, {trailer, tail ? 4u : 0u}});
            at += n;
        } while (at < part.used);
        next_ = part.y1;
    }
}

void PngBlockWriter::Finish() {
    std::lock_guard<std::mutex> g(lock_);
    if (next_ != height_ || !waiting_.empty()) throw EInvalidGraphic(msg::InvalidBitmap);
    Chunk("IEND", {});
    if (!ok_) throw EWriteError(msg::StreamWrite, SystemReason(error_));
    if (std::fflush(file_) != 0 || std::ferror(file_)) throw EWriteError(msg::StreamWrite, SystemReason(errno));
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) throw EWriteError(msg::StreamWrite, SystemReason(errno));
}

}  // namespace duvo
