// System error texts.
#pragma once

#include <string>

namespace purgix::platform {

// The system's message text for an errno value.
std::string SysErrorMessage(int error);

} // namespace purgix::platform
