#include "jobs/wipe_volume.h"

#include "drives/devices.h"
#include "platform/debug.h"
#include "platform/notify.h"
#include "platform/text.h"
#include "wipe/patternclass.h"
#include "wipe/wipelibfuncs.h"
#include "wipe/wipelog.h"
#include "wipe/wipeutils.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

namespace purgix {
namespace {

// The targets as the operation line of the log names them.
std::vector<std::string> LogTargets(TWipeType type, const std::vector<std::string>& files,
                                    const std::vector<const TDeviceInfo*>& disks,
                                    const std::vector<const TDevicePartitionInformation*>& parts) {
    std::vector<std::string> targets;
    switch (type) {
    case wt_device:
        for (const TDeviceInfo* d : disks)
            targets.push_back(d->Modelname());
        break;
    case wt_partitions:
        for (const TDevicePartitionInformation* p : parts)
            targets.push_back(PartitionLogName(p->DriveLetter(), static_cast<int>(p->Number())));
        break;
    case wt_freespace:
        for (const std::string& item : files)
            targets.push_back(platform::WithTrailingSlash(item));
        break;
    case wt_file:
        break;
    }
    return targets;
}

// The name of the method `guid` in the method file, or the GUID itself when the file does not
// hold it.
std::string MethodName(const std::string& algorithmFile, const std::string& guid) {
    try {
        TWipeAlgorithms methods;
        methods.LoadFromXML(algorithmFile);
        if (const TWipeAlgorithm* method = methods.GetAlgorithmFromGUID(guid))
            return method->Name();
    } catch (const std::exception& e) {
        platform::DebugOutput(e.what());
    }
    return guid;
}

} // namespace

TThreadSafeInteger& JobIDCounter() {
    static TThreadSafeInteger counter;
    return counter;
}

TWipeJob::TWipeJob(TWipeThread* Thread) : FThread(Thread) {
    FJobID.SetValue(JobIDCounter().Update([](std::int32_t last) { return last + 1; }));
}

TWipeJob::~TWipeJob() = default;

void TWipeJob::SetLogFileName(std::string value) {
    FLogFileName = std::move(value);
    const std::size_t slash = FLogFileName.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string{} : FLogFileName.substr(0, slash + 1);
    bool created = false;
    std::error_code ec;
    if (folder.empty() || std::filesystem::create_directories(folder, ec) || !ec) {
        try {
            // Created empty and closed again: the engine writes it when the job runs.
            TWipeLog reservation;
            reservation.CreateLogFile(FLogFileName);
            created = true;
        } catch (const std::system_error& e) {
            platform::DebugOutput(e.what());
        }
    }
    if (!created)
        platform::Notify({platform::TNoticeKind::Error,
                          "Log File could´nt be opened. Maybe you are not allowed to save in "
                          "folder " +
                              folder,
                          platform::TNoticeButtons::Ok});
}

void TWipeJob::SetSTATUS_CurrentState(TWipeState value) {
    if (FWipeState.Exchange(value) != value && FThread != nullptr)
        FThread->NotifyJobChanged(*this);
}

void TWipeJob::SetCancelJob(bool value) {
    FCancelJob.SetValue(value);
    if (FThread != nullptr && FThread->Suspended())
        FThread->Resume();
}

void TWipeJob::ReportAndHandBack(bool& cancel) {
    if (!CancelJob() && FThread != nullptr)
        FThread->NotifyJobChanged(*this);
    cancel = CancelJob();
}

void TWipeJob::OnWipeProgressCallBack(TKLWiper& /*sender*/, const std::string& pCurrentItem,
                                      std::int32_t currentStage, std::int32_t iCurrentPass,
                                      std::int32_t iTotalPasses,
                                      std::int64_t /*iCurrentBytesWritten*/,
                                      std::int64_t /*iCurrentItemSize*/,
                                      std::int64_t iTotalBytesWritten, std::int64_t iTotalBytes,
                                      bool& cancel) {
    if (FThread != nullptr)
        FThread->PauseGate();
    // A job without bytes (only folders, say) has nothing to show as done.
    const double percent =
        iTotalBytes > 0 ? static_cast<double>(iTotalBytesWritten) / iTotalBytes * 100.0 : 0.0;
    FProgress.SetValue(std::clamp(percent, 0.0, 100.0));
    FCurrentItem.SetValue(pCurrentItem);
    FCurrentRound.SetValue(iCurrentPass);
    FOverallRounds.SetValue(iTotalPasses);
    FCurrentStage.SetValue(currentStage);
    ReportAndHandBack(cancel);
}

void TWipeJob::OnWipeCompleteCallBack(TKLWiper& /*sender*/, const std::string& pCurrentItem,
                                      std::int32_t /*ErrorCode*/, bool& cancel) {
    if (FThread != nullptr)
        FThread->PauseGate();
    FCurrentItem.SetValue(pCurrentItem);
    ReportAndHandBack(cancel);
}

void TWipeJob::RunJob() {
    SetSTATUS_CurrentState(wst_running);
    FLogDataError.SetValue({});
    bool hasErrors = false;
    {
        TKLWiper engine;
        engine.SetWipeType(FWipeType);
        engine.SetCreateLogFile(FCreateLogFile);
        engine.SetLogFilename(FLogFileName);
        engine.SetAlgorithmFile(FAlgorithmFile);
        engine.SetAlgorithmGUID(FMethodGUID);
        engine.SetAutoCreatePartition(FReinitDrive);
        engine.SetOverwriteFileNames(FOverWriteFileNames);
        engine.SetProgressCallBack(
            [this](TKLWiper& sender, const std::string& item, std::int32_t stage, std::int32_t pass,
                   std::int32_t passes, std::int64_t itemWritten, std::int64_t itemSize,
                   std::int64_t written, std::int64_t total, bool& cancel) {
                OnWipeProgressCallBack(sender, item, stage, pass, passes, itemWritten, itemSize,
                                       written, total, cancel);
            });
        engine.SetCompleteCallBack(
            [this](TKLWiper& sender, const std::string& item, std::int32_t code, bool& cancel) {
                OnWipeCompleteCallBack(sender, item, code, cancel);
            });
        switch (FWipeType) {
        case wt_file:
        case wt_freespace:
            engine.SetDoClusterTips(FDoClusterTips);
            engine.SetItems(FWipeFiles);
            break;
        case wt_device:
            engine.Devices() = FDisks;
            break;
        case wt_partitions:
            engine.Partitions() = FPartitions;
            break;
        }

        try {
            // A failed initialisation shows as the non-zero result of ExecuteJob.
            engine.InitializeWipeJob();
            hasErrors = engine.ExecuteJob() != WIPE_OK;
        } catch (const std::exception& e) {
            // The run stopped part-way: an error of the run, kept in its log.
            platform::DebugOutput(e.what());
            hasErrors = true;
            engine.LogError(e.what());
        }
        FLogDataError.SetValue(engine.LogDataError());
        try {
            engine.CloseWipeJob();
        } catch (const std::exception& e) {
            platform::DebugOutput(e.what());
        }
    }
    // The error flag is in place before the final state is seen.
    FHasErrors.SetValue(hasErrors);
    SetSTATUS_CurrentState(CancelJob() ? wst_aborted : wst_finished);
}

void TWipeJob::EndNotStarted() {
    TWipeLog log;
    if (FCreateLogFile) {
        try {
            log.CreateLogFile(FLogFileName);
        } catch (const std::system_error& e) {
            platform::DebugOutput(e.what());
        }
    }
    log.WriteNotStarted(FWipeType, LogTargets(FWipeType, FWipeFiles, FDisks, FPartitions),
                        GetCurrentUserName(), MethodName(FAlgorithmFile, FMethodGUID),
                        kNotStartedLine);
    FLogDataError.SetValue(log.LogDataError());
    if (log.HasLogFile()) {
        try {
            log.Close();
        } catch (const std::exception& e) {
            platform::DebugOutput(e.what());
        }
    }
    SetSTATUS_CurrentState(wst_aborted);
}

TWipeThread::TWipeThread(platform::TMessageTarget& Wnd, std::int32_t MsgID)
    : FWnd(Wnd), FMsgID(MsgID) {}

TWipeThread::~TWipeThread() {
    if (FThread.joinable()) {
        Terminate();
        Resume();
        FThread.join();
    }
}

void TWipeThread::Start() {
    if (FStarted)
        return;
    FStarted = true;
    FThread = std::thread([this] {
        Execute();
        NotifyThreadDone();
        FFinished.store(true);
    });
}

void TWipeThread::Suspend() {
    std::lock_guard lock(FGateLock);
    FSuspended = true;
}

void TWipeThread::Resume() {
    {
        std::lock_guard lock(FGateLock);
        FSuspended = false;
    }
    FGateOpen.notify_all();
}

bool TWipeThread::Suspended() const {
    std::lock_guard lock(FGateLock);
    return FSuspended;
}

void TWipeThread::WaitFor() {
    if (FThread.joinable())
        FThread.join();
}

void TWipeThread::PauseGate() {
    std::unique_lock lock(FGateLock);
    FGateOpen.wait(lock, [this] { return !FSuspended; });
}

void TWipeThread::NotifyJobChanged(const TWipeJob& Job) {
    FWnd.Post({static_cast<std::uint32_t>(FMsgID), 1, Job.STATUS_JOBID()});
}

void TWipeThread::NotifyThreadDone() {
    FWnd.Send({static_cast<std::uint32_t>(FMsgID), 0, 0});
}

void TWipeThread::Execute() {
    // Jobs are never added to a running worker.
    const std::size_t count = FJobs.size();
    std::size_t next = 0;
    bool cancelled = false;
    while (next < count) {
        TWipeJob& job = *FJobs[next++];
        job.RunJob();
        if (job.CancelJob()) {
            cancelled = true;
            break;
        }
        if (Terminated())
            break;
    }
    // What a cancellation leaves unrun still ends, so that the run as a whole can end.
    if (cancelled)
        while (next < count)
            FJobs[next++]->EndNotStarted();
}

} // namespace purgix
