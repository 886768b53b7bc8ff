// purgix-cli trash: what it refuses before reading anything.
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace purgix {
namespace {

TEST(CliTrash, RefusesWhatIsNotOneMountPoint) {
    test::TempDir dir;
    // The user's folders point into the test's folder, so that no real trash could be read.
    const std::map<std::string, std::string> env = {{"HOME", dir.File("home")},
                                                    {"XDG_DATA_HOME", dir.File("home/data")},
                                                    {"XDG_CONFIG_HOME", dir.File("cfg")},
                                                    {"XDG_STATE_HOME", dir.File("state")},
                                                    {"TMPDIR", dir.Path()},
                                                    {"PURGIX_REGISTRY_DIR", dir.File("reg")}};
    struct Case {
        std::vector<std::string> args;
        std::string inErr;
    };
    const Case cases[] = {
        {{"trash", dir.Path()}, "'" + dir.Path() + "' is not the mount point of a mounted volume"},
        {{"trash", dir.File("missing")}, "is not the mount point of a mounted volume"},
        {{"trash", "/proc"}, "'/proc' is not the mount point of a mounted volume"},
        {{"trash", "/", "/"}, "trash takes at most one mount point"},
        {{"trash", "--all"}, "unknown option '--all'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), PURGIX_CLI_PATH);
        const auto r = test::RunProcess(argv, env, {"SUDO_USER", "PKEXEC_UID"});
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(r.exitCode, 64);
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
} // namespace purgix
