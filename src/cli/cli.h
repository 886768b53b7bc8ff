// purgix-cli: the command-line front end over the engine.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace purgix {
class TWipeAlgorithm;
class TWipeAlgorithms;
} // namespace purgix

namespace purgix::cli {

// Exit status of purgix-cli.
enum ExitCode : int {
    kExitOk = 0,            // every job finished without errors
    kExitErrors = 1,        // a job finished with errors, or the command failed
    kExitCancelled = 3,     // cancelled
    kExitUsage = 64,        // unknown command or option, missing target, no such method
    kExitNotPermitted = 77, // not permitted (e.g. a disk command without root)
};

// A fault in the command line itself; ends the program with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string dataDir; // folder of the method file, with a trailing "/"
    std::string logDir;  // folder for wipe logs; empty = the settings' LogFileDir
    bool json = false;
};

// Context handed to every command.
struct Context {
    GlobalOptions options;
    std::vector<std::string> args; // the command's own arguments, "--" included
    std::ostream& out;
    std::ostream& err;
    // `out` is the process's standard output and a terminal: progress lines are shown there.
    bool terminal = false;
    // Standard input is a terminal as well: questions can be asked.
    bool interactive = false;

    std::string MethodFilePath() const { return options.dataDir + "algorithm.xml"; }
};

// Runs purgix-cli with its arguments (argv[0] is the program name) and returns the exit status.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The command's arguments without "--"; throws UsageError for an option the command does not
// take (anything starting with "-" before "--").
std::vector<std::string> Positionals(const Context& ctx);

// Commands (one function per command; each returns an exit status).
int CmdMethods(Context& ctx);
int CmdMethod(Context& ctx);
int CmdTrash(Context& ctx);
int CmdCheckLog(Context& ctx);
int CmdVolumes(Context& ctx);
int CmdDisks(Context& ctx);
int CmdFiles(Context& ctx);
int CmdDisk(Context& ctx);
int CmdPartition(Context& ctx);
int CmdFreeSpace(Context& ctx);

// Loads the method file of the context. Throws std::runtime_error with a message for the user
// when the file is missing, malformed or holds no method.
void LoadMethods(const Context& ctx, TWipeAlgorithms& methods);

// Finds a method by one of the short names (simple, dod, schneier, vsitr, gutmann), its GUID
// (any letter case), or its name (exact first, then without regard to case). Null when none.
TWipeAlgorithm* ResolveMethod(const TWipeAlgorithms& methods, std::string_view key);

} // namespace purgix::cli
