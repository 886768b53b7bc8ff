// Volume snapshots of real file systems on loop devices, checked against independent readings:
// the tools of each file system and statvfs.
#include "drives/DriveInfos.h"

#include "support/loopdev.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/statvfs.h>

#include <regex>

namespace purgix {
namespace {

using test::LoopDevice;
using test::MustRun;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;

// The first number after `label` in a tool's output.
std::int64_t NumberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos)
        return -1;
    std::smatch m;
    const std::string rest = text.substr(at + label.size());
    if (!std::regex_search(rest, m, std::regex("(\\d+)")))
        return -1;
    return std::stoll(m[1]);
}

// The number in front of `label` on its line ("  2048 bytes per cluster").
std::int64_t NumberBefore(const std::string& text, const std::string& label) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("(\\d+) " + label)))
        return -1;
    return std::stoll(m[1]);
}

TEST(DriveInfo, FatVolumesMatchTheirBootSectorAsFsckReadsIt) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.fat");
    PURGIX_REQUIRE_TOOL("fusefat");
    struct Case {
        std::string fat;
        std::int64_t size;
        TDriveFSType type;
    };
    for (const Case& c : {Case{"12", 4 * kMiB, dfst_FAT12}, Case{"16", 64 * kMiB, dfst_FAT16},
                          Case{"32", 96 * kMiB, dfst_FAT32}}) {
        SCOPED_TRACE("FAT" + c.fat);
        TempDir dir;
        const std::string img = test::MakeImage(dir, "fat.img", c.size);
        MustRun({"mkfs.fat", "-F", c.fat, "-n", "TESTVOL", img});
        // The boot sector as an independent reader sees it, before the driver touches it.
        const std::string fsck = MustRun({"fsck.fat", "-v", "-n", img});
        LoopDevice loop(dir, img);
        const std::string mp = loop.Mount(loop.Path(), "fusefat", dir.File("mnt"));

        const TDriveInfo info(mp);
        EXPECT_EQ(info.Drive(), mp);
        EXPECT_EQ(info.MountPointGUID(), loop.Path());
        EXPECT_EQ(info.DriveFileSystem(), c.type);
        EXPECT_EQ(info.DriveFileSystemString(), "FAT" + c.fat);
        EXPECT_EQ(info.DriveFileSystemStringShort(), "FAT");
        EXPECT_EQ(info.DriveType(), DRIVE_FIXED);
        EXPECT_EQ(info.DriveLabel(), "TESTVOL (" + mp + ")");
        EXPECT_EQ(info.DeviceType(), 7);
        EXPECT_EQ(info.PartitionNumber(), 0);
        ASSERT_NE(info.FATInfos(), nullptr);
        EXPECT_EQ(info.NTFSInfos(), nullptr);
        const TFATInfos& f = *info.FATInfos();
        const std::int64_t cluster = NumberBefore(fsck, "bytes per cluster");
        const std::int64_t clusters = NumberBefore(fsck, "data clusters");
        EXPECT_EQ(f.BytesPerCluster(), cluster);
        EXPECT_EQ(info.BytesPerCluster(), cluster);
        EXPECT_EQ(f.ClusterCount(), clusters);
        EXPECT_EQ(info.TotalSizeBytes(), clusters * cluster) << "the data area";
        EXPECT_EQ(f.BytesPerSector(), NumberBefore(fsck, "bytes per logical sector"));
        EXPECT_EQ(f.ReservedSectors(), NumberBefore(fsck, "reserved sector"));
        EXPECT_EQ(f.SectorCount(), NumberBefore(fsck, "sectors total"));
        EXPECT_EQ(f.FirstdataSector(), NumberAfter(fsck, "Data area starts at byte") / 512);
        EXPECT_EQ(info.SectorsPerCluster(), cluster / 512);
        if (c.type == dfst_FAT32) {
            EXPECT_EQ(f.RootDirStartCluster(), 2u);
            EXPECT_EQ(f.RootDirStartSector(), f.FirstdataSector());
        } else {
            EXPECT_EQ(f.RootDirStartSector(),
                      NumberAfter(fsck, "Root directory starts at byte") / 512);
        }
        EXPECT_FALSE(IsDriveExternalFlash(mp)) << "a loop device is no flash medium";
    }
}

TEST(DriveInfo, NtfsVolumeDataAndTheMftGrowing) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ntfs");
    PURGIX_REQUIRE_TOOL("ntfs-3g");
    PURGIX_REQUIRE_TOOL("ntfsinfo");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "ntfs.img", 64 * kMiB);
    MustRun({"mkfs.ntfs", "-F", "-Q", "-q", "-L", "NTFSVOL", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ntfs-3g", dir.File("mnt"));
    const std::string vol = MustRun({"ntfsinfo", "-f", "-m", loop.Path()});
    const std::string mft0 = MustRun({"ntfsinfo", "-f", "-i", "0", loop.Path()});

    const TDriveInfo before(mp);
    EXPECT_EQ(before.DriveFileSystem(), dfst_NTFS);
    EXPECT_EQ(before.DriveFileSystemString(), "NTFS");
    EXPECT_EQ(before.DriveFileSystemStringShort(), "NTFS");
    ASSERT_NE(before.NTFSInfos(), nullptr);
    EXPECT_EQ(before.FATInfos(), nullptr);
    const TNTFSInfos& n = *before.NTFSInfos();
    EXPECT_EQ(n.BytesPerSector(), NumberAfter(vol, "Sector Size:"));
    EXPECT_EQ(n.BytesPerCluster(), NumberAfter(vol, "Cluster Size:"));
    EXPECT_EQ(n.TotalClusters(), NumberAfter(vol, "Volume Size in Clusters:"));
    EXPECT_EQ(n.BytesPerFileRecordSegment(), NumberAfter(vol, "MFT Record Size:"));
    EXPECT_EQ(n.MftStartLcn(), NumberAfter(vol, "LCN of Data Attribute for FILE_MFT:"));
    EXPECT_EQ(n.Mft2StartLcn(), NumberAfter(vol, "LCN of Data Attribute for File_MFTMirr:"));
    const auto data = mft0.find("$DATA (0x80)");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(n.MftValidDataLength(), NumberAfter(mft0.substr(data), "Initialized size:"));
    EXPECT_EQ(before.BytesPerCluster(), static_cast<std::int32_t>(n.BytesPerCluster()));
    EXPECT_EQ(before.TotalSizeBytes(), n.TotalClusters() * n.BytesPerCluster());
    struct statvfs st {};
    ASSERT_EQ(::statvfs(mp.c_str(), &st), 0);
    EXPECT_EQ(before.TotalFreeBytes(), static_cast<std::int64_t>(st.f_bfree) * st.f_frsize);
    EXPECT_EQ(n.TotalReserved(), 0);

    // Enough new files make the MFT grow on the disk.
    for (int i = 0; i < 200; ++i)
        test::WriteFile(mp + "file" + std::to_string(i), "x");
    ::sync();
    loop.Unmount(mp);
    const std::string again = loop.Mount(loop.Path(), "ntfs-3g", dir.File("mnt"));
    const TDriveInfo after(again);
    ASSERT_NE(after.NTFSInfos(), nullptr);
    EXPECT_GT(after.NTFSInfos()->MftValidDataLength(), n.MftValidDataLength());
}

TEST(DriveInfo, OtherFileSystemsTakeTheirSizesFromTheMountedFileSystem) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "ext4.img", 32 * kMiB);
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", "-b", "4096", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("mnt"));
    const TDriveInfo info(mp);
    struct statvfs st {};
    ASSERT_EQ(::statvfs(mp.c_str(), &st), 0);
    EXPECT_EQ(info.DriveFileSystem(), dfst_UNKNOWN);
    EXPECT_EQ(info.DriveFileSystemString(), "ext4");
    EXPECT_EQ(info.DriveFileSystemStringShort(), "");
    EXPECT_EQ(info.BytesPerCluster(), 4096);
    EXPECT_EQ(info.SectorsPerCluster(), 8);
    EXPECT_EQ(info.TotalSizeBytes(), static_cast<std::int64_t>(st.f_blocks) * st.f_frsize);
    EXPECT_EQ(info.TotalFreeBytes(), static_cast<std::int64_t>(st.f_bfree) * st.f_frsize);
    EXPECT_EQ(info.DriveIcon(), "drive-harddisk");

    // The command line lists the volume with the same values.
    const auto r = test::RunProcess({PURGIX_CLI_PATH, "volumes", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto list = nlohmann::json::parse(r.out);
    bool found = false;
    for (const auto& v : list) {
        if (v["Drive"] != mp)
            continue;
        found = true;
        EXPECT_EQ(v["MountPointGUID"], loop.Path());
        EXPECT_EQ(v["DriveFileSystemString"], "ext4");
        EXPECT_EQ(v["TotalSizeBytes"], info.TotalSizeBytes());
        EXPECT_EQ(v["BytesPerCluster"], 4096);
        EXPECT_EQ(v["DeviceNumber"], info.DeviceNumber());
        EXPECT_TRUE(v["FATInfos"].is_null());
    }
    EXPECT_TRUE(found) << r.out;

    // A folder that is no mount point is no volume.
    const TDriveInfo none(dir.Path());
    EXPECT_EQ(none.DriveType(), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(none.DeviceNumber(), -1);
    EXPECT_EQ(none.BytesPerCluster(), 0);
    EXPECT_EQ(none.DriveFileSystemString(), "?");
}

} // namespace
} // namespace purgix
