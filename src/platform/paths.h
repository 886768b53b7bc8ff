// Where the program lives.
#pragma once

#include <string>

namespace purgix::platform {

// The folder of the running executable (from /proc/self/exe), with a trailing "/".
// Empty when it cannot be read.
std::string ExecutableDir();

} // namespace purgix::platform
