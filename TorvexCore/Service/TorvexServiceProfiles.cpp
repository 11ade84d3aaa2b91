// Profile and settings operations: each saves the configuration, then announces it.
#include "TorvexService.h"

#include <algorithm>

namespace torvex {

namespace {

constexpr const char* reattach = "Settings applied. Press Run again in your IDE to reattach.";

} // namespace

void TorvexService::useProfile(const std::string& id) {
    std::optional<Session> moving;
    {
        const std::lock_guard guard(lock_);
        if (std::none_of(config_.profiles.begin(), config_.profiles.end(),
                         [&](const Profile& profile) { return profile.id == id; }))
            throw TorvexError(TorvexError::Kind::usage, "No profile named " + id + ".", "", "Run `torvex profile list`.");
        moving = session_;
    }
    this->stop();
    changeConfig([&](TorvexConfig& config) { config.currentProfileID = id; });
    if (!moving) return;

    // The app moves into the new profile's prefix: installed there from its project's last build.
    startDetached(moving->app.binaryName, [&] {
        const WineEnvironment wine = wineOf(currentConfig().currentProfile());
        const InstalledApp app = install(moving->app.name, moving->app.projectRoot, wine);
        restart(*moving, app);
    });
}

void TorvexService::updateCurrentProfile(const Profile& profile, std::stop_token stop) {
    editCurrentProfile([&](Profile& current) { current = profile; }, std::move(stop));
}

void TorvexService::editCurrentProfile(const std::function<void(Profile&)>& edit, std::stop_token stop) {
    Profile old, profile;
    changeConfig([&](TorvexConfig& config) {
        old = config.currentProfile();
        profile = old;
        edit(profile);
        config.setCurrentProfile(profile);
    });
    std::optional<Session> running;
    {
        const std::lock_guard guard(lock_);
        if (session_ && session_->profileID == profile.id) running = session_;
    }
    if (!running) return;

    // The app reads its DPI and locale only when it starts.
    if (old.dpi != profile.dpi || old.locale != profile.locale) {
        this->stop();
        startDetached(running->app.binaryName, [&] { restart(*running, running->app); });
        return;
    }

    const WineEnvironment wine = wineOf(currentConfig().currentProfile());
    if (old.theme != profile.theme) {
        wine.applyTheme(profile.theme, stop);
        if (const auto helper = windowsHelper(stop)) helper->run({"theme"}, wine, stop);
    }
    if (old.width != profile.width || old.height != profile.height) {
        if (const auto helper = windowsHelper(stop))
            helper->run({"resize", std::to_string(profile.width), std::to_string(profile.height)}, wine, stop);
    }
}

void TorvexService::restart(const Session& ended, const InstalledApp& app) {
    if (ended.attached) {
        const std::lock_guard guard(lock_);
        send(ServiceEvent::notice(reattach));
    }
    startSession(app, ended.engineSwitches, false, nullptr, {});
}

Profile TorvexService::createProfile(const std::string& name) {
    Profile created;
    changeConfig([&](TorvexConfig& config) {
        created = config.currentProfile();
        created.id = config.newProfileID(name);
        requireProfileIDFits(created.id, name);  // before anything changes
        created.name = name;
        config.profiles.push_back(created);
    });
    return created;
}

void TorvexService::completeOnboarding(const std::optional<std::string>& flutterRoot) {
    const double now = referenceSeconds(dependencies_.now());
    changeConfig([&](TorvexConfig& config) {
        config.onboardingCompletedAt = now;
        if (flutterRoot) config.flutterRoot = flutterRoot;
    });
}

void TorvexService::setFlutterRoot(const std::optional<std::string>& root) {
    changeConfig([&](TorvexConfig& config) { config.flutterRoot = root; });
}

void TorvexService::setCaptureFolder(const std::optional<std::filesystem::path>& folder) {
    changeConfig([&](TorvexConfig& config) {
        config.captureFolder = folder ? std::optional(folder->string()) : std::nullopt;
    });
}

} // namespace torvex
