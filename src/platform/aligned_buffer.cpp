#include "platform/aligned_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace purgix::platform {

std::size_t AlignedBuffer::PageSize() noexcept {
    static const std::size_t page = [] {
        const long p = ::sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
    }();
    return page;
}

AlignedBuffer::AlignedBuffer(std::size_t size) {
    if (size == 0)
        return;
    const std::size_t page = PageSize();
    const std::size_t mapped = (size + page - 1) / page * page;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    size_ = size;
    mapped_ = mapped;
}

AlignedBuffer::AlignedBuffer(AlignedBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.size_ = other.mapped_ = 0;
}

AlignedBuffer& AlignedBuffer::operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
        Free();
        data_ = other.data_;
        size_ = other.size_;
        mapped_ = other.mapped_;
        other.data_ = nullptr;
        other.size_ = other.mapped_ = 0;
    }
    return *this;
}

AlignedBuffer::~AlignedBuffer() {
    Free();
}

void AlignedBuffer::Free() noexcept {
    if (data_ != nullptr)
        ::munmap(data_, mapped_);
    data_ = nullptr;
    size_ = mapped_ = 0;
}

} // namespace purgix::platform
