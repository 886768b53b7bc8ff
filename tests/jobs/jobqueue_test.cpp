// The job controller over made-up selections: groups and rows of free-space and file runs, log
// names, the end-of-run summary, pausing and aborting, the status texts and the time estimate.
// Runs only wipe files in the test's temporary folder; two of its sub-folders stand in for two
// volumes. Free-space runs are built and looked at, never started.
#include "jobs/jobqueue.h"

#include "drives/devices.h"
#include "platform/notify.h"
#include "platform/tick.h"
#include "support/temp_dir.h"
#include "wipe/patternclass.h"
#include "wipe/wipelibfuncs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <map>

namespace purgix {
namespace {

using platform::TMessage;
using platform::TNotice;
using platform::TNoticeAnswer;
using platform::WM_WIPEJOB;
using std::chrono::system_clock;

const system_clock::time_point kNoon = system_clock::from_time_t(1796990400); // 2026-12-11

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class JobQueueTest : public ::testing::Test {
protected:
    JobQueueTest() {
        env_.algorithmFile = PURGIX_TEST_DATA_DIR "algorithm.xml";
        env_.methodGUID = GUID_DOD;
        env_.logFileDir = dir_.File("logs/");
        env_.diskOfVolume = [this](const std::string& volume) { return disks_.at(volume); };
        env_.volumeOfPath = [this](const std::string& path) {
            for (const char* v : {"A/", "B/"})
                if (path.rfind(dir_.File(v), 0) == 0)
                    return dir_.File(v);
            return std::string{};
        };
        env_.diskLook = [](int number) {
            if (number == 0)
                return TDiskLook{true, "Disk Zero: 10.00 GB", false};
            if (number == 2)
                return TDiskLook{true, "Stick: 7.50 GB", true};
            return TDiskLook{};
        };
        env_.clock = [] { return kNoon; };
        env_.openLog = [this](const std::string& log, const std::string&) {
            opened_.push_back(log);
        };
        env_.showStartPage = [this] { ++startPages_; };
        env_.jobStatusChanged = [this](const TWipeJob& job) {
            if (TStatusRow* row = ctl_->StatusList().ItemByJob(&job))
                seen_[job.STATUS_JOBID()].push_back(row->status);
        };
        ctl_ = std::make_unique<TJobController>(target_, env_);
        ::mkdir(dir_.File("A").c_str(), 0755);
        ::mkdir(dir_.File("B").c_str(), 0755);
    }

    // A file of `name` (a path below the temporary folder) holding `content`.
    std::string File(const std::string& name, const std::string& content = "secret data") {
        test::WriteFile(dir_.File(name), content);
        return dir_.File(name);
    }
    void HandleUntil(const std::function<bool()>& done) {
        ASSERT_TRUE(target_.ProcessMessagesUntil(done, std::chrono::steady_clock::now() +
                                                           std::chrono::minutes(2)));
    }
    std::vector<TStatusRow*> Rows() { return ctl_->StatusList().Rows(); }

    test::TempDir dir_;
    std::map<std::string, int> disks_;
    std::vector<std::string> opened_;
    int startPages_ = 0;
    int ends_ = 0;
    std::map<std::int32_t, std::vector<std::string>> seen_; // status texts per job ID
    std::vector<TNotice> notices_;
    TNoticeAnswer answer_ = TNoticeAnswer::No;
    platform::ScopedNotifier notifier_{[this](const TNotice& n) {
        notices_.push_back(n);
        return answer_;
    }};
    platform::TQueueTarget target_{[this](const TMessage& m) {
        if (m.wParam == 0)
            ++ends_;
        ctl_->OnThreadTerminate(m);
        return std::intptr_t{0};
    }};
    TJobEnvironment env_;
    std::unique_ptr<TJobController> ctl_;
};

TEST_F(JobQueueTest, FreeSpaceVolumesOfOneDiskShareAWorkerAndOtherDisksGetTheirOwn) {
    disks_ = {{"/mnt/a/", 2}, {"/mnt/b/", 2}, {"/media/c/", 0}, {"/mnt/lost/", -1}};
    ctl_->BeginRun(jt_freespace);
    ctl_->StartFreeSpaceWhipeThread(
        {{"/mnt/a/", "/media/c/", "/mnt/b/", "/mnt/lost/"}, false, true});

    const auto& groups = ctl_->StatusList().Groups();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0]->caption, "Stick: 7.50 GB");
    EXPECT_EQ(groups[0]->imageIndex, 1);
    EXPECT_EQ(groups[1]->caption, "Disk Zero: 10.00 GB");
    EXPECT_EQ(groups[1]->imageIndex, 0);
    EXPECT_EQ(groups[2]->caption, "Drive -1"); // a volume whose disk is unknown runs alone
    ASSERT_EQ(groups[0]->rows.size(), 2u);
    EXPECT_EQ(groups[0]->rows[0].caption, "Wipe freespace of drive /mnt/a/");
    EXPECT_EQ(groups[0]->rows[1].caption, "Wipe freespace of drive /mnt/b/");
    EXPECT_EQ(groups[0]->worker->Jobs(),
              (std::vector<TWipeJob*>{groups[0]->rows[0].job.get(), groups[0]->rows[1].job.get()}));
    EXPECT_NE(groups[0]->worker.get(), groups[1]->worker.get());
    for (const TStatusRow* row : Rows()) {
        EXPECT_EQ(row->status, "In queue");
        const TWipeJob& job = *row->job;
        EXPECT_EQ(job.WipeType(), wt_freespace);
        EXPECT_EQ(job.WipeFiles(), std::vector<std::string>{job.Drive()});
        EXPECT_FALSE(job.DoClusterTips());
        EXPECT_TRUE(job.OverWriteFileNames());
        EXPECT_EQ(job.MethodGUID(), GUID_DOD);
        EXPECT_TRUE(Exists(job.LogFileName()));
    }
    EXPECT_EQ(ctl_->Stages(), 2);
}

TEST_F(JobQueueTest, FileRunOnTwoVolumesRunsItsJobsOneAfterTheOtherInOneWorker) {
    const std::string a1 = File("A/one.txt"), a2 = File("A/two.txt"), b1 = File("B/three.txt");
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{a1, ""}, {b1, ""}, {a2, ""}, {dir_.File("A/gone.txt"), ""}}});
    const auto& groups = ctl_->StatusList().Groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0]->caption, "Disk Zero: 10.00 GB");
    ASSERT_EQ(groups[0]->rows.size(), 2u);
    EXPECT_EQ(groups[0]->rows[0].caption, "2 files on drive " + dir_.File("A/"));
    EXPECT_EQ(groups[0]->rows[1].caption, "1 file on drive " + dir_.File("B/"));
    TWipeJob& first = *groups[0]->rows[0].job;
    TWipeJob& second = *groups[0]->rows[1].job;
    EXPECT_EQ(first.WipeFiles(), (std::vector<std::string>{a1, a2}));

    // Held in its first job, the worker leaves the second queued.
    groups[0]->worker->Suspend();
    ctl_->StartWorkers();
    EXPECT_EQ(ctl_->SelectedJob(), &first);
    HandleUntil([&] { return !seen_[first.STATUS_JOBID()].empty(); });
    EXPECT_EQ(seen_[first.STATUS_JOBID()].front(), "In Progress (0.00 %) ...");
    EXPECT_EQ(second.STATUS_CurrentState(), wst_queued);
    EXPECT_EQ(ctl_->Details().currentStatus, "This job is currenty processed.");
    ctl_->PauseSelectedJob(); // the worker is held: this lets it go on

    answer_ = TNoticeAnswer::Yes;
    const std::vector<std::string> logs = {first.LogFileName(), second.LogFileName()};
    const std::int32_t firstId = first.STATUS_JOBID(), secondId = second.STATUS_JOBID();
    HandleUntil([&] { return ends_ == 1; });
    EXPECT_EQ(seen_[firstId].back(), "Finished");
    EXPECT_EQ(seen_[secondId].back(), "Finished");
    for (const std::string& f : {a1, a2, b1})
        EXPECT_FALSE(Exists(f)) << f;
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].text, kSummaryDone);
    EXPECT_EQ(opened_, logs);
    EXPECT_TRUE(ctl_->StatusList().Groups().empty());
    EXPECT_EQ(startPages_, 1);
}

TEST_F(JobQueueTest, LogNamesOfOneDayAreNumberedAcrossRunsAndMadeValid) {
    ::setenv("LC_ALL", "C", 1); // a short date with "/" (no thread runs yet)
    const std::string date = "12_11_26";
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{File("A/x"), ""}, {File("B/y"), ""}}});
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{File("A/z"), ""}}});
    EXPECT_TRUE(Exists(dir_.File("logs/Files-" + date + ".htm")));
    EXPECT_TRUE(Exists(dir_.File("logs/Files-" + date + "(1).htm")));
    EXPECT_EQ(Rows()[0]->job->LogFileName(), dir_.File("logs/Files-" + date + "(2).htm"));

    disks_ = {{"/mnt/usb/", 1}};
    ctl_->BeginRun(jt_freespace);
    ctl_->StartFreeSpaceWhipeThread({{"/mnt/usb/"}, true, true});
    EXPECT_EQ(Rows()[0]->job->LogFileName(),
              dir_.File("logs/Freespace@_mnt_usb_-" + date + ".htm"));
    EXPECT_EQ(ctl_->StatusList().Groups()[0]->caption, "Drive 1");
}

TEST_F(JobQueueTest, ACheckedDiskIsOneJobAndCheckedPartitionsOfAnotherShareItsWorker) {
    ::setenv("LC_ALL", "C", 1);
    // Disk entries that name no device: the run is built, never started.
    const TDeviceInfo whole(3, false, {});
    const TDeviceInfo parted(4, false, {});
    TDevicePartitionInformation p1(&parted), p2(&parted), p5(&parted);
    p1.SetNumber(1);
    p2.SetNumber(2);
    p5.SetNumber(5);
    ctl_->BeginRun(jt_drive);
    ctl_->StartWipeThread({{{&whole, "Disk/Three: 1.00 GB", 1, true, {{&p1, "ignored", true}}},
                            {&parted,
                             "Disk Four: 2.00 GB",
                             0,
                             false,
                             {{&p1, "Partition 1", true},
                              {&p2, "Partition 2", false},
                              {&p5, "Partition 5", true}}}}});
    const auto& groups = ctl_->StatusList().Groups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0]->tag, 3);
    EXPECT_EQ(groups[0]->caption, "Disk/Three: 1.00 GB");
    EXPECT_EQ(groups[0]->imageIndex, 1);
    ASSERT_EQ(groups[0]->rows.size(), 1u);
    const TWipeJob& disk = *groups[0]->rows[0].job;
    EXPECT_EQ(groups[0]->rows[0].caption, "Complete Drive");
    EXPECT_EQ(disk.WipeType(), wt_device);
    EXPECT_TRUE(disk.ReininitDrive());
    EXPECT_EQ(disk.LogFileName(), dir_.File("logs/Disk_Three 1.00 GB-12_11_26.htm"));

    ASSERT_EQ(groups[1]->rows.size(), 2u);
    EXPECT_EQ(groups[1]->rows[1].caption, "Partition 5");
    const TWipeJob& part = *groups[1]->rows[1].job;
    EXPECT_EQ(part.WipeType(), wt_partitions);
    EXPECT_FALSE(part.ReininitDrive());
    ASSERT_EQ(part.WipeThread(), groups[1]->worker.get());
    EXPECT_EQ(groups[1]->worker->Jobs().size(), 2u);
    EXPECT_EQ(part.LogFileName(), dir_.File("logs/Drive4_5-12_11_26.htm"));
}

TEST_F(JobQueueTest, AMessageForAnUnknownJobDoesNothing) {
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{File("A/x"), ""}}});
    ctl_->OnThreadTerminate({WM_WIPEJOB, 1, JobIDCounter().Value() + 100});
    EXPECT_TRUE(seen_.empty());
    EXPECT_EQ(Rows()[0]->status, "In queue");
}

TEST_F(JobQueueTest, AbortAllResumesAPausedJobAndEndsEveryJobAborted) {
    const std::string a = File("A/keep.txt"), b = File("B/keep.txt");
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{a, ""}, {b, ""}}});
    TStatusGroup& group = *ctl_->StatusList().Groups()[0];
    const TWipeJob& first = *group.rows[0].job;
    group.worker->Suspend();
    ctl_->StartWorkers();
    HandleUntil([&] { return first.STATUS_CurrentState() == wst_running; });
    // The window's pause: the worker held, the job shown paused.
    group.rows[0].job->SetSTATUS_CurrentState(wst_paused);

    bool stop = false;
    ctl_->AbortAll(stop); // answered No
    EXPECT_TRUE(stop);
    EXPECT_FALSE(first.CancelJob());
    answer_ = TNoticeAnswer::Yes;
    const std::int32_t ids[] = {first.STATUS_JOBID(), group.rows[1].job->STATUS_JOBID()};
    ctl_->AbortAll(stop);
    EXPECT_FALSE(stop);
    EXPECT_TRUE(ctl_->Cancelled());
    HandleUntil([&] { return ends_ == 1; });
    for (const std::int32_t id : ids)
        EXPECT_EQ(seen_[id].back(), "Aborted");
    EXPECT_EQ(test::ReadFile(b), "secret data");
    ASSERT_EQ(notices_.size(), 3u);
    EXPECT_EQ(notices_[0].text, kAbortAllQuestion);
    // A cancelled run ends with the engine's "cancelled" result: a run with errors.
    EXPECT_EQ(notices_[2].text, kSummaryErrors);
    EXPECT_EQ(startPages_, 1);
}

TEST_F(JobQueueTest, SummaryWaitsForAPausedJobOfAnotherWorkerAndComesOnce) {
    ctl_->BeginRun(jt_file);
    ctl_->StartFileWhipeThread({{{File("A/quick.txt"), ""}}});
    // A second worker with a job of the other volume.
    auto extra = std::make_unique<TStatusGroup>();
    extra->worker = std::make_unique<TWipeThread>(target_, WM_WIPEJOB);
    TStatusGroup& other = *extra;
    ctl_->StatusList().Groups().push_back(std::move(extra));
    ctl_->AddFileToJob(File("B/held.txt"), *other.worker, other);
    const TWipeJob& held = *other.rows[0].job;
    other.worker->Suspend();
    ctl_->StartWorkers();
    HandleUntil([&] { return ends_ == 1 && held.STATUS_CurrentState() == wst_running; });
    other.rows[0].job->SetSTATUS_CurrentState(wst_paused);
    ctl_->OnThreadTerminate({WM_WIPEJOB, 0, 0}); // as if the first worker ended now
    EXPECT_TRUE(notices_.empty());
    EXPECT_EQ(ctl_->StatusList().Groups().size(), 2u);

    ctl_->SelectJob(&held);
    ctl_->PauseSelectedJob(); // resume
    HandleUntil([&] { return ends_ == 2; });
    ctl_->OnThreadTerminate({WM_WIPEJOB, 0, 0}); // a late end message of the same run
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(startPages_, 1);
}

TEST(JobStatus, TextsOfEveryState) {
    struct Case {
        TWipeState state;
        bool errors;
        std::string text;
    };
    const Case cases[] = {
        {wst_running, false, "In Progress (12,35 %) ..."},
        {wst_finished, false, "Finished"},
        {wst_finished, true, "Completed with errors"},
        {wst_paused, false, "Paused"},
        {wst_aborted, true, "Aborted"},
        {wst_queued, false, "In queue"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JobStatusText(c.state, c.errors, 12.346, ','), c.text);
    // Free space: with cluster tips stage 2 is the middle third, without it the first half.
    EXPECT_EQ(JobStatusText(wst_running, false,
                            JobOverallProgress(jt_freespace, StageCount(jt_freespace, true), 2, 50),
                            '.'),
              "In Progress (50.00 %) ...");
    EXPECT_EQ(JobStatusText(
                  wst_running, false,
                  JobOverallProgress(jt_freespace, StageCount(jt_freespace, false), 2, 50), '.'),
              "In Progress (25.00 %) ...");
    EXPECT_EQ(JobOverallProgress(jt_freespace, 3, 0, 80), 0.0 + 80.0 / 3);
    EXPECT_EQ(JobOverallProgress(jt_file, 1, 0, 42.5), 42.5);
}

TEST(JobStatus, DetailsOfAQueuedAndARunningJob) {
    TWipeJob job(nullptr);
    TJobDetails queued = JobDetails(job, jt_file, 0);
    EXPECT_EQ(queued.currentStatus, "This job is queued as another job for this drive is running.");
    EXPECT_EQ(queued.round, "");
    EXPECT_EQ(queued.progress, 0);
    EXPECT_FALSE(queued.pauseEnabled);
    EXPECT_TRUE(queued.cancelEnabled);

    TKLWiper engine;
    bool cancel = false;
    job.SetSTATUS_CurrentState(wst_running);
    job.OnWipeProgressCallBack(engine, "/home/u/report.pdf", STAGE_FILES, 2, 3, 0, 0, 1, 4, cancel);
    const TJobDetails running = JobDetails(job, jt_file, job.STATUS_CurrentProgress());
    EXPECT_EQ(running.statusLine, "Overwriting report.pdf");
    EXPECT_EQ(running.round, "Round 2/3");
    EXPECT_EQ(running.progress, 25);
    EXPECT_EQ(running.pauseCaption, "Pause Job");
    job.SetSTATUS_CurrentState(wst_paused);
    EXPECT_EQ(JobDetails(job, jt_file, 25).pauseCaption, "Resume Job");
}

TEST(TimeEstimate, CalculatesThenJumpsAfterTenSecondsAndCountsDown) {
    std::uint32_t tick = 100000;
    system_clock::time_point wall = kNoon;
    const platform::ScopedTickSource ticks([&] { return tick; });
    const auto advance = [&](std::uint32_t ms) {
        tick += ms;
        wall += std::chrono::milliseconds(ms);
    };
    TTimeEstimator estimate([&] { return wall; });
    estimate.StartRun();
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(10), kCalculating); // no second has passed
    advance(5000);
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(0.009), kCalculating);
    advance(11000);
    // 16 s for 20 %, and 11 s for the last 19.991 %: 80 % at 0.8 + 0.275 s per percent.
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(20), "00:01:26");
    advance(1100);
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(21), "00:01:25");
    advance(1100);
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(22), "00:01:24");
    EXPECT_EQ(estimate.TimeSpent(), "00:00:18");

    // A new run starts from nothing.
    estimate.StartRun();
    advance(2000);
    EXPECT_EQ(estimate.GetFormattedEstimatedTime(50), kCalculating);
}

TEST(TimeEstimate, DurationsKeepEveryDigitOfTheHours) {
    EXPECT_EQ(FormatDuration(0), "00:00:00");
    EXPECT_EQ(FormatDuration(3661), "01:01:01");
    EXPECT_EQ(FormatDuration(100 * 3600 + 59), "100:00:59");
}

} // namespace
} // namespace purgix
