#pragma once

#include "FlutterProject.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace torvex {

// The texts CMake needs to cross-compile a Flutter Windows runner with llvm-mingw.
namespace GeneratedFiles {

extern const std::string compatHeader;   // msvc-compat.h
extern const std::string rulesOverride;  // rules-override.cmake
const std::map<std::string, std::string>& fallbackHeaders();  // file name -> text
const std::string& defaultLibraries();   // "-lsynchronization ... -ld3d11"

// `headerOverlay` is the clang VFS overlay that finds SDK headers whatever their letter case.
std::string toolchainFile(const std::filesystem::path& tools, const std::filesystem::path& mingwRoot,
                          const std::filesystem::path& compatHeader, const std::filesystem::path& fallbackIncludes,
                          const std::filesystem::path& headerOverlay, const std::filesystem::path& rulesOverride,
                          const std::vector<std::filesystem::path>& searchRoots);

// The text of flutter/ephemeral/generated_config.cmake.
std::string generatedConfig(const std::filesystem::path& flutterRoot, const std::filesystem::path& projectDir,
                            const PubspecVersion& version);

} // namespace GeneratedFiles

} // namespace torvex
