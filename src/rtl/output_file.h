// Files a tool writes for its user: never over one of its inputs, and never
// half-written under the name that was asked for. The data goes to a
// temporary file beside the target and is renamed over it only when it is
// complete; a failure, an exception or a signal that ends the program
// (interrupt, termination, hang-up) removes the temporary file, and an
// existing target stays as it was.
#pragma once

#include <string>

namespace duvo {

// Whether two names are one file: the same device and inode (so symbolic and
// hard links count), or, where either does not exist yet, the same path once
// made absolute and normalised (symbolic links in its folders resolved).
bool SameFile(const std::string& a, const std::string& b);

class ReplacingFile {
public:
    // Creates the temporary file in the folder of target's final name (a
    // symbolic link is followed, so the link stays a link). EFCreateError
    // "Cannot create file %s" with the target's name when that fails, or
    // when the target exists and is not a regular file (a device, a folder):
    // renaming over it would destroy it.
    explicit ReplacingFile(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Where the writer writes; it may close and reopen it.
    const std::string& TempPath() const { return temp_; }
    const std::string& Target() const { return target_; }

    // Gives the file the permissions a new file (or the replaced one) would
    // have and renames it over the target; EWriteError when that fails.
    void Commit();
    // Removes the temporary file now.
    void Abandon();

private:
    std::string target_;  // as given, for messages
    std::string final_;   // the name renamed to: target_ with links followed
    std::string temp_;
    unsigned mode_ = 0;
    int slot_ = -1;  // the signal handler's record of temp_
};

}  // namespace duvo
