// The raw writer on real loop devices: what it refuses, with not one byte changed, and what it
// writes.
#include "platform/rawwriter.h"

#include "platform/aligned_buffer.h"
#include "platform/blockdev.h"
#include "support/loopdev.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace purgix {
namespace {

using platform::CaptureIdentity;
using platform::RawDeviceWriter;
using platform::RawMode;
using platform::RawTarget;
using test::LoopDevice;
using test::MustRun;
using test::ReadFile;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;

RawTarget TargetOf(const std::string& path, RawMode mode) {
    bool ok = false;
    RawTarget t;
    t.mode = mode;
    t.identity = CaptureIdentity(path, ok);
    EXPECT_TRUE(ok) << path;
    return t;
}

// Writes one block of 0xA5 at `offset` through the writer; returns the refusal (empty when
// the write went through).
std::string TryWrite(const RawTarget& target, std::int64_t offset = 0) {
    std::string refusal;
    auto writer = RawDeviceWriter::Open(target, refusal);
    if (!writer)
        return refusal;
    platform::AlignedBuffer block(64 * 1024);
    std::memset(block.Data(), 0xA5, block.Size());
    if (writer->Seek(offset) != 0)
        return "seek failed";
    const auto r = writer->Write(block.Data(), block.Size());
    if (!r.Ok())
        return writer->Refusal().empty() ? std::string("write failed: ") + std::strerror(r.error)
                                         : writer->Refusal();
    return {};
}

// True when `image` holds a run of 512 bytes of `value` (the writer's block).
bool Holds(const std::string& image, char value) {
    return image.find(std::string(512, value)) != std::string::npos;
}

bool AllZero(const std::string& image) {
    return image.find_first_not_of('\0') == std::string::npos;
}

TEST(RawWriter, WritesAnIdleLoopDeviceThroughTheClaim) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    LoopDevice loop(dir, test::MakeImage(dir, "disk.img", 8 * kMiB));
    EXPECT_EQ(TryWrite(TargetOf(loop.Path(), RawMode::WholeDevice)), "");
    ::sync();
    const std::string image = ReadFile(loop.Image());
    EXPECT_TRUE(image.substr(0, 64 * 1024) == std::string(64 * 1024, '\xA5'));
    EXPECT_TRUE(AllZero(image.substr(64 * 1024)));

    // While the writer holds the claim, nobody else can claim the device.
    std::string refusal;
    auto writer = RawDeviceWriter::Open(TargetOf(loop.Path(), RawMode::WholeDevice), refusal);
    ASSERT_TRUE(writer) << refusal;
    EXPECT_LT(::open(loop.Path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC), 0);
    // Writes stay inside the device.
    EXPECT_EQ(writer->Seek(8 * kMiB), 0);
    platform::AlignedBuffer block(4096);
    EXPECT_EQ(writer->Write(block.Data(), block.Size()).error, EPERM);
}

TEST(RawWriter, RefusesMountedDevicesWithoutChangingAByte) {
    PURGIX_REQUIRE_ROOT();
    struct Case {
        std::string driver;
        std::vector<std::string> mkfs;
    };
    const std::vector<Case> cases = {
        {"ext4", {"mkfs.ext4", "-q", "-F", "-m", "0"}},
        {"fusefat", {"mkfs.fat", "-F", "16"}},
        {"fusefat-unnamed", {"mkfs.fat", "-F", "16"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver);
        if (!test::HaveTool(c.mkfs[0]) || (c.driver != "ext4" && !test::HaveTool("fusefat")))
            GTEST_SKIP() << "needs " << c.mkfs[0] << " and fusefat";
        TempDir dir;
        const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
        std::vector<std::string> mkfs = c.mkfs;
        mkfs.push_back(img);
        MustRun(mkfs);
        LoopDevice loop(dir, img);
        loop.Mount(loop.Path(), c.driver, dir.File("mnt"));
        const std::string refusal = TryWrite(TargetOf(loop.Path(), RawMode::WholeDevice));
        EXPECT_FALSE(refusal.empty());
        if (c.driver == "fusefat-unnamed") {
            EXPECT_NE(refusal.find("open in process"), std::string::npos) << refusal;
        }
        loop.Unmount(dir.File("mnt"));
        // The drivers change their own metadata at unmount; the writer's bytes are nowhere.
        EXPECT_FALSE(Holds(ReadFile(img), '\xA5'));
    }
}

TEST(RawWriter, RefusesADeviceAnotherProcessHoldsOpen) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    LoopDevice loop(dir, test::MakeImage(dir, "disk.img", 4 * kMiB));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(loop.Path().c_str(), O_RDONLY);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(fd >= 0 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const std::string refusal = TryWrite(TargetOf(loop.Path(), RawMode::WholeDevice));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_NE(refusal.find("open in process " + std::to_string(child)), std::string::npos)
        << refusal;
    EXPECT_TRUE(AllZero(ReadFile(loop.Image())));
}

TEST(RawWriter, ChecksAgainBeforeTheFirstWrite) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    LoopDevice loop(dir, test::MakeImage(dir, "disk.img", 4 * kMiB));
    std::string refusal;
    auto writer = RawDeviceWriter::Open(TargetOf(loop.Path(), RawMode::WholeDevice), refusal);
    ASSERT_TRUE(writer) << refusal;
    // Someone opens the device between the claim and the first write.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(loop.Path().c_str(), O_RDONLY);
        ::pause();
        ::_exit(fd >= 0 ? 0 : 1);
    }
    for (int i = 0; i < 100 && platform::ProcessesHolding({writer->Target().identity.rdev}).empty();
         ++i)
        ::usleep(20000);
    platform::AlignedBuffer block(4096);
    std::memset(block.Data(), 0xA5, block.Size());
    const auto r = writer->Write(block.Data(), block.Size());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(r.error, EBUSY);
    EXPECT_NE(writer->Refusal().find("open in process"), std::string::npos) << writer->Refusal();
    EXPECT_TRUE(AllZero(ReadFile(loop.Image())));
}

TEST(RawWriter, PartitionsOfADiskWithAMountedPartition) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "disk.img", 64 * kMiB);
    test::WriteFile(dir.File("table"), "label: dos\n2048,40960,83\n43008,,83\n");
    MustRun({"sh", "-c", "sfdisk -q " + img + " < " + dir.File("table")});
    LoopDevice loop(dir, img);
    loop.AddPartitions();
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", loop.Partition(1)});
    loop.Mount(loop.Partition(1), "ext4", dir.File("p1"));

    EXPECT_NE(TryWrite(TargetOf(loop.Path(), RawMode::WholeDevice)), "");
    EXPECT_NE(TryWrite(TargetOf(loop.Partition(1), RawMode::Partition)), "");
    // The other, idle partition of the same disk can be claimed and written.
    EXPECT_EQ(TryWrite(TargetOf(loop.Partition(2), RawMode::Partition)), "");
    // A partition is not a whole device, and a whole device is not a partition.
    EXPECT_NE(TryWrite(TargetOf(loop.Partition(2), RawMode::WholeDevice)), "");
    EXPECT_NE(TryWrite(TargetOf(loop.Path(), RawMode::Partition)), "");
    loop.Unmount(dir.File("p1"));
    ::sync();
    const std::string image = ReadFile(img);
    EXPECT_TRUE(image.substr(43008LL * 512, 64 * 1024) == std::string(64 * 1024, '\xA5'));
    EXPECT_FALSE(Holds(image.substr(0, 43008LL * 512), '\xA5')) << "nothing outside partition 2";

    // Disk areas: only outside every partition, with other partitions mounted or not.
    RawTarget area = TargetOf(loop.Path(), RawMode::DiskArea);
    area.areaOffset = 512; // between the table and partition 1
    area.areaLength = 2047 * 512;
    EXPECT_EQ(TryWrite(area), "write failed: Operation not permitted") << "offset 0 is outside";
    EXPECT_EQ(TryWrite(area, 1024 * 1024 - 64 * 1024), "");
    RawTarget inside = area;
    inside.areaOffset = 0;
    inside.areaLength = 4096 * 512;
    EXPECT_NE(TryWrite(inside).find("overlaps partition"), std::string::npos);
    const std::string after = ReadFile(img);
    EXPECT_TRUE(after.substr(1024 * 1024 - 64 * 1024, 64 * 1024) == std::string(64 * 1024, '\xA5'));
    EXPECT_FALSE(Holds(after.substr(0, 1024 * 1024 - 64 * 1024), '\xA5'));
    EXPECT_FALSE(Holds(after.substr(1024 * 1024, 20 * 1024 * 1024), '\xA5'));
}

TEST(RawWriter, RefusesADeviceWhoseIdentityChanged) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const std::string a = test::MakeImage(dir, "a.img", 4 * kMiB);
    const std::string b = test::MakeImage(dir, "b.img", 4 * kMiB);
    RawTarget listed;
    {
        LoopDevice first(dir, a);
        listed = TargetOf(first.Path(), RawMode::WholeDevice);
    }
    LoopDevice second(dir, b);
    listed.identity.path = second.Path(); // the path now names another image
    const std::string refusal = TryWrite(listed);
    EXPECT_FALSE(refusal.empty());
    EXPECT_TRUE(AllZero(ReadFile(b)));
    EXPECT_TRUE(AllZero(ReadFile(a)));
}

} // namespace
} // namespace purgix
