// Page-aligned, owned memory for unbuffered I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace purgix::platform {

// A zero-filled, page-aligned block of read/write memory. Devices and files opened with O_DIRECT
// accept it as a write buffer. Move-only; the memory is unmapped on destruction.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    // Allocates `size` bytes (rounded up to whole pages internally). Throws std::bad_alloc when
    // the system has no memory for it. A size of 0 allocates nothing.
    explicit AlignedBuffer(std::size_t size);
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& other) noexcept;
    AlignedBuffer& operator=(AlignedBuffer&& other) noexcept;
    ~AlignedBuffer();

    std::uint8_t* Data() noexcept { return data_; }
    const std::uint8_t* Data() const noexcept { return data_; }
    std::size_t Size() const noexcept { return size_; }

    static std::size_t PageSize() noexcept;

private:
    void Free() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

} // namespace purgix::platform
