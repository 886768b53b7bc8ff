// Command `files`: wipes files and folders (folders with everything inside), optionally the
// contents of the recycle bins and trash folders, one job per volume.
#include "cli/cli.h"
#include "cli/wiperun.h"

#include "platform/direntry.h"
#include "platform/fd.h"
#include "platform/mounts.h"
#include "platform/text.h"
#include "recycler/klrecycler.h"
#include "wipe/wipelog.h"
#include "wipe/wipeutils.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <unordered_set>

namespace purgix::cli {
namespace {

using platform::EntryKind;

// The targets of a file wipe in the order the jobs get them: a folder's contents before the
// folder, every path once.
class TargetList {
public:
    explicit TargetList(std::vector<platform::MountEntry> mounts) : mounts_(std::move(mounts)) {}

    // Adds a path given by the user: made absolute, refused when it does not exist or lies on
    // a network file system.
    void AddUserPath(const std::string& arg) {
        std::string path = arg;
        if (path.empty())
            throw UsageError("an empty path is no target");
        if (path[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) == nullptr)
                throw std::runtime_error("cannot tell the current folder");
            path = platform::WithTrailingSlash(cwd) + path;
        }
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (platform::EntryKindAt(AT_FDCWD, path.c_str()) == EntryKind::missing)
            throw UsageError("no such file or folder: " + arg);
        if (path == "/")
            throw UsageError("the root folder cannot be wiped as a whole");
        RefuseNetwork(path, arg);
        AddPath(path);
    }

    // Adds the wipe list of recycle-bin entries, which RecyclerWipeList has already checked
    // against (and put into) Listed().
    void AddListed(const std::vector<std::string>& paths) {
        paths_.insert(paths_.end(), paths.begin(), paths.end());
    }

    const std::vector<std::string>& Paths() const noexcept { return paths_; }
    std::unordered_set<std::string>& Listed() noexcept { return listed_; }

private:
    void RefuseNetwork(const std::string& path, const std::string& arg) const {
        const std::string mountPoint = platform::MountPointOfPath(path, mounts_);
        for (const platform::MountEntry& m : mounts_)
            if (m.target == mountPoint && platform::IsNetworkFilesystem(m.fstype))
                throw UsageError("files on network file systems cannot be wiped: " + arg);
    }

    // A folder's entries (links never followed), then the folder; anything else as it is.
    void AddPath(const std::string& path) {
        if (platform::EntryKindAt(AT_FDCWD, path.c_str()) != EntryKind::folder) {
            Add(path);
            return;
        }
        const std::string folder = platform::WithTrailingSlash(path);
        platform::UniqueFd fd(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        std::vector<std::string> entries;
        if (fd) {
            DIR* dir = ::fdopendir(fd.Get());
            if (dir != nullptr) {
                fd.Release(); // the stream owns it now
                while (const dirent* e = ::readdir(dir)) {
                    const std::string name = e->d_name;
                    if (name != "." && name != "..")
                        entries.push_back(folder + name);
                }
                ::closedir(dir);
            }
        }
        for (const std::string& entry : entries)
            AddPath(entry);
        Add(folder);
    }

    void Add(const std::string& path) {
        if (listed_.insert(path).second)
            paths_.push_back(path);
    }

    std::vector<platform::MountEntry> mounts_;
    std::vector<std::string> paths_;
    std::unordered_set<std::string> listed_;
};

// The mount point a --trash=MOUNTPOINT names; a usage error for anything but a listed volume.
std::string TrashVolume(const std::string& arg, const std::vector<platform::VolumeMount>& volumes) {
    char resolved[PATH_MAX];
    if (::realpath(arg.c_str(), resolved) != nullptr) {
        const std::string path = platform::WithTrailingSlash(resolved);
        for (const auto& v : volumes)
            if (v.mountPoint == path)
                return v.mountPoint;
    }
    throw UsageError("'" + arg + "' is not the mount point of a mounted volume");
}

std::string FilesCaption(std::size_t count, const std::string& drive) {
    return count == 1 ? "1 file on drive " + drive
                      : std::to_string(count) + " files on drive " + drive;
}

} // namespace

int CmdFiles(Context& ctx) {
    std::vector<std::string> args = ctx.args;
    const WipeOptions options = TakeWipeOptions(ctx, args);

    bool trash = false;
    std::vector<std::string> trashVolumes; // empty: every volume
    std::vector<std::string> rest;
    bool endOfOptions = false;
    for (const std::string& arg : args) {
        if (!endOfOptions && arg == "--trash") {
            trash = true;
        } else if (!endOfOptions && arg.rfind("--trash=", 0) == 0) {
            trash = true;
            if (arg.size() == 8)
                throw UsageError("--trash= needs a mount point");
            trashVolumes.push_back(arg.substr(8));
        } else {
            if (arg == "--")
                endOfOptions = true;
            rest.push_back(arg);
        }
    }
    ctx.args = rest;
    const std::vector<std::string> paths = Positionals(ctx);
    if (paths.empty() && !trash)
        throw UsageError("files needs at least one path (or --trash)");

    TargetList targets(platform::ReadMountTable());
    for (const std::string& p : paths)
        targets.AddUserPath(p);
    if (trash) {
        const auto volumes = platform::ListVolumes();
        std::vector<std::string> mountPoints;
        for (const std::string& v : trashVolumes)
            mountPoints.push_back(TrashVolume(v, volumes));
        if (trashVolumes.empty()) {
            for (const auto& v : volumes)
                mountPoints.push_back(v.mountPoint);
        }
        TKLRecycler recycler;
        for (const std::string& mountPoint : mountPoints) {
            recycler.EnumFiles(mountPoint);
            targets.AddListed(RecyclerWipeList(recycler.Files(), targets.Listed()));
        }
    }
    if (targets.Paths().empty()) {
        ctx.out << "Nothing to wipe.\n";
        return kExitOk;
    }

    // One job per volume, in the order the volumes first appear.
    std::vector<std::string> drives;
    std::vector<std::vector<std::string>> items;
    for (const std::string& path : targets.Paths()) {
        const std::string drive = ExtractDrive(path);
        std::size_t i = 0;
        while (i < drives.size() && drives[i] != drive)
            ++i;
        if (i == drives.size()) {
            drives.push_back(drive);
            items.emplace_back();
        }
        items[i].push_back(path);
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
    for (std::size_t i = 0; i < drives.size(); ++i) {
        auto job = std::make_unique<EngineJob>();
        job->caption = FilesCaption(items[i].size(), drives[i]);
        TKLWiper& engine = job->engine;
        engine.SetWipeType(wt_file);
        engine.SetItems(items[i]);
        engine.SetAlgorithmFile(ctx.MethodFilePath());
        engine.SetAlgorithmGUID(options.methodGUID);
        engine.SetCreateLogFile(options.createLog);
        engine.SetVerify(options.verify);
        job->logName = "Files-" + ShortDateText(std::chrono::system_clock::now()) + ".htm";
        jobs.push_back(std::move(job));
    }
    return RunEngineJobs(ctx, jobs, logFolder);
}

} // namespace purgix::cli
