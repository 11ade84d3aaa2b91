#pragma once

#include <filesystem>
#include <sys/types.h>

namespace torvex {

// Starts the application that hosts the service, in the background, and does not wait for it
// (where macOS runs `open -g <bundle>`). Here that is <bundle>/Contents/MacOS/torvex-host, started
// fully detached: a session of its own, standard input from /dev/null, standard output and error
// into `log` (emptied first; its folder is created), the caller's environment, default signal
// handling and no other inherited descriptor, so it never holds the caller's terminal or pipes.
// Answers its process id. Throws std::filesystem::filesystem_error when the log cannot be opened
// or is no regular file, std::system_error when the program cannot be started.
pid_t launchApplication(const std::filesystem::path& bundle, const std::filesystem::path& log);

// The program launchApplication starts for `bundle`.
std::filesystem::path applicationHost(const std::filesystem::path& bundle);

} // namespace torvex
