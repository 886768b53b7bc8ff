// Snapshots of mounted volumes.
//
// A "drive" here is a mounted volume named by its mount point (with trailing "/"), used exactly
// as it is (never case-folded). A TDriveInfo gathers everything in its constructor and is never
// refreshed; create one, read it, drop it.
#pragma once

#include "drives/fsdecode.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace purgix {

// Kind of drive; the ordinals are those of the Windows drive-type query.
enum TDriveType : std::int32_t {
    DRIVE_UNKNOWN,
    DRIVE_NO_ROOT_DIR, // not a mount point
    DRIVE_REMOVABLE,
    DRIVE_FIXED,
    DRIVE_REMOTE,
    DRIVE_CDROM,
    DRIVE_RAMDISK,
};

// Geometry of a FAT volume from its boot sector.
class TFATInfos {
public:
    const std::string& Drive() const noexcept { return FDrive; }
    // Reads and decodes sector 0 of the volume mounted at `drive`; assigning the drive it
    // already holds does nothing. When the sector cannot be read every value stays as it was.
    void SetDrive(const std::string& drive);
    // Decodes a 512-byte boot sector (what SetDrive does with the sector it read).
    void Decode(const std::uint8_t* sector512) { DecodeFATBootSector(sector512, F); }

    std::uint16_t BytesPerSector() const noexcept { return F.BytesPerSec; }
    // 65536 for 64 KiB clusters.
    std::uint32_t BytesPerCluster() const noexcept { return F.BytesPerCluster; }
    std::uint8_t SectorsPerCluster() const noexcept { return F.SectorsPerCluster; }
    std::uint16_t ReservedSectors() const noexcept { return F.ReservedSectors; }
    std::uint8_t NumberofFats() const noexcept { return F.NumberofFats; }
    std::uint16_t RootDirEntryCount() const noexcept { return F.RootDirEntryCount; }
    std::uint32_t SectorCount() const noexcept { return F.SectorCount; }
    std::uint32_t SectorsofFAT() const noexcept { return F.SectorsOfFAT; }
    std::uint32_t RootDirStartSector() const noexcept { return F.RootDirStartSector; }
    std::uint32_t RootDirStartCluster() const noexcept { return F.RootDirStartCluster; }
    std::uint32_t RootDirSectorCount() const noexcept { return F.RootDirSectorCount; }
    std::uint32_t FirstdataSector() const noexcept { return F.FirstDataSector; }
    std::uint32_t ClusterCount() const noexcept { return F.ClusterCount; }
    TDriveFSType FATType() const noexcept { return F.FatType; }

private:
    std::string FDrive;
    FATFields F;
};

// Volume data of an NTFS volume, read from its boot sector and record 0 of its master file table
// (MftValidDataLength is the initialized size of the $MFT data as it is on the disk now).
// FreeClusters comes from the mounted file system's free-space count. TotalReserved,
// MftZoneStart and MftZoneEnd are run-time bookkeeping of the Windows driver, stored nowhere on
// the disk: they stay 0.
class TNTFSInfos {
public:
    const std::string& Drive() const noexcept { return FDrive; }
    // Reads the volume data of the volume mounted at `drive`; assigning the drive it already
    // holds does nothing. On failure every value stays as it was.
    void SetDrive(const std::string& drive);

    std::int64_t VolumeSerialNumber() const noexcept { return F.VolumeSerialNumber; }
    std::int64_t NumberSectors() const noexcept { return F.NumberSectors; }
    std::int64_t TotalClusters() const noexcept { return F.TotalClusters; }
    std::int64_t FreeClusters() const noexcept { return F.FreeClusters; }
    std::int64_t TotalReserved() const noexcept { return F.TotalReserved; }
    std::uint32_t BytesPerSector() const noexcept { return F.BytesPerSector; }
    std::uint32_t BytesPerCluster() const noexcept { return F.BytesPerCluster; }
    std::uint32_t BytesPerFileRecordSegment() const noexcept { return F.BytesPerFileRecordSegment; }
    std::uint32_t ClustersPerFileRecordSegment() const noexcept {
        return F.ClustersPerFileRecordSegment;
    }
    std::int64_t MftValidDataLength() const noexcept { return F.MftValidDataLength; }
    std::int64_t MftStartLcn() const noexcept { return F.MftStartLcn; }
    std::int64_t Mft2StartLcn() const noexcept { return F.Mft2StartLcn; }
    std::int64_t MftZoneStart() const noexcept { return F.MftZoneStart; }
    std::int64_t MftZoneEnd() const noexcept { return F.MftZoneEnd; }

private:
    std::string FDrive;
    NTFSFields F;
};

// One mounted volume.
//
// FAT and NTFS volumes are described from their on-disk structures. Other local file systems
// (ext4, xfs, btrfs, exFAT, ...) take sizes and cluster size from the mounted file system, so
// that they can be wiped like any other: DriveFileSystem is dfst_UNKNOWN,
// DriveFileSystemString the file system's name ("ext4"), DriveFileSystemStringShort "". A
// mounted local volume therefore never has a cluster size of 0.
class TDriveInfo {
public:
    explicit TDriveInfo(const std::string& drive);
    TDriveInfo(const TDriveInfo&) = delete;
    TDriveInfo& operator=(const TDriveInfo&) = delete;

    const std::string& Drive() const noexcept { return FDrive; }
    // The volume's block device; empty when it has none.
    const std::string& MountPointGUID() const noexcept { return FMountPointGUID; }
    TDriveType DriveType() const noexcept { return FDriveType; }
    std::int32_t DeviceType() const noexcept { return FDeviceType; }
    std::int32_t DeviceNumber() const noexcept { return FDeviceNumber; }
    std::int32_t PartitionNumber() const noexcept { return FPartitionNumber; }
    const std::string& DriveLabel() const noexcept { return FDriveLabel; }
    // Icon-theme name ("drive-harddisk", "drive-removable-media-usb", "media-optical",
    // "folder-remote").
    const std::string& DriveIcon() const noexcept { return FDriveIcon; }
    TDriveFSType DriveFileSystem() const noexcept { return FDriveFSType; }
    std::string DriveFileSystemString() const;
    std::string DriveFileSystemStringShort() const;
    std::int64_t TotalSizeBytes() const noexcept { return FTotalSizeBytes; }
    std::int64_t TotalFreeBytes() const noexcept { return FTotalFreeBytes; }
    std::int32_t BytesPerCluster() const noexcept { return FBytesPerCluster; }
    std::int32_t SectorsPerCluster() const noexcept { return FSectorsPercluster; }
    const TFATInfos* FATInfos() const noexcept { return FFATInfos.get(); }
    const TNTFSInfos* NTFSInfos() const noexcept { return FNTFSInfos.get(); }

private:
    std::string FDrive;
    std::string FMountPointGUID;
    TDriveType FDriveType = DRIVE_UNKNOWN;
    std::unique_ptr<TFATInfos> FFATInfos;
    std::unique_ptr<TNTFSInfos> FNTFSInfos;
    std::int64_t FTotalSizeBytes = 0;
    std::int64_t FTotalFreeBytes = 0;
    std::int32_t FDeviceNumber = -1;
    std::int32_t FPartitionNumber = -1;
    std::int32_t FBytesPerCluster = 0;
    std::int32_t FDeviceType = -1;
    std::string FDriveLabel;
    std::string FDriveIcon;
    TDriveFSType FDriveFSType = dfst_UNKNOWN;
    std::int32_t FSectorsPercluster = 0;
    std::string FFileSystemName; // libblkid's name, for file systems other than FAT and NTFS
};

// The text of a file-system kind: "?", "FAT?", "FAT12", "FAT16", "FAT32", "NTFS".
std::string DriveFSTypeString(TDriveFSType type);

// True when the drive is flash media that wear levelling may keep old copies on: a removable
// USB device, or an SD / MMC card. True as well whenever it cannot be told.
bool IsDriveExternalFlash(const std::string& drive);

// Mount points of the mounted volumes (local file systems on block devices, each device once,
// in mount-table order).
std::vector<std::string> ListVolumeDrives();

} // namespace purgix
