#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

namespace purgix::platform {
namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

std::function<void(std::string_view)>& Sink() {
    static std::function<void(std::string_view)> sink;
    return sink;
}

bool DebugToStderr() {
    static const bool enabled = [] {
        const char* v = std::getenv("PURGIX_DEBUG");
        return v != nullptr && *v != '\0';
    }();
    return enabled;
}

} // namespace

void DebugOutput(std::string_view text) {
    std::lock_guard lock(SinkMutex());
    if (Sink()) {
        Sink()(text);
        return;
    }
    if (DebugToStderr()) {
        std::string line(text);
        line += '\n';
        std::fputs(line.c_str(), stderr);
    }
}

ScopedDebugCapture::ScopedDebugCapture(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(SinkMutex());
    previous_ = std::exchange(Sink(), std::move(sink));
}

ScopedDebugCapture::~ScopedDebugCapture() {
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(previous_);
}

} // namespace purgix::platform
