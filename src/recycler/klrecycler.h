// The recycle-bin reader: every deleted item held in the recycle-bin folders of one volume,
// with the path it had before it was deleted.
//
// A volume is named by its mount point (where Windows names it by a drive letter). Three kinds
// of bins are read:
// - "$recycle.bin" at the volume root: "$I" index files, each beside its "$R" item;
// - "RECYCLER" and "RECYCLED" at the volume root: one "INFO2" index per folder describing its
//   "D" items;
// - the freedesktop.org trash folders of the user who started the program: that user's home
//   trash (with the volume that holds it), "$topdir/.Trash/$uid" and "$topdir/.Trash-$uid".
//
// The reader only reads. Below the mount point it never follows a symbolic link: a link found
// in a bin is an entry of its own (a file, the link itself), never a folder to descend into.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace purgix {

// A local wall-clock time in units of 100 nanoseconds (the resolution of a Windows file time).
// The zero value (1970-01-01 00:00:00) means "not set".
using TDateTimeUnits = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using TDateTime = std::chrono::local_time<TDateTimeUnits>;

inline bool IsDateTimeSet(TDateTime t) noexcept {
    return t.time_since_epoch().count() != 0;
}

// A Windows file time (100-nanosecond units since 1601-01-01 UTC) as local time, with the
// time-zone rules in force at that date. Not set for values beyond the range of file times
// (the top bit set) or that the C library cannot convert.
TDateTime FileTimeToLocalDateTime(std::uint64_t fileTime);

class TRecylceEntry;
using TRecylceEntries = std::vector<std::unique_ptr<TRecylceEntry>>;

// One deleted item, or for a deleted folder one file or folder inside it (a child entry).
class TRecylceEntry {
public:
    TRecylceEntry() = default;
    TRecylceEntry(const TRecylceEntry&) = delete;
    TRecylceEntry& operator=(const TRecylceEntry&) = delete;

    // Full path of the item inside the bin; a folder's ends with "/". This is what gets wiped.
    const std::string& BinFilename() const noexcept { return FBinFilename; }
    void SetBinFilename(std::string value) { FBinFilename = std::move(value); }
    // Full path of the index file that described the item ("$I" file or ".trashinfo" file).
    // Empty for INFO2 entries and for child entries.
    const std::string& IndexFileName() const noexcept { return FIndexFileName; }
    void SetIndexFileName(std::string value) { FIndexFileName = std::move(value); }
    // Full path before deletion (UTF-8). Child entries: the parent's former path, a delimiter
    // and the child's name. Windows paths keep their "\" delimiters.
    const std::string& Origfilename() const noexcept { return FOrigfilename; }
    void SetOrigfilename(std::string value) { FOrigfilename = std::move(value); }
    // Moment of deletion in local time; not set for child entries.
    TDateTime DeleteTime() const noexcept { return FDeleteTime; }
    void SetDeleteTime(TDateTime value) noexcept { FDeleteTime = value; }
    // Size recorded in the index (trash: the item's size); 0 for child entries.
    std::int64_t FileSize() const noexcept { return FFileSize; }
    void SetFileSize(std::int64_t value) noexcept { FFileSize = value; }
    bool isDirectory() const noexcept { return FisDirectory; }
    void SetIsDirectory(bool value) noexcept { FisDirectory = value; }

    // For a folder, the entries of its contents (one level; deeper levels hang below the child
    // folders). Empty for a file.
    const TRecylceEntries& Files() const noexcept { return FFiles; }
    // Appends a child entry and returns it.
    TRecylceEntry& AddFile(std::unique_ptr<TRecylceEntry> entry);

    // Fills Files with the contents of the folder BinFilename, depth first: every name in it
    // (files, folders, symbolic links and other special files) in listing order; folders get
    // a trailing "/" on both names and their own contents. Nothing when BinFilename is not a
    // folder (a symbolic link is none). `processMessages`, when set, is called before the 1st,
    // 101st, 201st, ... child of each folder.
    void EnumFolderContents(const std::function<void()>& processMessages = {});

    // The same over an open descriptor of the folder BinFilename names (the reader walks by
    // descriptors so that a folder replaced by a link during the walk is never entered).
    void EnumFolderContentsAt(int folderFd, const std::function<void()>& processMessages);

private:
    std::string FBinFilename;
    std::string FIndexFileName;
    std::string FOrigfilename;
    TDateTime FDeleteTime{};
    std::int64_t FFileSize = 0;
    bool FisDirectory = false;
    TRecylceEntries FFiles;
};

// The user whose freedesktop.org trash folders are read.
struct TTrashUser {
    uid_t uid = 0;
    // The home trash folder (the user's data folder + "Trash/") and the folder that relative
    // paths in its index files start from (the data folder itself).
    std::string homeTrash;
    std::string homeTrashBase;
    // Mount point of the volume that holds the home trash: it is listed with that volume only.
    std::string homeTrashVolume;

    // The user who started the program (platform::InvokingUser()), with the volume of the
    // home trash from the mount table.
    static TTrashUser Invoking();
};

class TKLRecycler {
public:
    // Reads the trash folders of the user who started the program.
    TKLRecycler();
    // Reads the trash folders of `user` (tests).
    explicit TKLRecycler(TTrashUser user);
    TKLRecycler(const TKLRecycler&) = delete;
    TKLRecycler& operator=(const TKLRecycler&) = delete;

    // Empties Files and fills it with the entries of every bin of the volume mounted at
    // `mountPoint` (any folder works: the reader does not check that it is a mount point), in
    // this order: "$recycle.bin" and its subfolders, "RECYCLER" and its subfolders, "RECYCLED"
    // and its subfolders (root names matched without regard to case), the home trash when this
    // volume holds it, "$topdir/.Trash/$uid", "$topdir/.Trash-$uid". An index file that exists
    // but cannot be opened, or that another process has open, raises std::system_error; the
    // entries appended before stay in Files and the rest of the volume is not read.
    void EnumFiles(const std::string& mountPoint);

    const TRecylceEntries& Files() const noexcept { return FFiles; }

    // Called before the 1st, 101st, 201st, ... index file of a folder and child of a deleted
    // folder, so that a window can handle its pending events during a long listing.
    void SetProcessMessages(std::function<void()> callback) {
        FProcessMessages = std::move(callback);
    }

    // The steps of EnumFiles; each appends to Files. Folder arguments end with "/".
    // The "$I" index files of one folder.
    void ScanIndexFolder(const std::string& folder);
    // The INFO2 index of one folder (every file named so without regard to case).
    void ScanInfo2Folder(const std::string& folder);
    // One freedesktop.org trash folder (holding files/ and info/); relative original paths
    // start from `relativeBase`. The caller has checked that the folder may be read.
    void ScanTrashFolder(const std::string& trashFolder, const std::string& relativeBase);

private:
    void ScanIndexFolderAt(int folderFd, const std::string& folder);
    void ScanInfo2FolderAt(int folderFd, const std::string& folder);
    void ScanTrashFolderAt(int trashFd, const std::string& trashFolder,
                           const std::string& relativeBase);
    void ScanWindowsRoot(int rootFd, const std::string& root, const char* name, bool indexFiles);
    void ScanUserTrash(int parentFd, const std::string& parent, const std::string& name,
                       const std::string& relativeBase, std::vector<std::pair<dev_t, ino_t>>& seen);

    TTrashUser FUser;
    std::function<void()> FProcessMessages;
    TRecylceEntries FFiles;
};

// The paths that wiping `entries` means, in the order the file list adds them: for each entry,
// a deleted folder's contents first (depth first, each folder after its contents), then the
// entry's BinFilename, then its IndexFileName (so that the index is wiped too). Every path
// comes once: paths already in `listed` are left out, and each path returned is put into it,
// so that several volumes' entries and other targets can share one table.
std::vector<std::string> RecyclerWipeList(const TRecylceEntries& entries,
                                          std::unordered_set<std::string>& listed);
std::vector<std::string> RecyclerWipeList(const TRecylceEntries& entries);

} // namespace purgix
