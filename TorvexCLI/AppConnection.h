#pragma once

#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Service/IPCClient.h"
#include "Service/Messages.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

namespace torvex::cli {

// A host that a launch started: its process (a child of this one) and the file with its output.
struct LaunchedHost {
    pid_t pid;
    std::filesystem::path log;
};

// How torvex reaches the service in the desktop application, launching it when nothing answers.
struct AppConnection {
    TorvexPaths paths;
    Environment environment;
    std::optional<std::filesystem::path> executable;  // the running program, links resolved
    // After a launch: this many tries to connect, each failed one followed by this long a pause,
    // all within tries × pause of the launch.
    int launchTries = 100;
    std::chrono::milliseconds launchInterval{100};
    // Starts the application bundle and returns once it serves or failed (or the tries' time has
    // passed); answers the host it started, when known.
    std::function<std::optional<LaunchedHost>(const std::filesystem::path& bundle)> launch = {};

    // This process's: the default paths, its environment and executable, and launchApplication
    // with the host's output in logs/"torvex-host.log".
    static AppConnection current();

    std::filesystem::path socketPath() const { return IPC::socketPath(paths, environment); }
};

// The application bundle: TORVEX_APP when set and not empty (a relative one taken against the
// current folder), else the folder three levels above `executable` when it is named "*.app".
std::optional<std::filesystem::path> appBundle(const Environment& environment,
                                               const std::optional<std::filesystem::path>& executable);

// A client past the hello; none when nothing answers. Never launches anything. Throws the
// client's errors, and "Another user's socket is in the way." when another user's socket at the
// path is why nothing answers.
std::unique_ptr<IPCClient> connectIfRunning(const AppConnection& connection);

// A client past the hello (connectIfRunning). When nothing answers, launches the bundle and tries again
// `launchTries` times. Throws appNotRunning when there is no bundle or it never answers (or its
// host cannot be started, or ends with a failure before it answers: then with the last error the
// host printed), and the errors of connectIfRunning as they are.
// A launched host that never answered is ended.
std::unique_ptr<IPCClient> connectToApp(const AppConnection& connection);

// `arguments` with flutterRoot set to the Flutter SDK of the caller (none when it has none).
IPCRequest::Arguments withFlutterRoot(IPCRequest::Arguments arguments, const Environment& environment);

// Sends one request with a fresh id and flutterRoot, relays its log lines and answers its result.
// When `interruptible`, SIGINT, SIGTERM and SIGHUP end the request: the service is hung up on and
// ExitCode 0 is thrown. The service's error is thrown as the TorvexError it carries.
std::optional<std::string> requestApp(const AppConnection& connection, const std::string& word,
                                      IPCRequest::Arguments arguments, bool interruptible);

// One relayed log or progress message as a line: on standard error when its stream is "stderr",
// else on standard output; nothing when it has no text.
void relayLog(const IPCMessage& message);

} // namespace torvex::cli
