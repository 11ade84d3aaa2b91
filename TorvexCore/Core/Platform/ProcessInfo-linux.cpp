#include "Platform/ProcessInfo.h"

namespace torvex {

std::optional<std::filesystem::path> executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || path.empty()) return std::nullopt;
    return path;
}

} // namespace torvex
