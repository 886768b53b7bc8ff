// purgix-cli files in a temporary folder: targets, confirmation, logs and their signatures.
#include "support/temp_dir.h"
#include "support/user_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace purgix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Logs(const std::string& folder) {
    std::vector<std::string> logs;
    if (std::filesystem::is_directory(folder))
        for (const auto& e : std::filesystem::directory_iterator(folder))
            logs.push_back(e.path().string());
    std::sort(logs.begin(), logs.end());
    return logs;
}

class CliFiles : public ::testing::Test {
protected:
    test::ProcessResult Cli(std::vector<std::string> args) const {
        args.insert(args.begin(), {PURGIX_CLI_PATH, "--log-dir", dir_.File("logs")});
        return user_.Run(args);
    }

    TempDir dir_;
    test::UserEnvironment user_{dir_, dir_.File("home/")};
};

TEST_F(CliFiles, WipesFoldersWithTheirContentsAndWritesASignedLog) {
    std::filesystem::create_directories(dir_.File("data/sub"));
    WriteFile(dir_.File("data/a.txt"), std::string(5000, 'a'));
    WriteFile(dir_.File("data/sub/b.txt"), "b");
    WriteFile(dir_.File("other.txt"), "other");
    WriteFile(dir_.File("keep.txt"), "keep");

    const auto r = Cli({"files", "--method", "dod", "--yes", dir_.File("data"),
                        dir_.File("other.txt"), dir_.File("data/sub/b.txt")});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(Exists(dir_.File("data")));
    EXPECT_FALSE(Exists(dir_.File("other.txt")));
    EXPECT_EQ(ReadFile(dir_.File("keep.txt")), "keep");
    EXPECT_NE(r.out.find("5 files on drive "), std::string::npos) << r.out;

    const auto logs = Logs(dir_.File("logs"));
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(std::filesystem::path(logs[0]).filename().string().rfind("Files-", 0), 0u);
    const std::string log = ReadFile(logs[0]);
    // Contents before their folder, every path once.
    const auto b = log.find(dir_.File("data/sub/b.txt") + " (");
    const auto sub = log.find(dir_.File("data/sub/") + " (0 Byte)");
    const auto data = log.find(dir_.File("data/") + " (0 Byte)");
    ASSERT_NE(b, std::string::npos) << log;
    EXPECT_LT(b, sub);
    EXPECT_LT(sub, data);
    EXPECT_EQ(log.find(dir_.File("data/sub/b.txt") + " (", b + 1), std::string::npos);
    const auto check = Cli({"check-log", logs[0]});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

    // A second run of the day gets a log name of its own.
    WriteFile(dir_.File("again.txt"), "again");
    ASSERT_EQ(Cli({"files", "--yes", "--verify", dir_.File("again.txt")}).exitCode, 0);
    ASSERT_EQ(Logs(dir_.File("logs")).size(), 2u);
    EXPECT_NE(Logs(dir_.File("logs"))[0].find(").htm"), std::string::npos); // "...(1).htm"
    EXPECT_NE(ReadFile(Logs(dir_.File("logs"))[0])
                  .find(dir_.File("again.txt") + " (12288 Byte, verified)"),
              std::string::npos);
}

TEST_F(CliFiles, RefusalsWipeNothing) {
    WriteFile(dir_.File("victim"), "still here");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {{"files", dir_.File("victim")}, 64}, // no terminal to ask on
        {{"files", "--yes", dir_.File("missing"), dir_.File("victim")}, 64}, // a missing target
        {{"files", "--yes", "--method", "nonesuch", dir_.File("victim")}, 64},
        {{"files", "--yes"}, 64},
        {{"files", "--yes", "--bogus", dir_.File("victim")}, 64},
    };
    for (const Case& c : cases) {
        const auto r = Cli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.back() << ": " << r.out << r.err;
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(ReadFile(dir_.File("victim")), "still here");
    }
    EXPECT_TRUE(Logs(dir_.File("logs")).empty());
}

TEST_F(CliFiles, RelativePathsNoLogAndJson) {
    WriteFile(dir_.File("rel.txt"), "relative");
    const auto r = user_.Run({"/bin/sh", "-c",
                              "cd '" + dir_.Path() +
                                  "' && exec '" PURGIX_CLI_PATH
                                  "' --json --log-dir logs files --no-log --yes rel.txt"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(Exists(dir_.File("rel.txt")));
    EXPECT_TRUE(Logs(dir_.File("logs")).empty());
    std::vector<nlohmann::json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["type"], "job");
    EXPECT_EQ(lines[0]["state"], "finished");
    EXPECT_EQ(lines[0]["errors"], false);
    EXPECT_EQ(lines[1]["type"], "summary");
}

} // namespace
} // namespace purgix
