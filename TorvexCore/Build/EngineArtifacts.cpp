#include "EngineArtifacts.h"

#include "ZipUnpacker.h"
#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"

#include "Core/Downloader.h"
#include "Core/FileLock.h"

#include <fmt/format.h>

#include <vector>

namespace torvex {
namespace fs = std::filesystem;

const std::array<const char*, 9> EngineArtifacts::ephemeralFiles = {
    "flutter_windows.dll",        "flutter_windows.dll.exp",     "flutter_windows.dll.lib",
    "flutter_export.h",           "flutter_messenger.h",         "flutter_plugin_registrar.h",
    "flutter_texture_registrar.h", "flutter_windows.h",          "icudtl.dat",
};

namespace {

constexpr const char* publicStore = "https://storage.googleapis.com";

struct Archive {
    std::string path;                    // below the revision on the artifact store
    std::vector<std::string> selection;  // unzip member arguments: what is unpacked
};

const std::vector<Archive>& archives() {
    static const std::vector<Archive> rows = {
        {"windows-x64-debug/windows-x64-flutter.zip", {"-x", "*.pdb", "gen_snapshot.exe"}},
        {"windows-x64/flutter-cpp-client-wrapper.zip", {}},
        {"windows-x64/artifacts.zip", {"icudtl.dat", "isolate_snapshot.bin", "vm_isolate_snapshot.bin"}},
    };
    return rows;
}

std::string shortRevision(const std::string& revision) { return revision.substr(0, 10); }

// The revision names folders below the engine cache, so it must be one plain, visible name.
void checkRevision(const std::string& revision, const FlutterSDK& sdk) {
    bool usable = !revision.empty() && revision.front() != '.';
    for (char c : revision) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        usable = usable && allowed;
    }
    if (usable) return;
    const fs::path file = sdk.root / "bin" / "internal" / "engine.version";
    throw TorvexError(TorvexError::Kind::generic, "The Flutter engine revision is not usable.",
                      fmt::format("{} holds \"{}\"; a revision is made of letters, digits, \".\", \"_\" and \"-\" "
                                  "and does not start with \".\".",
                                  file.string(), revision),
                      fmt::format("Run `flutter doctor` to repair the SDK at {}.", sdk.root.string()));
}

std::string lastComponent(const std::string& address) { return address.substr(address.rfind('/') + 1); }

TorvexError transferError(const std::string& revision, const std::string& description) {
    return TorvexError(TorvexError::Kind::generic,
                       "Could not download the Flutter Windows engine (" + shortRevision(revision) + ").",
                       description,
                       "Check your internet connection. Behind a proxy or mirror, set HTTPS_PROXY or "
                       "FLUTTER_STORAGE_BASE_URL.");
}

// Fetches one archive into `file`; only status 200 is accepted.
void download(const std::string& address, const std::string& revision, const fs::path& file, std::stop_token stop,
              std::chrono::seconds stallTimeout) {
    const auto failure = Downloader::download(address, file, 0, nullptr, stop, stallTimeout);
    if (failure && failure->httpStatus)
        throw TorvexError(TorvexError::Kind::generic,
                          "Could not download " + lastComponent(address) + " for engine " + shortRevision(revision) + ".",
                          fmt::format("The server answered HTTP {} for {}.", *failure->httpStatus, address),
                          "If you use FLUTTER_STORAGE_BASE_URL, check that the mirror has Windows artifacts.");
    if (failure) throw transferError(revision, failure->description);
}

} // namespace

std::string EngineArtifacts::storageBaseURL(const std::string& realm, const Environment& environment) {
    std::string base = nonEmptyValue(environment, "FLUTTER_STORAGE_BASE_URL").value_or(publicStore);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return realm.empty() ? base : base + "/" + realm;
}

bool EngineArtifacts::isComplete() const {
    std::error_code error;
    for (const char* name : ephemeralFiles)
        if (!fs::exists(directory / name, error)) return false;
    for (const char* name : {isolateSnapshot, vmSnapshot, "cpp_client_wrapper/core_implementations.cc"})
        if (!fs::exists(directory / name, error)) return false;
    return true;
}

EngineArtifacts EngineArtifacts::ensure(const FlutterSDK& sdk, const TorvexPaths& paths, const Environment& environment,
                                        const Progress& progress, std::stop_token stop,
                                        std::chrono::seconds stallTimeout) {
    const std::string revision = sdk.engineRevision();
    checkRevision(revision, sdk);
    const EngineArtifacts cached{revision, paths.engineCache() / revision};
    if (cached.isComplete()) return cached;

    // One `ensure` at a time assembles a revision, in this process or another.
    fs::create_directories(paths.engineCache());
    const auto claim = FileLock::acquire(paths.engineCache() / ("." + revision + ".lock"), stop, std::nullopt, [&] {
        if (progress) {
            progress("Waiting for another download of the Flutter Windows engine (" + shortRevision(revision) + ")");
        }
    });
    if (cached.isComplete()) return cached;  // the other one finished it meanwhile

    const fs::path staging = paths.engineCache() / ("." + revision + ".partial");
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::create_directories(staging);
    const RemoveOnExit cleanup{staging};

    const std::string base = storageBaseURL(sdk.engineRealm(), environment);
    const auto unzip = ProcessRunner::which("unzip", {"/usr/bin"});
    if (!unzip)
        throw TorvexError(TorvexError::Kind::generic, "unzip is missing.", "/usr/bin/unzip was not found.",
                          "Install it with `apt-get install unzip`.");

    for (const Archive& archive : archives()) {
        const std::string address = base + "/flutter_infra_release/flutter/" + revision + "/" + archive.path;
        if (progress) progress("Downloading " + archive.path);
        const RemoveOnExit downloaded{paths.engineCache() / ("." + revision + ".download")};
        download(address, revision, downloaded.path, stop, stallTimeout);

        ZipUnpacker::unpack(*unzip, downloaded.path, archive.selection, staging, archive.path, stop);
    }

    if (!EngineArtifacts{revision, staging}.isComplete())
        throw TorvexError(TorvexError::Kind::generic,
                          "The Flutter Windows engine download for " + revision + " is incomplete.",
                          "Some expected files were not in the archives.",
                          "This Flutter version may not be supported yet. Try another stable version.");

    fs::remove_all(cached.directory, ignored);
    fs::rename(staging, cached.directory);
    return cached;
}

} // namespace torvex
