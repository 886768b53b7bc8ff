#include "platform/tick.h"

#include <time.h>

#include <mutex>
#include <utility>

namespace purgix::platform {
namespace {

std::mutex& SourceMutex() {
    static std::mutex m;
    return m;
}

std::function<std::uint32_t()>& Source() {
    static std::function<std::uint32_t()> source;
    return source;
}

} // namespace

std::uint64_t MonotonicNanoseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint32_t GetTickCount() {
    {
        std::lock_guard lock(SourceMutex());
        if (Source())
            return Source()();
    }
    return static_cast<std::uint32_t>(MonotonicNanoseconds() / 1'000'000ULL);
}

ScopedTickSource::ScopedTickSource(std::function<std::uint32_t()> source) {
    std::lock_guard lock(SourceMutex());
    previous_ = std::exchange(Source(), std::move(source));
}

ScopedTickSource::~ScopedTickSource() {
    std::lock_guard lock(SourceMutex());
    Source() = std::move(previous_);
}

} // namespace purgix::platform
