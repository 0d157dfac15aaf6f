#include "rtl/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "rtl/exceptions.h"

namespace duvo {

namespace fs = std::filesystem;

namespace {

// ---- removal on fatal signals ----------------------------------------------
// A fixed table, so the handler reads it without locks or allocation. Only
// named temporary files are in it: a file without a name goes with the
// process, however it ends.

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
    InstallRemoval();
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

// Where a write to name lands: the name made absolute, symbolic links at its
// end followed (a dangling one too: writing through it makes the file it
// names), the folders canonical where they exist. *error is ELOOP for a
// chain of links that does not end.
fs::path Resolved(const std::string& name, int* error) {
    std::error_code ec;
    fs::path p = fs::absolute(name, ec);
    if (ec) p = name;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        // As many as the kernel follows.
        if (hops == 40) {
            if (error) *error = ELOOP;
            break;
        }
        char to[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), to, sizeof to);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof to) break;
        const fs::path link(std::string(to, static_cast<std::size_t>(n)));
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
    const fs::path folder = fs::weakly_canonical(p.parent_path(), ec);
    return (ec ? p.parent_path().lexically_normal() : folder) / p.filename();
}

// 0666 less the umask. Read from /proc where it can be: umask() sets the
// mask while it reads it, and a file another thread made meanwhile would get
// none; without /proc that is risked once, and the mode kept.
unsigned NewFileMode() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0)
            return 0666u & ~static_cast<unsigned>(std::strtoul(line.c_str() + 6, nullptr, 8));
    static const unsigned mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return 0666u & ~static_cast<unsigned>(mask);
    }();
    return mode;
}

// ".name.XXXXXX" beside name, XXXXXX random.
std::string HiddenName(const fs::path& name) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::minstd_rand random(std::random_device{}());
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    return (name.parent_path() / ("." + name.filename().string() + "." + suffix)).string();
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return Resolved(a, nullptr) == Resolved(b, nullptr);
}

ReplacingFile::ReplacingFile(const std::string& target, bool allowUnnamed) : target_(target) {
    const auto refuse = [&](const std::string& reason) { throw EFCreateError(Format(msg::FCreate, {target}), reason); };
    int loop = 0;
    const fs::path finalName = Resolved(target, &loop);
    if (loop) refuse(SystemReason(loop));
    struct stat st {};
    if (::stat(finalName.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) refuse(SystemReason(EISDIR));
        if (!S_ISREG(st.st_mode)) refuse("it is no regular file, and replacing it would destroy it");
        mode_ = st.st_mode & 07777;
    } else {
        mode_ = NewFileMode();
    }
    final_ = finalName.string();
    const std::string folder = finalName.parent_path().string();
    if (allowUnnamed) {
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            // Writable by us whatever the umask, so that it can be opened again.
            ::fchmod(fd_, 0600);
            // Writers open the file again by this name, and Commit links it
            // from there; without /proc neither works.
            temp_ = "/proc/self/fd/" + std::to_string(fd_);
            const int again = ::open(temp_.c_str(), O_WRONLY | O_CLOEXEC);
            if (again >= 0) {
                ::close(again);
                return;
            }
            ::close(fd_);
            fd_ = -1;
            temp_.clear();
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            // EISDIR: a kernel that does not know O_TMPFILE; the others say
            // why no file can be made in the folder at all.
            refuse(SystemReason(errno));
        }
    }
    // Beside the target, so that the rename stays on one file system.
    std::string pattern = (finalName.parent_path() / ("." + finalName.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) refuse(SystemReason(errno));
    ::fchmod(fd, 0600);
    ::close(fd);
    temp_ = pattern;
    slot_ = Remember(temp_);
}

ReplacingFile::~ReplacingFile() { Abandon(); }

void ReplacingFile::Abandon() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    } else if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        Forget(slot_);
        slot_ = -1;
    }
    temp_.clear();
}

// No fsync before the file takes its name: what this writes (difference
// pictures, reports) is made again by running the tool again, and ext4 and
// XFS flush a file renamed over another on their own; a sync per file would
// make a run over a folder of thousands of pairs wait for the disk each time.
void ReplacingFile::Commit() {
    if (temp_.empty()) throw EWriteError(msg::StreamWrite);
    const auto fail = [&](int error) {
        Abandon();
        throw EWriteError(msg::StreamWrite, SystemReason(error));
    };
    if (fd_ < 0) {
        if (::chmod(temp_.c_str(), static_cast<mode_t>(mode_)) != 0 || ::rename(temp_.c_str(), final_.c_str()) != 0)
            fail(errno);
        Forget(slot_);
        slot_ = -1;
        temp_.clear();
        return;
    }
    if (::fchmod(fd_, static_cast<mode_t>(mode_)) != 0) fail(errno);
    // Where the name is free, the file takes it in one step.
    if (::linkat(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno != EEXIST) fail(errno);
        // A name cannot be linked over another, so the file gets a hidden
        // name beside the target first and is renamed over it: the old file
        // stays whole until the rename. Only a SIGKILL between these two
        // calls leaves the hidden (whole) file behind.
        std::string hidden;
        for (int attempt = 0;; ++attempt) {
            hidden = HiddenName(final_);
            if (::linkat(AT_FDCWD, temp_.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
            if (errno != EEXIST || attempt == 100) fail(errno);
        }
        const int slot = Remember(hidden);
        const int renamed = ::rename(hidden.c_str(), final_.c_str());
        const int error = errno;
        if (renamed != 0) ::unlink(hidden.c_str());
        Forget(slot);
        if (renamed != 0) fail(error);
    }
    ::close(fd_);
    fd_ = -1;
    temp_.clear();
}

}  // namespace duvo
