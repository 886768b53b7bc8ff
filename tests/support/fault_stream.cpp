#include "support/fault_stream.h"

#include <algorithm>
#include <cstring>

namespace purgix::test {

int FaultStream::Seek(std::int64_t to) {
    seeks.push_back(to);
    if (seekError != 0)
        return seekError;
    position = to;
    return 0;
}

platform::IoResult FaultStream::Write(const void* data, std::size_t length) {
    const std::size_t index = writes.size();
    if (failAtOffset >= position && failAtOffset < position + static_cast<std::int64_t>(length)) {
        writes.push_back({position, length, 0, failError});
        return {0, failError};
    }
    std::size_t n = length;
    if (acceptBytes)
        n = std::min(length, acceptBytes(index, position, length));
    const auto end = static_cast<std::size_t>(position) + n;
    if (image.size() < end)
        image.resize(end, 0);
    if (n > 0)
        std::memcpy(image.data() + position, data, n);
    writes.push_back({position, length, n, 0});
    position += static_cast<std::int64_t>(n);
    return {n, 0};
}

platform::IoResult FaultStream::Read(void* data, std::size_t length) {
    if (readFailAtOffset >= position &&
        readFailAtOffset < position + static_cast<std::int64_t>(length))
        return {0, failError};
    const auto at = static_cast<std::size_t>(position);
    const std::size_t n = at >= image.size() ? 0 : std::min({length, readChunk, image.size() - at});
    std::memcpy(data, image.data() + at, n);
    if (corruptOnRead >= position && corruptOnRead < position + static_cast<std::int64_t>(n)) {
        auto* bytes = static_cast<std::uint8_t*>(data);
        bytes[corruptOnRead - position] =
            static_cast<std::uint8_t>(~bytes[corruptOnRead - position]);
    }
    position += static_cast<std::int64_t>(n);
    return {n, 0};
}

} // namespace purgix::test
