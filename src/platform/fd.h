// Owning file-descriptor handle.
#pragma once

#include <unistd.h>

#include <utility>

namespace purgix::platform {

// Owns one file descriptor and closes it when it goes out of scope. -1 means "none".
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    // Gives up ownership without closing.
    int Release() noexcept { return std::exchange(fd_, -1); }

    // Closes the current descriptor (if any) and takes `fd`. Returns the result of close():
    // 0, or -1 with errno set.
    int Reset(int fd = -1) noexcept {
        int result = 0;
        if (fd_ >= 0)
            result = ::close(fd_);
        fd_ = fd;
        return result;
    }

private:
    int fd_ = -1;
};

} // namespace purgix::platform
