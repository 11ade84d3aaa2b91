#pragma once

#include "EngineArtifacts.h"
#include "FlutterProject.h"
#include "FlutterSDK.h"

#include <filesystem>
#include <set>
#include <string>

namespace torvex {

// The staged copy of the project's windows folder in the work folder `stage`: <stage>/source/windows.
// Beside it, <stage>/source/<entry> is a link to <project>/<entry> for each other entry of the
// project's folder, so that a relative path leaving the staged windows folder reaches what it
// reaches from the project's.
std::filesystem::path stagedWindowsFolder(const std::filesystem::path& stage);

// What a staging did.
struct StagingResult {
    int changes = 0;  // made in the staged windows folder and the links beside it
    // The files below windows/, by relative path, whose staged copy holds the project's lines where
    // the project's file has them: those copied as they are and the resource scripts, whose patch
    // moves no line. Generated files, the engine's and the plugins' are not among them.
    std::set<std::string> projectFiles;
    // The names of the project's other entries, linked beside the staged windows folder.
    std::set<std::string> linkedEntries;
};

// Brings stagedWindowsFolder(`stage`) up to date as the CMake source folder of a Windows build: a
// mirror of the project's windows folder with the clang/mingw patches applied and `disabledPlugins`
// cut out of the generated plugin files, the engine's files and patched client wrapper in
// flutter/ephemeral, and a fresh generated_config.cmake whose PROJECT_DIR is `stage`; and the links
// to the project's other entries beside it, in step with the project (a link made, replaced or
// removed counts as a change). The project itself is only read, and nothing is written through a link.
// File-system errors are thrown unchanged. A version that the
// runner cannot carry, a linked flutter, flutter/ephemeral or runner folder, and a FIFO, device or
// socket where staging reads are refused with an unsupported TorvexError.
StagingResult stageWindowsSources(const FlutterProject& project, const FlutterSDK& sdk, const EngineArtifacts& engine,
                                  const std::filesystem::path& stage, const std::set<std::string>& disabledPlugins);

} // namespace torvex
