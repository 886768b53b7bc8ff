// The environment of the user that the programs of a test act for.
#pragma once

#include "support/process.h"
#include "support/temp_dir.h"

#include <map>
#include <string>
#include <vector>

namespace purgix::test {

// Every folder of that user inside the test's own folder (home, XDG folders, TMPDIR, the
// registry), and no sudo or pkexec user, so that the machine's own trash and settings are never
// read or written.
class UserEnvironment {
public:
    // `home` ends with "/"; the other folders go below `dir`.
    UserEnvironment(const TempDir& dir, const std::string& home);

    // Runs a program in this environment.
    ProcessResult Run(const std::vector<std::string>& argv) const;
    const std::map<std::string, std::string>& Variables() const noexcept { return env_; }

private:
    std::map<std::string, std::string> env_;
};

// The full path of `tool` found in $PATH (the tool's name when it is not found).
std::string ToolPath(const std::string& tool);

} // namespace purgix::test
