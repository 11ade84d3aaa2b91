// The one app session: its start, its lines, its end.
#include "TorvexService.h"

#include "SerialQueue.h"
#include "SessionTask.h"
#include "Core/Log.h"
#include "Core/SystemInfo.h"
#include "Runtime/AppRunner.h"

#include <fmt/format.h>

#include <string_view>

namespace torvex {

namespace {

constexpr std::string_view kernelMismatch = "Invalid kernel binary format version";
constexpr std::string_view kernelMismatchHint =
    "Torvex: the Dart code was built by a different Flutter version than the Windows engine. Run again from your IDE "
    "(or `torvex build` with the same Flutter SDK your IDE uses).";

std::string didNotStart(const std::string& binaryName, const std::string& cause) {
    return fmt::format("{} did not start: {}", binaryName, cause);
}

TorvexError cannotRunX64() {
    if (SystemInfo::isAppleSilicon(currentSystemFacts()))
        return TorvexError(TorvexError::Kind::generic, "Rosetta 2 is not installed.",
                           "Windows apps run through Rosetta on Apple Silicon.",
                           "Run `" + std::string(SystemInfo::rosettaInstallCommand) +
                               "` in Terminal, or open Torvex and run setup.");
    return TorvexError(TorvexError::Kind::generic, "This machine cannot run Windows x64 apps.",
                       "Wine needs an x86_64 processor here, and this one is " + currentSystemFacts().machine + ".",
                       "Run Torvex on an x86_64 (amd64) machine.");
}

} // namespace

std::shared_ptr<SessionTask> TorvexService::startSession(const InstalledApp& requested,
                                                         const std::vector<std::string>& engineSwitches, bool attached,
                                                         const LineHandler& reply, std::stop_token stop) {
    requireUsableName(requested.name, NameRole::appName);  // it also names the app's log file

    // One start at a time, each stopping the session before it: the last start wins, and no two
    // apps ever run at once.
    {
        std::unique_lock guard(lock_);
        if (!changed_.wait(guard, stop, [&] { return !startInProgress_; })) throw Cancelled{};
        startInProgress_ = true;
    }
    struct StartEnds {
        TorvexService& service;
        ~StartEnds() {
            const std::lock_guard guard(service.lock_);
            service.startInProgress_ = false;
            service.changed_.notify_all();
        }
    } startEnds{*this};

    if (!dependencies_.isRosettaInstalled(stop)) throw cannotRunX64();
    this->stop();
    const Profile profile = currentConfig().currentProfile();
    const WineEnvironment wine = wineOf(profile);
    // Only a whole install runs: one in progress is waited for, one cut short is refused.
    InstalledApp app;
    withAppFolder(InstalledApp::directory(requested.name, wine), stop,
                  [&] { app = InstalledApp::load(requested.name, wine); });
    app.name = requested.name;  // the folder's, whatever the record says
    AppRunner runner{wine, profile, windowsHelper(stop)};
    runner.locales.has = dependencies_.hasLocale;
    const auto appLog = std::make_shared<FileLog>(paths_.logs / ("app-" + app.name + ".log"));
    const LineHandler onLine = sessionLineHandler(appLog, reply);

    const auto task = std::make_shared<SessionTask>();
    const std::lock_guard guard(lock_);
    if (stop.stop_requested()) throw Cancelled{};  // nobody would wait for this app
    const std::uint64_t id = ++nextSessionID_;
    // Once the app has ended, the event thread joins the task and then reports the end.
    task->start([runner, app, engineSwitches, onLine, attached, appLog, queue = events_,
                 service = weak_from_this()](std::stop_token own) {
        try {
            return runner.run(app, engineSwitches, onLine, own);
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            // An attached client gets the error as its answer; nobody waits for a detached start.
            if (!attached) {
                const std::string text = didNotStart(app.binaryName, describeCurrentException());
                appLog->write(text);
                queue->post([service, text] {
                    if (const auto self = service.lock()) self->notice(text);
                });
            }
            throw;
        }
    },
                [task = std::weak_ptr(task), queue = events_, service = weak_from_this(), id] {
                    if (const auto ended = task.lock()) {
                        queue->post([ended, service, id] {
                            ended->join();
                            if (const auto self = service.lock()) self->sessionEnded(id, ended->exitCode());
                        });
                    }
                });
    session_ = Session{id, app, profile.id, attached, engineSwitches, task};
    setStatusFromSession();
    logLocked(LogLine::Source::torvex, fmt::format("Started {} ({}: {})", app.binaryName, profile.name, profile.summary()),
              false);
    return task;
}

LineHandler TorvexService::sessionLineHandler(const std::shared_ptr<FileLog>& appLog, const LineHandler& reply) {
    return [reply, appLog, queue = events_, service = weak_from_this()](const OutputLine& line) {
        if (reply) reply(line);
        appLog->write(line.text);
        if (line.text.find(kernelMismatch) != std::string::npos) {
            if (reply) reply(OutputLine{OutputStreamKind::standardError, std::string(kernelMismatchHint)});
            post(queue, service, [](TorvexService& self) { self.notice(std::string(kernelMismatchHint)); });
        }
        post(queue, service, [text = line.text, isError = line.stream == OutputStreamKind::standardError](
                                 TorvexService& self) { self.log(LogLine::Source::app, text, isError); });
    };
}

std::int32_t TorvexService::runAttached(const InstalledApp& app, const std::vector<std::string>& engineSwitches,
                                        const LineHandler& reply, std::stop_token stop) {
    const auto task = startSession(app, engineSwitches, true, reply, stop);
    // A stop ends the app; its exit code is still the answer.
    return task->value(std::move(stop));
}

void TorvexService::sessionEnded(std::uint64_t id, std::int32_t code) {
    const std::lock_guard guard(lock_);
    if (!session_ || session_->id != id) return;  // stopped or replaced: it ends silently
    logLocked(LogLine::Source::torvex, fmt::format("{} exited (code {})", session_->app.binaryName, code), false);
    session_.reset();
    setStatusFromSession();
}

void TorvexService::stop() {
    std::shared_ptr<SessionTask> task;
    {
        const std::lock_guard guard(lock_);
        if (!session_) return;
        task = session_->task;
        session_.reset();
    }
    task->cancel();
    task->join();
    const std::lock_guard guard(lock_);
    setStatusFromSession();
}

void TorvexService::relaunch() {
    std::optional<Session> current;
    {
        const std::lock_guard guard(lock_);
        current = session_;
    }
    if (current)
        startDetached(current->app.binaryName,
                      [&] { startSession(current->app, current->engineSwitches, false, nullptr, {}); });
}

void TorvexService::startDetached(const std::string& binaryName, const std::function<void()>& start) {
    try {
        start();
    } catch (...) {
        notice(didNotStart(binaryName, describeCurrentException()));
        throw;
    }
}

void TorvexService::notice(const std::string& text) {
    const std::lock_guard guard(lock_);
    logLocked(LogLine::Source::torvex, text, true);
    send(ServiceEvent::notice(text));
}

} // namespace torvex
