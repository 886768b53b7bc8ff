#include "platform/stream.h"

#include <unistd.h>

#include <cerrno>

namespace purgix::platform {

int FileStream::Seek(std::int64_t position) {
    if (!fd_.Valid())
        return EBADF;
    if (::lseek(fd_.Get(), static_cast<off_t>(position), SEEK_SET) < 0)
        return errno;
    return 0;
}

IoResult FileStream::Write(const void* data, std::size_t length) {
    if (!fd_.Valid())
        return {0, EBADF};
    for (;;) {
        const ssize_t n = ::write(fd_.Get(), data, length);
        if (n >= 0)
            return {static_cast<std::size_t>(n), 0};
        if (errno != EINTR)
            return {0, errno};
    }
}

IoResult IStreamHandle::Read(void* /*data*/, std::size_t /*length*/) {
    return {0, EOPNOTSUPP};
}

IoResult FileStream::Read(void* data, std::size_t length) {
    if (!fd_.Valid())
        return {0, EBADF};
    for (;;) {
        const ssize_t n = ::read(fd_.Get(), data, length);
        if (n >= 0)
            return {static_cast<std::size_t>(n), 0};
        if (errno != EINTR)
            return {0, errno};
    }
}

} // namespace purgix::platform
