#include "HostReplacement.h"

namespace torvex {

std::string hostReplacementFix(std::optional<pid_t> pid, std::string_view ending) {
    std::string fix = pid ? "End this Torvex host with `kill " + std::to_string(*pid) + "`"
                          : std::string("End the Torvex host with `kill <pid>` (`pgrep -a torvex-host` shows it)");
    fix += "; the next `torvex` command starts a new one";
    if (!ending.empty()) {
        fix += ' ';
        fix += ending;
    }
    return fix + ".";
}

} // namespace torvex
