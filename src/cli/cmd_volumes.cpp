// Command `volumes`: the mounted volumes with file system, sizes and cluster geometry.
#include "cli/cli.h"

#include "drives/DriveInfos.h"

#include <nlohmann/json.hpp>

#include <iomanip>
#include <iostream>

namespace purgix::cli {
namespace {

using nlohmann::json;

const char* DriveTypeName(TDriveType t) {
    static const char* const names[] = {"DRIVE_UNKNOWN", "DRIVE_NO_ROOT_DIR", "DRIVE_REMOVABLE",
                                        "DRIVE_FIXED",   "DRIVE_REMOTE",      "DRIVE_CDROM",
                                        "DRIVE_RAMDISK"};
    return t >= DRIVE_UNKNOWN && t <= DRIVE_RAMDISK ? names[t] : "DRIVE_UNKNOWN";
}

const char* FSTypeName(TDriveFSType t) {
    static const char* const names[] = {"dfst_UNKNOWN", "dfst_UnknownFAT", "dfst_FAT12",
                                        "dfst_FAT16",   "dfst_FAT32",      "dfst_NTFS"};
    return t >= dfst_UNKNOWN && t <= dfst_NTFS ? names[t] : "dfst_UNKNOWN";
}

json FATJson(const TFATInfos& f) {
    return {{"Drive", f.Drive()},
            {"BytesPerSector", f.BytesPerSector()},
            {"BytesPerCluster", f.BytesPerCluster()},
            {"SectorsPerCluster", f.SectorsPerCluster()},
            {"ReservedSectors", f.ReservedSectors()},
            {"NumberofFats", f.NumberofFats()},
            {"RootDirEntryCount", f.RootDirEntryCount()},
            {"SectorCount", f.SectorCount()},
            {"SectorsofFAT", f.SectorsofFAT()},
            {"RootDirStartSector", f.RootDirStartSector()},
            {"RootDirStartCluster", f.RootDirStartCluster()},
            {"RootDirSectorCount", f.RootDirSectorCount()},
            {"FirstdataSector", f.FirstdataSector()},
            {"ClusterCount", f.ClusterCount()},
            {"FATType", FSTypeName(f.FATType())}};
}

json NTFSJson(const TNTFSInfos& n) {
    return {{"Drive", n.Drive()},
            {"VolumeSerialNumber", n.VolumeSerialNumber()},
            {"NumberSectors", n.NumberSectors()},
            {"TotalClusters", n.TotalClusters()},
            {"FreeClusters", n.FreeClusters()},
            {"TotalReserved", n.TotalReserved()},
            {"BytesPerSector", n.BytesPerSector()},
            {"BytesPerCluster", n.BytesPerCluster()},
            {"BytesPerFileRecordSegment", n.BytesPerFileRecordSegment()},
            {"ClustersPerFileRecordSegment", n.ClustersPerFileRecordSegment()},
            {"MftValidDataLength", n.MftValidDataLength()},
            {"MftStartLcn", n.MftStartLcn()},
            {"Mft2StartLcn", n.Mft2StartLcn()},
            {"MftZoneStart", n.MftZoneStart()},
            {"MftZoneEnd", n.MftZoneEnd()}};
}

json DriveJson(const TDriveInfo& d) {
    return {{"Drive", d.Drive()},
            {"MountPointGUID", d.MountPointGUID()},
            {"DriveType", DriveTypeName(d.DriveType())},
            {"DeviceType", d.DeviceType()},
            {"DeviceNumber", d.DeviceNumber()},
            {"PartitionNumber", d.PartitionNumber()},
            {"DriveLabel", d.DriveLabel()},
            {"DriveIcon", d.DriveIcon()},
            {"DriveFileSystem", FSTypeName(d.DriveFileSystem())},
            {"DriveFileSystemString", d.DriveFileSystemString()},
            {"DriveFileSystemStringShort", d.DriveFileSystemStringShort()},
            {"TotalSizeBytes", d.TotalSizeBytes()},
            {"TotalFreeBytes", d.TotalFreeBytes()},
            {"BytesPerCluster", d.BytesPerCluster()},
            {"SectorsPerCluster", d.SectorsPerCluster()},
            {"FATInfos", d.FATInfos() ? FATJson(*d.FATInfos()) : json(nullptr)},
            {"NTFSInfos", d.NTFSInfos() ? NTFSJson(*d.NTFSInfos()) : json(nullptr)}};
}

} // namespace

int CmdVolumes(Context& ctx) {
    if (!Positionals(ctx).empty())
        throw UsageError("volumes takes no arguments");
    const std::vector<std::string> drives = ListVolumeDrives();
    if (ctx.options.json) {
        json list = json::array();
        for (const std::string& d : drives)
            list.push_back(DriveJson(TDriveInfo(d)));
        ctx.out << list.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
        return kExitOk;
    }
    ctx.out << std::left << std::setw(28) << "MOUNT POINT" << ' ' << std::setw(16) << "DEVICE"
            << ' ' << std::setw(8) << "FS" << ' ' << std::right << std::setw(14) << "SIZE" << ' '
            << std::setw(14) << "FREE" << ' ' << std::setw(8) << "CLUSTER" << ' ' << std::setw(5)
            << "DISK" << ' ' << std::setw(4) << "PART" << '\n';
    for (const std::string& d : drives) {
        const TDriveInfo info(d);
        ctx.out << std::left << std::setw(28) << info.Drive() << ' ' << std::setw(16)
                << info.MountPointGUID() << ' ' << std::setw(8) << info.DriveFileSystemString()
                << ' ' << std::right << std::setw(14) << info.TotalSizeBytes() << ' '
                << std::setw(14) << info.TotalFreeBytes() << ' ' << std::setw(8)
                << info.BytesPerCluster() << ' ' << std::setw(5) << info.DeviceNumber() << ' '
                << std::setw(4) << info.PartitionNumber() << '\n';
    }
    return kExitOk;
}

} // namespace purgix::cli
