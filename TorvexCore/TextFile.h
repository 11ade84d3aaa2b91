#pragma once

#include "Files.h"
#include "UTF8.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// The whole file; a file that cannot be read throws std::filesystem::filesystem_error, and a FIFO,
// device or socket an unsupported TorvexError (readRegularFile).
std::string readFileOrThrow(const std::filesystem::path& file);

// Replaces the whole file with `bytes` (a plain write); failure throws std::filesystem::filesystem_error.
void writeFileBytes(const std::filesystem::path& file, std::string_view bytes);

} // namespace torvex
