#pragma once

#include "EngineArtifacts.h"
#include "FlutterProject.h"
#include "FlutterSDK.h"

#include <filesystem>
#include <set>
#include <string>

namespace torvex {

// What a staging did.
struct StagingResult {
    int changes = 0;  // made in `stage`/windows
    // The files below windows/, by relative path, whose staged copy holds the project's lines where
    // the project's file has them: those copied as they are and the resource scripts, whose patch
    // moves no line. Generated files, the engine's and the plugins' are not among them.
    std::set<std::string> projectFiles;
};

// Brings `stage`/windows up to date as the CMake source folder of a Windows build: a mirror of the
// project's windows folder with the clang/mingw patches applied and `disabledPlugins` cut out of the
// generated plugin files, the engine's files and patched client wrapper in flutter/ephemeral, and a
// fresh generated_config.cmake whose PROJECT_DIR is `stage`. The project itself is only read.
// File-system errors are thrown unchanged. A version that the
// runner cannot carry, a linked flutter, flutter/ephemeral or runner folder, and a FIFO, device or
// socket where staging reads are refused with an unsupported TorvexError.
StagingResult stageWindowsSources(const FlutterProject& project, const FlutterSDK& sdk, const EngineArtifacts& engine,
                                  const std::filesystem::path& stage, const std::set<std::string>& disabledPlugins);

} // namespace torvex
