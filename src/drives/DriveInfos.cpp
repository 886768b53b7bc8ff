#include "drives/DriveInfos.h"

#include "drives/vwin32.h"
#include "platform/aligned_buffer.h"
#include "platform/blockdev.h"
#include "platform/fsprobe.h"
#include "platform/mounts.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <array>

namespace purgix {
namespace {

std::string WithSlash(std::string s) {
    if (s.empty() || s.back() != '/')
        s += '/';
    return s;
}

struct FreeSpace {
    bool ok = false;
    std::int64_t total = 0;
    std::int64_t free = 0;
    std::int64_t fragment = 0;
};

// Sizes of the mounted file system (free = all free blocks, those reserved for root included).
FreeSpace StatFs(const std::string& drive) {
    FreeSpace fs;
    struct statvfs st {};
    if (::statvfs(drive.c_str(), &st) != 0)
        return fs;
    fs.ok = true;
    fs.fragment = static_cast<std::int64_t>(st.f_frsize);
    fs.total = static_cast<std::int64_t>(st.f_blocks) * fs.fragment;
    fs.free = static_cast<std::int64_t>(st.f_bfree) * fs.fragment;
    return fs;
}

const platform::MountEntry* MountAt(const std::vector<platform::MountEntry>& table,
                                    const std::string& drive) {
    const platform::MountEntry* found = nullptr;
    for (const auto& e : table)
        if (e.target == drive)
            found = &e; // the last mount at a point is the one in view
    return found;
}

TDriveType DriveTypeOf(const platform::MountEntry* mount, const std::string& device) {
    if (mount == nullptr)
        return DRIVE_NO_ROOT_DIR;
    if (platform::IsNetworkFilesystem(mount->fstype))
        return DRIVE_REMOTE;
    if (mount->fstype == "iso9660" || mount->fstype == "udf")
        return DRIVE_CDROM;
    const auto info = device.empty() ? std::nullopt : platform::ProbeBlockDevice(device);
    if (!info)
        return DRIVE_UNKNOWN;
    const std::string& disk = info->diskName;
    if (disk.rfind("sr", 0) == 0)
        return DRIVE_CDROM;
    if (disk.rfind("ram", 0) == 0 || disk.rfind("zram", 0) == 0)
        return DRIVE_RAMDISK;
    const std::string bus = platform::BusOf(disk);
    if (info->removable || bus == "usb" || bus == "mmc")
        return DRIVE_REMOVABLE;
    return DRIVE_FIXED;
}

std::string IconOf(TDriveType type, const std::string& device) {
    switch (type) {
    case DRIVE_REMOVABLE: {
        const auto info = platform::ProbeBlockDevice(device);
        return info && platform::BusOf(info->diskName) == "usb" ? "drive-removable-media-usb"
                                                                : "drive-removable-media";
    }
    case DRIVE_CDROM:
        return "media-optical";
    case DRIVE_REMOTE:
        return "folder-remote";
    default:
        return "drive-harddisk";
    }
}

} // namespace

void TFATInfos::SetDrive(const std::string& drive) {
    if (drive == FDrive)
        return;
    FDrive = drive;
    std::array<std::uint8_t, 512> sector{};
    if (!ReadDriveSectors(drive, 1, 512, sector.data(), 0))
        return;
    Decode(sector.data());
}

void TNTFSInfos::SetDrive(const std::string& drive) {
    if (drive == FDrive)
        return;
    FDrive = drive;
    int handle = -1;
    if (OpenVolume(handle, drive) != 0)
        return;
    NTFSFields fields = F;
    std::array<std::uint8_t, 512> boot{};
    bool ok = ReadSectors(handle, 1, 512, boot.data(), 0) &&
              DecodeNTFSBootSector(boot.data(), boot.size(), fields);
    if (ok) {
        // Record 0 of the master file table, as it is on the disk now.
        const std::uint32_t size = fields.BytesPerFileRecordSegment;
        const auto offset = static_cast<std::uint64_t>(fields.MftStartLcn) * fields.BytesPerCluster;
        platform::AlignedBuffer record(size);
        ok = size % 512 == 0 && offset % 512 == 0 &&
             ReadSectors(handle, static_cast<std::uint16_t>(size / 512), 512, record.Data(),
                         offset / 512) &&
             DecodeNTFSMftRecord0(record.Data(), size, fields);
    }
    CloseVolume(handle);
    if (!ok)
        return;
    const FreeSpace fs = StatFs(drive);
    if (fs.ok && fields.BytesPerCluster > 0)
        fields.FreeClusters = fs.free / fields.BytesPerCluster;
    F = fields;
}

TDriveInfo::TDriveInfo(const std::string& drive) : FDrive(drive) {
    const std::string mp = WithSlash(drive);
    const auto table = platform::ReadMountTable();
    const platform::MountEntry* mount = MountAt(table, mp);
    FMountPointGUID = GetVolumeDevicePath(mp);
    FDriveType = DriveTypeOf(mount, FMountPointGUID);
    FDriveIcon = IconOf(FDriveType, FMountPointGUID);
    const platform::FilesystemProbe probe = FMountPointGUID.empty()
                                                ? platform::FilesystemProbe{}
                                                : platform::ProbeFilesystem(FMountPointGUID);
    FDriveLabel = probe.label.empty() ? mp : probe.label + " (" + mp + ")";

    int type = -1, number = -1, part = -1;
    if (GetDriveDeviceNumber(mp, type, number, part)) {
        FDeviceType = type;
        FDeviceNumber = number;
        FPartitionNumber = part;
    }
    if (FMountPointGUID.empty())
        return; // no local volume: nothing more to learn

    const FreeSpace fs = StatFs(mp);
    if (probe.type == "ntfs") {
        FDriveFSType = dfst_NTFS;
        FNTFSInfos = std::make_unique<TNTFSInfos>();
        FNTFSInfos->SetDrive(mp);
        const std::int64_t cluster = FNTFSInfos->BytesPerCluster();
        FTotalSizeBytes = FNTFSInfos->TotalClusters() * cluster;
        FTotalFreeBytes = FNTFSInfos->FreeClusters() * cluster;
        FBytesPerCluster = static_cast<std::int32_t>(cluster);
        if (FNTFSInfos->BytesPerSector() > 0)
            FSectorsPercluster = static_cast<std::int32_t>(cluster / FNTFSInfos->BytesPerSector());
    } else if (probe.type == "vfat") {
        FFATInfos = std::make_unique<TFATInfos>();
        FFATInfos->SetDrive(mp);
        FDriveFSType = FFATInfos->FATType();
        FBytesPerCluster = static_cast<std::int32_t>(FFATInfos->BytesPerCluster());
        FTotalSizeBytes =
            static_cast<std::int64_t>(FFATInfos->ClusterCount()) * FFATInfos->BytesPerCluster();
        FSectorsPercluster = FFATInfos->SectorsPerCluster();
        if (FTotalSizeBytes == 0 && fs.ok)
            FTotalSizeBytes = fs.total;
        FTotalFreeBytes = fs.ok ? fs.free : 0;
    } else {
        FFileSystemName = probe.type.empty() ? (mount ? mount->fstype : "") : probe.type;
    }

    // Whatever could not be read from the disk comes from the mounted file system, so that a
    // mounted local volume never has a cluster size of 0.
    if (FBytesPerCluster <= 0 && fs.ok && fs.fragment > 0) {
        FBytesPerCluster = static_cast<std::int32_t>(fs.fragment);
        FTotalSizeBytes = fs.total;
        FTotalFreeBytes = fs.free;
        int handle = -1;
        if (OpenVolume(handle, mp) == 0) {
            const int sector = platform::LogicalSectorSize(handle);
            if (sector > 0)
                FSectorsPercluster = FBytesPerCluster / sector;
            CloseVolume(handle);
        }
    }
}

std::string DriveFSTypeString(TDriveFSType type) {
    switch (type) {
    case dfst_UnknownFAT:
        return "FAT?";
    case dfst_FAT12:
        return "FAT12";
    case dfst_FAT16:
        return "FAT16";
    case dfst_FAT32:
        return "FAT32";
    case dfst_NTFS:
        return "NTFS";
    default:
        return "?";
    }
}

std::string TDriveInfo::DriveFileSystemString() const {
    if (FDriveFSType == dfst_UNKNOWN && !FFileSystemName.empty())
        return FFileSystemName;
    return DriveFSTypeString(FDriveFSType);
}

std::string TDriveInfo::DriveFileSystemStringShort() const {
    switch (FDriveFSType) {
    case dfst_FAT12:
    case dfst_FAT16:
    case dfst_FAT32:
        return "FAT";
    case dfst_NTFS:
        return "NTFS";
    default:
        return "";
    }
}

bool IsDriveExternalFlash(const std::string& drive) {
    const std::string device = GetVolumeDevicePath(WithSlash(drive));
    const auto info = device.empty() ? std::nullopt : platform::ProbeBlockDevice(device);
    if (!info)
        return true;
    const std::string bus = platform::BusOf(info->diskName);
    return (bus == "usb" && info->removable) || bus == "mmc";
}

std::vector<std::string> ListVolumeDrives() {
    std::vector<std::string> drives;
    for (const auto& v : platform::ListVolumes())
        drives.push_back(v.mountPoint);
    return drives;
}

} // namespace purgix
