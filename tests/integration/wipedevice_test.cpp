// Device and partition wiping on loop devices: whole disks, partitions (mounted, unmounted, busy,
// FUSE), pass sizes, cancel and write errors, and purgix-cli disk / partition.
#include "wipe/wipelibfuncs.h"

#include "cli/cli.h"
#include "drives/devices.h"
#include "platform/blockdev.h"
#include "platform/mounts.h"
#include "platform/rawwriter.h"
#include "support/loopdev.h"
#include "support/process.h"
#include "wipe/wipeutils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace purgix {
namespace {

using test::LoopDevice;
using test::MustRun;
using test::ReadFile;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr const char* kThreePass = "{7E1D3C8A-0000-4000-8000-000000000003}";
constexpr const char* kOnePass = "{7E1D3C8A-0000-4000-8000-000000000001}";

// A method file with a 3-pass method ending in A5 and a 1-pass method of 3C.
std::string MethodFile(const TempDir& dir) {
    const std::string path = dir.File("algorithm.xml");
    test::WriteFile(path, std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<wiperalgorithms>
  <algorithm name="three" guid=")") +
                              kThreePass + R"(" readonly="0">
    <pass type="pattern">00</pass>
    <pass type="random" len="65536"/>
    <pass type="pattern">A5</pass>
  </algorithm>
  <algorithm name="one" guid=")" +
                              kOnePass + R"(" readonly="0">
    <pass type="pattern">3C</pass>
  </algorithm>
</wiperalgorithms>
)");
    return path;
}

std::string KernelName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::unique_ptr<TDeviceInfo> Snapshot(const LoopDevice& loop) {
    const auto disks = platform::ListDiskKernelNames();
    const auto it = std::find(disks.begin(), disks.end(), KernelName(loop.Path()));
    if (it == disks.end())
        return nullptr;
    return std::make_unique<TDeviceInfo>(static_cast<int>(it - disks.begin()), true, disks);
}

std::unique_ptr<LoopDevice> MakeDisk(const TempDir& dir, const std::string& name,
                                     std::int64_t bytes, const std::string& script) {
    const std::string img = test::MakeImage(dir, name, bytes);
    if (!script.empty()) {
        test::WriteFile(dir.File(name + ".table"), script);
        MustRun(
            {"sh", "-c",
             "sfdisk -q --no-reread --no-tell-kernel " + img + " < " + dir.File(name + ".table")});
    }
    auto loop = std::make_unique<LoopDevice>(dir, img);
    if (!script.empty())
        loop->AddPartitions();
    return loop;
}

const TDevicePartitionInformation* PartitionNumber(const TDeviceInfo& disk, std::uint32_t n) {
    for (int i = 0; i < disk.PartitionCount(); ++i)
        if (disk.GetPartition(i)->Valid() && disk.GetPartition(i)->Number() == n)
            return disk.GetPartition(i);
    return nullptr;
}

// Reads `length` bytes of a block device from `offset`.
std::string ReadDevice(const std::string& path, std::int64_t offset, std::int64_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    std::string data(static_cast<std::size_t>(length), '\0');
    std::size_t got = 0;
    while (fd >= 0 && got < data.size()) {
        const ssize_t n =
            ::pread(fd, data.data() + got, data.size() - got, offset + static_cast<off_t>(got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (fd >= 0)
        ::close(fd);
    data.resize(got);
    return data;
}

bool AllBytes(const std::string& data, char value) {
    return !data.empty() && data.find_first_not_of(value) == std::string::npos;
}

bool IsMounted(const std::string& mountPoint) {
    for (const platform::MountEntry& m : platform::ReadMountTable())
        if (m.target == mountPoint)
            return true;
    return false;
}

// The engine with its log lines captured.
struct Engine {
    TKLWiper wiper;
    std::vector<std::string> ok;
    std::vector<std::string> errors;

    Engine(const std::string& methodFile, const char* guid, TWipeType type) {
        wiper.SetAlgorithmFile(methodFile);
        wiper.SetAlgorithmGUID(guid);
        wiper.SetWipeType(type);
        wiper.SetOnDebugLog([this](const std::string& data) {
            std::string line = data;
            if (line.size() >= 4 && line.compare(line.size() - 4, 4, "<br>") == 0)
                line.resize(line.size() - 4);
            if (line.rfind("OK:", 0) == 0)
                ok.push_back(line.substr(3));
            else if (line.rfind("Error:", 0) == 0)
                errors.push_back(line.substr(6));
        });
    }
    std::int32_t Run() {
        EXPECT_EQ(wiper.InitializeWipeJob(), WIPE_OK);
        const std::int32_t r = wiper.ExecuteJob();
        wiper.CloseWipeJob();
        return r;
    }
};

struct RecordedWrite {
    int pass;
    std::int64_t position;
    std::size_t length;
};

// Passes every call on to the device and records the writes; fails with EIO the write that
// would cover byte `failAt` of pass `failPass` (counting passes by seeks to the range start).
class RecordingStream final : public platform::IStreamHandle {
public:
    explicit RecordingStream(platform::IStreamHandle& inner, std::int64_t rangeStart = 0)
        : inner_(inner), rangeStart_(rangeStart) {}
    int Seek(std::int64_t position) override {
        if (position == rangeStart_)
            ++pass_;
        position_ = position;
        return inner_.Seek(position);
    }
    platform::IoResult Write(const void* data, std::size_t length) override {
        if (pass_ == failPass && failAt >= position_ &&
            failAt < position_ + static_cast<std::int64_t>(length))
            return {0, EIO};
        const platform::IoResult r = inner_.Write(data, length);
        if (r.Ok()) {
            (*writes).push_back({pass_, position_, r.bytes});
            position_ += static_cast<std::int64_t>(r.bytes);
        }
        return r;
    }

    std::shared_ptr<std::vector<RecordedWrite>> writes =
        std::make_shared<std::vector<RecordedWrite>>();
    int failPass = -1;
    std::int64_t failAt = -1;

private:
    platform::IStreamHandle& inner_;
    std::int64_t rangeStart_;
    int pass_ = 0;
    std::int64_t position_ = 0;
};

TEST(WipeDevice, WholeDiskHoldsTheLastPassAndLosesItsTable) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    TempDir dir;
    const std::int64_t size = 64 * kMiB;
    auto loop = MakeDisk(dir, "disk.img", size,
                         "label: gpt\nstart=2048, size=20MiB\nstart=43008, size=20MiB\n");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk && disk->Valid());
    ASSERT_EQ(platform::PartitionsOf(KernelName(loop->Path())).size(), 2u);

    Engine e(MethodFile(dir), kThreePass, wt_device);
    e.wiper.Devices().push_back(disk.get());
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    ASSERT_EQ(e.ok.size(), 1u);
    EXPECT_EQ(e.ok[0], loop->Path() + " => succesfully wiped.");
    EXPECT_EQ(e.wiper.JobsBytesWritten(), 3 * size);

    EXPECT_TRUE(AllBytes(ReadDevice(loop->Path(), 0, size), '\xA5'));
    EXPECT_TRUE(AllBytes(ReadFile(loop->Image()), '\xA5'));
    // No table on the disk, and none in the kernel's view.
    EXPECT_NE(test::RunProcess({"sfdisk", "--json", loop->Image()}).exitCode, 0);
    EXPECT_TRUE(platform::PartitionsOf(KernelName(loop->Path())).empty());
}

TEST(WipeDevice, PassesOf120MillionBytesWriteWholeBlocks) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const std::int64_t size = 120000000;
    auto loop = MakeDisk(dir, "disk.img", size, "");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk && disk->Valid());
    ASSERT_EQ(disk->Capacity(), size);

    Engine e(MethodFile(dir), kThreePass, wt_device);
    e.wiper.Devices().push_back(disk.get());
    std::shared_ptr<std::vector<RecordedWrite>> writes;
    e.wiper.SetDeviceStreamWrap([&writes](platform::IStreamHandle& device) {
        auto s = std::make_unique<RecordingStream>(device);
        writes = s->writes;
        return s;
    });
    EXPECT_EQ(e.Run(), WIPE_OK);
    ASSERT_TRUE(writes);
    ASSERT_EQ(writes->size(), 9u);
    for (int pass = 0; pass < 3; ++pass) {
        const auto* w = &(*writes)[static_cast<std::size_t>(pass) * 3];
        EXPECT_EQ(w[0].pass, pass + 1);
        EXPECT_EQ(w[0].position, 0);
        EXPECT_EQ(w[0].length, 51200000u);
        EXPECT_EQ(w[1].position, 51200000);
        EXPECT_EQ(w[1].length, 51200000u);
        EXPECT_EQ(w[2].position, 102400000);
        EXPECT_EQ(w[2].length, 17600000u);
    }
    EXPECT_TRUE(AllBytes(ReadFile(loop->Image()), '\xA5'));
}

class PartitionWipe : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::IsRoot())
            GTEST_SKIP() << "needs root for loop devices and mounts";
        for (const char* tool : {"sfdisk", "partx", "mkfs.ext4"})
            if (!test::HaveTool(tool))
                GTEST_SKIP() << "needs the tool " << tool;
        loop_ = MakeDisk(dir_, "disk.img", 64 * kMiB,
                         "label: dos\nstart=2048, size=30MiB, type=83\n"
                         "start=63488, size=30MiB, type=83\n");
        for (int n = 1; n <= 2; ++n)
            MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", "-E",
                     "lazy_itable_init=0,lazy_journal_init=0", loop_->Partition(n)});
        methods_ = MethodFile(dir_);
    }
    std::string PartBytes(const TDevicePartitionInformation& p) {
        ::sync();
        return ReadDevice(loop_->Path(), p.StartingOffset(), p.Len());
    }

    TempDir dir_;
    std::unique_ptr<LoopDevice> loop_;
    std::string methods_;
};

TEST_F(PartitionWipe, MountedPartitionIsUnmountedAndOverwrittenFromItsFirstByte) {
    const std::string mp = loop_->Mount(loop_->Partition(1), "ext4", dir_.File("p1"));
    auto disk = Snapshot(*loop_);
    ASSERT_TRUE(disk);
    const auto* p1 = PartitionNumber(*disk, 1);
    const auto* p2 = PartitionNumber(*disk, 2);
    ASSERT_TRUE(p1 && p2);
    ASSERT_EQ(p1->DriveLetter(), mp);
    const std::string before2 = PartBytes(*p2);

    Engine e(methods_, kOnePass, wt_partitions);
    e.wiper.Partitions().push_back(p1);
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    ASSERT_EQ(e.ok.size(), 1u);
    EXPECT_EQ(e.ok[0], loop_->Partition(1) + " => succesfully wiped.");
    EXPECT_FALSE(IsMounted(mp));
    EXPECT_TRUE(AllBytes(PartBytes(*p1), '\x3C'));
    EXPECT_TRUE(PartBytes(*p2) == before2);
    // The table in front of the partitions is untouched.
    EXPECT_EQ(MustRun({"sfdisk", "--dump", loop_->Image()}).find("start=        2048") !=
                  std::string::npos,
              true);
}

TEST_F(PartitionWipe, UnmountedPartitionIsWipedWhileTheOtherStaysMounted) {
    const std::string mp2 = loop_->Mount(loop_->Partition(2), "ext4", dir_.File("p2"));
    test::WriteFile(mp2 + "keep.txt", "keep me");
    ::sync();
    auto disk = Snapshot(*loop_);
    const auto* p1 = PartitionNumber(*disk, 1);
    const auto* p2 = PartitionNumber(*disk, 2);
    ASSERT_TRUE(p1 && p2);
    ASSERT_EQ(p1->DriveLetter(), "");
    const std::string before2 = PartBytes(*p2);

    Engine e(methods_, kThreePass, wt_partitions);
    e.wiper.Partitions().push_back(p1);
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    ASSERT_EQ(e.ok.size(), 1u);
    EXPECT_EQ(e.ok[0], loop_->Partition(1) + " => succesfully wiped.");
    EXPECT_TRUE(AllBytes(PartBytes(*p1), '\xA5'));
    EXPECT_TRUE(IsMounted(mp2));
    EXPECT_TRUE(PartBytes(*p2) == before2);
    EXPECT_EQ(ReadFile(mp2 + "keep.txt"), "keep me");
}

TEST_F(PartitionWipe, BusyFileSystemIsRefusedWithNothingWritten) {
    const std::string mp = loop_->Mount(loop_->Partition(1), "ext4", dir_.File("p1"));
    test::WriteFile(mp + "open.txt", "held open");
    const int held = ::open((mp + "open.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ::sync();
    auto disk = Snapshot(*loop_);
    const auto* p1 = PartitionNumber(*disk, 1);
    ASSERT_TRUE(p1);
    const std::string before = PartBytes(*p1);

    Engine e(methods_, kOnePass, wt_partitions);
    e.wiper.Partitions().push_back(p1);
    EXPECT_EQ(e.Run(), WIPE_DEVICE_FAILED);
    EXPECT_TRUE(e.ok.empty());
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_EQ(e.errors[0], disk->Modelname() + "=> Access denied for device");
    EXPECT_TRUE(IsMounted(mp));
    EXPECT_TRUE(PartBytes(*p1) == before);
    ::close(held);
}

TEST_F(PartitionWipe, FusefatMountThatNamesNoDeviceIsRefused) {
    if (!test::HaveTool("fusefat") || !test::HaveTool("mkfs.fat"))
        GTEST_SKIP() << "needs fusefat and mkfs.fat";
    MustRun({"mkfs.fat", loop_->Partition(1)});
    const std::string mp = loop_->Mount(loop_->Partition(1), "fusefat-unnamed", dir_.File("p1"));
    auto disk = Snapshot(*loop_);
    const auto* p1 = PartitionNumber(*disk, 1);
    ASSERT_TRUE(p1);
    const std::string before = PartBytes(*p1);

    Engine e(methods_, kOnePass, wt_partitions);
    e.wiper.Partitions().push_back(p1);
    EXPECT_EQ(e.Run(), WIPE_DEVICE_FAILED);
    EXPECT_TRUE(e.ok.empty());
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_EQ(e.errors[0], disk->Modelname() + "=> Access denied for device");
    EXPECT_TRUE(IsMounted(mp));
    EXPECT_TRUE(PartBytes(*p1) == before);
}

TEST(WipeDevice, CancelDuringTheSecondPassStopsTheJob) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const std::int64_t size = 64 * kMiB;
    auto loop1 = MakeDisk(dir, "one.img", size, "");
    auto loop2 = MakeDisk(dir, "two.img", size, "");
    auto disk1 = Snapshot(*loop1);
    auto disk2 = Snapshot(*loop2);
    ASSERT_TRUE(disk1 && disk2);

    Engine e(MethodFile(dir), kThreePass, wt_device);
    e.wiper.Devices().push_back(disk1.get());
    e.wiper.Devices().push_back(disk2.get());
    std::vector<int> stages;
    e.wiper.SetProgressCallBack([&stages](TKLWiper&, const std::string&, std::int32_t stage,
                                          std::int32_t pass, std::int32_t, std::int64_t,
                                          std::int64_t, std::int64_t, std::int64_t, bool& cancel) {
        stages.push_back(stage);
        if (pass == 2)
            cancel = true;
        else // let the next report through the 500 ms throttle
            std::this_thread::sleep_for(std::chrono::milliseconds(520));
    });
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.wiper.Cancelled());
    EXPECT_TRUE(e.ok.empty());
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_EQ(e.errors[0], disk1->Modelname() + " (Aborted by user)");
    ASSERT_FALSE(stages.empty());
    EXPECT_TRUE(std::all_of(stages.begin(), stages.end(), [](int s) { return s == STAGE_DEVICE; }));
    // Pass 3 never started on the first disk; the second disk was never touched.
    const std::string image1 = ReadFile(loop1->Image());
    EXPECT_EQ(image1.find(std::string(4096, '\xA5')), std::string::npos);
    EXPECT_TRUE(AllBytes(ReadFile(loop2->Image()), '\0'));
}

TEST(WipeDevice, WriteErrorAtAnOffsetFailsTheDevice) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const std::int64_t size = 120000000;
    auto loop = MakeDisk(dir, "disk.img", size, "");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk);

    Engine e(MethodFile(dir), kThreePass, wt_device);
    e.wiper.Devices().push_back(disk.get());
    std::shared_ptr<std::vector<RecordedWrite>> writes;
    e.wiper.SetDeviceStreamWrap([&writes](platform::IStreamHandle& device) {
        auto s = std::make_unique<RecordingStream>(device);
        s->failPass = 2;
        s->failAt = 60000000;
        writes = s->writes;
        return s;
    });
    EXPECT_EQ(e.Run(), WIPE_DEVICE_FAILED);
    EXPECT_TRUE(e.ok.empty());
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_EQ(e.errors[0], disk->Modelname() + "=> Access denied for device");
    ASSERT_TRUE(writes);
    EXPECT_EQ(writes->size(), 4u); // pass 1 whole, pass 2 up to the failing block
    const std::string image = ReadFile(loop->Image());
    EXPECT_TRUE(AllBytes(image.substr(51200000), '\0')); // pass 1 wrote zeros there
}

TEST(WipeDevice, ADeviceThatIsNoLongerWhatWasListedIsNotOpened) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    auto loop = MakeDisk(dir, "disk.img", 8 * kMiB, "");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk);
    const std::string path = loop->Path();
    loop.reset(); // detached; the number may now belong to another device
    auto other = MakeDisk(dir, "other.img", 16 * kMiB, "");

    Engine e(MethodFile(dir), kOnePass, wt_device);
    e.wiper.Devices().push_back(disk.get());
    EXPECT_EQ(e.Run(), WIPE_FAILED);
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_EQ(e.errors[0], disk->Modelname() + " => Could not get exclusive lock for drive");
    EXPECT_TRUE(AllBytes(ReadFile(other->Image()), '\0'));
}

// purgix-cli disk and partition, run in this process (the loop helper holds the devices open,
// and another process holding a device makes the raw writer refuse it).
class CliDeviceWipe : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::IsRoot())
            GTEST_SKIP() << "needs root for loop devices";
        for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
            const std::string p = dir_.File(var);
            std::filesystem::create_directories(p);
            ::setenv(var, p.c_str(), 1);
        }
        ::setenv("PURGIX_REGISTRY_DIR", dir_.File("registry").c_str(), 1);
        ::unsetenv("SUDO_USER");
        ::unsetenv("PKEXEC_UID");
        MethodFile(dir_);
    }
    int Cli(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"purgix-cli", "--data-dir", dir_.Path(), "--log-dir", dir_.File("logs")});
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        out_.str("");
        err_.str("");
        return cli::RunCli(static_cast<int>(argv.size()), argv.data(), out_, err_);
    }
    std::vector<std::string> Logs() {
        std::vector<std::string> names;
        if (std::filesystem::is_directory(dir_.File("logs")))
            for (const auto& e : std::filesystem::directory_iterator(dir_.File("logs")))
                names.push_back(e.path().filename().string());
        return names;
    }

    TempDir dir_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(CliDeviceWipe, DiskNeedsTheConfirmationWord) {
    auto loop = MakeDisk(dir_, "disk.img", 8 * kMiB, "");
    EXPECT_EQ(Cli({"disk", "--method", kOnePass, loop->Path()}), cli::kExitUsage);
    EXPECT_NE(err_.str().find("--confirm DELETE"), std::string::npos) << err_.str();
    EXPECT_EQ(Cli({"disk", "--method", kOnePass, "--confirm", "DELETE ", loop->Path()}),
              cli::kExitUsage);
    EXPECT_EQ(Cli({"disk", "--method", kOnePass, "--yes", loop->Path()}), cli::kExitUsage);
    EXPECT_TRUE(AllBytes(ReadFile(loop->Image()), '\0'));
    EXPECT_TRUE(Logs().empty());

    EXPECT_EQ(Cli({"disk", "--method", kOnePass, "--confirm", "delete", "--no-partition-table",
                   loop->Path()}),
              cli::kExitOk)
        << out_.str() << err_.str();
    EXPECT_TRUE(AllBytes(ReadFile(loop->Image()), '\x3C'));
    const auto logs = Logs();
    ASSERT_EQ(logs.size(), 1u);
    // The disk's caption "model: size", made a valid file name.
    auto disk = Snapshot(*loop);
    EXPECT_EQ(logs[0].rfind(MakeValidFileName(disk->Modelname() + ": 8.00 MB") + "-", 0), 0u)
        << logs[0];
}

TEST_F(CliDeviceWipe, PartitionTakesPartitionDevicesOnly) {
    if (!test::HaveTool("sfdisk") || !test::HaveTool("partx"))
        GTEST_SKIP() << "needs sfdisk and partx";
    auto loop = MakeDisk(dir_, "disk.img", 32 * kMiB,
                         "label: dos\nstart=2048, size=10MiB, type=83\n"
                         "start=22528, size=10MiB, type=83\n");
    // A disk is no partition.
    EXPECT_EQ(Cli({"partition", "--confirm", "DELETE", "--method", kOnePass, loop->Path()}),
              cli::kExitUsage);
    EXPECT_EQ(Cli({"partition", "--confirm", "DELETE", "--method", kOnePass, dir_.File("x")}),
              cli::kExitUsage);
    const std::string before = ReadFile(loop->Image());
    EXPECT_EQ(Cli({"partition", "--confirm", "DELETE", "--method", kOnePass, loop->Partition(2)}),
              cli::kExitOk)
        << out_.str() << err_.str();
    const std::string after = ReadFile(loop->Image());
    EXPECT_TRUE(after.substr(0, 22528 * 512) == before.substr(0, 22528 * 512));
    EXPECT_TRUE(AllBytes(after.substr(22528 * 512, 10 * kMiB), '\x3C'));
    const auto disk = Snapshot(*loop);
    const auto logs = Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].rfind("Drive" + std::to_string(disk->DeviceNumber()) + "_2-", 0), 0u)
        << logs[0];
}

// ---- Unpartitioned areas and the fresh partition table (issue 11) ---------------------------

// Fills `length` bytes of the image file from `offset` with `value`.
void FillImage(const std::string& image, std::int64_t offset, std::int64_t length, char value) {
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string block(1 << 20, value);
    for (std::int64_t done = 0; done < length;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::int64_t>(length - done, block.size()));
        ASSERT_EQ(::pwrite(fd, block.data(), n, offset + done), static_cast<ssize_t>(n));
        done += static_cast<std::int64_t>(n);
    }
    ::close(fd);
}

std::unique_ptr<LoopDevice> MakeFilledDisk(const TempDir& dir, std::int64_t bytes,
                                           const std::string& script) {
    const std::string img = test::MakeImage(dir, "disk.img", bytes);
    test::WriteFile(dir.File("table"), script);
    MustRun(
        {"sh", "-c", "sfdisk -q --no-reread --no-tell-kernel " + img + " < " + dir.File("table")});
    // Every partition holds 0x77, so that a stray write shows.
    const auto table = nlohmann::json::parse(MustRun({"sfdisk", "--json", img}))["partitiontable"];
    for (const auto& p : table["partitions"])
        if (p["type"] != "5")
            FillImage(img, p["start"].get<std::int64_t>() * 512,
                      p["size"].get<std::int64_t>() * 512, '\x77');
    auto loop = std::make_unique<LoopDevice>(dir, img);
    loop->AddPartitions();
    return loop;
}

std::vector<const TDevicePartitionInformation*> Areas(const TDeviceInfo& disk) {
    std::vector<const TDevicePartitionInformation*> out;
    for (int i = 0; i < disk.PartitionCount(); ++i)
        if (!disk.GetPartition(i)->Valid())
            out.push_back(disk.GetPartition(i));
    return out;
}

TEST(WipeArea, GptFirstAndLastAreasKeepTheTable) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    TempDir dir;
    const std::int64_t size = 64 * kMiB;
    auto loop =
        MakeFilledDisk(dir, size, "label: gpt\nstart=2048, size=20MiB\nstart=43008, size=20MiB\n");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk);
    const auto areas = Areas(*disk);
    ASSERT_EQ(areas.size(), 2u);
    const std::string before = ReadFile(loop->Image());
    const std::string layout = MustRun({"sfdisk", "--json", loop->Image()});

    Engine e(MethodFile(dir), kOnePass, wt_partitions);
    for (const auto* a : areas)
        e.wiper.Partitions().push_back(a);
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    ASSERT_EQ(e.ok.size(), 2u);
    EXPECT_EQ(e.ok[0], loop->Path() + " => succesfully wiped.");

    const std::string after = ReadFile(loop->Image());
    EXPECT_EQ(MustRun({"sfdisk", "--json", loop->Image()}), layout);
    // Protective MBR, header and 128 entries of 128 bytes (32 sectors) at the start; the backup
    // entries and header at the end: byte-identical. Every other byte of both areas: 0x3C.
    const std::int64_t head = 34 * 512, tail = 33 * 512;
    EXPECT_TRUE(after.substr(0, head) == before.substr(0, head));
    EXPECT_TRUE(AllBytes(after.substr(head, areas[0]->Len() - head), '\x3C'));
    EXPECT_TRUE(after.substr(size - tail) == before.substr(size - tail));
    EXPECT_TRUE(AllBytes(after.substr(areas[1]->StartingOffset(), areas[1]->Len() - tail), '\x3C'));
    // The partitions are untouched.
    EXPECT_TRUE(after.substr(kMiB, 40 * kMiB) == before.substr(kMiB, 40 * kMiB));
}

// The areas in front of logical partitions lie inside the extended container, which the raw
// writer's area mode counts as a partition of the table (and the kernel's two-sector container
// device as one of its view): they are refused with nothing written. Writing them except their
// extended boot records needs the area mode to tell containers from partitions (open question).
TEST(WipeArea, MbrAreasInsideTheExtendedContainerAreRefusedWithNothingWritten) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    TempDir dir;
    auto loop = MakeFilledDisk(
        dir, 64 * kMiB,
        "label: dos\nstart=2048, size=10MiB, type=83\nstart=22528, size=40MiB, type=5\n"
        "start=24576, size=10MiB, type=83\nstart=47104, size=10MiB, type=7\n");
    auto disk = Snapshot(*loop);
    ASSERT_TRUE(disk);
    std::vector<const TDevicePartitionInformation*> inFront; // the areas inside the container
    for (const auto* a : Areas(*disk))
        if (a->StartingOffset() >= 22528 * 512 && a->StartingOffset() < 47104 * 512)
            inFront.push_back(a);
    ASSERT_EQ(inFront.size(), 2u);
    const std::string before = ReadFile(loop->Image());

    Engine e(MethodFile(dir), kOnePass, wt_partitions);
    for (const auto* a : inFront)
        e.wiper.Partitions().push_back(a);
    EXPECT_EQ(e.Run(), WIPE_DEVICE_FAILED);
    EXPECT_TRUE(e.ok.empty());
    ASSERT_EQ(e.errors.size(), 2u);
    EXPECT_EQ(e.errors[0], disk->Modelname() + "=> Access denied for device");
    EXPECT_TRUE(ReadFile(loop->Image()) == before);
}

TEST(WipeArea, AreaNextToAMountedPartitionLeavesItMounted) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    auto loop =
        MakeDisk(dir, "disk.img", 64 * kMiB, "label: dos\nstart=2048, size=30MiB, type=83\n");
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", "-E", "lazy_itable_init=0,lazy_journal_init=0",
             loop->Partition(1)});
    const std::string mp = loop->Mount(loop->Partition(1), "ext4", dir.File("p1"));
    ::sync();
    auto disk = Snapshot(*loop);
    const auto areas = Areas(*disk);
    ASSERT_EQ(areas.size(), 2u);
    const auto* last = areas[1];
    const std::string part = ReadDevice(loop->Path(), kMiB, 30 * kMiB);

    Engine e(MethodFile(dir), kOnePass, wt_partitions);
    e.wiper.Partitions().push_back(last);
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    EXPECT_TRUE(IsMounted(mp));
    ::sync();
    EXPECT_TRUE(ReadDevice(loop->Path(), kMiB, 30 * kMiB) == part);
    EXPECT_TRUE(AllBytes(ReadDevice(loop->Path(), last->StartingOffset(), last->Len()), '\x3C'));
}

TEST(WipeDevice, WholeDiskGetsAFreshTable) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    TempDir dir;
    const std::int64_t size = 64 * kMiB;
    auto loop = MakeDisk(dir, "disk.img", size, "label: gpt\nstart=2048, size=20MiB\n");
    auto disk = Snapshot(*loop);
    Engine e(MethodFile(dir), kOnePass, wt_device);
    e.wiper.Devices().push_back(disk.get());
    e.wiper.SetAutoCreatePartition(true);
    EXPECT_EQ(e.Run(), WIPE_OK);
    EXPECT_TRUE(e.errors.empty()) << e.errors.front();
    ASSERT_EQ(e.ok.size(), 2u);
    EXPECT_EQ(e.ok[1], disk->Modelname() + "=> Drive has sucessfully been partitioned");
    const auto table =
        nlohmann::json::parse(MustRun({"sfdisk", "--json", loop->Image()}))["partitiontable"];
    EXPECT_EQ(table["label"], "dos");
    ASSERT_EQ(table["partitions"].size(), 1u);
    EXPECT_EQ(table["partitions"][0]["type"], "b");
    EXPECT_EQ(table["partitions"][0]["start"], 2048);
    EXPECT_EQ(table["partitions"][0]["size"], size / 512 - 2048);
    EXPECT_EQ(platform::PartitionsOf(KernelName(loop->Path())).size(), 1u);
    // Behind the first MiB, the last pass.
    EXPECT_TRUE(AllBytes(ReadFile(loop->Image()).substr(kMiB), '\x3C'));
}

TEST_F(CliDeviceWipe, AreaMustBeExactlyAListedArea) {
    if (!test::HaveTool("sfdisk") || !test::HaveTool("partx"))
        GTEST_SKIP() << "needs sfdisk and partx";
    auto loop =
        MakeDisk(dir_, "disk.img", 32 * kMiB, "label: dos\nstart=2048, size=10MiB, type=83\n");
    const std::string before = ReadFile(loop->Image());
    const std::int64_t start = 22528 * 512, length = 32 * kMiB - start;
    const auto area = [&](std::int64_t s, std::int64_t l) {
        return loop->Path() + "@" + std::to_string(s) + "+" + std::to_string(l);
    };
    for (const std::string& wrong :
         {area(start, length - 512), area(start + 512, length - 512), area(0, kMiB),
          area(512, kMiB), loop->Path() + "@" + std::to_string(start), loop->Path() + "@x+1"}) {
        EXPECT_EQ(Cli({"partition", "--confirm", "DELETE", "--method", kOnePass, wrong}),
                  cli::kExitUsage)
            << wrong;
    }
    EXPECT_TRUE(ReadFile(loop->Image()) == before);
    EXPECT_EQ(Cli({"partition", "--confirm", "DELETE", "--method", kOnePass, area(start, length)}),
              cli::kExitOk)
        << out_.str() << err_.str();
    const std::string after = ReadFile(loop->Image());
    EXPECT_TRUE(after.substr(0, start) == before.substr(0, start));
    EXPECT_TRUE(AllBytes(after.substr(start), '\x3C'));
}

TEST_F(CliDeviceWipe, DiskWritesAFreshTableUnlessAskedNotTo) {
    if (!test::HaveTool("sfdisk"))
        GTEST_SKIP() << "needs sfdisk";
    auto loop = MakeDisk(dir_, "disk.img", 16 * kMiB, "");
    EXPECT_EQ(Cli({"disk", "--method", kOnePass, "--confirm", "DELETE", loop->Path()}),
              cli::kExitOk)
        << out_.str() << err_.str();
    const auto table =
        nlohmann::json::parse(MustRun({"sfdisk", "--json", loop->Image()}))["partitiontable"];
    ASSERT_EQ(table["partitions"].size(), 1u);
    EXPECT_EQ(table["partitions"][0]["type"], "b");
    EXPECT_EQ(table["partitions"][0]["start"], 2048);
}

} // namespace
} // namespace purgix
