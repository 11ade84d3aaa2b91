#include "StagedPaths.h"

#include <algorithm>
#include <system_error>

namespace torvex {
namespace fs = std::filesystem;

namespace {

// How far past the folder a path is looked for: longer paths are left as they are.
constexpr std::size_t longestRelativePath = 4096;

// Characters that can end a path in a tool's message (a name with a blank is found as well).
bool endsPath(char c) {
    static constexpr std::string_view ends = ":()'\"`,;<>[] \t\r\n\x1b";
    return ends.find(c) != std::string_view::npos;
}

std::string withTrailingSlash(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text + "/";
}

} // namespace

StagedPaths StagedPaths::of(const fs::path& staged, const fs::path& project, std::set<std::string> files) {
    std::error_code error;
    const fs::path given = fs::absolute(staged, error).lexically_normal();
    StagedPaths paths{{withTrailingSlash(given.string())}, project, std::move(files)};
    const fs::path resolved = fs::weakly_canonical(given, error);
    if (!error && resolved != given) paths.stagedFolders.push_back(withTrailingSlash(resolved.string()));
    return paths;
}

std::string StagedPaths::inProject(std::string_view line) const {
    if (files.empty()) return std::string(line);
    std::string result;
    std::size_t copied = 0;  // line[0, copied) is in result
    std::size_t at = 0;
    while (at < line.size()) {
        // The earliest spelling of the staged folder from `at` on.
        std::size_t found = std::string_view::npos;
        const std::string* folder = nullptr;
        for (const std::string& spelling : stagedFolders) {
            const std::size_t position = line.find(spelling, at);
            if (position < found) found = position, folder = &spelling;
        }
        if (found == std::string_view::npos) break;

        // The longest path from there that names one of the files.
        const std::size_t start = found + folder->size();
        const std::size_t limit = std::min(line.size(), start + longestRelativePath);
        const fs::path base = fs::path(*folder).parent_path();
        std::size_t end = std::string_view::npos;
        std::string relative;
        for (std::size_t candidate = limit; candidate > start; --candidate) {
            if (candidate < line.size() && !endsPath(line[candidate])) continue;
            const fs::path path = (base / line.substr(start, candidate - start)).lexically_normal();
            const std::string inside = path.lexically_relative(base).generic_string();
            if (files.contains(inside)) {
                end = candidate;
                relative = inside;
                break;
            }
        }
        if (end == std::string_view::npos) {
            at = start;
            continue;
        }
        result.append(line.substr(copied, found - copied));
        result += (projectFolder / relative).string();
        copied = at = end;
    }
    result.append(line.substr(copied));
    return result;
}

} // namespace torvex
