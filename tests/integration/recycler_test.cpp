// purgix-cli trash on real file systems over loop volumes: entries made by trash-put (a real
// implementation of the freedesktop.org trash), and Windows bins through the FUSE drivers.
#include "support/loopdev.h"
#include "support/process.h"
#include "support/user_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

namespace purgix {
namespace {

using nlohmann::json;
using test::LoopDevice;
using test::MustRun;
using test::TempDir;
using test::WriteFile;

constexpr std::int64_t kMiB = 1024 * 1024;

std::string LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

// Runs the programs of a test as the user of its own folders, with the trash commands at hand.
class UserEnvironment : public test::UserEnvironment {
public:
    using test::UserEnvironment::UserEnvironment;

    void TrashPut(const std::vector<std::string>& paths) const {
        std::vector<std::string> argv = {test::ToolPath("trash-put")};
        argv.insert(argv.end(), paths.begin(), paths.end());
        const auto r = Run(argv);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    json TrashJson(const std::string& mountPoint) const {
        const auto r = Run({PURGIX_CLI_PATH, "--json", "trash", mountPoint});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out);
    }
};

const json* ByOrigfilename(const json& files, const std::string& orig) {
    for (const json& e : files)
        if (e["Origfilename"] == orig)
            return &e;
    return nullptr;
}

TEST(RecyclerIntegration, TrashPutEntriesOnAnExt4Volume) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    PURGIX_REQUIRE_TOOL("trash-put");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("mnt"));
    const std::string uid = std::to_string(::geteuid());
    // The user's home lies outside the volume first: trash-put then uses the volume's own
    // trash folder, $topdir/.Trash-$uid.
    const UserEnvironment user(dir, dir.File("home/"));

    std::filesystem::create_directories(mp + "docs");
    std::filesystem::create_directories(mp + "old/sub");
    WriteFile(mp + "docs/a.txt", "hello");
    const std::string odd = "name with space \xC3\xBC%.txt";
    WriteFile(mp + odd, "1234567");
    WriteFile(mp + "old/sub/b.txt", "b");
    WriteFile(mp + "old/c.txt", "c");
    const std::string before = LocalNow();
    user.TrashPut({mp + "docs/a.txt", mp + odd, mp + "old"});
    const std::string after = LocalNow();
    const std::string trash = mp + ".Trash-" + uid + "/";
    ASSERT_TRUE(std::filesystem::is_directory(trash + "info")) << "trash-put used another folder";

    json doc = user.TrashJson(mp);
    ASSERT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc[0]["MountPoint"], mp);
    const json& files = doc[0]["Files"];
    ASSERT_EQ(files.size(), 3u) << doc.dump(2);
    struct Expected {
        std::string orig, item;
        std::int64_t size;
    };
    for (const Expected& x : {Expected{mp + "docs/a.txt", "a.txt", 5}, Expected{mp + odd, odd, 7},
                              Expected{mp + "old", "old/", 0}}) {
        SCOPED_TRACE(x.orig);
        const json* e = ByOrigfilename(files, x.orig);
        ASSERT_NE(e, nullptr) << doc.dump(2);
        EXPECT_EQ((*e)["BinFilename"], trash + "files/" + x.item);
        const std::string name =
            x.item.back() == '/' ? x.item.substr(0, x.item.size() - 1) : x.item;
        EXPECT_EQ((*e)["IndexFileName"], trash + "info/" + name + ".trashinfo");
        const std::string when = (*e)["DeleteTime"];
        EXPECT_LE(before, when);
        EXPECT_LE(when, after);
        EXPECT_EQ((*e)["FileSize"], x.size);
        EXPECT_EQ((*e)["isDirectory"], x.item.back() == '/');
    }
    const json& old = *ByOrigfilename(files, mp + "old");
    ASSERT_EQ(old["Files"].size(), 2u);
    const json* sub = ByOrigfilename(old["Files"], mp + "old/sub/");
    ASSERT_NE(sub, nullptr) << old.dump(2);
    EXPECT_EQ((*sub)["BinFilename"], trash + "files/old/sub/");
    ASSERT_EQ((*sub)["Files"].size(), 1u);
    EXPECT_EQ((*sub)["Files"][0]["Origfilename"], mp + "old/sub/b.txt");
    EXPECT_EQ((*sub)["Files"][0]["DeleteTime"], nullptr);
    EXPECT_NE(ByOrigfilename(old["Files"], mp + "old/c.txt"), nullptr);

    // A shared, sticky $topdir/.Trash: trash-put now uses .Trash/$uid, which comes first.
    std::filesystem::create_directories(mp + ".Trash");
    ASSERT_EQ(::chmod((mp + ".Trash").c_str(), 01777), 0);
    WriteFile(mp + "docs/d.txt", "dd");
    user.TrashPut({mp + "docs/d.txt"});
    // The home trash on this volume: used for files of the volume, listed before the others.
    const UserEnvironment local(dir, mp + "home/");
    WriteFile(mp + "home/e.txt", "eee");
    local.TrashPut({mp + "home/e.txt"});
    ASSERT_TRUE(std::filesystem::is_directory(mp + "home/.local/share/Trash/info"));

    doc = local.TrashJson(mp);
    const json& all = doc[0]["Files"];
    ASSERT_EQ(all.size(), 5u) << doc.dump(2);
    EXPECT_EQ(all[0]["Origfilename"], mp + "home/e.txt");
    EXPECT_EQ(all[0]["BinFilename"], mp + "home/.local/share/Trash/files/e.txt");
    EXPECT_EQ(all[1]["Origfilename"], mp + "docs/d.txt");
    EXPECT_EQ(all[1]["BinFilename"], mp + ".Trash/" + uid + "/files/d.txt");
    // The first user's home trash lies on another volume and is not listed with this one.
    EXPECT_EQ(user.TrashJson(mp)[0]["Files"].size(), 4u);

    // The table: one line per entry, contents indented below their folder.
    const auto text = user.Run({PURGIX_CLI_PATH, "trash", mp});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.rfind("Volume " + mp + "\n", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("  " + mp + "docs/a.txt  "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(trash + "files/a.txt\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    " + mp + "old/c.txt"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Item in the bin"), std::string::npos) << text.out;
}

TEST(RecyclerIntegration, FilesTrashWipesTheEntriesAndTheirIndexFiles) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkfs.ext4");
    PURGIX_REQUIRE_TOOL("trash-put");
    TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
    MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", img});
    LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("mnt"));
    const UserEnvironment user(dir, dir.File("home/"));

    // A folder outside the volume, reachable from the trash only through a link.
    std::filesystem::create_directories(dir.File("outside"));
    WriteFile(dir.File("outside/keep.txt"), "outside the trash");
    std::filesystem::create_directories(mp + "tree/sub");
    WriteFile(mp + "tree/sub/deep.txt", "deep");
    WriteFile(mp + "single.txt", "single");
    ASSERT_EQ(::symlink(dir.File("outside").c_str(), (mp + "link").c_str()), 0);
    WriteFile(mp + "live.txt", "live");
    user.TrashPut({mp + "tree", mp + "single.txt", mp + "link"});
    const std::string trash = mp + ".Trash-" + std::to_string(::geteuid()) + "/";
    ASSERT_EQ(user.TrashJson(mp)[0]["Files"].size(), 3u);

    const auto r = user.Run({PURGIX_CLI_PATH, "--log-dir", dir.File("logs"), "files",
                             "--trash=" + mp, "--method", "simple", "--yes"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(trash + "files")) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(trash + "info")) << r.out;
    EXPECT_EQ(test::ReadFile(dir.File("outside/keep.txt")), "outside the trash");
    EXPECT_EQ(test::ReadFile(mp + "live.txt"), "live");
    EXPECT_EQ(user.TrashJson(mp)[0]["Files"].size(), 0u);
    for (const auto& log : std::filesystem::directory_iterator(dir.File("logs"))) {
        const auto check = user.Run({PURGIX_CLI_PATH, "check-log", log.path().string()});
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    }
    loop.Unmount(mp);
}

// The little-endian bytes of a "$I" index file of the fixed layout.
std::string IndexFile(std::uint64_t size, const std::u16string& name) {
    std::string out;
    const auto put = [&](std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put(1, 8);
    put(size, 8);
    put(133'000'000'000'000'000ull, 8);
    for (char16_t u : name)
        put(u, 2);
    out.resize(544, '\0');
    return out;
}

std::string Info2File(const std::string& ansiName, std::uint32_t number) {
    std::string out(20, '\0');
    out[12] = static_cast<char>(280 & 0xFF);
    out[13] = static_cast<char>(280 >> 8);
    std::string record = ansiName;
    record.resize(260, '\0');
    for (std::uint32_t v : {number, 2u})
        for (int i = 0; i < 4; ++i)
            record += static_cast<char>((v >> (8 * i)) & 0xFF);
    record.resize(280, '\0');
    return out + record;
}

TEST(RecyclerIntegration, WindowsBinsThroughTheFuseDrivers) {
    PURGIX_REQUIRE_ROOT();
    PURGIX_REQUIRE_TOOL("mkntfs");
    PURGIX_REQUIRE_TOOL("ntfs-3g");
    PURGIX_REQUIRE_TOOL("mkfs.fat");
    PURGIX_REQUIRE_TOOL("fusefat");
    struct Case {
        std::string driver;
        std::vector<std::string> mkfs;
    };
    for (const Case& c : {Case{"ntfs-3g", {"mkntfs", "-Q", "-F", "-q"}},
                          Case{"fusefat", {"mkfs.fat", "-F", "16"}}}) {
        SCOPED_TRACE(c.driver);
        TempDir dir;
        const std::string img = test::MakeImage(dir, "vol.img", 32 * kMiB);
        auto mkfs = c.mkfs;
        mkfs.push_back(img);
        MustRun(mkfs);
        LoopDevice loop(dir, img);
        const std::string mp = loop.Mount(loop.Path(), c.driver, dir.File("mnt"));
        const std::string bin = mp + "$Recycle.Bin/S-1-5-21-1/";
        std::filesystem::create_directories(bin + "$RAB12CD");
        WriteFile(bin + "$IAB12CD", IndexFile(4096, u"C:\\Users\\bob\\project"));
        WriteFile(bin + "$RAB12CD/notes.txt", "n");
        std::filesystem::create_directories(mp + "RECYCLED");
        WriteFile(mp + "RECYCLED/INFO2", Info2File("C:\\OLD\\LETTER.DOC", 1));
        WriteFile(mp + "RECYCLED/DC1.DOC", "l"); // as a system without long names wrote it

        const UserEnvironment user(dir, dir.File("home/"));
        const json doc = user.TrashJson(mp);
        ASSERT_EQ(doc.size(), 1u);
        const json& files = doc[0]["Files"];
        ASSERT_EQ(files.size(), 2u) << doc.dump(2);
        EXPECT_EQ(files[0]["BinFilename"], bin + "$RAB12CD/");
        EXPECT_EQ(files[0]["IndexFileName"], bin + "$IAB12CD");
        EXPECT_EQ(files[0]["Origfilename"], "C:\\Users\\bob\\project");
        EXPECT_EQ(files[0]["FileSize"], 4096);
        ASSERT_EQ(files[0]["Files"].size(), 1u);
        EXPECT_EQ(files[0]["Files"][0]["Origfilename"], "C:\\Users\\bob\\project\\notes.txt");
        EXPECT_EQ(files[1]["BinFilename"], mp + "RECYCLED/DC1.DOC");
        EXPECT_EQ(files[1]["Origfilename"], "C:\\OLD\\LETTER.DOC");
        loop.Unmount(mp);
    }
}

} // namespace
} // namespace purgix
