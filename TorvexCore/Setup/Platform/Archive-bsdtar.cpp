#include "Platform/Archive.h"

#include "Core/TorvexError.h"

namespace torvex {
namespace fs = std::filesystem;

namespace Archive {
namespace {

ProcessResult runTool(std::vector<std::string> arguments, std::stop_token stop) {
    return ProcessRunner::shared().capture({tool(), std::move(arguments), {}, std::nullopt}, std::move(stop));
}

} // namespace

fs::path tool() {
    const auto found = ProcessRunner::which("bsdtar", {"/usr/bin"});
    if (!found)
        throw TorvexError(TorvexError::Kind::generic, "bsdtar is missing.", "Torvex packs and unpacks archives with it.",
                          "Install it with `apt-get install libarchive-tools`.");
    return *found;
}

ProcessResult list(const fs::path& archive, std::stop_token stop) {
    return runTool({"-t", "-f", archive.string()}, std::move(stop));
}

ProcessResult extract(const fs::path& archive, const fs::path& folder, std::stop_token stop) {
    return runTool({"-x", "-f", archive.string(), "-C", folder.string(), "--no-same-owner"}, std::move(stop));
}

ProcessResult zipFolder(const fs::path& folder, const fs::path& zip, std::stop_token stop) {
    return runTool({"-c", "-f", zip.string(), "--format", "zip", "--no-acls", "--no-xattrs", "--no-fflags", "-C",
                    folder.parent_path().string(), "--", folder.filename().string()},
                   std::move(stop));
}

} // namespace Archive

} // namespace torvex
