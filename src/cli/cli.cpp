#include "cli/cli.h"

#include "platform/text.h"

#include "platform/paths.h"

#include <unistd.h>

#include <functional>
#include <iostream>
#include <optional>

#ifndef PURGIX_VERSION
#define PURGIX_VERSION "0.0.0"
#endif

namespace purgix::cli {
namespace {

struct Command {
    std::string_view name;
    std::string_view synopsis;
    std::function<int(Context&)> run;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"methods",
         "methods                 the methods of the method file: GUID, name, passes, "
         "read-only",
         CmdMethods},
        {"method", "method GUID|NAME        one method with its passes", CmdMethod},
        {"volumes",
         "volumes                 mounted volumes with file system, sizes and cluster "
         "geometry",
         CmdVolumes},
        {"trash",
         "trash [MOUNTPOINT]      deleted items of every recycle bin and trash folder (of the\n"
         "                          user who started the program), or of one volume's",
         CmdTrash},
        {"disks", "disks                   disks with their partitions and unpartitioned areas",
         CmdDisks},
        {"files",
         "files PATH...           wipe files and folders (folders with everything inside)\n"
         "    --trash[=MOUNTPOINT]  add the contents of every recycle bin and trash folder (of\n"
         "                          the user who started the program), or only of one volume's\n"
         "                          (repeatable)",
         CmdFiles},
        {"disk",
         "disk DEVICE...          wipe whole disks (root), e.g. /dev/sdb\n"
         "    --no-partition-table  do not write a fresh partition table afterwards",
         CmdDisk},
        {"partition",
         "partition TARGET...     wipe partitions (root), e.g. /dev/sdb2, or unpartitioned\n"
         "                          areas DEVICE@START+LENGTH (bytes, as `disks` lists them)",
         CmdPartition},
        {"freespace",
         "freespace MOUNTPOINT... wipe the free space of mounted volumes: the slack behind every\n"
         "                          file, the free clusters and the names of deleted files\n"
         "    --no-cluster-tips     leave the slack behind the files alone\n"
         "    --no-deleted-names    no name stage on volumes other than NTFS (NTFS volumes\n"
         "                          always get theirs)",
         CmdFreeSpace},
        {"check-log",
         "check-log FILE...       check wipe-log signatures; exit 0 only when all are valid",
         CmdCheckLog},
    };
    return commands;
}

void PrintHelp(std::ostream& out) {
    out << "Usage: purgix-cli [GLOBAL OPTIONS] COMMAND [ARGS]\n"
           "\n"
           "Destroys data beyond recovery: every byte chosen is overwritten with each pass of a\n"
           "wipe method, and a signed log records what was done.\n"
           "\n"
           "Global options\n"
           "  --data-dir DIR          folder of the method file (default: the program's Data/ "
           "folder)\n"
           "  --log-dir DIR           folder for wipe logs (default: the settings' LogFileDir)\n"
           "  --json                  machine-readable output (one JSON document for listings)\n"
           "  -h, --help              this help\n"
           "  --version               the program's version\n"
           "\n"
           "Commands\n";
    for (const Command& c : Commands())
        out << "  " << c.synopsis << '\n';
    out << "\n"
           "Wipe options\n"
           "  --method M              GUID, name, or one of simple, dod, schneier, vsitr, gutmann\n"
           "                          (default: the settings' LastMethodGUID)\n"
           "  --no-log                write no wipe log\n"
           "  --verify                read every range back after the last pass and compare\n"
           "  --confirm DELETE        required for disk and partition (without it the word is\n"
           "                          asked for on the terminal, in any letter case)\n"
           "  --yes                   skip the confirmation for files and free space\n"
           "\n"
           "Method names for --method and `method`: a GUID, a method's name, or one of\n"
           "simple, dod, schneier, vsitr, gutmann.\n"
           "\n"
           "Exit status: 0 success; 1 errors; 3 cancelled; 64 usage error; 77 not permitted.\n";
}

// Takes the value of a global option given as "--name VALUE" or "--name=VALUE".
std::optional<std::string> TakeValue(std::string_view arg, std::string_view name,
                                     const std::vector<std::string>& all, std::size_t& i) {
    if (arg == name) {
        if (i + 1 >= all.size())
            throw UsageError(std::string(name) + " needs a value");
        return all[++i];
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=')
        return std::string(arg.substr(name.size() + 1));
    return std::nullopt;
}

} // namespace

std::vector<std::string> Positionals(const Context& ctx) {
    std::vector<std::string> result;
    bool endOfOptions = false;
    for (const std::string& arg : ctx.args) {
        if (!endOfOptions && arg == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "'");
        } else {
            result.push_back(arg);
        }
    }
    return result;
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> all(argv + (argc > 0 ? 1 : 0), argv + argc);
    GlobalOptions options;
    options.dataDir = platform::ExecutableDir() + "Data/";
    std::vector<std::string> rest;
    bool help = false;

    try {
        // Global options may stand anywhere; everything after "--" is an argument.
        bool endOfOptions = false;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::string& arg = all[i];
            if (endOfOptions || arg.empty() || arg[0] != '-') {
                rest.push_back(arg);
                continue;
            }
            if (arg == "--") {
                endOfOptions = true;
                rest.push_back(arg);
            } else if (arg == "-h" || arg == "--help") {
                help = true;
            } else if (arg == "--version") {
                out << "purgix-cli " PURGIX_VERSION "\n";
                return kExitOk;
            } else if (arg == "--json") {
                options.json = true;
            } else if (auto v = TakeValue(arg, "--data-dir", all, i)) {
                options.dataDir = platform::WithTrailingSlash(*v);
            } else if (auto l = TakeValue(arg, "--log-dir", all, i)) {
                options.logDir = platform::WithTrailingSlash(*l);
            } else {
                rest.push_back(arg); // the command decides
            }
        }
        if (help) {
            PrintHelp(out);
            return kExitOk;
        }
        if (rest.empty())
            throw UsageError("no command given (see purgix-cli --help)");

        const std::string name = rest.front();
        const Command* command = nullptr;
        for (const Command& c : Commands())
            if (c.name == name)
                command = &c;
        if (command == nullptr)
            throw UsageError("unknown command '" + name + "' (see purgix-cli --help)");

        Context ctx{options, {}, out, err};
        ctx.terminal = &out == &std::cout && ::isatty(STDOUT_FILENO) == 1;
        ctx.interactive = ctx.terminal && ::isatty(STDIN_FILENO) == 1;
        ctx.args.assign(rest.begin() + 1, rest.end());
        return command->run(ctx);
    } catch (const UsageError& e) {
        err << "purgix-cli: " << e.what() << '\n';
        return kExitUsage;
    } catch (const std::exception& e) {
        err << "purgix-cli: " << e.what() << '\n';
        return kExitErrors;
    }
}

} // namespace purgix::cli
