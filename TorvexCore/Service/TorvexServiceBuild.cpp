// Builds of a Flutter project, and opening one: build, install, start.
#include "TorvexService.h"

#include "SerialQueue.h"
#include "Build/FlutterProject.h"
#include "Runtime/AppRunner.h"

namespace torvex {

namespace {

// The project's binary name; the path's last component when it lies in no usable project.
std::string displayName(const std::filesystem::path& project) {
    try {
        return FlutterProject::discover(project).binaryName;
    } catch (...) {
        const std::filesystem::path normal = project.lexically_normal();
        return (normal.has_filename() ? normal.filename() : normal.parent_path().filename()).string();
    }
}

} // namespace

std::string TorvexService::build(const std::filesystem::path& project, const std::optional<std::filesystem::path>& bundle,
                                 const std::optional<std::string>& flutterRoot, const LineHandler& reply,
                                 std::stop_token stop) {
    BuildRequest request{project, bundle, flutterRoot};
    const std::string name = displayName(project);
    {
        const std::lock_guard guard(lock_);
        if (!request.flutterRoot) request.flutterRoot = config_.flutterRoot;
        status_ = ServiceStatus::building(name);
        send(ServiceEvent::status(status_));
    }
    const BuildPipeline::Output output = [reply, queue = events_, service = weak_from_this()](const std::string& line) {
        if (reply) reply(OutputLine{OutputStreamKind::standardOutput, line});
        post(queue, service, [line](TorvexService& self) { self.log(LogLine::Source::build, line, false); });
    };
    // Unless a session start replaced it meanwhile, the status goes back to what the session says.
    const auto restoreStatus = [this] {
        const std::lock_guard guard(lock_);
        if (std::holds_alternative<ServiceStatus::Building>(status_.state)) setStatusFromSession();
    };

    BuildResult result;
    try {
        result = dependencies_.build(request, output, std::move(stop));
    } catch (...) {
        restoreStatus();
        throw;
    }
    restoreStatus();
    return result.outputDirectory.string();
}

void TorvexService::open(const std::filesystem::path& project, const std::optional<std::string>& flutterRoot,
                         const LineHandler& reply, std::stop_token stop) {
    // A caller that went away meanwhile gets no app that nobody waits for.
    const auto throwIfStopped = [&stop] {
        if (stop.stop_requested()) throw Cancelled{};
    };
    build(project, std::nullopt, flutterRoot, reply, stop);
    throwIfStopped();
    const FlutterProject discovered = FlutterProject::discover(project);
    const WineEnvironment wine = wineOf(currentConfig().currentProfile());
    const InstalledApp app = install(discovered.binaryName, project, wine, stop);
    throwIfStopped();
    startSession(app, AppRunner::engineSwitches(""), false, nullptr, std::move(stop));
}

} // namespace torvex
