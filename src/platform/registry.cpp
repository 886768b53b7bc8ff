#include "platform/registry.h"

#include "platform/text.h"

#include "platform/debug.h"
#include "platform/fd.h"
#include "platform/syserror.h"
#include "platform/userinfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace purgix::platform {
namespace {

bool SameName(std::string_view a, std::string_view b) {
    return platform::AsciiLower(a) == platform::AsciiLower(b);
}

const char* RootName(RegRootKey root) {
    return root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::vector<std::string> SplitPath(const std::string& path, char sep) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == sep) {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

std::string JoinKey(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts)
        s += (s.empty() ? "" : "\\") + p;
    return s;
}

// ---- the text format ------------------------------------------------------------------------

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        if (i > 0)
            out += ',';
        out += buf;
    }
    return out;
}

std::vector<std::uint8_t> StringBytes(const std::string& s) {
    std::vector<std::uint8_t> b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

std::string ValueText(const RegValue& v) {
    switch (v.type) {
    case REG_SZ: {
        // A quoted string holds one line; text with control characters goes in hex form.
        for (unsigned char c : v.text)
            if (c < 0x20)
                return "hex(1):" + HexBytes(StringBytes(v.text));
        return Quote(v.text);
    }
    case REG_EXPAND_SZ:
        return "hex(2):" + HexBytes(StringBytes(v.text));
    case REG_DWORD: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.number));
        return buf;
    }
    case REG_QWORD: {
        std::vector<std::uint8_t> b(8);
        for (int i = 0; i < 8; ++i)
            b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v.number >> (8 * i));
        return "hex(b):" + HexBytes(b);
    }
    case REG_MULTI_SZ: {
        std::vector<std::uint8_t> b;
        for (const std::string& s : v.strings) {
            b.insert(b.end(), s.begin(), s.end());
            b.push_back(0);
        }
        b.push_back(0);
        return "hex(7):" + HexBytes(b);
    }
    case REG_BINARY:
        return "hex:" + HexBytes(v.bytes);
    default:
        return "hex(" +
               [&] {
                   char buf[16];
                   std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(v.type));
                   return std::string(buf);
               }() +
               "):" + HexBytes(v.bytes);
    }
}

[[noreturn]] void Malformed(std::size_t line, const std::string& what) {
    throw ERegistryParseError("line " + std::to_string(line) + ": " + what);
}

// Reads a quoted string at s[pos] (which is '"'); returns the text and moves pos past it.
std::string Unquote(const std::string& s, std::size_t& pos, std::size_t line) {
    std::string out;
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"')
            return out;
        if (c == '\\') {
            if (pos >= s.size() || (s[pos] != '\\' && s[pos] != '"'))
                Malformed(line, "bad escape in string");
            out += s[pos++];
        } else {
            out += c;
        }
    }
    Malformed(line, "unterminated string");
}

std::vector<std::uint8_t> ParseHex(std::string_view s, std::size_t line) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    auto flush = [&] {
        if (digits.empty())
            return;
        if (digits.size() > 2)
            Malformed(line, "bad hex byte");
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits.c_str(), nullptr, 16)));
        digits.clear();
    };
    for (char c : s) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c == ',') {
            if (digits.empty())
                Malformed(line, "empty hex byte");
            flush();
        } else if (c != ' ' && c != '\t') {
            Malformed(line, "bad character in hex data");
        }
    }
    flush();
    return bytes;
}

std::string BytesToString(const std::vector<std::uint8_t>& b) {
    std::string s(b.begin(), b.end());
    if (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

RegValue ParseData(const std::string& data, std::size_t line) {
    if (!data.empty() && data.front() == '"') {
        std::size_t pos = 0;
        RegValue v = RegValue::String(Unquote(data, pos, line));
        if (pos != data.size())
            Malformed(line, "text after string");
        return v;
    }
    if (data.rfind("dword:", 0) == 0) {
        const std::string digits = data.substr(6);
        if (digits.size() != 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            Malformed(line, "bad dword");
        return RegValue::Dword(
            static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 16)));
    }
    std::uint32_t type = REG_BINARY;
    std::string rest;
    if (data.rfind("hex:", 0) == 0) {
        rest = data.substr(4);
    } else if (data.rfind("hex(", 0) == 0) {
        const auto close = data.find("):");
        if (close == std::string::npos || close == 4)
            Malformed(line, "bad hex type");
        const std::string t = data.substr(4, close - 4);
        if (t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            Malformed(line, "bad hex type");
        type = static_cast<std::uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
        rest = data.substr(close + 2);
    } else {
        Malformed(line, "unknown value form");
    }
    const std::vector<std::uint8_t> bytes = ParseHex(rest, line);
    RegValue v;
    v.type = static_cast<RegDataType>(type);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        v.text = BytesToString(bytes);
        break;
    case REG_QWORD:
        if (bytes.size() != 8)
            Malformed(line, "bad qword");
        for (int i = 0; i < 8; ++i)
            v.number |= static_cast<std::uint64_t>(bytes[static_cast<std::size_t>(i)]) << (8 * i);
        break;
    case REG_DWORD:
        if (bytes.size() != 4)
            Malformed(line, "bad dword");
        for (int i = 0; i < 4; ++i)
            v.number |= static_cast<std::uint64_t>(bytes[static_cast<std::size_t>(i)]) << (8 * i);
        break;
    case REG_MULTI_SZ: {
        std::string cur;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == 0) {
                if (cur.empty() && (i + 1 == bytes.size()))
                    break; // the closing empty string
                v.strings.push_back(cur);
                cur.clear();
            } else {
                cur += static_cast<char>(bytes[i]);
            }
        }
        if (!cur.empty())
            v.strings.push_back(cur);
        break;
    }
    default:
        v.bytes = bytes;
    }
    return v;
}

} // namespace

RegValue RegValue::String(std::string s, RegDataType t) {
    RegValue v;
    v.type = t;
    v.text = std::move(s);
    return v;
}
RegValue RegValue::Dword(std::uint32_t n) {
    RegValue v;
    v.type = REG_DWORD;
    v.number = n;
    return v;
}
RegValue RegValue::Qword(std::uint64_t n) {
    RegValue v;
    v.type = REG_QWORD;
    v.number = n;
    return v;
}
RegValue RegValue::Binary(std::vector<std::uint8_t> b) {
    RegValue v;
    v.type = REG_BINARY;
    v.bytes = std::move(b);
    return v;
}
RegValue RegValue::MultiString(std::vector<std::string> s) {
    RegValue v;
    v.type = REG_MULTI_SZ;
    v.strings = std::move(s);
    return v;
}

RegistryHive::Key* RegistryHive::Find(const std::string& path) {
    for (Key& k : keys)
        if (SameName(k.path, path))
            return &k;
    return nullptr;
}

const RegistryHive::Key* RegistryHive::Find(const std::string& path) const {
    return const_cast<RegistryHive*>(this)->Find(path);
}

RegistryHive::Key& RegistryHive::Create(const std::string& path) {
    // Parents first; an existing parent keeps its spelling.
    std::string spelled;
    Key* key = nullptr;
    for (const std::string& part : SplitPath(path, '\\')) {
        const std::string sub = spelled.empty() ? part : spelled + "\\" + part;
        key = Find(sub);
        if (key == nullptr) {
            keys.push_back({sub, {}});
            key = &keys.back();
        }
        spelled = key->path;
    }
    if (key == nullptr)
        throw ERegistryError("cannot create the root itself");
    return *key;
}

bool RegistryHive::Delete(const std::string& path) {
    const std::string lower = platform::AsciiLower(JoinKey(SplitPath(path, '\\')));
    if (lower.empty())
        return false;
    const auto before = keys.size();
    std::erase_if(keys, [&](const Key& k) {
        const std::string l = platform::AsciiLower(k.path);
        return l == lower || l.rfind(lower + "\\", 0) == 0;
    });
    return keys.size() != before;
}

RegistryHive RegistryHive::Parse(const std::string& text, RegRootKey root) {
    RegistryHive hive;
    std::istringstream in(text);
    std::string raw;
    std::size_t lineNo = 0;
    bool header = false;
    Key* current = nullptr;
    const std::string rootName = RootName(root);
    while (std::getline(in, raw)) {
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        // Hex data may continue on the next line after a trailing backslash.
        while (!raw.empty() && raw.back() == '\\' && raw.find("=hex") != std::string::npos) {
            std::string next;
            if (!std::getline(in, next))
                Malformed(lineNo, "continuation at end of file");
            ++lineNo;
            if (!next.empty() && next.back() == '\r')
                next.pop_back();
            raw.pop_back();
            raw += next;
        }
        std::string line = raw;
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            continue;
        line = line.substr(first);
        if (!header) {
            if (line != "REGEDIT4")
                Malformed(lineNo, "missing REGEDIT4 header");
            header = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']')
                Malformed(lineNo, "unterminated key");
            const std::string full = line.substr(1, line.size() - 2);
            const auto parts = SplitPath(full, '\\');
            if (parts.empty() || !SameName(parts.front(), rootName))
                Malformed(lineNo, "key outside " + rootName);
            const std::string path = JoinKey({parts.begin() + 1, parts.end()});
            current = path.empty() ? nullptr : &hive.Create(path);
            continue;
        }
        if (current == nullptr)
            Malformed(lineNo, "value outside a key");
        std::string name;
        std::size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (line.front() == '"') {
            name = Unquote(line, pos, lineNo);
        } else {
            Malformed(lineNo, "bad value name");
        }
        if (pos >= line.size() || line[pos] != '=')
            Malformed(lineNo, "missing '='");
        RegValue value = ParseData(line.substr(pos + 1), lineNo);
        bool replaced = false;
        for (Value& v : current->values)
            if (SameName(v.name, name)) {
                v.value = value;
                replaced = true;
            }
        if (!replaced)
            current->values.push_back({name, std::move(value)});
    }
    if (!header)
        Malformed(lineNo, "missing REGEDIT4 header");
    return hive;
}

std::string RegistryHive::Serialize(RegRootKey root) const {
    std::string out = "REGEDIT4\n";
    for (const Key& k : keys) {
        out += "\n[" + std::string(RootName(root)) + "\\" + k.path + "]\n";
        for (const Value& v : k.values)
            out += (v.name.empty() ? std::string("@") : Quote(v.name)) + "=" + ValueText(v.value) +
                   "\n";
    }
    return out;
}

// ---- the files ------------------------------------------------------------------------------

namespace {

struct Location {
    std::string base;                  // trusted folder, opened as it is
    std::vector<std::string> relative; // folders below it, never followed when links
    std::string file;                  // file name in the last folder
    bool chownToUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

Location LocationOf(RegRootKey root) {
    Location loc;
    loc.file = root == HKEY_CURRENT_USER ? "user.reg" : "system.reg";
    if (const char* dir = std::getenv("PURGIX_REGISTRY_DIR"); dir != nullptr && *dir != '\0') {
        loc.base = dir;
        return loc;
    }
    if (root == HKEY_LOCAL_MACHINE) {
        loc.base = "/etc";
        loc.relative = {"kestrelon", "purgix"};
        return loc;
    }
    const UserInfo user = InvokingUser();
    loc.chownToUser = user.elevatedForOther;
    loc.uid = user.uid;
    loc.gid = user.gid;
    if (!user.home.empty() && user.configHome.rfind(user.home, 0) == 0) {
        loc.base = user.home;
        loc.relative = SplitPath(user.configHome.substr(user.home.size()), '/');
    } else {
        loc.base = user.configHome;
    }
    loc.relative.push_back("kestrelon");
    loc.relative.push_back("purgix");
    return loc;
}

bool MakeDirs(const std::string& path) {
    std::string sofar;
    for (const std::string& p : SplitPath(path, '/')) {
        sofar += "/" + p;
        if (::mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Opens the folder of the file; with `create`, missing folders are made (and handed to the user
// below a user's home). Returns an invalid descriptor when it does not exist or cannot be made.
UniqueFd OpenFolder(const Location& loc, bool create) {
    if (create && !MakeDirs(loc.base))
        return {};
    UniqueFd dir(::open(loc.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& name : loc.relative) {
        if (!dir)
            return {};
        int fd = ::openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(dir.Get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return {};
            fd = ::openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0 && loc.chownToUser && ::fchown(fd, loc.uid, loc.gid) != 0) {
                ::close(fd);
                return {};
            }
        }
        dir.Reset(fd);
    }
    return dir;
}

// Reads the file below `dir`. Empty text when it does not exist (a symbolic link in its place
// counts as absent: it is never followed, and the next save replaces the link itself).
std::optional<std::string> ReadText(int dir, const std::string& name) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

RegistryHive LoadHive(int dir, const std::string& name, RegRootKey root) {
    const std::optional<std::string> text = ReadText(dir, name);
    if (!text)
        return {};
    try {
        return RegistryHive::Parse(*text, root);
    } catch (const ERegistryParseError& e) {
        // Keep the broken file for inspection and go on with an empty root.
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        ::localtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        const std::string aside = name + ".broken-" + stamp + "-" + std::to_string(::getpid());
        ::renameat(dir, name.c_str(), dir, aside.c_str());
        DebugOutput("Registry file " + name + " cannot be read (" + e.what() + "); moved to " +
                    aside);
        return {};
    }
}

void SaveHive(int dir, const Location& loc, const RegistryHive& hive, RegRootKey root) {
    const std::string text = hive.Serialize(root);
    const std::string temp = loc.file + ".tmp-" + std::to_string(::getpid());
    UniqueFd fd(
        ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd && errno == EEXIST) {
        ::unlinkat(dir, temp.c_str(), 0); // left by a process of ours that died
        fd.Reset(::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600));
    }
    auto fail = [&](const std::string& what) {
        const std::string msg = what + ": " + SysErrorMessage(errno);
        ::unlinkat(dir, temp.c_str(), 0);
        throw ERegistryError("cannot save " + loc.file + " (" + msg + ")");
    };
    if (!fd)
        fail("create");
    if (loc.chownToUser && ::fchown(fd.Get(), loc.uid, loc.gid) != 0)
        fail("chown");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0)
        fail("fsync");
    if (fd.Reset() != 0)
        fail("close");
    if (::renameat(dir, temp.c_str(), dir, loc.file.c_str()) != 0)
        fail("rename");
    ::fsync(dir);
}

// Runs `change` on the root's contents under the folder's exclusive lock and stores the result.
template <typename F>
auto Modify(RegRootKey root, F&& change) {
    const Location loc = LocationOf(root);
    UniqueFd dir = OpenFolder(loc, true);
    if (!dir)
        throw ERegistryError("cannot open the folder of " + loc.file + ": " +
                             SysErrorMessage(errno));
    while (::flock(dir.Get(), LOCK_EX) != 0)
        if (errno != EINTR)
            throw ERegistryError("cannot lock the folder of " + loc.file);
    RegistryHive hive = LoadHive(dir.Get(), loc.file, root);
    auto result = change(hive);
    if (result)
        SaveHive(dir.Get(), loc, hive, root);
    return result;
}

RegistryHive Snapshot(RegRootKey root) {
    const Location loc = LocationOf(root);
    UniqueFd dir = OpenFolder(loc, false);
    if (!dir)
        return {};
    while (::flock(dir.Get(), LOCK_SH) != 0)
        if (errno != EINTR)
            return {};
    return LoadHive(dir.Get(), loc.file, root);
}

} // namespace

std::string RegistryFilePath(RegRootKey root) {
    const Location loc = LocationOf(root);
    std::string path = loc.base;
    for (const std::string& r : loc.relative)
        path += (path.empty() || path.back() == '/' ? "" : "/") + r;
    return path + (path.empty() || path.back() == '/' ? "" : "/") + loc.file;
}

void TRegistry::SetRootKey(RegRootKey root) {
    CloseKey();
    root_ = root;
}

std::string TRegistry::Resolve(const std::string& key) const {
    if (!key.empty() && key.front() == '\\')
        return JoinKey(SplitPath(key, '\\'));
    return JoinKey(SplitPath(path_ + "\\" + key, '\\'));
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    const std::string target = Resolve(key);
    if (target.empty()) {
        path_.clear();
        open_ = writable_ = true;
        return true;
    }
    if (canCreate) {
        try {
            std::string spelled;
            Modify(root_, [&](RegistryHive& hive) {
                const bool existed = hive.Find(target) != nullptr;
                spelled = hive.Create(target).path;
                return !existed;
            });
            path_ = spelled;
        } catch (const ERegistryError& e) {
            DebugOutput(std::string("Registry: ") + e.what());
            return false;
        }
    } else {
        const RegistryHive hive = Snapshot(root_);
        const auto* k = hive.Find(target);
        if (k == nullptr)
            return false;
        path_ = k->path;
    }
    open_ = writable_ = true;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    const std::string target = Resolve(key);
    const RegistryHive hive = Snapshot(root_);
    if (!target.empty()) {
        const auto* k = hive.Find(target);
        if (k == nullptr)
            return false;
        path_ = k->path;
    } else {
        path_.clear();
    }
    open_ = true;
    writable_ = false;
    return true;
}

void TRegistry::CloseKey() noexcept {
    path_.clear();
    open_ = writable_ = false;
}

bool TRegistry::KeyExists(const std::string& key) const {
    const std::string target = Resolve(key);
    return target.empty() || Snapshot(root_).Find(target) != nullptr;
}

bool TRegistry::DeleteKey(const std::string& key) {
    const std::string target = Resolve(key);
    try {
        return Modify(root_, [&](RegistryHive& hive) { return hive.Delete(target); });
    } catch (const ERegistryError& e) {
        DebugOutput(std::string("Registry: ") + e.what());
        return false;
    }
}

std::optional<RegValue> TRegistry::ReadValue(const std::string& name) const {
    if (!open_)
        return std::nullopt;
    const RegistryHive hive = Snapshot(root_);
    const auto* k = hive.Find(path_);
    if (k == nullptr)
        return std::nullopt;
    for (const auto& v : k->values)
        if (SameName(v.name, name))
            return v.value;
    return std::nullopt;
}

bool TRegistry::ValueExists(const std::string& name) const {
    return ReadValue(name).has_value();
}

RegDataType TRegistry::GetDataType(const std::string& name) const {
    const auto v = ReadValue(name);
    return v ? v->type : REG_NONE;
}

std::string TRegistry::ReadString(const std::string& name) const {
    const auto v = ReadValue(name);
    return v && (v->type == REG_SZ || v->type == REG_EXPAND_SZ) ? v->text : std::string();
}

void TRegistry::WriteValue(const std::string& name, const RegValue& value) {
    if (!open_ || !writable_ || path_.empty())
        throw ERegistryError("no key is open for writing");
    Modify(root_, [&](RegistryHive& hive) {
        RegistryHive::Key& k = hive.Create(path_);
        for (auto& v : k.values)
            if (SameName(v.name, name)) {
                v.value = value;
                return true;
            }
        k.values.push_back({name, value});
        return true;
    });
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (!open_ || !writable_)
        return false;
    try {
        return Modify(root_, [&](RegistryHive& hive) {
            RegistryHive::Key* k = hive.Find(path_);
            return k != nullptr && std::erase_if(k->values, [&](const auto& v) {
                                       return SameName(v.name, name);
                                   }) > 0;
        });
    } catch (const ERegistryError& e) {
        DebugOutput(std::string("Registry: ") + e.what());
        return false;
    }
}

} // namespace purgix::platform
