// Runs a program as a child process and collects what it printed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace purgix::test {

struct ProcessResult {
    int exitCode = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments argv[1...], with the current environment plus `env`
// (a value replaces an inherited one) and without the variables named in `unset`, standard
// input from /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::vector<std::string>& unset = {});

} // namespace purgix::test
