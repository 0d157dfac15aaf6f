#include "rtl/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "rtl/exceptions.h"

namespace duvo {

std::int64_t TStream::Size() {
    const std::int64_t pos = Seek(0, SeekOrigin::Current);
    const std::int64_t end = Seek(0, SeekOrigin::End);
    Seek(pos, SeekOrigin::Begin);
    return end;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError(msg::StreamRead);
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError(msg::StreamWrite);
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count <= 0) return 0;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
    for (std::int64_t left = count; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk.size()));
        source.ReadBuffer(chunk.data(), n);
        WriteBuffer(chunk.data(), n);
        left -= static_cast<std::int64_t>(n);
    }
    return count;
}

std::span<const std::uint8_t> StreamBytes(TStream& stream, std::vector<std::uint8_t>& holder, std::uint64_t limit) {
    const std::int64_t pos = stream.Position();
    const std::int64_t size = stream.Size();
    const std::uint64_t left = size > pos ? static_cast<std::uint64_t>(size - pos) : 0;
    const auto n = static_cast<std::size_t>(std::min(left, limit));
    if (const std::uint8_t* base = stream.Memory()) return {base + pos, n};
    holder.resize(n);
    holder.resize(stream.Read(holder.data(), n));
    return holder;
}

void SkipConsumed(TStream& stream, std::int64_t start, std::span<const std::uint8_t> bytes, std::size_t consumed) {
    stream.Seek(start + static_cast<std::int64_t>(std::min(consumed, bytes.size())), SeekOrigin::Begin);
}

TFileStream::TFileStream(const std::string& fileName, Mode mode) {
    if (mode == OpenRead) {
        fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        // A folder opens on Linux but is no file to read.
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) throw EFOpenError(Format(msg::FOpen, {fileName}));
    } else {
        fd_ = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) throw EFCreateError(Format(msg::FCreate, {fileName}));
    }
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
    std::size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    pos_ += static_cast<std::int64_t>(done);
    return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
    std::size_t done = 0;
    const auto* in = static_cast<const char*>(buffer);
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    pos_ += static_cast<std::int64_t>(done);
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r >= 0) return pos_ = static_cast<std::int64_t>(r);
    // A pipe or a terminal cannot seek; it still knows how far it was read.
    if (origin == SeekOrigin::Current && offset == 0) return pos_;
    throw EStreamError(msg::StreamSeek);
}

std::int64_t TFileStream::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<std::int64_t>(st.st_size);
    // Anything else has no size of its own; what was read so far is all we know.
    return pos_;
}

namespace {
std::size_t SeekIn(std::size_t pos, std::size_t size, std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = origin == SeekOrigin::Begin     ? 0
                        : origin == SeekOrigin::Current ? static_cast<std::int64_t>(pos)
                                                        : static_cast<std::int64_t>(size);
    std::int64_t target = base + offset;
    if (target < 0) target = 0;
    return static_cast<std::size_t>(target);
}
}  // namespace

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    if (pos_ >= data_.size()) return 0;
    const std::size_t n = std::min(count, data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    if (pos_ + count > data_.size()) data_.resize(pos_ + count);
    std::memcpy(data_.data() + pos_, buffer, count);
    pos_ += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
    pos_ = SeekIn(pos_, data_.size(), offset, origin);
    return static_cast<std::int64_t>(pos_);
}

std::size_t TBytesStream::Read(void* buffer, std::size_t count) {
    if (pos_ >= size_) return 0;
    const std::size_t n = std::min(count, size_ - pos_);
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
}

std::int64_t TBytesStream::Seek(std::int64_t offset, SeekOrigin origin) {
    pos_ = SeekIn(pos_, size_, offset, origin);
    return static_cast<std::int64_t>(pos_);
}

}  // namespace duvo
