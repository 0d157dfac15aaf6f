#include "rtl/file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <utility>

#include "rtl/exceptions.h"

namespace duvo {

namespace {

// ---- the SIGBUS guard --------------------------------------------------------
// A fixed table, so the handler reads it without locks or allocation. A slot
// is live while its start is not 0; end is written before start.

struct GuardSlot {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<int> damaged{0};
    std::atomic<bool> taken{false};
};

constexpr int kGuardSlots = 256;
GuardSlot g_slots[kGuardSlots];
struct sigaction g_previous {};
std::uintptr_t g_pageSize = 4096;

void OnSigbus(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardSlot& slot : g_slots) {
        const std::uintptr_t start = slot.start.load(std::memory_order_acquire);
        if (start == 0 || address < start) continue;
        const std::uintptr_t end = slot.end.load(std::memory_order_acquire);
        if (address >= end) continue;
        // Zero pages from the faulting one to the end: the access is then
        // repeated and succeeds, and the rest of the cut does not fault again.
        const std::uintptr_t page = address & ~(g_pageSize - 1);
        void* fixed = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (fixed != MAP_FAILED) {
            slot.damaged.store(1, std::memory_order_release);
            return;
        }
    }
    // Not ours: do what would have happened without the guard.
    if ((g_previous.sa_flags & SA_SIGINFO) && g_previous.sa_sigaction) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (!(g_previous.sa_flags & SA_SIGINFO) && g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // The default action once the faulting access runs again.
    ::signal(SIGBUS, SIG_DFL);
}

bool InstallGuard() {
    static const bool installed = [] {
        g_pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = OnSigbus;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, &g_previous) == 0;
    }();
    return installed;
}

int TakeSlot(const void* start, std::size_t length) {
    for (int i = 0; i < kGuardSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].taken.compare_exchange_strong(expected, true)) continue;
        const auto s = reinterpret_cast<std::uintptr_t>(start);
        g_slots[i].damaged.store(0);
        g_slots[i].end.store(s + length, std::memory_order_release);
        g_slots[i].start.store(s, std::memory_order_release);
        return i;
    }
    return -1;
}

void FreeSlot(int i) {
    g_slots[i].start.store(0, std::memory_order_release);
    g_slots[i].end.store(0, std::memory_order_release);
    g_slots[i].taken.store(false, std::memory_order_release);
}

// Memory for an input that is read rather than mapped: address space for
// the whole limit is reserved at once and pages are only touched as bytes
// arrive, so growing never copies and the memory in use is what was read
// (one read buffer past the limit at most, before the limit is noticed).
class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t capacity) : capacity_(capacity) {
        void* p =
            ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) throw EOutOfMemory(msg::OutOfMemory);
        data_ = static_cast<std::uint8_t*>(p);
    }
    ~ReadBuffer() {
        if (data_) ::munmap(data_, capacity_);
    }
    ReadBuffer(ReadBuffer&& other) noexcept : data_(std::exchange(other.data_, nullptr)), capacity_(other.capacity_) {}
    ReadBuffer& operator=(ReadBuffer&&) = delete;

    std::uint8_t* Data() const { return data_; }
    std::size_t Capacity() const { return capacity_; }
    // Hands the pages to the caller, who unmaps capacity bytes.
    std::uint8_t* Release() { return std::exchange(data_, nullptr); }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t capacity_;
};

// One read asks for at most this much, so a read that crosses the limit
// overshoots it by no more.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

// Reads what the descriptor gives until its end, at most limit bytes.
ReadBuffer ReadToEnd(int fd, std::uint64_t limit, std::size_t* size) {
    // One byte past the limit tells an input of exactly the limit from a longer one.
    const std::uint64_t wanted = std::min<std::uint64_t>(limit, std::uint64_t{1} << 46) + 1;
    ReadBuffer buffer(static_cast<std::size_t>(wanted));
    std::size_t used = 0;
    for (;;) {
        const std::size_t room = std::min(kReadChunk, buffer.Capacity() - used);
        if (room == 0) throw EReadError(Format(msg::InputTooLarge, {std::to_string(limit)}));
        const ssize_t n = ::read(fd, buffer.Data() + used, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EReadError(msg::StreamRead);
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
        if (used > limit) throw EReadError(Format(msg::InputTooLarge, {std::to_string(limit)}));
    }
    *size = used;
    return buffer;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::shared_ptr<const FileBytes> FileBytes::Open(const std::string& fileName, const Limits& limits) {
    Descriptor file{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    // A folder opens on Linux but is no file to read.
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || S_ISDIR(st.st_mode))
        throw EFOpenError(Format(msg::FOpen, {fileName}));

    std::shared_ptr<FileBytes> out(new FileBytes);
    out->name_ = fileName;
    const bool regular = S_ISREG(st.st_mode);
    if (regular && st.st_size > 0 && InstallGuard()) {
        const auto length = static_cast<std::size_t>(st.st_size);
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file.fd, 0);
        if (map != MAP_FAILED) {
            const std::size_t rounded = (length + g_pageSize - 1) & ~(g_pageSize - 1);
            const int slot = TakeSlot(map, rounded);
            if (slot >= 0) {
                out->data_ = static_cast<const std::uint8_t*>(map);
                out->size_ = length;
                out->mappedLength_ = length;
                out->slot_ = slot;
                return out;
            }
            ::munmap(map, length);
        }
    }
    // Pipes, devices and files of /proc (which report size 0) are read.
    ReadBuffer read = ReadToEnd(file.fd, limits.inputBytes, &out->size_);
    out->readLength_ = read.Capacity();
    out->data_ = read.Release();
    return out;
}

FileBytes::~FileBytes() {
    if (readLength_ != 0) ::munmap(const_cast<std::uint8_t*>(data_), readLength_);
    if (slot_ < 0) return;
    FreeSlot(slot_);
    ::munmap(const_cast<std::uint8_t*>(data_), mappedLength_);
}

void FileBytes::ReleaseRange(std::size_t begin, std::size_t end) const {
    if (slot_ < 0) return;
    const std::size_t page = static_cast<std::size_t>(g_pageSize);
    const std::size_t first = (begin + page - 1) / page * page;
    const std::size_t last = std::min(end, mappedLength_) / page * page;
    if (last > first) ::madvise(const_cast<std::uint8_t*>(data_) + first, last - first, MADV_DONTNEED);
}

bool FileBytes::Damaged() const { return slot_ >= 0 && g_slots[slot_].damaged.load(std::memory_order_acquire) != 0; }

void FileBytes::CheckIntact() const {
    if (Damaged()) throw EReadError(Format(msg::FileChanged, {name_}));
}

}  // namespace duvo
