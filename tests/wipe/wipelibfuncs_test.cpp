// The wipe engine on file jobs in a temporary folder: lifecycle, job size, progress and cancel,
// result codes, and what happens to files, folders, links and hard links.
#include "wipe/wipelibfuncs.h"

#include "platform/tick.h"
#include "support/temp_dir.h"
#include "wipe/wipeutils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace purgix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const std::string kMethodFile = std::string(PURGIX_TEST_DATA_DIR) + "algorithm.xml";

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Progress {
    std::int32_t pass;
    std::int64_t current;
    std::int64_t itemSize;
    std::int64_t total;
};

class EngineTest : public ::testing::Test {
protected:
    EngineTest() : ticks_([this] { return tick_ += tickStep_; }) {
        engine_.SetWipeType(wt_file);
        engine_.SetAlgorithmFile(kMethodFile);
        engine_.SetAlgorithmGUID(std::string(GUID_DOD));
        // Every volume has 4,096-byte clusters here.
        engine_.SetVolumeQuery([this](const std::string& mountPoint) {
            queried_.push_back(mountPoint);
            return TVolumeFacts{4096, 1 << 20, "ext4"};
        });
        engine_.SetProgressCallBack([this](TKLWiper&, const std::string&, std::int32_t,
                                           std::int32_t pass, std::int32_t, std::int64_t current,
                                           std::int64_t itemSize, std::int64_t total, std::int64_t,
                                           bool& cancel) {
            reports_.push_back({pass, current, itemSize, total});
            if (cancelAtReport_ == static_cast<int>(reports_.size()))
                cancel = true;
        });
    }

    std::string Make(const std::string& name, const std::string& content) {
        WriteFile(dir_.File(name), content);
        return dir_.File(name);
    }

    std::int32_t Run(const std::vector<std::string>& items) {
        engine_.SetItems(items);
        const std::int32_t init = engine_.InitializeWipeJob();
        EXPECT_EQ(init, 0);
        return init != 0 ? init : engine_.ExecuteJob();
    }

    std::string Failures() const { return engine_.Log().FailureSection(); }
    std::string Successes() const { return engine_.Log().SuccessSection(); }

    TempDir dir_;
    // The tick starts far from 0, so that the first report after a cleared last tick is due.
    std::uint32_t tick_ = 0x7FFF0000u;
    std::uint32_t tickStep_ = 1000;
    platform::ScopedTickSource ticks_;
    TKLWiper engine_;
    std::vector<std::string> queried_;
    std::vector<Progress> reports_;
    int cancelAtReport_ = 0;
};

TEST_F(EngineTest, JobSizeRoundsFilesToClustersAndAsksEachVolumeOnce) {
    const std::string file = Make("a.bin", std::string(5000, 'x'));
    ASSERT_EQ(::mkdir(dir_.File("folder").c_str(), 0755), 0);
    engine_.SetItems({file, dir_.File("folder/")});
    ASSERT_EQ(engine_.InitializeWipeJob(), 0);
    EXPECT_EQ(engine_.TotalJobSize(), 24576); // 8,192 bytes x 3 passes; the folder adds nothing
    EXPECT_EQ(queried_.size(), 1u);
    ASSERT_EQ(engine_.ClusterSizes().size(), 1u);
    EXPECT_EQ(engine_.ClusterSizes().begin()->second, 4096);

    EXPECT_EQ(engine_.ExecuteJob(), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(Exists(dir_.File("folder")));
    // Each pass writes the file to the end of its last cluster.
    ASSERT_FALSE(reports_.empty());
    for (const Progress& p : reports_)
        EXPECT_EQ(p.itemSize, 8192);
    // The success line and the job's counter hold every byte written, not only what the last
    // delivered report said.
    EXPECT_TRUE(Contains(Successes(), file + " (24576 Byte)<br>")) << Successes();
    EXPECT_TRUE(Contains(Successes(), dir_.File("folder/") + " (0 Byte)<br>")) << Successes();
    EXPECT_EQ(engine_.JobsBytesWritten(), engine_.TotalJobSize());
}

TEST_F(EngineTest, VerifiedWipeReadsEveryStreamBack) {
    const std::string file = Make("a.bin", std::string(5000, 'x'));
    engine_.SetVerify(true);
    engine_.SetItems({file});
    ASSERT_EQ(engine_.InitializeWipeJob(), 0);
    EXPECT_EQ(engine_.TotalJobSize(), 4 * 8192); // three passes and the read
    EXPECT_EQ(engine_.ExecuteJob(), 0);
    EXPECT_TRUE(Contains(Successes(), file + " (24576 Byte, verified)<br>")) << Successes();
    EXPECT_EQ(engine_.JobsBytesWritten(), engine_.TotalJobSize());
    EXPECT_FALSE(Exists(file));
}

TEST_F(EngineTest, ExecuteBeforeInitializeDoesNothing) {
    const std::string file = Make("a", "data");
    bool called = false;
    engine_.SetCompleteCallBack(
        [&called](TKLWiper&, const std::string&, std::int32_t, bool&) { called = true; });
    engine_.SetItems({file});
    EXPECT_EQ(engine_.ExecuteJob(), 3);
    EXPECT_FALSE(called);
    EXPECT_TRUE(reports_.empty());
    EXPECT_EQ(ReadFile(file), "data");
}

TEST_F(EngineTest, MissingMethodFileGivesTwoAndAnEmptySignedLog) {
    engine_.SetAlgorithmFile(dir_.File("no-such-file.xml"));
    engine_.SetCreateLogFile(true);
    engine_.SetLogFilename(dir_.File("log.htm"));
    engine_.SetItems({Make("a", "data")});
    EXPECT_EQ(engine_.InitializeWipeJob(), 2);
    EXPECT_EQ(engine_.ExecuteJob(), 3);
    EXPECT_TRUE(engine_.CloseWipeJob());
    const std::string log = ReadFile(dir_.File("log.htm"));
    EXPECT_TRUE(CheckLogSignature(dir_.File("log.htm")));
    EXPECT_FALSE(Contains(log, "Operation:"));
    EXPECT_FALSE(Contains(log, "Executed by"));
    EXPECT_EQ(ReadFile(dir_.File("a")), "data");
}

TEST_F(EngineTest, MethodGuidIsFoundWithoutRegardToCase) {
    std::string lower(GUID_DOD);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    engine_.SetAlgorithmGUID(lower);
    engine_.SetItems({Make("a", "data")});
    ASSERT_EQ(engine_.InitializeWipeJob(), 0);
    ASSERT_NE(engine_.Algorithm(), nullptr);
    EXPECT_EQ(engine_.Algorithm()->GUID(), std::string(GUID_DOD));

    engine_.SetAlgorithmGUID("{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(engine_.InitializeWipeJob(), 4);
}

// A child process that holds `path` open until it is killed.
class Holder {
public:
    explicit Holder(const std::string& path) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            const char c = fd >= 0 ? '1' : '0';
            (void)!::write(ready[1], &c, 1);
            for (;;)
                ::pause();
        }
        char c = 0;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, '1');
        ::close(ready[0]);
        ::close(ready[1]);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    ~Holder() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

TEST_F(EngineTest, FileHeldOpenElsewhereFailsAndTheJobGivesItsCode) {
    const std::string a = Make("a", std::string(3000, 'a'));
    const std::string held = Make("held", std::string(3000, 'h'));
    const std::string c = Make("c", std::string(3000, 'c'));
    std::vector<std::int32_t> codes;
    engine_.SetCompleteCallBack([&codes](TKLWiper&, const std::string&, std::int32_t code, bool&) {
        codes.push_back(code);
    });
    const Holder holder(held);

    EXPECT_EQ(Run({a, held, c}), 1);
    EXPECT_EQ(codes, (std::vector<std::int32_t>{0, 1, 0}));
    EXPECT_FALSE(Exists(a));
    EXPECT_FALSE(Exists(c));
    EXPECT_EQ(ReadFile(held), std::string(3000, 'h')); // name and content kept
    EXPECT_TRUE(Contains(Failures(), held + " (File access denied)")) << Failures();
}

TEST_F(EngineTest, CancelDuringTheFirstFileStopsTheJob) {
    const std::string big = Make("big", std::string(3 * 4096, 'b'));
    const std::string second = Make("second", "second");
    const std::string third = Make("third", "third");
    cancelAtReport_ = 1;

    EXPECT_EQ(Run({big, second, third}), 5);
    EXPECT_EQ(reports_.size(), 1u); // the write stopped at the cancel
    EXPECT_TRUE(Contains(Failures(), big + " (Aborted by user)")) << Failures();
    EXPECT_TRUE(Contains(engine_.Log().HeaderSection(), "Operation was canceled by user"));
    EXPECT_TRUE(Contains(Successes(), "OPERATION CANCELED BY USER"));
    EXPECT_TRUE(Exists(big));
    EXPECT_EQ(ReadFile(second), "second");
    EXPECT_EQ(ReadFile(third), "third");
}

TEST_F(EngineTest, ProgressIsThrottledOnTheWrappingTick) {
    // Three passes, one write each, 300 ms apart, across the wrap of the 32-bit tick: the
    // first report is due at once, the second too early, the third due again.
    tick_ = 0xFFFFFE00u;
    tickStep_ = 300;
    const std::string file = Make("a", std::string(4096, 'a'));
    EXPECT_EQ(Run({file}), 0);
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[0].pass, 1);
    EXPECT_EQ(reports_[1].pass, 3);
    EXPECT_EQ(reports_[1].total, 3 * 4096);
}

TEST_F(EngineTest, ReadOnlyEmptyAndFolderItems) {
    const std::string readOnly = Make("ro", std::string(100, 'r'));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    const std::string empty = Make("empty", "");
    ASSERT_EQ(::mkdir(dir_.File("emptydir").c_str(), 0555), 0);

    EXPECT_EQ(Run({readOnly, empty, dir_.File("emptydir/")}), 0);
    EXPECT_FALSE(Exists(readOnly));
    EXPECT_FALSE(Exists(empty));
    EXPECT_FALSE(Exists(dir_.File("emptydir")));
    EXPECT_TRUE(Contains(Successes(), readOnly + " (12288 Byte)<br>")) << Successes();
    EXPECT_TRUE(Contains(Successes(), empty + " (0 Byte)<br>")) << Successes();
    EXPECT_TRUE(Contains(Successes(), dir_.File("emptydir/") + " (0 Byte)<br>")) << Successes();
    EXPECT_TRUE(Failures().empty()) << Failures();
}

TEST_F(EngineTest, FolderThatStillHoldsAFileIsRenamedBack) {
    ASSERT_EQ(::mkdir(dir_.File("full").c_str(), 0755), 0);
    const std::string inside = Make("full/keep", "keep");

    EXPECT_EQ(Run({dir_.File("full/")}), 1);
    EXPECT_EQ(ReadFile(inside), "keep");
    EXPECT_TRUE(Contains(Failures(), dir_.File("full/") + " (Wipe failed)")) << Failures();
}

TEST_F(EngineTest, MissingItemIsReportedAndFails) {
    EXPECT_EQ(Run({dir_.File("ghost")}), 1);
    EXPECT_TRUE(Contains(Failures(), dir_.File("ghost") + " (Not found)"));
    EXPECT_TRUE(Contains(Failures(), dir_.File("ghost") + " (Error overwriting filenames)"));
    EXPECT_TRUE(Contains(Failures(), dir_.File("ghost") + " (Wipe failed)"));
}

TEST_F(EngineTest, SixRandomNamesKeepLengthAndDots) {
    const std::string file = Make("report.final.txt", "x");
    const int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(in, 0);
    ASSERT_GE(::inotify_add_watch(in, dir_.Path().c_str(), IN_MOVED_TO), 0);

    EXPECT_EQ(Run({file}), 0);
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[8192];
    for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;)
        for (char* p = buffer; p < buffer + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            names.emplace_back(e->name);
            p += sizeof(inotify_event) + e->len;
        }
    ::close(in);

    ASSERT_EQ(names.size(), 6u);
    for (const std::string& name : names) {
        ASSERT_EQ(name.size(), 16u) << name;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (i == 6 || i == 12)
                EXPECT_EQ(name[i], '.') << name;
            else
                EXPECT_TRUE(name[i] >= 'A' && name[i] <= 'Y') << name;
        }
    }
    EXPECT_FALSE(Exists(file));
}

TEST_F(EngineTest, SymbolicLinkIsRemovedAndItsTargetSurvives) {
    const std::string target = Make("target", "precious");
    const std::string link = dir_.File("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    EXPECT_EQ(Run({link}), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(ReadFile(target), "precious");
}

TEST_F(EngineTest, LinkPlantedAfterListingIsNotFollowed) {
    const std::string target = Make("target", "precious");
    const std::string file = Make("victim", std::string(5000, 'v'));
    engine_.SetItems({file});
    ASSERT_EQ(engine_.InitializeWipeJob(), 0);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), file.c_str()), 0);

    // A stream overwrite aimed at the link refuses it; the job removes the link as a name.
    EXPECT_EQ(engine_.OverwriteStream(file, "", true, true), 1);
    EXPECT_TRUE(Contains(Failures(), file + " (File access denied)"));
    EXPECT_EQ(engine_.ExecuteJob(), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(ReadFile(target), "precious");
}

TEST_F(EngineTest, HardLinkWithANameOutsideTheJobIsLeftAlone) {
    const std::string file = Make("shared", "shared data");
    const std::string outside = dir_.File("other-name");
    ASSERT_EQ(::link(file.c_str(), outside.c_str()), 0);

    EXPECT_EQ(Run({file}), 1);
    EXPECT_EQ(ReadFile(file), "shared data");
    EXPECT_EQ(ReadFile(outside), "shared data");
    EXPECT_TRUE(Contains(Failures(), file + " (Hard-linked: data shared with other names)"));
}

TEST_F(EngineTest, HardLinkWithAllNamesInTheJobIsOverwrittenOnce) {
    const std::string first = Make("first", std::string(5000, 'l'));
    const std::string second = dir_.File("second");
    ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
    engine_.SetItems({first, second});
    ASSERT_EQ(engine_.InitializeWipeJob(), 0);
    EXPECT_EQ(engine_.TotalJobSize(), 3 * 8192); // the shared data counts once

    EXPECT_EQ(engine_.ExecuteJob(), 0);
    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second));
    EXPECT_TRUE(Contains(Successes(), first + " (24576 Byte)<br>")) << Successes();
    EXPECT_TRUE(Contains(Successes(), second + " (0 Byte)<br>")) << Successes();
}

TEST_F(EngineTest, AttributeStreamIsOverwrittenBeforeTheMainData) {
    const std::string file = Make("streams", std::string(100, 'm'));
    const std::string value(300, 's');
    if (::setxattr(file.c_str(), "user.extra", value.data(), value.size(), 0) != 0)
        GTEST_SKIP() << "the temporary folder's file system has no user attributes";
    std::vector<std::string> names;
    engine_.GetStreamNames(file, names);
    EXPECT_EQ(names, (std::vector<std::string>{"", "extra"}));

    std::vector<std::string> items;
    engine_.SetProgressCallBack([&items](TKLWiper&, const std::string& item, std::int32_t,
                                         std::int32_t, std::int32_t, std::int64_t, std::int64_t,
                                         std::int64_t, std::int64_t, bool&) {
        if (items.empty() || items.back() != item)
            items.push_back(item);
    });
    tickStep_ = 1000;
    EXPECT_EQ(Run({file}), 0);
    EXPECT_EQ(items, (std::vector<std::string>{file + ":extra", file}));
    EXPECT_FALSE(Exists(file));
}

TEST(CompressedEncryptedOrSparse, AttributeBits) {
    EXPECT_FALSE(IsCompressedEncryptedOrSparse(0xFFFFFFFFu));
    EXPECT_FALSE(IsCompressedEncryptedOrSparse(0x80));
    EXPECT_FALSE(IsCompressedEncryptedOrSparse(0x27));
    EXPECT_TRUE(IsCompressedEncryptedOrSparse(0x800));
    EXPECT_TRUE(IsCompressedEncryptedOrSparse(0x4000));
    EXPECT_TRUE(IsCompressedEncryptedOrSparse(0x200 | 0x20));
}

TEST(WriteBlock, RoundsToClusters) {
    EXPECT_EQ(FileWriteBlock(4096), 51200000u);
    EXPECT_EQ(FileWriteBlock(65536), 51249152u);
    EXPECT_EQ(FileWriteBlock(3000), 51201000u);
}

} // namespace
} // namespace purgix
