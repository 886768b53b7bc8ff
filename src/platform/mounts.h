// The mount table.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace purgix::platform {

struct MountEntry {
    std::string target; // mount point, with a trailing "/"
    std::string source; // device or other source as the table names it
    std::string fstype; // "ext4", "fuseblk", "fuse.fusefat", ...
    std::string options;
    dev_t devno = 0; // major:minor of the mounted file system
};

// The mounts of this process's mount namespace, in mount-table order (libmount, so that mount
// points with blanks and other escaped characters come out right). Empty when unreadable.
std::vector<MountEntry> ReadMountTable();

// The mount point (with trailing "/") of the mounted file system that holds `path`: the longest
// mount point that contains it, the last mount winning where several share one point. The path
// is made canonical first: its folder's symbolic links are resolved, a final symbolic link is
// not (the link itself lives in the folder). For a path that does not exist, its nearest
// existing parent is used. Empty for a relative path or when the table cannot be read.
std::string MountPointOfPath(const std::string& path);

// A mounted volume: a local file system backed by a block device.
struct VolumeMount {
    std::string mountPoint; // with trailing "/"
    std::string device;     // the block device as the mount table names it
    std::string fstype;
};

// The mounted volumes, each device once (its first mount point), in mount-table order. FUSE
// mounts count when their source is a block device (ntfs-3g's fuseblk; fusefat mounted with
// fsname=DEVICE). Pseudo, virtual, image and network file systems are not volumes.
std::vector<VolumeMount> ListVolumes();
std::vector<VolumeMount> ListVolumes(const std::vector<MountEntry>& table);

// True for network file systems (nfs, cifs, sshfs, ...), whose paths are refused as targets.
bool IsNetworkFilesystem(const std::string& fstype);

// The same over a given table (tests).
std::string MountPointOfPath(const std::string& path, const std::vector<MountEntry>& table);

} // namespace purgix::platform
