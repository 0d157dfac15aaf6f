// The reference LZW decoder: one value per request, through an output stack.
// Written to be checked line by line against the classic decoder, not to be
// fast; the fast decoder is tested and fuzzed against it.
#include <cstring>
#include <memory>

#include "codecs/gif/gif_errors.h"
#include "codecs/gif/lzw.h"

namespace duvo {

void InterlacedRowOrder(std::uint32_t height, std::uint32_t* rows) {
    std::uint32_t row = 0, step = 8, pass = 0;
    for (std::uint32_t s = 0; s < height; ++s) {
        rows[s] = row;
        row += step;
        while (row >= height) {
            if (pass > 0) step /= 2;
            ++pass;
            row = step / 2;
            // After the fourth pass step is 1 and row 0: the loop ends.
        }
    }
}

namespace {

constexpr int kTableSize = 4096;
constexpr int kStackSize = 8192;
// Two carried bytes, one sub-block, and slack for reading a few bytes past
// the valid ones (their bits are masked away).
constexpr int kBufferSize = 2 + 255 + 8;

class ReferenceDecoder {
public:
    ReferenceDecoder(ByteReader& in, const LzwWarn& warn) : in_(in), warn_(warn) {}

    std::size_t Decode(const LzwFrame& frame) {
        const std::size_t total = std::size_t{frame.width} * frame.height;
        if (total != 0) std::memset(frame.pixels, frame.fill, total);
        std::uint8_t size = 0;
        if (!in_.TryU8(size)) return 0;
        if (size > 11) throw GIFException(msg::GIFInvalidData);
        m_ = size;
        clear_ = 1 << m_;
        end_ = clear_ + 1;
        codeSize_ = m_ + 1;
        sizeLimit_ = 2 * clear_;
        nextFree_ = clear_ + 2;
        std::size_t decoded = 0;
        try {
            if (!frame.interlaced) {
                for (std::size_t i = 0; i < total; ++i) {
                    const int value = Request();
                    if (value < 0) break;
                    frame.pixels[i] = static_cast<std::uint8_t>(value);
                    ++decoded;
                }
            } else {
                std::uint32_t row = 0, step = 8, pass = 0;
                bool stopped = false;
                for (std::uint32_t y = 0; y < frame.height && !stopped; ++y) {
                    std::uint8_t* line = frame.pixels + std::size_t{row} * frame.width;
                    for (std::uint32_t x = 0; x < frame.width; ++x) {
                        const int value = Request();
                        if (value < 0) {
                            stopped = true;
                            break;
                        }
                        line[x] = static_cast<std::uint8_t>(value);
                        ++decoded;
                    }
                    row += step;
                    while (row >= frame.height) {
                        if (pass > 0) step /= 2;
                        ++pass;
                        row = step / 2;
                    }
                }
            }
        } catch (...) {
            Request();
            throw;
        }
        Request();
        return decoded;
    }

private:
    int Request() {
        if (finished_) return -2;
        if (sp_ > 0) return stack_[--sp_];
        return NextValue();
    }

    void Push(int value) {
        if (sp_ == kStackSize) throw GIFException(msg::GIFCircularEntry);
        stack_[sp_++] = value;
    }

    int NextValue() {
        int code = ReadCode();
        if (code == clear_) {
            for (int k = 0; k < clear_; ++k) {
                prefix_[k] = 0;
                suffix_[k] = k;
            }
            for (int k = clear_; k < kTableSize; ++k) prefix_[k] = suffix_[k] = 0;
            codeSize_ = m_ + 1;
            sizeLimit_ = 2 * clear_;
            nextFree_ = clear_ + 2;
            sp_ = 0;
            do code = ReadCode();
            while (code == clear_);
            firstValue_ = prevCode_ = code;
            return code;
        }
        if (code == end_) {
            finished_ = true;
            if (!termSeen_) {
                std::uint8_t count = 0;
                while (in_.TryU8(count) && count != 0) in_.SkipUpTo(count);
            }
            return -2;
        }
        if (code < 0) return code;
        // Once a read has answered -1 every later read does too, so no data
        // code follows a previous code of -1; refused all the same.
        if (prevCode_ < 0) throw GIFException(msg::GIFInvalidData);
        const int incoming = code;
        if (code >= nextFree_) {
            Push(firstValue_);
            code = prevCode_;
        }
        while (code >= clear_) {
            Push(suffix_[code]);
            if (prefix_[code] == code) throw GIFException(msg::GIFCircularEntry);
            code = prefix_[code];
        }
        firstValue_ = suffix_[code];
        Push(firstValue_);
        if (nextFree_ <= kTableSize - 1) {
            prefix_[nextFree_] = prevCode_;
            suffix_[nextFree_] = firstValue_;
            ++nextFree_;
            if (nextFree_ >= sizeLimit_ && sizeLimit_ <= kTableSize - 1) {
                sizeLimit_ *= 2;
                ++codeSize_;
            }
        }
        prevCode_ = incoming;
        return stack_[--sp_];
    }

    int ReadCode() {
        const int n = codeSize_;
        if (fresh_) {
            fresh_ = false;
            return clear_;
        }
        if (bitPos_ + n >= bitLimit_) {
            if (done_) {
                if (bitPos_ >= bitLimit_) warn_(msg::GIFBitUnderrun);
                return -1;
            }
            // More sub-blocks while the code is incomplete. The bits not yet
            // used are then fewer than n, so the two carried bytes hold them.
            do {
                buf_[0] = buf_[bufLen_ - 2];
                buf_[1] = buf_[bufLen_ - 1];
                std::uint8_t countByte = 0;
                if (!in_.TryU8(countByte)) return -1;
                std::size_t count = countByte;
                if (count == 0) {
                    termSeen_ = done_ = true;
                } else {
                    if (in_.Remaining() < count) {
                        warn_(msg::GIFPrematureEnd);
                        count = in_.Remaining();
                    }
                    if (count > 0) in_.Read(buf_ + 2, count);
                }
                bufLen_ = static_cast<int>(count) + 2;
                bitPos_ = bitPos_ - bitLimit_ + 16;
                bitLimit_ = bufLen_ * 8;
            } while (bufLen_ > 2 && bitPos_ + n > bitLimit_);
        }
        // bitPos_ is at most 16 + n after a sub-block of 0 bytes and below
        // bitLimit_ otherwise, so s + 2 stays inside the buffer.
        const int s = bitPos_ / 8, e = (bitPos_ + n) / 8;
        std::uint32_t v = buf_[s];
        if (e > s) v |= std::uint32_t{buf_[s + 1]} << 8;
        if (e > s + 1) v |= std::uint32_t{buf_[s + 2]} << 16;
        v = (v >> (bitPos_ % 8)) & ((1u << n) - 1);
        bitPos_ += n;
        return static_cast<int>(v);
    }

    ByteReader& in_;
    const LzwWarn& warn_;

    int m_ = 0, clear_ = 0, end_ = 0;
    int codeSize_ = 0, nextFree_ = 0, sizeLimit_ = 0;
    int firstValue_ = 0, prevCode_ = 0;
    std::int32_t prefix_[kTableSize] = {};
    std::int32_t suffix_[kTableSize] = {};
    std::int32_t stack_[kStackSize] = {};
    int sp_ = 0;

    std::uint8_t buf_[kBufferSize] = {};
    int bitPos_ = 0, bitLimit_ = 0, bufLen_ = 2;
    bool done_ = false, termSeen_ = false, fresh_ = true, finished_ = false;
};

}  // namespace

std::size_t DecodeLzwReference(ByteReader& reader, const LzwFrame& frame, const LzwWarn& warn) {
    // About 80 KB of tables: on the heap, not the caller's stack.
    auto decoder = std::make_unique<ReferenceDecoder>(reader, warn);
    return decoder->Decode(frame);
}

}  // namespace duvo
