// Failure classes of the runtime. Each carries its message text; callers
// catch by class (an EInvalidGraphic handler also catches EJPEG and
// GIFException, which derive from it in their own modules).
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace duvo {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
};

#define DUVO_EXCEPTION(Name, Base) \
    class Name : public Base {     \
    public:                        \
        using Base::Base;          \
    }

DUVO_EXCEPTION(EAbort, Exception);
DUVO_EXCEPTION(EConvertError, Exception);
DUVO_EXCEPTION(EInvalidOperation, Exception);
DUVO_EXCEPTION(EInvalidGraphic, Exception);
DUVO_EXCEPTION(EInvalidGraphicOperation, Exception);
DUVO_EXCEPTION(EWin32Error, Exception);
DUVO_EXCEPTION(EOutOfMemory, Exception);
DUVO_EXCEPTION(EZeroDivide, Exception);
DUVO_EXCEPTION(EInvalidOp, Exception);

// A failure of reading or writing a file. The system's reason (strerror's
// text), when one is known, travels beside the message rather than in it,
// so that the desktop program keeps its described texts and the command
// line can still say why.
class EStreamError : public Exception {
public:
    explicit EStreamError(std::string message, std::string reason = {})
        : Exception(std::move(message)), reason_(std::move(reason)) {}
    const std::string& Reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

DUVO_EXCEPTION(EFOpenError, EStreamError);
DUVO_EXCEPTION(EFCreateError, EStreamError);
DUVO_EXCEPTION(EFilerError, EStreamError);
DUVO_EXCEPTION(EReadError, EFilerError);
DUVO_EXCEPTION(EWriteError, EFilerError);

#undef DUVO_EXCEPTION

// A comparison that could not be made, as a tool reports it: a kind for
// scripts ("cannot-open", "load-error", "usage", ...), the message, the file
// it is about, and the exit status it ends the tool with. fileLine: the
// message does not name the file itself, so a report adds it.
class ECompareFailure : public Exception {
public:
    ECompareFailure(std::string kind, std::string message, std::optional<std::string> file = std::nullopt,
                    bool fileLine = false, int exitStatus = 2)
        : Exception(std::move(message)),
          kind_(std::move(kind)),
          file_(std::move(file)),
          fileLine_(fileLine),
          exitStatus_(exitStatus) {}
    const std::string& Kind() const { return kind_; }
    const std::optional<std::string>& File() const { return file_; }
    bool FileLine() const { return fileLine_; }
    int ExitStatus() const { return exitStatus_; }

private:
    std::string kind_;
    std::optional<std::string> file_;
    bool fileLine_;
    int exitStatus_;
};

// A command line that makes no sense, or a limit that would accept every picture.
class EUsageError : public ECompareFailure {
public:
    explicit EUsageError(std::string message) : ECompareFailure("usage", std::move(message)) {}
};

// Message texts, kept in one place so that every module raises the same words.
namespace msg {
inline constexpr const char* StreamRead = "Stream read error";
inline constexpr const char* StreamWrite = "Stream write error";
inline constexpr const char* StreamSeek = "Stream seek error";
inline constexpr const char* FOpen = "Cannot open file %s";
inline constexpr const char* FCreate = "Cannot create file %s";
inline constexpr const char* AssignError = "Cannot assign a %s to a %s";
inline constexpr const char* InvalidBitmap = "Bitmap image is not valid";
inline constexpr const char* InvalidPixelFormat = "Invalid pixel format";
inline constexpr const char* ScanLine = "Scan line index out of range";
inline constexpr const char* UnknownExtension = "Unknown picture file extension (.%s)";
inline constexpr const char* NoCanvas = "Canvas does not allow drawing";
inline constexpr const char* NoBitmapInImage = "Can only modify an image if it contains a bitmap";
inline constexpr const char* InvalidIcon = "Icon image is not valid";
inline constexpr const char* InvalidMetafile = "Metafile is not valid";
inline constexpr const char* OutOfMemory = "Out of memory";
inline constexpr const char* InvalidFloatOp = "Invalid floating point operation";
inline constexpr const char* AbstractError = "Abstract Error";
}  // namespace msg

// Fills "%s" placeholders in order. Only %s and %d style text replacement is
// needed by the messages above; arguments are already strings.
std::string Format(const char* pattern, std::initializer_list<std::string> args);

// The system's text for an errno value ("No space left on device").
std::string SystemReason(int error);

// The text the application's default error display shows: a full stop is
// appended when the message's last character sorts after ".".
std::string ErrorDisplayText(const std::string& message);

}  // namespace duvo
