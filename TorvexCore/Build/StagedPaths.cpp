#include "StagedPaths.h"

#include <algorithm>
#include <optional>
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

constexpr std::string_view windowsPrefix = "windows/";

} // namespace

StagedPaths StagedPaths::of(const fs::path& staged, const fs::path& project, std::set<std::string> files,
                            std::set<std::string> linkedEntries) {
    std::error_code error;
    const fs::path given = fs::absolute(staged, error).lexically_normal();
    StagedPaths paths{{withTrailingSlash(given.parent_path().string())}, project, std::move(files),
                      std::move(linkedEntries)};
    const fs::path resolved = fs::weakly_canonical(given, error);
    if (!error && resolved != given) paths.stagedRoots.push_back(withTrailingSlash(resolved.parent_path().string()));
    return paths;
}

std::string StagedPaths::inProject(std::string_view line) const {
    if (files.empty() && linkedEntries.empty()) return std::string(line);
    std::string result;
    std::size_t copied = 0;  // line[0, copied) is in result
    std::size_t at = 0;
    while (at < line.size()) {
        // The earliest spelling of the staged root from `at` on.
        std::size_t found = std::string_view::npos;
        const std::string* root = nullptr;
        for (const std::string& spelling : stagedRoots) {
            const std::size_t position = line.find(spelling, at);
            if (position < found) found = position, root = &spelling;
        }
        if (found == std::string_view::npos) break;

        const std::size_t start = found + root->size();
        const std::size_t limit = std::min(line.size(), start + longestRelativePath);
        const fs::path base = fs::path(*root).parent_path();
        const auto inside = [&](std::size_t end) {
            const fs::path path = (base / line.substr(start, end - start)).lexically_normal();
            return path.lexically_relative(base).generic_string();
        };
        // The first component tells: in the staged folder, the longest path from there that names
        // one of the files; else the path up to its first possible end, when it lies in a linked entry.
        std::size_t firstEnd = start;
        while (firstEnd < limit && line[firstEnd] != '/' && !endsPath(line[firstEnd])) ++firstEnd;
        const std::string_view first = line.substr(start, firstEnd - start);
        const bool inStaged = first == "windows";
        std::size_t end = std::string_view::npos;
        fs::path mapped;
        for (std::size_t candidate = limit; inStaged && candidate > start; --candidate) {
            if (candidate < line.size() && !endsPath(line[candidate])) continue;
            const std::string relative = inside(candidate);
            if (relative.starts_with(windowsPrefix) && files.contains(relative.substr(windowsPrefix.size()))) {
                end = candidate;
                mapped = projectFolder / relative.substr(windowsPrefix.size());
                break;
            }
        }
        if (end == std::string_view::npos && (inStaged || linkedEntries.contains(std::string(first)))) {
            std::size_t pathEnd = firstEnd;
            while (pathEnd < limit && !endsPath(line[pathEnd])) ++pathEnd;
            const std::string relative = inside(pathEnd);
            if (linkedEntries.contains(relative.substr(0, relative.find('/')))) {
                end = pathEnd;
                mapped = projectFolder.parent_path() / relative;
            }
        }
        if (end == std::string_view::npos) {
            at = start;
            continue;
        }
        result.append(line.substr(copied, found - copied));
        result += mapped.string();
        copied = at = end;
    }
    result.append(line.substr(copied));
    return result;
}

} // namespace torvex
