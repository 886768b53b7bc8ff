// Process-wide debug output (internal diagnostics the user never sees).
#pragma once

#include <functional>
#include <string_view>

namespace purgix::platform {

// Sends one diagnostic line to the debug sink. Silent unless PURGIX_DEBUG is set in the
// environment (then the line goes to stderr) or a capture is installed.
void DebugOutput(std::string_view text);

// Routes every debug line to `sink` while the object lives (tests read diagnostics with it).
// Captures nest: the innermost one receives the lines.
class ScopedDebugCapture {
public:
    explicit ScopedDebugCapture(std::function<void(std::string_view)> sink);
    ScopedDebugCapture(const ScopedDebugCapture&) = delete;
    ScopedDebugCapture& operator=(const ScopedDebugCapture&) = delete;
    ~ScopedDebugCapture();

private:
    std::function<void(std::string_view)> previous_;
};

} // namespace purgix::platform
