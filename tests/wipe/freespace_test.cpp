// Free-space wiping without root: the fill sizes over scripted free-space readings, the
// temporary folder, cluster tips of files in a temporary folder, and the refusals that come
// before anything is created.
#include "wipe/wipelibfuncs.h"
#include "wipe/wipeutils.h"

#include "support/fault_stream.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace purgix {
namespace {

using test::TempDir;

// Runs a fill plan over scripted attempts: each attempt's extension fails when the script says
// so, and a failed one reads the next free-space value. Returns the sizes tried.
struct Attempt {
    bool fails;
    std::int64_t freeRead; // what the volume answers when asked after the failure
};

struct FillRun {
    std::vector<std::int64_t> sizes;
    std::vector<bool> small;
    int reads = 0;
    int waits = 0;
};

FillRun RunPlan(std::int64_t cluster, std::int64_t freeBytes,
                const std::function<Attempt(std::size_t)>& script, std::size_t limit = 100) {
    TFillPlan plan(cluster, freeBytes);
    FillRun run;
    for (std::size_t i = 0; i < limit && !plan.Finished(); ++i) {
        run.sizes.push_back(plan.Size());
        run.small.push_back(plan.Small());
        const Attempt a = script(i);
        if (!a.fails)
            continue;
        if (plan.ExtensionFailed([&] {
                ++run.reads;
                return a.freeRead;
            }))
            ++run.waits;
    }
    EXPECT_TRUE(plan.Finished()) << "the fill must end by itself";
    return run;
}

TEST(FillPlan, FreeSpaceBetweenOneAndTwoFillSizesGivesTheRemainderExactly) {
    // 80,000,000 free: the first file takes 51,200,000, the second fails and the volume says
    // 28,800,000; the third is exactly that large; the fourth of that size fails and the volume
    // is full (0): the small sizes follow until they reach 0.
    const std::vector<Attempt> script = {{false, 0}, {true, 28800000}, {false, 0}, {true, 0}};
    const FillRun run = RunPlan(4096, 80000000, [&](std::size_t i) {
        return i < script.size() ? script[i] : Attempt{true, 0};
    });
    ASSERT_GE(run.sizes.size(), 4u);
    EXPECT_EQ(std::vector<std::int64_t>(run.sizes.begin(), run.sizes.begin() + 4),
              (std::vector<std::int64_t>{51200000, 51200000, 28800000, 28800000}));
    EXPECT_FALSE(run.small[3]);
    EXPECT_EQ(run.reads, 2) << "small sizes do not ask the volume";
    // The volume read 0: 4,096 - same x 512, written buffered, down to 512; size 0 ends it.
    const std::vector<std::int64_t> small(run.sizes.begin() + 4, run.sizes.end());
    EXPECT_EQ(small,
              (std::vector<std::int64_t>{4096, 4096, 3584, 3072, 2560, 2048, 1536, 1024, 512}));
    for (std::size_t i = 4; i < run.small.size(); ++i)
        EXPECT_TRUE(run.small[i]);
}

TEST(FillPlan, FreeSpaceThatNeverChangesEndsOnTheSixteenthUnchangedAttempt) {
    // A volume that keeps 409,600 bytes out of reach (reserved blocks): every extension fails,
    // the reading never changes and never reaches 0.
    const std::int64_t reserved = 409600;
    const FillRun run = RunPlan(4096, reserved, [&](std::size_t) {
        return Attempt{true, reserved};
    });
    ASSERT_EQ(run.sizes.size(), 16u);
    EXPECT_EQ(run.sizes[0], 51200000);
    EXPECT_EQ(run.sizes[1], reserved);
    EXPECT_EQ(run.sizes[2], reserved - 1024);
    EXPECT_EQ(run.sizes[15], reserved - 14 * 1024);
    EXPECT_EQ(run.waits, 16) << "every unchanged attempt waits";
    EXPECT_FALSE(run.small.back());
}

TEST(FillPlan, FirstSizeIsWholeClusters) {
    EXPECT_EQ(TFillPlan(4096, 1).Size(), 51200000);
    EXPECT_EQ(TFillPlan(32768, 1).Size(), 51216384); // 1,563 clusters
}

TEST(FreeSpaceNames, TemporaryFolderSkipsTakenNumbersAndFillFilesCount) {
    TempDir dir;
    EXPECT_EQ(ChooseTemporaryFolder(dir.Path()), dir.Path() + "~WIPE0/");
    std::filesystem::create_directory(dir.File("~WIPE0"));
    test::WriteFile(dir.File("~WIPE1"), "a file takes the name as well");
    EXPECT_EQ(ChooseTemporaryFolder(dir.Path()), dir.Path() + "~WIPE2/");
    EXPECT_EQ(FillFileName(0), "~wipefile0.dat");
    EXPECT_EQ(FillFileName(2), "~wipefile0(2).dat");
}

TEST(ClusterTip, SlackBehindTheDataGetsEveryPassFromTheEndOfTheData) {
    TWipeAlgorithm m;
    for (const char* hex : {"AA", "BB", "CC"}) {
        TWipePattern& p = m.Add();
        p.SetPatternType(pt_fixed);
        p.SetPattern(hex);
    }
    struct Case {
        std::int64_t size;
        std::int64_t tip;
    };
    for (const Case c : {Case{10000, 2288}, Case{8192, 0}, Case{0, 0}, Case{1, 4095}}) {
        test::FaultStream s;
        std::int64_t tip = -1;
        ASSERT_TRUE(WriteClusterTip(m, s, c.size, 4096, tip));
        EXPECT_EQ(tip, c.tip) << c.size;
        if (c.tip == 0) {
            EXPECT_TRUE(s.writes.empty()) << c.size;
            continue;
        }
        ASSERT_EQ(s.writes.size(), 3u) << "one write of the tip per pass";
        for (const auto& w : s.writes) {
            EXPECT_EQ(w.position, c.size);
            EXPECT_EQ(w.asked, static_cast<std::size_t>(c.tip));
        }
        EXPECT_EQ(s.image.size(), static_cast<std::size_t>(c.size + c.tip));
        EXPECT_EQ(s.image[static_cast<std::size_t>(c.size)], 0xCC);
        EXPECT_EQ(s.image[static_cast<std::size_t>(c.size) - 1], 0x00) << "the data is untouched";
    }
}

// An engine initialised for a free-space job on the volume of `dir`, whose cluster size is
// what `clusterSize` says.
void InitializeOn(TKLWiper& engine, const std::string& item, std::int64_t clusterSize) {
    engine.SetWipeType(wt_freespace);
    engine.SetItems({item});
    engine.SetAlgorithmFile(PURGIX_TEST_DATA_DIR "algorithm.xml");
    engine.SetAlgorithmGUID(std::string(GUID_DOD));
    engine.SetVolumeQuery([clusterSize](const std::string&) {
        TVolumeFacts f;
        f.clusterSize = clusterSize;
        f.freeBytes = 1 << 20;
        f.totalBytes = 4 << 20;
        return f;
    });
    ASSERT_EQ(engine.InitializeWipeJob(), WIPE_OK);
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(ClusterTip, FileKeepsContentsSizeAndTimes) {
    TempDir dir;
    TKLWiper engine;
    InitializeOn(engine, ExtractDrive(dir.Path()), 4096);
    struct Case {
        std::string name;
        std::size_t size;
        std::string line;
    };
    for (const Case& c : {Case{"tip.bin", 10000, " (Clustertip overwritten)"},
                          Case{"whole.bin", 8192, " (No data)"}}) {
        const std::string path = dir.File(c.name);
        const std::string content(c.size, 'x');
        test::WriteFile(path, content);
        const struct timespec times[2] = {{1000000, 111}, {2000000, 222}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

        EXPECT_EQ(engine.OverwriteClusterTip(path, ""), WIPE_OK);

        const struct stat st = StatOf(path);
        EXPECT_EQ(st.st_size, static_cast<off_t>(c.size));
        EXPECT_EQ(st.st_atim.tv_sec, 1000000);
        EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 222);
        EXPECT_EQ(test::ReadFile(path), content);
        EXPECT_NE(engine.Log().SuccessSection().find(path + c.line), std::string::npos)
            << engine.Log().SuccessSection();
    }
    EXPECT_EQ(engine.Log().FailureSection(), "");
}

TEST(FreeSpace, RefusedBeforeAnythingIsCreated) {
    // A folder that is not a mount point (an unmounted mount point is a folder of another
    // volume), and a volume without a cluster size.
    struct Case {
        std::int64_t clusterSize;
        std::string suffix;
        std::int32_t result;
    };
    for (const Case& c : {Case{4096, ": Could not create temporary folder.", WIPE_FAILED},
                          Case{0, " (Clustersize could not be obtained)", WIPE_NOT_INITIALIZED}}) {
        TempDir dir;
        test::WriteFile(dir.File("live.txt"), "live");
        TKLWiper engine;
        InitializeOn(engine, dir.Path(), c.clusterSize);
        EXPECT_EQ(engine.ExecuteJob(), c.result);
        EXPECT_NE(engine.Log().FailureSection().find(dir.Path() + c.suffix), std::string::npos)
            << engine.Log().FailureSection();
        std::vector<std::string> entries;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
            entries.push_back(e.path().filename().string());
        EXPECT_EQ(entries, std::vector<std::string>{"live.txt"});
        EXPECT_EQ(test::ReadFile(dir.File("live.txt")), "live");
    }
}

} // namespace
} // namespace purgix
