// File wiping: every stream of a file overwritten to its cluster end with every pass, cut, dated
// back, renamed six times and deleted; folders, links and special files renamed and removed.
#include "platform/direntry.h"
#include "platform/fileops.h"
#include "wipe/wipelibfuncs.h"
#include "wipe/wipeutils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace purgix {
namespace {

using platform::EntryKind;

// A random name of as many characters as `name`: every character but a dot becomes a letter
// from A to Y, dots stay where they are.
std::string RandomNameLike(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte of the character already replaced
        out += c == '.' ? '.' : static_cast<char>('A' + Random(25));
    }
    return out;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

std::int32_t TKLWiper::WipeFileItem(const std::string& item) {
    std::string path;
    if (!FileExistsEx(item, path, true, false, true) &&
        !DirectoryExistsEx(item, path, true, true)) {
        path = item;
        ExpandEnvironment(path);
    }
    struct stat st {};
    const EntryKind kind = platform::EntryKindAt(AT_FDCWD, WithoutTrailingSlash(path).c_str(), &st);
    if (kind == EntryKind::missing)
        LogError(path + " (Not found)");

    FLastProgressTick = 0;
    FCurrentStage = STAGE_FILES;
    FCurrentItemWritten = 0;
    InstallProgressRelay();

    const auto complete = [this, &path](std::int32_t result) {
        if (FCompleteCallBack)
            FCompleteCallBack(*this, path, result, FCancel);
        return result;
    };

    // Links and special files have no attributes of their own to clear: they are names only.
    const bool hasData = kind == EntryKind::file || kind == EntryKind::folder;
    platform::ParentRef parent = platform::OpenParent(path);
    platform::FileAttributes attributes;
    if (hasData && parent.Valid()) {
        attributes = platform::ReadFileAttributes(parent.dir.Get(), parent.name);
        platform::SetAttributesNormal(parent.dir.Get(), parent.name, attributes);
    }
    if (IsCompressedEncryptedOrSparse(attributes.Windows())) {
        platform::RestoreFileAttributes(parent.dir.Get(), parent.name, attributes);
        LogError(path + " (compressed/encrypted/sparse)");
        return WIPE_COMPRESSED;
    }

    std::int32_t result = WIPE_OK;
    if (kind == EntryKind::file) {
        const InodeKey key{st.st_dev, st.st_ino};
        bool overwrite = true;
        if (st.st_nlink > 1) {
            const auto names = FLinkNamesInJob.find(key);
            const std::int64_t inJob = names == FLinkNamesInJob.end() ? 1 : names->second;
            if (FOverwrittenInodes.count(key) != 0) {
                overwrite = false; // an earlier name of the job has overwritten the data
            } else if (static_cast<std::int64_t>(st.st_nlink) > inJob) {
                platform::RestoreFileAttributes(parent.dir.Get(), parent.name, attributes);
                LogError(path + " (Hard-linked: data shared with other names)");
                return complete(WIPE_FAILED);
            }
        }
        if (overwrite) {
            const std::string drive = ExtractDrive(path);
            if (!drive.empty() && VolumeFacts(drive).fileSystem == "btrfs" &&
                FCowNoticed.insert(drive).second)
                LogHeader(CopyOnWriteNotice(drive));
            std::vector<std::string> streams;
            GetStreamNames(path, streams);
            for (auto it = streams.rbegin(); it != streams.rend(); ++it) {
                result = OverwriteStream(path, *it, true, true);
                if (result != WIPE_OK)
                    break;
                if (FCancel) {
                    FLog.LogCanceledByUser();
                    result = WIPE_CANCELLED;
                    break;
                }
            }
            if (result == WIPE_OK && st.st_nlink > 1)
                FOverwrittenInodes.insert(key);
        }
    }

    if (result == WIPE_OK) {
        if (hasData && parent.Valid())
            platform::SetAttributesNormal(
                parent.dir.Get(), parent.name,
                platform::ReadFileAttributes(parent.dir.Get(), parent.name));
        const std::string first = WithoutTrailingSlash(path);
        std::string newPath;
        bool removed = false;
        if (OverwriteFileName(path, newPath) == WIPE_OK)
            removed = RemoveRenamed(newPath);
        if (removed) {
            LogOK(path + " (" + std::to_string(FCurrentItemWritten) + " Byte)");
        } else {
            if (newPath != first) {
                const platform::ParentRef renamed = platform::OpenParent(newPath);
                const std::size_t slash = first.rfind('/');
                if (renamed.Valid())
                    platform::RenameNoReplace(renamed.dir.Get(), renamed.name,
                                              first.substr(slash + 1));
            }
            LogError(path + " (Wipe failed)");
            result = WIPE_FAILED;
        }
    }
    return complete(result);
}

bool TKLWiper::RemoveRenamed(const std::string& newPath) {
    const platform::ParentRef ref = platform::OpenParent(newPath);
    if (!ref.Valid())
        return false;
    return ::unlinkat(ref.dir.Get(), ref.name.c_str(), AT_REMOVEDIR) == 0 ||
           ::unlinkat(ref.dir.Get(), ref.name.c_str(), 0) == 0;
}

std::int32_t TKLWiper::OverwriteStream(const std::string& path, const std::string& streamName,
                                       bool roundToCluster, bool truncate) {
    FCurrentItemWritten = 0;
    const std::string drive = ExtractDrive(path);
    if (drive.empty()) {
        LogError(path + " (File not found)");
        return WIPE_NO_METHOD_FILE;
    }
    const std::int64_t clusterSize = ClusterSizeOf(drive);
    if (clusterSize <= 0) {
        LogError(path + " (Clustersize could not be obtained)");
        return WIPE_NOT_INITIALIZED;
    }
    FCurrentItem = streamName.empty() ? path : path + ":" + streamName;
    const std::int32_t result =
        streamName.empty() ? OverwriteMainStream(path, roundToCluster, truncate, clusterSize)
                           : OverwriteAttributeStream(path, streamName, truncate);
    FJobsBytesWritten += FCurrentItemWritten;
    return result;
}

std::int32_t TKLWiper::OverwriteMainStream(const std::string& path, bool roundToCluster,
                                           bool truncate, std::int64_t clusterSize) {
    const platform::ParentRef parent = platform::OpenParent(path);
    platform::ExclusiveFile file;
    if (parent.Valid())
        file = platform::OpenExclusive(parent.dir.Get(), parent.name, roundToCluster);
    if (!file.Ok()) {
        LogError(FCurrentItem + " (File access denied)");
        return WIPE_FAILED;
    }
    struct stat st {};
    if (::fstat(file.fd.Get(), &st) != 0) {
        LogError(path + " (File access denied)");
        return WIPE_FAILED;
    }
    const std::int64_t length = roundToCluster ? RoundUpToCluster(st.st_size, clusterSize)
                                               : static_cast<std::int64_t>(st.st_size);
    if (length > 0) {
        platform::WipeFileStream stream(file.fd.Get());
        bool ok = FAlgo->WriteData(stream, FileWriteBlock(clusterSize), 0, length);
        // The cut is part of the overwrite: a file that keeps its overwritten length is not
        // what the log reports.
        if (ok && truncate)
            ok = ::ftruncate(file.fd.Get(), 0) == 0 && ::fsync(file.fd.Get()) == 0;
        if (!ok) {
            LogError(FCurrentItem + " (Error overwriting)");
            return WIPE_FAILED;
        }
    }
    platform::ResetFileTimes(file.fd.Get());
    return WIPE_OK;
}

std::int32_t TKLWiper::OverwriteAttributeStream(const std::string& path,
                                                const std::string& streamName, bool truncate) {
    const platform::ParentRef parent = platform::OpenParent(path);
    platform::ExclusiveFile file;
    if (parent.Valid())
        file = platform::OpenExclusive(parent.dir.Get(), parent.name, false);
    if (!file.Ok()) {
        LogError(FCurrentItem + " (File access denied)");
        return WIPE_FAILED;
    }
    const std::int64_t size = platform::UserXattrSize(file.fd.Get(), streamName);
    if (size < 0) {
        LogError(path + " (File access denied)");
        return WIPE_FAILED;
    }
    bool ok = true;
    if (size > 0) {
        // An attribute value is written whole, once per pass; it has no clusters to round to.
        platform::XattrStream stream(file.fd.Get(), streamName, static_cast<std::size_t>(size));
        ok = FAlgo->WriteData(stream, FileWriteBlock(1), 0, size);
    }
    if (ok && truncate)
        ok = platform::RemoveUserXattr(file.fd.Get(), streamName) == 0;
    if (!ok) {
        LogError(FCurrentItem + " (Error overwriting)");
        return WIPE_FAILED;
    }
    platform::ResetFileTimes(file.fd.Get());
    return WIPE_OK;
}

void TKLWiper::GetStreamNames(const std::string& path, std::vector<std::string>& list) {
    const std::size_t before = list.size();
    const platform::ParentRef parent = platform::OpenParent(path);
    if (parent.Valid()) {
        if (const platform::UniqueFd fd = platform::OpenNoFollow(parent.dir.Get(), parent.name)) {
            // The main data first, as the file system lists it, then the attribute streams.
            list.emplace_back();
            for (std::string& name : platform::ListUserXattrs(fd.Get()))
                list.push_back(std::move(name));
        }
    }
    if (list.size() == before)
        list.emplace_back();
}

std::int32_t TKLWiper::OverwriteFileName(const std::string& path, std::string& newPath) {
    const std::string first = WithoutTrailingSlash(path);
    const std::string folder = FolderOf(first);
    const std::string leaf = first.substr(folder.size());
    std::string current = first;
    std::string currentLeaf = leaf;
    const platform::ParentRef parent = platform::OpenParent(first);
    for (int round = 0; round < 6; ++round) {
        std::string name = RandomNameLike(leaf);
        int error = parent.Valid() ? platform::RenameNoReplace(parent.dir.Get(), currentLeaf, name)
                                   : parent.error;
        if (error != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // A fresh name, in case the first one was taken.
            name = RandomNameLike(leaf);
            error = parent.Valid() ? platform::RenameNoReplace(parent.dir.Get(), currentLeaf, name)
                                   : parent.error;
        }
        if (error != 0) {
            LogError(first + " (Error overwriting filenames)");
            newPath = current;
            return WIPE_CREATE_FAILED;
        }
        currentLeaf = name;
        current = folder + name;
    }
    newPath = current;
    return WIPE_OK;
}

} // namespace purgix
