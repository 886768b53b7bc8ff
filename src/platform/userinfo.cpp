#include "platform/userinfo.h"

#include "platform/text.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace purgix::platform {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

struct PasswdEntry {
    std::string name;
    uid_t uid;
    gid_t gid;
    std::string home;
};

std::optional<PasswdEntry> FromPasswd(const passwd* pw) {
    if (pw == nullptr)
        return std::nullopt;
    return PasswdEntry{pw->pw_name, pw->pw_uid, pw->pw_gid, pw->pw_dir ? pw->pw_dir : ""};
}

std::optional<PasswdEntry> ByName(const std::string& name) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &result) != 0)
        return std::nullopt;
    return FromPasswd(result);
}

std::optional<PasswdEntry> ByUid(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0)
        return std::nullopt;
    return FromPasswd(result);
}

// An XDG variable counts only when it holds an absolute path.
std::string XdgOr(const char* variable, const std::string& fallback) {
    const std::string v = Env(variable);
    return !v.empty() && v.front() == '/' ? platform::WithTrailingSlash(v) : fallback;
}

} // namespace

UserInfo InvokingUser() {
    UserInfo info;
    std::optional<PasswdEntry> other;
    const std::string sudoUser = Env("SUDO_USER");
    const std::string pkexecUid = Env("PKEXEC_UID");
    if (!sudoUser.empty()) {
        other = ByName(sudoUser);
    } else if (!pkexecUid.empty()) {
        char* end = nullptr;
        const unsigned long uid = std::strtoul(pkexecUid.c_str(), &end, 10);
        if (end != pkexecUid.c_str() && *end == '\0')
            other = ByUid(static_cast<uid_t>(uid));
    }

    if (other) {
        info.name = other->name;
        info.uid = other->uid;
        info.gid = other->gid;
        info.elevatedForOther = other->uid != ::geteuid();
        info.home = platform::WithTrailingSlash(other->home);
        info.configHome = info.home + ".config/";
        info.dataHome = info.home + ".local/share/";
        info.stateHome = info.home + ".local/state/";
        return info;
    }

    const auto self = ByUid(::geteuid());
    info.uid = ::geteuid();
    info.gid = ::getegid();
    info.name = self ? self->name : std::to_string(info.uid);
    std::string home = Env("HOME");
    if (home.empty() && self)
        home = self->home;
    info.home = platform::WithTrailingSlash(home);
    info.configHome = XdgOr("XDG_CONFIG_HOME", info.home + ".config/");
    info.dataHome = XdgOr("XDG_DATA_HOME", info.home + ".local/share/");
    info.stateHome = XdgOr("XDG_STATE_HOME", info.home + ".local/state/");
    return info;
}

} // namespace purgix::platform
