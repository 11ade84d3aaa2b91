#pragma once

#include "Core/ProcessRunner.h"

#include <filesystem>
#include <stop_token>
#include <string>

namespace torvex {

// Archives through bsdtar, which reads tar.* and zip alike and writes zip (where macOS has tar and
// ditto). Each call captures the tool's output; a non-zero exit code is returned, not thrown.
namespace Archive {

// bsdtar in /usr/bin or on PATH; when there is none, a TorvexError naming its package.
std::filesystem::path tool();

// One member path a line.
ProcessResult list(const std::filesystem::path& archive, std::stop_token stop = {});
// Unpacks every member into `folder` (which must exist), owned by the caller.
ProcessResult extract(const std::filesystem::path& archive, const std::filesystem::path& folder,
                      std::stop_token stop = {});
// Writes a zip at `zip` whose one top-level entry is `folder` with everything in it, without
// extended attributes, access-control lists or file flags.
ProcessResult zipFolder(const std::filesystem::path& folder, const std::filesystem::path& zip,
                        std::stop_token stop = {});

} // namespace Archive

} // namespace torvex
