// GUID generator.
#pragma once

#include <string>

namespace purgix::platform {

// A fresh random (version 4) GUID as braced upper-case text:
// "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}". Throws std::system_error when the system has no
// randomness to give.
std::string CreateGuidString();

} // namespace purgix::platform
