#include "platform/paths.h"

#include <unistd.h>

#include <vector>

namespace purgix::platform {

std::string ExecutableDir() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(n));
            const auto slash = path.rfind('/');
            return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace purgix::platform
