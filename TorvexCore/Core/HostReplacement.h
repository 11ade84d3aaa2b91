#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace torvex {

// The fix for a problem that only a new Torvex host mends. The host is started by the next
// `torvex` command that finds none answering, so the fix says how to end this one: given its
// `pid` (the host speaking of itself), "End this Torvex host with `kill 1234`; the next `torvex`
// command starts a new one."; without, how to find its pid. `ending` closes the sentence, such
// as "with that command's DISPLAY".
std::string hostReplacementFix(std::optional<pid_t> pid, std::string_view ending = "");

} // namespace torvex
