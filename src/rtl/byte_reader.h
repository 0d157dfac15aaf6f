// The one bounds-checked reader over bytes in memory that every decoder uses
// for headers and records. What happens at the end of the data is decided in
// one place: a read that does not fit calls the reader's end handler, which
// raises the format's own error ("Stream read error" unless told otherwise),
// and consumes nothing. The Try and UpTo forms report the end instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace duvo {

using ByteSpan = std::span<const std::uint8_t>;

inline std::uint16_t LoadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t LoadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Raises EReadError "Stream read error".
[[noreturn]] void RaiseStreamReadError();

class ByteReader {
public:
    using EndHandler = void (*)();  // must not return

    explicit ByteReader(ByteSpan bytes, EndHandler atEnd = RaiseStreamReadError) : bytes_(bytes), atEnd_(atEnd) {}

    std::size_t Size() const { return bytes_.size(); }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return bytes_.size() - pos_; }
    bool AtEnd() const { return pos_ >= bytes_.size(); }
    ByteSpan Bytes() const { return bytes_; }
    ByteSpan Rest() const { return bytes_.subspan(pos_); }

    // Moves to pos; past the end is the end of data.
    void Seek(std::size_t pos) {
        if (pos > bytes_.size()) End();
        pos_ = pos;
    }
    void Skip(std::size_t n) {
        if (n > Remaining()) End();
        pos_ += n;
    }
    // Moves forward by at most n; returns how far it moved.
    std::size_t SkipUpTo(std::size_t n) {
        if (n > Remaining()) n = Remaining();
        pos_ += n;
        return n;
    }
    void StepBack(std::size_t n = 1) { pos_ = n > pos_ ? 0 : pos_ - n; }

    std::uint8_t U8() {
        if (pos_ >= bytes_.size()) End();
        return bytes_[pos_++];
    }
    std::uint16_t U16() { return LoadU16(Take(2).data()); }
    std::uint32_t U32() { return LoadU32(Take(4).data()); }

    // False at the end of the data, where nothing is read.
    bool TryU8(std::uint8_t& value) {
        if (pos_ >= bytes_.size()) return false;
        value = bytes_[pos_++];
        return true;
    }

    // The next n bytes, in place.
    ByteSpan Take(std::size_t n) {
        if (n > Remaining()) End();
        const ByteSpan out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    // Up to n bytes, fewer at the end of the data.
    ByteSpan TakeUpTo(std::size_t n) {
        if (n > Remaining()) n = Remaining();
        const ByteSpan out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    void Read(void* dst, std::size_t n) {
        if (n != 0) std::memcpy(dst, Take(n).data(), n);
    }
    std::size_t ReadUpTo(void* dst, std::size_t n) {
        const ByteSpan got = TakeUpTo(n);
        if (!got.empty()) std::memcpy(dst, got.data(), got.size());
        return got.size();
    }

    [[noreturn]] void End() const {
        atEnd_();
        __builtin_unreachable();
    }

private:
    ByteSpan bytes_;
    std::size_t pos_ = 0;
    EndHandler atEnd_;
};

}  // namespace duvo
