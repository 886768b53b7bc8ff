// The registry files: types, names, atomic saves, broken files, links, two processes.
#include "platform/registry.h"

#include "platform/debug.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace purgix::platform {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Points the registry into a fresh folder for one test.
struct RegistryDir {
    TempDir dir;
    RegistryDir() { ::setenv("PURGIX_REGISTRY_DIR", dir.Path().c_str(), 1); }
    ~RegistryDir() { ::unsetenv("PURGIX_REGISTRY_DIR"); }
    std::string UserFile() const { return dir.File("user.reg"); }
};

TEST(Registry, EveryTypeRoundTripsThroughTheFile) {
    RegistryDir r;
    const std::vector<std::pair<std::string, RegValue>> values = {
        {"Plain", RegValue::String("C:\\path with \"quotes\" and ünïcödé")},
        {"Lines", RegValue::String("two\nlines\r\n")},
        {"Empty", RegValue::String("")},
        {"Expand", RegValue::String("%HOME%/x", REG_EXPAND_SZ)},
        {"Dword", RegValue::Dword(0xDEADBEEF)},
        {"Qword", RegValue::Qword(0x0123456789ABCDEFULL)},
        {"Binary", RegValue::Binary({0x00, 0xFF, 0x10})},
        {"EmptyBinary", RegValue::Binary({})},
        {"Multi", RegValue::MultiString({"one", "", "three"})},
        {"", RegValue::String("default value")},
    };
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Software\\Kestrelon\\Purgix\\", true));
        for (const auto& [name, value] : values)
            reg.WriteValue(name, value);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\software\\KESTRELON\\purgix"));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Kestrelon\\Purgix");
    for (const auto& [name, value] : values) {
        const auto got = reg.ReadValue(name);
        ASSERT_TRUE(got.has_value()) << name;
        EXPECT_EQ(*got, value) << name;
    }
    EXPECT_EQ(reg.GetDataType("dWoRd"), REG_DWORD);
    EXPECT_EQ(reg.GetDataType("missing"), REG_NONE);
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryError) << "read-only key";

    const std::string text = ReadFile(r.UserFile());
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Kestrelon\\Purgix]"), std::string::npos);
    EXPECT_NE(text.find("\"Dword\"=dword:deadbeef"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Plain\"=\"C:\\\\path with \\\"quotes\\\""), std::string::npos) << text;
}

TEST(Registry, NamesMatchWithoutCaseAndKeepTheirSpelling) {
    RegistryDir r;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Software\\Mixed", true));
    reg.WriteString("LogFileDir", "/a/");
    reg.WriteString("logfiledir", "/b/");
    EXPECT_EQ(reg.ReadString("LOGFILEDIR"), "/b/");
    const std::string text = ReadFile(r.UserFile());
    EXPECT_NE(text.find("\"LogFileDir\"=\"/b/\""), std::string::npos) << text;
    EXPECT_EQ(text.find("logfiledir"), std::string::npos);

    EXPECT_TRUE(reg.DeleteValue("LOGFILEDIR"));
    EXPECT_FALSE(reg.ValueExists("LogFileDir"));
    reg.CloseKey();
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\mixed"));
    EXPECT_TRUE(reg.DeleteKey("\\Software"));
    EXPECT_FALSE(reg.KeyExists("\\Software\\Mixed"));
    EXPECT_FALSE(reg.OpenKeyReadOnly("\\Software\\Mixed"));
    EXPECT_FALSE(reg.OpenKey("\\Software\\Mixed", false));

    // The machine root is a file of its own.
    TRegistry machine(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(machine.OpenKey("\\Software\\Kestrelon", true));
    machine.WriteInteger("Installed", 1);
    EXPECT_NE(ReadFile(r.dir.File("system.reg")).find("[HKEY_LOCAL_MACHINE\\Software\\Kestrelon]"),
              std::string::npos);
}

TEST(Registry, BrokenFileIsKeptAsideAndTheProgramGoesOn) {
    const std::string broken[] = {
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"Torn\"=\"{BF88", // cut mid-write
        "not a registry file at all",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"X\"=\"y\"\n", // wrong root
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"X\"=dword:12\n",
    };
    for (const std::string& text : broken) {
        RegistryDir r;
        WriteFile(r.UserFile(), text);
        std::vector<std::string> debug;
        ScopedDebugCapture capture([&](std::string_view t) { debug.emplace_back(t); });
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKeyReadOnly("\\Software"));
        ASSERT_TRUE(reg.OpenKey("\\Software", true));
        reg.WriteString("Fresh", "start");
        EXPECT_EQ(reg.ReadString("Fresh"), "start");
        ASSERT_FALSE(debug.empty());
        EXPECT_NE(debug[0].find("cannot be read"), std::string::npos);
        int aside = 0;
        for (const auto& e : std::filesystem::directory_iterator(r.dir.Path()))
            if (e.path().filename().string().rfind("user.reg.broken-", 0) == 0) {
                ++aside;
                EXPECT_EQ(ReadFile(e.path().string()), text);
            }
        EXPECT_EQ(aside, 1) << text;
    }
}

TEST(Registry, TwoProcessesKeepEachOthersValues) {
    RegistryDir r;
    // One after the other, and then both at once with many writes each.
    auto child = [](const std::string& prefix, int count) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            TRegistry reg;
            if (!reg.OpenKey("\\Software\\Shared", true))
                ::_exit(2);
            for (int i = 0; i < count; ++i)
                reg.WriteString(prefix + std::to_string(i), prefix);
            ::_exit(0);
        }
        return pid;
    };
    auto wait = [](pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(wait(child("first", 1)), 0);
    EXPECT_EQ(wait(child("second", 1)), 0);
    const pid_t a = child("a", 40);
    const pid_t b = child("b", 40);
    EXPECT_EQ(wait(a), 0);
    EXPECT_EQ(wait(b), 0);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Shared"));
    EXPECT_EQ(reg.ReadString("first0"), "first");
    EXPECT_EQ(reg.ReadString("second0"), "second");
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(reg.ReadString("a" + std::to_string(i)), "a") << i;
        EXPECT_EQ(reg.ReadString("b" + std::to_string(i)), "b") << i;
    }
}

TEST(Registry, PlantedLinksAreNeverFollowed) {
    TempDir home;
    TempDir elsewhere;
    const std::string target = elsewhere.File("system-file");
    WriteFile(target, "precious");
    ::unsetenv("PURGIX_REGISTRY_DIR");
    ::unsetenv("SUDO_USER");
    ::unsetenv("PKEXEC_UID");
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.Path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");

    // A link where the file would be created, and a linked folder on the way to another one.
    std::filesystem::create_directories(home.File(".config/kestrelon/purgix"));
    ASSERT_EQ(::symlink(target.c_str(), home.File(".config/kestrelon/purgix/user.reg").c_str()), 0);
    EXPECT_EQ(RegistryFilePath(HKEY_CURRENT_USER), home.File(".config/kestrelon/purgix/user.reg"));
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Software\\Kestrelon\\Purgix", true));
        reg.WriteString("LastMethodGUID", "{X}");
        EXPECT_EQ(reg.ReadString("LastMethodGUID"), "{X}");
    }
    EXPECT_EQ(ReadFile(target), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat(home.File(".config/kestrelon/purgix/user.reg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself was replaced";

    TempDir home2;
    ::setenv("HOME", home2.Path().c_str(), 1);
    std::filesystem::create_directories(home2.File(".config"));
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), home2.File(".config/kestrelon").c_str()), 0);
    {
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKey("\\Software", true));
    }
    EXPECT_FALSE(std::filesystem::exists(elsewhere.File("purgix")));

    if (!oldHome.empty())
        ::setenv("HOME", oldHome.c_str(), 1);
}

} // namespace
} // namespace purgix::platform
