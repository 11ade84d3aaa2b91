#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// Turns the paths of staged copies in the build tools' messages back into the project's own paths,
// so that a terminal or an editor opens the user's file (an edit of the copy would be lost at the
// next staging) at the same line and column. Paths through the links beside the staged windows
// folder name the project's entries as well.
struct StagedPaths {
    std::vector<std::string> stagedRoots;  // spellings of the staged windows folder's parent, each ending in "/"
    std::filesystem::path projectFolder;   // <project>/windows
    std::set<std::string> files;           // relative paths of the copies that hold the project's lines
    std::set<std::string> linkedEntries;   // the project's other entries, linked beside the staged folder

    // The staged windows folder as given and with its links resolved.
    static StagedPaths of(const std::filesystem::path& staged, const std::filesystem::path& project,
                          std::set<std::string> files, std::set<std::string> linkedEntries = {});

    // `line` with the path of each staged copy of one of `files`, and each path through one of the
    // linked entries, replaced by the project's path; everything else, ":line:column" included, as
    // it was.
    std::string inProject(std::string_view line) const;
};

} // namespace torvex
