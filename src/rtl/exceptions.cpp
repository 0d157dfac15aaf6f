#include "rtl/exceptions.h"

#include <cstring>

#include "rtl/byte_reader.h"

namespace duvo {

std::string Format(const char* pattern, std::initializer_list<std::string> args) {
    std::string out;
    auto next = args.begin();
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && (p[1] == 's' || p[1] == 'd')) {
            if (next != args.end()) out += *next++;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string SystemReason(int error) {
    char buf[256];
    // The GNU strerror_r returns its text, which need not be in buf.
    return ::strerror_r(error, buf, sizeof buf);
}

std::string ErrorDisplayText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

void RaiseStreamReadError() { throw EReadError(msg::StreamRead); }

}  // namespace duvo
