// Wipe jobs and the worker threads that run them.
//
// A job (TWipeJob) is one run of the wipe engine over one target: files and folders of one
// volume, the free space of one volume, whole disks, or partitions. A worker (TWipeThread) runs
// its jobs one after another on its own thread. The window's thread builds the jobs, starts the
// workers and then only watches: every value that both threads touch is a status holder
// (TThreadSafe) with its own lock, and no two holders are ever locked at once. A worker tells
// its window that a job changed by posting a message that carries only the job's ID; the
// window then reads the holders itself.
//
// A "drive" of a job is the mount point of a volume (a string with a trailing "/"), empty for
// none.
#pragma once

#include "platform/messages.h"
#include "wipe/wipetypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace purgix {

class TDeviceInfo;
class TDevicePartitionInformation;
class TKLWiper;
class TWipeThread;

// State of a job; the ordinals travel through the status holder as integers.
enum TWipeState : std::int32_t {
    wst_running = 0,  // the engine is working on the job
    wst_finished = 1, // the run ended without cancellation (with or without errors)
    wst_paused = 2,   // the job's worker is held by the user
    wst_aborted = 3,  // the run ended after a cancellation, or never started because of one
    wst_queued = 4,   // created, not started yet
};

// A value with its own lock: every read and every write takes the lock for that one access. A
// read followed by a write is two accesses; Exchange and Update are one.
template <typename T>
class TThreadSafe {
public:
    TThreadSafe() = default;
    explicit TThreadSafe(T value) : FValue(std::move(value)) {}
    TThreadSafe(const TThreadSafe&) = delete;
    TThreadSafe& operator=(const TThreadSafe&) = delete;

    T Value() const {
        std::lock_guard lock(FLock);
        return FValue;
    }
    void SetValue(T value) {
        std::lock_guard lock(FLock);
        FValue = std::move(value);
    }
    // Stores `value` and returns the value it replaced.
    T Exchange(T value) {
        std::lock_guard lock(FLock);
        return std::exchange(FValue, std::move(value));
    }
    // Replaces the value by change(value) and returns the new value. `change` runs under the
    // lock and must not touch another holder.
    template <typename F>
    T Update(F change) {
        std::lock_guard lock(FLock);
        FValue = change(FValue);
        return FValue;
    }

private:
    mutable std::mutex FLock;
    T FValue{};
};

using TThreadSafeInteger = TThreadSafe<std::int32_t>;
using TThreadSafeDouble = TThreadSafe<double>;
using TThreadSafeString = TThreadSafe<std::string>;
using TThreadSafeBoolean = TThreadSafe<bool>;

// The last job number handed out in this process (0 at start).
TThreadSafeInteger& JobIDCounter();

// The failure line in the log of a job that a cancelled job before it left unrun.
inline constexpr std::string_view kNotStartedLine =
    "Not started: an earlier job on this drive was cancelled.";

// One wipe job. Targets, method, log and options are set in the window's thread before the
// worker starts; the STATUS_ holders, CancelJob and LogDataError are read and written from both
// threads.
class TWipeJob {
public:
    // `Thread` runs the job and delivers its messages; null only for a job that never runs.
    // Takes the next job number.
    explicit TWipeJob(TWipeThread* Thread);
    TWipeJob(const TWipeJob&) = delete;
    TWipeJob& operator=(const TWipeJob&) = delete;
    ~TWipeJob();

    // Declared for partition ranges and drives; nothing reads them.
    std::int64_t PartitionSectorOffset() const noexcept { return FPartitionOffset; }
    void SetPartitionSectorOffset(std::int64_t value) noexcept { FPartitionOffset = value; }
    std::int32_t DriveNumber() const noexcept { return FDriveNumber; }
    void SetDriveNumber(std::int32_t value) noexcept { FDriveNumber = value; }
    std::int64_t PartitionSectorCount() const noexcept { return FPartitionLen; }
    void SetPartitionSectorCount(std::int64_t value) noexcept { FPartitionLen = value; }

    // Mount point of the volume of a file or free-space job.
    const std::string& Drive() const noexcept { return FDrive; }
    void SetDrive(std::string value) { FDrive = std::move(value); }
    // File job: full paths of files and folders. Free-space job: the volume's mount point.
    std::vector<std::string>& WipeFiles() noexcept { return FWipeFiles; }
    const std::vector<std::string>& WipeFiles() const noexcept { return FWipeFiles; }
    // Braced GUID of the wipe method.
    const std::string& MethodGUID() const noexcept { return FMethodGUID; }
    void SetMethodGUID(std::string value) { FMethodGUID = std::move(value); }
    TWipeType WipeType() const noexcept { return FWipeType; }
    void SetWipeType(TWipeType value) noexcept { FWipeType = value; }
    TWipeThread* WipeThread() const noexcept { return FThread; }
    bool CreateLogFile() const noexcept { return FCreateLogFile; }
    void SetCreateLogFile(bool value) noexcept { FCreateLogFile = value; }
    // Full path of the wipe log.
    const std::string& LogFileName() const noexcept { return FLogFileName; }
    // Stores the path, creates its missing folders and the file itself, empty, so that the name
    // is taken for the next job's search of a free log name. When that fails the user is told
    // "Log File could´nt be opened. Maybe you are not allowed to save in folder %s" (the folder
    // of the path); the path stays stored either way.
    void SetLogFileName(std::string value);
    // Full path of the method file.
    const std::string& AlgorithmFile() const noexcept { return FAlgorithmFile; }
    void SetAlgorithmFile(std::string value) { FAlgorithmFile = std::move(value); }
    bool DoClusterTips() const noexcept { return FDoClusterTips; }
    void SetDoClusterTips(bool value) noexcept { FDoClusterTips = value; }
    // Whole-disk jobs: write a fresh partition table afterwards.
    bool ReininitDrive() const noexcept { return FReinitDrive; }
    void SetReininitDrive(bool value) noexcept { FReinitDrive = value; }
    bool OverWriteFileNames() const noexcept { return FOverWriteFileNames; }
    void SetOverWriteFileNames(bool value) noexcept { FOverWriteFileNames = value; }
    // Entries of the drive list; not owned.
    std::vector<const TDevicePartitionInformation*>& Partitions() noexcept { return FPartitions; }
    std::vector<const TDeviceInfo*>& Disks() noexcept { return FDisks; }
    // The engine's header and failure lines after the run.
    std::string LogDataError() const { return FLogDataError.Value(); }

    std::int32_t STATUS_JOBID() const { return FJobID.Value(); }
    TWipeState STATUS_CurrentState() const { return static_cast<TWipeState>(FWipeState.Value()); }
    // Stores a state that differs from the held one and then posts the job message; an equal
    // state does nothing.
    void SetSTATUS_CurrentState(TWipeState value);
    // Percent of the job's bytes written, 0 to 100.
    double STATUS_CurrentProgress() const { return FProgress.Value(); }
    std::string STATUS_CurrentItem() const { return FCurrentItem.Value(); }
    bool STATUS_HasErrors() const { return FHasErrors.Value(); }
    std::int32_t STATUS_CurrentStage() const { return FCurrentStage.Value(); }
    // Pass within the method, from 1.
    std::int32_t STATUS_CurrentRound() const { return FCurrentRound.Value(); }
    std::int32_t STATUS_OverallRounds() const { return FOverallRounds.Value(); }
    bool CancelJob() const { return FCancelJob.Value(); }
    // Stores the flag; a held worker is let go so that the job sees the cancellation.
    void SetCancelJob(bool value);

    // The engine's progress report, in the worker.
    void OnWipeProgressCallBack(TKLWiper& sender, const std::string& pCurrentItem,
                                std::int32_t currentStage, std::int32_t iCurrentPass,
                                std::int32_t iTotalPasses, std::int64_t iCurrentBytesWritten,
                                std::int64_t iCurrentItemSize, std::int64_t iTotalBytesWritten,
                                std::int64_t iTotalBytes, bool& cancel);
    // The engine's report that an item is done, in the worker.
    void OnWipeCompleteCallBack(TKLWiper& sender, const std::string& pCurrentItem,
                                std::int32_t ErrorCode, bool& cancel);

    // Runs the job on the calling thread: running, the engine's InitializeWipeJob, ExecuteJob
    // and CloseWipeJob, then finished (or aborted when cancelled). A run has errors when
    // ExecuteJob gives a non-zero result or an exception escapes the engine; the exception's
    // text then becomes a failure line of the log.
    void RunJob();
    // Ends a job that is never run because a cancelled job before it stopped its worker: it
    // becomes aborted and its log (when it has one) a signed document that says so.
    void EndNotStarted();

private:
    // Posts the job message unless the job is cancelled; hands the cancel flag back.
    void ReportAndHandBack(bool& cancel);

    std::int64_t FPartitionOffset = 0;
    std::int32_t FDriveNumber = 0;
    std::int64_t FPartitionLen = 0;
    std::string FDrive;
    std::vector<std::string> FWipeFiles;
    std::string FMethodGUID;
    TWipeType FWipeType = wt_device;
    TWipeThread* FThread = nullptr;
    bool FCreateLogFile = false;
    std::string FLogFileName;
    std::string FAlgorithmFile;
    bool FDoClusterTips = false;
    bool FReinitDrive = true;
    bool FOverWriteFileNames = false;
    std::vector<const TDevicePartitionInformation*> FPartitions;
    std::vector<const TDeviceInfo*> FDisks;
    TThreadSafeString FLogDataError;
    TThreadSafeInteger FJobID;
    TThreadSafeInteger FWipeState{wst_queued};
    TThreadSafeDouble FProgress;
    TThreadSafeString FCurrentItem;
    TThreadSafeBoolean FHasErrors;
    TThreadSafeInteger FCurrentStage;
    TThreadSafeInteger FCurrentRound;
    TThreadSafeInteger FOverallRounds;
    TThreadSafeBoolean FCancelJob;
};

// A worker: runs its jobs one after another on a thread of its own and reports to a message
// target. It is created not started; Start runs it. Suspend holds it at its next engine
// callback (it then holds no lock), Resume lets it go on. When it has left its job loop it
// sends the end-of-thread message (wParam 0, lParam 0) and waits until the target's thread has
// handled it, so that thread must keep handling messages until then.
class TWipeThread {
public:
    // `Wnd` receives the messages with the number `MsgID` (the window passes WM_WIPEJOB); it
    // must outlive the worker's run.
    TWipeThread(platform::TMessageTarget& Wnd, std::int32_t MsgID);
    TWipeThread(const TWipeThread&) = delete;
    TWipeThread& operator=(const TWipeThread&) = delete;
    // Waits for a started worker to end (it is asked to terminate and let go first). The jobs
    // are not released: they belong to whoever created them.
    ~TWipeThread();

    // The jobs in the order they run; filled before Start.
    std::vector<TWipeJob*>& Jobs() noexcept { return FJobs; }
    const std::vector<TWipeJob*>& Jobs() const noexcept { return FJobs; }

    // Starts the thread (once; later calls do nothing).
    void Start();
    bool Started() const noexcept { return FStarted; }
    // Holds the worker at its next engine callback; Resume lets it go on.
    void Suspend();
    void Resume();
    bool Suspended() const;
    // Asks the worker to leave its job loop after the current job.
    void Terminate() noexcept { FTerminated.store(true); }
    bool Terminated() const noexcept { return FTerminated.load(); }
    // True once the end-of-thread message has been handled.
    bool Finished() const noexcept { return FFinished.load(); }
    // Waits until a started thread has ended (at once when it never started).
    void WaitFor();

    // Posts the job message (wParam 1, lParam the job's ID).
    void NotifyJobChanged(const TWipeJob& Job);

    // Where a job's engine callbacks wait while the worker is held.
    void PauseGate();

private:
    // The thread body: each job in order, leaving the loop after a cancelled job or when asked
    // to terminate; the jobs a cancellation leaves unrun end as not started.
    void Execute();
    // Sends the end-of-thread message; the worker waits until it has been handled.
    void NotifyThreadDone();

    std::vector<TWipeJob*> FJobs;
    platform::TMessageTarget& FWnd;
    std::int32_t FMsgID;

    std::thread FThread;
    bool FStarted = false; // the window's thread only
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    mutable std::mutex FGateLock;
    std::condition_variable FGateOpen;
    bool FSuspended = false; // guarded by FGateLock
};

} // namespace purgix
