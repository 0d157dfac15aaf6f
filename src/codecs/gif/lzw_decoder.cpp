// The fast LZW decoder. It behaves exactly like the reference decoder
// (lzw_reference.cpp) but writes each code's whole string at once.
//
// Every table entry made from a well-formed chain is a known string: the
// string of the previous code followed by the first value of the current
// one, which sit next to each other in the output. The table keeps its
// length, its first value, where it was first written and, up to 8 values,
// the string itself; a known string is then one 8-byte store or one short
// copy from earlier output. Damaged data makes entries whose chain is not
// such a string: a previous code beyond the table, the end code answered as
// a value after a clear, or an entry built on one of those. Those keep the
// reference's prefix and suffix and take its walk, so the pixels come out
// the same whatever the table holds.
//
// Rows are written in storage order; an interlaced frame is then put into
// display order row by row.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/gif/gif_errors.h"
#include "codecs/gif/lzw.h"

namespace duvo {

namespace {

constexpr int kTableSize = 4096;
// Output of one fill of the streaming window, and the most one code can
// give (the walk's stack; a known string is at most one longer per code
// since the last clear, so far shorter).
constexpr std::size_t kWindow = std::size_t{1} << 17;
constexpr std::size_t kMaxString = 8192;
constexpr std::size_t kArenaStart = std::size_t{1} << 16;
constexpr int kStackSize = 8192;
constexpr int kBufferSize = 2 + 255 + 8;
// Bytes a short copy may write past the end of its string.
constexpr std::size_t kCopySlack = 16;

// What the fast decoder knows of a table entry; one 16-byte record, so a
// code costs one cache line.
struct Known {
    // The string itself when it is at most 8 values long, first value lowest:
    // short strings are stored from here, not copied from earlier output.
    std::uint64_t bytes;
    std::uint32_t start;   // where the string was first written
    std::uint16_t length;  // 0: not a copy of earlier output
    std::uint16_t first;   // first value of the string
};

// Makes e the known string of the given start, length, bytes and first
// value, followed by the value next. Field by field: the next code often
// reads the entry back at once, and whole-record stores forward badly.
inline void Extend(Known& e, std::uint32_t start, std::uint32_t length, std::uint64_t bytes, int first, int next) {
    e.bytes = length < 8 ? bytes | std::uint64_t{static_cast<std::uint8_t>(next)} << (8 * length) : 0;
    e.start = start;
    e.length = static_cast<std::uint16_t>(length + 1);
    e.first = static_cast<std::uint16_t>(first);
}

}  // namespace

class LzwFastDecoder {
public:
    LzwFastDecoder(ByteReader& in, const LzwWarn& warn) : in_(in), warn_(warn) {}

    std::size_t Decode(const LzwFrame& frame) {
        const std::size_t total = std::size_t{frame.width} * frame.height;
        if (!Start()) {
            if (total != 0) std::memset(frame.pixels, frame.fill, total);
            return 0;
        }
        out_ = frame.pixels;
        limit_ = total;

        // The reference asks for one more value after the frame. It reads a
        // code unless values of the last string are still waiting.
        bool extraReads = true;
        if (total > 0 && Advance(NextString(), total, total, extraReads)) Run(total, total, extraReads);
        if (extraReads) {
            limit_ = 0;
            NextString();
        }
        // Short copies may have run past the last string.
        const std::size_t decoded = std::min(pos_, total);
        if (pos_ < total) std::memset(frame.pixels + pos_, frame.fill, total - pos_);
        if (frame.interlaced) ToDisplayOrder(frame);
        return decoded;
    }

    // ---- a frame a piece at a time --------------------------------------------------
    //
    // The same decode with the output in a window of our own, handed out as
    // the caller asks. Table entries copy their strings from earlier output,
    // so before the window is used again the strings that entries of the
    // current table still name move to an arena in front of it (each entry
    // at most once: it lives until the next clear code, and the arena starts
    // over after one), and the previous string moves to the window's start,
    // where the next code may extend it. The codes themselves run through
    // Run and Process exactly as for a whole frame.

    void BeginStream(std::uint64_t pixels, std::uint8_t fill) {
        streamTotal_ = pixels;
        fill_ = fill;
        if (!Start()) {
            noData_ = streamDone_ = true;
            return;
        }
        Allocate(kArenaStart);
        out_ = buffer_.get();
        pos_ = emit_ = arenaCap_;
        streamDone_ = pixels == 0;
    }

    void ReadStream(std::uint8_t* dst, std::size_t n) {
        while (n > 0) {
            if (emit_ == pos_) {
                if (streamDone_) {
                    std::memset(dst, fill_, n);
                    return;
                }
                FillWindow();
                continue;
            }
            const std::size_t k = std::min(n, pos_ - emit_);
            std::memcpy(dst, buffer_.get() + emit_, k);
            emit_ += k, dst += k, n -= k;
        }
    }

    std::uint64_t FinishStream() {
        while (!streamDone_) {
            emit_ = pos_;
            FillWindow();
        }
        if (!noData_ && extraReads_) {
            limit_ = 0;
            NextString();
        }
        return std::min(produced_, streamTotal_);
    }

private:
    // Moves past the values of one code; false when decoding stops (the
    // data ended, or the frame did: halted_) or pauses at stop.
    bool Advance(long produced, std::size_t total, std::size_t stop, bool& extraReads) {
        if (produced < 0) {
            extraReads = produced == -1;
            halted_ = true;
            return false;
        }
        if (pos_ + static_cast<std::size_t>(produced) > total) {
            pos_ = total;
            extraReads = false;
            halted_ = true;
            return false;
        }
        pos_ += static_cast<std::size_t>(produced);
        return pos_ < stop;
    }

    // The common codes with the decoder's state in locals: a code of the
    // table whose string is known (literals included) or the previous string
    // and its first value, when its bits are in the buffer and its string
    // fits before the end with room for a short copy. Anything else goes
    // through Process with the state put back; so does every code after one
    // that left no known string, which keeps prevKnown_ true in here. Writes
    // stay below total; decoding pauses once the output reaches stop.
#if defined(__GNUC__) && !defined(__clang__)
    // GCC packs the loop's state into vector registers otherwise, which costs
    // a quarter of the speed.
    __attribute__((optimize("no-tree-slp-vectorize")))
#endif
    void
    Run(std::size_t total, std::size_t stop, bool& extraReads) {
        std::uint8_t* const out = out_;
        const std::uint8_t* const buf = buf_;
        std::size_t pos;
        int bitPos, bitLimit, codeSize, nextFree, sizeLimit, firstValue;
        // The previous string ends where the next one starts: its start is
        // pos - prevLength.
        std::uint32_t prevLength;
        std::uint64_t prevBytes;
        auto load = [&] {
            pos = pos_;
            bitPos = bitPos_, bitLimit = bitLimit_;
            codeSize = codeSize_, nextFree = nextFree_, sizeLimit = sizeLimit_;
            firstValue = firstValue_;
            prevLength = prevLength_, prevBytes = prevBytes_;
        };
        auto save = [&] {
            pos_ = pos;
            bitPos_ = bitPos, bitLimit_ = bitLimit;
            codeSize_ = codeSize, nextFree_ = nextFree, sizeLimit_ = sizeLimit;
            // prevCode_ is left behind: only the walk of an unknown string
            // reads it, and the codes run here leave a known one.
            firstValue_ = firstValue;
            prevKnown_ = true, prevStart_ = static_cast<std::uint32_t>(pos - prevLength), prevLength_ = prevLength;
            prevBytes_ = prevBytes;
        };
        while (!prevKnown_)
            if (!Advance(NextString(), total, stop, extraReads)) return;
        load();
        for (;;) {
            const int n = codeSize;
            int code = -1;
            std::size_t length = 0;
            int first = 0;
            std::uint64_t bytes = 0;
            if (bitPos + n < bitLimit) [[likely]] {
                code = static_cast<int>((LoadU32(buf + (bitPos >> 3)) >> (bitPos & 7)) & ((1u << n) - 1));
                if (code < nextFree) [[likely]] {
                    const Known& k = known_[code];
                    const std::size_t kl = k.length;
                    if (kl - 1u < 8u && pos + kCopySlack <= total) {
                        bytes = k.bytes;
                        std::memcpy(out + pos, &bytes, 8);
                        length = kl;
                        first = k.first;
                    } else if (kl > 8 && pos + kl + kCopySlack <= total) {
                        CopyShort(out + k.start, out + pos, kl);
                        length = kl;
                        first = k.first;
                    }
                } else if (code == nextFree && pos + prevLength + 1 + kCopySlack <= total) {
                    if (prevLength < 8) {
                        bytes = prevBytes | std::uint64_t{static_cast<std::uint8_t>(firstValue)} << (8 * prevLength);
                        std::memcpy(out + pos, &bytes, 8);
                    } else {
                        CopyShort(out + pos - prevLength, out + pos, prevLength);
                        out[pos + prevLength] = static_cast<std::uint8_t>(firstValue);
                    }
                    length = std::size_t{prevLength} + 1;
                    first = firstValue;
                }
            }
            if (length == 0) {
                save();
                long produced;
                if (code < 0) {
                    produced = NextString();
                } else {
                    bitPos_ += n;
                    produced = Process(code);
                }
                if (!Advance(produced, total, stop, extraReads)) return;
                while (!prevKnown_)
                    if (!Advance(NextString(), total, stop, extraReads)) return;
                load();
                continue;
            }
            bitPos += n;
            if (nextFree <= kTableSize - 1) {
                Extend(known_[nextFree], static_cast<std::uint32_t>(pos - prevLength), prevLength, prevBytes,
                       firstValue, first);
                ++nextFree;
                if (nextFree >= sizeLimit && sizeLimit <= kTableSize - 1) {
                    sizeLimit *= 2;
                    ++codeSize;
                }
            }
            firstValue = first;
            prevLength = static_cast<std::uint32_t>(length);
            prevBytes = bytes;
            pos += length;
            if (pos >= stop) break;
        }
        save();
    }

    // n bytes from s to d in 16-byte pieces; s + n <= d, so every byte of
    // the string is read before anything is written over it, and the caller
    // leaves room for the last piece.
    static void CopyShort(const std::uint8_t* s, std::uint8_t* d, std::size_t n) {
        for (std::size_t done = 0; done < n; done += 16) {
            std::uint8_t chunk[16];
            std::memcpy(chunk, s + done, 16);
            std::memcpy(d + done, chunk, 16);
        }
    }

    // The values of the next code, written from pos_ up to limit_. Returns
    // how many values the code stands for, -1 when the data ran out and -2
    // on the end code (which needs no further request).
    long NextString() {
        if (finished_) return -2;
        return Process(ReadCode());
    }

    long Process(int code) {
        if (code == clear_) {
            ResetTable();
            do code = ReadCode();
            while (code == clear_);
            firstValue_ = prevCode_ = code;
            if (code < 0) return -1;
            if (pos_ < limit_) out_[pos_] = static_cast<std::uint8_t>(code);
            prevKnown_ = code < clear_;
            prevStart_ = static_cast<std::uint32_t>(pos_);
            prevLength_ = 1;
            prevBytes_ = static_cast<std::uint8_t>(code);
            return 1;
        }
        if (code == end_) {
            finished_ = true;
            if (!termSeen_) {
                std::uint8_t count = 0;
                while (in_.TryU8(count) && count != 0) in_.SkipUpTo(count);
            }
            return -2;
        }
        if (code < 0) return -1;
        if (prevCode_ < 0) throw GIFException(msg::GIFInvalidData);

        const int nextFree = nextFree_;
        std::size_t length;
        int first;
        bool known = true;
        std::uint64_t bytes = 0;
        if (code < clear_) {
            if (pos_ < limit_) out_[pos_] = static_cast<std::uint8_t>(code);
            length = 1;
            first = code;
            bytes = static_cast<std::uint8_t>(code);
        } else if (code < nextFree && known_[code].length != 0) {
            const Known k = known_[code];
            Copy(k.start, k.length);
            length = k.length;
            first = k.first;
            bytes = k.bytes;
        } else if (code >= nextFree && prevKnown_) {
            // The previous string and its own first value.
            Copy(prevStart_, prevLength_);
            if (pos_ + prevLength_ < limit_) out_[pos_ + prevLength_] = static_cast<std::uint8_t>(firstValue_);
            length = std::size_t{prevLength_} + 1;
            first = firstValue_;
            known = code == nextFree;
            if (prevLength_ < 8)
                bytes = prevBytes_ | std::uint64_t{static_cast<std::uint8_t>(firstValue_)} << (8 * prevLength_);
        } else {
            length = Walk(code, first);
            known = false;
        }

        if (nextFree <= kTableSize - 1) {
            if (prevKnown_) {
                Extend(known_[nextFree], prevStart_, prevLength_, prevBytes_, firstValue_, first);
            } else {
                prefix_[nextFree] = static_cast<std::uint16_t>(prevCode_);
                suffix_[nextFree] = static_cast<std::uint16_t>(first);
                known_[nextFree] = Known{0, 0, 0, 0};
            }
            nextFree_ = nextFree + 1;
            if (nextFree_ >= sizeLimit_ && sizeLimit_ <= kTableSize - 1) {
                sizeLimit_ *= 2;
                ++codeSize_;
            }
        }
        // While the previous code is known, firstValue_ is its first value.
        firstValue_ = first;
        prevCode_ = code;
        prevKnown_ = known;
        prevStart_ = static_cast<std::uint32_t>(pos_);
        prevLength_ = static_cast<std::uint32_t>(length);
        prevBytes_ = bytes;
        return static_cast<long>(length);
    }

    // n bytes from src to pos_; src + n <= pos_, so every byte of the string
    // is read before anything is written over it.
    void Copy(std::uint32_t src, std::size_t n) {
        if (pos_ + n + kCopySlack <= limit_) {
            CopyShort(out_ + src, out_ + pos_, n);
            return;
        }
        for (std::size_t i = 0; i < n && pos_ + i < limit_; ++i) out_[pos_ + i] = out_[src + i];
    }

    // The reference's walk through prefixes, for codes whose string is not a
    // copy of earlier output.
    std::size_t Walk(int code, int& first) {
        int sp = 0;
        auto push = [&](int value) {
            if (sp == kStackSize) throw GIFException(msg::GIFCircularEntry);
            stack_[sp++] = static_cast<std::uint16_t>(value);
        };
        if (code >= nextFree_) {
            push(firstValue_);
            code = prevCode_;
        }
        // Entries made from known strings keep no prefix and suffix: the
        // walk takes their string whole. The rest (unknown entries, codes
        // beyond the table, the end code) are walked one link at a time.
        for (;;) {
            if (code < nextFree_ && known_[code].length != 0) {
                const Known& k = known_[code];
                if (sp + k.length > kStackSize) throw GIFException(msg::GIFCircularEntry);
                for (int i = k.length - 1; i > 0; --i) stack_[sp++] = out_[k.start + static_cast<std::uint32_t>(i)];
                first = k.first;
                stack_[sp++] = static_cast<std::uint16_t>(first);
                break;
            }
            push(suffix_[code]);
            if (prefix_[code] == code) throw GIFException(msg::GIFCircularEntry);
            code = prefix_[code];
        }
        for (int i = 0; i < sp && pos_ + i < limit_; ++i)
            out_[pos_ + i] = static_cast<std::uint8_t>(stack_[sp - 1 - i]);
        return static_cast<std::size_t>(sp);
    }

    void ResetTable() {
        cleared_ = true;
        for (int k = 0; k < clear_; ++k) {
            prefix_[k] = 0;
            suffix_[k] = static_cast<std::uint16_t>(k);
            // A literal is a known string of one value; the clear and end
            // codes are not strings at all.
            known_[k] = Known{static_cast<std::uint8_t>(k), 0, 1, static_cast<std::uint16_t>(k)};
        }
        known_[clear_] = known_[end_] = Known{0, 0, 0, 0};
        std::memset(prefix_ + clear_, 0, sizeof(prefix_[0]) * (kTableSize - clear_));
        std::memset(suffix_ + clear_, 0, sizeof(suffix_[0]) * (kTableSize - clear_));
        codeSize_ = m_ + 1;
        sizeLimit_ = 2 * clear_;
        nextFree_ = clear_ + 2;
    }

    int ReadCode() {
        if (fresh_) [[unlikely]] {
            fresh_ = false;
            return clear_;
        }
        const int n = codeSize_;
        if (bitPos_ + n >= bitLimit_) [[unlikely]] {
            if (!Refill(n)) return -1;
        }
        // Four bytes from s: the code's bits lie in the first three, the rest
        // is masked away; the buffer's slack keeps the load inside it.
        const std::uint32_t v = LoadU32(buf_ + (bitPos_ >> 3)) >> (bitPos_ & 7);
        bitPos_ += n;
        return static_cast<int>(v & ((1u << n) - 1));
    }

    bool Refill(int n) {
        if (done_) {
            if (bitPos_ >= bitLimit_) warn_(msg::GIFBitUnderrun);
            return false;
        }
        do {
            buf_[0] = buf_[bufLen_ - 2];
            buf_[1] = buf_[bufLen_ - 1];
            std::uint8_t countByte = 0;
            if (!in_.TryU8(countByte)) return false;
            std::size_t count = countByte;
            if (count == 0) {
                termSeen_ = done_ = true;
            } else {
                if (in_.Remaining() < count) {
                    warn_(msg::GIFPrematureEnd);
                    count = in_.Remaining();
                }
                if (count > 0) std::memcpy(buf_ + 2, in_.Take(count).data(), count);
            }
            bufLen_ = static_cast<int>(count) + 2;
            bitPos_ = bitPos_ - bitLimit_ + 16;
            bitLimit_ = bufLen_ * 8;
        } while (bufLen_ > 2 && bitPos_ + n > bitLimit_);
        return true;
    }

    // Storage row s holds display row order[s]; moved in place, one cycle of
    // the permutation at a time.
    static void ToDisplayOrder(const LzwFrame& frame) {
        const std::uint32_t h = frame.height, w = frame.width;
        if (h < 2 || w == 0) return;
        std::vector<std::uint32_t> order(h), source(h);
        InterlacedRowOrder(h, order.data());
        for (std::uint32_t s = 0; s < h; ++s) source[order[s]] = s;
        std::vector<bool> placed(h, false);
        std::vector<std::uint8_t> held(w);
        auto row = [&](std::uint32_t r) { return frame.pixels + std::size_t{r} * w; };
        for (std::uint32_t start = 0; start < h; ++start) {
            if (placed[start] || source[start] == start) continue;
            std::memcpy(held.data(), row(start), w);
            std::uint32_t r = start;
            while (source[r] != start) {
                std::memcpy(row(r), row(source[r]), w);
                placed[r] = true;
                r = source[r];
            }
            std::memcpy(row(r), held.data(), w);
            placed[r] = true;
        }
    }

    bool Start() {
        std::uint8_t size = 0;
        if (!in_.TryU8(size)) return false;
        if (size > 11) throw GIFException(msg::GIFInvalidData);
        m_ = size;
        clear_ = 1 << m_;
        end_ = clear_ + 1;
        codeSize_ = m_ + 1;
        sizeLimit_ = 2 * clear_;
        nextFree_ = clear_ + 2;
        return true;
    }

    // The arena, then room for the carried previous string, one window and
    // the string that crosses its end, with slack for short copies.
    void Allocate(std::size_t arenaCap) {
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(arenaCap + 2 * kMaxString + kWindow + 64);
        arenaCap_ = arenaCap;
    }

    void FillWindow() {
        if (started_) {
            Recycle();
        } else {
            started_ = true;
            pos_ = arenaCap_;
        }
        const std::size_t begin = pos_;
        const std::uint64_t left = streamTotal_ - produced_;
        const std::size_t room = kWindow + kMaxString;
        // Values past the frame's end are cut as in a whole frame; the
        // window's end only pauses, and the string crossing it fits.
        const std::size_t frameEnd = left < room ? begin + static_cast<std::size_t>(left) : begin + room;
        const std::size_t stop = std::min(frameEnd, begin + kWindow);
        out_ = buffer_.get();
        limit_ = frameEnd;
        if (first_) {
            first_ = false;
            if (Advance(NextString(), frameEnd, stop, extraReads_)) Run(frameEnd, stop, extraReads_);
        } else {
            Run(frameEnd, stop, extraReads_);
        }
        produced_ += pos_ - begin;
        emit_ = begin;
        if (halted_ || produced_ >= streamTotal_) streamDone_ = true;
    }

    // Readies the window for the next fill; everything in it was handed out.
    void Recycle() {
        if (cleared_) {
            // No entry made before the clear is left to name the arena.
            arenaEnd_ = 0;
            cleared_ = false;
        }
        std::size_t base = arenaCap_;
        // The entries made in the window, in the order they were made, name
        // strings at rising places; strings that touch or overlap form one
        // run, moved whole, and the output between runs (strings no entry
        // names) stays behind.
        auto runs = [&](auto&& move) {
            std::size_t runLo = 0, runHi = 0, dest = arenaEnd_;
            bool open = false;
            for (int e = clear_ + 2; e < nextFree_; ++e) {
                Known& k = known_[e];
                if (k.length == 0 || k.start < base) continue;
                const std::size_t s = k.start, end = s + k.length;
                if (!open || s > runHi) {
                    if (open) dest = move(runLo, runHi, dest);
                    runLo = s, runHi = end, open = true;
                }
                runHi = std::max(runHi, end);
                move.entry(k, dest + (s - runLo));
            }
            if (open) dest = move(runLo, runHi, dest);
            return dest;
        };
        struct Count {
            std::size_t operator()(std::size_t lo, std::size_t hi, std::size_t dest) const { return dest + hi - lo; }
            void entry(Known&, std::size_t) const {}
        };
        const std::size_t need = runs(Count{});
        if (need > arenaCap_) base += GrowArena(need);
        struct Move {
            std::uint8_t* buffer;
            std::size_t operator()(std::size_t lo, std::size_t hi, std::size_t dest) const {
                std::memmove(buffer + dest, buffer + lo, hi - lo);
                return dest + hi - lo;
            }
            void entry(Known& k, std::size_t at) const { k.start = static_cast<std::uint32_t>(at); }
        };
        arenaEnd_ = runs(Move{buffer_.get()});
        std::size_t carry = 0;
        if (prevKnown_) {
            carry = prevLength_;
            std::memmove(buffer_.get() + base, buffer_.get() + prevStart_, carry);
            prevStart_ = static_cast<std::uint32_t>(base);
        }
        pos_ = emit_ = base + carry;
    }

    // A larger arena for at least need bytes; the window's content and
    // what names it move along. Returns how far the window moved.
    std::size_t GrowArena(std::size_t need) {
        const std::size_t oldBase = arenaCap_;
        std::unique_ptr<std::uint8_t[]> old = std::move(buffer_);
        Allocate(std::max(need, 2 * arenaCap_));
        const std::size_t shift = arenaCap_ - oldBase;
        std::memcpy(buffer_.get(), old.get(), arenaEnd_);
        std::memcpy(buffer_.get() + arenaCap_, old.get() + oldBase, pos_ - oldBase);
        for (int e = clear_ + 2; e < nextFree_; ++e) {
            Known& k = known_[e];
            if (k.length != 0 && k.start >= oldBase) k.start += static_cast<std::uint32_t>(shift);
        }
        if (prevStart_ >= oldBase) prevStart_ += static_cast<std::uint32_t>(shift);
        pos_ += shift;
        return shift;
    }

    ByteReader& in_;
    const LzwWarn& warn_;

    std::uint8_t* out_ = nullptr;
    std::size_t pos_ = 0;
    std::size_t limit_ = 0;

    int m_ = 0, clear_ = 0, end_ = 0;
    int codeSize_ = 0, nextFree_ = 0, sizeLimit_ = 0;
    int firstValue_ = 0, prevCode_ = 0;
    bool prevKnown_ = false;
    std::uint32_t prevStart_ = 0, prevLength_ = 0;
    // The previous string's bytes, when it is known and at most 8 long.
    std::uint64_t prevBytes_ = 0;
    std::uint16_t prefix_[kTableSize] = {};
    std::uint16_t suffix_[kTableSize] = {};
    Known known_[kTableSize] = {};
    std::uint16_t stack_[kStackSize] = {};

    std::uint8_t buf_[kBufferSize] = {};
    int bitPos_ = 0, bitLimit_ = 0, bufLen_ = 2;
    bool done_ = false, termSeen_ = false, fresh_ = true, finished_ = false;
    // The data ended, or the frame did (Advance).
    bool halted_ = false;
    // A clear code came since the window was last recycled.
    bool cleared_ = false;

    // The streaming window and its arena.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t arenaCap_ = 0, arenaEnd_ = 0;
    std::size_t emit_ = 0;  // the next value to hand out
    std::uint64_t streamTotal_ = 0, produced_ = 0;
    std::uint8_t fill_ = 0;
    bool started_ = false, first_ = true, streamDone_ = false, noData_ = false, extraReads_ = true;
};

std::size_t DecodeLzwFast(ByteReader& reader, const LzwFrame& frame, const LzwWarn& warn) {
    auto decoder = std::make_unique<LzwFastDecoder>(reader, warn);
    return decoder->Decode(frame);
}

LzwStream::LzwStream(ByteReader& reader, std::uint64_t pixels, std::uint8_t fill, LzwWarn warn)
    : warn_(std::move(warn)), decoder_(std::make_unique<LzwFastDecoder>(reader, warn_)) {
    decoder_->BeginStream(pixels, fill);
}

LzwStream::~LzwStream() = default;

void LzwStream::Read(std::uint8_t* dst, std::size_t n) { decoder_->ReadStream(dst, n); }

std::uint64_t LzwStream::Finish() { return decoder_->FinishStream(); }

}  // namespace duvo
