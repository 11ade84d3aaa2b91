#pragma once

#include "Files.h"
#include "UTF8.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// The whole file; a file that cannot be read throws std::filesystem::filesystem_error, and a FIFO,
// device or socket an unsupported TorvexError (readWholeFile).
std::string readFileOrThrow(const std::filesystem::path& file);

// Replaces the whole file with `bytes` (a plain write); failure throws std::filesystem::filesystem_error.
void writeFileBytes(const std::filesystem::path& file, std::string_view bytes);

// Replaces the whole file with `bytes` at once: a unique temporary file beside it, flushed to disk
// and renamed over it. Readers see the old bytes or the new, never a part. Failure throws
// std::filesystem::filesystem_error and leaves the file as it was.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

} // namespace torvex
