// Block devices as sysfs and the kernel describe them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace purgix::platform {

// sysfs is read below this root ("/sys" unless a test points it at a captured tree).
const std::string& SysfsRoot();
void SetSysfsRoot(std::string root);

struct BlockDeviceInfo {
    std::string path;       // device node as given, e.g. "/dev/loop3p1"
    std::string kernelName; // "loop3p1"
    dev_t rdev = 0;
    bool isPartition = false;
    std::string diskName;        // kernel name of the whole disk ("loop3"); itself for a disk
    int partitionNumber = 0;     // sysfs "partition"; 0 for a whole disk
    std::int64_t start = -1;     // partition start in 512-byte units (sysfs "start"); -1 for a disk
    std::int64_t size = 0;       // size in 512-byte units (sysfs "size")
    std::string loopBackingFile; // loop devices: the attached file; empty otherwise
    bool removable = false;      // sysfs "removable" of the disk
};

// Describes the block device node at `path` (follows /dev links such as /dev/disk/by-id/...).
// Empty when the path is not a block device or sysfs does not know it.
std::optional<BlockDeviceInfo> ProbeBlockDevice(const std::string& path);
std::optional<BlockDeviceInfo> ProbeBlockDevice(dev_t rdev);

// Kernel names of the partitions of a whole disk, in sysfs order.
std::vector<std::string> PartitionsOf(const std::string& diskName);
// Kernel names that hold the device (sysfs "holders": LVM, dm-crypt, md, ...).
std::vector<std::string> HoldersOf(const std::string& kernelName);
// The device number of a kernel name (sysfs "dev"), 0 when unknown.
dev_t DevOfKernelName(const std::string& kernelName);

// Whole-disk block devices in natural order of their kernel names ("sda" < "sdb" < "sdaa",
// "loop2" < "loop10"). Not disks: ram, zram, dm-*, md*, sr*, and loop devices without a
// backing file. The index in this list is the disk number N.
std::vector<std::string> ListDiskKernelNames();
// The index of a whole disk in ListDiskKernelNames(), -1 when it is none.
int DiskNumberOf(const std::string& diskName);

// Natural order of names with digits ("loop2" < "loop10").
bool NaturalLess(const std::string& a, const std::string& b);

// The bus a disk hangs on, from sysfs: "usb", "mmc", "nvme", "virtio", "scsi", "ata", or ""
// when it has none (loop devices) or it cannot be told.
std::string BusOf(const std::string& diskName);

// Size in bytes and logical sector size of an open block device; -1 on failure.
std::int64_t DeviceSizeBytes(int fd);
int LogicalSectorSize(int fd);

} // namespace purgix::platform
