#include "BuildPipeline.h"

#include "Environment.h"
#include "GeneratedFiles.h"
#include "Paths.h"
#include "Stager.h"

#include <system_error>

namespace torvex {
namespace fs = std::filesystem;

namespace {

// Keeps `link` when it already holds `destination` as written; otherwise replaces whatever is there.
void ensureLink(const fs::path& link, const fs::path& destination) {
    std::error_code error;
    const fs::path current = fs::read_symlink(link, error);
    if (!error && current == destination) return;
    fs::remove(link, error);  // a folder in the way stays, and the link creation below reports it
    fs::create_symlink(destination, link);
}

fs::path pubCache() {
    if (auto value = nonEmptyValue(currentEnvironment(), "PUB_CACHE")) return fs::path(*value);
    return homeFolder() / ".pub-cache";
}

} // namespace

bool BuildPipeline::writeToolchain(const Toolchain& toolchain, const fs::path& tools, const fs::path& toolchainFile) {
    fs::create_directories(tools);

    const fs::path shim = fs::absolute(toolchain.shim);
    for (const char* name : {"shim-clang", "shim-clang++", "shim-windres"}) ensureLink(tools / name, shim);

    writeIfChanged(toolchain.mingwBin().string(), tools / "mingw-bin");
    writeIfChanged(GeneratedFiles::compatHeader, tools / "msvc-compat.h");
    const fs::path pubCacheFolder = pubCache();
    writeIfChanged(GeneratedFiles::rulesOverride, tools / "rules-override.cmake");
    for (const auto& [name, text] : GeneratedFiles::fallbackHeaders())
        writeIfChanged(text, tools / "fallback-include" / name);

    const fs::path folder = tools.has_filename() ? tools : tools.parent_path();
    const std::vector<fs::path> searchRoots = {folder.parent_path(), pubCacheFolder};
    const std::string text =
        GeneratedFiles::toolchainFile(tools, toolchain.mingwRoot, tools / "msvc-compat.h", tools / "fallback-include",
                                      tools / "rules-override.cmake", searchRoots) +
        "# " + toolchain.fingerprint() + "\n";
    return writeIfChanged(text, toolchainFile);
}

} // namespace torvex
