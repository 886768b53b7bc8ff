// Command `check-log`: the signature check of saved wipe logs.
#include "cli/cli.h"

#include "wipe/wipelog.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace purgix::cli {

int CmdCheckLog(Context& ctx) {
    const std::vector<std::string> files = Positionals(ctx);
    if (files.empty())
        throw UsageError("check-log needs at least one log file");
    bool allValid = true;
    nlohmann::json verdicts = nlohmann::json::array();
    for (const std::string& file : files) {
        const bool valid = CheckLogSignature(file);
        allValid = allValid && valid;
        if (ctx.options.json)
            verdicts.push_back({{"File", file}, {"Valid", valid}});
        else
            ctx.out << (valid ? "valid    " : "invalid  ") << file << '\n';
    }
    if (ctx.options.json) {
        // Paths are bytes on Linux: what is not UTF-8 is replaced, not fatal.
        ctx.out << verdicts.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    return allValid ? kExitOk : kExitErrors;
}

} // namespace purgix::cli
