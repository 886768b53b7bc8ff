#include "platform/mounts.h"

#include "platform/text.h"

#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace purgix::platform {
namespace {

struct TableDeleter {
    void operator()(libmnt_table* t) const { mnt_unref_table(t); }
};
struct IterDeleter {
    void operator()(libmnt_iter* i) const { mnt_free_iter(i); }
};

// Resolves the symbolic links of the folders in `path`; a final component that is a link, and
// components that do not exist, are kept as written.
std::string Canonical(const std::string& path) {
    std::string head = path;
    std::vector<std::string> tail; // components below head, last first
    for (;;) {
        while (head.size() > 1 && head.back() == '/')
            head.pop_back();
        struct stat st {};
        if (::lstat(head.c_str(), &st) == 0 && !(S_ISLNK(st.st_mode) && tail.empty())) {
            char resolved[PATH_MAX];
            if (::realpath(head.c_str(), resolved) == nullptr)
                return path;
            std::string result = resolved;
            for (auto it = tail.rbegin(); it != tail.rend(); ++it)
                result += (result == "/" ? "" : "/") + *it;
            return result;
        }
        if (head == "/")
            return path;
        const auto slash = head.rfind('/');
        tail.push_back(head.substr(slash + 1));
        head = slash == 0 ? std::string("/") : head.substr(0, slash);
    }
}

bool Contains(const std::string& mountPoint, const std::string& path) {
    // mountPoint ends with "/"; path is canonical without trailing slash (or "/").
    const std::string withSlash = platform::WithTrailingSlash(path);
    return withSlash.compare(0, mountPoint.size(), mountPoint) == 0;
}

} // namespace

std::vector<MountEntry> ReadMountTable() {
    std::vector<MountEntry> result;
    std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
    if (!table || mnt_table_parse_mtab(table.get(), nullptr) != 0)
        return result;
    std::unique_ptr<libmnt_iter, IterDeleter> iter(mnt_new_iter(MNT_ITER_FORWARD));
    libmnt_fs* fs = nullptr;
    while (iter && mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        MountEntry e;
        const char* target = mnt_fs_get_target(fs);
        const char* source = mnt_fs_get_source(fs);
        const char* fstype = mnt_fs_get_fstype(fs);
        const char* options = mnt_fs_get_options(fs);
        if (target == nullptr)
            continue;
        e.target = platform::WithTrailingSlash(target);
        e.source = source ? source : "";
        e.fstype = fstype ? fstype : "";
        e.options = options ? options : "";
        e.devno = mnt_fs_get_devno(fs);
        result.push_back(std::move(e));
    }
    return result;
}

std::string MountPointOfPath(const std::string& path, const std::vector<MountEntry>& table) {
    if (path.empty() || path.front() != '/')
        return {};
    const std::string canonical = Canonical(path);
    const MountEntry* best = nullptr;
    for (const MountEntry& e : table)
        if (Contains(e.target, canonical) &&
            (best == nullptr || e.target.size() >= best->target.size()))
            best = &e;
    return best ? best->target : std::string();
}

bool IsNetworkFilesystem(const std::string& fstype) {
    static const char* const kNetwork[] = {
        "nfs",        "nfs4",        "cifs", "smb3",      "smbfs",
        "fuse.sshfs", "9p",          "ceph", "glusterfs", "fuse.glusterfs",
        "davfs",      "fuse.davfs2", "afs",  "ncpfs",     "fuse.rclone"};
    for (const char* n : kNetwork)
        if (fstype == n)
            return true;
    return false;
}

std::vector<VolumeMount> ListVolumes(const std::vector<MountEntry>& table) {
    static const char* const kNotVolumes[] = {"squashfs",    "erofs",           "overlay",
                                              "iso9660_img", "fuse.squashfuse", "autofs"};
    std::vector<VolumeMount> volumes;
    std::vector<dev_t> seen;
    for (const MountEntry& e : table) {
        if (IsNetworkFilesystem(e.fstype))
            continue;
        bool skip = false;
        for (const char* n : kNotVolumes)
            skip = skip || e.fstype == n;
        if (skip || e.source.empty() || e.source.front() != '/')
            continue;
        struct stat st {};
        if (::stat(e.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
            continue;
        if (std::find(seen.begin(), seen.end(), st.st_rdev) != seen.end())
            continue;
        seen.push_back(st.st_rdev);
        volumes.push_back({e.target, e.source, e.fstype});
    }
    return volumes;
}

std::vector<VolumeMount> ListVolumes() {
    return ListVolumes(ReadMountTable());
}

std::string MountPointOfPath(const std::string& path) {
    return MountPointOfPath(path, ReadMountTable());
}

} // namespace purgix::platform
