// Path and file utilities shared by the engine, the recycle-bin reader, the job controller and
// the windows. Folder paths produced here end with "/".
#pragma once

#include <string>
#include <vector>

namespace purgix {

// Attribute masks of FindFiles.
inline constexpr unsigned faDirectory = 0x10;
// Symbolic links and special files (fifos, sockets, device nodes): listed only when asked for,
// as names to be removed; they are never opened or followed.
inline constexpr unsigned faSpecialNames = 0x400;
inline constexpr unsigned faAnyFile = 0x1EF;         // every regular file, no folders
inline constexpr unsigned faAnyFileOrFolder = 0x1FF; // regular files and folders

// There is no 64-bit file-system redirection on Linux: these behave as on a 32-bit system
// (false, paths unchanged). Callers keep calling them so that the procedures read the same.
bool IsWow64();
bool DisableFsRedirection();
bool RevertFsRedirection();
std::string MapToSysNative(const std::string& path);
std::string MapToSysWow64(const std::string& path);

// Expands every %NAME% from the environment; unknown names stay as written. True.
bool ExpandEnvironment(std::string& path);

// True when `path` names an existing folder (a symbolic link is never a folder). `out` receives
// the path with a trailing "/" and its environment variables expanded.
bool DirectoryExistsEx(const std::string& path, std::string& out, bool redirect, bool map);

// True when `path` names an existing file: a regular file or a symbolic link (which is a name,
// never followed); folders, device nodes, fifos and sockets are not files. For a folder `out`
// holds its folder form. With `fallbacks`, a bare name (no "/") is looked up in $PATH and `out`
// receives the full path found.
bool FileExistsEx(const std::string& path, std::string& out, bool redirect, bool fallbacks,
                  bool map);

// The user who started the elevated program (SUDO_USER, else the user of PKEXEC_UID, else the
// effective user).
std::string GetCurrentUserName();

// Replaces "/" and "\" by "_" and removes * : ? " < > |.
std::string MakeValidFileName(const std::string& name);

// `path` when no file is there, else base + "(n)" + extension for the smallest free n.
// Only files count: a folder of that name does not block it.
std::string GetUniqueFileName(const std::string& path);

// Appends the sub-folders of `folder` (ending with "/") as folder + name + "/" in listing
// order; with `recursive`, each folder's own sub-folders right after it. Symbolic links are
// never folders here and are never followed.
void GetSubFolders(const std::string& folder, std::vector<std::string>& list, bool recursive);

// Appends folder + name for every entry of `folder` whose name matches `mask` and whose kind
// `attributes` allows (faAnyFile: regular files; faDirectory: folders; faSpecialNames:
// symbolic links and special files). With `recursive`, the files of the sub-folders come
// first, deepest first, and the folder's own files last. Masks: "*" and "*.*" match every name;
// "*" and "?" are wildcards; letters match without regard to case.
void FindFiles(std::vector<std::string>& list, const std::string& mask, const std::string& folder,
               bool recursive, unsigned attributes);

// $TMPDIR, else "/tmp/", with a trailing "/".
std::string GetTempDir();

// The drive part of a path: the mount point (with trailing "/") of the mounted file system
// that holds it; empty for a relative path.
std::string ExtractDrive(const std::string& path);

// True when `name` matches the wildcard mask (see FindFiles).
bool MatchesMask(const std::string& name, const std::string& mask);

} // namespace purgix
