#pragma once

#include "IPCConnection.h"
#include "LogLine.h"
#include "Messages.h"
#include "ServiceEvent.h"
#include "ServiceStatus.h"
#include "Build/BuildPipeline.h"
#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Core/ProcessRunner.h"
#include "Core/Profile.h"
#include "Runtime/InstalledApp.h"
#include "Runtime/WindowsHelper.h"
#include "Runtime/WineEnvironment.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace torvex {

class FileLog;
class SerialQueue;
class SessionTask;

// The service behind the socket: it owns the configuration, the status and the one app session,
// answers every request word, and tells its host what happens through events.
//
// One mutex guards its state and is never held across blocking work (a build, a Wine program, a
// send on a socket, a host closure): an operation unlocks, does the work, relocks and reads the
// state anew. Events reach the host's sink in the order they arose, one at a time, on a thread of
// the service's own, never with the service's lock held; an operation does not wait for its events.
class TorvexService : public std::enable_shared_from_this<TorvexService> {
public:
    // Receives every event; called on the service's event thread only. What it throws is logged.
    using EventSink = std::function<void(const ServiceEvent& event)>;
    // The PNG bytes of the app's window, given its binary name; throws when there is none. May be
    // called again before an earlier call has returned.
    using Capture = std::function<std::string(const std::optional<std::string>& binaryName, std::stop_token stop)>;
    // The host's update check; returns when it is done.
    using UpdateCheck = std::function<void(std::stop_token stop)>;
    // Runs one build; BuildPipeline's build by default.
    using Build = std::function<BuildResult(const BuildRequest& request, const BuildPipeline::Output& output,
                                            std::stop_token stop)>;

    // What the service takes from the system; an empty member takes the real one.
    struct Dependencies {
        Build build;
        std::function<bool(std::stop_token stop)> isRosettaInstalled;
        std::optional<Environment> environment;  // the process environment; read at creation when none
        std::function<std::chrono::system_clock::time_point()> now;
        std::function<bool(const std::string& locale)> hasLocale;  // whether the system has generated it
        // Installs an app into a prefix; InstalledApp::install with the service's paths by default.
        std::function<InstalledApp(const std::string& name, const std::filesystem::path& projectPath,
                                   const WineEnvironment& wine)>
            install;
        // How long an operation waits for another one to leave an app's folder before it gives up.
        std::chrono::milliseconds appFolderWait = std::chrono::minutes(1);
    };

    // A service over `paths` with the configuration found there (the defaults when there is none
    // or it does not decode). Writes nothing.
    static std::shared_ptr<TorvexService> create(TorvexPaths paths);
    static std::shared_ptr<TorvexService> create(TorvexPaths paths, Dependencies dependencies);

    // Ends a running session and waits for it.
    ~TorvexService();
    TorvexService(const TorvexService&) = delete;
    TorvexService& operator=(const TorvexService&) = delete;

    const TorvexPaths& paths() const { return paths_; }

    // Replaces the sink; it then receives the configuration and the status at once, in that order.
    void setEventSink(EventSink sink);
    void setCapture(Capture capture);
    void setUpdateCheck(UpdateCheck check);

    TorvexConfig currentConfig() const;
    ServiceStatus currentStatus() const;

    // Runs one request of the socket: its output lines as "log" messages, then one "result" or
    // "error". `stop` cancels it (the client hung up or sent more). Never throws.
    void handle(const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection, std::stop_token stop);

    // Builds the project, installs it into the current profile's prefix and starts it detached.
    void open(const std::filesystem::path& project, const std::optional<std::string>& flutterRoot,
              const LineHandler& reply, std::stop_token stop = {});
    // Ends the session, if any, and waits until its app has ended.
    void stop();
    // Starts the session's app again, detached, with its engine switches, under the current profile.
    // Like every detached restart below, it is not cancelled: once the old app has ended, the new
    // one starts, and a start that fails tells the host why (a notice and the app's log).
    void relaunch();

    // Makes the profile current; a running app moves into its prefix and starts again, detached.
    void useProfile(const std::string& id);
    // Stores `profile` as the current profile; a running app of it restarts (dpi or locale changed)
    // or takes the new theme and size live (`stop` ends those live steps).
    void updateCurrentProfile(const Profile& profile, std::stop_token stop = {});
    // The same for the current profile as `edit` changes it, in one step with the change: edits
    // made at once, and a profile switch beside them, are all kept.
    void editCurrentProfile(const std::function<void(Profile&)>& edit, std::stop_token stop = {});
    // A copy of the current profile under a new id made from `name`, appended; not selected.
    Profile createProfile(const std::string& name);
    void completeOnboarding(const std::optional<std::string>& flutterRoot);
    void setFlutterRoot(const std::optional<std::string>& root);
    void setCaptureFolder(const std::optional<std::filesystem::path>& folder);
    // Each of the operations above that changes the configuration saves the whole of it, then sends
    // a `config` event. A save that fails keeps the change in memory, sends no event and throws.

    // The running app's window as PNG, through the host's capture closure.
    std::string screenshotPNG(std::stop_token stop = {});

    // Sends one line to the host, numbered after the last one.
    void log(LogLine::Source source, const std::string& text, bool isError);

private:
    struct Session {
        std::uint64_t id = 0;
        InstalledApp app;
        std::string profileID;
        bool attached = false;
        std::vector<std::string> engineSwitches;
        std::shared_ptr<SessionTask> task;
    };
    using Answer = std::optional<std::string>;

    TorvexService(TorvexPaths paths, Dependencies dependencies);

    // Requests.
    Answer perform(const IPCRequest& request, const LineHandler& reply, std::stop_token stop);
    std::string build(const std::filesystem::path& project, const std::optional<std::filesystem::path>& bundle,
                      const std::optional<std::string>& flutterRoot, const LineHandler& reply, std::stop_token stop);
    void deleteProfile(const std::string& id);

    // Sessions.
    // Stops any session, then starts the app named by `requested` as its record in the current
    // profile's prefix says (waiting for an install of it in progress); answers the session's task.
    std::shared_ptr<SessionTask> startSession(const InstalledApp& requested,
                                              const std::vector<std::string>& engineSwitches, bool attached,
                                              const LineHandler& reply, std::stop_token stop);
    std::int32_t runAttached(const InstalledApp& app, const std::vector<std::string>& engineSwitches,
                             const LineHandler& reply, std::stop_token stop);
    // Starts `app` detached with the engine switches of the session `ended` (already stopped),
    // whose client, when it was attached, is told to run it again. Nothing cancels it.
    void restart(const Session& ended, const InstalledApp& app);
    // Runs `start`, a detached start of the app, whose failure is told to the host as a notice as
    // well as thrown: the client that asked for it may be gone.
    void startDetached(const std::string& binaryName, const std::function<void()>& start);
    void sessionEnded(std::uint64_t id, std::int32_t code);
    void notice(const std::string& text);
    LineHandler sessionLineHandler(const std::shared_ptr<FileLog>& appLog, const LineHandler& reply);

    // The Wine environment of a profile, located now.
    WineEnvironment wineOf(const Profile& profile) const;
    // Runs `work` while no other install, uninstall or record read of the same app folder runs;
    // `stop` ends the wait for them with Cancelled, and after appFolderWait it ends with an error
    // that says which folder stayed busy.
    void withAppFolder(const std::filesystem::path& folder, std::stop_token stop, const std::function<void()>& work);
    InstalledApp install(const std::string& name, const std::filesystem::path& projectPath, const WineEnvironment& wine,
                         std::stop_token stop = {});
    // The cached Windows helper; one build at a time, whose outcome its waiters share.
    std::optional<WindowsHelper> windowsHelper(std::stop_token stop);

    // Applies `change` to the configuration, saves it and announces it; answers what was saved.
    TorvexConfig changeConfig(const std::function<void(TorvexConfig&)>& change);

    // With lock_ held.
    std::string statusJSON() const;
    void setStatusFromSession();
    void send(ServiceEvent event);
    void logLocked(LogLine::Source source, const std::string& text, bool isError);
    // Runs `action` on the event thread, for a thread that must not wait (an output pump): host
    // log lines and notices of child output. Dropped while the host is far behind.
    static void post(const std::shared_ptr<SerialQueue>& queue, const std::weak_ptr<TorvexService>& service,
                     std::function<void(TorvexService&)> action);

    const TorvexPaths paths_;
    const Dependencies dependencies_;
    const std::shared_ptr<SerialQueue> events_;

    mutable std::mutex lock_;
    std::condition_variable_any changed_;  // startInProgress_, helperBuilding_ or busyAppFolders_ changed
    TorvexConfig config_;
    ServiceStatus status_;
    std::optional<Session> session_;
    std::optional<WindowsHelper> helper_;
    std::int64_t nextLogID_ = 0;
    std::uint64_t nextSessionID_ = 0;
    bool startInProgress_ = false;
    bool helperBuilding_ = false;
    std::set<std::filesystem::path> busyAppFolders_;  // see withAppFolder
    std::uint64_t helperBuilds_ = 0;
    std::shared_ptr<const EventSink> sink_;
    std::shared_ptr<const Capture> capture_;
    std::shared_ptr<const UpdateCheck> updateCheck_;

    std::mutex saving_;  // one save at a time, each of the latest configuration
};

} // namespace torvex
