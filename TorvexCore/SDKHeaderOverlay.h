#pragma once

#include <filesystem>
#include <string>

namespace torvex {

// The text of a clang VFS overlay ("case-sensitive": false) under which every file below
// `includeFolder` is found whatever the letter case of the include, as on Windows:
// <VersionHelpers.h> finds versionhelpers.h. Only that folder is covered, so a project's own files
// keep exact-case lookup. The folder is keyed as given and by its resolved path (clang may spell it
// either way). Names that differ only in case within one folder are left out, so that lookup keeps
// to the real file system for them; a missing or unreadable folder gives an overlay without entries.
std::string sdkHeaderOverlay(const std::filesystem::path& includeFolder);

} // namespace torvex
