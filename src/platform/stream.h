// The stream handles that wipe passes write through.
#pragma once

#include "platform/fd.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace purgix::platform {

// Outcome of one write: bytes written, or the errno of the failure (0 = success).
struct IoResult {
    std::size_t bytes = 0;
    int error = 0;
    bool Ok() const noexcept { return error == 0; }
};

// A writable stream with a current position: a regular file, a block device, an extended
// attribute, or a fault-injecting fake in tests.
class IStreamHandle {
public:
    virtual ~IStreamHandle() = default;
    // Moves the current position to the absolute byte `position`. Returns 0 or an errno value.
    virtual int Seek(std::int64_t position) = 0;
    // Writes up to `length` bytes from `data` at the current position and advances it by the
    // bytes written. A successful write may be shorter than asked.
    virtual IoResult Write(const void* data, std::size_t length) = 0;
    // Reads up to `length` bytes at the current position into `data` and advances it; 0 bytes
    // at the end. Handles that cannot be read back answer EOPNOTSUPP.
    virtual IoResult Read(void* data, std::size_t length);
};

// A stream over an open file descriptor (a regular file). Owns the descriptor.
class FileStream final : public IStreamHandle {
public:
    explicit FileStream(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    int Seek(std::int64_t position) override;
    IoResult Write(const void* data, std::size_t length) override;
    IoResult Read(void* data, std::size_t length) override;
    int Fd() const noexcept { return fd_.Get(); }

private:
    UniqueFd fd_;
};

} // namespace purgix::platform
