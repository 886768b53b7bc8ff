#include "recycler/klrecycler.h"

#include "platform/direntry.h"
#include "platform/text.h"

#include "platform/codepage.h"
#include "platform/debug.h"
#include "platform/fd.h"
#include "platform/mounts.h"
#include "platform/userinfo.h"
#include "wipe/wipeutils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>

namespace purgix {
namespace {

using platform::UniqueFd;

// Longest Windows path in UTF-16 code units, its terminating NUL included.
constexpr std::uint32_t kMaxWindowsPathUnits = 32768;
// Fields of the "$I" index layouts.
constexpr std::int64_t kIndexNameOffset = 24;    // the fixed layout's name field
constexpr std::size_t kIndexNameUnits = 260;     // ... of 260 code units
constexpr std::int64_t kIndexV2NameOffset = 28;  // version 2: the name after its length
constexpr std::uint64_t kIndexVersionLength = 2; // version 2 carries the name length
// INFO2 layout.
constexpr std::int64_t kInfo2HeaderSize = 20;
constexpr std::int64_t kInfo2RecordLengthOffset = 12;
constexpr std::size_t kInfo2FieldsSize = 280;     // ANSI name, number, drive, time, size
constexpr std::size_t kInfo2WideRecordSize = 800; // ... and the UTF-16 name
constexpr std::size_t kInfo2NameBytes = 260;
// Trash index files: a Path= line of an encoded PATH_MAX path fits many times over.
constexpr std::size_t kTrashInfoLimit = 64 * 1024;
constexpr std::size_t kDirectorySizesLimit = 16 * 1024 * 1024;
constexpr std::string_view kTrashInfoSuffix = ".trashinfo";

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

// The path without trailing "/": a trailing "/" would make open() follow a final link even
// with O_NOFOLLOW.
std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t Le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(Le32(p)) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}

// The UTF-16LE code units of a field up to its first NUL; nothing when it holds none.
std::optional<std::u16string> CutUtf16(const unsigned char* p, std::size_t units) {
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
        if (unit == 0)
            return text;
        text += unit;
    }
    return std::nullopt;
}

// Removes leading and trailing blanks and control characters (every byte up to 0x20; in UTF-8
// such bytes are always characters of their own).
std::string Trim(std::string text) {
    const auto keep = [](char c) { return static_cast<unsigned char>(c) > 0x20; };
    const auto first = std::find_if(text.begin(), text.end(), keep);
    const auto last = std::find_if(text.rbegin(), text.rend(), keep).base();
    return first < last ? std::string(first, last) : std::string();
}

// A former path recorded on Windows ("C:\..." or "\\server\...") keeps "\" as its delimiter.
bool IsWindowsPath(const std::string& path) {
    const bool driveLetter =
        path.size() >= 3 &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':' && path[2] == '\\';
    return driveLetter || path.rfind("\\\\", 0) == 0;
}

// The former path with a trailing delimiter, "\" for a Windows path and "/" otherwise.
std::string WithDelimiter(std::string path) {
    const char delimiter = IsWindowsPath(path) ? '\\' : '/';
    if (path.empty() || path.back() != delimiter)
        path += delimiter;
    return path;
}

// The extension of a Windows file name, its dot included; empty when the last part of the
// path has none.
std::string WindowsExtension(const std::string& name) {
    const auto pos = name.find_last_of(".\\/:");
    return pos != std::string::npos && name[pos] == '.' ? name.substr(pos) : std::string();
}

// The "$R" item of a "$I" index file: every "$I" of the file name, in any letter case, becomes
// "$R". Only the name changes: the folders of the path stay as they are.
std::string ItemNameOfIndex(std::string name) {
    for (std::size_t i = 0; i + 1 < name.size(); ++i)
        if (name[i] == '$' && LowerAscii(name[i + 1]) == 'i')
            name.replace(i, 2, "$R");
    return name;
}

using Kind = platform::EntryKind;

Kind KindAt(int dirFd, const std::string& name, struct stat* out = nullptr) {
    return platform::EntryKindAt(dirFd, name.c_str(), out);
}

struct DirEntry {
    std::string name;
    Kind kind;
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The entries of an open folder in listing order, without "." and "..", with their kinds as
// lstat tells them.
std::vector<DirEntry> ListAt(int dirFd) {
    std::vector<DirEntry> entries;
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return entries;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return entries;
    }
    ::rewinddir(dir.get()); // the copy shares the position of dirFd
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const Kind kind = platform::EntryKindOfDirent(*e, dirFd);
        if (kind != Kind::missing)
            entries.push_back({name, kind});
    }
    return entries;
}

// Opens the folder `name` of an open folder, never through a symbolic link.
UniqueFd OpenFolderAt(int dirFd, const std::string& name) {
    return UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opens a listed folder for the walk into it. `isFolder` becomes false when the name no longer
// names a folder (replaced by a link or a file since it was listed); a folder that cannot be
// opened for another reason stays a folder, with nothing listed inside.
UniqueFd OpenChildFolder(int dirFd, const std::string& name, bool& isFolder) {
    UniqueFd fd = OpenFolderAt(dirFd, name);
    isFolder = fd.Valid() || (errno != ELOOP && errno != ENOTDIR && errno != ENOENT);
    if (!fd && isFolder)
        platform::DebugOutput("recycler: cannot open folder " + name + ": " +
                              std::system_category().message(errno));
    return fd;
}

// The names of one folder, for finding an item whose name may have been written in another
// letter case.
class FolderNames {
public:
    FolderNames(int dirFd, const std::vector<DirEntry>& entries)
        : dirFd_(dirFd), entries_(entries) {}

    // The name under which `wanted` exists in the folder, as the folder lists it: the exact
    // name, else the first name in listing order that equals it without regard to case (Windows
    // volumes keep names as they were written; FAT short names, for instance, may come in
    // capitals, and a driver that looks names up without regard to case would otherwise hand
    // back our spelling instead of the listed one). A name that appeared after the listing is
    // taken as asked for.
    std::optional<std::string> Find(const std::string& wanted, Kind& kind) const {
        const DirEntry* match = nullptr;
        for (const DirEntry& e : entries_) {
            if (e.name == wanted) {
                match = &e;
                break;
            }
            if (match == nullptr && EqualsNoCase(e.name, wanted))
                match = &e;
        }
        const std::string name = match != nullptr ? match->name : wanted;
        kind = KindAt(dirFd_, name);
        if (kind == Kind::missing)
            return std::nullopt;
        return name;
    }

private:
    int dirFd_;
    const std::vector<DirEntry>& entries_;
};

// An index file opened for reading: never through a link, never blocking on a fifo, and only
// when no other process has it open (as Windows opens it without sharing).
class IndexReader {
public:
    IndexReader() = default;
    IndexReader(const IndexReader&) = delete;
    IndexReader& operator=(const IndexReader&) = delete;
    ~IndexReader() {
        if (leased_)
            ::fcntl(fd_.Get(), F_SETLEASE, F_UNLCK);
    }

    // Opens `name` in the folder `dirFd`; `path` names it in messages. False when there is no
    // regular file of that name (gone since the listing, a link, a folder, a special file).
    // Throws std::system_error when the file exists but cannot be opened, or when `exclusive`
    // and another process has it open.
    bool Open(int dirFd, const std::string& name, const std::string& path, bool exclusive) {
        constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        // Reading changes nothing, not even the access time where the system allows that.
        fd_.Reset(::openat(dirFd, name.c_str(), kFlags | O_NOATIME));
        if (!fd_ && errno == EPERM)
            fd_.Reset(::openat(dirFd, name.c_str(), kFlags));
        if (!fd_) {
            const int error = errno;
            if (error == ENOENT || error == ELOOP || error == ENOTDIR || error == ENXIO)
                return false;
            throw std::system_error(error, std::generic_category(), "cannot open " + path);
        }
        struct stat st {};
        if (::fstat(fd_.Get(), &st) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        if (!S_ISREG(st.st_mode))
            return false;
        size_ = st.st_size;
        if (exclusive) {
            // A write lease is granted only while no other descriptor of the file is open. Its
            // break signal, should another process open the file meanwhile, is SIGURG, which is
            // ignored unless handled, rather than SIGIO, which would end the program.
            ::fcntl(fd_.Get(), F_SETSIG, SIGURG);
            if (::fcntl(fd_.Get(), F_SETLEASE, F_WRLCK) == 0) {
                leased_ = true;
            } else if (errno == EAGAIN) {
                throw std::system_error(EBUSY, std::generic_category(),
                                        "cannot open " + path + " exclusively");
            }
            // Other failures: the file system cannot grant leases (FUSE); read it all the same.
        }
        return true;
    }

    std::int64_t Size() const noexcept { return size_; }

    // Reads exactly `length` bytes at `offset`; false when the file ends before.
    bool ReadAt(std::int64_t offset, void* data, std::size_t length) const {
        if (offset < 0 || offset > size_ || static_cast<std::uint64_t>(size_ - offset) < length)
            return false;
        auto* p = static_cast<unsigned char*>(data);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_.Get(), p + done, length - done,
                                      static_cast<off_t>(offset + static_cast<off_t>(done)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // The whole file when it holds at most `limit` bytes.
    std::optional<std::string> ReadAll(std::size_t limit) const {
        if (size_ < 0 || static_cast<std::uint64_t>(size_) > limit)
            return std::nullopt;
        std::string text(static_cast<std::size_t>(size_), '\0');
        if (!ReadAt(0, text.data(), text.size()))
            return std::nullopt;
        return text;
    }

private:
    UniqueFd fd_;
    std::int64_t size_ = 0;
    bool leased_ = false;
};

// The fields of one "$I" index file.
struct IndexRecord {
    std::int64_t size = 0;
    std::uint64_t fileTime = 0;
    std::string name;
};

// Reads a "$I" index file. Version 2 files (header 2) carry the name's length in code units at
// offset 24 and the name behind it; every other header is read as the fixed layout with its
// 260-unit name field at offset 24. A file shorter than its fields, a length beyond the longest
// Windows path, or a name without its NUL gives nothing.
std::optional<IndexRecord> ReadIndexRecord(const IndexReader& file) {
    unsigned char header[kIndexNameOffset];
    if (!file.ReadAt(0, header, sizeof header))
        return std::nullopt;
    IndexRecord record;
    record.size = static_cast<std::int64_t>(Le64(header + 8));
    record.fileTime = Le64(header + 16);

    std::int64_t nameOffset = kIndexNameOffset;
    std::size_t units = kIndexNameUnits;
    if (Le64(header) == kIndexVersionLength) {
        unsigned char length[4];
        if (!file.ReadAt(kIndexNameOffset, length, sizeof length))
            return std::nullopt;
        const std::uint32_t count = Le32(length);
        if (count == 0 || count > kMaxWindowsPathUnits)
            return std::nullopt;
        nameOffset = kIndexV2NameOffset;
        units = count;
    }
    // The file's size bounds the buffer before anything is allocated.
    if (file.Size() - nameOffset < static_cast<std::int64_t>(units * 2))
        return std::nullopt;
    std::vector<unsigned char> field(units * 2);
    if (!file.ReadAt(nameOffset, field.data(), field.size()))
        return std::nullopt;
    const auto name = CutUtf16(field.data(), units);
    if (!name)
        return std::nullopt;
    record.name = platform::Utf16ToUtf8(*name);
    return record;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && platform::HexDigit(text[i + 1]) >= 0 &&
            platform::HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(platform::HexDigit(text[i + 1]) * 16 +
                                     platform::HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i]; // not an escape: kept as written
        }
    }
    return out;
}

// Parses "YYYY-MM-DDThh:mm:ss" (local time), optionally followed by a fraction of a second.
TDateTime ParseTrashDate(std::string_view text) {
    using namespace std::chrono;
    const auto digits = [&](std::size_t pos, std::size_t count, int& value) {
        value = 0;
        if (pos + count > text.size())
            return false;
        for (std::size_t i = pos; i < pos + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s;
    if (!digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d) || !digits(11, 2, h) ||
        !digits(14, 2, mi) || !digits(17, 2, s) || text[4] != '-' || text[7] != '-' ||
        text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return {};
    std::int64_t fraction = 0;
    if (text.size() > 19) {
        if (text[19] != '.' || text.size() == 20)
            return {};
        std::int64_t scale = 1'000'000;
        for (std::size_t i = 20; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9')
                return {};
            fraction += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59)
        return {};
    return TDateTime{local_days{date}.time_since_epoch() + hours{h} + minutes{mi} + seconds{s} +
                     TDateTimeUnits{fraction}};
}

struct TrashInfo {
    std::string path;
    TDateTime deleteTime{};
};

// Reads a .trashinfo file: the keys Path (required) and DeletionDate of its "[Trash Info]"
// group, the first of each.
std::optional<TrashInfo> ParseTrashInfo(const std::string& text) {
    std::optional<std::string> path;
    std::optional<std::string> date;
    bool inGroup = false;
    bool sawGroup = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGroup = line == "[Trash Info]";
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        std::string value = line.substr(eq + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (key == "Path" && !path)
            path = value;
        else if (key == "DeletionDate" && !date)
            date = value;
    }
    if (!sawGroup || !path || path->empty())
        return std::nullopt;
    TrashInfo info;
    info.path = PercentDecode(*path);
    if (date)
        info.deleteTime = ParseTrashDate(*date);
    return info;
}

// The "directorysizes" cache of a trash folder: one line per deleted folder,
// "SIZE MTIME PERCENT-ENCODED-NAME". Lines that do not read so are ignored.
std::map<std::string, std::int64_t> ReadDirectorySizes(int trashFd, const std::string& path) {
    std::map<std::string, std::int64_t> sizes;
    IndexReader file;
    if (!file.Open(trashFd, "directorysizes", path, false))
        return sizes;
    const auto text = file.ReadAll(kDirectorySizesLimit);
    if (!text)
        return sizes;
    std::size_t start = 0;
    while (start < text->size()) {
        auto end = text->find('\n', start);
        if (end == std::string::npos)
            end = text->size();
        const std::string line = text->substr(start, end - start);
        start = end + 1;
        const auto sp1 = line.find(' ');
        const auto sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string::npos || sp1 == 0 || sp1 > 18)
            continue;
        std::int64_t size = 0;
        bool number = true;
        for (std::size_t i = 0; i < sp1; ++i) {
            number = number && line[i] >= '0' && line[i] <= '9';
            size = size * 10 + (line[i] - '0');
        }
        const std::string name = PercentDecode(line.substr(sp2 + 1));
        if (number && !name.empty())
            sizes.emplace(name, size);
    }
    return sizes;
}

void CallEvery100(const std::function<void()>& callback, std::size_t count) {
    if (callback && count % 100 == 0)
        callback();
}

} // namespace

TDateTime FileTimeToLocalDateTime(std::uint64_t fileTime) {
    // 100-nanosecond units from 1601-01-01 to 1970-01-01.
    constexpr std::int64_t kUnixEpoch = 116'444'736'000'000'000;
    constexpr std::int64_t kUnitsPerSecond = 10'000'000;
    if (fileTime > static_cast<std::uint64_t>(INT64_MAX))
        return {};
    const std::int64_t units = static_cast<std::int64_t>(fileTime) - kUnixEpoch;
    std::int64_t seconds = units / kUnitsPerSecond;
    if (units % kUnitsPerSecond < 0)
        --seconds;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr)
        return {};
    // A file time is at most about 2^63 units, so adding an offset of hours cannot overflow.
    return TDateTime{TDateTimeUnits{units} + std::chrono::seconds{tm.tm_gmtoff}};
}

TRecylceEntry& TRecylceEntry::AddFile(std::unique_ptr<TRecylceEntry> entry) {
    FFiles.push_back(std::move(entry));
    return *FFiles.back();
}

void TRecylceEntry::EnumFolderContents(const std::function<void()>& processMessages) {
    const UniqueFd fd(::open(WithoutSlash(FBinFilename).c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        EnumFolderContentsAt(fd.Get(), processMessages);
}

void TRecylceEntry::EnumFolderContentsAt(int folderFd,
                                         const std::function<void()>& processMessages) {
    const std::string folder = WithSlash(FBinFilename);
    const std::string former = WithDelimiter(FOrigfilename);
    std::size_t count = 0;
    for (const DirEntry& e : ListAt(folderFd)) {
        CallEvery100(processMessages, count++);
        auto child = std::make_unique<TRecylceEntry>();
        child->FBinFilename = folder + e.name;
        child->FOrigfilename = former + e.name;
        UniqueFd childFd;
        if (e.kind == Kind::folder)
            childFd = OpenChildFolder(folderFd, e.name, child->FisDirectory);
        if (child->FisDirectory) {
            child->FBinFilename += '/';
            child->FOrigfilename = WithDelimiter(child->FOrigfilename);
            if (childFd)
                child->EnumFolderContentsAt(childFd.Get(), processMessages);
        }
        FFiles.push_back(std::move(child));
    }
}

TTrashUser TTrashUser::Invoking() {
    const platform::UserInfo info = platform::InvokingUser();
    TTrashUser user;
    user.uid = info.uid;
    user.homeTrashBase = info.dataHome;
    user.homeTrash = info.dataHome.empty() ? std::string() : info.dataHome + "Trash/";
    if (user.homeTrash.empty())
        return user;
    // The volume is named by the mount point that the volume list uses, so that a home folder
    // reached through a second mount of a volume is still listed with that volume.
    const auto table = platform::ReadMountTable();
    const std::string mountPoint = platform::MountPointOfPath(user.homeTrash, table);
    user.homeTrashVolume = mountPoint;
    dev_t devno = 0;
    for (const auto& e : table)
        if (e.target == mountPoint)
            devno = e.devno;
    for (const auto& v : platform::ListVolumes(table)) {
        for (const auto& e : table) {
            if (devno != 0 && e.target == v.mountPoint && e.devno == devno) {
                user.homeTrashVolume = v.mountPoint;
                return user;
            }
        }
    }
    return user;
}

TKLRecycler::TKLRecycler() : TKLRecycler(TTrashUser::Invoking()) {}

TKLRecycler::TKLRecycler(TTrashUser user) : FUser(std::move(user)) {}

void TKLRecycler::EnumFiles(const std::string& mountPoint) {
    FFiles.clear();
    if (mountPoint.empty())
        return;
    const std::string root = WithSlash(mountPoint);
    const UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd)
        return;
    ScanWindowsRoot(rootFd.Get(), root, "$recycle.bin", true);
    ScanWindowsRoot(rootFd.Get(), root, "RECYCLER", false);
    ScanWindowsRoot(rootFd.Get(), root, "RECYCLED", false);

    // The freedesktop.org trash folders of the user, each read once.
    std::vector<std::pair<dev_t, ino_t>> seen;
    const std::string uid = std::to_string(FUser.uid);
    if (!FUser.homeTrash.empty() && WithSlash(FUser.homeTrashVolume) == root)
        ScanUserTrash(AT_FDCWD, WithoutSlash(FUser.homeTrash), WithSlash(FUser.homeTrash),
                      WithSlash(FUser.homeTrashBase), seen);
    // $topdir/.Trash is shared by all users: it counts only as a real folder with the sticky
    // bit, so that nobody can move another user's folder away.
    const UniqueFd shared = OpenFolderAt(rootFd.Get(), ".Trash");
    struct stat st {};
    if (shared && ::fstat(shared.Get(), &st) == 0 && (st.st_mode & S_ISVTX) != 0)
        ScanUserTrash(shared.Get(), uid, root + ".Trash/" + uid + "/", root, seen);
    ScanUserTrash(rootFd.Get(), ".Trash-" + uid, root + ".Trash-" + uid + "/", root, seen);
}

void TKLRecycler::ScanWindowsRoot(int rootFd, const std::string& root, const char* name,
                                  bool indexFiles) {
    // On a case-sensitive view of a volume several spellings may exist: each is a bin.
    for (const DirEntry& bin : ListAt(rootFd)) {
        if (bin.kind != Kind::folder || !EqualsNoCase(bin.name, name))
            continue;
        const UniqueFd binFd = OpenFolderAt(rootFd, bin.name);
        if (!binFd)
            continue;
        const std::string binPath = root + bin.name + "/";
        const auto scan = [&](int fd, const std::string& path) {
            if (indexFiles)
                ScanIndexFolderAt(fd, path);
            else
                ScanInfo2FolderAt(fd, path);
        };
        scan(binFd.Get(), binPath);
        for (const DirEntry& sub : ListAt(binFd.Get())) {
            if (sub.kind != Kind::folder)
                continue;
            const UniqueFd subFd = OpenFolderAt(binFd.Get(), sub.name);
            if (subFd)
                scan(subFd.Get(), binPath + sub.name + "/");
        }
    }
}

void TKLRecycler::ScanIndexFolder(const std::string& folder) {
    const UniqueFd fd(
        ::open(WithoutSlash(folder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        ScanIndexFolderAt(fd.Get(), WithSlash(folder));
}

void TKLRecycler::ScanIndexFolderAt(int folderFd, const std::string& folder) {
    const std::vector<DirEntry> entries = ListAt(folderFd);
    const FolderNames names(folderFd, entries);
    std::size_t count = 0;
    for (const DirEntry& index : entries) {
        // Only regular files are index files; a folder or link named "$I..." is none.
        if (index.kind != Kind::file || !MatchesMask(index.name, "$I*"))
            continue;
        CallEvery100(FProcessMessages, count++);
        const std::string indexPath = folder + index.name;
        IndexReader file;
        if (!file.Open(folderFd, index.name, indexPath, true))
            continue;
        const auto record = ReadIndexRecord(file);
        if (!record) {
            platform::DebugOutput("recycler: not a readable index file: " + indexPath);
            continue;
        }
        // A missing item still yields an entry, as a file.
        std::string itemName = ItemNameOfIndex(index.name);
        Kind kind = Kind::missing;
        if (const auto found = names.Find(itemName, kind))
            itemName = *found;

        auto entry = std::make_unique<TRecylceEntry>();
        entry->SetBinFilename(folder + itemName);
        entry->SetIndexFileName(indexPath);
        entry->SetFileSize(record->size);
        entry->SetDeleteTime(FileTimeToLocalDateTime(record->fileTime));
        entry->SetOrigfilename(record->name);
        if (kind == Kind::folder) {
            bool isFolder = false;
            const UniqueFd itemFd = OpenChildFolder(folderFd, itemName, isFolder);
            entry->SetIsDirectory(isFolder);
            if (isFolder) {
                entry->SetBinFilename(entry->BinFilename() + "/");
                if (itemFd)
                    entry->EnumFolderContentsAt(itemFd.Get(), FProcessMessages);
            }
        }
        FFiles.push_back(std::move(entry));
    }
}

void TKLRecycler::ScanInfo2Folder(const std::string& folder) {
    const UniqueFd fd(
        ::open(WithoutSlash(folder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        ScanInfo2FolderAt(fd.Get(), WithSlash(folder));
}

void TKLRecycler::ScanInfo2FolderAt(int folderFd, const std::string& folder) {
    const std::vector<DirEntry> entries = ListAt(folderFd);
    const FolderNames names(folderFd, entries);
    for (const DirEntry& info : entries) {
        if (info.kind != Kind::file || !EqualsNoCase(info.name, "INFO2"))
            continue;
        const std::string infoPath = folder + info.name;
        IndexReader file;
        if (!file.Open(folderFd, info.name, infoPath, true))
            continue;
        unsigned char lengthField[4];
        if (!file.ReadAt(kInfo2RecordLengthOffset, lengthField, sizeof lengthField))
            continue;
        // The low 16 bits are the record length; records too short for the fields read
        // (0 included) make the file unreadable.
        const std::size_t recordLength = Le32(lengthField) & 0xFFFF;
        if (recordLength < kInfo2FieldsSize) {
            platform::DebugOutput("recycler: INFO2 record length " + std::to_string(recordLength) +
                                  " too small: " + infoPath);
            continue;
        }
        const bool wide = recordLength >= kInfo2WideRecordSize;
        const std::size_t readLength = wide ? kInfo2WideRecordSize : kInfo2FieldsSize;
        std::vector<unsigned char> record(readLength);
        const std::int64_t records =
            file.Size() < kInfo2HeaderSize
                ? 0
                : (file.Size() - kInfo2HeaderSize) / static_cast<std::int64_t>(recordLength);
        for (std::int64_t r = 0; r < records; ++r) {
            const std::int64_t offset =
                kInfo2HeaderSize + r * static_cast<std::int64_t>(recordLength);
            if (!file.ReadAt(offset, record.data(), record.size()))
                break;
            const unsigned char* p = record.data();
            const std::uint32_t number = Le32(p + 260);
            const std::uint32_t drive = Le32(p + 264);
            const std::uint64_t fileTime = Le64(p + 268);
            const std::uint32_t size = Le32(p + 276);

            // The former name: the UTF-16 path where the record has one, else the ANSI path;
            // a name field without its NUL makes the record unreadable.
            std::optional<std::string> former;
            if (wide) {
                if (const auto units = CutUtf16(p + kInfo2FieldsSize, kInfo2NameBytes))
                    former = platform::Utf16ToUtf8(*units);
            } else {
                const auto* end = std::find(p, p + kInfo2NameBytes, 0);
                if (end != p + kInfo2NameBytes)
                    former = platform::Cp1252ToUtf8(std::string_view(
                        reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p)));
            }
            if (!former || drive > 25) {
                platform::DebugOutput("recycler: unreadable INFO2 record " + std::to_string(r) +
                                      " in " + infoPath);
                continue;
            }
            const std::string name = Trim(*former);
            std::string itemName = std::string("D") + static_cast<char>('a' + drive) +
                                   std::to_string(number) + WindowsExtension(name);
            Kind kind = Kind::missing;
            const auto found = names.Find(itemName, kind);
            // Neither file nor folder: the item has been restored or purged.
            if (!found || (kind != Kind::file && kind != Kind::link && kind != Kind::folder))
                continue;
            itemName = *found;

            auto entry = std::make_unique<TRecylceEntry>();
            entry->SetOrigfilename(name);
            entry->SetBinFilename(folder + itemName);
            entry->SetFileSize(size);
            entry->SetDeleteTime(FileTimeToLocalDateTime(fileTime));
            if (kind == Kind::folder) {
                bool isFolder = false;
                const UniqueFd itemFd = OpenChildFolder(folderFd, itemName, isFolder);
                entry->SetIsDirectory(isFolder);
                if (isFolder) {
                    entry->SetBinFilename(entry->BinFilename() + "/");
                    entry->SetOrigfilename(WithDelimiter(entry->Origfilename()));
                    if (itemFd)
                        entry->EnumFolderContentsAt(itemFd.Get(), FProcessMessages);
                }
            }
            FFiles.push_back(std::move(entry));
        }
    }
}

void TKLRecycler::ScanUserTrash(int parentFd, const std::string& name,
                                const std::string& trashFolder, const std::string& relativeBase,
                                std::vector<std::pair<dev_t, ino_t>>& seen) {
    // A trash folder counts only as a real folder (never a link) that belongs to the user:
    // anything else may hold what someone else put there.
    const UniqueFd fd = OpenFolderAt(parentFd, name);
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || st.st_uid != FUser.uid)
        return;
    const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
    if (std::find(seen.begin(), seen.end(), id) != seen.end())
        return;
    seen.push_back(id);
    ScanTrashFolderAt(fd.Get(), trashFolder, relativeBase);
}

void TKLRecycler::ScanTrashFolder(const std::string& trashFolder, const std::string& relativeBase) {
    const UniqueFd fd(
        ::open(WithoutSlash(trashFolder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        ScanTrashFolderAt(fd.Get(), WithSlash(trashFolder), WithSlash(relativeBase));
}

void TKLRecycler::ScanTrashFolderAt(int trashFd, const std::string& trashFolder,
                                    const std::string& relativeBase) {
    const UniqueFd filesFd = OpenFolderAt(trashFd, "files");
    const UniqueFd infoFd = OpenFolderAt(trashFd, "info");
    if (!filesFd || !infoFd)
        return;
    const std::string filesPath = trashFolder + "files/";
    const std::string infoPath = trashFolder + "info/";
    const auto sizes = ReadDirectorySizes(trashFd, trashFolder + "directorysizes");
    std::size_t count = 0;
    for (const DirEntry& info : ListAt(infoFd.Get())) {
        if (info.kind != Kind::file || info.name.size() <= kTrashInfoSuffix.size() ||
            info.name.compare(info.name.size() - kTrashInfoSuffix.size(), std::string::npos,
                              kTrashInfoSuffix) != 0)
            continue;
        CallEvery100(FProcessMessages, count++);
        const std::string itemName =
            info.name.substr(0, info.name.size() - kTrashInfoSuffix.size());
        struct stat st {};
        const Kind kind = KindAt(filesFd.Get(), itemName, &st);
        if (kind == Kind::missing)
            continue; // an index without its item
        const std::string indexPath = infoPath + info.name;
        IndexReader file;
        if (!file.Open(infoFd.Get(), info.name, indexPath, true))
            continue;
        const auto text = file.ReadAll(kTrashInfoLimit);
        const auto parsed = text ? ParseTrashInfo(*text) : std::nullopt;
        if (!parsed) {
            platform::DebugOutput("recycler: not a readable trash index: " + indexPath);
            continue;
        }

        auto entry = std::make_unique<TRecylceEntry>();
        entry->SetBinFilename(filesPath + itemName);
        entry->SetIndexFileName(indexPath);
        entry->SetOrigfilename(parsed->path.front() == '/' ? parsed->path
                                                           : relativeBase + parsed->path);
        entry->SetDeleteTime(parsed->deleteTime);
        entry->SetFileSize(st.st_size);
        if (kind == Kind::folder) {
            bool isFolder = false;
            const UniqueFd itemFd = OpenChildFolder(filesFd.Get(), itemName, isFolder);
            entry->SetIsDirectory(isFolder);
            if (isFolder) {
                const auto size = sizes.find(itemName);
                entry->SetFileSize(size != sizes.end() ? size->second : 0);
                entry->SetBinFilename(entry->BinFilename() + "/");
                if (itemFd)
                    entry->EnumFolderContentsAt(itemFd.Get(), FProcessMessages);
            }
        }
        FFiles.push_back(std::move(entry));
    }
}

namespace {

void AddToWipeList(const TRecylceEntry& entry, std::unordered_set<std::string>& listed,
                   std::vector<std::string>& list) {
    if (entry.isDirectory())
        for (const auto& child : entry.Files())
            AddToWipeList(*child, listed, list);
    if (listed.insert(entry.BinFilename()).second)
        list.push_back(entry.BinFilename());
    // Every index file describes a deleted item of its own, so it is wiped even where two
    // indexes name the same item.
    if (!entry.IndexFileName().empty() && listed.insert(entry.IndexFileName()).second)
        list.push_back(entry.IndexFileName());
}

} // namespace

std::vector<std::string> RecyclerWipeList(const TRecylceEntries& entries,
                                          std::unordered_set<std::string>& listed) {
    std::vector<std::string> list;
    for (const auto& entry : entries)
        AddToWipeList(*entry, listed, list);
    return list;
}

std::vector<std::string> RecyclerWipeList(const TRecylceEntries& entries) {
    std::unordered_set<std::string> listed;
    return RecyclerWipeList(entries, listed);
}

} // namespace purgix
