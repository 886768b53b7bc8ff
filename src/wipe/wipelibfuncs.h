// The wipe engine: runs one wipe job (files, free space, whole disks or partitions) from start
// to end on the calling thread, reports progress and completion through callbacks, and writes
// the signed HTML log.
//
// Lifecycle: construct, set the properties, InitializeWipeJob, ExecuteJob, CloseWipeJob.
//
// A "drive" of this engine is a mounted volume named by its mount point with a trailing "/"
// (for example "/media/usb/"), used exactly as it is: never case-folded. Where a Windows engine
// keys values by a drive letter, this one keys them by the mount point.
#pragma once

#include "wipe/patternclass.h"
#include "wipe/wipelog.h"
#include "wipe/wipetypes.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace purgix::platform {
class IStreamHandle;
class RawDeviceWriter;
struct RawTarget;
} // namespace purgix::platform

namespace purgix {

class TDeviceInfo;
class TDevicePartitionInformation;
class TKLWiper;

// Progress: (sender, current item, stage, pass 1-based, passes, bytes of this pass, size of the
// item, bytes of the whole job written, bytes of the whole job, cancel in/out).
using TProgressCallBack =
    std::function<void(TKLWiper& sender, const std::string& pCurrentItem, std::int32_t currentStage,
                       std::int32_t iCurrentPass, std::int32_t iTotalPasses,
                       std::int64_t iCurrentBytesWritten, std::int64_t iCurrentItemSize,
                       std::int64_t iTotalBytesWritten, std::int64_t iTotalBytes, bool& cancel)>;
// Completion of one item: (sender, item, result code, cancel in/out).
using TCompleteCallBack = std::function<void(TKLWiper& sender, const std::string& pCurrentItem,
                                             std::int32_t ErrorCode, bool& cancel)>;
// Asked before a forced dismount of `drive` (a mount point); no step raises it.
using TOnForceDismount =
    std::function<void(TKLWiper& sender, const std::string& drive, bool& dismount)>;

// Result codes of the engine and of its items.
enum TWipeResult : std::int32_t {
    WIPE_OK = 0,
    WIPE_FAILED = 1,           // access denied, overwrite error, rename or delete failed, ...
    WIPE_NO_METHOD_FILE = 2,   // method file missing or empty; a path without a drive
    WIPE_NOT_INITIALIZED = 3,  // ExecuteJob before InitializeWipeJob; cluster size 0
    WIPE_METHOD_NOT_FOUND = 4, // the method GUID is not in the method file
    WIPE_CANCELLED = 5,        // cancelled by the user
    WIPE_CREATE_FAILED = 6,    // creating a needed file, or overwriting a file name, failed
    WIPE_COMPRESSED = 7,       // compressed, encrypted or sparse file
    WIPE_DEVICE_FAILED = 8,    // locking or writing the device failed
};

// Stages, as reported to the progress callback.
enum TWipeStage : std::int32_t {
    STAGE_FILES = 0,
    STAGE_CLUSTER_TIPS = 1,
    STAGE_FREESPACE = 2,
    STAGE_DELETED_NAMES = 3,
    STAGE_DEVICE = 4,
};

// What the engine asks of a volume (a mount point) when a job starts.
struct TVolumeFacts {
    std::int64_t clusterSize = 0; // bytes; 0 when it cannot be obtained
    std::int64_t freeBytes = 0;
    std::string fileSystem; // the mount table's type ("ext4", "btrfs", "fuseblk", ...)
    std::int64_t totalBytes = 0;
    bool ntfs = false;
    std::int64_t mftValidDataLength = 0; // NTFS: the initialized size of the MFT's data
};
using TVolumeQuery = std::function<TVolumeFacts(const std::string& mountPoint)>;

// The facts of a mounted volume: cluster size and free bytes from the volume snapshot, the
// file-system type from the mount table.
TVolumeFacts QueryVolumeFacts(const std::string& mountPoint);

// True when any of the compressed (0x800), encrypted (0x4000) or sparse (0x200) bits is set;
// false for the invalid-attributes value (all bits set).
bool IsCompressedEncryptedOrSparse(std::uint32_t attributes);

// The write block of a stream: 51,200,000 bytes rounded up to whole clusters.
std::uint32_t FileWriteBlock(std::int64_t clusterSize);

// `size` rounded up to whole clusters (unchanged for a cluster size below 1).
std::int64_t RoundUpToCluster(std::int64_t size, std::int64_t clusterSize);

// The header notice of a copy-on-write volume, where overwriting in place cannot reach older
// copies of the data.
std::string CopyOnWriteNotice(const std::string& mountPoint);

// The header notice of a volume whose alternate data streams were overwritten: they live in the
// file system's own records, which the driver may move or journal when a value is rewritten.
std::string StreamCopiesNotice(const std::string& mountPoint);

// ---- Device and partition wiping (wipedevice.cpp) -------------------------------------------
// The write block of disks and partitions: 100,000 sectors of 512 bytes, 12,500 of 4,096.
inline constexpr std::uint32_t kDeviceWriteBlock = 51200000;
// Erases the partition-table signatures of a whole disk (the MBR in sector 0, the primary GPT
// header in sector 1, the backup GPT header in the last sector) and brings the kernel's view up
// to date (BLKRRPART, then BLKPG removes the partitions the kernel still lists). It first claims
// the disk through the raw writer (nothing mounted, no swap, no holder, open in no other
// process); when that fails nothing is written and `claim` stays empty. On success `claim` holds
// the writer, which keeps the claim for the passes. True when the table is gone everywhere.
bool DeleteDriveLayout(const platform::RawTarget& disk,
                       std::unique_ptr<platform::RawDeviceWriter>& claim);
// Wraps the device stream the passes are written through (tests: recording, fault injection).
using TDeviceStreamWrap = std::function<std::unique_ptr<platform::IStreamHandle>(
    platform::IStreamHandle& device)>;
// ---- end of device and partition wiping ---------------------------------------------------

// ---- Free-space wiping -------------------------------------------------------------------

// The sizes of the fill files of one volume, worked out from what the volume answers: first
// 51,200,000 bytes rounded up to whole clusters; after a failed extension the free bytes the
// volume reports (less 1,024 bytes for every attempt in a row that changed nothing); once the
// volume reports 0 free bytes, "small" sizes of 4,096 - 512 per unchanged attempt, written
// buffered. The fill ends on the 16th attempt in a row without a change of free space, or when
// the small size has reached 0.
class TFillPlan {
public:
    TFillPlan(std::int64_t clusterSize, std::int64_t freeBytes);
    // The size of the next fill file.
    std::int64_t Size() const noexcept { return FSize; }
    // Small sizes are written buffered and not rounded to clusters.
    bool Small() const noexcept { return FSmall; }
    bool Finished() const noexcept { return FFinished; }
    // Extending a fill file to Size() failed. `freeBytes` reads the volume's free bytes; it is
    // not asked once the sizes are small. True when the fill waits 100 ms before it goes on.
    bool ExtensionFailed(const std::function<std::int64_t()>& freeBytes);

private:
    std::int64_t FSize;
    bool FSmall = false;
    bool FFinished = false;
    std::int32_t FSame = 0;
    std::int64_t FLastFree;
    std::int64_t FPreviousFree;
};

// The temporary folder of a free-space wipe on `drive`: drive + "~WIPE" + n + "/" for the
// smallest n from 0 whose name is not taken by any entry.
std::string ChooseTemporaryFolder(const std::string& drive);

// The name of fill file number `index` (0-based): "~wipefile0.dat", then "~wipefile0(1).dat", ...
std::string FillFileName(std::int64_t index);

// Writes every pass of `method` over the slack behind the `size` bytes of data in `stream`:
// from offset `size` to the end of its last cluster, in blocks of one cluster. `tip` receives
// the slack's length; true when every write succeeded (nothing is written for a tip of 0).
bool WriteClusterTip(TWipeAlgorithm& method, platform::IStreamHandle& stream, std::int64_t size,
                     std::int64_t clusterSize, std::int64_t& tip);

// ---- end of free-space wiping ------------------------------------------------------------

class TKLWiper {
public:
    TKLWiper();
    TKLWiper(const TKLWiper&) = delete;
    TKLWiper& operator=(const TKLWiper&) = delete;
    ~TKLWiper();

    // Properties.
    const std::string& LogFilename() const noexcept { return FLogFilename; }
    void SetLogFilename(std::string value) { FLogFilename = std::move(value); }
    // File jobs: file and folder paths. Free-space jobs: the volumes' mount points.
    const std::vector<std::string>& Items() const noexcept { return FFiles; }
    void SetItems(const std::vector<std::string>& value) { FFiles = value; }
    // Disk and partition entries to wipe; not owned (they stay with the drive list).
    std::vector<const TDevicePartitionInformation*>& Partitions() noexcept { return FPartitions; }
    std::vector<const TDeviceInfo*>& Devices() noexcept { return FDevices; }
    TWipeType WipeType() const noexcept { return FWipeType; }
    void SetWipeType(TWipeType value) noexcept { FWipeType = value; }
    bool DoClusterTips() const noexcept { return FDoClusterTips; }
    void SetDoClusterTips(bool value) noexcept { FDoClusterTips = value; }
    const std::string& AlgorithmFile() const noexcept { return FAlgorithmFile; }
    void SetAlgorithmFile(std::string value) { FAlgorithmFile = std::move(value); }
    const std::string& AlgorithmGUID() const noexcept { return FAlgorithmGUID; }
    void SetAlgorithmGUID(std::string value) { FAlgorithmGUID = std::move(value); }
    bool AutoCreatePartition() const noexcept { return FAutoCreatePartition; }
    void SetAutoCreatePartition(bool value) noexcept { FAutoCreatePartition = value; }
    bool OverwriteFileNames() const noexcept { return FOverWriteFileNames; }
    void SetOverwriteFileNames(bool value) noexcept { FOverWriteFileNames = value; }
    bool CreateLogFile() const noexcept { return FCreateLogFile; }
    void SetCreateLogFile(bool value) noexcept { FCreateLogFile = value; }
    const TOnDebugData& OnDebugLog() const noexcept { return FLog.OnDebugLog(); }
    void SetOnDebugLog(TOnDebugData value) { FLog.SetOnDebugLog(std::move(value)); }
    const TOnForceDismount& OnForceDisMount() const noexcept { return FOnForcedismount; }
    void SetOnForceDisMount(TOnForceDismount value) { FOnForcedismount = std::move(value); }
    const TProgressCallBack& ProgressCallBack() const noexcept { return FProgressCallBack; }
    void SetProgressCallBack(TProgressCallBack value) { FProgressCallBack = std::move(value); }
    const TCompleteCallBack& CompleteCallBack() const noexcept { return FCompleteCallBack; }
    void SetCompleteCallBack(TCompleteCallBack value) { FCompleteCallBack = std::move(value); }
    // The header and the failure section as they stand.
    std::string LogDataError() const { return FLog.LogDataError(); }

    // Read every range back after its last pass and compare it with what that pass wrote (off
    // by default). A mismatch fails the item; the job size counts the extra reads.
    bool Verify() const noexcept { return FVerify; }
    void SetVerify(bool value) noexcept { FVerify = value; }

    // How volumes are asked for their cluster size, free bytes and file system (tests put in
    // their own); by default QueryVolumeFacts.
    void SetVolumeQuery(TVolumeQuery value) { FVolumeQuery = std::move(value); }
    // The clock of the log's start and end times (tests put in a fixed one).
    void SetLogClock(TLogClock clock);

    // Loads the method, opens the log, works out the job size. 0, 2 (method file missing or
    // without a method) or 4 (method not found). Throws std::system_error when the log file
    // cannot be created.
    std::int32_t InitializeWipeJob();
    // Runs every item: 3 when not initialised, else the first non-zero item result, or 0.
    std::int32_t ExecuteJob();
    // Writes the signed log (when one was created) and ends the initialised state. True when
    // the log reached its file.
    bool CloseWipeJob();

    // The log-append operations of the job's procedures.
    void LogOK(std::string_view line) { FLog.LogOK(line); }
    void LogError(std::string_view line) { FLog.LogError(line); }
    void LogHeader(std::string_view line) { FLog.LogHeader(line); }
    void LogHeaderDetail(std::string_view line) { FLog.LogHeaderDetail(line); }
    const TWipeLog& Log() const noexcept { return FLog; }

    // Read-outs for the job runner and for tests.
    bool Initialized() const noexcept { return Finitialized; }
    std::int64_t TotalJobSize() const noexcept { return FTotalJobSize; }
    std::int64_t JobsBytesWritten() const noexcept { return FJobsBytesWritten; }
    std::int64_t CurrentItemWritten() const noexcept { return FCurrentItemWritten; }
    std::int32_t CurrentStage() const noexcept { return FCurrentStage; }
    bool Cancelled() const noexcept { return FCancel; }
    // Cluster size per volume, keyed by the mount point as it is.
    const std::map<std::string, std::int64_t>& ClusterSizes() const noexcept {
        return FClusterSizes;
    }
    // The method of the job (null before a successful InitializeWipeJob).
    TWipeAlgorithm* Algorithm() const noexcept { return FAlgo; }

    // File wiping.
    // Wipes one file, folder, symbolic link or special file of a file job; a result code.
    std::int32_t WipeFileItem(const std::string& path);
    // Overwrites one stream of `path` (the main data for an empty name, else the attribute
    // stream of that name) with every pass: 0 done, 1 failed, 2 path without drive, 3 cluster
    // size 0. With `roundToCluster` the main data is written to the end of its last cluster;
    // with `truncate` the stream is cut to length 0 (an attribute stream removed) afterwards.
    std::int32_t OverwriteStream(const std::string& path, const std::string& streamName,
                                 bool roundToCluster, bool truncate);
    // Appends the stream names of a regular file: its attribute streams in the order the file
    // system lists them, after the main data's empty name, which is always there.
    void GetStreamNames(const std::string& path, std::vector<std::string>& list);
    // Gives the item six random names in turn (same length, dots kept, letters A-Y); 0 or 6.
    // `newPath` is the path the item has afterwards.
    std::int32_t OverwriteFileName(const std::string& path, std::string& newPath);

    // Free-space wiping (one drive = one mount point with "/"); result codes.
    std::int32_t WipeFreeSpace(const std::string& drive);
    std::int32_t WipeDriveClusterTips(const std::string& drive);
    std::int32_t WipeFolderClusterTips(const std::string& folder);
    std::int32_t WipeFileClusterTips(const std::string& path);
    // Overwrites the slack behind the main data of `path`; attribute streams have no slack.
    std::int32_t OverwriteClusterTip(const std::string& path, const std::string& streamName);
    // Switches compression off for a folder; true when it is off (or the file system has none).
    bool UncompressFolder(const std::string& folder);
    std::int32_t OverwriteDeletedNamesNTFS(const std::string& drive);
    std::int32_t OverwriteDeletedNamesFAT(const std::string& drive);
    // Creates empty files with random short names in `folder` until it takes no more (or has
    // taken the bound of new names); the paths made are appended to `files`.
    std::int32_t FillFolderEntries(const std::string& folder, std::vector<std::string>& files);
    // There is no system file protection on this system: false.
    bool IsProtectedSystemFile(const std::string& path);

private:
    // Free-space wiping.
    // True when `drive` is still the root of the mounted volume chosen for the job.
    bool IsChosenVolumeRoot(const std::string& drive) const;
    // Asks the volume afresh (the cached facts are those of the job's start).
    TVolumeFacts QueryVolume(const std::string& drive) const;
    // A report of the stages that do not write through the method: passes n of n.
    void ReportStage(const std::string& item, std::int64_t current, std::int64_t currentSize,
                     std::int64_t total, std::int64_t totalSize);
    dev_t FFreeSpaceDevice = 0; // st_dev of the volume being wiped

public:
    // Device and partition wiping (wipedevice.cpp).
    // Overwrites a whole disk (`wholeDisk`, `partition` null, offset 0, length Capacity) or one
    // partition (its entry; offset and length of the entry, written through its own device
    // from byte 0) with every pass: 0 done (or cancelled), 1 the device cannot be opened or is
    // no longer what was listed, 8 preparing or writing the device failed.
    std::int32_t WipeDevice(const TDeviceInfo& disk, const TDevicePartitionInformation* partition,
                            std::int64_t offset, std::int64_t length, bool wholeDisk);
    void SetDeviceStreamWrap(TDeviceStreamWrap value) { FDeviceStreamWrap = std::move(value); }

private:
    // The wt_device and wt_partitions branches of ExecuteJob.
    std::int32_t ExecuteDeviceJob();
    TDeviceStreamWrap FDeviceStreamWrap;

    // The progress relay installed as the method's OnProgress.
    void AlgorithmProgress(TWipeAlgorithm& sender, std::int32_t currentPass,
                           std::int32_t Totalpasses, std::int64_t currentBytes,
                           std::int64_t totalBytes, bool& cancel);
    void InstallProgressRelay();
    // The cluster size of a volume from FClusterSizes; 0 when absent.
    std::int64_t ClusterSizeOf(const std::string& drive) const;
    // Asks the volume for its facts once per job; the cluster size goes into FClusterSizes.
    const TVolumeFacts& VolumeFacts(const std::string& drive);
    // Counts the names of every multiply-linked file of a file job (hard links).
    void CountLinkNames();
    // The two kinds of stream overwrite, on the file opened exclusively as `fd`.
    std::int32_t OverwriteMainStream(int fd, const std::string& path, bool roundToCluster,
                                     bool truncate, std::int64_t clusterSize);
    std::int32_t OverwriteAttributeStream(int fd, const std::string& path,
                                          const std::string& streamName, bool truncate);
    // Removes an item that has got its six names; true on success.
    bool RemoveRenamed(const std::string& newPath);
    // With Verify: reads the range back; logs the failure line of `target` and answers false
    // on a mismatch or read error. Counts the read as job progress.
    bool VerifyRange(platform::IStreamHandle& stream, std::uint32_t blocksize, std::int64_t offset,
                     std::int64_t length, const std::string& target);

    std::string FLogFilename;
    std::vector<std::string> FFiles;
    TWipeType FWipeType = wt_device;
    TWipeLog FLog;
    std::map<std::string, std::int64_t> FClusterSizes;
    bool Finitialized = false;
    TWipeAlgorithms FAlgos;
    TWipeAlgorithm* FAlgo = nullptr;
    std::string FAlgorithmFile;
    std::string FAlgorithmGUID;
    bool FCreateLogFile = false;
    std::int64_t FTotalJobSize = 0;
    std::int64_t FJobsBytesWritten = 0;
    std::int64_t FCurrentItemWritten = 0;
    TProgressCallBack FProgressCallBack;
    TCompleteCallBack FCompleteCallBack;
    bool FCancel = false;
    std::string FCurrentItem;
    std::int32_t FCurrentStage = 0;
    std::int64_t FTotalClusterTipSize = 0;
    std::vector<const TDevicePartitionInformation*> FPartitions;
    std::vector<const TDeviceInfo*> FDevices;
    bool FAutoCreatePartition = false;
    TOnForceDismount FOnForcedismount;
    bool FDoClusterTips = true;
    std::uint32_t FLastProgressTick = 0;
    bool FOverWriteFileNames = true;

    bool FVerify = false;
    // Every stream of the current item was read back and matched.
    bool FItemVerified = false;
    TVolumeQuery FVolumeQuery;
    // Facts of every volume asked so far in this job, keyed by mount point.
    std::map<std::string, TVolumeFacts> FVolumes;
    // Volumes whose copy-on-write or stream notice is in the header.
    std::set<std::string> FCowNoticed;
    std::set<std::string> FStreamNoticed;
    // Hard links of a file job: the number of names each multiply-linked file has in the job,
    // and the files whose data has been overwritten already.
    using InodeKey = std::pair<dev_t, ino_t>;
    std::map<InodeKey, std::int64_t> FLinkNamesInJob;
    std::set<InodeKey> FOverwrittenInodes;
};

} // namespace purgix
