#pragma once

#include <filesystem>
#include <optional>

namespace torvex {

// The running program's executable, as the kernel reports it (links already resolved).
std::optional<std::filesystem::path> executablePath();

} // namespace torvex
