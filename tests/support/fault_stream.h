// An in-memory stream handle that records every call and fails on purpose.
#pragma once

#include "platform/stream.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace purgix::test {

// Writes land in `image` (grown as needed, zero-filled). Faults: a failing seek, a write that
// fails with an errno when it would touch a chosen offset (nothing of it is written), and a
// hook that makes chosen writes shorter than asked; reads that change a byte or fail.
class FaultStream final : public platform::IStreamHandle {
public:
    struct Write {
        std::int64_t position;
        std::size_t asked;
        std::size_t written;
        int error;
    };

    int Seek(std::int64_t position) override;
    platform::IoResult Write(const void* data, std::size_t length) override;
    // Reads back from `image`, in pieces of at most `readChunk` bytes, with the faults below.
    platform::IoResult Read(void* data, std::size_t length) override;

    // Recorded calls.
    std::vector<std::uint8_t> image;
    std::vector<std::int64_t> seeks;
    std::vector<struct Write> writes;
    std::int64_t position = 0;

    // Faults.
    int seekError = 0;                  // errno returned by every Seek
    std::int64_t failAtOffset = -1;     // a write covering this byte fails with failError
    int failError = 5;                  // EIO
    std::int64_t corruptOnRead = -1;    // this byte reads back inverted
    std::int64_t readFailAtOffset = -1; // a read covering this byte fails with failError
    std::size_t readChunk = 4096;
    // Bytes to accept for write number `index` (0-based) asked for `asked` bytes at
    // `position`; unset accepts everything.
    std::function<std::size_t(std::size_t index, std::int64_t position, std::size_t asked)>
        acceptBytes;
};

} // namespace purgix::test
