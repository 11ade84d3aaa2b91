#include "SDKHeaderOverlay.h"

#include "Core/ASCII.h"
#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "Core/UTF8.h"

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <sstream>
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

std::string sdkHeaderOverlay(const fs::path& includeFolder, const std::vector<fs::path>& spellings) {
    nlohmann::json roots = nlohmann::json::array();
    std::error_code error;
    const fs::path given = withoutTrailingSlash(fs::absolute(includeFolder, error).lexically_normal());
    const fs::path resolved = error ? fs::path() : fs::canonical(given, error);
    if (!error && isValidUTF8(given.string()) && fs::is_directory(resolved, error)) {
        const nlohmann::json entries = contents(given, 1);
        std::vector<fs::path> names = {given, resolved};
        for (const fs::path& spelling : spellings) {
            std::error_code ignored;
            if (spelling.is_absolute() && fs::canonical(spelling, ignored) == resolved) {
                names.push_back(withoutTrailingSlash(spelling.lexically_normal()));
            }
        }
        std::set<fs::path> added;
        for (const fs::path& name : names) {
            if (!isValidUTF8(name.string()) || !added.insert(name).second) continue;
            roots.push_back({{"type", "directory"}, {"name", name.string()}, {"contents", entries}});
        }
    }
    const nlohmann::json overlay = {{"version", 0}, {"case-sensitive", "false"}, {"roots", roots}};
    return overlay.dump() + "\n";
}

std::optional<std::vector<fs::path>> compilerSearchFolders(const fs::path& compiler, std::stop_token stop) {
    ProcessResult result;
    try {
        result = ProcessRunner::shared().capture({compiler, {"-E", "-v", "-x", "c", "/dev/null"}, {}, std::nullopt},
                                                 std::move(stop));
    } catch (const TorvexError&) {
        return std::nullopt;  // it could not be started
    }
    if (result.exitCode != 0) return std::nullopt;
    // Between these two lines clang lists its folders, each indented by one space.
    std::vector<fs::path> folders;
    bool listing = false;
    std::istringstream lines(result.standardError);
    for (std::string line; std::getline(lines, line);) {
        if (line == "#include <...> search starts here:") {
            listing = true;
        } else if (line == "End of search list.") {
            return folders;
        } else if (listing && line.starts_with(" ")) {
            folders.push_back(line.substr(1));
        }
    }
    return std::nullopt;
}

} // namespace torvex
