// Volumes on real file systems over loop devices: device paths and numbers, claiming and
// unmounting.
#include "drives/vwin32.h"

#include "platform/blockdev.h"
#include "platform/mounts.h"
#include "support/loopdev.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace purgix {
namespace {

using test::LoopDevice;
using test::MustRun;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;

bool IsMounted(const std::string& mountPoint) {
    for (const auto& e : platform::ReadMountTable())
        if (e.target == mountPoint)
            return true;
    return false;
}

TEST(Volumes, DevicePathAndNumbersOfAMountedLoopVolume) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("my volume"));

    EXPECT_EQ(GetVolumeDevicePath(mp), loop.Path());
    EXPECT_EQ(GetVolumeDevicePath(mp.substr(0, mp.size() - 1)), loop.Path());
    EXPECT_EQ(GetVolumeDevicePath(mp + "lost+found/"), "") << "not a mount point";
    int type = 0, number = 0, part = 0;
    ASSERT_TRUE(GetDriveDeviceNumber(mp, type, number, part));
    EXPECT_EQ(type, FILE_DEVICE_DISK);
    EXPECT_EQ(part, 0);
    const auto disks = platform::ListDiskKernelNames();
    ASSERT_GE(number, 0);
    ASSERT_LT(static_cast<std::size_t>(number), disks.size());
    EXPECT_EQ("/dev/" + disks[static_cast<std::size_t>(number)], loop.Path());
    EXPECT_FALSE(IsFATVolume(mp));
    EXPECT_FALSE(IsNTFSVolume(mp));

    const auto volumes = platform::ListVolumes();
    EXPECT_TRUE(std::any_of(volumes.begin(), volumes.end(), [&](const auto& v) {
        return v.mountPoint == mp && v.device == loop.Path();
    }));
}

TEST(Volumes, LockVolumeUnmountsAnIdleVolumeAndClaimsIt) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.fat");
    PURGIX_REQUIRE_TOOL("fusefat");
    struct Case {
        std::string driver;
        std::vector<std::string> mkfs;
    };
    for (const Case& c : {Case{"ext4", {"mkfs.ext4", "-q", "-F", "-m", "0"}},
                          Case{"fusefat", {"mkfs.fat", "-F", "16"}}}) {
        SCOPED_TRACE(c.driver);
        TempDir dir;
        const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
        auto mkfs = c.mkfs;
        mkfs.push_back(img);
        MustRun(mkfs);
        LoopDevice loop(dir, img);
        const std::string mp = loop.Mount(loop.Path(), c.driver, dir.File("mnt"));
        EXPECT_EQ(IsFATVolume(mp), c.driver == "fusefat");

        int handle = -1;
        ASSERT_EQ(OpenVolume(handle, mp), 0);
        EXPECT_FALSE(LockVolume(handle, false)) << "mounted: no claim without unmounting";

        // A file held open keeps the volume busy: the unmount fails, the volume stays.
        {
            const int busy = ::open((mp + "held.txt").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
            ASSERT_GE(busy, 0);
            EXPECT_FALSE(LockVolume(handle, true));
            EXPECT_TRUE(IsMounted(mp));
            ::close(busy);
        }
        ASSERT_TRUE(LockVolume(handle, true));
        EXPECT_FALSE(IsMounted(mp));
        // The claim is held: no one else can claim the device now.
        EXPECT_LT(::open(loop.Path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC), 0);
        CloseVolume(handle);
        const int again = ::open(loop.Path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        EXPECT_GE(again, 0) << "closing the handle ends the claim";
        if (again >= 0)
            ::close(again);
    }
}

} // namespace
} // namespace purgix
