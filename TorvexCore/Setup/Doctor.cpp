#include "Doctor.h"

#include "Components.h"
#include "CustomDeviceRegistration.h"
#include "Build/FlutterProject.h"
#include "Core/ByteCount.h"
#include "Core/Files.h"
#include "Core/Profile.h"
#include "Core/SystemInfo.h"
#include "Core/TorvexError.h"
#include "Runtime/WineEnvironment.h"

#include <fmt/format.h>

#include <algorithm>

namespace torvex {
namespace fs = std::filesystem;

std::string_view DoctorCheck::symbol() const {
    switch (status) {
    case Status::ok: return "\u2713";
    case Status::warning: return "!";
    case Status::failed: return "\u2717";
    case Status::info: return "\u00B7";
    }
    return "";
}

namespace Doctor {
namespace {

using Status = DoctorCheck::Status;

constexpr const char* flutterInstallGuide = "https://docs.flutter.dev/get-started/install/linux";
constexpr const char* registerFix = "Run `torvex setup --register`.";

DoctorCheck operatingSystemCheck(const SystemFacts& facts) {
    if (facts.rules == SystemFacts::Rules::otherUnix)
        return {"macos", "Operating system", Status::ok, SystemInfo::operatingSystemDescription(facts), std::nullopt};
    const auto& v = facts.operatingSystemVersion;
    const std::string text = fmt::format("macOS {}.{}.{}", v.majorVersion, v.minorVersion, v.patchVersion);
    if (v.majorVersion <= 13)
        return {"macos", "macOS", Status::failed, text + " (needs macOS 14 Sonoma or later)",
                "Update macOS in System Settings \u2192 General \u2192 Software Update."};
    return {"macos", "macOS", Status::ok, text, std::nullopt};
}

DoctorCheck processorCheck(const SystemFacts& facts, std::stop_token stop) {
    if (SystemInfo::isAppleSilicon(facts)) {
        if (SystemInfo::isRosettaInstalled(facts, std::move(stop)))
            return {"rosetta", "Rosetta 2", Status::ok, "Installed (Apple Silicon)", std::nullopt};
        return {"rosetta", "Rosetta 2", Status::failed,
                "Not installed. Windows apps run through Rosetta on Apple Silicon.",
                "Run `" + std::string(SystemInfo::rosettaInstallCommand) +
                    "` (administrator password needed), or let Torvex's setup install it."};
    }
    if (facts.rules == SystemFacts::Rules::macOS)
        return {"rosetta", "CPU", Status::ok, "Intel (no Rosetta needed)", std::nullopt};
    if (SystemInfo::isRosettaInstalled(facts, std::move(stop)))
        return {"rosetta", "CPU", Status::ok, facts.machine + " (Wine runs Windows x64 apps natively)", std::nullopt};
    return {"rosetta", "CPU", Status::failed, facts.machine + " (Windows x64 apps need an x86_64 processor here)",
            "Run Torvex on an x86_64 (amd64) machine."};
}

std::optional<DoctorCheck> diskCheck(const SystemFacts& facts) {
    const auto free = SystemInfo::freeDiskBytes(facts);
    if (!free) return std::nullopt;
    const std::string detail = formattedByteCount(*free) + " free";
    if (*free < SystemInfo::minimumFreeBytes)
        return DoctorCheck{"disk", "Disk space", Status::warning, detail + " (Torvex needs about 5 GB)",
                           "Free up disk space."};
    return DoctorCheck{"disk", "Disk space", Status::ok, detail, std::nullopt};
}

DoctorCheck flutterCheck(const std::optional<FlutterSDK>& sdk) {
    if (!sdk)
        return {"flutter", "Flutter SDK", Status::failed, "Not found",
                std::string("Install Flutter (") + flutterInstallGuide + ") and make sure `flutter` is on your PATH."};
    const auto version = sdk->frameworkVersion();
    const std::string detail = "Flutter " + version.value_or("?") + " at " + sdk->root.string();
    if (auto warning = SupportedFlutter::warning(version))
        return {"flutter", "Flutter SDK", Status::warning, detail, std::move(warning)};
    return {"flutter", "Flutter SDK", Status::ok, detail, std::nullopt};
}

DoctorCheck customDevicesCheck(const Environment& environment) {
    if (CustomDeviceRegistration::customDevicesEnabled(environment))
        return {"custom-devices", "Flutter custom devices", Status::ok, "Enabled", std::nullopt};
    return {"custom-devices", "Flutter custom devices", Status::failed, "Disabled", registerFix};
}

DoctorCheck deviceCheck(const std::optional<std::string>& cli, const Environment& environment) {
    const auto registered =
        CustomDeviceRegistration::registeredCLI(CustomDeviceRegistration::configFile(environment));
    if (!registered) return {"device", "IDE device", Status::failed, "Not registered", registerFix};
    if (!isExecutableFile(*registered))
        return {"device", "IDE device", Status::failed, "Registered CLI is missing: " + *registered,
                registerFix};
    if (cli && *cli != *registered)
        return {"device", "IDE device", Status::warning, "Registered to another torvex: " + *registered,
                "Run `" + *cli + " setup --register` to use this one."};
    return {"device", "IDE device", Status::ok, "\u201CTorvex \u00B7 Windows 11\u201D \u2192 " + *registered,
            std::nullopt};
}

DoctorCheck componentCheck(const Component& component, const TorvexPaths& paths, const SystemLayout& system,
                           std::stop_token stop) {
    const std::string id = "component-" + component.id;
    if (component.isInstalled(paths)) {
        if (component.source.providesComponent()) {
            // What is at the component's place must still run this system's programs.
            if (auto problem = component.source.installedProblem(paths.support / component.destination, system))
                return {id, component.name, Status::failed, std::move(problem->detail), std::move(problem->fix)};
        }
        return {id, component.name, Status::ok, component.shownVersion(std::move(stop)).value_or("Installed"),
                std::nullopt};
    }
    if (component.isUnavailable()) {
        std::string detail = unavailableText;
        detail.front() = 'N';
        return {id, component.name, Status::info, detail, std::nullopt};
    }
    if (component.source.providesComponent())
        return {id, component.name, Status::failed, "Not installed",
                "Run `torvex setup` to set it up from this system's packages (" + component.packageList() + ")."};
    return {id, component.name, Status::failed, "Not installed",
            "Run `torvex setup` to download it (" + formattedByteCount(component.size) + ")."};
}

std::optional<DoctorCheck> prefixCheck(const TorvexPaths& paths, const Environment& environment) {
    const Profile profile = TorvexConfig::load(paths).currentProfile();
    try {
        const WineEnvironment wine = WineEnvironment::locate(paths, profile.id, environment);
        if (wine.isInitialized())
            return DoctorCheck{"prefix", "Windows environment", Status::ok,
                               "Profile \u201C" + profile.name + "\u201D ready", std::nullopt};
        return DoctorCheck{"prefix", "Windows environment", Status::warning,
                           "Profile \u201C" + profile.name + "\u201D not created yet",
                           "It is created on first run (~15 s), or run `torvex setup`."};
    } catch (const TorvexError&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<DoctorCheck> engineCheck(const TorvexPaths& paths, const std::optional<fs::path>& project,
                                       const std::optional<FlutterSDK>& sdk) {
    if (!project || !sdk) return std::nullopt;
    try {
        const FlutterProject found = FlutterProject::discover(*project);
        const std::string revision = sdk->engineRevision();
        const std::string title = "Windows engine for " + found.binaryName;
        std::error_code error;
        if (fs::exists(paths.engineCache() / revision / "flutter_windows.dll", error))
            return DoctorCheck{"engine", title, Status::ok, "Cached (" + revision.substr(0, 10) + ")", std::nullopt};
        return DoctorCheck{"engine", title, Status::info, "Downloaded on first build (~120 MB)", std::nullopt};
    } catch (const TorvexError&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<FlutterSDK> flutterSDK(const std::optional<fs::path>& flutterRoot, const Environment& environment) {
    if (flutterRoot)
        if (auto sdk = FlutterSDK::fromRoot(*flutterRoot)) return sdk;
    try {
        return FlutterSDK::locate(environment);
    } catch (const TorvexError&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<DoctorCheck> run(const TorvexPaths& paths, const std::optional<std::string>& cli,
                             const std::optional<fs::path>& flutterRoot, const std::optional<fs::path>& project,
                             const Inputs& inputs, std::stop_token stop) {
    std::vector<DoctorCheck> checks;
    checks.push_back(operatingSystemCheck(inputs.facts));
    checks.push_back(processorCheck(inputs.facts, stop));
    if (auto disk = diskCheck(inputs.facts)) checks.push_back(std::move(*disk));
    const auto sdk = flutterSDK(flutterRoot, inputs.environment);
    checks.push_back(flutterCheck(sdk));
    checks.push_back(customDevicesCheck(inputs.environment));
    checks.push_back(deviceCheck(cli, inputs.environment));
    for (const auto& component : Components::all())
        checks.push_back(componentCheck(component, paths, inputs.system, stop));
    if (auto prefix = prefixCheck(paths, inputs.environment)) checks.push_back(std::move(*prefix));
    if (auto engine = engineCheck(paths, project, sdk)) checks.push_back(std::move(*engine));
    return checks;
}

bool hasFailures(const std::vector<DoctorCheck>& checks) {
    return std::any_of(checks.begin(), checks.end(),
                       [](const DoctorCheck& check) { return check.status == DoctorCheck::Status::failed; });
}

} // namespace Doctor

} // namespace torvex
