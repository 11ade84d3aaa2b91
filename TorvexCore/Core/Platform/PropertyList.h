#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace torvex {

// The string value of `key` in the dictionary property list at `file` (XML or binary);
// none when the file is unreadable, not a dictionary, or the value is not a string.
std::optional<std::string> readPropertyListString(const std::filesystem::path& file, const std::string& key);

} // namespace torvex
