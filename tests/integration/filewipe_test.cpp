// purgix-cli files on real file systems over loop volumes: after the wipe the raw image holds
// none of the wiped files' contents or streams, the files that were not chosen are unchanged,
// the log checks, and the file system is clean.
#include "support/loopdev.h"
#include "support/user_env.h"
#include "wipe/wipelibfuncs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>

namespace purgix {
namespace {

using test::LoopDevice;
using test::MustRun;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr std::int64_t kMiB = 1024 * 1024;

// `bytes` of numbered records "<tag>-<n>|", the first half as ASCII and the second as UTF-16LE.
std::string Markers(const std::string& tag, std::size_t bytes) {
    std::string ascii;
    std::string wide;
    for (int n = 0; ascii.size() < bytes / 2; ++n)
        ascii += tag + "-" + std::to_string(n) + "|";
    for (int n = 0; wide.size() < bytes / 2; ++n)
        for (char c : tag + "-" + std::to_string(n) + "|") {
            wide += c;
            wide += '\0';
        }
    ascii.resize(bytes / 2);
    wide.resize(bytes - ascii.size());
    return ascii + wide;
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

bool Holds(const std::string& image, const std::string& text) {
    return image.find(text) != std::string::npos;
}

struct Volume {
    std::string driver;
    std::vector<std::string> mkfs;
    std::vector<std::string> fsck; // the device is appended
    bool streams;                  // the driver offers user attributes as streams
};

TEST(FileWipeIntegration, WipedFilesLeaveNoTraceOnRealFileSystems) {
    PURGIX_REQUIRE_ROOT();
    for (const char* tool : {"mkfs.ext4", "e2fsck", "mkntfs", "ntfs-3g", "ntfsfix", "mkfs.fat",
                             "fsck.fat", "fusefat", "chattr"})
        PURGIX_REQUIRE_TOOL(tool);
    const std::vector<Volume> volumes = {
        {"ext4", {"mkfs.ext4", "-q", "-F", "-m", "0"}, {"e2fsck", "-f", "-n"}, true},
        {"ntfs-3g", {"mkntfs", "-Q", "-F", "-q"}, {"ntfsfix", "-n"}, true},
        {"fusefat", {"mkfs.fat", "-F", "16"}, {"fsck.fat", "-n"}, false},
    };
    for (const Volume& v : volumes) {
        SCOPED_TRACE(v.driver);
        TempDir dir;
        const std::string img = test::MakeImage(dir, "vol.img", 48 * kMiB);
        auto mkfs = v.mkfs;
        mkfs.push_back(img);
        MustRun(mkfs);
        LoopDevice loop(dir, img);
        const std::string mp = loop.Mount(loop.Path(), v.driver, dir.File("mnt"));

        std::filesystem::create_directories(mp + "victims/sub");
        WriteFile(mp + "victims/big.bin", Markers("WIPEDBIG", 256 * 1024));
        WriteFile(mp + "victims/sub/small.txt", Markers("WIPEDSMALL", 3000));
        WriteFile(mp + "single.bin", Markers("WIPEDSINGLE", 64 * 1024));
        const std::string kept = Markers("KEPTFILE", 64 * 1024);
        WriteFile(mp + "kept.bin", kept);
        if (v.streams) {
            // Stream values live in file-system records: ext4 journals them, ntfs-3g writes a
            // rewritten value into new clusters. Their old copies are the free-space wipe's
            // business; the file wipe overwrites and removes the stream and says so in the log.
            const std::string value = Markers("WIPEDSTREAM", 800);
            ASSERT_EQ(::setxattr((mp + "single.bin").c_str(), "user.notes", value.data(),
                                 value.size(), 0),
                      0);
        }
        if (v.driver == "ext4") // an immutable file is made writable first
            MustRun({"chattr", "+i", mp + "victims/sub/small.txt"});
        ::sync();

        const test::UserEnvironment user(dir, dir.File("home/"));
        const auto r = user.Run({PURGIX_CLI_PATH, "--log-dir", dir.File("logs"), "files",
                                 "--method", "dod", "--yes", mp + "victims", mp + "single.bin"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_FALSE(std::filesystem::exists(mp + "victims"));
        EXPECT_FALSE(std::filesystem::exists(mp + "single.bin"));
        EXPECT_TRUE(ReadFile(mp + "kept.bin") == kept);
        for (const auto& log : std::filesystem::directory_iterator(dir.File("logs"))) {
            const auto check = user.Run({PURGIX_CLI_PATH, "check-log", log.path().string()});
            EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
            const std::string text = ReadFile(log.path().string());
            EXPECT_NE(text.find(mp + "single.bin ("), std::string::npos);
            EXPECT_EQ(text.find(StreamCopiesNotice(mp)) != std::string::npos, v.streams);
        }

        loop.Unmount(mp);
        const std::string image = ReadFile(img);
        for (const std::string tag : {"WIPEDBIG", "WIPEDSMALL", "WIPEDSINGLE"}) {
            EXPECT_FALSE(Holds(image, tag + "-")) << tag << " (ASCII) is still on the volume";
            EXPECT_FALSE(Holds(image, Utf16(tag + "-"))) << tag << " (UTF-16) is still there";
        }
        EXPECT_TRUE(Holds(image, "KEPTFILE-")); // the scan does see file contents

        auto fsck = v.fsck;
        fsck.push_back(loop.Path());
        MustRun(fsck);
    }
}

} // namespace
} // namespace purgix
