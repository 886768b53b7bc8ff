#include "wipe/wipelibfuncs.h"

#include "drives/DriveInfos.h"
#include "drives/devices.h"
#include "platform/mounts.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "wipe/wipeutils.h"

#include <sys/stat.h>

#include <stdexcept>

namespace purgix {
namespace {

constexpr std::int64_t kWriteBlockTarget = 51200000;
constexpr std::uint32_t kProgressInterval = 500; // ms between two delivered reports

// A job item as the file system sees it: environment variables expanded.
std::string Expanded(const std::string& item) {
    std::string path = item;
    ExpandEnvironment(path);
    return path;
}

} // namespace

TVolumeFacts QueryVolumeFacts(const std::string& mountPoint) {
    TVolumeFacts facts;
    const TDriveInfo info(mountPoint);
    facts.clusterSize = info.BytesPerCluster();
    facts.freeBytes = info.TotalFreeBytes();
    facts.totalBytes = info.TotalSizeBytes();
    facts.ntfs = info.DriveFileSystem() == dfst_NTFS;
    if (info.NTFSInfos() != nullptr)
        facts.mftValidDataLength = info.NTFSInfos()->MftValidDataLength();
    for (const platform::MountEntry& m : platform::ReadMountTable())
        if (m.target == mountPoint)
            facts.fileSystem = m.fstype; // the last mount on the point is the one in use
    return facts;
}

bool IsCompressedEncryptedOrSparse(std::uint32_t attributes) {
    if (attributes == 0xFFFFFFFFu)
        return false;
    return (attributes & (0x800u | 0x4000u | 0x200u)) != 0;
}

std::int64_t RoundUpToCluster(std::int64_t size, std::int64_t clusterSize) {
    if (clusterSize < 1)
        return size;
    return (size + clusterSize - 1) / clusterSize * clusterSize;
}

std::uint32_t FileWriteBlock(std::int64_t clusterSize) {
    return static_cast<std::uint32_t>(RoundUpToCluster(kWriteBlockTarget, clusterSize));
}

std::string CopyOnWriteNotice(const std::string& mountPoint) {
    return "Notice: " + mountPoint +
           " is a copy-on-write file system; earlier copies of the overwritten data may "
           "remain. Wipe the free space of this volume afterwards.";
}

std::string StreamCopiesNotice(const std::string& mountPoint) {
    return "Notice: " + mountPoint +
           " keeps alternate data streams in file-system records that may be moved or "
           "journaled when a stream is rewritten; earlier copies of stream data may remain. Wipe "
           "the free space of this volume afterwards.";
}

TKLWiper::TKLWiper() = default;
TKLWiper::~TKLWiper() = default;

void TKLWiper::SetLogClock(TLogClock clock) {
    FLog.SetClock(std::move(clock));
}

const TVolumeFacts& TKLWiper::VolumeFacts(const std::string& drive) {
    auto it = FVolumes.find(drive);
    if (it == FVolumes.end()) {
        it = FVolumes.emplace(drive, FVolumeQuery ? FVolumeQuery(drive) : QueryVolumeFacts(drive))
                 .first;
        FClusterSizes[drive] = it->second.clusterSize;
    }
    return it->second;
}

std::int64_t TKLWiper::ClusterSizeOf(const std::string& drive) const {
    const auto it = FClusterSizes.find(drive);
    return it == FClusterSizes.end() ? 0 : it->second;
}

std::int32_t TKLWiper::InitializeWipeJob() {
    FAlgo = nullptr;
    Finitialized = false;
    FLog.Clear();
    if (FCreateLogFile)
        FLog.CreateLogFile(FLogFilename);

    struct stat st {};
    if (FAlgorithmFile.empty() || ::stat(FAlgorithmFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return WIPE_NO_METHOD_FILE;
    FAlgos.Clear();
    if (!FAlgos.LoadFromXML(FAlgorithmFile) || FAlgos.Count() == 0)
        return WIPE_NO_METHOD_FILE;
    FAlgo = FAlgos.GetAlgorithmFromGUID(FAlgorithmGUID);
    if (FAlgo == nullptr)
        return WIPE_METHOD_NOT_FOUND;

    FCancel = false;
    std::vector<std::string> targets;
    switch (FWipeType) {
    case wt_device:
        for (const TDeviceInfo* d : FDevices)
            targets.push_back(d->Modelname());
        break;
    case wt_partitions:
        for (const TDevicePartitionInformation* p : FPartitions)
            targets.push_back(PartitionLogName(p->DriveLetter(), static_cast<int>(p->Number())));
        break;
    case wt_freespace:
        for (const std::string& item : FFiles)
            targets.push_back(platform::WithTrailingSlash(item));
        break;
    case wt_file:
        break;
    }
    FLog.WriteHeader(FWipeType, targets);
    FLog.WriteHeaderDetails(GetCurrentUserName(), FAlgo->Name());

    FJobsBytesWritten = 0;
    FTotalJobSize = 0;
    FClusterSizes.clear();
    FVolumes.clear();
    FCowNoticed.clear();
    FStreamNoticed.clear();
    FLinkNamesInJob.clear();
    FOverwrittenInodes.clear();

    switch (FWipeType) {
    case wt_device:
        for (const TDeviceInfo* d : FDevices)
            FTotalJobSize += d->Capacity();
        break;
    case wt_partitions:
        for (const TDevicePartitionInformation* p : FPartitions)
            FTotalJobSize += p->Len();
        break;
    case wt_file: {
        // Data reachable under several names of the job is written once, so it counts once.
        std::set<InodeKey> counted;
        for (const std::string& item : FFiles) {
            const std::string path = Expanded(item);
            const std::string drive = ExtractDrive(path);
            if (drive.empty())
                continue;
            const std::int64_t clusterSize = VolumeFacts(drive).clusterSize;
            struct stat fs {};
            if (clusterSize <= 0 || ::lstat(path.c_str(), &fs) != 0 || !S_ISREG(fs.st_mode) ||
                !counted.insert({fs.st_dev, fs.st_ino}).second)
                continue;
            FTotalJobSize += RoundUpToCluster(fs.st_size, clusterSize);
        }
        break;
    }
    case wt_freespace:
        for (const std::string& item : FFiles)
            FTotalJobSize += VolumeFacts(platform::WithTrailingSlash(item)).freeBytes;
        break;
    }
    // A verified range is read once more after its passes.
    FTotalJobSize *= FAlgo->Count() + (FVerify ? 1 : 0);
    Finitialized = true;
    return WIPE_OK;
}

std::int32_t TKLWiper::ExecuteJob() {
    if (!Finitialized)
        return WIPE_NOT_INITIALIZED;
    std::int32_t result = WIPE_OK;
    const auto record = [&result](std::int32_t r) {
        if (result == WIPE_OK)
            result = r;
    };
    switch (FWipeType) {
    case wt_file:
        CountLinkNames();
        for (const std::string& item : FFiles) {
            const std::int32_t r = WipeFileItem(item);
            record(r);
            if (FCancel || r == WIPE_CANCELLED) {
                LogError(item + " (Aborted by user)");
                break;
            }
        }
        break;
    case wt_freespace:
        for (const std::string& item : FFiles) {
            const std::int32_t r = WipeFreeSpace(platform::WithTrailingSlash(item));
            record(r);
            if (FCancel || r == WIPE_CANCELLED) {
                LogError(item + " (Aborted by user)");
                break;
            }
        }
        break;
    case wt_device:
    case wt_partitions:
        result = ExecuteDeviceJob();
        break;
    default:
        // Kinds of job this build of the engine cannot run must never look like a success.
        throw std::logic_error("the wipe engine cannot run this kind of job");
    }
    return result;
}

bool TKLWiper::CloseWipeJob() {
    const bool written = FLog.HasLogFile() && FLog.Close();
    Finitialized = false;
    return written;
}

void TKLWiper::InstallProgressRelay() {
    if (FAlgo != nullptr)
        FAlgo->SetOnProgress([this](TWipeAlgorithm& sender, std::int32_t pass, std::int32_t passes,
                                    std::int64_t current, std::int64_t total, bool& cancel) {
            AlgorithmProgress(sender, pass, passes, current, total, cancel);
        });
}

void TKLWiper::AlgorithmProgress(TWipeAlgorithm& /*sender*/, std::int32_t currentPass,
                                 std::int32_t Totalpasses, std::int64_t currentBytes,
                                 std::int64_t totalBytes, bool& cancel) {
    // The stream counter follows every write, so that the success line and the job's progress
    // count what was written, not only what the last delivered report said.
    FCurrentItemWritten = static_cast<std::int64_t>(currentPass - 1) * totalBytes + currentBytes;
    if (!FProgressCallBack)
        return;
    const std::uint32_t now = platform::GetTickCount();
    if (static_cast<std::uint32_t>(now - FLastProgressTick) <= kProgressInterval)
        return;
    FProgressCallBack(*this, FCurrentItem, FCurrentStage, currentPass, Totalpasses, currentBytes,
                      totalBytes, FJobsBytesWritten + FCurrentItemWritten, FTotalJobSize, cancel);
    FLastProgressTick = now;
    FCancel = cancel;
}

bool TKLWiper::VerifyRange(platform::IStreamHandle& stream, std::uint32_t blocksize,
                           std::int64_t offset, std::int64_t length, const std::string& target) {
    const TVerifyResult v = FAlgo->VerifyData(stream, blocksize, offset, length);
    FJobsBytesWritten += length;
    if (v.Ok())
        return true;
    const std::string where = std::to_string(offset + v.offset);
    LogError(target + (v.error != 0 ? " (Verification could not read offset " + where + ")"
                                    : " (Verification failed at offset " + where + ")"));
    return false;
}

void TKLWiper::CountLinkNames() {
    FLinkNamesInJob.clear();
    FOverwrittenInodes.clear();
    std::set<std::string> seen;
    for (const std::string& item : FFiles) {
        const std::string path = Expanded(item);
        struct stat st {};
        if (!seen.insert(path).second || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink < 2)
            continue;
        ++FLinkNamesInJob[{st.st_dev, st.st_ino}];
    }
}

} // namespace purgix
