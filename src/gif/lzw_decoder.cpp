// The fast LZW decoder. It behaves exactly like the reference decoder
// (lzw_reference.cpp) but writes each code's whole string at once.
//
// Every table entry made from a well-formed chain remembers where its string
// was first written (start, length, first value): the string of the previous
// code followed by the first value of the current one, which sit next to
// each other in the output. A known string is then one short copy from
// earlier output. Damaged data makes entries whose chain is not such a copy:
// a previous code beyond the table, the end code answered as a value after a
// clear, or an entry built on one of those. Those codes take the slow road,
// the same prefix/suffix walk as the reference, so the pixels come out the
// same whatever the table holds.
//
// Rows are written in storage order; an interlaced frame is then put into
// display order row by row.
#include <cstring>
#include <memory>
#include <vector>

#include "gif/gif_image.h"
#include "gif/lzw.h"

namespace duvo {

namespace {

constexpr int kTableSize = 4096;
constexpr int kStackSize = 8192;
constexpr int kBufferSize = 2 + 255 + 8;
// Bytes a short copy may write past the end of its string.
constexpr std::size_t kCopySlack = 16;

struct Known {
    std::uint32_t start;  // where the string was first written
    std::uint16_t length;  // 0: not a copy of earlier output
    std::uint16_t first;  // first value of the string
};

class FastDecoder {
public:
    FastDecoder(ByteReader& in, const LzwWarn& warn) : in_(in), warn_(warn) {}

    void Decode(const LzwFrame& frame) {
        const std::size_t total = std::size_t{frame.width} * frame.height;
        std::uint8_t size = 0;
        if (!in_.TryU8(size)) {
            if (total != 0) std::memset(frame.pixels, frame.fill, total);
            return;
        }
        if (size > 11) throw GIFException(msg::GIFInvalidData);
        m_ = size;
        clear_ = 1 << m_;
        end_ = clear_ + 1;
        codeSize_ = m_ + 1;
        sizeLimit_ = 2 * clear_;
        nextFree_ = clear_ + 2;
        out_ = frame.pixels;
        limit_ = total;

        // The reference asks for one more value after the frame. It reads a
        // code unless values of the last string are still waiting.
        bool extraReads = true;
        while (pos_ < total) {
            const long produced = NextString();
            if (produced < 0) {
                extraReads = produced == -1;
                break;
            }
            if (pos_ + static_cast<std::size_t>(produced) > total) {
                pos_ = total;
                extraReads = false;
                break;
            }
            pos_ += static_cast<std::size_t>(produced);
        }
        if (extraReads) {
            limit_ = 0;
            NextString();
        }
        // Short copies may have run past the last string.
        if (pos_ < total) std::memset(frame.pixels + pos_, frame.fill, total - pos_);
        if (frame.interlaced) ToDisplayOrder(frame);
    }

private:
    // The values of the next code, written from pos_ up to limit_. Returns
    // how many values the code stands for, -1 when the data ran out and -2
    // on the end code (which needs no further request).
    long NextString() {
        if (finished_) return -2;
        int code = ReadCode();
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
        if (code < clear_) {
            if (pos_ < limit_) out_[pos_] = static_cast<std::uint8_t>(code);
            length = 1;
            first = code;
        } else if (code < nextFree && known_[code].length != 0) {
            const Known k = known_[code];
            Copy(k.start, k.length);
            length = k.length;
            first = k.first;
        } else if (code >= nextFree && prevKnown_) {
            // The previous string and its own first value.
            Copy(prevStart_, prevLength_);
            if (pos_ + prevLength_ < limit_) out_[pos_ + prevLength_] = static_cast<std::uint8_t>(firstValue_);
            length = std::size_t{prevLength_} + 1;
            first = firstValue_;
            known = code == nextFree;
        } else {
            length = Walk(code, first);
            known = false;
        }

        if (nextFree <= kTableSize - 1) {
            prefix_[nextFree] = static_cast<std::uint16_t>(prevCode_);
            suffix_[nextFree] = static_cast<std::uint16_t>(first);
            known_[nextFree] = prevKnown_ ? Known{prevStart_, static_cast<std::uint16_t>(prevLength_ + 1),
                                                  static_cast<std::uint16_t>(firstValue_)}
                                          : Known{0, 0, 0};
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
        return static_cast<long>(length);
    }

    // n bytes from src to pos_; src + n <= pos_, so every byte of the string
    // is read before anything is written over it.
    void Copy(std::uint32_t src, std::size_t n) {
        if (pos_ + n + kCopySlack <= limit_) {
            const std::uint8_t* s = out_ + src;
            std::uint8_t* d = out_ + pos_;
            for (std::size_t done = 0; done < n; done += 16) {
                std::uint8_t chunk[16];
                std::memcpy(chunk, s + done, 16);
                std::memcpy(d + done, chunk, 16);
            }
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
        while (code >= clear_) {
            push(suffix_[code]);
            if (prefix_[code] == code) throw GIFException(msg::GIFCircularEntry);
            code = prefix_[code];
        }
        first = suffix_[code];
        push(first);
        for (int i = 0; i < sp && pos_ + i < limit_; ++i) out_[pos_ + i] = static_cast<std::uint8_t>(stack_[sp - 1 - i]);
        return static_cast<std::size_t>(sp);
    }

    void ResetTable() {
        for (int k = 0; k < clear_; ++k) {
            prefix_[k] = 0;
            suffix_[k] = static_cast<std::uint16_t>(k);
        }
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
    std::uint16_t prefix_[kTableSize] = {};
    std::uint16_t suffix_[kTableSize] = {};
    Known known_[kTableSize] = {};
    std::uint16_t stack_[kStackSize] = {};

    std::uint8_t buf_[kBufferSize] = {};
    int bitPos_ = 0, bitLimit_ = 0, bufLen_ = 2;
    bool done_ = false, termSeen_ = false, fresh_ = true, finished_ = false;
};

}  // namespace

void DecodeLzwFast(ByteReader& reader, const LzwFrame& frame, const LzwWarn& warn) {
    auto decoder = std::make_unique<FastDecoder>(reader, warn);
    decoder->Decode(frame);
}

}  // namespace duvo
