#include "wipe/wipeutils.h"

#include "platform/direntry.h"
#include "platform/text.h"

#include "platform/mounts.h"
#include "platform/userinfo.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace purgix {
namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

using Kind = platform::EntryKind;

Kind KindOf(const std::string& path) {
    return platform::EntryKindAt(AT_FDCWD, path.c_str());
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// Entries of a folder in listing order, without "." and "..", with their kinds (lstat).
std::vector<std::pair<std::string, Kind>> ListFolder(const std::string& folder) {
    std::vector<std::pair<std::string, Kind>> entries;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return entries;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        entries.emplace_back(name, platform::EntryKindOfDirent(*e, ::dirfd(dir.get())));
    }
    return entries;
}

bool WildcardMatch(const char* name, const char* mask) {
    // Iterative matcher with backtracking to the last "*".
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*mask == '*') {
            star = mask++;
            resume = name;
        } else if (*mask == '?' || (*mask != '\0' && LowerAscii(*mask) == LowerAscii(*name))) {
            ++mask;
            ++name;
        } else if (star != nullptr) {
            mask = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*mask == '*')
        ++mask;
    return *mask == '\0';
}

} // namespace

bool IsWow64() {
    return false;
}
bool DisableFsRedirection() {
    return false;
}
bool RevertFsRedirection() {
    return false;
}
std::string MapToSysNative(const std::string& path) {
    return path;
}
std::string MapToSysWow64(const std::string& path) {
    return path;
}

bool ExpandEnvironment(std::string& path) {
    std::string out;
    std::size_t i = 0;
    while (i < path.size()) {
        const auto open = path.find('%', i);
        if (open == std::string::npos) {
            out.append(path, i, std::string::npos);
            break;
        }
        const auto close = path.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(path, i, std::string::npos);
            break;
        }
        out.append(path, i, open - i);
        const std::string name = path.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value != nullptr)
            out += value;
        else
            out.append(path, open, close - open + 1); // unknown names stay as written
        i = close + 1;
    }
    path = std::move(out);
    return true;
}

bool DirectoryExistsEx(const std::string& path, std::string& out, bool redirect, bool map) {
    out = platform::WithTrailingSlash(path);
    ExpandEnvironment(out);
    if (redirect)
        DisableFsRedirection();
    std::string test = out;
    while (test.size() > 1 && test.back() == '/')
        test.pop_back();
    const bool found = KindOf(test) == Kind::folder;
    if (redirect)
        RevertFsRedirection();
    if (map)
        out = MapToSysNative(out);
    return found;
}

bool FileExistsEx(const std::string& path, std::string& out, bool redirect, bool fallbacks,
                  bool map) {
    if (path.empty())
        return false;
    if (DirectoryExistsEx(path, out, redirect, true))
        return false;
    out = path;
    ExpandEnvironment(out);
    if (redirect)
        DisableFsRedirection();
    const Kind kind = KindOf(out);
    bool found = kind == Kind::file || kind == Kind::link;
    if (!found && fallbacks) {
        out = MapToSysWow64(out);
        const Kind again = KindOf(out);
        found = again == Kind::file || again == Kind::link;
        if (!found && out.find('/') == std::string::npos && !out.empty()) {
            const char* searchPath = std::getenv("PATH");
            std::string dirs = searchPath != nullptr ? searchPath : "";
            std::size_t start = 0;
            while (!found && start <= dirs.size()) {
                const auto colon = dirs.find(':', start);
                std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos
                                                                                : colon - start);
                start = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
                if (dir.empty())
                    continue;
                const std::string candidate = platform::WithTrailingSlash(dir) + out;
                struct stat st {};
                if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    ::access(candidate.c_str(), X_OK) == 0) {
                    out = candidate;
                    found = true;
                }
            }
        }
    }
    if (redirect)
        RevertFsRedirection();
    if (map)
        out = MapToSysNative(out);
    return found;
}

std::string GetCurrentUserName() {
    return platform::InvokingUser().name;
}

std::string MakeValidFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        switch (c) {
        case '/':
        case '\\':
            out += '_';
            break;
        case '*':
        case ':':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string GetUniqueFileName(const std::string& path) {
    auto isFile = [](const std::string& p) {
        const Kind k = KindOf(p);
        return k != Kind::missing && k != Kind::folder;
    };
    if (!isFile(path))
        return path;
    // The extension starts at the last dot of the name; a leading dot (".profile") starts none.
    const auto slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    auto dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        dot = path.size();
    const std::string base = path.substr(0, dot);
    const std::string ext = path.substr(dot);
    for (unsigned n = 1;; ++n) {
        const std::string candidate = base + "(" + std::to_string(n) + ")" + ext;
        if (!isFile(candidate))
            return candidate;
    }
}

void GetSubFolders(const std::string& folder, std::vector<std::string>& list, bool recursive) {
    const std::string base = platform::WithTrailingSlash(folder);
    for (const auto& [name, kind] : ListFolder(base)) {
        if (kind != Kind::folder)
            continue;
        const std::string sub = base + name + "/";
        list.push_back(sub);
        if (recursive)
            GetSubFolders(sub, list, true);
    }
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    if (mask == "*" || mask == "*.*")
        return true;
    return WildcardMatch(name.c_str(), mask.c_str());
}

void FindFiles(std::vector<std::string>& list, const std::string& mask, const std::string& folder,
               bool recursive, unsigned attributes) {
    const std::string base = platform::WithTrailingSlash(folder);
    if (recursive) {
        std::vector<std::string> subs;
        GetSubFolders(base, subs, false);
        for (const std::string& sub : subs)
            FindFiles(list, mask, sub, true, attributes);
    }
    for (const auto& [name, kind] : ListFolder(base)) {
        if (!MatchesMask(name, mask))
            continue;
        const bool wanted =
            (kind == Kind::file && (attributes & ~faDirectory & 0x1EF) != 0) ||
            (kind == Kind::folder && (attributes & faDirectory) != 0) ||
            ((kind == Kind::link || kind == Kind::special) && (attributes & faSpecialNames) != 0);
        if (wanted)
            list.push_back(base + name);
    }
}

std::string GetTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    return platform::WithTrailingSlash(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
}

std::string ExtractDrive(const std::string& path) {
    return platform::MountPointOfPath(path);
}

} // namespace purgix
