#include "platform/fileops.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace purgix::platform {
namespace {

constexpr const char* kNtfsAttrib = "system.ntfs_attrib";
constexpr const char* kNtfsCrtime = "system.ntfs_crtime";
constexpr int kWritableFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

std::string UserName(const std::string& name) {
    return "user." + name;
}

} // namespace

UniqueFd OpenNoFollow(int dirFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return UniqueFd();
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (S_ISDIR(st.st_mode))
        flags |= O_DIRECTORY;
    else if (!S_ISREG(st.st_mode))
        return UniqueFd();
    UniqueFd fd(::openat(dirFd, name.c_str(), flags));
    struct stat opened {};
    if (fd && (::fstat(fd.Get(), &opened) != 0 || opened.st_ino != st.st_ino ||
               opened.st_dev != st.st_dev))
        fd.Reset();
    return fd;
}

ParentRef OpenParent(const std::string& path) {
    ParentRef ref;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::size_t slash = p.rfind('/');
    std::string folder;
    if (slash == std::string::npos) {
        folder = ".";
        ref.name = p;
    } else {
        folder = slash == 0 ? "/" : p.substr(0, slash);
        ref.name = p.substr(slash + 1);
    }
    if (ref.name.empty() || ref.name == "." || ref.name == "..") {
        ref.error = EINVAL;
        return ref;
    }
    ref.dir.Reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!ref.dir)
        ref.error = errno;
    return ref;
}

ExclusiveFile OpenExclusive(int dirFd, const std::string& name, bool direct) {
    ExclusiveFile result;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.error = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
        return result;
    }
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_DSYNC;
    UniqueFd fd;
    if (direct) {
        fd.Reset(::openat(dirFd, name.c_str(), flags | O_DIRECT));
        result.direct = fd.Valid();
    }
    if (!fd)
        fd.Reset(::openat(dirFd, name.c_str(), flags));
    if (!fd) {
        result.error = errno;
        return result;
    }
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino ||
        opened.st_dev != st.st_dev) {
        result.error = EINVAL; // replaced between the test and the open
        return result;
    }
    // A lease break is announced with a signal whose default action is to be ignored, so that
    // another process opening the file never ends this one.
    ::fcntl(fd.Get(), F_SETSIG, SIGURG);
    if (::fcntl(fd.Get(), F_SETLEASE, F_WRLCK) != 0 && (errno == EAGAIN || errno == EBUSY)) {
        result.error = EBUSY;
        return result;
    }
    result.fd = std::move(fd);
    return result;
}

int WipeFileStream::Seek(std::int64_t position) {
    if (position < 0)
        return EINVAL;
    position_ = position;
    return 0;
}

IoResult WipeFileStream::Write(const void* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::pwrite(fd_, data, length, position_);
        if (n >= 0) {
            position_ += n;
            return {static_cast<std::size_t>(n), 0};
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        const int fl = ::fcntl(fd_, F_GETFL);
        if (error == EINVAL && fl >= 0 && (fl & O_DIRECT) != 0 &&
            ::fcntl(fd_, F_SETFL, fl & ~O_DIRECT) == 0)
            continue;
        return {0, error};
    }
}

std::vector<std::string> ListUserXattrs(int fd) {
    std::vector<std::string> names;
    std::vector<char> buffer;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return names;
        buffer.resize(static_cast<std::size_t>(size));
        const ssize_t n = ::flistxattr(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (n < 0)
            return names;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
            const std::string entry(buffer.data() + i);
            i += entry.size() + 1;
            if (entry.size() > 5 && entry.compare(0, 5, "user.") == 0)
                names.push_back(entry.substr(5));
        }
        return names;
    }
    return names;
}

std::int64_t UserXattrSize(int fd, const std::string& name) {
    return ::fgetxattr(fd, UserName(name).c_str(), nullptr, 0);
}

XattrStream::XattrStream(int fd, std::string name, std::size_t length)
    : fd_(fd), attr_(UserName(name)), value_(length) {}

int XattrStream::Seek(std::int64_t position) {
    if (position < 0 || static_cast<std::uint64_t>(position) > value_.size())
        return EINVAL;
    position_ = static_cast<std::size_t>(position);
    return 0;
}

IoResult XattrStream::Write(const void* data, std::size_t length) {
    const std::size_t n = std::min(length, value_.size() - position_);
    if (n == 0)
        return {0, length == 0 ? 0 : ENOSPC};
    std::memcpy(value_.data() + position_, data, n);
    position_ += n;
    if (position_ == value_.size() &&
        ::fsetxattr(fd_, attr_.c_str(), value_.data(), value_.size(), XATTR_REPLACE) != 0)
        return {0, errno};
    return {n, 0};
}

int RemoveUserXattr(int fd, const std::string& name) {
    return ::fremovexattr(fd, UserName(name).c_str()) == 0 ? 0 : errno;
}

std::uint32_t FileAttributes::Windows() const noexcept {
    if (ntfs)
        return ntfsAttrib;
    if (!hasFlags)
        return kInvalidAttributes;
    std::uint32_t bits = 0;
    if ((inodeFlags & kWritableFlags) != 0)
        bits |= kAttrReadonly;
    if ((inodeFlags & FS_COMPR_FL) != 0)
        bits |= kAttrCompressed;
    if ((inodeFlags & FS_ENCRYPT_FL) != 0)
        bits |= kAttrEncrypted;
    return bits == 0 ? kAttrNormal : bits;
}

FileAttributes ReadFileAttributes(int dirFd, const std::string& name) {
    FileAttributes a;
    const UniqueFd fd = OpenNoFollow(dirFd, name);
    if (!fd)
        return a;
    std::uint32_t value = 0;
    if (::fgetxattr(fd.Get(), kNtfsAttrib, &value, sizeof value) == sizeof value) {
        a.ntfs = true;
        a.ntfsAttrib = value; // little-endian on the disk and here
    }
    int flags = 0;
    if (::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) == 0) {
        a.hasFlags = true;
        a.inodeFlags = flags;
    }
    return a;
}

bool SetAttributesNormal(int dirFd, const std::string& name, const FileAttributes& attributes) {
    const UniqueFd fd = OpenNoFollow(dirFd, name);
    if (!fd)
        return false;
    bool ok = true;
    if (attributes.ntfs) {
        std::uint32_t value =
            attributes.ntfsAttrib & ~(kAttrReadonly | kAttrHidden | kAttrSystem | kAttrArchive);
        if (value == 0)
            value = kAttrNormal;
        if (value != attributes.ntfsAttrib)
            ok = ::fsetxattr(fd.Get(), kNtfsAttrib, &value, sizeof value, 0) == 0;
    }
    if (attributes.hasFlags && (attributes.inodeFlags & kWritableFlags) != 0) {
        int flags = attributes.inodeFlags & ~kWritableFlags;
        ok = ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags) == 0 && ok;
    }
    return ok;
}

bool RestoreFileAttributes(int dirFd, const std::string& name, const FileAttributes& attributes) {
    const UniqueFd fd = OpenNoFollow(dirFd, name);
    if (!fd)
        return false;
    bool ok = true;
    if (attributes.ntfs) {
        const std::uint32_t value = attributes.ntfsAttrib;
        ok = ::fsetxattr(fd.Get(), kNtfsAttrib, &value, sizeof value, 0) == 0;
    }
    if (attributes.hasFlags) {
        int current = 0;
        int flags = attributes.inodeFlags;
        if (::ioctl(fd.Get(), FS_IOC_GETFLAGS, &current) == 0 && current != flags)
            ok = ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags) == 0 && ok;
    }
    return ok;
}

std::int64_t Year1980LocalTime() {
    std::tm tm{};
    tm.tm_year = 80;
    tm.tm_mon = 0;
    tm.tm_mday = 1;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

bool ResetFileTimes(int fd) {
    const std::int64_t t = Year1980LocalTime();
    const timespec times[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
    const bool ok = ::futimens(fd, times) == 0;
    // NTFS keeps a creation time too: 100-nanosecond units since 1601.
    const std::uint64_t ntfsTime = (static_cast<std::uint64_t>(t) + 11644473600ULL) * 10000000ULL;
    ::fsetxattr(fd, kNtfsCrtime, &ntfsTime, sizeof ntfsTime, 0);
    return ok;
}

int RenameNoReplace(int dirFd, const std::string& from, const std::string& to) {
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // The file system does not know the flag (FUSE): test, then rename.
    struct stat st {};
    if (::fstatat(dirFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(dirFd, from.c_str(), dirFd, to.c_str()) == 0 ? 0 : errno;
}

} // namespace purgix::platform
