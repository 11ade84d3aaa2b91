#include "TorvexService.h"

#include "SerialQueue.h"
#include "SessionTask.h"
#include "Build/Toolchain.h"
#include "Core/HostReplacement.h"
#include "Core/JSONText.h"
#include "Core/Log.h"
#include "Core/SystemInfo.h"
#include "Runtime/AppLocale.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <utility>

#include <unistd.h>

namespace torvex {

namespace {

// Host log lines of child output that may wait for the host at most; beyond, they are dropped
// (the client and the log file still get them).
constexpr std::size_t maxPendingLines = 50'000;

TorvexService::Dependencies completed(const TorvexPaths& paths, TorvexService::Dependencies dependencies) {
    if (!dependencies.build) {
        dependencies.build = [paths](const BuildRequest& request, const BuildPipeline::Output& output,
                                     std::stop_token stop) { return BuildPipeline{paths, output}.build(request, stop); };
    }
    if (!dependencies.isRosettaInstalled) {
        dependencies.isRosettaInstalled = [](std::stop_token stop) {
            return SystemInfo::isRosettaInstalled(currentSystemFacts(), std::move(stop));
        };
    }
    if (!dependencies.environment) dependencies.environment = currentEnvironment();
    if (!dependencies.now) dependencies.now = [] { return std::chrono::system_clock::now(); };
    if (!dependencies.hasLocale) dependencies.hasLocale = LocaleSystem::hasSystemLocale;
    if (!dependencies.install) {
        dependencies.install = [paths](const std::string& name, const std::filesystem::path& projectPath,
                                       const WineEnvironment& wine) {
            return InstalledApp::install(name, projectPath, wine, paths);
        };
    }
    return dependencies;
}

TorvexError busyAppFolder(const std::filesystem::path& folder, std::chrono::milliseconds waited) {
    const std::string name = folder.filename().string();
    const std::string time = waited.count() % 1000 == 0 ? fmt::format("{} s", waited.count() / 1000)
                                                        : fmt::format("{} ms", waited.count());
    return TorvexError(TorvexError::Kind::generic, name + " is busy.",
                       "Another install, uninstall or start of " + name + " has held " + folder.string() +
                           " for " + time + ", so Torvex stopped waiting for it.",
                       "Try again once it has finished. If it never does: " + hostReplacementFix(::getpid()));
}

} // namespace

std::shared_ptr<TorvexService> TorvexService::create(TorvexPaths paths) { return create(std::move(paths), {}); }

std::shared_ptr<TorvexService> TorvexService::create(TorvexPaths paths, Dependencies dependencies) {
    return std::shared_ptr<TorvexService>(new TorvexService(std::move(paths), std::move(dependencies)));
}

TorvexService::TorvexService(TorvexPaths paths, Dependencies dependencies)
    : paths_(std::move(paths)),
      dependencies_(completed(paths_, std::move(dependencies))),
      events_(std::make_shared<SerialQueue>()),
      config_(TorvexConfig::load(paths_)) {}

TorvexService::~TorvexService() {
    std::shared_ptr<SessionTask> task;
    {
        const std::lock_guard guard(lock_);
        if (session_) task = session_->task;
        session_.reset();
    }
    if (task) {
        task->cancel();
        task->join();
    }
}

void TorvexService::setEventSink(EventSink sink) {
    const std::lock_guard guard(lock_);
    sink_ = std::make_shared<const EventSink>(std::move(sink));
    send(ServiceEvent::config(config_));
    send(ServiceEvent::status(status_));
}

void TorvexService::setCapture(Capture capture) {
    const std::lock_guard guard(lock_);
    capture_ = std::make_shared<const Capture>(std::move(capture));
}

void TorvexService::setUpdateCheck(UpdateCheck check) {
    const std::lock_guard guard(lock_);
    updateCheck_ = std::make_shared<const UpdateCheck>(std::move(check));
}

TorvexConfig TorvexService::currentConfig() const {
    const std::lock_guard guard(lock_);
    return config_;
}

ServiceStatus TorvexService::currentStatus() const {
    const std::lock_guard guard(lock_);
    return status_;
}

void TorvexService::log(LogLine::Source source, const std::string& text, bool isError) {
    const std::lock_guard guard(lock_);
    logLocked(source, text, isError);
}

void TorvexService::logLocked(LogLine::Source source, const std::string& text, bool isError) {
    send(ServiceEvent::log(LogLine{++nextLogID_, dependencies_.now(), source, isError, text}));
}

void TorvexService::send(ServiceEvent event) {
    if (!sink_) return;
    events_->post([sink = sink_, event = std::move(event)] { (*sink)(event); });
}

void TorvexService::post(const std::shared_ptr<SerialQueue>& queue, const std::weak_ptr<TorvexService>& service,
                         std::function<void(TorvexService&)> action) {
    if (queue->pending() >= maxPendingLines) return;
    queue->post([service, action = std::move(action)] {
        if (const auto self = service.lock()) action(*self);
    });
}

void TorvexService::setStatusFromSession() {
    status_ = session_ ? ServiceStatus::running(session_->app.name, session_->app.binaryName, session_->attached)
                       : ServiceStatus::idle();
    send(ServiceEvent::status(status_));
}

std::string TorvexService::statusJSON() const {
    const Profile profile = config_.currentProfile();
    nlohmann::json status{{"status", status_.label()}, {"profile", profile.id}, {"profileSummary", profile.summary()}};
    if (session_) {
        status["app"] = session_->app.name;
        status["attached"] = session_->attached;
    }
    return withEscapedSlashes(status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string TorvexService::screenshotPNG(std::stop_token stop) {
    std::string binaryName;
    std::shared_ptr<const Capture> capture;
    {
        const std::lock_guard guard(lock_);
        if (!session_)
            throw TorvexError(TorvexError::Kind::generic, "No Torvex window to capture.",
                              "No app is running in the simulator.", "Start the app first.");
        if (!capture_)
            throw TorvexError(TorvexError::Kind::generic, "Screen capture is not available.", "",
                              hostReplacementFix(::getpid()));
        binaryName = session_->app.binaryName;
        capture = capture_;
    }
    return (*capture)(binaryName, std::move(stop));
}

std::optional<WindowsHelper> TorvexService::windowsHelper(std::stop_token stop) {
    std::unique_lock guard(lock_);
    if (helper_) return helper_;
    if (helperBuilding_) {
        const std::uint64_t build = helperBuilds_;
        changed_.wait(guard, stop, [&] { return helperBuilds_ != build; });
        return helper_;
    }
    helperBuilding_ = true;
    guard.unlock();

    std::optional<WindowsHelper> built;
    try {
        built = WindowsHelper::ensure(paths_, Toolchain::locate(paths_, *dependencies_.environment), stop);
    } catch (...) {
        // No toolchain yet, or no compile: the app runs without the helper; the next start tries again.
        Log::process().info("no Windows helper: " + describeCurrentException());
    }

    guard.lock();
    helperBuilding_ = false;
    ++helperBuilds_;
    if (built) helper_ = built;
    changed_.notify_all();
    return helper_;
}

WineEnvironment TorvexService::wineOf(const Profile& profile) const {
    return WineEnvironment::locate(paths_, profile.id, *dependencies_.environment);
}

void TorvexService::withAppFolder(const std::filesystem::path& folder, std::stop_token stop,
                                  const std::function<void()>& work) {
    {
        std::unique_lock guard(lock_);
        const auto deadline = std::chrono::steady_clock::now() + dependencies_.appFolderWait;
        if (!changed_.wait_until(guard, stop, deadline, [&] { return !busyAppFolders_.contains(folder); })) {
            if (stop.stop_requested()) throw Cancelled{};
            throw busyAppFolder(folder, dependencies_.appFolderWait);
        }
        busyAppFolders_.insert(folder);
    }
    struct Release {
        TorvexService& service;
        const std::filesystem::path& folder;
        ~Release() {
            const std::lock_guard guard(service.lock_);
            service.busyAppFolders_.erase(folder);
            service.changed_.notify_all();
        }
    } release{*this, folder};
    work();
}

InstalledApp TorvexService::install(const std::string& name, const std::filesystem::path& projectPath,
                                    const WineEnvironment& wine, std::stop_token stop) {
    InstalledApp app;
    withAppFolder(InstalledApp::directory(name, wine), std::move(stop),
                  [&] { app = dependencies_.install(name, projectPath, wine); });
    return app;
}

TorvexConfig TorvexService::changeConfig(const std::function<void(TorvexConfig&)>& change) {
    const std::lock_guard saving(saving_);
    TorvexConfig changed;
    {
        const std::lock_guard guard(lock_);
        change(config_);
        changed = config_;
    }
    changed.save(paths_);
    const std::lock_guard guard(lock_);
    send(ServiceEvent::config(changed));
    return changed;
}

} // namespace torvex
