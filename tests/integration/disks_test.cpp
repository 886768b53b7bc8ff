// Disk snapshots of loop devices whose tables sfdisk made, checked entry by entry against
// sfdisk's own reading of the table.
#include "drives/devices.h"

#include "drives/vwin32.h"
#include "platform/blockdev.h"
#include "platform/debug.h"
#include "platform/rawwriter.h"
#include "support/loopdev.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

namespace purgix {
namespace {

using nlohmann::json;
using test::LoopDevice;
using test::MustRun;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;

std::string KernelName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The snapshot of a loop device, numbered in the disk list as it is now.
std::unique_ptr<TDeviceInfo> Snapshot(const LoopDevice& loop, bool extended = true) {
    const auto disks = platform::ListDiskKernelNames();
    const auto it = std::find(disks.begin(), disks.end(), KernelName(loop.Path()));
    if (it == disks.end())
        return nullptr;
    return std::make_unique<TDeviceInfo>(static_cast<int>(it - disks.begin()), extended, disks);
}

// Writes `script` with sfdisk onto a new image of `bytes` and attaches it with its partitions.
std::unique_ptr<LoopDevice> MakeDisk(const TempDir& dir, std::int64_t bytes,
                                     const std::string& script) {
    const std::string img = test::MakeImage(dir, "disk.img", bytes);
    if (!script.empty()) {
        test::WriteFile(dir.File("table"), script);
        MustRun({"sh", "-c",
                 "sfdisk -q --no-reread --no-tell-kernel " + img + " < " + dir.File("table")});
    }
    auto loop = std::make_unique<LoopDevice>(dir, img);
    try {
        loop->AddPartitions();
    } catch (const std::runtime_error&) {
        // a table without partitions, or none at all
    }
    return loop;
}

bool IsContainer(const std::string& type) {
    return type == "5" || type == "f" || type == "85";
}

// Every partition sfdisk lists (containers excepted) is an entry with the same number, start,
// size and type; the entries run without gap or overlap from the scan start to the end, every
// stretch between partitions being one unpartitioned area.
void ExpectMatchesSfdisk(const TDeviceInfo& disk, const LoopDevice& loop, std::int64_t bytes,
                         const std::string& label) {
    SCOPED_TRACE(label);
    const json table = json::parse(MustRun({"sfdisk", "--json", loop.Image()}))["partitiontable"];
    ASSERT_EQ(table["label"], label);
    ASSERT_TRUE(disk.Valid());
    EXPECT_EQ(disk.TableType(), label);
    EXPECT_EQ(disk.Capacity(), bytes);

    std::size_t partitions = 0;
    for (const json& p : table.value("partitions", json::array())) {
        const std::string node = p["node"];
        const auto number = static_cast<std::uint32_t>(std::stoul(node.substr(node.size() - 1)));
        const std::string type = p["type"];
        if (label == "dos" && IsContainer(type))
            continue;
        ++partitions;
        const TDevicePartitionInformation* found = nullptr;
        for (int i = 0; i < disk.PartitionCount(); ++i)
            if (disk.GetPartition(i)->Valid() && disk.GetPartition(i)->Number() == number)
                found = disk.GetPartition(i);
        ASSERT_NE(found, nullptr) << "partition " << number;
        EXPECT_EQ(found->StartingOffset(), p["start"].get<std::int64_t>() * 512) << number;
        EXPECT_EQ(found->Len(), p["size"].get<std::int64_t>() * 512) << number;
        EXPECT_EQ(found->Device(), &disk);
        if (label == "dos") {
            EXPECT_EQ(found->PartitionStyle(), PARTITION_STYLE_MBR);
            EXPECT_EQ(found->PartitionType(), std::stoul(type, nullptr, 16)) << number;
            EXPECT_EQ(found->PartitionTypeGUID(), "");
        } else {
            EXPECT_EQ(found->PartitionStyle(), PARTITION_STYLE_GPT);
            EXPECT_EQ(found->PartitionType(), 0);
            EXPECT_EQ(found->PartitionTypeGUID(), "{" + type + "}") << number;
        }
        // The kernel's partition device, as partx made it, is the entry's device.
        EXPECT_EQ(found->DevicePath(), loop.Partition(static_cast<int>(number)));
        EXPECT_NE(found->Identity().rdev, 0u);
        EXPECT_EQ(found->Identity().partStart * 512, found->StartingOffset());
    }

    std::size_t valid = 0;
    std::int64_t pos = label == "dos" ? 512 : 0;
    for (int i = 0; i < disk.PartitionCount(); ++i) {
        const TDevicePartitionInformation& e = *disk.GetPartition(i);
        EXPECT_EQ(e.StartingOffset(), pos) << "entry " << i;
        EXPECT_GT(e.Len(), 0) << "entry " << i;
        if (e.Valid()) {
            ++valid;
        } else {
            EXPECT_EQ(e.Number(), 0u);
            EXPECT_EQ(e.PartitionType(), 0);
            EXPECT_EQ(e.DevicePath(), "");
            const bool afterPartition = i == 0 || disk.GetPartition(i - 1)->Valid();
            EXPECT_TRUE(afterPartition) << "two areas in a row at " << i;
        }
        pos = e.StartingOffset() + e.Len();
    }
    EXPECT_EQ(pos, bytes);
    EXPECT_EQ(valid, partitions);
}

TEST(Disks, LayoutsMatchSfdisk) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    const std::int64_t size = 64 * kMiB;
    struct Case {
        const char* name;
        const char* label;
        std::string script;
        std::size_t entries;
    };
    const Case cases[] = {
        {"one partition from 1 MiB to 10 MiB before the end", "dos",
         "label: dos\nstart=2048, size=" + std::to_string((size - 11 * kMiB) / 512) + ", type=83\n",
         3},
        {"GPT", "gpt",
         "label: gpt\nstart=2048, size=20MiB, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
         "start=45056, size=20MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n",
         5},
        {"empty MBR", "dos", "label: dos\n", 1},
        {"unsorted MBR", "dos",
         "label: dos\nstart=40960, size=10MiB, type=7\nstart=2048, size=10MiB, type=b\n", 5},
        {"extended partition with two logical partitions", "dos",
         "label: dos\nstart=2048, size=10MiB, type=83\nstart=22528, size=40MiB, type=5\n"
         "start=24576, size=10MiB, type=83\nstart=47104, size=10MiB, type=7\n",
         // area, 1, area (EBR), 5, area (EBR), 6, area
         7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto loop = MakeDisk(dir, size, c.script);
        const auto disk = Snapshot(*loop);
        ASSERT_NE(disk, nullptr);
        ExpectMatchesSfdisk(*disk, *loop, size, c.label);
        EXPECT_EQ(disk->PartitionCount(), static_cast<int>(c.entries));
    }
}

TEST(Disks, ExtendedContainersAreNotListedButStayInTheTableRanges) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    for (const char* type : {"5", "f", "85"}) {
        SCOPED_TRACE(type);
        TempDir dir;
        const auto loop = MakeDisk(dir, 64 * kMiB,
                                   std::string("label: dos\nstart=2048, size=40MiB, type=") + type +
                                       "\nstart=4096, size=10MiB, type=83\n");
        const auto disk = Snapshot(*loop);
        ASSERT_NE(disk, nullptr);
        // area, area (EBR), logical partition 5, area up to the end
        std::vector<std::uint32_t> numbers;
        for (int i = 0; i < disk->PartitionCount(); ++i)
            numbers.push_back(disk->GetPartition(i)->Number());
        EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 5, 0}));
        // Not listed, but known to the raw writer's checks of unpartitioned areas.
        const auto& ranges = disk->TablePartitions();
        EXPECT_NE(std::find(ranges.begin(), ranges.end(), std::make_pair(kMiB, 40 * kMiB)),
                  ranges.end());
    }
}

TEST(Disks, APartitionTheKernelShowsElsewhereHasNoDevice) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    PURGIX_REQUIRE_TOOL("resizepart");
    TempDir dir;
    const auto loop = MakeDisk(dir, 64 * kMiB,
                               "label: dos\nstart=2048, size=20MiB, type=83\n"
                               "start=45056, size=20MiB, type=83\n");
    // The kernel's partition 1 no longer matches the table: a writer must not take it for the
    // table's partition 1.
    MustRun({"resizepart", loop->Path(), "1", "8192"});
    const auto disk = Snapshot(*loop);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->PartitionCount(), 5);
    EXPECT_EQ(disk->GetPartition(1)->Number(), 1u);
    EXPECT_EQ(disk->GetPartition(1)->Len(), 20 * kMiB) << "the table decides the entry";
    EXPECT_EQ(disk->GetPartition(1)->DevicePath(), "");
    EXPECT_EQ(disk->GetPartition(3)->DevicePath(), loop->Partition(2));
}

TEST(Disks, TraceLinesGoToTheDebugSink) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const auto loop = MakeDisk(dir, 8 * kMiB, "");
    std::vector<std::string> lines;
    platform::ScopedDebugCapture capture([&](std::string_view line) { lines.emplace_back(line); });
    ASSERT_NE(Snapshot(*loop), nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"GetDeviceInfos", "GetDeviceInfos fertig",
                                               "ERzeuge Paritionsabbild", "UpdateDriveLetters",
                                               "UpdateDriveLetters fertig"}));
    lines.clear();
    ASSERT_NE(Snapshot(*loop, false), nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"GetDeviceInfos", "GetDeviceInfos fertig",
                                               "ERzeuge Paritionsabbild"}));
}

TEST(Disks, ALoopDiskWithoutATableIsOneAreaFromByteZero) {
    PURGIX_REQUIRE_ROOT();
    TempDir dir;
    const std::int64_t size = 12 * kMiB + 4096;
    const auto loop = MakeDisk(dir, size, "");
    const auto disk = Snapshot(*loop);
    ASSERT_NE(disk, nullptr);
    ASSERT_TRUE(disk->Valid());
    EXPECT_EQ(disk->DeviceName(), loop->Path());
    EXPECT_EQ(disk->Capacity(), size);
    EXPECT_EQ(disk->Geometry().DiskSize, size);
    EXPECT_EQ(disk->Geometry().BytesPerSector, 512u);
    EXPECT_EQ(disk->Geometry().MediaType, FixedMedia);
    EXPECT_EQ(disk->Modelname(), loop->Image()) << "a loop device names its backing file";
    EXPECT_FALSE(disk->ExternalFlashDrive());
    EXPECT_EQ(disk->Identity().path, loop->Path());
    EXPECT_EQ(disk->Identity().sizeBytes, size);
    EXPECT_EQ(disk->Identity().loopBackingFile, loop->Image());
    ASSERT_EQ(disk->PartitionCount(), 1);
    EXPECT_FALSE(disk->GetPartition(0)->Valid());
    EXPECT_EQ(disk->GetPartition(0)->StartingOffset(), 0);
    EXPECT_EQ(disk->GetPartition(0)->Len(), size);
    EXPECT_EQ(PartitionCaption(*disk->GetPartition(0)), "(unpartitioned area)");
}

TEST(Disks, AMountedPartitionCarriesItsMountPoint) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const auto loop = MakeDisk(dir, 64 * kMiB,
                               "label: dos\nstart=2048, size=20MiB, type=83\n"
                               "start=45056, size=20MiB, type=7\n");
    MustRun({"mkfs.ext4", "-q", "-m", "0", loop->Partition(1)});
    const std::string mp = loop->Mount(loop->Partition(1), "ext4", dir.File("mnt"));

    const auto disk = Snapshot(*loop);
    ASSERT_NE(disk, nullptr);
    std::vector<std::string> letters, captions;
    for (int i = 0; i < disk->PartitionCount(); ++i) {
        letters.push_back(disk->GetPartition(i)->DriveLetter());
        captions.push_back(PartitionCaption(*disk->GetPartition(i)));
    }
    EXPECT_EQ(letters, (std::vector<std::string>{"", mp, "", "", ""}));
    EXPECT_EQ(captions, (std::vector<std::string>{
                            "(unpartitioned area)", "Drive " + mp, "(unpartitioned area)",
                            "Partition 2 (NTFS PARTITION)", "(unpartitioned area)"}));

    // Without extended information: no model, no mount points.
    const auto plain = Snapshot(*loop, false);
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(plain->Valid());
    EXPECT_EQ(plain->Modelname(), "");
    EXPECT_EQ(plain->PartitionCount(), 5);
    for (int i = 0; i < plain->PartitionCount(); ++i)
        EXPECT_EQ(plain->GetPartition(i)->DriveLetter(), "");
}

std::unique_ptr<platform::RawDeviceWriter> OpenWriter(const platform::DeviceIdentity& id,
                                                      platform::RawMode mode) {
    platform::RawTarget target;
    target.mode = mode;
    target.identity = id;
    std::string refusal;
    auto writer = platform::RawDeviceWriter::Open(target, refusal);
    EXPECT_NE(writer, nullptr) << refusal;
    return writer;
}

TEST(Disks, CreateWholeDiskPartitionWritesAFreshTableTheKernelLists) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    const std::int64_t size = 48 * kMiB;
    TempDir dir;
    // An old GPT table with two partitions the kernel knows: both must give way to the new one.
    const auto loop =
        MakeDisk(dir, size, "label: gpt\nstart=4096, size=10MiB\nstart=30720, size=10MiB\n");
    const std::string sys = "/sys/block/" + KernelName(loop->Path()) + "/";
    const std::string p1 = KernelName(loop->Partition(1));
    ASSERT_TRUE(std::filesystem::exists(sys + KernelName(loop->Partition(2))));
    const auto before = Snapshot(*loop);
    ASSERT_NE(before, nullptr);
    {
        const auto writer = OpenWriter(before->Identity(), platform::RawMode::WholeDevice);
        ASSERT_NE(writer, nullptr);
        EXPECT_TRUE(CreateWholeDiskPartition(*writer));
    }

    const json table = json::parse(MustRun({"sfdisk", "--json", loop->Image()}))["partitiontable"];
    EXPECT_EQ(table["label"], "dos");
    EXPECT_EQ(table["id"], "0x000055aa");
    ASSERT_EQ(table["partitions"].size(), 1u);
    const json& p = table["partitions"][0];
    EXPECT_EQ(p["start"], 2048);
    EXPECT_EQ(p["size"], size / 512 - 2048);
    EXPECT_EQ(p["type"], "b");
    EXPECT_FALSE(p.value("bootable", false));

    // The kernel's view: partition 1 over the new range, partition 2 gone.
    ASSERT_TRUE(std::filesystem::exists(sys + p1));
    EXPECT_EQ(std::stoll(test::ReadFile(sys + p1 + "/start")), 2048);
    EXPECT_EQ(std::stoll(test::ReadFile(sys + p1 + "/size")), size / 512 - 2048);
    EXPECT_FALSE(std::filesystem::exists(sys + KernelName(loop->Partition(2))));
    // The old primary GPT header in the first MiB is gone as well.
    EXPECT_EQ(test::ReadFile(loop->Image()).substr(512, 8), std::string(8, '\0'));

    const auto after = Snapshot(*loop);
    ASSERT_NE(after, nullptr);
    ExpectMatchesSfdisk(*after, *loop, size, "dos");
    ASSERT_EQ(after->PartitionCount(), 2);
    EXPECT_EQ(PartitionCaption(*after->GetPartition(1)), "Partition 1 (FAT32 PARTITION)");

    // Written again over a disk whose kernel view already matches: still one partition.
    {
        const auto writer = OpenWriter(after->Identity(), platform::RawMode::WholeDevice);
        ASSERT_NE(writer, nullptr);
        EXPECT_TRUE(CreateWholeDiskPartition(*writer));
    }
    EXPECT_TRUE(std::filesystem::exists(sys + p1));
}

TEST(Disks, CreateWholeDiskPartitionWritesNothingThroughAPartitionWriter) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    TempDir dir;
    const auto loop = MakeDisk(dir, 32 * kMiB, "label: dos\nstart=2048, size=20MiB, type=83\n");
    const std::string image = test::ReadFile(loop->Image());
    const auto disk = Snapshot(*loop);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->PartitionCount(), 3);
    {
        const auto writer =
            OpenWriter(disk->GetPartition(1)->Identity(), platform::RawMode::Partition);
        ASSERT_NE(writer, nullptr);
        EXPECT_FALSE(CreateWholeDiskPartition(*writer));
    }
    EXPECT_TRUE(test::ReadFile(loop->Image()) == image) << "not a byte changed";
}

TEST(Disks, TheDisksCommandShowsTheSameEntries) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("sfdisk");
    PURGIX_REQUIRE_TOOL("partx");
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const auto loop = MakeDisk(dir, 64 * kMiB,
                               "label: dos\nstart=2048, size=20MiB, type=83\n"
                               "start=45056, size=20MiB, type=5\n"
                               "start=47104, size=10MiB, type=b\n");
    MustRun({"mkfs.ext4", "-q", "-m", "0", loop->Partition(1)});
    const std::string mp = loop->Mount(loop->Partition(1), "ext4", dir.File("mnt"));
    const auto disk = Snapshot(*loop);
    ASSERT_NE(disk, nullptr);

    const auto r = test::RunProcess({PURGIX_CLI_PATH, "disks", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json list = json::parse(r.out);
    const json* shown = nullptr;
    for (const json& d : list)
        if (d["DeviceName"] == loop->Path())
            shown = &d;
    ASSERT_NE(shown, nullptr) << r.out;
    const json& d = *shown;
    EXPECT_EQ(d["DeviceNumber"], disk->DeviceNumber());
    EXPECT_EQ(d["Valid"], true);
    EXPECT_EQ(d["Modelname"], loop->Image());
    EXPECT_EQ(d["Capacity"], 64 * kMiB);
    EXPECT_EQ(d["Geometry"]["BytesPerSector"], 512);
    EXPECT_EQ(d["Geometry"]["MediaType"], FixedMedia);
    EXPECT_EQ(d["ExternalFlashDrive"], false);
    ASSERT_EQ(d["PartitionCount"], disk->PartitionCount());
    ASSERT_EQ(d["Partitions"].size(), static_cast<std::size_t>(disk->PartitionCount()));
    for (int i = 0; i < disk->PartitionCount(); ++i) {
        const TDevicePartitionInformation& e = *disk->GetPartition(i);
        const json& j = d["Partitions"][i];
        EXPECT_EQ(j["StartingOffset"], e.StartingOffset()) << i;
        EXPECT_EQ(j["Len"], e.Len()) << i;
        EXPECT_EQ(j["Number"], e.Number()) << i;
        EXPECT_EQ(j["Valid"], e.Valid()) << i;
        EXPECT_EQ(j["PartitionType"], e.PartitionType()) << i;
        EXPECT_EQ(j["PartitionTypeGUID"], "") << i;
        EXPECT_EQ(j["PartitionStyle"], "PARTITION_STYLE_MBR") << i;
        EXPECT_EQ(j["DriveLetter"], e.DriveLetter()) << i;
        EXPECT_EQ(j["Caption"], PartitionCaption(e)) << i;
    }
    EXPECT_EQ(d["Partitions"][1]["DriveLetter"], mp);
    EXPECT_EQ(d["Partitions"][1]["Caption"], "Drive " + mp);
    EXPECT_EQ(d["Partitions"][3]["Number"], 5);
    EXPECT_EQ(d["Partitions"][3]["PartitionType"], 0x0B);

    // The text listing names the disk and shows each entry's caption.
    const auto text = test::RunProcess({PURGIX_CLI_PATH, "disks"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find(": " + loop->Path() + "  model \"" + loop->Image() + "\""),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("0x0B"), std::string::npos);
    EXPECT_NE(text.out.find("Partition 5 (FAT32 PARTITION)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Drive " + mp), std::string::npos);

    EXPECT_EQ(test::RunProcess({PURGIX_CLI_PATH, "disks", "extra"}).exitCode, 64);
}

TEST(Disks, NumbersOutsideTheListAreInvalid) {
    const std::vector<std::string> none;
    const TDeviceInfo disk(0, true, none);
    EXPECT_FALSE(disk.Valid());
    EXPECT_EQ(disk.PartitionCount(), 0);
    EXPECT_EQ(disk.DeviceNumber(), 0);
    const TDeviceInfo negative(-1, true);
    EXPECT_FALSE(negative.Valid());
}

} // namespace
} // namespace purgix
