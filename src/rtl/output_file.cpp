#include "rtl/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "rtl/exceptions.h"

namespace duvo {

namespace fs = std::filesystem;

namespace {

// ---- removal on fatal signals ----------------------------------------------
// A fixed table, so the handler reads it without locks or allocation.

constexpr int kSlots = 16;
constexpr std::size_t kPathRoom = 4096;

struct TempSlot {
    std::atomic<bool> live{false};
    std::atomic<bool> taken{false};
    char path[kPathRoom] = {};
};
TempSlot g_temps[kSlots];

constexpr std::array kFatalSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnFatalSignal(int signal) {
    for (TempSlot& slot : g_temps)
        if (slot.live.load(std::memory_order_acquire)) ::unlink(slot.path);
    // Then end as the signal would have ended us.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void InstallRemoval() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int s : kFatalSignals) {
            struct sigaction previous {};
            if (::sigaction(s, nullptr, &previous) != 0) continue;
            // A signal the caller ignores (nohup) stays ignored.
            if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
            struct sigaction action {};
            action.sa_handler = OnFatalSignal;
            sigemptyset(&action.sa_mask);
            ::sigaction(s, &action, nullptr);
        }
    });
}

int Remember(const std::string& path) {
    if (path.size() >= kPathRoom) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_temps[i].taken.compare_exchange_strong(expected, true)) continue;
        std::memcpy(g_temps[i].path, path.c_str(), path.size() + 1);
        g_temps[i].live.store(true, std::memory_order_release);
        return i;
    }
    return -1;
}

void Forget(int slot) {
    if (slot < 0) return;
    g_temps[slot].live.store(false, std::memory_order_release);
    g_temps[slot].taken.store(false, std::memory_order_release);
}

// The normalised absolute form of a name; links in the folders resolved, the
// last part too when it exists.
fs::path Normalised(const std::string& name) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(name, ec), ec);
    if (ec) p = fs::absolute(name, ec).lexically_normal();
    return p;
}

unsigned NewFileMode() {
    static const unsigned mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return 0666u & ~static_cast<unsigned>(mask);
    }();
    return mode;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return Normalised(a) == Normalised(b);
}

ReplacingFile::ReplacingFile(const std::string& target) : target_(target) {
    InstallRemoval();
    const fs::path finalName = Normalised(target);
    struct stat st {};
    if (::stat(finalName.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) throw EFCreateError(Format(msg::FCreate, {target}));
        mode_ = st.st_mode & 07777;
    } else {
        mode_ = NewFileMode();
    }
    final_ = finalName.string();
    // Beside the target, so that the rename stays on one file system.
    std::string pattern = (finalName.parent_path() / ("." + finalName.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw EFCreateError(Format(msg::FCreate, {target}));
    ::close(fd);
    temp_ = pattern;
    slot_ = Remember(temp_);
}

ReplacingFile::~ReplacingFile() { Abandon(); }

void ReplacingFile::Abandon() {
    if (temp_.empty()) return;
    ::unlink(temp_.c_str());
    Forget(slot_);
    slot_ = -1;
    temp_.clear();
}

void ReplacingFile::Commit() {
    if (temp_.empty()) throw EWriteError(msg::StreamWrite);
    if (::chmod(temp_.c_str(), static_cast<mode_t>(mode_)) != 0 || ::rename(temp_.c_str(), final_.c_str()) != 0) {
        Abandon();
        throw EWriteError(msg::StreamWrite);
    }
    Forget(slot_);
    slot_ = -1;
    temp_.clear();
}

}  // namespace duvo
