#pragma once

#include <chrono>
#include <filesystem>
#include <sys/types.h>

namespace torvex {

// Starts the application that hosts the service, in the background (where macOS runs
// `open -g <bundle>`). Here that is <bundle>/Contents/MacOS/torvex-host, started fully detached: a
// session of its own, standard input from /dev/null, standard output and error into `log` (emptied
// first; its folder is created), the caller's environment, default signal handling and no other
// inherited descriptor but the one it announces on that it serves (--ready-fd 3), so it never
// holds the caller's terminal or pipes. Returns once the host serves the socket, once it ended or
// gave up its announcement, or after `patience`, whichever comes first; answers its process id,
// a child of the caller. Throws std::filesystem::filesystem_error when the log cannot be opened or
// is no regular file, std::system_error when the program cannot be started.
pid_t launchApplication(const std::filesystem::path& bundle, const std::filesystem::path& log,
                        std::chrono::milliseconds patience);

// The program launchApplication starts for `bundle`.
std::filesystem::path applicationHost(const std::filesystem::path& bundle);

// Ends a launched application that never answered, with everything in its process group: SIGTERM,
// then SIGKILL after `patience`; waits for it and reaps it. Harmless when it has ended already.
void endApplication(pid_t pid, std::chrono::milliseconds patience);

} // namespace torvex
