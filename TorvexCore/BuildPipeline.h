#pragma once

#include "Toolchain.h"

#include <filesystem>

namespace torvex {

namespace BuildPipeline {

// Fills `tools` with the toolchain file, rules override, compatibility header, fallback headers,
// mingw-bin and the three shim links. Answers whether `toolchainFile` was written.
bool writeToolchain(const Toolchain& toolchain, const std::filesystem::path& tools,
                    const std::filesystem::path& toolchainFile);

} // namespace BuildPipeline

} // namespace torvex
