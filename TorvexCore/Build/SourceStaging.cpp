#include "SourceStaging.h"

#include "GeneratedFiles.h"
#include "PluginCompatibility.h"
#include "Stager.h"
#include "StagingPatches.h"
#include "Core/ASCII.h"
#include "Core/LinkPlacement.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"

namespace torvex {

namespace fs = std::filesystem;

namespace {

// The file as UTF-8 text; a file that must be patched and is not UTF-8 stops the staging.
std::string readPatchedText(const fs::path& file, const std::string& shownName, const std::string& fix) {
    std::string bytes = readFileOrThrow(file);
    if (!isValidUTF8(bytes)) {
        throw TorvexError(TorvexError::Kind::generic, shownName + " is not UTF-8 text.",
                          "Torvex patches this file before building and can only read it as UTF-8.", fix);
    }
    return bytes;
}

std::string readProjectText(const fs::path& file, const std::string& relativePath) {
    return readPatchedText(file, "windows/" + relativePath, "Save " + file.string() + " as UTF-8 and build again.");
}

std::vector<std::string> stagingExclusions() {
    std::vector<std::string> excluded;
    for (const char* name : EngineArtifacts::ephemeralFiles) excluded.push_back(std::string("flutter/ephemeral/") + name);
    excluded.push_back("flutter/ephemeral/generated_config.cmake");
    excluded.push_back("flutter/ephemeral/cpp_client_wrapper/");
    return excluded;
}

// The mirror copies a linked folder as a link: the engine files written below the staged
// flutter/ephemeral would land wherever it points, and the files staging patches behind it would
// be built unpatched.
void refuseLinkedFolders(const fs::path& source) {
    struct Folder {
        const char* path;
        const char* why;
        const char* then;  // what follows the replacement
    };
    static const char* const engineFiles = "Torvex writes the Flutter engine files into its own copy of "
                                           "windows/flutter/ephemeral and never writes through a link into your project.";
    static const Folder folders[] = {
        {"flutter", engineFiles, "run `flutter pub get`"},
        {"flutter/ephemeral", engineFiles, "run `flutter pub get`"},
        {"runner", "Torvex patches runner/Runner.rc in its own copy of the project and cannot patch it behind a "
                   "linked folder.", "build again"},
    };
    for (const Folder& folder : folders) {
        if (!fs::is_symlink(source / folder.path)) continue;
        throw TorvexError(TorvexError::Kind::unsupported,
                          "This project's windows/" + std::string(folder.path) + " is a symbolic link.", folder.why,
                          "Replace " + (source / folder.path).string() + " with a real folder, then " + folder.then + ".");
    }
}

// The runner's CMake file puts FLUTTER_VERSION into a C string literal, and CMake splits a value
// at ";": a version holding one of these would break the build far from its cause.
void refuseUnbuildableVersion(const FlutterProject& project) {
    const std::string& version = project.version.raw;
    const std::size_t found = version.find_first_of("\"\\;");
    if (found == std::string::npos) return;
    throw TorvexError(TorvexError::Kind::unsupported, "The version in pubspec.yaml cannot be built into a Windows app.",
                      "The version line of " + (project.root / "pubspec.yaml").string() + " reads " + version +
                          ", and the app's version string cannot hold its " + version[found] + " character.",
                      "Write the version in pubspec.yaml without quotes, backslashes or semicolons, for example "
                      "`version: 1.2.3+4`, then build again.");
}
// Puts a link to each entry of the project's folder but windows into `root`, beside the staged
// windows folder, and removes whatever else stands there. Answers the number of links made or
// replaced and of items removed; a removed link goes as a link, its target untouched.
int linkProjectEntries(const fs::path& projectRoot, const fs::path& root, std::set<std::string>& linked) {
    fs::create_directories(root);
    int changes = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(projectRoot)) {
        const std::string name = entry.path().filename().string();
        if (name == "windows") continue;
        linked.insert(name);
        const fs::path place = root / name;
        std::error_code error;
        if (fs::read_symlink(place, error) == entry.path() && !error) continue;
        if (fs::is_directory(fs::symlink_status(place))) fs::remove_all(place);
        placeLink(entry.path(), place);
        ++changes;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name == "windows" || linked.contains(name)) continue;
        fs::remove_all(entry.path());
        ++changes;
    }
    return changes;
}

} // namespace

fs::path stagedWindowsFolder(const fs::path& stage) { return stage / "source" / "windows"; }

StagingResult stageWindowsSources(const FlutterProject& project, const FlutterSDK& sdk, const EngineArtifacts& engine,
                                  const fs::path& stage, const std::set<std::string>& disabledPlugins) {
    const fs::path source = project.root / "windows";
    const fs::path target = stagedWindowsFolder(stage);
    const fs::path ephemeral = target / "flutter/ephemeral";
    refuseUnbuildableVersion(project);
    refuseLinkedFolders(source);
    const bool manifestPresent = fs::exists(source / "runner/runner.exe.manifest");
    const fs::path pluginLinks = source / "flutter/ephemeral/.plugin_symlinks";
    StagingResult result;

    const Stager projectMirror{
        stagingExclusions(),
        [&](const std::string& path, const fs::path& file) -> std::optional<std::string> {
            if (!disabledPlugins.empty() && path == "flutter/generated_plugins.cmake") {
                return PluginCompatibility::removePluginsFromGeneratedPlugins(disabledPlugins,
                                                                              readProjectText(file, path));
            }
            if (!disabledPlugins.empty() && path == "flutter/generated_plugin_registrant.cc") {
                return PluginCompatibility::removePluginsFromRegistrant(
                    disabledPlugins, readProjectText(file, path),
                    [&](const std::string& plugin) { return pluginLinks / plugin / "windows/include"; });
            }
            if (path == "flutter/CMakeLists.txt") return StagingPatches::neutraliseAssemble(readProjectText(file, path));
            // The rest keeps every line where the project's file has it.
            if (!path.starts_with("flutter/ephemeral/")) result.projectFiles.insert(path);
            if (lowercasedASCII(path).ends_with(".rc")) {
                // A script in another encoding (UTF-16, say) is copied as it is.
                const auto text = readUTF8File(file);
                if (!text) return std::nullopt;
                const bool embeds = path == "runner/Runner.rc" && manifestPresent;
                return StagingPatches::patchResourceScript(
                    *text, embeds ? std::optional<std::string>("runner.exe.manifest") : std::nullopt);
            }
            return std::nullopt;
        },
    };
    result.changes = projectMirror.mirror(source, target);
    result.changes += linkProjectEntries(project.root, target.parent_path(), result.linkedEntries);
    // Work folders staged before the copy moved below source/ still hold the old one; nothing uses it.
    std::error_code ignored;
    fs::remove_all(stage / "windows", ignored);

    for (const char* name : EngineArtifacts::ephemeralFiles) {
        if (Stager::mirrorFile(engine.file(name), ephemeral / name)) ++result.changes;
    }

    const Stager wrapperMirror{
        {},
        [&](const std::string& path, const fs::path& file) -> std::optional<std::string> {
            if (path != "include/flutter/encodable_value.h") return std::nullopt;
            return StagingPatches::patchEncodableValue(readPatchedText(
                file, "The engine cache's " + path,
                "Delete " + engine.directory.string() + " so that Torvex downloads the engine again."));
        },
    };
    result.changes += wrapperMirror.mirror(engine.cppClientWrapper(), ephemeral / "cpp_client_wrapper");

    const std::string config = GeneratedFiles::generatedConfig(sdk.root, stage, project.version);
    if (writeIfChanged(config, ephemeral / "generated_config.cmake")) ++result.changes;
    return result;
}

} // namespace torvex
