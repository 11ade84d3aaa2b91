#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace torvex {

// The text of a clang VFS overlay ("case-sensitive": false) under which every file below
// `includeFolder` is found whatever the letter case of the include, as on Windows:
// <VersionHelpers.h> finds versionhelpers.h. Only that folder is covered, so a project's own files
// keep exact-case lookup. The overlay matches paths as clang spells them, so the folder is keyed as
// given, by its resolved path and by each of `spellings` that leads to it. Names that differ only in
// case within one folder are left out, so that lookup keeps to the real file system for them; a
// missing or unreadable folder gives an overlay without entries.
std::string sdkHeaderOverlay(const std::filesystem::path& includeFolder,
                             const std::vector<std::filesystem::path>& spellings = {});

// The folders `compiler` (a clang) searches for <...> includes, spelled as it spells them; none
// when it cannot be run or does not say.
std::optional<std::vector<std::filesystem::path>> compilerSearchFolders(const std::filesystem::path& compiler,
                                                                        std::stop_token stop = {});

} // namespace torvex
