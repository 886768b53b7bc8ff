// Clocks: the 32-bit millisecond tick and the high-resolution counter.
#pragma once

#include <cstdint>
#include <functional>

namespace purgix::platform {

// Milliseconds of CLOCK_MONOTONIC as an unsigned 32-bit count: it wraps after about 49.7 days,
// and callers compute intervals by unsigned subtraction.
std::uint32_t GetTickCount();

// Nanoseconds of CLOCK_MONOTONIC (the high-resolution counter used to seed generators).
std::uint64_t MonotonicNanoseconds();

// Replaces the tick source while the object lives (tests drive time by hand).
class ScopedTickSource {
public:
    explicit ScopedTickSource(std::function<std::uint32_t()> source);
    ScopedTickSource(const ScopedTickSource&) = delete;
    ScopedTickSource& operator=(const ScopedTickSource&) = delete;
    ~ScopedTickSource();

private:
    std::function<std::uint32_t()> previous_;
};

} // namespace purgix::platform
