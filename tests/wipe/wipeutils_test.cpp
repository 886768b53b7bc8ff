// Path and file utilities over a real folder tree.
#include "wipe/wipeutils.h"

#include "platform/mounts.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace purgix {
namespace {

using test::TempDir;
using test::WriteFile;

std::size_t IndexOf(const std::vector<std::string>& list, const std::string& item) {
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), item) - list.begin());
}

TEST(WipeUtils, MakeValidFileName) {
    const std::pair<std::string, std::string> cases[] = {
        {"a/b\\c", "a_b_c"},
        {"C:\\dir:x?y*z", "C_dirxyz"},
        {"\"<q>|\"", "q"},
        {"plain name.txt", "plain name.txt"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(MakeValidFileName(in), out) << in;
}

TEST(WipeUtils, GetUniqueFileName) {
    TempDir dir;
    const std::string a = dir.File("a.txt");
    EXPECT_EQ(GetUniqueFileName(a), a);
    WriteFile(a, "");
    WriteFile(dir.File("a(1).txt"), "");
    EXPECT_EQ(GetUniqueFileName(a), dir.File("a(2).txt"));

    WriteFile(dir.File("b(3).log"), "");
    EXPECT_EQ(GetUniqueFileName(dir.File("b(3).log")), dir.File("b(3)(1).log"));

    WriteFile(dir.File("noext"), "");
    EXPECT_EQ(GetUniqueFileName(dir.File("noext")), dir.File("noext(1)"));

    // A folder does not block a name; a symbolic link does (creating there would fail).
    ASSERT_EQ(::mkdir(dir.File("c.txt").c_str(), 0755), 0);
    EXPECT_EQ(GetUniqueFileName(dir.File("c.txt")), dir.File("c.txt"));
    ASSERT_EQ(::symlink("/nonexistent", dir.File("d.txt").c_str()), 0);
    EXPECT_EQ(GetUniqueFileName(dir.File("d.txt")), dir.File("d(1).txt"));
}

// root/A/B, root/C, files at every level, and links that must never be walked.
struct Tree {
    TempDir dir;
    TempDir outside;
    Tree() {
        std::filesystem::create_directories(dir.File("A/B"));
        std::filesystem::create_directories(dir.File("C"));
        WriteFile(dir.File("top.txt"), "1");
        WriteFile(dir.File("A/a.txt"), "2");
        WriteFile(dir.File("A/B/b.txt"), "3");
        WriteFile(dir.File("C/c.dat"), "4");
        WriteFile(dir.File("C/.hidden"), "5");
        WriteFile(outside.File("secret.txt"), "6");
        ::symlink(outside.Path().c_str(), dir.File("A/link-to-outside").c_str());
        ::symlink(dir.File("top.txt").c_str(), dir.File("C/link-to-file").c_str());
        ::mkfifo(dir.File("C/fifo").c_str(), 0600);
    }
};

TEST(WipeUtils, GetSubFoldersParentsBeforeChildrenNeverLinks) {
    Tree t;
    std::vector<std::string> list;
    GetSubFolders(t.dir.Path(), list, true);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_LT(IndexOf(list, t.dir.File("A/")), IndexOf(list, t.dir.File("A/B/")));
    EXPECT_NE(IndexOf(list, t.dir.File("C/")), list.size());
    EXPECT_EQ(IndexOf(list, t.dir.Path()), list.size()) << "never the folder itself";

    list.clear();
    GetSubFolders(t.dir.Path(), list, false);
    EXPECT_EQ(list.size(), 2u);
}

TEST(WipeUtils, FindFilesDeepestFirstAndNothingOutside) {
    Tree t;
    std::vector<std::string> list;
    FindFiles(list, "*.*", t.dir.Path(), true, faAnyFile);
    const std::vector<std::string> expectedSet = {t.dir.File("top.txt"), t.dir.File("A/a.txt"),
                                                  t.dir.File("A/B/b.txt"), t.dir.File("C/c.dat"),
                                                  t.dir.File("C/.hidden")};
    ASSERT_EQ(list.size(), expectedSet.size());
    for (const auto& f : expectedSet)
        EXPECT_NE(IndexOf(list, f), list.size()) << f;
    EXPECT_LT(IndexOf(list, t.dir.File("A/B/b.txt")), IndexOf(list, t.dir.File("A/a.txt")));
    EXPECT_EQ(list.back(), t.dir.File("top.txt")) << "the folder's own files come last";
    for (const auto& f : list)
        EXPECT_EQ(f.find(t.outside.Path()), std::string::npos);

    // Links and special files only as names, when asked for; folders with faDirectory.
    list.clear();
    FindFiles(list, "*", t.dir.File("C"), false, faSpecialNames);
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list, (std::vector<std::string>{t.dir.File("C/fifo"), t.dir.File("C/link-to-file")}));
    list.clear();
    FindFiles(list, "*", t.dir.Path(), false, faAnyFileOrFolder);
    EXPECT_EQ(list.size(), 3u); // A, C, top.txt

    // Masks: wildcards, letters without regard to case.
    list.clear();
    FindFiles(list, "*.TXT", t.dir.Path(), true, faAnyFile);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_TRUE(MatchesMask("$IABC123.txt", "$i*"));
    EXPECT_TRUE(MatchesMask("noext", "*.*"));
    EXPECT_FALSE(MatchesMask("abc", "a?"));
}

TEST(WipeUtils, ExistenceTestsNeverTakeALinkForAFolder) {
    Tree t;
    std::string out;
    EXPECT_FALSE(FileExistsEx(t.dir.File("A"), out, true, false, true));
    EXPECT_EQ(out, t.dir.File("A/"));
    EXPECT_TRUE(DirectoryExistsEx(t.dir.File("A"), out, false, false));
    EXPECT_FALSE(DirectoryExistsEx(t.dir.File("A/link-to-outside"), out, false, false));
    EXPECT_TRUE(FileExistsEx(t.dir.File("A/link-to-outside"), out, false, false, false));
    EXPECT_TRUE(FileExistsEx(t.dir.File("top.txt"), out, false, false, false));
    EXPECT_FALSE(FileExistsEx(t.dir.File("C/fifo"), out, false, false, false));
    EXPECT_FALSE(FileExistsEx("", out, false, false, false));
    EXPECT_FALSE(FileExistsEx("purgix-no-such-program", out, false, true, false));
    EXPECT_TRUE(FileExistsEx("sh", out, false, true, false));
    EXPECT_EQ(out.back(), 'h');
    EXPECT_EQ(out.front(), '/');
}

TEST(WipeUtils, ExpandEnvironmentAndTempDir) {
    ::setenv("PURGIX_T_ONE", "/x/y", 1);
    ::unsetenv("PURGIX_T_NONE");
    const std::pair<std::string, std::string> cases[] = {
        {"%PURGIX_T_ONE%/z", "/x/y/z"},
        {"a%PURGIX_T_NONE%b", "a%PURGIX_T_NONE%b"},
        {"%PURGIX_T_NONE%%PURGIX_T_ONE%", "%PURGIX_T_NONE%/x/y"},
        {"100%", "100%"},
        {"%%", "%%"},
    };
    for (const auto& [in, expected] : cases) {
        std::string s = in;
        EXPECT_TRUE(ExpandEnvironment(s));
        EXPECT_EQ(s, expected) << in;
    }
    const std::string old = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", "/var/tmp/x", 1);
    EXPECT_EQ(GetTempDir(), "/var/tmp/x/");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(GetTempDir(), "/tmp/");
    if (!old.empty())
        ::setenv("TMPDIR", old.c_str(), 1);
    EXPECT_FALSE(IsWow64());
    EXPECT_EQ(MapToSysNative("/usr/bin/x"), "/usr/bin/x");
}

TEST(MountPoint, LongestMountPointOfTheCanonicalPath) {
    TempDir dir;
    const std::string base = std::filesystem::canonical(dir.Path()).string() + "/";
    auto at = [&](const std::string& name) { return base + name; };
    std::filesystem::create_directories(at("vol/sub"));
    std::filesystem::create_directories(at("other"));
    ::symlink(at("vol/sub").c_str(), at("other/into-vol").c_str());
    const std::vector<platform::MountEntry> table = {
        {"/", "/dev/vda", "ext4", "", 0},
        {at("vol/"), "/dev/loop7", "ext4", "", 0},
        {at("vol my/"), "/dev/loop8", "ext4", "", 0},
    };
    EXPECT_EQ(platform::MountPointOfPath(at("vol/sub/file"), table), at("vol/"));
    EXPECT_EQ(platform::MountPointOfPath(at("vol"), table), at("vol/"));
    EXPECT_EQ(platform::MountPointOfPath(at("volume/x"), table), "/");
    // A link inside the path leads to where the data is; a final link is the link itself.
    EXPECT_EQ(platform::MountPointOfPath(at("other/into-vol/new/file"), table), at("vol/"));
    EXPECT_EQ(platform::MountPointOfPath(at("other/into-vol"), table), "/");
    EXPECT_EQ(platform::MountPointOfPath("relative/path", table), "");

    // The live table: the temporary folder lies on some mounted file system.
    const std::string live = ExtractDrive(dir.Path());
    ASSERT_FALSE(live.empty());
    EXPECT_EQ(live.back(), '/');
    EXPECT_EQ(dir.Path().rfind(live, 0), 0u);
}

} // namespace
} // namespace purgix
