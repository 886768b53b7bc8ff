// Low-level access to volumes and disks: raw reads of a volume's sectors, which disk and
// partition a volume lives on, telling FAT and NTFS apart, claiming and unmounting a volume
// before it is overwritten, and partition type names.
//
// A "drive" is a mounted volume named by its mount point (with trailing "/"), used exactly as it
// is. Handles are file descriptors; -1 means none.
#pragma once

#include <cstdint>
#include <string>

namespace purgix::platform {
class RawDeviceWriter;
} // namespace purgix::platform

namespace purgix {

// Device type codes of the storage device number.
inline constexpr int FILE_DEVICE_CD_ROM = 2;
inline constexpr int FILE_DEVICE_DISK = 7;

// Opens the block device of the volume mounted at `drive` read-only and unbuffered.
// 0 when opened, 1 when not (handle then -1).
int OpenVolume(int& handle, const std::string& drive);
// 0 when a handle was closed, 3 when there was nothing to close (0 or -1); the handle is -1
// afterwards.
int CloseVolume(int& handle);
// The block device of the file system mounted exactly at `mountPoint`; empty when it is no
// mount point or has no block device.
std::string GetVolumeDevicePath(const std::string& mountPoint);
// Device type (7 disk, 2 CD-ROM), disk number N (index in the sorted disk list) and partition
// number (0 for a whole device) of an open block device. All -1 when it cannot be told.
bool GetStorageDeviceNumber(int handle, int& deviceType, int& deviceNumber, int& partitionNumber);
// The same for the volume at `drive`; false (outputs untouched) when it cannot be opened.
bool GetDriveDeviceNumber(const std::string& drive, int& deviceType, int& deviceNumber,
                          int& partitionNumber);
// The same for a block device path.
bool GetDeviceNumberOfPath(const std::string& device, int& deviceType, int& deviceNumber,
                           int& partitionNumber);
// The volume's file system as libblkid names it: "vfat" counts as FAT, "ntfs" as NTFS.
bool IsFATVolume(const std::string& drive);
bool IsNTFSVolume(const std::string& drive);
// Reads `count` sectors of `size` bytes from sector `first` into `buffer`; true only when all
// of them were read. The handle may be unbuffered: reads go through an aligned buffer of whole
// logical sectors. A handle of -1 gives false without touching the buffer; a failed seek sends
// the system's message to the debug output.
bool ReadSectors(int handle, std::uint16_t count, std::uint32_t size, void* buffer,
                 std::uint64_t first);
bool ReadDriveSectors(const std::string& drive, std::uint16_t count, std::uint32_t size,
                      void* buffer, std::uint64_t first);
// Claims the device of `handle` exclusively (O_EXCL, with the raw writer's checks: not mounted,
// no swap, no holders, open in no other process). With `dismount`, first unmounts every mount
// of the device (never forced, never lazy), waits for FUSE daemons to let go, then claims it; the
// result is then whether that succeeded. On success `handle` is replaced by the claiming
// descriptor, which holds the claim until it is closed.
bool LockVolume(int& handle, bool dismount);
// The first LBA of the partition of a fresh table: 1 MiB in, so that the partition never lies
// over the table itself.
std::uint64_t WholeDiskPartitionStart(int sectorSize);
// Builds the 512-byte master boot record of a fresh table on a disk of `diskBytes` with logical
// sectors of `sectorSize`: no boot code, disk signature 0x000055AA, and one partition of type
// 0x0B, not active, from WholeDiskPartitionStart to the end of the disk (as far as the 32-bit
// sector count of an MBR reaches). False when the disk has no room behind the first MiB.
bool BuildWholeDiskMbr(std::int64_t diskBytes, int sectorSize, std::uint8_t* mbr512);
// Writes a fresh table (BuildWholeDiskMbr, with the rest of the first MiB zeroed, old boot code
// and a primary GPT header there included) through `disk`, a writer opened over a whole disk,
// then brings the kernel's partitions in line: BLKRRPART, and BLKPG where the re-read left them
// missing or stale. True when the table was written and the kernel lists its partition; nothing
// is written when the disk is too small or the writer refuses.
bool CreateWholeDiskPartition(platform::RawDeviceWriter& disk);
// The display name of an MBR partition type byte; empty for types without one.
std::string GetPartitionTypeName(std::uint8_t type);

} // namespace purgix
