#include "platform/syserror.h"

#include <string.h>

namespace purgix::platform {

std::string SysErrorMessage(int error) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not point into the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(error);
}

} // namespace purgix::platform
