#pragma once

#include <map>
#include <optional>
#include <string>

namespace torvex {

// A process environment: name to value.
using Environment = std::map<std::string, std::string>;

// This process's environment, read now.
Environment currentEnvironment();

// The variable's value when it is set and not empty.
std::optional<std::string> nonEmptyValue(const Environment& environment, const std::string& name);

} // namespace torvex
