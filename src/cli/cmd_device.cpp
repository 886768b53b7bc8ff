// Commands `disk` and `partition`: whole disks and partitions, overwritten sector by sector,
// one job per disk or partition, after the confirmation word DELETE.
#include "cli/cli.h"
#include "cli/wiperun.h"

#include "drives/devices.h"
#include "wipe/wipelog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

namespace purgix::cli {
namespace {

constexpr const char* kConfirmWord = "DELETE";

std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// A number with two decimals and thousands separators ("%.2n").
std::string TwoDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    const std::string s = text;
    const std::size_t dot = s.find('.');
    std::string out;
    for (std::size_t i = 0; i < dot; ++i) {
        if (i > 0 && (dot - i) % 3 == 0)
            out += ',';
        out += s[i];
    }
    return out + s.substr(dot);
}

// SizeToString of the drive list: GB, MB, KB with two decimals, or bytes.
std::string SizeText(std::int64_t size) {
    const auto d = static_cast<double>(size);
    if (size > 1073741824)
        return TwoDecimals(d / 1073741824.0) + " GB";
    if (size > 1048576)
        return TwoDecimals(d / 1048576.0) + " MB";
    if (size <= 1024)
        return std::to_string(size) + " Byte";
    return TwoDecimals(d / 1024.0) + " KB";
}

struct DeviceArgs {
    WipeOptions wipe;
    std::string confirm; // --confirm WORD; empty when not given
    bool confirmGiven = false;
    bool noPartitionTable = false;
    std::vector<std::string> targets;
};

DeviceArgs TakeDeviceArgs(Context& ctx, bool disk) {
    DeviceArgs a;
    std::vector<std::string> args = ctx.args;
    std::vector<std::string> rest;
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (endOfOptions || arg == "--") {
            endOfOptions = true;
            rest.push_back(arg);
        } else if (arg == "--confirm") {
            if (i + 1 >= args.size())
                throw UsageError("--confirm needs the word DELETE");
            a.confirm = args[++i];
            a.confirmGiven = true;
        } else if (arg.rfind("--confirm=", 0) == 0) {
            a.confirm = arg.substr(10);
            a.confirmGiven = true;
        } else if (disk && arg == "--no-partition-table") {
            a.noPartitionTable = true;
        } else {
            rest.push_back(arg);
        }
    }
    a.wipe = TakeWipeOptions(ctx, rest);
    if (a.wipe.yes)
        throw UsageError("--yes does not confirm the wipe of disks and partitions; give "
                         "--confirm DELETE");
    ctx.args = rest;
    a.targets = Positionals(ctx);
    return a;
}

// The confirmation word, from --confirm or typed on the terminal, compared in upper case.
bool ConfirmDelete(const Context& ctx, const DeviceArgs& a) {
    if (a.confirmGiven) {
        if (AsciiUpper(a.confirm) != kConfirmWord)
            throw UsageError("--confirm needs the word DELETE, not '" + a.confirm + "'");
        return true;
    }
    if (!ctx.interactive)
        throw UsageError("no terminal to confirm the wipe on; give --confirm DELETE to confirm "
                         "it beforehand");
    ctx.out << "PLEASE CONFIRM\nPlease confirm the wipe process.\n"
               "Please enter the word \"DELETE\" to proceed.\n> "
            << std::flush;
    std::string answer;
    if (std::getline(std::cin, answer) && AsciiUpper(answer) == kConfirmWord)
        return true;
    ctx.out << "Please enter \"DELETE\" to confirm the wipe job.\n";
    return false;
}

// The block device a target names (links such as /dev/disk/by-id/... followed); 0 when none.
dev_t BlockDeviceOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return 0;
    return st.st_rdev;
}

int RunDeviceJobs(Context& ctx, const DeviceArgs& a,
                  std::vector<std::unique_ptr<EngineJob>>& jobs) {
    if (!ConfirmDelete(ctx, a)) {
        ctx.out << "Nothing was wiped.\n";
        return kExitCancelled;
    }
    const std::string logFolder = a.wipe.createLog ? LogFolder(ctx) : std::string();
    return RunEngineJobs(ctx, jobs, logFolder);
}

// An unpartitioned area given as DEVICE@START+LENGTH (bytes): exactly an area that `disks`
// lists, else a usage error.
const TDevicePartitionInformation* FindArea(const std::vector<std::unique_ptr<TDeviceInfo>>& disks,
                                            const std::string& target, std::size_t at) {
    const std::string device = target.substr(0, at);
    const std::string range = target.substr(at + 1);
    const std::size_t plus = range.find('+');
    const auto number = [&](const std::string& text) {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
            text.size() > 18)
            throw UsageError(target + ": an area is DEVICE@START+LENGTH in bytes");
        return std::stoll(text);
    };
    if (plus == std::string::npos)
        throw UsageError(target + ": an area is DEVICE@START+LENGTH in bytes");
    const std::int64_t start = number(range.substr(0, plus));
    const std::int64_t length = number(range.substr(plus + 1));
    const dev_t rdev = BlockDeviceOf(device);
    for (const auto& d : disks) {
        if (rdev == 0 || d->Identity().rdev != rdev)
            continue;
        for (int i = 0; i < d->PartitionCount(); ++i) {
            const TDevicePartitionInformation* p = d->GetPartition(i);
            if (!p->Valid() && p->StartingOffset() == start && p->Len() == length)
                return p;
        }
        throw UsageError(target + " is no unpartitioned area that purgix-cli disks lists");
    }
    throw UsageError(device + " is no disk that purgix-cli disks lists");
}

std::string DateText() {
    return ShortDateText(std::chrono::system_clock::now());
}

} // namespace

int CmdDisk(Context& ctx) {
    DeviceArgs a = TakeDeviceArgs(ctx, true);
    if (a.targets.empty())
        throw UsageError("disk needs at least one disk device (see purgix-cli disks)");
    if (::geteuid() != 0) {
        ctx.err << "purgix-cli: disk needs root to write the disks\n";
        return kExitNotPermitted;
    }
    const auto disks = ListDeviceInfos(true);
    std::vector<const TDeviceInfo*> chosen;
    for (const std::string& target : a.targets) {
        const dev_t rdev = BlockDeviceOf(target);
        const TDeviceInfo* found = nullptr;
        for (const auto& d : disks)
            if (rdev != 0 && d->Identity().rdev == rdev)
                found = d.get();
        if (found == nullptr) {
            for (const auto& d : disks)
                for (int i = 0; i < d->PartitionCount(); ++i)
                    if (rdev != 0 && d->GetPartition(i)->Identity().rdev == rdev)
                        throw UsageError(target + " is a partition: use purgix-cli partition");
            throw UsageError(target + " is no disk that purgix-cli disks lists");
        }
        if (std::find(chosen.begin(), chosen.end(), found) == chosen.end())
            chosen.push_back(found);
    }

    std::vector<std::unique_ptr<EngineJob>> jobs;
    for (const TDeviceInfo* d : chosen) {
        auto job = std::make_unique<EngineJob>();
        job->caption = d->Modelname() + ": " + SizeText(d->Capacity());
        TKLWiper& engine = job->engine;
        engine.SetWipeType(wt_device);
        engine.Devices().push_back(d);
        engine.SetAutoCreatePartition(!a.noPartitionTable);
        engine.SetAlgorithmFile(ctx.MethodFilePath());
        engine.SetAlgorithmGUID(a.wipe.methodGUID);
        engine.SetCreateLogFile(a.wipe.createLog);
        job->logName = job->caption + "-" + DateText() + ".htm";
        jobs.push_back(std::move(job));
    }
    return RunDeviceJobs(ctx, a, jobs);
}

int CmdPartition(Context& ctx) {
    DeviceArgs a = TakeDeviceArgs(ctx, false);
    if (a.targets.empty())
        throw UsageError("partition needs at least one partition device (see purgix-cli disks)");
    if (::geteuid() != 0) {
        ctx.err << "purgix-cli: partition needs root to write the partitions\n";
        return kExitNotPermitted;
    }
    const auto disks = ListDeviceInfos(true);
    std::vector<const TDevicePartitionInformation*> chosen;
    for (const std::string& target : a.targets) {
        const TDevicePartitionInformation* found = nullptr;
        if (const std::size_t at = target.rfind('@'); at != std::string::npos) {
            found = FindArea(disks, target, at);
            if (std::find(chosen.begin(), chosen.end(), found) == chosen.end())
                chosen.push_back(found);
            continue;
        }
        const dev_t rdev = BlockDeviceOf(target);
        for (const auto& d : disks) {
            if (rdev != 0 && d->Identity().rdev == rdev)
                throw UsageError(target + " is a whole disk: use purgix-cli disk");
            for (int i = 0; i < d->PartitionCount(); ++i) {
                const TDevicePartitionInformation* p = d->GetPartition(i);
                if (rdev != 0 && p->Valid() && p->Identity().rdev == rdev)
                    found = p;
            }
        }
        if (found == nullptr)
            throw UsageError(target + " is no partition that purgix-cli disks lists");
        if (std::find(chosen.begin(), chosen.end(), found) == chosen.end())
            chosen.push_back(found);
    }

    std::vector<std::unique_ptr<EngineJob>> jobs;
    for (const TDevicePartitionInformation* p : chosen) {
        auto job = std::make_unique<EngineJob>();
        job->caption = p->Valid()
                           ? p->DevicePath() + " " + PartitionCaption(*p)
                           : p->Device()->DeviceName() + "@" + std::to_string(p->StartingOffset()) +
                                 "+" + std::to_string(p->Len()) + " " + PartitionCaption(*p);
        TKLWiper& engine = job->engine;
        engine.SetWipeType(wt_partitions);
        engine.Partitions().push_back(p);
        engine.SetAutoCreatePartition(false);
        engine.SetAlgorithmFile(ctx.MethodFilePath());
        engine.SetAlgorithmGUID(a.wipe.methodGUID);
        engine.SetCreateLogFile(a.wipe.createLog);
        job->logName = "Drive" + std::to_string(p->Device()->DeviceNumber()) + "_" +
                       std::to_string(p->Number()) + "-" + DateText() + ".htm";
        jobs.push_back(std::move(job));
    }
    return RunDeviceJobs(ctx, a, jobs);
}

} // namespace purgix::cli
