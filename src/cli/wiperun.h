// Running wipe engines from purgix-cli: the wipe options, confirmation, log names, progress on a
// terminal, Ctrl-C, and the summary at the end.
#pragma once

#include "cli/cli.h"
#include "wipe/wipelibfuncs.h"

#include <memory>
#include <string>
#include <vector>

namespace purgix::cli {

// The options every wipe command takes.
struct WipeOptions {
    std::string methodGUID; // resolved from --method, else the settings' LastMethodGUID
    bool createLog = true;  // --no-log clears it
    bool yes = false;       // --yes: no confirmation question
    bool verify = false;    // --verify: read every range back after the last pass
};

// Takes --method M, --no-log, --yes and --verify out of `args`. Other options are left in place.
// Throws UsageError for a method that the method file does not hold.
WipeOptions TakeWipeOptions(const Context& ctx, std::vector<std::string>& args);

// Asks `question` on the terminal and answers whether the user said yes. Without a terminal it
// refuses with a UsageError that names the option that skips the question.
bool Confirm(const Context& ctx, const std::string& question, const std::string& skipOption);

// The log folder (--log-dir, else the settings' LogFileDir), created when missing, with "/".
std::string LogFolder(const Context& ctx);
// A free log path in `folder` for `name` (made a valid file name, "(n)" added when taken).
std::string LogPathFor(const std::string& folder, const std::string& name);

// One engine with the caption that names it in progress lines and in the summary.
struct EngineJob {
    std::string caption;
    std::string logName; // file name of its log, made valid and unique as the job starts
    TKLWiper engine;
};

// Runs the jobs one after another on this thread: InitializeWipeJob, ExecuteJob, CloseWipeJob.
// A job that writes a log gets its path in `logFolder` right before it starts, so that two jobs
// of one name get "(1)", "(2)".
// Shows progress on a terminal, cancels on Ctrl-C (the jobs left are not started), and prints
// each job's end, its log and its failure lines. Returns the exit status.
int RunEngineJobs(const Context& ctx, std::vector<std::unique_ptr<EngineJob>>& jobs,
                  const std::string& logFolder);

} // namespace purgix::cli
