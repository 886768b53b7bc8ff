// Free-space wiping: the slack behind every file (cluster tips), the free clusters (filled with
// temporary files that are overwritten and deleted), and the names of deleted files (free
// folder entries and free MFT records taken by files with random names).
#include "platform/debug.h"
#include "platform/direntry.h"
#include "platform/ext4reserve.h"
#include "platform/fd.h"
#include "platform/fileops.h"
#include "platform/mounts.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "wipe/wipelibfuncs.h"
#include "wipe/wipeutils.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <thread>

namespace purgix {
namespace {

constexpr std::int64_t kFillTarget = 51200000;
constexpr std::uint32_t kTipReportInterval = 100; // ms between two cluster-tip reports
constexpr std::int64_t kNamesPerNtfsFolder = 3000;
constexpr int kNtfsNameLength = 242;
// Folders of some file systems (btrfs, xfs) can still grow while the volume is full: the most
// new names one folder gets.
constexpr std::size_t kMaxNewNamesPerFolder = 65536;

void Sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::string RandomLetters(int count) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += static_cast<char>('A' + Random(26));
    return s;
}

// The last name of a path ("a" of "/x/a" and of "/x/a/").
std::string LeafOf(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path.substr(path.rfind('/') + 1);
}

// Opens a folder for *at calls without following a final link; invalid when it is none.
platform::UniqueFd OpenFolder(int dirFd, const std::string& name) {
    return platform::UniqueFd(
        ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

dev_t DeviceOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_dev : 0;
}

// Extends a fresh fill file to `size` bytes with real blocks. Any error counts as a failed
// extension: some file systems end with EPERM rather than ENOSPC when they are full.
bool ExtendFillFile(int fd, std::int64_t size) {
    if (size < 0)
        return false;
    if (size == 0)
        return true;
    if (::posix_fallocate(fd, 0, size) == 0)
        return true;
    // Blocks allocated before the failure would be held by a file that is never overwritten.
    if (::ftruncate(fd, 0) != 0) {
        // nothing more to do: the file is removed with the others
    }
    return false;
}

// A byte count as the drive list writes sizes: GB, MB and KB with two decimals, else bytes.
std::string SizeText(std::int64_t size) {
    char text[64];
    const auto d = static_cast<double>(size);
    if (size > 1073741824)
        std::snprintf(text, sizeof text, "%.2f GB", d / 1073741824);
    else if (size > 1048576)
        std::snprintf(text, sizeof text, "%.2f MB", d / 1048576);
    else if (size <= 1024)
        std::snprintf(text, sizeof text, "%lld Byte", static_cast<long long>(size));
    else
        std::snprintf(text, sizeof text, "%.2f KB", d / 1024);
    return text;
}

// The temporary folder of a fill and the files made in it: removed, files in creation order
// and then the folder, on every way out.
class FillFolder {
public:
    FillFolder() = default;
    FillFolder(const FillFolder&) = delete;
    FillFolder& operator=(const FillFolder&) = delete;
    ~FillFolder() { Remove(); }

    // Makes the folder `name` in `root`; false when it cannot be made on the volume `device`.
    bool Create(platform::UniqueFd root, std::string name, dev_t device) {
        root_ = std::move(root);
        if (!root_ || DeviceOf(root_.Get()) != device ||
            ::mkdirat(root_.Get(), name.c_str(), 0700) != 0)
            return false;
        name_ = std::move(name);
        dir_ = OpenFolder(root_.Get(), name_);
        return dir_.Valid() && DeviceOf(dir_.Get()) == device;
    }
    int Fd() const noexcept { return dir_.Get(); }
    std::int64_t Count() const noexcept { return static_cast<std::int64_t>(files_.size()); }
    void Add(std::string file) { files_.push_back(std::move(file)); }

    void Remove() {
        if (dir_)
            for (const std::string& file : files_)
                ::unlinkat(dir_.Get(), file.c_str(), 0);
        files_.clear();
        dir_.Reset();
        if (!name_.empty())
            ::unlinkat(root_.Get(), name_.c_str(), AT_REMOVEDIR);
        name_.clear();
    }

private:
    platform::UniqueFd root_;
    std::string name_;
    platform::UniqueFd dir_;
    std::vector<std::string> files_; // names in the folder, in creation order
};

} // namespace

TFillPlan::TFillPlan(std::int64_t clusterSize, std::int64_t freeBytes)
    : FSize(RoundUpToCluster(kFillTarget, clusterSize)), FLastFree(freeBytes),
      FPreviousFree(freeBytes) {}

bool TFillPlan::ExtensionFailed(const std::function<std::int64_t()>& freeBytes) {
    if (!FSmall) {
        FLastFree = freeBytes();
        if (FLastFree == 0) {
            FSame = 0;
            FSmall = true;
        }
    }
    FSize = FSmall ? 4096 - static_cast<std::int64_t>(FSame) * 512
                   : FLastFree - static_cast<std::int64_t>(FSame) * 1024;
    bool wait = false;
    if (FLastFree == FPreviousFree) {
        ++FSame;
        wait = true;
        // The free space has not changed for 16 attempts in a row: it is out of reach.
        if (FSame > 15)
            FFinished = true;
    } else {
        FSame = 0;
    }
    FPreviousFree = FLastFree;
    // Empty fill files would succeed for ever.
    if (FSmall && FSize <= 0)
        FFinished = true;
    return wait;
}

std::string ChooseTemporaryFolder(const std::string& drive) {
    for (int n = 0;; ++n) {
        const std::string folder = drive + "~WIPE" + std::to_string(n);
        if (platform::EntryKindAt(AT_FDCWD, folder.c_str()) == platform::EntryKind::missing)
            return folder + "/";
    }
}

std::string FillFileName(std::int64_t index) {
    return index == 0 ? std::string("~wipefile0.dat")
                      : "~wipefile0(" + std::to_string(index) + ").dat";
}

bool WriteClusterTip(TWipeAlgorithm& method, platform::IStreamHandle& stream, std::int64_t size,
                     std::int64_t clusterSize, std::int64_t& tip) {
    tip = RoundUpToCluster(size, clusterSize) - size;
    if (tip <= 0)
        return true;
    return method.WriteData(stream, static_cast<std::uint32_t>(clusterSize), size, tip);
}

TVolumeFacts TKLWiper::QueryVolume(const std::string& drive) const {
    return FVolumeQuery ? FVolumeQuery(drive) : QueryVolumeFacts(drive);
}

bool TKLWiper::IsChosenVolumeRoot(const std::string& drive) const {
    struct stat st {};
    if (FFreeSpaceDevice == 0 || ::lstat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_dev != FFreeSpaceDevice)
        return false;
    for (const platform::MountEntry& m : platform::ReadMountTable())
        if (m.target == drive)
            return true;
    return false;
}

void TKLWiper::ReportStage(const std::string& item, std::int64_t current, std::int64_t currentSize,
                           std::int64_t total, std::int64_t totalSize) {
    if (!FProgressCallBack)
        return;
    const std::int32_t passes = FAlgo != nullptr ? FAlgo->Count() : 0;
    FProgressCallBack(*this, item, FCurrentStage, passes, passes, current, currentSize, total,
                      totalSize, FCancel);
}

bool TKLWiper::IsProtectedSystemFile(const std::string& /*path*/) {
    return false;
}

std::int32_t TKLWiper::WipeFreeSpace(const std::string& drive) {
    FLastProgressTick = 0;
    if (ClusterSizeOf(drive) <= 0) {
        LogError(drive + " (Clustersize could not be obtained)");
        return WIPE_NOT_INITIALIZED;
    }
    // The volume chosen: the file system mounted at `drive` now. Every stage makes sure it is
    // still there, so that an unmounted mount point (a plain folder of another volume) is
    // never filled.
    FFreeSpaceDevice = 0;
    {
        struct stat st {};
        if (::lstat(drive.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            FFreeSpaceDevice = st.st_dev;
    }
    const std::string refusal = drive + ": Could not create temporary folder.";
    if (!IsChosenVolumeRoot(drive)) {
        LogError(refusal);
        return WIPE_FAILED;
    }

    if (FDoClusterTips) {
        FCurrentStage = STAGE_CLUSTER_TIPS;
        if (WipeDriveClusterTips(drive) != WIPE_OK)
            LogError(drive + " => Some Clustertips were not completly wiped");
    }

    const TVolumeFacts facts = QueryVolume(drive);
    const std::string folder = ChooseTemporaryFolder(drive);
    if (!IsChosenVolumeRoot(drive)) {
        LogError(refusal);
        return WIPE_FAILED;
    }
    FillFolder fill;
    if (!fill.Create(OpenFolder(AT_FDCWD, drive), LeafOf(folder), FFreeSpaceDevice)) {
        LogError(folder + ": Could not create temporary folder.");
        return WIPE_FAILED;
    }
    if (!UncompressFolder(folder)) {
        LogError(folder + ": Could not decompress temporary folder.");
        return WIPE_FAILED;
    }

    // ext4 holds clusters back from every allocation: while the fill and the name stage run,
    // the fill may take them as well.
    platform::ScopedExt4ReservedClusters reserve(platform::Ext4ReservedClustersFile(drive));

    // Stage 2: fill the free space. Its progress counts from zero up to the free space.
    FCurrentStage = STAGE_FREESPACE;
    InstallProgressRelay();
    FJobsBytesWritten = 0;
    FLastProgressTick = 0; // the stage's first report comes at once
    TFillPlan plan(ClusterSizeOf(drive), facts.freeBytes);
    while (!FCancel && !plan.Finished()) {
        std::string name = FillFileName(fill.Count());
        if (platform::EntryKindAt(fill.Fd(), name.c_str()) != platform::EntryKind::missing)
            name = LeafOf(GetUniqueFileName(folder + name));
        platform::UniqueFd file(::openat(
            fill.Fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file)
            break;
        fill.Add(name);
        const bool extended = ExtendFillFile(file.Get(), plan.Size());
        file.Reset();
        if (extended) {
            OverwriteStream(folder + name, "", !plan.Small(), false);
            continue;
        }
        if (plan.ExtensionFailed([&] { return QueryVolume(drive).freeBytes; }))
            Sleep(100);
    }

    // What the volume still counts as free once the fill has ended was out of its reach (root's
    // reserve without the right to use it, for example): never left unsaid.
    if (!FCancel) {
        const std::int64_t left = QueryVolume(drive).freeBytes;
        if (left > 0)
            LogHeader("Notice: " + drive + " keeps " + SizeText(left) +
                      " out of reach of the fill; data there was not overwritten.");
    }

    std::int32_t result = WIPE_OK;
    // Names on volumes other than NTFS, while the volume is still full so that folders cannot
    // grow.
    if (!facts.ntfs && !FCancel && FOverWriteFileNames) {
        if (IsChosenVolumeRoot(drive)) {
            FCurrentStage = STAGE_DELETED_NAMES;
            result = OverwriteDeletedNamesFAT(drive);
        } else {
            LogError(refusal);
            result = WIPE_FAILED;
        }
    }
    fill.Remove();
    if (!reserve.Restore())
        platform::DebugOutput("could not put back the reserved clusters of " + drive);

    if (FCancel) {
        FLog.LogCanceledByUser();
        return WIPE_CANCELLED;
    }
    if (facts.ntfs) {
        if (IsChosenVolumeRoot(drive)) {
            FCurrentStage = STAGE_DELETED_NAMES;
            result = OverwriteDeletedNamesNTFS(drive);
        } else {
            LogError(refusal);
            result = WIPE_FAILED;
        }
    }
    if (result != WIPE_OK)
        LogError(drive + " => Freespace not completely wiped.");
    else
        LogOK(drive + " => Freespace successfully wiped.");
    return result;
}

bool TKLWiper::UncompressFolder(const std::string& folder) {
    const platform::UniqueFd fd = OpenFolder(AT_FDCWD, folder);
    if (!fd)
        return true;
    bool ok = true;
    std::uint32_t attrib = 0;
    if (::fgetxattr(fd.Get(), "system.ntfs_attrib", &attrib, sizeof attrib) == sizeof attrib &&
        (attrib & platform::kAttrCompressed) != 0) {
        attrib &= ~platform::kAttrCompressed;
        ok = ::fsetxattr(fd.Get(), "system.ntfs_attrib", &attrib, sizeof attrib, 0) == 0;
    }
    int flags = 0;
    if (::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) == 0) {
        int wanted = flags & ~FS_COMPR_FL;
        // btrfs compresses by mount option as well: only "no compression" keeps it off.
        if (QueryVolume(ExtractDrive(folder)).fileSystem == "btrfs")
            wanted |= FS_NOCOMP_FL;
        if (wanted != flags)
            ok = ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &wanted) == 0 && ok;
    }
    return ok;
}

std::int32_t TKLWiper::WipeDriveClusterTips(const std::string& drive) {
    if (FAlgo != nullptr)
        FAlgo->SetOnProgress(nullptr);
    ReportStage("", 0, 1, 0, 1);
    FJobsBytesWritten = 0;
    const TVolumeFacts facts = QueryVolume(drive);
    FTotalClusterTipSize = facts.totalBytes - facts.freeBytes;
    return WipeFolderClusterTips(drive);
}

std::int32_t TKLWiper::WipeFolderClusterTips(const std::string& folder) {
    bool failed = false;
    std::vector<std::string> files;
    FindFiles(files, "*", folder, false, faAnyFile);
    for (const std::string& path : files) {
        if (FCancel)
            break;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_dev != FFreeSpaceDevice)
            continue; // gone, replaced by something else, or a file mounted from elsewhere
        const platform::ParentRef parent = platform::OpenParent(path);
        const std::uint32_t attributes =
            parent.Valid() ? platform::ReadFileAttributes(parent.dir.Get(), parent.name).Windows()
                           : platform::kInvalidAttributes;
        if (IsProtectedSystemFile(path))
            LogError(path + " (Protected systemfile)");
        else if (IsCompressedEncryptedOrSparse(attributes))
            LogError(path + " (compressed/encrypted/sparse)");
        else if (WipeFileClusterTips(path) != WIPE_OK)
            failed = true;
    }
    if (FCancel)
        return failed ? WIPE_FAILED : WIPE_OK;
    std::vector<std::string> subs;
    GetSubFolders(folder, subs, false);
    for (const std::string& sub : subs) {
        if (FCancel)
            break;
        struct stat st {};
        // The walk stays on the volume: a folder with another device is another mount.
        if (::lstat(sub.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != FFreeSpaceDevice)
            continue;
        if (WipeFolderClusterTips(sub) != WIPE_OK)
            failed = true;
    }
    return failed ? WIPE_FAILED : WIPE_OK;
}

std::int32_t TKLWiper::WipeFileClusterTips(const std::string& path) {
    std::string found;
    if (!FileExistsEx(path, found, true, false, true))
        LogError(path + " (Not found)");
    const platform::ParentRef parent = platform::OpenParent(path);
    platform::FileAttributes attributes;
    if (parent.Valid()) {
        attributes = platform::ReadFileAttributes(parent.dir.Get(), parent.name);
        platform::SetAttributesNormal(parent.dir.Get(), parent.name, attributes);
    }
    // Attribute streams have no slack: only the main data has a cluster tip.
    std::int32_t result = OverwriteClusterTip(path, "");
    if (result == WIPE_OK && FCancel) {
        FLog.LogCanceledByUser();
        result = WIPE_CANCELLED;
    }
    if (parent.Valid())
        platform::RestoreFileAttributes(parent.dir.Get(), parent.name, attributes);
    if (FCompleteCallBack) {
        bool scratch = false;
        FCompleteCallBack(*this, path, result, scratch);
    }
    return result;
}

std::int32_t TKLWiper::OverwriteClusterTip(const std::string& path, const std::string& streamName) {
    const std::int64_t clusterSize = ClusterSizeOf(ExtractDrive(path));
    if (clusterSize <= 0) {
        LogError(path + " (Clustersize could not be obtained)");
        return WIPE_NOT_INITIALIZED;
    }
    const std::string streamPath = streamName.empty() ? path : path + ":" + streamName;
    FCurrentItem = streamPath;
    const platform::ParentRef parent = platform::OpenParent(path);
    platform::ExclusiveFile file;
    if (parent.Valid() && streamName.empty())
        file = platform::OpenExclusive(parent.dir.Get(), parent.name, false);
    if (!file.Ok()) {
        LogError(streamPath + " (File access denied)");
        return WIPE_FAILED;
    }
    struct stat st {};
    if (::fstat(file.fd.Get(), &st) != 0) {
        LogError(path + " (File access denied)");
        return WIPE_FAILED;
    }
    std::int32_t result = WIPE_OK;
    platform::WipeFileStream stream(file.fd.Get());
    std::int64_t tip = 0;
    const bool written = WriteClusterTip(*FAlgo, stream, st.st_size, clusterSize, tip);
    if (tip == 0) {
        LogOK(streamPath + " (No data)");
    } else if (written && ::ftruncate(file.fd.Get(), st.st_size) == 0 &&
               ::fdatasync(file.fd.Get()) == 0) {
        LogOK(streamPath + " (Clustertip overwritten)");
    } else {
        // The data itself is never lost: whatever was written lies behind its end.
        if (::ftruncate(file.fd.Get(), st.st_size) != 0) {
            // reported below
        }
        LogError(streamPath + " (Error overwriting)");
        result = WIPE_FAILED;
    }
    FJobsBytesWritten += st.st_size;
    const std::uint32_t now = platform::GetTickCount();
    if (FProgressCallBack &&
        static_cast<std::uint32_t>(now - FLastProgressTick) > kTipReportInterval) {
        ReportStage(FCurrentItem, 1, 1, FJobsBytesWritten, FTotalClusterTipSize);
        FLastProgressTick = now;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(file.fd.Get(), times);
    return result;
}

std::int32_t TKLWiper::OverwriteDeletedNamesNTFS(const std::string& drive) {
    ReportStage("", 0, 1, 0, 1);
    const auto mftLength = [&] {
        // The MFT's size is read from the disk: what the driver holds back does not count.
        if (const platform::UniqueFd fd = OpenFolder(AT_FDCWD, drive))
            ::syncfs(fd.Get());
        return QueryVolume(drive).mftValidDataLength;
    };
    const std::int64_t m0 = mftLength();
    Randomize();
    std::int32_t result = WIPE_OK;
    std::vector<std::string> folders;
    std::vector<std::string> files;
    std::int64_t count = 0;
    // Without a readable MFT size the stage could never tell that it is done.
    while (m0 > 0 && !FCancel) {
        const std::string name = RandomLetters(kNtfsNameLength);
        ReportStage("", 0, 1, 0, 1);
        if (count % kNamesPerNtfsFolder == 0) {
            const std::string folder = ChooseTemporaryFolder(drive);
            if (!IsChosenVolumeRoot(drive) || ::mkdir(folder.c_str(), 0700) != 0) {
                LogError(folder + ": Could not create temporary folder.");
                result = WIPE_FAILED;
                break;
            }
            folders.push_back(folder);
        }
        const std::string path = GetUniqueFileName(folders.back() + name);
        const platform::UniqueFd fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            result = WIPE_CREATE_FAILED;
            break;
        }
        ++count;
        files.push_back(path);
        if (mftLength() > m0)
            break; // every free record has been taken: the MFT had to grow
    }
    for (const std::string& f : files)
        ::unlink(f.c_str());
    for (const std::string& f : folders)
        ::rmdir(f.c_str());
    if (m0 > 0 && mftLength() > m0) {
        LogOK(drive + " => Deleted filenames successfully wiped");
        result = WIPE_OK;
    } else {
        LogError(drive + " => Deleted filenames NOT completely overwritten.");
    }
    ReportStage("", 1, 1, 1, 1);
    return result;
}

std::int32_t TKLWiper::OverwriteDeletedNamesFAT(const std::string& drive) {
    ReportStage("", 0, 1, 0, 1);
    Sleep(1000);
    Randomize();
    // Every folder of the volume, the root included (deleted names live there as well),
    // parents before their children, never into another mount.
    std::vector<std::string> folders{drive};
    for (std::size_t i = 0; i < folders.size(); ++i) {
        std::vector<std::string> subs;
        GetSubFolders(folders[i], subs, false);
        std::size_t at = i + 1;
        for (const std::string& sub : subs) {
            struct stat st {};
            if (::lstat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                st.st_dev == FFreeSpaceDevice)
                folders.insert(folders.begin() + static_cast<std::ptrdiff_t>(at++), sub);
        }
    }
    std::vector<std::string> files;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        FillFolderEntries(folders[i], files);
        ReportStage(folders[i], 1, 1, static_cast<std::int64_t>(i),
                    static_cast<std::int64_t>(folders.size()));
        if (FCancel)
            break;
    }
    for (const std::string& f : files)
        ::unlink(f.c_str());
    if (FCancel) {
        LogError(drive + " => Overwriting deleted filenames aborted by user");
        return WIPE_CANCELLED;
    }
    LogOK(drive + " => Overwriting deleted filenames completed.");
    return WIPE_OK;
}

std::int32_t TKLWiper::FillFolderEntries(const std::string& folder,
                                         std::vector<std::string>& files) {
    const platform::UniqueFd dir = OpenFolder(AT_FDCWD, folder);
    if (!dir || DeviceOf(dir.Get()) != FFreeSpaceDevice)
        return WIPE_CREATE_FAILED;
    for (std::size_t made = 0; made < kMaxNewNamesPerFolder;) {
        const std::string name = RandomLetters(8) + "." + RandomLetters(3);
        const platform::UniqueFd fd(::openat(
            dir.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST)
                continue; // a name the folder holds already: draw another
            return WIPE_CREATE_FAILED;
        }
        files.push_back(platform::WithTrailingSlash(folder) + name);
        ++made;
    }
    LogHeader("Notice: " + folder + " could still grow after " +
              std::to_string(kMaxNewNamesPerFolder) +
              " new names; names of deleted files in it may remain.");
    return WIPE_OK;
}

} // namespace purgix
