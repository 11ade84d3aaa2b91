#pragma once

#include <filesystem>
#include <string>

namespace torvex {

namespace TorvexVersion {

// The version this program was built as.
const std::string& compiled();

// CFBundleShortVersionString of the innermost enclosing ".app" that has one, else compiled().
// Computed once per process.
const std::string& current();

// The walk behind current(), for a given executable path (symbolic links are resolved first).
std::string forExecutable(const std::filesystem::path& executable);

} // namespace TorvexVersion

} // namespace torvex
