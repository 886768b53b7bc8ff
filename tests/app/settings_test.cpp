// The settings store over the registry files.
#include "app/GlobalSettings.h"

#include "platform/debug.h"
#include "platform/product.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace purgix {
namespace {

using platform::RegValue;
using platform::TRegistry;

struct SettingsTest : ::testing::Test {
    test::TempDir dir;
    void SetUp() override { ::setenv("PURGIX_REGISTRY_DIR", dir.Path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PURGIX_REGISTRY_DIR"); }

    static std::unique_ptr<TGlobalConfig> Load() {
        auto c = std::make_unique<TGlobalConfig>();
        c->SetRegPath(std::string(ProductRegistryKey));
        c->LoadFromRegistry();
        return c;
    }
    static std::optional<RegValue> Stored(const std::string& name) {
        TRegistry reg;
        if (!reg.OpenKeyReadOnly(std::string(ProductRegistryKey)))
            return std::nullopt;
        return reg.ReadValue(name);
    }
    static void Store(const std::string& name, const RegValue& v) {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(std::string(ProductRegistryKey), true));
        reg.WriteValue(name, v);
    }
};

TEST_F(SettingsTest, FirstRunHasDefaultsAndCreatesBothValuesAtExit) {
    auto c = Load();
    EXPECT_EQ(c->LastMethodGUID(), "{BF885CA0-4B5B-4016-9165-2421B7013045}");
    EXPECT_EQ(c->LogFileDir(), ProgramFolder() + "Logs/");
    EXPECT_FALSE(Stored("LastMethodGUID").has_value());
    c.reset();
    EXPECT_EQ(Stored("LastMethodGUID"), RegValue::String("{BF885CA0-4B5B-4016-9165-2421B7013045}"));
    EXPECT_EQ(Stored("LogFileDir"), RegValue::String(ProgramFolder() + "Logs/"));

    // Changes in memory reach the file at exit; without ForceSave they do not.
    auto d = Load();
    d->SetLastMethodGUID("{changed}");
    d.reset();
    EXPECT_EQ(Load()->LastMethodGUID(), "{changed}");
    auto e = Load();
    e->SetForceSave(false);
    e->SetLastMethodGUID("{not saved}");
    e.reset();
    EXPECT_EQ(Stored("LastMethodGUID"), RegValue::String("{changed}"));
}

TEST_F(SettingsTest, ValueTypesOnLoad) {
    Store("logfiledir", RegValue::Dword(5)); // wrong type, other spelling
    Store("LastMethodGUID", RegValue::String("%HOME%\\{x}", platform::REG_EXPAND_SZ));
    auto c = Load();
    EXPECT_EQ(c->LogFileDir(), ProgramFolder() + "Logs/");
    EXPECT_EQ(c->LastMethodGUID(), "%HOME%\\{x}") << "read exactly as stored";
    c.reset();
    EXPECT_EQ(Stored("LogFileDir"), RegValue::String(ProgramFolder() + "Logs/"));
    EXPECT_EQ(Stored("LastMethodGUID"), RegValue::String("%HOME%\\{x}"));

    Store("LogFileDir", RegValue::String(""));
    EXPECT_EQ(Load()->LogFileDir(), "");
}

// A settings class of another shape: property order and conversion errors.
struct OtherSettings : TGlobalSettings {
    std::string zeta = "z", alpha = "a";
    std::int64_t count = 7;
    int mode = 1;
    OtherSettings() {
        RegisterString("zeta", zeta);
        RegisterString("Alpha", alpha);
        RegisterInteger("Count", count);
        RegisterEnumeration("Mode", mode, {"md_off", "md_on"});
        RegisterProperty(
            {"Callback", tkMethod, [] { return std::string("never"); }, [](const std::string&) {}});
        SetRegPath("\\Software\\Other");
    }
    ~OtherSettings() override { SaveToRegistry(); }
};

TEST_F(SettingsTest, PropertiesInNameOrderAndConversionErrorsGoToDebug) {
    {
        OtherSettings s;
        std::vector<std::string> names;
        for (const auto& p : s.Properties())
            names.push_back(p.name);
        EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Callback", "Count", "Mode", "zeta"}));
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Other"));
    EXPECT_EQ(reg.ReadString("Mode"), "md_on");
    EXPECT_EQ(reg.ReadString("Count"), "7");
    EXPECT_FALSE(reg.ValueExists("Callback"));

    {
        TRegistry w;
        ASSERT_TRUE(w.OpenKey("\\Software\\Other", true));
        w.WriteString("Mode", "MD_OFF_BAD");
        w.WriteString("Count", "lots");
        w.WriteString("Alpha", "A2");
    }
    std::vector<std::string> debug;
    platform::ScopedDebugCapture capture([&](std::string_view t) { debug.emplace_back(t); });
    OtherSettings s;
    s.LoadFromRegistry();
    EXPECT_EQ(s.mode, 1);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.alpha, "A2");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], "EX COULD NOT LOAD VALUE FROM REGISTRY: Not a valid value for this type");
}

} // namespace
} // namespace purgix
