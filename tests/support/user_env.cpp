#include "support/user_env.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace purgix::test {

UserEnvironment::UserEnvironment(const TempDir& dir, const std::string& home) {
    env_ = {{"HOME", home},
            {"XDG_DATA_HOME", home + ".local/share"},
            {"XDG_CONFIG_HOME", dir.File("config")},
            {"XDG_STATE_HOME", dir.File("state")},
            {"TMPDIR", dir.File("tmp")},
            {"PURGIX_REGISTRY_DIR", dir.File("registry")}};
    for (const auto& [name, value] : env_)
        std::filesystem::create_directories(value);
}

ProcessResult UserEnvironment::Run(const std::vector<std::string>& argv) const {
    return RunProcess(argv, env_, {"SUDO_USER", "PKEXEC_UID"});
}

std::string ToolPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        auto colon = dirs.find(':', start);
        if (colon == std::string::npos)
            colon = dirs.size();
        const std::string candidate = dirs.substr(start, colon - start) + "/" + tool;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = colon + 1;
    }
    return tool;
}

} // namespace purgix::test
