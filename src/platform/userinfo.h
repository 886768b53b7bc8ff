// The user who started the program, and that user's folders.
#pragma once

#include <sys/types.h>

#include <string>

namespace purgix::platform {

// The program runs as root. The user it acts for is the one who started it: SUDO_USER, else
// the user of PKEXEC_UID, else the effective user.
struct UserInfo {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    // Started through sudo or pkexec for another user: the folders below come from that
    // user's password-database entry (both tools reset the environment), and files created
    // there are handed to that user.
    bool elevatedForOther = false;
    // Folders, each with a trailing "/". Otherwise taken from HOME and XDG_CONFIG_HOME,
    // XDG_DATA_HOME, XDG_STATE_HOME, with the XDG defaults below the home folder.
    std::string home;
    std::string configHome;
    std::string dataHome;
    std::string stateHome;
};

// Looks the invoking user up afresh (the environment is read on every call).
UserInfo InvokingUser();

} // namespace purgix::platform
