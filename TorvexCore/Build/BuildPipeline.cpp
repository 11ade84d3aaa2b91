#include "BuildPipeline.h"

#include "BuildDiagnosis.h"
#include "DartBundle.h"
#include "EngineArtifacts.h"
#include "FlutterProject.h"
#include "FlutterSDK.h"
#include "GeneratedFiles.h"
#include "NativeInputs.h"
#include "PluginCompatibility.h"
#include "SDKHeaderOverlay.h"
#include "SourceStaging.h"
#include "StagedPaths.h"
#include "Stager.h"
#include "Core/Environment.h"
#include "Core/FileLock.h"
#include "Core/Files.h"
#include "Core/Log.h"
#include "Core/Paths.h"
#include "Core/ProcessRunner.h"
#include "Core/SystemInfo.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

namespace torvex {
namespace fs = std::filesystem;

namespace {

// Keeps `link` when it already holds `destination` as written; otherwise replaces whatever is there.
void ensureLink(const fs::path& link, const fs::path& destination) {
    std::error_code error;
    const fs::path current = fs::read_symlink(link, error);
    if (!error && current == destination) return;
    fs::remove_all(link, error);  // whatever stands there goes whole; a failure shows in the creation below
    fs::create_symlink(destination, link);
}

// The mingw-w64 headers (the folder the toolchain file's find root holds them in).
fs::path sdkIncludeFolder(const Toolchain& toolchain) { return toolchain.mingwRoot / "x86_64-w64-mingw32" / "include"; }

fs::path pubCache() {
    if (auto value = nonEmptyValue(currentEnvironment(), "PUB_CACHE")) return fs::path(*value);
    return homeFolder() / ".pub-cache";
}

} // namespace

bool BuildPipeline::writeToolchain(const Toolchain& toolchain, const fs::path& tools, const fs::path& toolchainFile,
                                   std::stop_token stop) {
    fs::create_directories(tools);

    const fs::path shim = fs::absolute(toolchain.shim);
    for (const char* name : {"shim-clang", "shim-clang++", "shim-windres"}) ensureLink(tools / name, shim);

    writeIfChanged(toolchain.mingwBin().string(), tools / "mingw-bin");
    writeIfChanged(GeneratedFiles::compatHeader, tools / "msvc-compat.h");
    const fs::path pubCacheFolder = pubCache();
    writeIfChanged(GeneratedFiles::rulesOverride, tools / "rules-override.cmake");
    for (const auto& [name, text] : GeneratedFiles::fallbackHeaders())
        writeIfChanged(text, tools / "fallback-include" / name);
    // Listing the SDK's headers and asking the compiler how it spells their folder take a while, so
    // the overlay is made once per toolchain. Its key is written after it, and only when the compiler
    // answered, so that an overlay not written whole, or made without that answer, is made again.
    const fs::path overlayKey = tools / "sdk-headers.key";
    if (readFileBytes(overlayKey) != toolchain.fingerprint()) {
        const auto spellings = compilerSearchFolders(toolchain.mingwBin() / "x86_64-w64-mingw32-clang", stop);
        writeIfChanged(sdkHeaderOverlay(sdkIncludeFolder(toolchain), spellings.value_or(std::vector<fs::path>{})),
                       tools / "sdk-headers.yaml");
        if (spellings) writeIfChanged(toolchain.fingerprint(), overlayKey);
    }

    const fs::path folder = tools.has_filename() ? tools : tools.parent_path();
    const std::vector<fs::path> searchRoots = {folder.parent_path(), pubCacheFolder};
    const std::string text =
        GeneratedFiles::toolchainFile(tools, toolchain.mingwRoot, tools / "msvc-compat.h", tools / "fallback-include",
                                      tools / "sdk-headers.yaml", tools / "rules-override.cmake", searchRoots) +
        "# " + toolchain.fingerprint() + "\n";
    return writeIfChanged(text, toolchainFile);
}

namespace {

// The output of one CMake run, filled from the runner's two pump threads.
struct Transcript {
    std::mutex lock;
    std::vector<std::string> storage;
};

// A CMake run that exited with a non-zero code; never leaves build().
struct CommandFailure {
    std::vector<std::string> lines;
    BuildDiagnosis::Step step;
};

using Emit = std::function<void(const std::string&)>;

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested()) throw Cancelled{};
}

void removeIgnoringErrors(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

std::string leftOutLine(const DisabledPlugin& plugin) {
    return "Torvex: ⚠ plugin " + plugin.name + " is left out of the Torvex build: " + plugin.reason +
           ". Dart calls to it will throw MissingPluginException.";
}

std::set<std::string> namesOf(const std::vector<DisabledPlugin>& plugins) {
    std::set<std::string> names;
    for (const auto& plugin : plugins) names.insert(plugin.name);
    return names;
}

TorvexError missingProgram(const fs::path& program, const fs::path& logFile) {
    return {TorvexError::Kind::buildFailed, "The build finished but " + program.filename().string() + " is missing.",
            "BINARY_NAME in windows/CMakeLists.txt may not match the runner target.",
            "Full output: " + logFile.string()};
}

bool isDownloadProgress(const std::string& text) {
    return text.starts_with("-- [download ") && text.ends_with("complete]");
}

// One CMake run of `step`. Every line, naming the project's files in place of their staged copies,
// goes to the transcript; the install step's lines and download progress reach the log only. A
// non-zero exit throws CommandFailure with the whole transcript.
void cmake(const Toolchain& toolchain, const std::vector<std::string>& arguments, const Environment& environment,
           const std::shared_ptr<const StagedPaths>& staged, const std::shared_ptr<FileLog>& log, const Emit& emit,
           BuildDiagnosis::Step step, const std::stop_token& stop) {
    const bool quiet = step == BuildDiagnosis::Step::install;
    auto transcript = std::make_shared<Transcript>();
    ProcessSpec spec{toolchain.cmake, arguments, environment, std::nullopt};
    const std::int32_t code = ProcessRunner::shared().run(
        spec,
        [transcript, staged, log, emit, quiet](const OutputLine& line) {
            const std::string text = staged->inProject(line.text);
            {
                std::lock_guard guard(transcript->lock);
                transcript->storage.push_back(text);
            }
            if (quiet || isDownloadProgress(text)) {
                log->write(text);
            } else {
                emit(text);
            }
        },
        stop);
    throwIfStopped(stop);
    if (code != 0) {
        std::lock_guard guard(transcript->lock);
        throw CommandFailure{transcript->storage, step};
    }
}

} // namespace

std::string BuildPipeline::durationText(std::chrono::steady_clock::duration elapsed) {
    using namespace std::chrono;
    const auto nanoseconds = std::max<std::int64_t>(duration_cast<std::chrono::nanoseconds>(elapsed).count(), 0);
    constexpr std::int64_t tenth = 100'000'000;
    std::int64_t tenths = nanoseconds / tenth;
    const std::int64_t rest = nanoseconds % tenth;
    if (rest > tenth / 2 || (rest == tenth / 2 && tenths % 2 == 1)) ++tenths;
    return fmt::format("{}.{} s", tenths / 10, tenths % 10);
}

BuildResult BuildPipeline::build(const BuildRequest& request, std::stop_token stop) const {
    const auto start = std::chrono::steady_clock::now();

    const FlutterProject project = FlutterProject::discover(request.projectPath);
    Environment sdkEnvironment = currentEnvironment();
    if (request.flutterRoot) sdkEnvironment["FLUTTER_ROOT"] = *request.flutterRoot;
    const FlutterSDK sdk = FlutterSDK::locate(sdkEnvironment);
    const Environment environment = currentEnvironment();
    const Toolchain toolchain = Toolchain::locate(paths, environment);

    // One build at a time in a work folder, whichever process runs it.
    const fs::path work = paths.builds() / project.hash();
    fs::create_directories(work);
    const auto workLock = FileLock::acquire(work / "build.lock", stop, std::nullopt, [&] {
        if (output) output("Torvex: waiting for another build of " + project.binaryName + " to finish");
    });

    auto log = std::make_shared<FileLog>(paths.logs / ("build-" + project.binaryName + ".log"));
    const Emit emit = [log, output = output](const std::string& line) {
        log->write(line);
        if (output) output(line);
    };

    const std::optional<std::string> flutterVersion = sdk.frameworkVersion();
    emit("Torvex: building " + project.binaryName + " (Flutter " + flutterVersion.value_or("?") + ", " +
         project.root.string() + ")");
    if (const auto warning = SupportedFlutter::warning(flutterVersion)) emit("Torvex: ⚠ " + *warning);
    Log::build().info(fmt::format("build {} stage {}", project.root.string(), work.string()));

    const EngineArtifacts engine = EngineArtifacts::ensure(
        sdk, paths, environment, [emit](const std::string& text) { emit("Torvex: " + text); }, stop);
    throwIfStopped(stop);

    DartBundle::prepare(sdk, project.root, work, request.bundle, engine, emit, stop);
    throwIfStopped(stop);
    fs::create_directories(work / "build" / "native_assets" / "windows");

    const fs::path tools = work / "tools";
    const bool toolchainChanged = writeToolchain(toolchain, tools, tools / "toolchain.cmake", stop);
    throwIfStopped(stop);
    const std::vector<std::string> configureArguments = {
        "-G", "Ninja", "-S", stagedWindowsFolder(work).string(), "-B", (work / "cmake-build").string(),
        "-DCMAKE_MAKE_PROGRAM=" + toolchain.ninja.string(), "-DCMAKE_BUILD_TYPE=Debug",
        "-DCMAKE_TOOLCHAIN_FILE=" + (tools / "toolchain.cmake").string(),
        "-DCMAKE_INSTALL_PREFIX=" + (work / "out").string(), "-DFLUTTER_TARGET_PLATFORM=windows-x64",
    };
    const bool argumentsChanged = writeIfChanged(joined(configureArguments, "\n"), tools / "configure-arguments");
    if (toolchainChanged || argumentsChanged) {
        removeIgnoringErrors(work / "cmake-build");
        removeIgnoringErrors(work / "out");
    }

    const fs::path program = work / "out" / (project.binaryName + ".exe");
    const fs::path stampFile = work / "native.stamp";
    const fs::path inputsFile = work / "native-inputs";
    const std::string stampText = engine.revision + "|" + toolchain.fingerprint() + "|" + project.binaryName;
    Environment cmakeEnvironment = PluginCompatibility::buildEnvironment();
    cmakeEnvironment["NINJA_STATUS"] = "[%f/%t] ";

    const PluginFailureMemory memory{work / "plugin-failures.json",
                                     project.windowsDirectory() / "flutter" / "ephemeral" / ".plugin_symlinks"};
    std::vector<DisabledPlugin> disabled = PluginCompatibility::analyse(project.windowsDirectory());
    const std::set<std::string> screened = namesOf(disabled);
    for (const auto& remembered : memory.load()) {
        if (!screened.contains(remembered.name)) disabled.push_back(remembered);
    }
    for (const auto& plugin : disabled) emit(leftOutLine(plugin));
    int attempt = 1;

    const auto finished = [&](bool skipped) {
        if (!fs::exists(program)) throw missingProgram(program, log->url());
        const auto elapsed = std::chrono::steady_clock::now() - start;
        emit("Torvex: built " + program.string() + " in " + durationText(elapsed));
        return BuildResult{work / "out", program, skipped, elapsed};
    };

    // The stamp is judged before staging and stays away while staging runs, so a staging that
    // fails or is stopped partway can never let a later build take the shortcut.
    const bool stampMatches = readFileBytes(stampFile) == stampText;
    removeIgnoringErrors(stampFile);

    // The project's files as the tools name them, for the staging in use.
    std::shared_ptr<const StagedPaths> staged;
    const auto stage = [&] {
        StagingResult staging = stageWindowsSources(project, sdk, engine, work, namesOf(disabled));
        staged = std::make_shared<const StagedPaths>(StagedPaths::of(stagedWindowsFolder(work), project.windowsDirectory(),
                                                                     std::move(staging.projectFiles),
                                                                     std::move(staging.linkedEntries)));
        return staging.changes;
    };
    const int changes = stage();
    // Files behind links and outside the work folder are the build's inputs too.
    if (changes == 0 && !toolchainChanged && !argumentsChanged && fs::exists(program) && stampMatches &&
        NativeInputs::unchanged(inputsFile)) {
        writeIfChanged(stampText, stampFile);
        emit("Torvex: native code unchanged, updating Dart bundle only");
        Stager{}.mirror(DartBundle::folder(work), work / "out" / "data" / "flutter_assets");
        return finished(true);
    }

    // The plugins left out when the CMake tree was configured. A plugin taken back in (a failed
    // download is tried again) brings back the project's generated_plugins.cmake with its own
    // time, which may be older than build.ninja, so Ninja alone would not configure again.
    const fs::path configuredLeftOut = work / "cmake-build" / "torvex-left-out-plugins";
    for (;;) {
        try {
            removeIgnoringErrors(stampFile);
            const auto passStart = NativeInputs::fileClockNow();
            std::vector<std::string> leftOutNames;
            for (const auto& name : namesOf(disabled)) leftOutNames.push_back(name);
            const std::string leftOutText = joined(leftOutNames, "\n");
            if (!fs::exists(work / "cmake-build" / "build.ninja") || readFileBytes(configuredLeftOut) != leftOutText) {
                cmake(toolchain, configureArguments, cmakeEnvironment, staged, log, emit,
                      BuildDiagnosis::Step::configure, stop);
                writeIfChanged(leftOutText, configuredLeftOut);
            }
            // Ninja goes on past failed jobs (-k 0), so one pass finds every plugin that fails.
            cmake(toolchain, {"--build", (work / "cmake-build").string(), "--", "-k", "0"}, cmakeEnvironment, staged, log,
                  emit, BuildDiagnosis::Step::build, stop);
            cmake(toolchain, {"--install", (work / "cmake-build").string()}, cmakeEnvironment, staged, log, emit,
                  BuildDiagnosis::Step::install, stop);
            if (const auto unrecorded = NativeInputs::record(toolchain.ninja, work, passStart, inputsFile, stop)) {
                log->write("Torvex: the next build runs the native pass again: " + *unrecorded);
            }
            throwIfStopped(stop);
            writeIfChanged(stampText, stampFile);
            return finished(false);
        } catch (const CommandFailure& failure) {
            const std::set<std::string> known = namesOf(disabled);
            std::vector<DisabledPlugin> fresh;
            for (auto& plugin : PluginCompatibility::failingPlugins(failure.lines)) {
                if (!known.contains(plugin.name)) fresh.push_back(std::move(plugin));
            }
            if (fresh.empty() || attempt == 4) {
                throw BuildDiagnosis::diagnose(failure.lines, {sdkIncludeFolder(toolchain)}, disabled, failure.step)
                    .error(log->url());
            }

            std::vector<std::string> freshNames;
            for (const auto& plugin : fresh) {
                emit(leftOutLine(plugin));
                freshNames.push_back(plugin.name);
            }
            disabled.insert(disabled.end(), fresh.begin(), fresh.end());
            memory.record(disabled);  // keeps only compile failures: a failed download is tried again next time
            emit("Torvex: rebuilding without " + joined(freshNames, ", "));
            ++attempt;
            stage();
        }
    }
}

} // namespace torvex
