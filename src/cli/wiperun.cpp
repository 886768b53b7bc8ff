#include "cli/wiperun.h"

#include "app/GlobalSettings.h"
#include "platform/product.h"
#include "platform/text.h"
#include "wipe/wipeutils.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>

namespace purgix::cli {
namespace {

using nlohmann::json;

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
    gInterrupted.store(true);
}

// Ctrl-C asks every job to stop while the object lives; the old handler comes back afterwards.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterrupted.store(false);
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &old_);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    ~InterruptGuard() { ::sigaction(SIGINT, &old_, nullptr); }

private:
    struct sigaction old_ {};
};

// The settings of the user who started the program (read, never written here).
TGlobalConfig& Settings() {
    static const std::unique_ptr<TGlobalConfig> config = [] {
        auto c = std::make_unique<TGlobalConfig>();
        c->SetRegPath(std::string(ProductRegistryKey));
        c->LoadFromRegistry();
        return c;
    }();
    return *config;
}

// A log line as plain text: the markup the log module adds taken off, references resolved.
std::string PlainLogLine(std::string_view line) {
    constexpr std::string_view br = "<br>";
    if (line.size() >= br.size() && line.substr(line.size() - br.size()) == br)
        line.remove_suffix(br.size());
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line.substr(i, 5) == "&amp;") {
            out += '&';
            i += 4;
        } else if (line.substr(i, 4) == "&lt;") {
            out += '<';
            i += 3;
        } else if (line.substr(i, 5) == "&#13;") {
            out += '\r';
            i += 4;
        } else if (line.substr(i, 5) == "&#10;") {
            out += '\n';
            i += 4;
        } else {
            out += line[i];
        }
    }
    return out;
}

void PrintJsonLine(std::ostream& out, const json& j) {
    out << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n' << std::flush;
}

} // namespace

WipeOptions TakeWipeOptions(const Context& ctx, std::vector<std::string>& args) {
    WipeOptions options;
    std::string method;
    std::vector<std::string> rest;
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (endOfOptions || arg == "--") {
            endOfOptions = true;
            rest.push_back(arg);
        } else if (arg == "--method") {
            if (i + 1 >= args.size())
                throw UsageError("--method needs a value");
            method = args[++i];
        } else if (arg.rfind("--method=", 0) == 0) {
            method = arg.substr(9);
        } else if (arg == "--no-log") {
            options.createLog = false;
        } else if (arg == "--yes") {
            options.yes = true;
        } else {
            rest.push_back(arg);
        }
    }
    args = std::move(rest);

    TWipeAlgorithms methods;
    LoadMethods(ctx, methods);
    const std::string key = method.empty() ? Settings().LastMethodGUID() : method;
    const TWipeAlgorithm* m = ResolveMethod(methods, key);
    if (m == nullptr)
        throw UsageError("no such wipe method: '" + key + "' (see purgix-cli methods)");
    options.methodGUID = m->GUID();
    return options;
}

bool Confirm(const Context& ctx, const std::string& question, const std::string& skipOption) {
    if (!ctx.interactive)
        throw UsageError("no terminal to confirm the wipe on; give " + skipOption +
                         " to confirm it beforehand");
    ctx.out << question << "\n[y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    const std::string a = platform::AsciiLower(answer);
    return a == "y" || a == "yes";
}

std::string LogFolder(const Context& ctx) {
    std::string folder = ctx.options.logDir.empty() ? Settings().LogFileDir() : ctx.options.logDir;
    folder = platform::WithTrailingSlash(folder);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        throw std::runtime_error("cannot create the log folder " + folder + ": " + ec.message());
    return folder;
}

std::string LogPathFor(const std::string& folder, const std::string& name) {
    return GetUniqueFileName(folder + MakeValidFileName(name));
}

int RunEngineJobs(const Context& ctx, std::vector<std::unique_ptr<EngineJob>>& jobs,
                  const std::string& logFolder) {
    InterruptGuard interrupt;
    bool anyErrors = false;
    bool cancelled = false;
    for (auto& job : jobs) {
        TKLWiper& engine = job->engine;
        std::vector<std::string> failures;
        engine.SetOnDebugLog([&failures](const std::string& data) {
            if (data.rfind("Error:", 0) == 0)
                failures.push_back(PlainLogLine(std::string_view(data).substr(6)));
        });
        bool progressShown = false;
        engine.SetProgressCallBack([&](TKLWiper&, const std::string& item, std::int32_t,
                                       std::int32_t pass, std::int32_t passes, std::int64_t,
                                       std::int64_t, std::int64_t done, std::int64_t total,
                                       bool& cancel) {
            if (gInterrupted.load())
                cancel = true;
            if (!ctx.terminal)
                return;
            const double percent = total > 0 ? 100.0 * static_cast<double>(done) / total : 0.0;
            char numbers[64];
            std::snprintf(numbers, sizeof numbers, "Round %d/%d  %6.2f %%", pass, passes,
                          percent > 100.0 ? 100.0 : percent);
            ctx.out << "\r\033[K" << job->caption << "  " << numbers << "  " << item << std::flush;
            progressShown = true;
        });
        engine.SetCompleteCallBack([](TKLWiper&, const std::string&, std::int32_t, bool& cancel) {
            if (gInterrupted.load())
                cancel = true;
        });

        std::int32_t result = WIPE_OK;
        bool initialized = false;
        if (cancelled || gInterrupted.load()) {
            // Jobs after a cancel are not started.
            cancelled = true;
            failures.push_back("Not started: an earlier job was cancelled.");
            result = WIPE_CANCELLED;
        } else {
            try {
                if (engine.CreateLogFile())
                    engine.SetLogFilename(LogPathFor(logFolder, job->logName));
                result = engine.InitializeWipeJob();
                initialized = result == WIPE_OK;
                if (result == WIPE_NO_METHOD_FILE)
                    failures.push_back("The method file is missing or holds no method.");
                else if (result == WIPE_METHOD_NOT_FOUND)
                    failures.push_back("The wipe method is not in the method file.");
                if (initialized)
                    result = engine.ExecuteJob();
            } catch (const std::exception& e) {
                failures.push_back(e.what());
                if (result == WIPE_OK)
                    result = WIPE_FAILED;
            }
            engine.CloseWipeJob();
        }
        if (progressShown)
            ctx.out << "\r\033[K";

        const bool aborted = result == WIPE_CANCELLED || engine.Cancelled() || gInterrupted.load();
        cancelled = cancelled || aborted;
        const bool errors = !aborted && (result != WIPE_OK || !failures.empty());
        anyErrors = anyErrors || errors;
        const std::string state = aborted  ? "Aborted"
                                  : errors ? "Finished with errors"
                                           : "Finished";
        std::error_code ec;
        const std::string logPath =
            engine.CreateLogFile() && std::filesystem::is_regular_file(engine.LogFilename(), ec)
                ? engine.LogFilename()
                : std::string();

        if (ctx.options.json) {
            PrintJsonLine(ctx.out, {{"type", "job"},
                                    {"caption", job->caption},
                                    {"state", aborted ? "aborted" : "finished"},
                                    {"errors", errors},
                                    {"result", result},
                                    {"log", logPath},
                                    {"failures", failures}});
        } else {
            ctx.out << job->caption << ": " << state << '\n';
            if (!logPath.empty())
                ctx.out << "  log: " << logPath << '\n';
            for (const std::string& line : failures)
                ctx.out << "  " << line << '\n';
        }
    }
    if (ctx.options.json)
        PrintJsonLine(ctx.out, {{"type", "summary"},
                                {"jobs", jobs.size()},
                                {"errors", anyErrors},
                                {"cancelled", cancelled}});
    if (cancelled)
        return kExitCancelled;
    return anyErrors ? kExitErrors : kExitOk;
}

} // namespace purgix::cli
