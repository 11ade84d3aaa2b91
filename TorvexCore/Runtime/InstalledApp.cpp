#include "InstalledApp.h"

#include "Build/FlutterProject.h"
#include "Build/Stager.h"
#include "Core/Files.h"
#include "Core/JSONText.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"
#include "Core/UTF8.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

// A record larger than this is damaged, not read.
constexpr off_t largestRecord = 1 << 20;

std::string installAgain(const std::string& name) {
    return "Run it from your IDE again, or run `torvex install --app-name " + name + " --bundle build/flutter_assets`.";
}

TorvexError notInstalled(const std::string& name, const fs::path& record) {
    return TorvexError(TorvexError::Kind::generic, name + " is not installed in Torvex.", record.string() + " is missing.",
                       installAgain(name));
}

TorvexError unfinished(const std::string& name, const fs::path& folder) {
    return TorvexError(TorvexError::Kind::generic, "The installation of " + name + " did not finish.",
                       "An install into " + folder.string() +
                           " was interrupted or failed, so the folder may hold parts of two builds.",
                       installAgain(name));
}

bool anythingAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

enum class Change { install, uninstall };

// Refuses to install or uninstall through a symbolic link at the app folder or a folder between it
// and drive C: the mirror or the removal would otherwise change what the link's target holds.
void requireNoLinkBelowDriveC(const std::string& name, const fs::path& directory, const WineEnvironment& wine,
                              Change change) {
    const std::string action = change == Change::install ? "install" : "uninstall";
    for (fs::path folder = directory; folder != wine.driveC() && folder.has_relative_path(); folder = folder.parent_path()) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(folder, error))) continue;
        const std::string only = change == Change::install ? "installs apps only into" : "removes apps only from";
        throw TorvexError(TorvexError::Kind::generic, "Could not " + action + " " + name + ".",
                          folder.string() + " is a symbolic link, and Torvex " + only + " folders of its own.",
                          "Delete the link " + folder.string() + " and " + action + " again.");
    }
}

// Whatever stands at the place other than a file goes first (the atomic write's rename cannot
// replace a folder); a link or FIFO is replaced, never written through.
void clearPlace(const fs::path& file) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(file, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) fs::remove(file);
}

void writeInPlace(const fs::path& file, const std::string& bytes) {
    clearPlace(file);
    writeFileAtomically(file, bytes);
}

std::optional<InstalledApp> decodedRecord(const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > largestRecord) return std::nullopt;
    const auto bytes = readFileBytes(file);
    if (!bytes) return std::nullopt;
    const nlohmann::json record = nlohmann::json::parse(*bytes, nullptr, false);
    if (!record.is_object()) return std::nullopt;
    InstalledApp app;
    for (auto [key, field] : {std::pair{"name", &app.name}, {"binaryName", &app.binaryName}, {"projectRoot", &app.projectRoot}}) {
        const auto member = record.find(key);
        if (member == record.end() || !member->is_string()) return std::nullopt;
        *field = member->get<std::string>();
    }
    return app;
}

} // namespace

fs::path InstalledApp::directory(const std::string& name, const WineEnvironment& wine) {
    requireUsableName(name, NameRole::appName);
    return wine.driveC() / "Torvex" / "Apps" / name;
}

fs::path InstalledApp::executable(const WineEnvironment& wine) const {
    return directory(name, wine) / (binaryName + ".exe");
}

std::string InstalledApp::recordJSON() const {
    if (!isValidUTF8(name) || !isValidUTF8(binaryName) || !isValidUTF8(projectRoot)) {
        const bool path = !isValidUTF8(projectRoot);
        throw TorvexError(TorvexError::Kind::generic, "Could not record the installation of this app.",
                          path ? "Its project path " + projectRoot + " is not valid UTF-8."
                               : "Its name or binary name is not valid UTF-8.",
                          path ? "Move the project to a folder whose path is valid UTF-8, then build it again."
                               : "Use a name that is valid UTF-8.");
    }
    const nlohmann::ordered_json record{{"name", name}, {"binaryName", binaryName}, {"projectRoot", projectRoot}};
    return withEscapedSlashes(record.dump());
}

InstalledApp InstalledApp::install(const std::string& name, const fs::path& projectPath, const WineEnvironment& wine,
                                   const TorvexPaths& paths) {
    const fs::path folder = directory(name, wine);
    const FlutterProject project = FlutterProject::discover(projectPath);
    const fs::path out = paths.builds() / project.hash() / "out";
    std::error_code error;
    if (!fs::is_regular_file(out / (project.binaryName + ".exe"), error)) {
        throw TorvexError(TorvexError::Kind::generic, "There is no Windows build of " + project.binaryName + " to install.",
                          out.string() + " has no " + project.binaryName + ".exe.",
                          "Run `torvex build` first (the IDE does this automatically).");
    }
    const InstalledApp record{name, project.binaryName, project.root.string()};
    const std::string json = record.recordJSON();
    requireNoLinkBelowDriveC(name, folder, wine, Change::install);

    fs::create_directories(folder);
    writeInPlace(folder / unfinishedName, "");
    Stager stager;
    stager.excluded.assign(WineEnvironment::dxvkDLLs.begin(), WineEnvironment::dxvkDLLs.end());
    stager.excluded.emplace_back(recordName);
    stager.excluded.emplace_back(unfinishedName);
    stager.mirror(out, folder);
    if (wine.dxvk) {
        for (const auto dll : WineEnvironment::dxvkDLLs) Stager::mirrorFile(*wine.dxvk / dll, folder / dll);
    }
    writeInPlace(folder / recordName, json);
    fs::remove(folder / unfinishedName);
    return record;
}

InstalledApp InstalledApp::load(const std::string& name, const WineEnvironment& wine) {
    const fs::path folder = directory(name, wine);
    if (anythingAt(folder / unfinishedName)) throw unfinished(name, folder);
    const fs::path file = folder / recordName;
    if (auto record = decodedRecord(file)) return *record;
    throw notInstalled(name, file);
}

void InstalledApp::uninstall(const std::string& name, const WineEnvironment& wine) {
    const fs::path folder = directory(name, wine);
    // A link in the app folder's place is removed itself; one above it would lead the removal out.
    requireNoLinkBelowDriveC(name, folder.parent_path(), wine, Change::uninstall);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder, error);
    if (!fs::exists(status)) return;
    // Without its record first, so that an uninstall cut short leaves no app that seems installed.
    if (fs::is_directory(status)) fs::remove(folder / recordName);
    fs::remove_all(folder);
}

} // namespace torvex
