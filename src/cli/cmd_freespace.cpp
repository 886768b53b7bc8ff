// Command `freespace`: wipes the free space of mounted volumes, one job per volume, with the
// cluster tips and the names of deleted files unless switched off.
#include "cli/cli.h"
#include "cli/wiperun.h"

#include "platform/mounts.h"
#include "platform/text.h"
#include "wipe/wipelog.h"

#include <climits>
#include <cstdlib>
#include <memory>

namespace purgix::cli {
namespace {

// The mount point an argument names; a usage error for anything but a mounted local volume.
std::string FreeSpaceVolume(const std::string& arg,
                            const std::vector<platform::VolumeMount>& volumes) {
    char resolved[PATH_MAX];
    if (::realpath(arg.c_str(), resolved) != nullptr) {
        const std::string path = platform::WithTrailingSlash(resolved);
        for (const auto& v : volumes)
            if (v.mountPoint == path)
                return v.mountPoint;
    }
    throw UsageError("'" + arg + "' is not the mount point of a mounted local volume");
}

} // namespace

int CmdFreeSpace(Context& ctx) {
    std::vector<std::string> args = ctx.args;
    const WipeOptions options = TakeWipeOptions(ctx, args);
    bool clusterTips = true;
    bool deletedNames = true;
    std::vector<std::string> rest;
    bool endOfOptions = false;
    for (const std::string& arg : args) {
        if (!endOfOptions && arg == "--no-cluster-tips") {
            clusterTips = false;
        } else if (!endOfOptions && arg == "--no-deleted-names") {
            deletedNames = false;
        } else {
            if (arg == "--")
                endOfOptions = true;
            rest.push_back(arg);
        }
    }
    ctx.args = rest;
    const std::vector<std::string> targets = Positionals(ctx);
    if (targets.empty())
        throw UsageError("freespace needs at least one mount point");

    const auto volumes = platform::ListVolumes();
    std::vector<std::string> drives;
    for (const std::string& arg : targets) {
        const std::string drive = FreeSpaceVolume(arg, volumes);
        bool known = false;
        for (const std::string& d : drives)
            known = known || d == drive;
        if (!known)
            drives.push_back(drive);
    }

    if (!options.yes &&
        !Confirm(ctx,
                 "Do you really want to wipe selected data?\n\nAny kind of recovery will not be "
                 "possible",
                 "--yes")) {
        ctx.out << "Nothing was wiped.\n";
        return kExitCancelled;
    }

    const std::string logFolder = options.createLog ? LogFolder(ctx) : std::string();
    std::vector<std::unique_ptr<EngineJob>> jobs;
    for (const std::string& drive : drives) {
        auto job = std::make_unique<EngineJob>();
        job->caption = "Wipe freespace of drive " + drive;
        TKLWiper& engine = job->engine;
        engine.SetWipeType(wt_freespace);
        engine.SetItems({drive});
        engine.SetDoClusterTips(clusterTips);
        engine.SetOverwriteFileNames(deletedNames);
        engine.SetAlgorithmFile(ctx.MethodFilePath());
        engine.SetAlgorithmGUID(options.methodGUID);
        engine.SetCreateLogFile(options.createLog);
        job->logName =
            "Freespace@" + drive + "-" + ShortDateText(std::chrono::system_clock::now()) + ".htm";
        jobs.push_back(std::move(job));
    }
    return RunEngineJobs(ctx, jobs, logFolder);
}

} // namespace purgix::cli
