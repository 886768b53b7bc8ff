// purgix-cli end to end: the built program run as a user would run it.
#include "support/process.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

namespace purgix {
namespace {

using test::RunProcess;

test::ProcessResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), PURGIX_CLI_PATH);
    return RunProcess(args);
}

TEST(CliMethods, JsonListsTheFiveBuiltIns) {
    const auto r = Cli({"methods", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_TRUE(j.is_array());
    ASSERT_EQ(j.size(), 5u);
    struct Row {
        std::string guid, name;
        int passes;
    };
    const Row rows[] = {
        {"{BA105C21-0FDC-41CC-9444-42F2EC96200}", "Simple Random (1 Pass)", 1},
        {"{BF885CA0-4B5B-4016-9165-2421B7013045}", "DoD 5220.22-M E (3 Passes)", 3},
        {"{E2DECE20-5101-49DB-BD6E-7AB9BBCB2E35}", "Bruce Schneier (7 Passes)", 7},
        {"{3BF4F688-FFF9-45B5-9226-504EF3BC92FD}", "VSITR (7 Passes)", 7},
        {"{EAFA203F-C30D-4439-AABB-D83384855C66}", "Gutman (35 Passes)", 35},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(j[i]["GUID"], rows[i].guid);
        EXPECT_EQ(j[i]["Name"], rows[i].name);
        EXPECT_EQ(j[i]["PassCount"], rows[i].passes);
        EXPECT_EQ(j[i]["Readonly"], true);
    }
}

TEST(CliMethods, OneMethodByShortNameGuidOrName) {
    for (const std::string key : {"dod", "{bf885ca0-4b5b-4016-9165-2421b7013045}",
                                  "DoD 5220.22-M E (3 Passes)", "dod 5220.22-m e (3 passes)"}) {
        const auto r = Cli({"--json", "method", key});
        ASSERT_EQ(r.exitCode, 0) << key << ": " << r.err;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["GUID"], "{BF885CA0-4B5B-4016-9165-2421B7013045}") << key;
        ASSERT_EQ(j["Passes"].size(), 3u);
        EXPECT_EQ(j["Passes"][0]["PatternType"], "pt_fixed");
        EXPECT_EQ(j["Passes"][0]["Pattern"], "00");
        EXPECT_EQ(j["Passes"][2]["PatternType"], "pt_random");
        EXPECT_EQ(j["Passes"][2]["RandomLen"], 65536);
    }
    const auto text = Cli({"method", "gutmann"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Gutman (35 Passes)"), std::string::npos);
    EXPECT_NE(text.out.find(" 35  random   65536 bytes"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  7  pattern  924924"), std::string::npos) << text.out;
}

TEST(CliMethods, DataDirAndErrors) {
    test::TempDir dir;
    test::WriteFile(dir.File("algorithm.xml"),
                    "<wiperalgorithms><algorithm name=\"Own\" guid=\"{1}\">"
                    "<pass type=\"pattern\">AB</pass><pass type=\"invert\"/></algorithm>"
                    "</wiperalgorithms>");
    const auto own = Cli({"--data-dir", dir.Path(), "methods"});
    ASSERT_EQ(own.exitCode, 0) << own.err;
    EXPECT_NE(own.out.find("{1}"), std::string::npos);
    EXPECT_NE(own.out.find("Own"), std::string::npos);
    EXPECT_EQ(own.out.find("Gutman"), std::string::npos);
    const auto pass = Cli({"--data-dir=" + dir.Path(), "method", "own"});
    EXPECT_NE(pass.out.find("  2  invert   complement of pass 1"), std::string::npos) << pass.out;

    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string inErr;
    };
    const std::vector<Case> cases = {
        {{}, 64, "no command"},
        {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
        {{"method", "no such thing"}, 64, "no such method: no such thing"},
        {{"method"}, 64, "method takes one"},
        {{"methods", "--bogus"}, 64, "unknown option '--bogus'"},
        {{"--data-dir"}, 64, "--data-dir needs a value"},
        {{"--data-dir", dir.File("nowhere"), "methods"}, 1, "method file not found"},
    };
    for (const Case& c : cases) {
        const auto r = Cli(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
    }

    const auto help = Cli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("method GUID|NAME"), std::string::npos);
}

TEST(CliFreeSpace, OnlyMountPointsOfMountedVolumes) {
    // A folder that is no mount point (as an unmounted mount point is) is refused before
    // anything is asked or created.
    test::TempDir dir;
    const std::map<std::string, std::string> env = {{"HOME", dir.Path()},
                                                    {"XDG_CONFIG_HOME", dir.File("config")},
                                                    {"XDG_STATE_HOME", dir.File("state")},
                                                    {"TMPDIR", dir.Path()},
                                                    {"PURGIX_REGISTRY_DIR", dir.File("registry")}};
    struct Case {
        std::vector<std::string> args;
        std::string inErr;
    };
    for (const Case& c : std::vector<Case>{
             {{"freespace", "--yes", dir.Path()},
              "is not the mount point of a mounted local volume"},
             {{"freespace", "--yes", dir.File("missing")}, "is not the mount point"},
             {{"freespace", "--yes"}, "freespace needs at least one mount point"},
             {{"freespace", "--no-tips", dir.Path()}, "unknown option '--no-tips'"}}) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), PURGIX_CLI_PATH);
        const auto r = RunProcess(args, env);
        EXPECT_EQ(r.exitCode, 64) << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("~WIPE0")));
}

} // namespace
} // namespace purgix
