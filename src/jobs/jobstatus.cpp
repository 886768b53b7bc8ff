#include "jobs/jobstatus.h"

#include "platform/tick.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <locale>

namespace purgix {
namespace {

std::string Printf(const char* format, auto... args) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

// The text after the last "/".
std::string FileNamePart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int StageCount(TJobType type, bool clusterTips) {
    if (type != jt_freespace)
        return 1;
    return clusterTips ? 3 : 2;
}

double JobOverallProgress(TJobType type, int stages, std::int32_t stage, double progress) {
    if (type != jt_freespace)
        return progress;
    const double base = std::max(0.0, (stage + stages - 4) * 100.0 / stages);
    return std::min(100.0, base + progress / stages);
}

std::string FormatDuration(std::int64_t seconds) {
    return Printf("%.2lld:%.2lld:%.2lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>((seconds / 60) % 60),
                  static_cast<long long>(seconds % 60));
}

char LocaleDecimalPoint() {
    try {
        const std::locale user("");
        return std::use_facet<std::numpunct<char>>(user).decimal_point();
    } catch (const std::exception&) {
        return '.';
    }
}

std::string JobStatusText(TWipeState state, bool hasErrors, double percent, char decimalPoint) {
    switch (state) {
    case wst_running: {
        std::string number = Printf("%.2f", percent);
        std::replace(number.begin(), number.end(), '.', decimalPoint);
        return "In Progress (" + number + " %) ...";
    }
    case wst_finished:
        return hasErrors ? "Completed with errors" : "Finished";
    case wst_paused:
        return "Paused";
    case wst_aborted:
        return "Aborted";
    case wst_queued:
        break;
    }
    return "In queue";
}

TJobDetails JobDetails(const TWipeJob& job, TJobType type, double percent) {
    TJobDetails d;
    d.pauseCaption = "Pause Job";
    d.statusLine = std::string{};
    const int shown = static_cast<int>(std::lround(std::min(percent, 100.0)));
    switch (job.STATUS_CurrentState()) {
    case wst_running: {
        d.currentStatus = "This job is currenty processed.";
        const std::string item = FileNamePart(job.STATUS_CurrentItem());
        switch (type) {
        case jt_freespace:
            switch (job.STATUS_CurrentStage()) {
            case 1:
                d.statusLine = "Overwriting Clustertips: " + item;
                break;
            case 2:
                d.statusLine = "Overwriting Freespace ...";
                break;
            case 3:
                d.statusLine = "Overwriting deleted filenames: " + item;
                break;
            default:
                d.statusLine.reset();
            }
            break;
        case jt_file:
            d.statusLine = "Overwriting " + item;
            break;
        default:
            d.statusLine = "Overwriting sectors...";
        }
        d.round = "Round " + std::to_string(job.STATUS_CurrentRound()) + "/" +
                  std::to_string(job.STATUS_OverallRounds());
        d.progress = shown;
        d.pauseEnabled = true;
        d.cancelEnabled = true;
        break;
    }
    case wst_finished: {
        d.currentStatus = "Job has been finished!";
        const std::string rounds = std::to_string(job.STATUS_OverallRounds());
        d.round = "Round " + rounds + "/" + rounds;
        d.progress = 100;
        break;
    }
    case wst_paused:
        d.currentStatus = "Job is currently paused.";
        d.progress = shown;
        d.pauseCaption = "Resume Job";
        d.pauseEnabled = true;
        d.cancelEnabled = true;
        break;
    case wst_aborted:
        d.currentStatus = "Job has been aborted!";
        break;
    case wst_queued:
        d.currentStatus = "This job is queued as another job for this drive is running.";
        d.cancelEnabled = true;
        break;
    }
    return d;
}

TTimeEstimator::TTimeEstimator(TClock clock)
    : FClock(clock ? std::move(clock) : TClock(std::chrono::system_clock::now)) {}

void TTimeEstimator::StartRun() {
    FProgressStart = FClock();
    FlastEstimationTick = 0;
    FlastCountTick = 0;
    // A second run must never show the first run's estimate.
    FLastEstimatedTime = 0;
    FLastProgress = 0;
}

std::int64_t TTimeEstimator::SecondsSinceStart() const {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(FClock() - FProgressStart);
    return std::abs(static_cast<std::int64_t>(elapsed.count()));
}

std::string TTimeEstimator::TimeSpent() const {
    return FormatDuration(SecondsSinceStart());
}

std::string TTimeEstimator::SetEstimatedTime(const std::vector<const TWipeJob*>& jobs,
                                             TJobType type, int stages) {
    double sum = 0;
    for (const TWipeJob* job : jobs) {
        switch (job->STATUS_CurrentState()) {
        case wst_finished:
        case wst_aborted:
            sum += 100;
            break;
        case wst_queued:
            break;
        case wst_running:
        case wst_paused:
            if (type == jt_freespace)
                sum += 100.0 / stages * (job->STATUS_CurrentStage() + stages - 4) +
                       job->STATUS_CurrentProgress() / stages;
            else
                sum += job->STATUS_CurrentProgress();
            break;
        }
    }
    return GetFormattedEstimatedTime(jobs.empty() ? 0.0 : sum / static_cast<double>(jobs.size()));
}

std::string TTimeEstimator::GetFormattedEstimatedTime(double percent) {
    const std::uint32_t now = platform::GetTickCount();
    const std::int64_t elapsed = SecondsSinceStart();
    const std::uint32_t sinceEstimate = (now - FlastEstimationTick) / 1000;
    if (elapsed <= 0 || percent <= 0)
        return std::string(kCalculating);

    double rate = 0; // seconds per percent
    if (FlastEstimationTick != 0 && percent != FLastProgress) {
        // The whole run's rate plus half of the recent one.
        rate = static_cast<double>(elapsed) / percent +
               (sinceEstimate / (percent - FLastProgress)) / 2;
    } else {
        FlastEstimationTick = now;
        FLastProgress = percent;
        FlastCountTick = FlastEstimationTick;
        rate = static_cast<double>(elapsed) / percent;
    }

    if (static_cast<std::uint32_t>(now - FlastEstimationTick) > 10000) {
        FLastEstimatedTime = static_cast<std::int32_t>(std::lround((100 - percent) * rate));
        FlastEstimationTick = now;
        FlastCountTick = now;
        FLastProgress = percent;
    } else {
        const std::uint32_t counted = now - FlastCountTick;
        if (counted > 1000) {
            FlastCountTick = now;
            FLastEstimatedTime = std::max<std::int32_t>(
                0, FLastEstimatedTime - static_cast<std::int32_t>(counted / 1000));
        }
    }

    if (FLastEstimatedTime > 0 && percent > 0.009)
        return FormatDuration(FLastEstimatedTime);
    return std::string(kCalculating);
}

} // namespace purgix
