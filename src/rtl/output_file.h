// Files a tool writes for its user: never over one of its inputs, and never
// half-written under the name that was asked for. The data goes to a file
// without a name in the target's folder (O_TMPFILE), which takes its name
// only when it is complete; a failure, an exception or a signal that ends the
// program, SIGKILL and a crash included, leaves nothing behind, and an
// existing target stays as it was. Where the file system cannot make a file
// without a name, a hidden temporary file beside the target is used instead,
// removed on failures and on the signals that can be caught (interrupt,
// termination, hang-up, quit).
#pragma once

#include <string>

namespace duvo {

// Whether two names are one file: the same device and inode (so symbolic and
// hard links count), or, where either does not exist yet, the same path once
// made absolute and normalised with every symbolic link followed, a dangling
// one included (it is where a write through it would land).
bool SameFile(const std::string& a, const std::string& b);

class ReplacingFile {
public:
    // Makes the file in the folder of target's final name: a symbolic link
    // is followed, a dangling one too, so the link stays a link and the file
    // it names is written. EFCreateError "Cannot create file %s" with the
    // target's name and the reason when that fails, or when the target
    // exists and is not a regular file (a device, a folder): renaming over it
    // would destroy it. allowUnnamed false asks for the named temporary file
    // even where a file without a name could be made (for tests).
    explicit ReplacingFile(const std::string& target, bool allowUnnamed = true);
    // Drops the data unless Commit succeeded.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Where the writer writes; it may close and reopen it. For a file without
    // a name it is /proc/self/fd/N, which opens that file.
    const std::string& TempPath() const { return temp_; }
    const std::string& Target() const { return target_; }
    // Whether the data has no name in any folder until Commit.
    bool Unnamed() const { return fd_ >= 0; }

    // Gives the file the permissions of the file it replaces (or those a new
    // file gets under the umask) and its name; EWriteError with the reason
    // when that fails, the target then left as it was.
    void Commit();
    // Drops the data now.
    void Abandon();

private:
    std::string target_;  // as given, for messages
    std::string final_;   // the name it takes: target_ with links followed
    std::string temp_;
    int fd_ = -1;  // the file without a name
    unsigned mode_ = 0;
    int slot_ = -1;  // the signal handler's record of a named temporary file
};

}  // namespace duvo
