// purgix-cli check-log end to end, over logs written by the log module.
#include "support/process.h"
#include "support/temp_dir.h"
#include "wipe/wipelog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace purgix {
namespace {

test::ProcessResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), PURGIX_CLI_PATH);
    return test::RunProcess(args);
}

class CliCheckLog : public testing::Test {
protected:
    test::TempDir dir_;

    std::string WriteLog(const std::string& name) {
        const std::string path = dir_.File(name);
        TWipeLog log;
        log.CreateLogFile(path);
        log.WriteHeader(wt_file, {});
        log.WriteHeaderDetails("alice", "Simple Random (1 Pass)");
        log.LogOK("/home/alice/a.txt (10 Byte)");
        EXPECT_TRUE(log.Close());
        return path;
    }

    std::string WriteTampered(const std::string& name) {
        const std::string path = WriteLog(name);
        std::string content = test::ReadFile(path);
        content.replace(content.find("a.txt"), 5, "b.txt");
        test::WriteFile(path, content);
        return path;
    }
};

TEST_F(CliCheckLog, EveryFileGetsItsVerdictInOrder) {
    const std::string good = WriteLog("good.html");
    const std::string other = WriteLog("\xC3\xA4 other.html");
    const std::string bad = WriteTampered("bad.html");
    const std::string missing = dir_.File("missing.html");

    const auto allGood = Cli({"check-log", good, other});
    EXPECT_EQ(allGood.exitCode, 0) << allGood.err;
    EXPECT_EQ(allGood.out, "valid    " + good + "\nvalid    " + other + "\n");

    const auto mixed = Cli({"check-log", good, bad, missing, other});
    EXPECT_EQ(mixed.exitCode, 1) << mixed.err;
    EXPECT_EQ(mixed.out, "valid    " + good + "\ninvalid  " + bad + "\ninvalid  " + missing +
                             "\nvalid    " + other + "\n");

    const auto json = Cli({"check-log", "--json", good, bad});
    EXPECT_EQ(json.exitCode, 1) << json.err;
    const nlohmann::json expected = {{{"File", good}, {"Valid", true}},
                                     {{"File", bad}, {"Valid", false}}};
    EXPECT_EQ(nlohmann::json::parse(json.out), expected);
    const auto jsonGood = Cli({"--json", "check-log", other});
    EXPECT_EQ(jsonGood.exitCode, 0) << jsonGood.err;
    EXPECT_EQ(nlohmann::json::parse(jsonGood.out)[0]["File"], other);
}

TEST_F(CliCheckLog, UsageAndOddFileNames) {
    // A file whose name starts with "-" comes after "--"; a name that is not UTF-8 still gets
    // a JSON verdict.
    const std::string dash = WriteLog("-dash.html");
    const std::string latin1 = WriteLog("caf\xE9.html");
    const auto r = Cli({"--json", "check-log", "--", dash, latin1});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["File"], dash);
    EXPECT_EQ(j[1]["Valid"], true);

    struct Case {
        std::vector<std::string> args;
        std::string inErr;
    };
    const Case cases[] = {
        {{"check-log"}, "check-log needs at least one log file"},
        {{"check-log", "--"}, "check-log needs at least one log file"},
        {{"check-log", "--bogus", dash}, "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        const auto u = Cli(c.args);
        EXPECT_EQ(u.exitCode, 64) << c.inErr;
        EXPECT_NE(u.err.find(c.inErr), std::string::npos) << u.err;
        EXPECT_EQ(u.out, "");
    }
    EXPECT_NE(Cli({"--help"}).out.find("check-log FILE..."), std::string::npos);
}

} // namespace
} // namespace purgix
