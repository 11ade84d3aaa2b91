#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace torvex {

// Writes `bytes` to `file` only when they differ from its current bytes, creating the parent
// folder. Answers whether it wrote. File-system errors are thrown (std::filesystem_error).
bool writeIfChanged(const std::string& bytes, const std::filesystem::path& file);

// Two modification times count as the same when both are absent, or both present and within 1 ms.
bool sameTime(const std::optional<std::filesystem::file_time_type>& a,
              const std::optional<std::filesystem::file_time_type>& b);

// Incremental mirror of one folder tree into another.
struct Stager {
    // Relative path (components joined by "/"), source file or link -> replacement bytes, written
    // as a regular file, or none to copy the entry as it is.
    using Transform = std::function<std::optional<std::string>(const std::string& relativePath,
                                                               const std::filesystem::path& source)>;

    // Relative paths; one ending in "/" names a folder and all beneath it. Excluded entries are
    // neither copied nor removed.
    std::vector<std::string> excluded;
    Transform transform;  // empty: copy every file unchanged

    // Makes `destination` mirror `source`; answers the number of changes (links made, files
    // written or copied, items removed).
    int mirror(const std::filesystem::path& source, const std::filesystem::path& destination) const;

    // Copies one file when size or modification time differ; answers whether it copied.
    static bool mirrorFile(const std::filesystem::path& source, const std::filesystem::path& destination);
};

} // namespace torvex
