// The one writer for raw devices. Every raw write of the program goes through it: device and
// partition wiping, unpartitioned areas, fresh partition tables, boot media.
//
// Before it opens a device for writing, and again right before the first write, it checks that
// the device is still the one that was listed and that nothing uses it; otherwise it refuses and
// writes nothing.
#pragma once

#include "platform/fd.h"
#include "platform/stream.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace purgix::platform {

// What a device looked like when it was listed. A device is opened by its path, never by a
// disk number, and must still match this before anything is written.
struct DeviceIdentity {
    std::string path;
    dev_t rdev = 0;
    std::int64_t sizeBytes = -1;
    std::string loopBackingFile; // loop devices
    std::int64_t partStart = -1; // partitions: sysfs start (512-byte units)
    std::int64_t partSize = -1;  // partitions: sysfs size (512-byte units)
};

// Reads the identity of the device at `path` now. `ok` is false when it is no block device.
DeviceIdentity CaptureIdentity(const std::string& path, bool& ok);
// Empty when the device at identity.path is still that device; else why not.
std::string IdentityMismatch(const DeviceIdentity& expected);

// Everything that uses one of the devices: mounts (FUSE mounts that name the device included),
// active swap, holders (with `holders`), and processes other than this one that hold it open
// (this catches FUSE daemons whose mounts do not name the device). One text per use; empty when
// the devices are idle.
std::vector<std::string> DeviceUsers(const std::vector<dev_t>& devices, bool holders);

// Processes other than this one that have one of the devices open.
std::vector<pid_t> ProcessesHolding(const std::vector<dev_t>& devices);

enum class RawMode {
    WholeDevice, // a disk (or a device with a file system of its own) and all its partitions
    Partition,   // one partition device
    DiskArea,    // an unpartitioned range of a disk, written through the disk's device
};

struct RawTarget {
    RawMode mode = RawMode::WholeDevice;
    DeviceIdentity identity; // of the device that is opened (the disk, for DiskArea)
    // DiskArea: the byte range to write, and the byte ranges of the partitions of the on-disk
    // table (the kernel's view is read from sysfs).
    std::int64_t areaOffset = 0;
    std::int64_t areaLength = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> tablePartitions;
};

// An open device, written through the descriptor that holds the exclusive claim (O_EXCL; for a
// disk area, where other partitions may be mounted, the range checks take its place). Writes are
// O_DIRECT | O_DSYNC and must lie inside the device (or the area).
class RawDeviceWriter final : public IStreamHandle {
public:
    // Checks and opens. Null, with `refusal` saying why, when a check fails or the device cannot
    // be claimed; nothing has been written then.
    static std::unique_ptr<RawDeviceWriter> Open(const RawTarget& target, std::string& refusal);

    int Seek(std::int64_t position) override;
    // The first write repeats every check; when one fails the write fails with EBUSY, writes
    // nothing, and Refusal() says why. A write outside the device or area fails with EPERM.
    IoResult Write(const void* data, std::size_t length) override;
    // Flushes the device's caches; 0 or an errno.
    int Sync();
    // Asks the kernel to re-read the partition table of a whole device (BLKRRPART) through the
    // claiming descriptor, which the kernel requires while the claim is held; 0 or an errno
    // (EINVAL for a whole device without one, or when the target is no whole device).
    int RereadPartitionTable();

    std::int64_t Size() const noexcept { return size_; }
    int LogicalSectorSize() const noexcept { return sectorSize_; }
    const std::string& Refusal() const noexcept { return refusal_; }
    const RawTarget& Target() const noexcept { return target_; }

    // The checks of `target` as they stand now; empty when clear.
    static std::string Check(const RawTarget& target);

private:
    RawDeviceWriter(RawTarget target, UniqueFd fd, std::int64_t size, int sectorSize);

    RawTarget target_;
    UniqueFd fd_;
    std::int64_t size_;
    int sectorSize_;
    std::int64_t position_ = 0;
    bool checkedBeforeWrite_ = false;
    std::string refusal_;
};

} // namespace purgix::platform
