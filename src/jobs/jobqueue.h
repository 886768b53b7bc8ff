// The job controller: turns the selection of a task into jobs grouped into workers (one worker
// per physical disk; all file jobs share one), starts them, follows their messages, pauses,
// resumes and cancels them, and sums the run up when the last worker has ended. The window and
// purgix-cli both drive it and only draw what it holds.
#pragma once

#include "jobs/jobstatus.h"
#include "jobs/wipe_volume.h"
#include "platform/messages.h"
#include "wipe/wipelog.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace purgix {

class TDeviceInfo;
class TDevicePartitionInformation;

// One row of the status list: a job of the run.
struct TStatusRow {
    std::unique_ptr<TWipeJob> job;
    std::string caption;
    std::string status; // the "Status" cell
};

// One group of the status list: a worker and the rows of its jobs. The tag is the number of the
// physical disk the worker works on.
struct TStatusGroup {
    // Declared first so that it is released last: after the worker, which refers to the jobs.
    std::vector<TStatusRow> rows;
    std::unique_ptr<TWipeThread> worker;
    int tag = 0;
    std::string caption;
    int imageIndex = 0; // 1 removable media, else 0
};

// The status list: groups in order, rows in order within a group. It owns the run's workers
// and jobs.
class TStatusList {
public:
    std::vector<std::unique_ptr<TStatusGroup>>& Groups() noexcept { return FGroups; }
    const std::vector<std::unique_ptr<TStatusGroup>>& Groups() const noexcept { return FGroups; }
    // Every row in list order.
    std::vector<TStatusRow*> Rows();
    std::vector<const TWipeJob*> Jobs() const;
    bool Empty() const;
    // The first row whose job is `job`, or null.
    TStatusRow* ItemByJob(const TWipeJob* job);
    // The first group with that tag, or null.
    TStatusGroup* GroupByTag(int tag);
    // Takes every group out of the list.
    std::vector<std::unique_ptr<TStatusGroup>> TakeAll() { return std::exchange(FGroups, {}); }

private:
    std::vector<std::unique_ptr<TStatusGroup>> FGroups;
};

// The selection of a task, as the wizard pages hold it.
struct TFileSelection {
    struct Row {
        std::string path;
        std::string indexFile; // recycle-bin entries: the path of the entry's index file
    };
    std::vector<Row> rows; // in file-list order
};
struct TFreeSpaceSelection {
    std::vector<std::string> volumes; // mount points of the checked volumes, in list order
    bool clusterTips = true;          // "Overwrite Clustertips"
    bool deletedNames = true;         // "Overwrite deleted filenames for FAT drives, too"
};
struct TDriveSelection {
    struct Partition {
        const TDevicePartitionInformation* entry = nullptr;
        std::string caption; // the row's caption in the drive list
        bool checked = false;
    };
    struct Disk {
        const TDeviceInfo* disk = nullptr;
        std::string caption; // model name, ": " and size, as the drive list shows it
        int imageIndex = 0;
        bool checked = false;
        std::vector<Partition> partitions;
    };
    std::vector<Disk> disks; // in drive-list order
};

// How a group of a file or free-space run is captioned: the disk's look, when it is valid.
struct TDiskLook {
    bool valid = false;
    std::string caption; // model name + ": " + size text
    bool removable = false;
};

// What the controller needs from around it.
struct TJobEnvironment {
    std::string algorithmFile; // the method file
    std::string methodGUID;    // LastMethodGUID
    std::string logFileDir;    // LogFileDir, ending with "/"
    // The number of the physical disk of a volume (mount point); -1 when it cannot be found.
    // Default: PhysicalDiskOfVolume.
    std::function<int(const std::string& mountPoint)> diskOfVolume;
    // The volume (mount point) that holds a path. Default: ExtractDrive.
    std::function<std::string(const std::string& path)> volumeOfPath;
    // The look of physical disk `number`.
    std::function<TDiskLook(int number)> diskLook;
    // The wall clock of the run's start and of the dates in log names (default: system clock).
    TLogClock clock;

    // Shows an HTML text in the log viewer.
    std::function<void(const std::string& html)> showReport;
    // Opens a log file in the program registered for it, with `folder` as working folder.
    std::function<void(const std::string& logFile, const std::string& folder)> openLog;
    std::function<void()> showStartPage;
    // A job's row or the detail area changed (redraw).
    std::function<void(const TWipeJob& job)> jobStatusChanged;
};

// The physical disk number of the volume mounted at `mountPoint`: the disk of its block device,
// or, for a volume on dm-crypt, LVM or md, the disk of the first device below it (sysfs
// "slaves"). -1 when no disk is found.
int PhysicalDiskOfVolume(const std::string& mountPoint);

// Texts of the end of a run and of aborting.
inline constexpr std::string_view kSummaryErrors =
    "Operation complete but there were errors.\r\n\r\nWould you like to see the error log?";
inline constexpr std::string_view kSummaryDone =
    "All operations completed!\r\nDo you want to view the logfiles now?";
inline constexpr std::string_view kAbortAllQuestion = "Are you sure you want to abort all jobs?";

class TJobController {
public:
    // `wnd` receives the workers' WM_WIPEJOB messages and hands them to OnThreadTerminate.
    TJobController(platform::TMessageTarget& wnd, TJobEnvironment env);
    TJobController(const TJobController&) = delete;
    TJobController& operator=(const TJobController&) = delete;
    // Waits for the workers: every end message must have been handled by then.
    ~TJobController();

    TStatusList& StatusList() noexcept { return FList; }
    TJobType JobType() const noexcept { return FJobType; }
    int Stages() const noexcept { return StageCount(FJobType, FClusterTips); }
    TTimeEstimator& Estimator() noexcept { return FEstimator; }

    // The run: BeginRun, the builder of the task, StartWorkers.
    void WMStartJobs(TJobType type, const TFileSelection& files,
                     const TFreeSpaceSelection& freeSpace, const TDriveSelection& drives);
    // A run of `type` starts: estimator and start time reset, status list cleared.
    void BeginRun(TJobType type);
    // The builders of the three tasks.
    void StartFileWhipeThread(const TFileSelection& selection);
    void StartFreeSpaceWhipeThread(const TFreeSpaceSelection& selection);
    void StartWipeThread(const TDriveSelection& selection);
    // Adds `path` to the file job of its volume, or makes that job.
    void AddFileToJob(const std::string& path, TWipeThread& worker, TStatusGroup& group);
    void AddFreeSpaceJob(const std::string& mountPoint, TWipeThread& worker, TStatusGroup& group);
    // Starts every group's worker in group order and selects the first row.
    void StartWorkers();

    // The selected row's job (the window's selection); null for none.
    const TWipeJob* SelectedJob() const noexcept { return FSelected; }
    void SelectJob(const TWipeJob* job);

    // Handler of WM_WIPEJOB: a job changed (wParam 1, lParam its ID), or a worker ended
    // (wParam 0), which brings the summary once no job is running, paused or queued. The
    // summary comes once per run.
    void OnThreadTerminate(const platform::TMessage& message);
    // Redraws a job: its row's status text, the time spent, the details when it is the
    // selected job, the estimate.
    void OnJobStatusChanged(const TWipeJob& job);

    // What the status page shows besides the rows.
    const std::string& TimeSpent() const noexcept { return FTimeSpent; }
    const std::string& Estimate() const noexcept { return FEstimate; }
    const TJobDetails& Details() const noexcept { return FDetails; }

    // "Pause Job" / "Resume Job" and "Cancel Job" for the selected job.
    void PauseSelectedJob();
    void CancelSelectedJob();
    // The status page's cancel: asks whether to abort all jobs; on yes cancels every job that
    // is running, paused or queued (a held worker is let go first). `stop` stays true when the
    // page is kept (no rows, or the answer no).
    void AbortAll(bool& stop);
    // True once the user agreed to abort all jobs in this run.
    bool Cancelled() const noexcept { return FCancel; }

private:
    // A new job of `worker` with the run's method and a reserved log of `fileName`.
    std::unique_ptr<TWipeJob> CreateJob(TWipeThread* worker, const std::string& fileName);
    TStatusGroup& AddGroup(int tag);
    void CaptionGroups();
    void Summary();
    // Drops the run's groups; workers that have not ended are kept until they have.
    void ClearList();
    std::string Today() const;

    platform::TMessageTarget& FWnd;
    TJobEnvironment FEnv;
    TStatusList FList;
    // Groups taken out of the list whose workers may still be leaving their loop.
    std::vector<std::unique_ptr<TStatusGroup>> FRetired;
    TTimeEstimator FEstimator;
    TJobType FJobType = jt_file;
    bool FClusterTips = false; // the free-space check boxes of the run
    bool FDeletedNames = false;
    bool FCancel = false;
    bool FRunActive = false; // from BeginRun until the summary
    const TWipeJob* FSelected = nullptr;
    char FDecimalPoint = '.';
    std::string FTimeSpent;
    std::string FEstimate;
    TJobDetails FDetails;
};

} // namespace purgix
