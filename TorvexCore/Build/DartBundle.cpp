#include "DartBundle.h"

#include "Stager.h"
#include "Core/ProcessRunner.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"

namespace torvex::DartBundle {
namespace fs = std::filesystem;

namespace {

constexpr const char* isolateSnapshotData = "isolate_snapshot_data";
constexpr const char* vmSnapshotData = "vm_snapshot_data";

void emitLine(const Emit& emit, const std::string& line) {
    if (emit) emit(line);
}

} // namespace

fs::path folder(const fs::path& workFolder) { return workFolder / "build" / "flutter_assets"; }

void prepare(const FlutterSDK& sdk, const fs::path& projectRoot, const fs::path& workFolder,
             const std::optional<fs::path>& givenBundle, const EngineArtifacts& engine, const Emit& emit,
             std::stop_token stop) {
    const fs::path bundle = folder(workFolder);
    if (!givenBundle) {
        build(sdk, projectRoot, bundle, emit, stop);
    } else {
        std::error_code error;
        if (!fs::is_directory(*givenBundle, error)) {
            const bool somethingThere = fs::exists(*givenBundle, error);
            throw TorvexError(TorvexError::Kind::usage,
                              "The Dart bundle " + givenBundle->string() + " is not a folder.",
                              somethingThere ? "A file is at that path, not the folder a bundle build writes."
                                             : "Nothing is at that path.",
                              "Pass the folder that `flutter build bundle` wrote (its --asset-dir), or leave the "
                              "bundle out to build it from the project.");
        }
        // The snapshots are the engine's, not the bundle's: left out so that they are written only
        // when the engine's differ.
        Stager{{isolateSnapshotData, vmSnapshotData}, {}}.mirror(*givenBundle, bundle);
    }
    replaceCoreSnapshots(bundle, engine);
}

void build(const FlutterSDK& sdk, const fs::path& projectRoot, const fs::path& into, const Emit& emit,
           std::stop_token stop) {
    emitLine(emit, "Torvex: flutter build bundle --debug");
    ProcessSpec spec;
    spec.executable = sdk.flutterExecutable();
    spec.arguments = {"build", "bundle", "--debug", "--target-platform=linux-x64", "--asset-dir=" + into.string()};
    spec.currentDirectory = projectRoot;
    const ProcessResult result = ProcessRunner::shared().capture(spec, stop);
    if (stop.stop_requested()) throw Cancelled{};
    if (result.exitCode == 0) return;
    emitLine(emit, result.standardOutput);
    emitLine(emit, result.standardError);
    throw TorvexError(TorvexError::Kind::buildFailed, "Building the Dart bundle failed.",
                      "`flutter build bundle` exited with " + std::to_string(result.exitCode) + ".",
                      "Fix the Dart errors shown above, then try again.");
}

void replaceCoreSnapshots(const fs::path& bundle, const EngineArtifacts& engine) {
    writeIfChanged(readFileOrThrow(engine.file(EngineArtifacts::isolateSnapshot)), bundle / isolateSnapshotData);
    writeIfChanged(readFileOrThrow(engine.file(EngineArtifacts::vmSnapshot)), bundle / vmSnapshotData);
}

} // namespace torvex::DartBundle
