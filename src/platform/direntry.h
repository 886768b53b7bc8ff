// What a folder entry is, told without following symbolic links.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace purgix::platform {

enum class EntryKind { missing, folder, file, link, special };

inline EntryKind EntryKindOfMode(mode_t mode) {
    if (S_ISDIR(mode))
        return EntryKind::folder;
    if (S_ISREG(mode))
        return EntryKind::file;
    if (S_ISLNK(mode))
        return EntryKind::link;
    return EntryKind::special;
}

// The kind of `name` in the folder `dirFd` (AT_FDCWD for a path); a link is a link.
inline EntryKind EntryKindAt(int dirFd, const char* name, struct stat* out = nullptr) {
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::missing;
    if (out != nullptr)
        *out = st;
    return EntryKindOfMode(st.st_mode);
}

// The kind of a listed entry of the folder `dirFd`, from the listing where the file system
// tells it, else from fstatat.
inline EntryKind EntryKindOfDirent(const dirent& e, int dirFd) {
    switch (e.d_type) {
    case DT_DIR:
        return EntryKind::folder;
    case DT_REG:
        return EntryKind::file;
    case DT_LNK:
        return EntryKind::link;
    case DT_UNKNOWN:
        return EntryKindAt(dirFd, e.d_name);
    default:
        return EntryKind::special;
    }
}

} // namespace purgix::platform
