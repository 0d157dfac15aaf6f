// A file's bytes for the decoders. A regular file is mapped read-only, so a
// big picture is neither read into fresh memory nor held twice; anything else
// (a pipe, a device, a file of /proc) is read to its end, within the
// caller's limit, so an end that never comes cannot hang us.
//
// A mapped file that another process cuts short would stop the program with
// SIGBUS at the first touch of a page past its new end. A process-wide guard
// puts zero pages there instead and marks the file damaged; whoever used the
// bytes asks Damaged() (or CheckIntact) afterwards and refuses the result.
#pragma once

#include <memory>
#include <string>

#include "rtl/byte_reader.h"
#include "rtl/limits.h"

namespace duvo {

namespace msg {
inline constexpr const char* FileChanged = "File %s was changed while it was being read";
}  // namespace msg

class FileBytes {
public:
    // Opening fails with EFOpenError ("Cannot open file %s", the name as
    // given); an input beyond limits.inputBytes or a failing read with
    // EReadError.
    static std::shared_ptr<const FileBytes> Open(const std::string& fileName, const Limits& limits = kDefaultLimits);

    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    ByteSpan Bytes() const { return {data_, size_}; }
    const std::string& Name() const { return name_; }
    bool Mapped() const { return slot_ >= 0; }
    bool Damaged() const;
    // Throws EReadError (msg::FileChanged) when the file was cut short while
    // its bytes were in use.
    void CheckIntact() const;
    // The reader is done with the first end bytes: a mapped file's whole
    // pages among them leave memory (touched again, they are read again from
    // the file). Keeps a big file that is decoded once from counting twice.
    void ReleaseBefore(std::size_t end) const { ReleaseRange(0, end); }
    // The same for the bytes from begin to end: the whole pages inside.
    void ReleaseRange(std::size_t begin, std::size_t end) const;

private:
    FileBytes() = default;

    std::string name_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mappedLength_ = 0;
    int slot_ = -1;               // the guard's slot of a mapping
    std::size_t readLength_ = 0;  // the reserved pages of an input that was read
};

}  // namespace duvo
