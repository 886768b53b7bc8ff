// Free-space wiping of real volumes on loop devices (ext4, FAT through fusefat, NTFS through
// ntfs-3g): the raw image is read afterwards for what the deleted files held.
#include "platform/aligned_buffer.h"
#include "platform/rawwriter.h"
#include "wipe/wipelibfuncs.h"

#include "support/loopdev.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

namespace purgix {
namespace {

using test::LoopDevice;
using test::MustRun;
using test::TempDir;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr const char* kDeletedMarker = "PURGIX-DELETED-CONTENT";

// The environment the program runs in: every folder of the user inside the test's own folder.
std::map<std::string, std::string> UserEnvironment(const TempDir& dir) {
    std::map<std::string, std::string> env = {
        {"HOME", dir.File("home")},          {"XDG_CONFIG_HOME", dir.File("config")},
        {"XDG_DATA_HOME", dir.File("data")}, {"XDG_STATE_HOME", dir.File("state")},
        {"TMPDIR", dir.File("tmp")},         {"PURGIX_REGISTRY_DIR", dir.File("registry")}};
    for (const auto& [name, value] : env)
        std::filesystem::create_directories(value);
    return env;
}

test::ProcessResult RunCli(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {PURGIX_CLI_PATH, "--log-dir", dir.File("logs")});
    return test::RunProcess(args, UserEnvironment(dir), {"SUDO_USER", "PKEXEC_UID"});
}

// A file whose bytes are `marker` repeated, written to the disk before it returns.
void WriteSynced(const std::string& path, const std::string& marker, std::size_t size) {
    std::string content;
    while (content.size() < size)
        content += marker;
    content.resize(size);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct LiveFile {
    std::string path;
    std::string content;
    struct timespec mtime;
};

std::int64_t StatvfsFree(const std::string& mp) {
    ::sync();
    struct statvfs st {};
    EXPECT_EQ(::statvfs(mp.c_str(), &st), 0);
    return static_cast<std::int64_t>(st.f_bfree) * static_cast<std::int64_t>(st.f_frsize);
}

// The image as the device holds it: what a driver wrote to the loop device may still wait in
// the device's cache while the test's helper holds it open.
std::string ReadImage(const std::string& image) {
    ::sync();
    return ReadAll(image);
}

// Free clusters of an unmounted FAT image as fsck.fat counts them; also checks that the file
// system is clean.
std::int64_t FatFreeClusters(const std::string& image) {
    ::sync();
    std::string out;
    try {
        out = MustRun({"fsck.fat", "-v", "-n", image});
    } catch (const std::runtime_error& e) {
        out = e.what();
        ADD_FAILURE() << "fsck.fat finds faults: " << out.substr(out.find("Checking for"));
    }
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("(\\d+)/(\\d+) clusters")))
        ADD_FAILURE() << out;
    return std::stoll(m[2]) - std::stoll(m[1]);
}

// The physical byte offset of the block that holds byte `offset` of a file (FIEMAP).
std::int64_t PhysicalOffset(const std::string& path, std::int64_t offset) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    std::vector<std::uint8_t> buf(sizeof(fiemap) + 16 * sizeof(fiemap_extent));
    auto* fm = reinterpret_cast<fiemap*>(buf.data());
    fm->fm_start = 0;
    fm->fm_length = FIEMAP_MAX_OFFSET;
    fm->fm_flags = FIEMAP_FLAG_SYNC;
    fm->fm_extent_count = 16;
    EXPECT_EQ(::ioctl(fd, FS_IOC_FIEMAP, fm), 0);
    ::close(fd);
    for (std::uint32_t i = 0; i < fm->fm_mapped_extents; ++i) {
        const fiemap_extent& e = fm->fm_extents[i];
        if (static_cast<std::int64_t>(e.fe_logical) <= offset &&
            offset < static_cast<std::int64_t>(e.fe_logical + e.fe_length))
            return static_cast<std::int64_t>(e.fe_physical + (offset - e.fe_logical));
    }
    ADD_FAILURE() << "no extent holds byte " << offset << " of " << path;
    return -1;
}

// Writes `residue` into the slack of the block at `blockOffset` from byte `from` on, through
// the program's raw writer (the volume is unmounted).
void PlantResidue(const LoopDevice& loop, std::int64_t blockOffset, std::size_t from,
                  const std::string& residue) {
    bool ok = false;
    platform::RawTarget target;
    target.identity = platform::CaptureIdentity(loop.Path(), ok);
    ASSERT_TRUE(ok);
    std::string refusal;
    auto writer = platform::RawDeviceWriter::Open(target, refusal);
    ASSERT_NE(writer, nullptr) << refusal;
    std::string block = ReadImage(loop.Image()).substr(static_cast<std::size_t>(blockOffset), 4096);
    block.replace(from, residue.size(), residue);
    platform::AlignedBuffer buffer(4096);
    std::memcpy(buffer.Data(), block.data(), 4096);
    ASSERT_EQ(writer->Seek(blockOffset), 0);
    ASSERT_TRUE(writer->Write(buffer.Data(), 4096).Ok());
    ASSERT_EQ(writer->Sync(), 0);
}

struct Case {
    std::string driver;
    std::vector<std::string> mkfs;
    std::int64_t size;
    bool names;
};

class FreeSpaceVolumes : public ::testing::TestWithParam<Case> {};

TEST_P(FreeSpaceVolumes, DeletedContentsGoneLiveFilesUntouchedFreeSpaceBack) {
    const Case& c = GetParam();
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL(c.mkfs[0]);
    if (c.driver != "ext4")
        PURGIX_REQUIRE_TOOL(c.driver);
    const bool ext4 = c.driver == "ext4";
    const bool fat = c.driver == "fusefat";
    TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", c.size);
    std::vector<std::string> mkfs = c.mkfs;
    mkfs.push_back(img);
    MustRun(mkfs);
    LoopDevice loop(dir, img);
    std::string mp = loop.Mount(loop.Path(), c.driver, dir.File("mnt"));

    std::filesystem::create_directories(mp + "keep/deeper");
    std::vector<LiveFile> live;
    // Every live file is larger than one cluster: fusefat refuses (EPERM) to extend a file
    // within its only cluster, which the wipe reports as a failure of that file's tip.
    const std::vector<std::pair<std::string, std::size_t>> liveFiles = {
        {"tip.bin", 10000},
        {"keep/one.txt", 5000},
        {"keep/deeper/whole.bin", 8192},
        {"keep/big.bin", 300000}};
    for (const auto& [name, size] : liveFiles) {
        WriteSynced(mp + name, "live data of " + name + " ", size);
        const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (mp + name).c_str(), times, 0), 0);
    }
    for (int i = 0; i < 4; ++i)
        WriteSynced(mp + "keep/gone" + std::to_string(i) + ".bin",
                    std::string(kDeletedMarker) + "-" + std::to_string(i) + "-", 200000);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(::unlink((mp + "keep/gone" + std::to_string(i) + ".bin").c_str()), 0);
    ::sync();
    const std::string residue = "PURGIX-SLACK-RESIDUE";
    if (ext4) {
        // Residue behind the end of a live file's data, in the slack of its last block.
        const std::int64_t block = PhysicalOffset(mp + "tip.bin", 8192);
        loop.Unmount(mp);
        PlantResidue(loop, block, 10000 - 8192, residue);
        mp = loop.Mount(loop.Path(), c.driver, dir.File("mnt"));
    }
    for (const auto& [name, size] : liveFiles) {
        struct stat st {};
        ASSERT_EQ(::lstat((mp + name).c_str(), &st), 0);
        live.push_back({mp + name, ReadAll(mp + name), st.st_mtim});
    }
    std::int64_t freeBefore = 0;
    if (fat) {
        loop.Unmount(mp);
        freeBefore = FatFreeClusters(img);
        mp = loop.Mount(loop.Path(), c.driver, dir.File("mnt"));
    } else {
        freeBefore = StatvfsFree(mp);
    }
    const std::string raw = ReadImage(img);
    ASSERT_NE(raw.find(kDeletedMarker), std::string::npos) << "the deleted data is on the disk";

    test::ProcessResult r;
    {
        std::vector<std::string> args = {"freespace", "--yes", "--method", "simple", mp};
        if (!c.names)
            args.push_back("--no-deleted-names");
        r = RunCli(dir, args);
    }
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("logs")))
        if (e.path().filename().string().rfind("Freespace@", 0) == 0)
            log = ReadAll(e.path());
    ASSERT_NE(log, "") << "no Freespace@ log";
    EXPECT_NE(log.find(mp + " => Freespace successfully wiped."), std::string::npos);
    EXPECT_NE(log.find(mp + "tip.bin (Clustertip overwritten)"), std::string::npos);
    EXPECT_NE(log.find(mp + "keep/deeper/whole.bin (No data)"), std::string::npos);
    const bool nameStage =
        log.find(" => Overwriting deleted filenames completed.") != std::string::npos;
    if (c.driver == "ntfs-3g")
        EXPECT_NE(log.find(mp + " => Deleted filenames successfully wiped"), std::string::npos)
            << "the MFT stage runs until the MFT grows";
    else
        EXPECT_EQ(nameStage, c.names);

    for (const LiveFile& f : live) {
        struct stat st {};
        ASSERT_EQ(::lstat(f.path.c_str(), &st), 0) << f.path;
        EXPECT_EQ(st.st_size, static_cast<off_t>(f.content.size())) << f.path;
        EXPECT_EQ(st.st_mtim.tv_sec, f.mtime.tv_sec) << f.path;
        EXPECT_TRUE(ReadAll(f.path) == f.content) << f.path;
    }
    for (const auto& e : std::filesystem::recursive_directory_iterator(mp)) {
        const std::string name = e.path().filename().string();
        EXPECT_EQ(name.find("~WIPE"), std::string::npos) << e.path();
        EXPECT_EQ(name.find("~wipefile"), std::string::npos) << e.path();
    }
    if (fat) {
        loop.Unmount(mp);
        EXPECT_EQ(FatFreeClusters(img), freeBefore);
    } else {
        const std::int64_t freeAfter = StatvfsFree(mp);
        if (c.driver == "ntfs-3g") {
            // The MFT grew by the records that the name stage took.
            EXPECT_LE(freeAfter, freeBefore);
            EXPECT_GE(freeAfter, freeBefore - 256 * 1024) << freeBefore - freeAfter;
        } else {
            EXPECT_EQ(freeAfter, freeBefore);
        }
        loop.Unmount(mp);
    }
    const std::string after = ReadImage(img);
    EXPECT_EQ(after.find(kDeletedMarker), std::string::npos)
        << "a deleted file's contents survived at byte " << after.find(kDeletedMarker);
    EXPECT_EQ(after.find(residue), std::string::npos) << "the slack residue survived";
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FreeSpaceVolumes,
    ::testing::Values(
        Case{"ext4", {"mkfs.ext4", "-q", "-F", "-m", "0", "-b", "4096"}, 8 * kMiB, true},
        Case{"fusefat", {"mkfs.fat", "-r", "64"}, 8 * kMiB, true},
        Case{"fusefat", {"mkfs.fat", "-r", "64"}, 8 * kMiB, false},
        Case{"ntfs-3g", {"mkntfs", "-F", "-Q", "-q"}, 16 * kMiB, false}),
    [](const ::testing::TestParamInfo<Case>& p) {
        std::string name = p.param.driver == "ntfs-3g" ? "ntfs" : p.param.driver;
        return name + (p.param.names ? "_names" : "_no_names");
    });

TEST(FreeSpaceCancel, CancelDuringTheFillRemovesItsFilesAndReturnsFive) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", 16 * kMiB);
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", "-b", "4096", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("mnt"));
    const std::int64_t freeBefore = StatvfsFree(mp);

    TKLWiper engine;
    engine.SetWipeType(wt_freespace);
    engine.SetItems({mp});
    engine.SetAlgorithmFile(PURGIX_TEST_DATA_DIR "algorithm.xml");
    engine.SetAlgorithmGUID(std::string(GUID_SIMPLE_RANDOM));
    bool sawFill = false;
    engine.SetProgressCallBack([&](TKLWiper&, const std::string&, std::int32_t stage, std::int32_t,
                                   std::int32_t, std::int64_t, std::int64_t, std::int64_t,
                                   std::int64_t, bool& cancel) {
        if (stage == STAGE_FREESPACE) {
            sawFill = true;
            cancel = true;
        }
    });
    ASSERT_EQ(engine.InitializeWipeJob(), WIPE_OK);
    EXPECT_EQ(engine.ExecuteJob(), WIPE_CANCELLED);
    EXPECT_TRUE(sawFill) << engine.Log().HeaderSection() << engine.Log().SuccessSection()
                         << engine.Log().FailureSection();
    EXPECT_NE(engine.Log().HeaderSection().find("Operation was canceled by user"),
              std::string::npos);
    EXPECT_NE(engine.Log().SuccessSection().find("OPERATION CANCELED BY USER"), std::string::npos);
    EXPECT_NE(engine.Log().FailureSection().find(mp + " (Aborted by user)"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(mp + "~WIPE0"));
    EXPECT_EQ(StatvfsFree(mp), freeBefore);
}

} // namespace
} // namespace purgix
