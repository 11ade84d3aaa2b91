#include "SetupCommand.h"

#include "AppConnection.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/FlutterSDK.h"
#include "Core/ByteCount.h"
#include "Core/LinkPlacement.h"
#include "Core/Paths.h"
#include "Core/Platform/ProcessInfo.h"
#include "Core/ProcessRunner.h"
#include "Core/Profile.h"
#include "Core/SystemInfo.h"
#include "Runtime/WineEnvironment.h"
#include "Service/IPCClient.h"
#include "Setup/Components.h"
#include "Setup/CustomDeviceRegistration.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <unistd.h>

namespace torvex::cli {
namespace fs = std::filesystem;

SetupProgressOutput setupProgressOutput(const ComponentInstaller::Progress& progress, std::string_view version,
                                        bool terminal) {
    using Phase = ComponentInstaller::Progress::Phase;
    const std::string& name = progress.component.name;
    switch (progress.phase) {
    case Phase::downloading: {
        if (!terminal) return {};
        const double fraction = std::isnan(progress.fraction) ? 0 : std::clamp(progress.fraction, 0.0, 1.0);
        return {"\r  " + name + ": " + std::to_string(static_cast<int>(fraction * 100)) + " %   ", std::nullopt};
    }
    case Phase::verifying:
    case Phase::installing:
        if (!terminal) return {};
        return {"\r  " + name + ": " + std::string(rawValue(progress.phase)) + "\u2026          ", std::nullopt};
    case Phase::done:
        return {terminal ? "\r" : "", "\u2713 " + name + " " + std::string(version) + std::string(20, ' ')};
    }
    return {};
}

std::optional<TorvexError> processorProblem(const SystemFacts& facts) {
    if (SystemInfo::isRosettaInstalled(facts)) return std::nullopt;
    if (SystemInfo::isAppleSilicon(facts)) {
        return TorvexError(TorvexError::Kind::generic, "Rosetta 2 is not installed.",
                           "Windows apps run through Rosetta on Apple Silicon.",
                           "Run `sudo " + std::string(SystemInfo::rosettaInstallCommand) + "`, then `torvex setup` again.");
    }
    return TorvexError(TorvexError::Kind::generic, "Windows x64 apps can't run on this processor.",
                       facts.machine + " is not x86_64, and Wine runs x86_64 programs natively only.",
                       "Run Torvex on an x86_64 (amd64) machine.");
}

std::string pathHint(const Environment& environment) {
    const std::string shell = fs::path(nonEmptyValue(environment, "SHELL").value_or("")).filename().string();
    if (shell == "fish") return "fish_add_path ~/.local/bin";  // fish reads none of the sh start-up files
    const std::string file = shell == "bash" ? "~/.bashrc" : shell == "zsh" ? "~/.zshrc" : "~/.profile";
    return "echo 'export PATH=\"$HOME/.local/bin:$PATH\"' >> " + file;
}

namespace {

void installComponents(const TorvexPaths& paths) {
    const std::vector<Component> missing = Components::missing(paths);
    if (missing.empty()) {
        Output::out("\u2713 Components installed");
        return;
    }
    // Say what happens: components of the distribution's packages are linked, the others downloaded.
    std::size_t linked = 0, downloaded = 0;
    std::string packages;
    std::int64_t total = 0;
    for (const auto& component : missing) {
        if (component.source.providesComponent()) {
            ++linked;
            packages += (packages.empty() ? "" : ", ") + component.packageList();
        } else {
            ++downloaded;
            total += component.size;
        }
    }
    if (linked > 0)
        Output::out("Linking " + std::to_string(linked) + " component(s) to this system's packages (" + packages +
                    ")\u2026");
    if (downloaded > 0)
        Output::out("Downloading " + std::to_string(downloaded) + " component(s), " + formattedByteCount(total) +
                    "\u2026");
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    ComponentInstaller{paths}.install(missing, [terminal](const ComponentInstaller::Progress& progress) {
        const bool done = progress.phase == ComponentInstaller::Progress::Phase::done;
        const auto output = setupProgressOutput(
            progress, done ? progress.component.shownVersion().value_or("") : std::string(), terminal);
        if (!output.inPlace.empty()) Output::write(output.inPlace);
        if (output.line) Output::out(*output.line);
    });
}

void prepareWindowsEnvironment(const TorvexPaths& paths, const Environment& environment) {
    const Profile profile = TorvexConfig::load(paths).currentProfile();
    const WineEnvironment wine = WineEnvironment::locate(paths, profile.id, environment);
    wine.ensurePrefix([](const std::string& line) { Output::out("  " + line); });
    Output::out("\u2713 Windows environment ready");
}

FlutterSDK registerDevice(const Environment& environment) {
    const FlutterSDK sdk = FlutterSDK::locate(environment);
    const ProcessResult enabled = ProcessRunner::shared().capture(
        ProcessSpec{sdk.flutterExecutable(), {"config", "--enable-custom-devices"}, {}, std::nullopt});
    if (enabled.exitCode != 0) {
        throw TorvexError(TorvexError::Kind::generic, "Could not enable Flutter's custom devices.",
                          enabled.standardError, "Run `flutter config --enable-custom-devices` yourself.");
    }
    CustomDeviceRegistration::registerDevice(runningExecutable().value_or("torvex"),
                                             CustomDeviceRegistration::configFile(environment));
    Output::out("\u2713 Registered \"Torvex \u00B7 Windows 11\" (Flutter " + sdk.frameworkVersion().value_or("?") + ")");
    if (!appBundle(environment, executablePath()))
        Output::err("note: this torvex is not inside Torvex.app, so it cannot start torvex-host; IDE runs need one "
                    "running.");
    return sdk;
}

// Records that setup ran, unless the application answers: it keeps the configuration itself.
// Never fails.
void markSetUp(const TorvexPaths& paths, const Environment& environment, const fs::path& flutterRoot) {
    try {
        if (IPCClient::connect(IPC::socketPath(paths, environment))) return;
    } catch (const TorvexError&) {
        // an application of another version does not count as answering
    }
    TorvexConfig config = TorvexConfig::load(paths);
    if (config.onboardingCompletedAt) return;
    config.onboardingCompletedAt = referenceSeconds(std::chrono::system_clock::now());
    if (!config.flutterRoot) config.flutterRoot = flutterRoot.string();
    try {
        config.save(paths);
    } catch (...) {
        // the mark is a convenience; setup itself succeeded
    }
}

// ~/.local/bin/torvex, a link to this program. Replaces a file or link there, never a folder.
void linkCLI(const Environment& environment) {
    const fs::path folder = homeFolder(environment) / ".local" / "bin";
    fs::create_directories(folder);
    const fs::path link = folder / "torvex";
    placeLink(runningExecutable().value_or("torvex"), link);
    Output::out("\u2713 Linked " + link.string());

    const std::string path = nonEmptyValue(environment, "PATH").value_or("");
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        if (path.substr(start, end - start) == folder.string()) return;
        start = end + 1;
    }
    Output::out("  Add it to your PATH: " + pathHint(environment));
}

} // namespace

CommandSpec setupCommand() {
    using Kind = ArgumentSpec::Kind;
    return {"setup",
            "Install Torvex's components, set up the Windows environment and register the IDE device.",
            "Every step can be run again: what is already set up is kept.",
            true,
            {{Kind::flag, "register", "Only register the \"Torvex \u00B7 Windows 11\" device with Flutter."},
             {.kind = Kind::flag,
              .name = "unregister",
              .help = "Remove the device from Flutter.",
              .excludes = {"register", "install-cli"}},
             {Kind::flag, "install-cli",
              "Also link this torvex into ~/.local/bin (no administrator password needed)."}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    const TorvexPaths& paths = TorvexPaths::defaultPaths();
                    const Environment environment = currentEnvironment();
                    if (given.flag("unregister")) {
                        const fs::path file = CustomDeviceRegistration::configFile(environment);
                        switch (CustomDeviceRegistration::unregister(file)) {
                        case CustomDeviceRegistration::Removal::removed:
                            Output::out("\u2713 Removed Torvex from " + file.string());
                            break;
                        case CustomDeviceRegistration::Removal::notRegistered:
                            Output::out("\u2713 Torvex is not registered in " + file.string() + ": nothing to remove");
                            break;
                        case CustomDeviceRegistration::Removal::noFile:
                            Output::out("\u2713 Torvex is not registered: " + file.string() + " does not exist");
                            break;
                        }
                        return;
                    }
                    const bool onlyRegister = given.flag("register");
                    if (!onlyRegister) {
                        if (auto problem = processorProblem(currentSystemFacts())) throw *problem;
                        installComponents(paths);
                        prepareWindowsEnvironment(paths, environment);
                    }
                    const FlutterSDK sdk = registerDevice(environment);
                    if (!onlyRegister) markSetUp(paths, environment, sdk.root);
                    if (given.flag("install-cli")) linkCLI(environment);
                });
            }};
}

} // namespace torvex::cli
