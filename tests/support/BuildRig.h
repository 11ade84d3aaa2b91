#pragma once

#include "Build/BuildPipeline.h"
#include "Core/Paths.h"
#include "support/ArtifactServer.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// Everything a real Windows build needs on this machine, in one folder: the support, caches and
// logs roots; an llvm-mingw-shaped toolchain assembled from Debian's packages under
// support/toolchain/local (its CMake a logging wrapper around the real one); the stand-in engine's
// three archives, served on loopback; a fake Flutter SDK of that engine revision; and a copy of
// examples/hello, brought up to date, with its plugin packages linked in as `flutter pub get` links
// them. Sets TORVEX_CC and FLUTTER_STORAGE_BASE_URL in this process's environment. Parts already
// present under `root` are reused, so a rig can be set up again over its own folder.
//
// Given Tools::fromSetup, the rig leaves the toolchain and TORVEX_CC out: `torvex setup` installs
// the tools, and the service finds the compiler wrapper in its bundle.
class BuildRig {
public:
    enum class Tools { assembled, fromSetup };

    // The stand-in engine's revision: a digest of its sources, so that a changed engine is a new
    // revision and is downloaded again.
    static const std::string& engineRevision();

    // Why a real build cannot run on this machine, or none when it can.
    static std::optional<std::string> missingTool();

    explicit BuildRig(const std::filesystem::path& root, Tools tools = Tools::assembled);

    const TorvexPaths& paths() const { return paths_; }
    const std::filesystem::path& project() const { return project_; }
    const std::filesystem::path& sdkRoot() const { return sdkRoot_; }
    ArtifactServer& server() { return server_; }

    // A request for the project copy with the rig's SDK as the Flutter root.
    BuildRequest request() const;
    // The project's work folder.
    std::filesystem::path workFolder() const;
    // One line per CMake run so far: "<pid> <arguments>".
    std::vector<std::string> cmakeRuns() const;
    // Links `package` into the project as plugin `name`, as the Flutter tool does (any earlier link goes).
    void linkPlugin(const std::string& name, const std::filesystem::path& package) const;
    // Puts an `sh` script body in CMake's place; its runs are still logged.
    void replaceCMake(const std::string& body) const;
    // Serves the engine archives under another revision and makes it the SDK's.
    void changeEngineRevision(const std::string& revision);

private:
    std::filesystem::path root_;
    TorvexPaths paths_;
    std::filesystem::path project_;
    std::filesystem::path sdkRoot_;
    ArtifactServer server_;
};

} // namespace torvex::testing
