#include "SDKHeaderOverlay.h"

#include "Files.h"
#include "UTF8.h"

#include <nlohmann/json.hpp>

#include <map>
#include <system_error>

namespace torvex {

namespace fs = std::filesystem;

namespace {

// mingw-w64's deepest header lies three folders down; links could make a tree endless.
constexpr int maximumDepth = 8;

fs::path withoutTrailingSlash(const fs::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The overlay entries of the folder's files and subfolders, sorted by name.
nlohmann::json contents(const fs::path& folder, int depth) {
    std::map<std::string, fs::path> byName;
    std::map<std::string, int> perFoldedName;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!isValidUTF8(name)) continue;
        byName.emplace(name, entry->path());
        ++perFoldedName[lowercasedASCII(name)];
    }

    nlohmann::json entries = nlohmann::json::array();
    for (const auto& [name, path] : byName) {
        if (perFoldedName[lowercasedASCII(name)] > 1) continue;
        std::error_code statusError;
        const fs::file_status status = fs::status(path, statusError);  // links followed
        if (fs::is_directory(status)) {
            if (depth < maximumDepth) {
                entries.push_back({{"type", "directory"}, {"name", name}, {"contents", contents(path, depth + 1)}});
            }
        } else if (fs::is_regular_file(status)) {
            entries.push_back({{"type", "file"}, {"name", name}, {"external-contents", path.string()}});
        }
    }
    return entries;
}

} // namespace

std::string sdkHeaderOverlay(const fs::path& includeFolder) {
    nlohmann::json roots = nlohmann::json::array();
    std::error_code error;
    const fs::path given = withoutTrailingSlash(fs::absolute(includeFolder, error).lexically_normal());
    if (!error && isValidUTF8(given.string()) && fs::is_directory(given, error)) {
        const nlohmann::json entries = contents(given, 1);
        roots.push_back({{"type", "directory"}, {"name", given.string()}, {"contents", entries}});
        const fs::path resolved = fs::canonical(given, error);
        if (!error && resolved != given && isValidUTF8(resolved.string())) {
            roots.push_back({{"type", "directory"}, {"name", resolved.string()}, {"contents", entries}});
        }
    }
    const nlohmann::json overlay = {{"version", 0}, {"case-sensitive", "false"}, {"roots", roots}};
    return overlay.dump() + "\n";
}

} // namespace torvex
