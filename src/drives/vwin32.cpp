#include "drives/vwin32.h"

#include "platform/aligned_buffer.h"
#include "platform/blockdev.h"
#include "platform/debug.h"
#include "platform/fsprobe.h"
#include "platform/mounts.h"
#include "platform/partlayout.h"
#include "platform/rawwriter.h"
#include "platform/syserror.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace purgix {
namespace {

std::string WithSlash(std::string s) {
    if (s.empty() || s.back() != '/')
        s += '/';
    return s;
}

std::string FilesystemType(const std::string& drive) {
    const std::string device = GetVolumeDevicePath(drive);
    return device.empty() ? std::string() : platform::ProbeFilesystem(device).type;
}

void DebugSeekError(int error) {
    std::string text = platform::SysErrorMessage(error);
    if (text.size() > 500)
        text.resize(500);
    platform::DebugOutput(text);
}

// Opens the device read-only with an exclusive claim after the usage checks; -1 when refused.
int Claim(dev_t rdev, const std::string& path) {
    if (!platform::DeviceUsers({rdev}, true).empty())
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_rdev != rdev) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string GetVolumeDevicePath(const std::string& mountPoint) {
    if (mountPoint.empty())
        return {};
    const std::string wanted = WithSlash(mountPoint);
    std::string device;
    for (const platform::MountEntry& e : platform::ReadMountTable()) {
        if (e.target != wanted)
            continue;
        struct stat st {};
        device = (!e.source.empty() && e.source.front() == '/' &&
                  ::stat(e.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
                     ? e.source
                     : std::string(); // the last mount at a point is the one in view
    }
    return device;
}

int OpenVolume(int& handle, const std::string& drive) {
    handle = -1;
    const std::string device = GetVolumeDevicePath(drive);
    if (device.empty())
        return 1;
    handle = ::open(device.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    return handle < 0 ? (handle = -1, 1) : 0;
}

int CloseVolume(int& handle) {
    const int result = (handle != 0 && handle != -1) ? (::close(handle), 0) : 3;
    handle = -1;
    return result;
}

bool GetStorageDeviceNumber(int handle, int& deviceType, int& deviceNumber, int& partitionNumber) {
    deviceType = deviceNumber = partitionNumber = -1;
    struct stat st {};
    if (handle < 0 || ::fstat(handle, &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    const auto info = platform::ProbeBlockDevice(st.st_rdev);
    if (!info)
        return false;
    if (info->diskName.rfind("sr", 0) == 0) {
        deviceType = FILE_DEVICE_CD_ROM;
        deviceNumber = std::atoi(info->diskName.c_str() + 2);
        partitionNumber = 0;
        return true;
    }
    const int n = platform::DiskNumberOf(info->diskName);
    if (n < 0)
        return false;
    deviceType = FILE_DEVICE_DISK;
    deviceNumber = n;
    partitionNumber = info->partitionNumber;
    return true;
}

bool GetDriveDeviceNumber(const std::string& drive, int& deviceType, int& deviceNumber,
                          int& partitionNumber) {
    int handle = -1;
    if (OpenVolume(handle, drive) != 0)
        return false;
    const bool ok = GetStorageDeviceNumber(handle, deviceType, deviceNumber, partitionNumber);
    CloseVolume(handle);
    return ok;
}

bool GetDeviceNumberOfPath(const std::string& device, int& deviceType, int& deviceNumber,
                           int& partitionNumber) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool ok = GetStorageDeviceNumber(fd, deviceType, deviceNumber, partitionNumber);
    ::close(fd);
    return ok;
}

bool IsFATVolume(const std::string& drive) {
    return FilesystemType(drive) == "vfat";
}
bool IsNTFSVolume(const std::string& drive) {
    return FilesystemType(drive) == "ntfs";
}

bool ReadSectors(int handle, std::uint16_t count, std::uint32_t size, void* buffer,
                 std::uint64_t first) {
    if (handle == -1)
        return false;
    const std::uint64_t start = first * size;
    const std::uint64_t length = static_cast<std::uint64_t>(count) * size;
    // Unbuffered handles take whole logical sectors into aligned memory.
    std::uint64_t unit = 1;
    struct stat st {};
    if (::fstat(handle, &st) == 0 && S_ISBLK(st.st_mode)) {
        const int logical = platform::LogicalSectorSize(handle);
        unit = logical > 0 ? static_cast<std::uint64_t>(logical) : 512;
    } else if ((::fcntl(handle, F_GETFL) & O_DIRECT) != 0) {
        unit = 4096;
    }
    const std::uint64_t alignedStart = start / unit * unit;
    const std::uint64_t alignedEnd = (start + length + unit - 1) / unit * unit;
    if (::lseek(handle, static_cast<off_t>(alignedStart), SEEK_SET) < 0) {
        DebugSeekError(errno);
        return false;
    }
    if (length == 0)
        return true;
    platform::AlignedBuffer bounce(static_cast<std::size_t>(alignedEnd - alignedStart));
    std::size_t got = 0;
    while (got < bounce.Size()) {
        const ssize_t n = ::read(handle, bounce.Data() + got, bounce.Size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < (start - alignedStart) + length)
        return false;
    std::memcpy(buffer, bounce.Data() + (start - alignedStart), static_cast<std::size_t>(length));
    return true;
}

bool ReadDriveSectors(const std::string& drive, std::uint16_t count, std::uint32_t size,
                      void* buffer, std::uint64_t first) {
    int handle = -1;
    if (OpenVolume(handle, drive) != 0)
        return false;
    const bool ok = ReadSectors(handle, count, size, buffer, first);
    CloseVolume(handle);
    return ok;
}

bool LockVolume(int& handle, bool dismount) {
    struct stat st {};
    if (handle < 0 || ::fstat(handle, &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    const auto info = platform::ProbeBlockDevice(st.st_rdev);
    if (!info)
        return false;
    const std::string path = "/dev/" + info->kernelName;
    int claim = Claim(st.st_rdev, path);
    if (dismount) {
        if (claim >= 0) {
            ::close(claim); // nothing was mounted; claim again below like every other case
            claim = -1;
        }
        bool unmounted = true;
        const auto table = platform::ReadMountTable();
        for (auto it = table.rbegin(); it != table.rend(); ++it) {
            struct stat src {};
            const bool ofDevice =
                (it->devno == st.st_rdev) || (!it->source.empty() && it->source.front() == '/' &&
                                              ::stat(it->source.c_str(), &src) == 0 &&
                                              S_ISBLK(src.st_mode) && src.st_rdev == st.st_rdev);
            if (ofDevice && ::umount2(it->target.c_str(), 0) != 0) {
                platform::DebugOutput("umount " + it->target + ": " +
                                      platform::SysErrorMessage(errno));
                unmounted = false;
            }
        }
        if (!unmounted)
            return false;
        // A FUSE daemon lets go of the device a moment after its mount is gone.
        for (int i = 0; i < 100 && !platform::ProcessesHolding({st.st_rdev}).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        claim = Claim(st.st_rdev, path);
    }
    if (claim < 0)
        return false;
    ::close(handle);
    handle = claim;
    return true;
}

namespace {

constexpr std::int64_t kTableGap = 1024 * 1024;
constexpr std::uint32_t kDiskSignature = 0x000055AA;
constexpr std::uint8_t kFat32Type = 0x0B;

void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Cylinder, head, sector of an LBA in the usual 255-head, 63-sector translation; beyond its reach
// the "use LBA" marker.
void PutChs(std::uint8_t* p, std::uint64_t lba) {
    constexpr std::uint64_t heads = 255, sectors = 63;
    if (lba >= 1024 * heads * sectors) {
        p[0] = 0xFE;
        p[1] = 0xFF;
        p[2] = 0xFF;
        return;
    }
    const std::uint64_t c = lba / (heads * sectors);
    const std::uint64_t h = (lba / sectors) % heads;
    const std::uint64_t s = lba % sectors + 1;
    p[0] = static_cast<std::uint8_t>(h);
    p[1] = static_cast<std::uint8_t>(s | ((c >> 2) & 0xC0));
    p[2] = static_cast<std::uint8_t>(c & 0xFF);
}

} // namespace

std::uint64_t WholeDiskPartitionStart(int sectorSize) {
    return sectorSize > 0 ? static_cast<std::uint64_t>(kTableGap / sectorSize) : 0;
}

bool BuildWholeDiskMbr(std::int64_t diskBytes, int sectorSize, std::uint8_t* mbr512) {
    if (sectorSize < 512 || kTableGap % sectorSize != 0 || diskBytes < 0)
        return false;
    const std::uint64_t total = static_cast<std::uint64_t>(diskBytes) / sectorSize;
    const std::uint64_t start = WholeDiskPartitionStart(sectorSize);
    if (total <= start)
        return false;
    const std::uint64_t count = std::min<std::uint64_t>(total - start, 0xFFFFFFFFu);
    std::memset(mbr512, 0, 512);
    PutLE32(mbr512 + 440, kDiskSignature);
    std::uint8_t* entry = mbr512 + 446;
    entry[0] = 0x00; // not active
    PutChs(entry + 1, start);
    entry[4] = kFat32Type;
    PutChs(entry + 5, start + count - 1);
    PutLE32(entry + 8, static_cast<std::uint32_t>(start));
    PutLE32(entry + 12, static_cast<std::uint32_t>(count));
    mbr512[510] = 0x55;
    mbr512[511] = 0xAA;
    return true;
}

bool CreateWholeDiskPartition(platform::RawDeviceWriter& disk) {
    if (disk.Target().mode != platform::RawMode::WholeDevice)
        return false;
    const int sector = disk.LogicalSectorSize();
    platform::AlignedBuffer head(static_cast<std::size_t>(kTableGap));
    if (!BuildWholeDiskMbr(disk.Size(), sector, head.Data())) {
        platform::DebugOutput("CreateWholeDiskPartition: no room for a partition on " +
                              disk.Target().identity.path);
        return false;
    }
    if (disk.Seek(0) != 0)
        return false;
    const platform::IoResult r = disk.Write(head.Data(), head.Size());
    if (!r.Ok() || r.bytes != head.Size()) {
        platform::DebugOutput(
            "CreateWholeDiskPartition: " +
            (disk.Refusal().empty() ? platform::SysErrorMessage(r.error) : disk.Refusal()));
        return false;
    }
    if (const int e = disk.Sync(); e != 0) {
        platform::DebugOutput("CreateWholeDiskPartition: " + platform::SysErrorMessage(e));
        return false;
    }
    // The kernel may not parse the table at all (loop devices without partition scanning):
    // whatever the re-read gives, BLKPG then adds, resizes or removes what it left out of line.
    disk.RereadPartitionTable();
    const std::uint8_t* c = head.Data() + 446 + 12;
    const std::uint32_t count = c[0] | (c[1] << 8) | (c[2] << 16) | (std::uint32_t{c[3]} << 24);
    platform::PartitionTable table;
    table.type = "dos";
    platform::TablePartition p;
    p.number = 1;
    p.startBytes = static_cast<std::int64_t>(WholeDiskPartitionStart(sector)) * sector;
    p.sizeBytes = static_cast<std::int64_t>(count) * sector;
    p.mbrType = kFat32Type;
    table.partitions.push_back(p);
    if (const std::string failure =
            platform::SyncKernelPartitions(disk.Target().identity.path, table);
        !failure.empty()) {
        platform::DebugOutput("CreateWholeDiskPartition: " + failure);
        return false;
    }
    return true;
}

std::string GetPartitionTypeName(std::uint8_t type) {
    switch (type) {
    case 0x01:
        return "FAT12 PARTITION";
    case 0x04:
        return "FAT16 PARTITION";
    case 0x07:
        return "NTFS PARTITION";
    case 0x0B:
        return "FAT32 PARTITION";
    case 0x42:
    case 0x82:
        return "LINUX SWAP PARTITION";
    case 0x43:
    case 0x83:
        return "LINUX NATIVE";
    case 0x84:
        return "HIBERNATION PARTITION";
    case 0xAF:
        return "MAC OS X PARTITION";
    case 0xEE:
        return "EFI/GPT SYSTEM PARTITION";
    default:
        return {};
    }
}

} // namespace purgix
