#pragma once

#include "Core/TorvexError.h"

#include <functional>
#include <optional>
#include <string>

namespace torvex::cli {

// Thrown by a command to end the process with `status`, printing nothing more.
struct ExitCode {
    int status;
};

// The status for a command line the parser refused.
inline constexpr int usageExitStatus = 64;

// The error's what, why and fix as torvex prints them: control and invisible characters, which
// may come from the user's input (a name, a folder), written as visible escapes; line breaks kept.
std::string shownError(const TorvexError& error);

// Runs `body`; a TorvexError that escapes it is written as "error: " and its text on standard
// error and becomes ExitCode with the kind's raw value. Everything else passes unchanged.
void withErrorRule(const std::function<void()>& body);

// The exit status for the result of a "run" request: the app's exit code as the parent sees it
// (its low 8 bits, so -1 gives 255). A result that is missing, empty or not a signed 32-bit
// decimal ("+" or "-", then digits, nothing else) gives 0; a non-zero code whose low 8 bits are
// 0 (256, -256...) gives 1, so that a failed app never looks successful.
int runExitStatus(const std::optional<std::string>& result);

} // namespace torvex::cli
