#include "Environment.h"

#include <cstring>

extern char** environ;

namespace torvex {

Environment currentEnvironment() {
    Environment result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr) continue;
        result.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
    return result;
}

std::optional<std::string> nonEmptyValue(const Environment& environment, const std::string& name) {
    const auto found = environment.find(name);
    if (found == environment.end() || found->second.empty()) return std::nullopt;
    return found->second;
}

} // namespace torvex
