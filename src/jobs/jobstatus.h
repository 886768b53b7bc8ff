// What the status page shows of a run: the status text of a job's row, the detail values of the
// selected job, the time spent and the estimate of the time left. Everything is computed from
// the jobs' status holders; the window (or the command line) only draws it.
#pragma once

#include "jobs/wipe_volume.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace purgix {

// The task of the main window.
enum TJobType : std::int32_t {
    jt_drive = 0,
    jt_file = 1,
    jt_freespace = 2,
    jt_complete = 3,
    jt_signature = 4,
};

inline constexpr std::string_view kCalculating = "Calculating ...";

// Number of stages S of a job: 3 for a free-space run with cluster tips, 2 without, else 1.
int StageCount(TJobType type, bool clusterTips);

// A free-space job reports its progress within the current stage: with S stages, stage s
// (1 cluster tips, 2 free space, 3 deleted names) covers the part from (s + S - 4) / S on.
// The overall percent P of a job, 0 to 100; for other runs the job's own progress.
double JobOverallProgress(TJobType type, int stages, std::int32_t stage, double progress);

// A duration as "%.2d:%.2d:%.2d"; the hours are not limited to two digits.
std::string FormatDuration(std::int64_t seconds);

// The decimal separator of the user's locale (LC_ALL, LC_NUMERIC, LANG), "." when it cannot be
// loaded.
char LocaleDecimalPoint();

// The row's status text: "In Progress (%.2f %%) ...", "Finished", "Completed with errors",
// "Paused", "Aborted" or "In queue".
std::string JobStatusText(TWipeState state, bool hasErrors, double percent, char decimalPoint);

// The detail area of the selected job.
struct TJobDetails {
    std::string currentStatus;             // lbl_CurrentStatus
    std::optional<std::string> statusLine; // lbl_Status; none: the line stays as it is
    std::string round;                     // lbl_Round
    int progress = 0;                      // sb_status, 0 to 100
    std::string pauseCaption;              // btn_pausejob
    bool pauseEnabled = false;
    std::string cancelCaption = "Cancel Job"; // btn_canceljob
    bool cancelEnabled = false;
};

// The detail values of `job` in a run of `type`, `percent` being its overall progress P.
TJobDetails JobDetails(const TWipeJob& job, TJobType type, double percent);

// The time spent since a run started and the estimate of the time left for the whole run.
// The estimate follows the millisecond tick (platform::GetTickCount, injectable); the run's
// start and the time spent follow `clock`.
class TTimeEstimator {
public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;

    explicit TTimeEstimator(TClock clock = {});

    // A run starts now: every estimate of an earlier run is forgotten.
    void StartRun();
    std::chrono::system_clock::time_point ProgressStart() const noexcept { return FProgressStart; }
    // Whole seconds since the run started, as a duration.
    std::string TimeSpent() const;

    // The estimate from the average share of all jobs of the run (finished and aborted count
    // 100, queued 0, running and paused their overall progress; a free-space job in stage 0
    // counts negative). `jobs` is never empty.
    std::string SetEstimatedTime(const std::vector<const TWipeJob*>& jobs, TJobType type,
                                 int stages);
    // The estimate for the run's overall percent `percent`: "Calculating ..." until there is
    // one, a new value at most every ten seconds once the progress has moved, and in between
    // the last value counting down by the whole seconds that have passed.
    std::string GetFormattedEstimatedTime(double percent);

private:
    std::int64_t SecondsSinceStart() const;

    TClock FClock;
    std::chrono::system_clock::time_point FProgressStart{};
    std::uint32_t FlastEstimationTick = 0; // 0: no estimate yet in this run
    std::uint32_t FlastCountTick = 0;
    std::int32_t FLastEstimatedTime = 0; // seconds
    double FLastProgress = 0;
};

} // namespace purgix
