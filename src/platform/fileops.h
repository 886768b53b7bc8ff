// File operations of the wipe engine, made safe against links: every file is reached through a
// descriptor of its folder and its last name, never through a symbolic link, and opened for
// writing only when it is a regular file.
#pragma once

#include "platform/fd.h"
#include "platform/stream.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

namespace purgix::platform {

// The folder that holds a path (opened as an O_PATH descriptor) and the path's last name.
struct ParentRef {
    UniqueFd dir;
    std::string name;
    int error = 0; // errno when the folder could not be opened
    bool Valid() const noexcept { return dir.Valid() && !name.empty(); }
};

// Opens the folder of `path` (a trailing "/" is ignored: "/a/b/" is the entry "b" of "/a/").
// The folder's own path may pass through links, as the user gave it; the last name is never
// followed.
ParentRef OpenParent(const std::string& path);

// Opens the regular file or folder `name` of `dirFd` read-only for queries, never following a
// link and never opening anything else (invalid then).
UniqueFd OpenNoFollow(int dirFd, const std::string& name);

// An open regular file for wiping.
struct ExclusiveFile {
    UniqueFd fd;
    int error = 0;       // errno of the failure; EBUSY when another process holds the file
    bool direct = false; // opened with O_DIRECT
    bool Ok() const noexcept { return fd.Valid(); }
};

// Opens the regular file `name` of the folder `dirFd` for reading and writing with O_DSYNC,
// and with O_DIRECT when `direct` is set and the file system allows it (else buffered). A
// symbolic link, device node, fifo or socket is refused (ELOOP / EINVAL) without being opened.
// Exclusive like a file opened without sharing: a write lease is taken, which fails while any
// other process has the file open (EBUSY); where the file system grants no leases (FUSE), the
// open goes ahead. A lease break (another process opening the file meanwhile) makes that
// process wait until the descriptor is closed or the kernel's lease-break time has passed.
ExclusiveFile OpenExclusive(int dirFd, const std::string& name, bool direct);

// A stream over a wipe descriptor: positioned writes; when the file system refuses an
// unbuffered write (EINVAL), the descriptor drops O_DIRECT and the write is retried buffered.
class WipeFileStream final : public IStreamHandle {
public:
    explicit WipeFileStream(int fd) noexcept : fd_(fd) {}
    int Seek(std::int64_t position) override;
    IoResult Write(const void* data, std::size_t length) override;
    // Reads from the medium, not from the page cache: unbuffered, or after the cached pages
    // were written and dropped where the file system refuses unbuffered reads.
    IoResult Read(void* data, std::size_t length) override;

private:
    int fd_;
    std::int64_t position_ = 0;
};

// The names of the `user.*` extended attributes of an open file, without "user.", in the order
// the file system lists them. Empty when the file system has none or cannot list them.
std::vector<std::string> ListUserXattrs(int fd);
// The length of the attribute value `user.<name>`; -1 with errno when it cannot be read.
std::int64_t UserXattrSize(int fd, const std::string& name);

// A stream over the value of the attribute `user.<name>` of length `length`: the value is
// collected in memory and stored with one fsetxattr each time the writes reach its end, so a
// pass over the whole value is one attribute write.
class XattrStream final : public IStreamHandle {
public:
    XattrStream(int fd, std::string name, std::size_t length);
    int Seek(std::int64_t position) override;
    IoResult Write(const void* data, std::size_t length) override;
    // Reads the stored value (fetched once per pass over it, from its start).
    IoResult Read(void* data, std::size_t length) override;

private:
    int fd_;
    std::string attr_;
    std::vector<std::uint8_t> value_;
    std::vector<std::uint8_t> read_; // the stored value as last read
    std::size_t position_ = 0;
};

// Removes the attribute `user.<name>`; 0 or errno.
int RemoveUserXattr(int fd, const std::string& name);

// Windows-style attribute bits.
inline constexpr std::uint32_t kAttrReadonly = 0x1;
inline constexpr std::uint32_t kAttrHidden = 0x2;
inline constexpr std::uint32_t kAttrSystem = 0x4;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kAttrSparse = 0x200;
inline constexpr std::uint32_t kAttrCompressed = 0x800;
inline constexpr std::uint32_t kAttrEncrypted = 0x4000;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// What a file's attributes are on this system: the Windows attributes that NTFS keeps
// (system.ntfs_attrib), or the inode flags of other file systems.
struct FileAttributes {
    bool ntfs = false;
    std::uint32_t ntfsAttrib = 0;
    bool hasFlags = false;
    int inodeFlags = 0;
    bool hasMode = false;
    mode_t mode = 0; // permission bits
    // As Windows attribute bits: the NTFS value, else read-only for an immutable or
    // append-only file, compressed and encrypted from the inode flags; kInvalidAttributes when
    // neither could be read.
    std::uint32_t Windows() const noexcept;
};

// Reads the attributes of the regular file or folder `name` in `dirFd` (never following a link;
// other kinds give no attributes).
FileAttributes ReadFileAttributes(int dirFd, const std::string& name);
// "Normal": read-only, hidden, system and archive cleared on NTFS; the immutable and
// append-only flags cleared elsewhere; the owner's write permission added where it is missing
// (what read-only means in a mode) — so that the file can be written, renamed and deleted.
// True when nothing needed changing or the change took.
bool SetAttributesNormal(int dirFd, const std::string& name, const FileAttributes& attributes);
// Puts back what ReadFileAttributes read.
bool RestoreFileAttributes(int dirFd, const std::string& name, const FileAttributes& attributes);

// Sets the access and modification times (and the creation time where the file system lets it
// be set) of an open file to 1 January 1980, 00:00:00.000 local time.
bool ResetFileTimes(int fd);
// That moment as a time_t.
std::int64_t Year1980LocalTime();

// Renames `from` to `to` within the folder `dirFd`, never replacing an existing entry (EEXIST).
// Returns 0 or errno.
int RenameNoReplace(int dirFd, const std::string& from, const std::string& to);

} // namespace purgix::platform
