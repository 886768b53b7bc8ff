// Wipe jobs and their workers: status holders, job messages, cancellation and pause, the jobs a
// cancellation leaves unrun, errors of a run, and workers running side by side. Every job wipes
// files in the test's own temporary folder; a queue target on the test's thread collects the
// messages.
#include "jobs/wipe_volume.h"

#include "platform/notify.h"
#include "support/temp_dir.h"
#include "wipe/patternclass.h"
#include "wipe/wipelibfuncs.h"
#include "wipe/wipelog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace purgix {
namespace {

using platform::TMessage;
using platform::WM_WIPEJOB;

constexpr std::string_view kMethodFile = PURGIX_TEST_DATA_DIR "algorithm.xml";

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class WipeJobTest : public ::testing::Test {
protected:
    // A file job over one new file `name` holding `content`, with a log in the logs folder.
    // Files that get wiped have names of several letters: six random renames of a one-letter
    // name may land on the name the file already has.
    std::unique_ptr<TWipeJob> FileJob(TWipeThread* thread, const std::string& name,
                                      const std::string& content,
                                      std::string_view method = GUID_DOD,
                                      std::string_view methodFile = kMethodFile) {
        test::WriteFile(dir_.File(name), content);
        auto job = std::make_unique<TWipeJob>(thread);
        job->SetWipeType(wt_file);
        job->WipeFiles().push_back(dir_.File(name));
        job->SetDrive(dir_.Path());
        job->SetAlgorithmFile(std::string(methodFile));
        job->SetMethodGUID(std::string(method));
        job->SetCreateLogFile(true);
        job->SetLogFileName(LogOf(name));
        return job;
    }
    std::string LogOf(const std::string& name) const { return dir_.File("logs/" + name + ".html"); }

    // Starts the workers and handles messages until each has sent its end message.
    void RunToEnd(const std::vector<TWipeThread*>& workers) {
        for (TWipeThread* w : workers)
            w->Start();
        HandleUntil([&] { return Ends() == workers.size(); });
        for (TWipeThread* w : workers)
            w->WaitFor();
    }
    void HandleUntil(const std::function<bool()>& done) {
        ASSERT_TRUE(target_.ProcessMessagesUntil(done, std::chrono::steady_clock::now() +
                                                           std::chrono::minutes(2)));
    }

    // Job messages (wParam 1) of the job, and end messages (wParam 0), handled so far.
    std::size_t Posts(const TWipeJob& job) const {
        return static_cast<std::size_t>(std::count(messages_.begin(), messages_.end(),
                                                   TMessage{WM_WIPEJOB, 1, job.STATUS_JOBID()}));
    }
    std::size_t Ends() const {
        return static_cast<std::size_t>(
            std::count(messages_.begin(), messages_.end(), TMessage{WM_WIPEJOB, 0, 0}));
    }

    test::TempDir dir_;
    std::vector<TMessage> messages_;
    // Called on the end message, while its worker waits.
    std::function<void()> onEnd_;
    platform::TQueueTarget target_{[this](const TMessage& m) {
        messages_.push_back(m);
        if (m.wParam == 0 && onEnd_)
            onEnd_();
        return std::intptr_t{0};
    }};
};

TEST_F(WipeJobTest, NewJobIsQueuedWithEmptyStatus) {
    TWipeThread worker(target_, WM_WIPEJOB);
    const TWipeJob job(&worker);
    EXPECT_EQ(job.STATUS_CurrentState(), wst_queued);
    EXPECT_EQ(job.STATUS_CurrentProgress(), 0.0);
    EXPECT_EQ(job.STATUS_CurrentRound(), 0);
    EXPECT_EQ(job.STATUS_OverallRounds(), 0);
    EXPECT_EQ(job.STATUS_CurrentItem(), "");
    EXPECT_FALSE(job.STATUS_HasErrors());
    EXPECT_FALSE(job.CancelJob());
    EXPECT_EQ(job.WipeType(), wt_device);
    EXPECT_TRUE(job.ReininitDrive());
    EXPECT_EQ(job.WipeThread(), &worker);
    EXPECT_EQ(target_.ProcessMessages(), 0u);
}

TEST_F(WipeJobTest, JobNumbersFollowOnAcrossWorkersAndRuns) {
    const std::int32_t before = JobIDCounter().Value();
    TWipeThread first(target_, WM_WIPEJOB);
    auto a = FileJob(&first, "alpha", "A");
    TWipeThread second(target_, WM_WIPEJOB);
    auto b = FileJob(&second, "beta", "B");
    first.Jobs().push_back(a.get());
    RunToEnd({&first});
    // A job of the next run goes on counting.
    auto c = FileJob(nullptr, "gamma", "C");
    EXPECT_EQ(a->STATUS_JOBID(), before + 1);
    EXPECT_EQ(b->STATUS_JOBID(), before + 2);
    EXPECT_EQ(c->STATUS_JOBID(), before + 3);
}

TEST_F(WipeJobTest, OnlyAChangedStatePosts) {
    TWipeThread worker(target_, WM_WIPEJOB);
    TWipeJob job(&worker);
    job.SetSTATUS_CurrentState(wst_queued);
    target_.ProcessMessages();
    EXPECT_EQ(Posts(job), 0u);
    job.SetSTATUS_CurrentState(wst_running);
    job.SetSTATUS_CurrentState(wst_running);
    target_.ProcessMessages();
    EXPECT_EQ(Posts(job), 1u);
    EXPECT_EQ(job.STATUS_CurrentState(), wst_running);
}

TEST_F(WipeJobTest, ProgressIsAPercentOfTheJobAndStaysWithin100) {
    struct Case {
        std::int64_t written, total;
        double percent;
    };
    const Case cases[] = {{50, 200, 25.0}, {300, 200, 100.0}, {10, 0, 0.0}, {0, 0, 0.0}};
    TWipeThread worker(target_, WM_WIPEJOB);
    TWipeJob job(&worker);
    TKLWiper engine;
    for (const Case& c : cases) {
        bool cancel = true;
        job.OnWipeProgressCallBack(engine, "/x/file", STAGE_FREESPACE, 2, 3, 1, 1, c.written,
                                   c.total, cancel);
        EXPECT_EQ(job.STATUS_CurrentProgress(), c.percent) << c.written << " of " << c.total;
        EXPECT_FALSE(cancel);
    }
    EXPECT_EQ(job.STATUS_CurrentItem(), "/x/file");
    EXPECT_EQ(job.STATUS_CurrentRound(), 2);
    EXPECT_EQ(job.STATUS_OverallRounds(), 3);
    EXPECT_EQ(job.STATUS_CurrentStage(), STAGE_FREESPACE);
    target_.ProcessMessages();
    EXPECT_EQ(Posts(job), std::size(cases));
}

TEST_F(WipeJobTest, CancelStopsTheEngineAtItsNextCallbackAndPostsOnlyTheFinalState) {
    TWipeThread worker(target_, WM_WIPEJOB);
    TWipeJob job(&worker);
    TKLWiper engine;
    bool cancel = false;
    job.OnWipeCompleteCallBack(engine, "/x/a", 0, cancel);
    EXPECT_FALSE(cancel);
    job.SetCancelJob(true);
    job.OnWipeCompleteCallBack(engine, "/x/b", 0, cancel);
    EXPECT_TRUE(cancel);
    job.OnWipeProgressCallBack(engine, "/x/b", STAGE_FILES, 1, 3, 1, 1, 1, 9, cancel);
    EXPECT_TRUE(cancel);
    target_.ProcessMessages();
    EXPECT_EQ(Posts(job), 1u); // the report before the cancellation

    // A run of a cancelled job: its engine stops at the first report and the job ends aborted;
    // the only messages are the two state changes.
    auto run = FileJob(&worker, "one", std::string(5000, 'M'));
    test::WriteFile(dir_.File("two"), "second file");
    run->WipeFiles().push_back(dir_.File("two"));
    run->SetCancelJob(true);
    run->RunJob();
    target_.ProcessMessages();
    EXPECT_EQ(run->STATUS_CurrentState(), wst_aborted);
    EXPECT_EQ(Posts(*run), 2u);
    EXPECT_NE(test::ReadFile(dir_.File("one")), std::string(5000, 'M'));
    EXPECT_EQ(test::ReadFile(dir_.File("two")), "second file");
    EXPECT_NE(test::ReadFile(LogOf("one")).find(dir_.File("one") + " (Aborted by user)"),
              std::string::npos);
    EXPECT_TRUE(CheckLogSignature(LogOf("one")));
}

TEST_F(WipeJobTest, CancellingAPausedJobLetsItsWorkerGoAndEndsItAborted) {
    TWipeThread worker(target_, WM_WIPEJOB);
    auto job = FileJob(&worker, "held", std::string(5000, 'H'));
    worker.Jobs().push_back(job.get());
    worker.Suspend();
    worker.Start();
    HandleUntil([&] { return job->STATUS_CurrentState() == wst_running; });
    job->SetSTATUS_CurrentState(wst_paused);
    job->SetCancelJob(true);
    EXPECT_FALSE(worker.Suspended());
    HandleUntil([&] { return Ends() == 1; });
    worker.WaitFor();
    EXPECT_EQ(job->STATUS_CurrentState(), wst_aborted);
    EXPECT_TRUE(Exists(dir_.File("held"))); // overwritten at most, never removed
}

TEST_F(WipeJobTest, JobsAfterACancelledJobAreNotRunAndEndAbortedWithSignedLogs) {
    TWipeThread worker(target_, WM_WIPEJOB);
    auto first = FileJob(&worker, "first", "first file");
    auto second = FileJob(&worker, "second", "second file", GUID_VSITR);
    auto third = FileJob(&worker, "third", "third file");
    worker.Jobs() = {first.get(), second.get(), third.get()};
    first->SetCancelJob(true);
    RunToEnd({&worker});

    EXPECT_EQ(first->STATUS_CurrentState(), wst_aborted);
    for (const auto& [job, name] : {std::pair{second.get(), "second"}, {third.get(), "third"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(job->STATUS_CurrentState(), wst_aborted);
        EXPECT_EQ(Posts(*job), 1u);
        EXPECT_EQ(test::ReadFile(dir_.File(name)), std::string(name) + " file");
        const std::string log = test::ReadFile(LogOf(name));
        EXPECT_TRUE(CheckLogSignature(LogOf(name)));
        for (const std::string_view text :
             {kLogCancelNotice, kNotStartedLine, std::string_view("Wipe Files or Folders")})
            EXPECT_NE(log.find(text), std::string::npos) << text;
        EXPECT_EQ(log.find("Start Time"), std::string::npos);
        EXPECT_NE(job->LogDataError().find(kNotStartedLine), std::string::npos);
    }
    EXPECT_NE(test::ReadFile(LogOf("second")).find("VSITR (7 Passes)"), std::string::npos);
}

TEST_F(WipeJobTest, AMethodThatFailsDuringTheRunEndsTheJobWithErrorsInASignedLog) {
    const std::string methods = dir_.File("broken.xml");
    test::WriteFile(methods, R"(<?xml version="1.0"?>
<wiperalgorithms>
  <algorithm name="Complement first" guid="{AAAA0000-0000-0000-0000-0000000000C1}">
    <pass type="invert"/>
    <pass type="pattern">00</pass>
  </algorithm>
</wiperalgorithms>
)");
    TWipeThread worker(target_, WM_WIPEJOB);
    auto job =
        FileJob(&worker, "victim", "data", "{AAAA0000-0000-0000-0000-0000000000C1}", methods);
    worker.Jobs().push_back(job.get());
    RunToEnd({&worker});
    EXPECT_EQ(job->STATUS_CurrentState(), wst_finished);
    EXPECT_TRUE(job->STATUS_HasErrors());
    constexpr std::string_view text = "Inverted Pattern not available";
    EXPECT_NE(job->LogDataError().find(text), std::string::npos);
    EXPECT_NE(test::ReadFile(LogOf("victim")).find(text), std::string::npos);
    EXPECT_TRUE(CheckLogSignature(LogOf("victim")));
}

TEST_F(WipeJobTest, AnUnknownMethodEndsFinishedWithErrors) {
    TWipeThread worker(target_, WM_WIPEJOB);
    auto job = FileJob(&worker, "kept", "kept", "{00000000-0000-0000-0000-000000000000}");
    worker.Jobs().push_back(job.get());
    RunToEnd({&worker});
    EXPECT_EQ(job->STATUS_CurrentState(), wst_finished);
    EXPECT_TRUE(job->STATUS_HasErrors());
    EXPECT_EQ(test::ReadFile(dir_.File("kept")), "kept");
}

TEST_F(WipeJobTest, EndMessageIsSentAfterTheLastJobWhileTheWorkerWaits) {
    TWipeThread worker(target_, WM_WIPEJOB);
    auto a = FileJob(&worker, "alpha.txt", std::string(3000, 'a'));
    auto b = FileJob(&worker, "beta.txt", std::string(3000, 'b'));
    worker.Jobs() = {a.get(), b.get()};
    bool workerWaited = false;
    std::size_t messagesBefore = 0;
    onEnd_ = [&] {
        workerWaited = !worker.Finished();
        messagesBefore = messages_.size() - 1;
    };
    RunToEnd({&worker});
    EXPECT_TRUE(workerWaited);
    EXPECT_TRUE(worker.Finished());
    // Nothing comes after it, and every job had ended before it.
    EXPECT_EQ(messagesBefore + 1, messages_.size());
    for (const TWipeJob* job : {a.get(), b.get()}) {
        EXPECT_EQ(job->STATUS_CurrentState(), wst_finished);
        EXPECT_FALSE(job->STATUS_HasErrors()) << job->LogDataError();
    }
    EXPECT_FALSE(Exists(dir_.File("alpha.txt")));
    EXPECT_FALSE(Exists(dir_.File("beta.txt")));
    EXPECT_NE(test::ReadFile(LogOf("beta.txt")).find(dir_.File("beta.txt") + " ("),
              std::string::npos);
}

TEST_F(WipeJobTest, TwoWorkersRunAtTheSameTime) {
    TWipeThread left(target_, WM_WIPEJOB);
    TWipeThread right(target_, WM_WIPEJOB);
    auto l = FileJob(&left, "left", std::string(2000, 'l'));
    auto r = FileJob(&right, "right", std::string(2000, 'r'));
    left.Jobs().push_back(l.get());
    right.Jobs().push_back(r.get());
    // Both are held in their first job: they can only be running together.
    left.Suspend();
    right.Suspend();
    left.Start();
    right.Start();
    HandleUntil([&] {
        return l->STATUS_CurrentState() == wst_running && r->STATUS_CurrentState() == wst_running;
    });
    left.Resume();
    right.Resume();
    RunToEnd({&left, &right});
    EXPECT_EQ(l->STATUS_CurrentState(), wst_finished);
    EXPECT_EQ(r->STATUS_CurrentState(), wst_finished);
    EXPECT_FALSE(Exists(dir_.File("left")));
    EXPECT_FALSE(Exists(dir_.File("right")));
}

TEST_F(WipeJobTest, LogFileNameReservesAnEmptyFileOrTellsTheUser) {
    std::vector<platform::TNotice> notices;
    const platform::ScopedNotifier notifier([&](const platform::TNotice& n) {
        notices.push_back(n);
        return platform::TNoticeAnswer::Ok;
    });
    TWipeJob job(nullptr);
    test::WriteFile(dir_.File("old.html"), "old log");
    job.SetLogFileName(dir_.File("old.html"));
    EXPECT_EQ(test::ReadFile(dir_.File("old.html")), "");
    job.SetLogFileName(dir_.File("new/deeper/log.html"));
    EXPECT_EQ(test::ReadFile(dir_.File("new/deeper/log.html")), "");
    EXPECT_TRUE(notices.empty());

    // A folder cannot be made below a file.
    const std::string bad = dir_.File("old.html/sub/log.html");
    job.SetLogFileName(bad);
    EXPECT_EQ(job.LogFileName(), bad);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, platform::TNoticeKind::Error);
    EXPECT_EQ(notices[0].text, "Log File could´nt be opened. Maybe you are not allowed to save in "
                               "folder " +
                                   dir_.File("old.html/sub/"));
}

} // namespace
} // namespace purgix
