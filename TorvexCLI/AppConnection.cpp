#include "AppConnection.h"

#include "ExitStatus.h"
#include "Output.h"
#include "Platform/ApplicationLauncher.h"
#include "SignalTrap.h"
#include "Build/FlutterSDK.h"
#include "Core/Files.h"
#include "Core/Platform/ProcessInfo.h"
#include "Core/TorvexError.h"
#include "Service/UnixSocket.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include <system_error>
#include <thread>

namespace torvex::cli {
namespace fs = std::filesystem;

AppConnection AppConnection::current() {
    const TorvexPaths& paths = TorvexPaths::defaultPaths();
    const fs::path log = paths.logs / "torvex-host.log";
    AppConnection connection{paths, currentEnvironment(), executablePath()};
    connection.launch = [log, patience = connection.launchInterval * connection.launchTries](const fs::path& bundle) {
        return std::optional<LaunchedHost>(LaunchedHost{launchApplication(bundle, log, patience), log});
    };
    return connection;
}

std::optional<fs::path> appBundle(const Environment& environment, const std::optional<fs::path>& executable) {
    if (const auto app = nonEmptyValue(environment, "TORVEX_APP")) return fs::absolute(*app);
    if (!executable) return std::nullopt;
    std::error_code error;
    fs::path folder = fs::canonical(*executable, error);
    if (error) folder = *executable;
    folder = folder.parent_path().parent_path().parent_path();
    if (folder.extension() != ".app") return std::nullopt;
    return folder;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long a launched host that never answered gets to end after SIGTERM before SIGKILL.
constexpr auto hungHostPatience = std::chrono::seconds(2);

// "10 s", "0.25 s"
std::string seconds(std::chrono::milliseconds duration) { return fmt::format("{:g} s", duration.count() / 1000.0); }

// The launched host's wait status once it has ended (it is reaped then); none while it runs, or
// when it is no child of this process.
std::optional<int> endedStatus(pid_t pid) {
    int status = 0;
    pid_t ended = 0;
    do {
        ended = ::waitpid(pid, &status, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended != pid) return std::nullopt;
    return status;
}

// The last "error" event in the host's output with a text what; none when there is none.
std::optional<TorvexError> lastErrorEvent(const fs::path& log) {
    constexpr std::size_t limit = 1024 * 1024;  // a host that failed at its start printed little
    const auto bytes = readRegularFile(log);
    if (!bytes || bytes->size() > limit) return std::nullopt;
    std::optional<TorvexError> found;
    std::istringstream lines(*bytes);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || event.value("event", nlohmann::json()) != "error") continue;
        const auto text = [&event](const char* name) {
            const auto value = event.find(name);
            return value != event.end() && value->is_string() ? value->get<std::string>() : std::string();
        };
        if (text("what").empty()) continue;
        found = TorvexError(TorvexError::Kind::appNotRunning, text("what"), text("why"), text("fix"));
    }
    return found;
}

// Why a host that ended with `status` before it answered did not serve.
TorvexError hostFailure(const LaunchedHost& host, int status) {
    if (const auto error = lastErrorEvent(host.log)) {
        const std::string why = error->why.empty() ? error->what : error->what + " " + error->why;
        return TorvexError(TorvexError::Kind::appNotRunning, "Torvex did not start.", why,
                           error->fix.empty() ? "See " + host.log.string() + "." : error->fix);
    }
    const std::string ending = WIFSIGNALED(status) ? "was ended by signal " + std::to_string(WTERMSIG(status))
                                                   : "exited with status " + std::to_string(WEXITSTATUS(status));
    return TorvexError(TorvexError::Kind::appNotRunning, "Torvex did not start.", "torvex-host " + ending + ".",
                       "See " + host.log.string() + ".");
}

} // namespace

std::unique_ptr<IPCClient> connectIfRunning(const AppConnection& connection) {
    const fs::path socket = connection.socketPath();
    if (auto client = IPCClient::connect(socket)) return client;
    if (auto foreign = UnixSocket::foreignSocket(socket)) throw *foreign;
    return nullptr;
}

std::unique_ptr<IPCClient> connectToApp(const AppConnection& connection) {
    if (auto client = connectIfRunning(connection)) return client;
    const auto bundle = appBundle(connection.environment, connection.executable);
    if (!bundle) {
        throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex is not running.",
                          "This torvex CLI is not inside Torvex.app, so it can't start it.",
                          "Use the torvex inside Torvex.app/Contents/MacOS, or set TORVEX_APP to that Torvex.app.");
    }
    const auto budget = connection.launchInterval * connection.launchTries;
    const auto deadline = Clock::now() + budget;
    std::optional<LaunchedHost> host;
    try {
        host = connection.launch(*bundle);
    } catch (const std::system_error& error) {
        if (dynamic_cast<const fs::filesystem_error*>(&error) != nullptr) throw;
        throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex did not start.",
                          std::string(error.what()) + ".",
                          "Check that " + applicationHost(*bundle).string() +
                              " is there, or set TORVEX_APP to a complete Torvex.app.");
    }
    // The tries share one budget with the launch, which waits until the host serves or failed; a
    // host that accepts and never says hello cannot hold a try for longer than what is left of it.
    for (int attempt = 0; attempt < connection.launchTries; ++attempt) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (auto client = IPCClient::connect(connection.socketPath(), std::max(left, connection.launchInterval)))
            return client;
        if (host) {
            if (const auto status = endedStatus(host->pid)) {
                // Status 0: it found another host serving the socket, which is then waited for.
                if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) throw hostFailure(*host, *status);
                host.reset();
            }
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(connection.launchInterval, deadline - Clock::now()));
    }
    // What was launched and never answered does not stay behind.
    if (host) endApplication(host->pid, hungHostPatience);
    throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex did not start.",
                      "No answer on " + connection.socketPath().string() + " after " + seconds(budget) + ".",
                      "Run " + applicationHost(*bundle).string() + " yourself to see why it does not answer.");
}

IPCRequest::Arguments withFlutterRoot(IPCRequest::Arguments arguments, const Environment& environment) {
    const auto root = FlutterSDK::callerRoot(environment);
    arguments.flutterRoot = root ? std::optional<std::string>(root->string()) : std::nullopt;
    return arguments;
}

void relayLog(const IPCMessage& message) {
    if (!message.text) return;
    if (message.stream == "stderr") {
        Output::err(*message.text);
    } else {
        Output::out(*message.text);
    }
}

std::optional<std::string> requestApp(const AppConnection& connection, const std::string& word,
                                      IPCRequest::Arguments arguments, bool interruptible) {
    const std::unique_ptr<IPCClient> client = connectToApp(connection);
    std::optional<SignalTrap> trap;  // ends before the client does
    if (interruptible) trap.emplace(*client);
    const IPCRequest request(word, withFlutterRoot(std::move(arguments), connection.environment));
    try {
        return client->send(request, relayLog);
    } catch (...) {
        if (trap && SignalTrap::interrupted()) throw ExitCode{0};
        throw;
    }
}

} // namespace torvex::cli
