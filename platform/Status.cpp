#include "platform/Status.h"

#include <cstring>

std::string ErrnoText(int err) {
    char buf[256];
    buf[0] = '\0';
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

Status ErrnoStatus(StatusCode code, const std::string& what, int err) {
    return Status(code, what + ": " + ErrnoText(err));
}
