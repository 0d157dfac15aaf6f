// Byte streams as the readers use them: read up to n bytes, relative seeks,
// position and size. Readers that need every byte call ReadBuffer, which
// raises EReadError on a short read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace duvo {

enum class SeekOrigin { Begin, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t pos) { Seek(pos, SeekOrigin::Begin); }
    virtual std::int64_t Size();

    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
    // Copies count bytes from source (all of it from position 0 when count is 0).
    std::int64_t CopyFrom(TStream& source, std::int64_t count);

    // Streams that live in memory hand out their bytes in place.
    virtual const std::uint8_t* Memory() const { return nullptr; }
    // Set when those bytes may outlive the stream: a decoder may then keep
    // pointers into them (holding this) instead of copying.
    virtual std::shared_ptr<const void> MemoryOwner() const { return nullptr; }
};

// The stream's bytes from its position to its end, at most limit bytes: in
// place for a stream in memory, otherwise read into holder. The position is
// left where it was for a stream in memory and after what was read for any
// other; a reader that consumed n bytes calls SkipConsumed.
std::span<const std::uint8_t> StreamBytes(TStream& stream, std::vector<std::uint8_t>& holder, std::uint64_t limit);
// Leaves the stream after the first consumed of the bytes StreamBytes gave.
void SkipConsumed(TStream& stream, std::int64_t start, std::span<const std::uint8_t> bytes, std::size_t consumed);

// Read-only or create-for-writing file stream; opening failures raise
// EFOpenError / EFCreateError with the name as given.
class TFileStream : public TStream {
public:
    enum Mode { OpenRead, Create };
    TFileStream(const std::string& fileName, Mode mode = OpenRead);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t Size() override;

private:
    int fd_ = -1;
    std::int64_t pos_ = 0;  // also for descriptors that cannot seek
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }

    const std::uint8_t* Memory() const override { return data_.data(); }
    std::uint8_t* Memory() { return data_.data(); }
    const std::vector<std::uint8_t>& Bytes() const { return data_; }
    void SetSize(std::size_t size) {
        data_.resize(size);
        if (pos_ > size) pos_ = size;
    }
    void Clear() {
        data_.clear();
        pos_ = 0;
    }

private:
    std::vector<std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// A read-only view of bytes owned elsewhere (embedded resources, fuzz input,
// a file's bytes). With an owner, decoders may keep the bytes alive and
// point into them.
class TBytesStream : public TStream {
public:
    TBytesStream(const void* data, std::size_t size, std::shared_ptr<const void> owner = nullptr)
        : data_(static_cast<const std::uint8_t*>(data)), size_(size), owner_(std::move(owner)) {}
    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void*, std::size_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(size_); }
    const std::uint8_t* Memory() const override { return data_; }
    std::shared_ptr<const void> MemoryOwner() const override { return owner_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::shared_ptr<const void> owner_;
    std::size_t pos_ = 0;
};

}  // namespace duvo
