#include "jobs/jobqueue.h"

#include "drives/devices.h"
#include "drives/vwin32.h"
#include "platform/notify.h"
#include "platform/text.h"
#include "wipe/wipeutils.h"

#include <filesystem>
#include <set>

namespace purgix {
namespace {

using platform::TNotice;
using platform::TNoticeAnswer;
using platform::TNoticeButtons;
using platform::TNoticeKind;

constexpr std::string_view kInQueue = "In queue";

bool Busy(const TWipeJob& job) {
    const TWipeState s = job.STATUS_CurrentState();
    return s == wst_running || s == wst_paused || s == wst_queued;
}

// The block devices right below `kernelName` (sysfs "slaves").
std::vector<std::string> Slaves(const std::string& kernelName) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/sys/class/block/" + kernelName + "/slaves", ec))
        names.push_back(entry.path().filename().string());
    return names;
}

// The disk number of a block device, following stacked devices down to a disk.
int DiskOfDevice(const std::string& kernelName, std::set<std::string>& seen) {
    if (!seen.insert(kernelName).second)
        return -1;
    int type = -1, number = -1, partition = -1;
    if (GetDeviceNumberOfPath("/dev/" + kernelName, type, number, partition) && number >= 0)
        return number;
    for (const std::string& below : Slaves(kernelName))
        if (const int n = DiskOfDevice(below, seen); n >= 0)
            return n;
    return -1;
}

} // namespace

int PhysicalDiskOfVolume(const std::string& mountPoint) {
    int type = -1, number = -1, partition = -1;
    if (GetDriveDeviceNumber(mountPoint, type, number, partition) && number >= 0)
        return number;
    const std::string device = GetVolumeDevicePath(mountPoint);
    const std::size_t slash = device.rfind('/');
    if (device.empty() || slash == std::string::npos)
        return -1;
    std::set<std::string> seen;
    return DiskOfDevice(device.substr(slash + 1), seen);
}

std::vector<TStatusRow*> TStatusList::Rows() {
    std::vector<TStatusRow*> rows;
    for (auto& g : FGroups)
        for (TStatusRow& r : g->rows)
            rows.push_back(&r);
    return rows;
}

std::vector<const TWipeJob*> TStatusList::Jobs() const {
    std::vector<const TWipeJob*> jobs;
    for (const auto& g : FGroups)
        for (const TStatusRow& r : g->rows)
            jobs.push_back(r.job.get());
    return jobs;
}

bool TStatusList::Empty() const {
    for (const auto& g : FGroups)
        if (!g->rows.empty())
            return false;
    return true;
}

TStatusRow* TStatusList::ItemByJob(const TWipeJob* job) {
    for (auto& g : FGroups)
        for (TStatusRow& r : g->rows)
            if (r.job.get() == job)
                return &r;
    return nullptr;
}

TStatusGroup* TStatusList::GroupByTag(int tag) {
    for (auto& g : FGroups)
        if (g->tag == tag)
            return g.get();
    return nullptr;
}

TJobController::TJobController(platform::TMessageTarget& wnd, TJobEnvironment env)
    : FWnd(wnd), FEnv(std::move(env)), FEstimator(FEnv.clock), FDecimalPoint(LocaleDecimalPoint()) {
    if (!FEnv.diskOfVolume)
        FEnv.diskOfVolume = PhysicalDiskOfVolume;
    if (!FEnv.volumeOfPath)
        FEnv.volumeOfPath = ExtractDrive;
    if (!FEnv.clock)
        FEnv.clock = std::chrono::system_clock::now;
}

TJobController::~TJobController() {
    ClearList();
    // Each group waits for its worker before it releases the jobs.
    FRetired.clear();
}

std::string TJobController::Today() const {
    return ShortDateText(FEnv.clock());
}

void TJobController::ClearList() {
    FSelected = nullptr;
    for (auto& g : FList.TakeAll())
        FRetired.push_back(std::move(g));
    // A worker that has handed in its end message only leaves its thread; the others keep
    // their groups until then.
    std::erase_if(FRetired, [](const std::unique_ptr<TStatusGroup>& g) {
        return !g->worker->Started() || g->worker->Finished();
    });
}

void TJobController::WMStartJobs(TJobType type, const TFileSelection& files,
                                 const TFreeSpaceSelection& freeSpace,
                                 const TDriveSelection& drives) {
    BeginRun(type);
    switch (type) {
    case jt_file:
        StartFileWhipeThread(files);
        break;
    case jt_freespace:
        StartFreeSpaceWhipeThread(freeSpace);
        break;
    case jt_drive:
        StartWipeThread(drives);
        break;
    default:
        break;
    }
    StartWorkers();
}

void TJobController::BeginRun(TJobType type) {
    FEstimator.StartRun();
    FJobType = type;
    FCancel = false;
    FRunActive = true;
    FTimeSpent = FormatDuration(0);
    FEstimate = std::string(kCalculating);
    FDetails = TJobDetails{};
    FDetails.currentStatus = "Click on a job to show details.";
    ClearList();
}

void TJobController::StartWorkers() {
    for (auto& g : FList.Groups())
        g->worker->Start();
    const std::vector<TStatusRow*> rows = FList.Rows();
    SelectJob(rows.empty() ? nullptr : rows.front()->job.get());
}

void TJobController::SelectJob(const TWipeJob* job) {
    FSelected = job;
}

TStatusGroup& TJobController::AddGroup(int tag) {
    auto group = std::make_unique<TStatusGroup>();
    group->worker = std::make_unique<TWipeThread>(FWnd, platform::WM_WIPEJOB);
    group->tag = tag;
    FList.Groups().push_back(std::move(group));
    return *FList.Groups().back();
}

std::unique_ptr<TWipeJob> TJobController::CreateJob(TWipeThread* worker,
                                                    const std::string& fileName) {
    auto job = std::make_unique<TWipeJob>(worker);
    job->SetAlgorithmFile(FEnv.algorithmFile);
    job->SetMethodGUID(FEnv.methodGUID);
    job->SetCreateLogFile(true);
    // The setter creates the file at once, so the next job of that name gets "(1)".
    job->SetLogFileName(GetUniqueFileName(FEnv.logFileDir + MakeValidFileName(fileName)));
    return job;
}

void TJobController::CaptionGroups() {
    for (auto& g : FList.Groups()) {
        const TDiskLook look = FEnv.diskLook ? FEnv.diskLook(g->tag) : TDiskLook{};
        if (look.valid) {
            g->caption = look.caption;
            g->imageIndex = look.removable ? 1 : 0;
        } else {
            g->caption = "Drive " + std::to_string(g->tag);
            g->imageIndex = 0;
        }
    }
}

void TJobController::StartWipeThread(const TDriveSelection& selection) {
    for (const TDriveSelection::Disk& disk : selection.disks) {
        const auto addGroup = [&]() -> TStatusGroup& {
            TStatusGroup& g = AddGroup(disk.disk != nullptr ? disk.disk->DeviceNumber() : -1);
            g.caption = disk.caption;
            g.imageIndex = disk.imageIndex;
            return g;
        };
        if (disk.checked) {
            TStatusGroup& g = addGroup();
            auto job = CreateJob(g.worker.get(), disk.caption + "-" + Today() + ".htm");
            job->SetWipeType(wt_device);
            job->Disks().push_back(disk.disk);
            g.worker->Jobs().push_back(job.get());
            g.rows.push_back({std::move(job), "Complete Drive", std::string(kInQueue)});
            continue;
        }
        TStatusGroup* group = nullptr;
        for (const TDriveSelection::Partition& part : disk.partitions) {
            if (!part.checked)
                continue;
            if (group == nullptr)
                group = &addGroup();
            const TDeviceInfo* owner = part.entry->Device();
            const int diskNumber = owner != nullptr ? owner->DeviceNumber() : group->tag;
            auto job = CreateJob(group->worker.get(), "Drive" + std::to_string(diskNumber) + "_" +
                                                          std::to_string(part.entry->Number()) +
                                                          "-" + Today() + ".htm");
            job->SetReininitDrive(false);
            job->SetWipeType(wt_partitions);
            job->Partitions().push_back(part.entry);
            group->worker->Jobs().push_back(job.get());
            group->rows.push_back({std::move(job), part.caption, std::string(kInQueue)});
        }
    }
}

void TJobController::StartFreeSpaceWhipeThread(const TFreeSpaceSelection& selection) {
    FClusterTips = selection.clusterTips;
    FDeletedNames = selection.deletedNames;
    for (const std::string& volume : selection.volumes) {
        const int disk = FEnv.diskOfVolume(volume);
        // A volume whose disk cannot be found shares its worker with no other.
        TStatusGroup* group = disk >= 0 ? FList.GroupByTag(disk) : nullptr;
        if (group == nullptr)
            group = &AddGroup(disk);
        AddFreeSpaceJob(volume, *group->worker, *group);
    }
    CaptionGroups();
}

void TJobController::AddFreeSpaceJob(const std::string& mountPoint, TWipeThread& worker,
                                     TStatusGroup& group) {
    auto job = CreateJob(&worker, "Freespace@" + mountPoint + "-" + Today() + ".htm");
    job->SetWipeType(wt_freespace);
    job->SetDoClusterTips(FClusterTips);
    job->SetOverWriteFileNames(FDeletedNames);
    job->SetDrive(mountPoint);
    job->WipeFiles().push_back(mountPoint);
    worker.Jobs().push_back(job.get());
    group.rows.push_back(
        {std::move(job), "Wipe freespace of drive " + mountPoint, std::string(kInQueue)});
}

void TJobController::StartFileWhipeThread(const TFileSelection& selection) {
    for (const TFileSelection::Row& row : selection.rows) {
        TStatusGroup* group = FList.GroupByTag(0);
        if (group == nullptr)
            group = &AddGroup(0);
        std::string resolved;
        if (FileExistsEx(row.path, resolved, true, false, true) ||
            DirectoryExistsEx(platform::WithTrailingSlash(row.path), resolved, true, true))
            AddFileToJob(resolved, *group->worker, *group);
        if (!row.indexFile.empty())
            AddFileToJob(row.indexFile, *group->worker, *group);
    }
    CaptionGroups();
}

void TJobController::AddFileToJob(const std::string& path, TWipeThread& worker,
                                  TStatusGroup& group) {
    const std::string drive = FEnv.volumeOfPath(path);
    for (TStatusRow* row : FList.Rows()) {
        if (row->job->Drive() == drive) {
            row->job->WipeFiles().push_back(path);
            row->caption = std::to_string(row->job->WipeFiles().size()) + " files on drive " +
                           row->job->Drive();
            return;
        }
    }
    auto job = CreateJob(&worker, "Files-" + Today() + ".htm");
    job->SetWipeType(wt_file);
    job->SetDrive(drive);
    job->WipeFiles().push_back(path);
    worker.Jobs().push_back(job.get());
    group.rows.push_back({std::move(job), "1 file on drive " + drive, std::string(kInQueue)});
}

void TJobController::OnThreadTerminate(const platform::TMessage& message) {
    if (message.wParam != 0) {
        for (TStatusRow* row : FList.Rows()) {
            if (row->job->STATUS_JOBID() == message.lParam) {
                OnJobStatusChanged(*row->job);
                return;
            }
        }
        return;
    }
    if (!FRunActive)
        return;
    for (TStatusRow* row : FList.Rows())
        if (Busy(*row->job))
            return;
    Summary();
}

void TJobController::Summary() {
    // A second worker that ends while the question is open finds the run summed up already.
    FRunActive = false;
    const std::vector<TStatusRow*> rows = FList.Rows();
    bool errors = false;
    for (const TStatusRow* row : rows)
        errors = errors || row->job->STATUS_HasErrors();
    if (errors) {
        if (platform::Notify({TNoticeKind::Warning, std::string(kSummaryErrors),
                              TNoticeButtons::YesNo}) == TNoticeAnswer::Yes) {
            std::string text;
            for (const TStatusRow* row : rows)
                if (row->job->STATUS_HasErrors())
                    text += "\r\n" + row->job->LogDataError();
            if (FEnv.showReport)
                FEnv.showReport(text);
        }
    } else if (platform::Notify({TNoticeKind::Information, std::string(kSummaryDone),
                                 TNoticeButtons::YesNo}) == TNoticeAnswer::Yes) {
        if (FEnv.openLog)
            for (const TStatusRow* row : rows)
                FEnv.openLog(row->job->LogFileName(), FEnv.logFileDir);
    }
    ClearList();
    if (FEnv.showStartPage)
        FEnv.showStartPage();
}

void TJobController::OnJobStatusChanged(const TWipeJob& job) {
    const int stages = Stages();
    const double percent = JobOverallProgress(FJobType, stages, job.STATUS_CurrentStage(),
                                              job.STATUS_CurrentProgress());
    if (TStatusRow* row = FList.ItemByJob(&job)) {
        row->status = JobStatusText(job.STATUS_CurrentState(), job.STATUS_HasErrors(), percent,
                                    FDecimalPoint);
        FTimeSpent = FEstimator.TimeSpent();
        if (FSelected == &job) {
            TJobDetails details = JobDetails(job, FJobType, percent);
            if (!details.statusLine)
                details.statusLine = FDetails.statusLine;
            FDetails = std::move(details);
        }
    }
    const std::vector<const TWipeJob*> jobs = FList.Jobs();
    if (!jobs.empty())
        FEstimate = FEstimator.SetEstimatedTime(jobs, FJobType, stages);
    if (FEnv.jobStatusChanged)
        FEnv.jobStatusChanged(job);
}

void TJobController::PauseSelectedJob() {
    TStatusRow* row = FList.ItemByJob(FSelected);
    if (row == nullptr)
        return;
    TWipeJob& job = *row->job;
    TWipeThread* worker = job.WipeThread();
    if (worker->Suspended()) {
        worker->Resume();
        if (job.STATUS_CurrentState() == wst_paused)
            job.SetSTATUS_CurrentState(wst_running);
    } else {
        worker->Suspend();
        if (job.STATUS_CurrentState() == wst_running)
            job.SetSTATUS_CurrentState(wst_paused);
    }
}

void TJobController::CancelSelectedJob() {
    if (TStatusRow* row = FList.ItemByJob(FSelected))
        row->job->SetCancelJob(true);
}

void TJobController::AbortAll(bool& stop) {
    stop = true;
    if (FList.Empty())
        return;
    if (platform::Notify({TNoticeKind::Confirmation, std::string(kAbortAllQuestion),
                          TNoticeButtons::YesNo}) != TNoticeAnswer::Yes)
        return;
    stop = false;
    FCancel = true;
    for (TStatusRow* row : FList.Rows()) {
        TWipeThread* worker = row->job->WipeThread();
        if (worker->Suspended())
            worker->Resume();
        if (Busy(*row->job))
            row->job->SetCancelJob(true);
    }
}

} // namespace purgix
