// torvex-host: the headless host of the service. It stands in for the desktop application: one
// service with the default paths, its events printed as JSON lines on standard output, screen
// capture of the app's window, the socket server, and with --control-stdin the host's own
// operations read from standard input. It serves until SIGINT, SIGTERM or SIGHUP.

#include "AppWindowCapture.h"
#include "ControlCommands.h"
#include "ControlReader.h"
#include "EventPrinter.h"
#include "HostEvents.h"
#include "HostLock.h"
#include "HostProcess.h"
#include "WorkCounter.h"

#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Core/ProcessRunner.h"
#include "Core/StandardDescriptors.h"
#include "Core/Version.h"
#include "Service/IPCServer.h"
#include "Service/Messages.h"
#include "Service/TorvexService.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

using namespace torvex;
using namespace torvex::host;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view usage =
    "usage: torvex-host [--control-stdin] [--ready-fd N]\n"
    "  Serves the Torvex socket until SIGINT, SIGTERM or SIGHUP; prints its events as JSON lines.\n"
    "  --control-stdin  also reads the host's commands from standard input, one JSON object a line\n"
    "  --ready-fd N     writes one line to descriptor N (3 or more) once it serves, and closes it\n";

// How long shutdown waits for each of its steps before it moves on.
constexpr auto sessionPatience = 15s;
constexpr auto conversationPatience = 10s;
constexpr auto printerPatience = 5s;

// Ends the running app session (and the Wine processes of its prefix), waiting at most `patience`.
bool stopSession(const std::shared_ptr<TorvexService>& service, std::chrono::milliseconds patience) {
    auto stopped = std::make_shared<std::promise<void>>();
    auto done = stopped->get_future();
    std::thread([service, stopped] {
        service->stop();
        stopped->set_value();
    }).detach();
    return done.wait_for(patience) == std::future_status::ready;
}

// The descriptor that --ready-fd names; -1 when `text` is no number of 3 or more.
int readyDescriptor(std::string_view text) {
    int fd = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
    if (error != std::errc() || end != text.data() + text.size() || fd <= STDERR_FILENO) return -1;
    return fd;
}

// Tells whoever waits on the descriptor (the launcher) that the socket is served, and lets it go.
void announceReady(int fd) {
    (void)::write(fd, "listening\n", 10);
    ::close(fd);
}

// Another host serves the state in `support`, as `holder` says (none: it has not said yet).
// `defaultSocket`: where clients without TORVEX_SOCKET look.
TorvexError stateTakenError(const std::filesystem::path& support, const std::optional<HostLock::Holder>& holder,
                            const std::filesystem::path& defaultSocket) {
    std::string why = holder ? "torvex-host (pid " + std::to_string(holder->pid) + ")" : "Another torvex-host";
    why += " already serves " + support.string();
    std::string fix = "End the other host (`pgrep -a torvex-host` shows it) and try again.";
    if (holder && holder->socket) {
        why += " on " + holder->socket->string();
        fix = (*holder->socket == defaultSocket ? std::string("Use that host with TORVEX_SOCKET unset")
                                                : "Use that host with TORVEX_SOCKET=" + holder->socket->string()) +
              ", or end it with `kill " + std::to_string(holder->pid) + "` and try again.";
    }
    return TorvexError(TorvexError::Kind::generic, "Another Torvex host serves this state.",
                       why + "; a second host on the same state would lose the first one's changes.", fix);
}

} // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor that could take the number of a closed one.
    if (openStandardDescriptors() < 0) return 1;

    bool controlStdin = false;
    int ready = -1;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--control-stdin") {
            controlStdin = true;
        } else if (argument == "--ready-fd" && index + 1 < argc && (ready = readyDescriptor(argv[index + 1])) >= 0) {
            ++index;
            // Its children must not keep the launcher waiting.
            if (::fcntl(ready, F_SETFD, FD_CLOEXEC) != 0) ready = -1;
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(usage.data(), stdout);
            return 0;
        } else {
            std::fprintf(stderr, "torvex-host: unknown argument '%s'\n%s", argv[index], usage.data());
            return 64;
        }
    }

    prepareSignals();  // before any thread exists
    raiseOpenFileLimit();
    const auto printer = std::make_shared<EventPrinter>();

    const TorvexPaths& paths = TorvexPaths::defaultPaths();
    const Environment environment = currentEnvironment();
    const auto socket = IPC::socketPath(paths, environment);

    std::optional<TorvexError> lockFailure;
    const auto locked = [&](const auto& acquire) -> std::optional<HostLock> {
        try {
            return acquire();
        } catch (const TorvexError& error) {
            lockFailure = error;
            return std::nullopt;
        }
    };
    const std::optional<HostLock> lock = locked([&] { return HostLock::acquire(socket); });
    if (lockFailure) {
        printer->print(errorEvent(*lockFailure));
        return 1;
    }
    if (!lock) {
        const auto holder = HostLock::holder(socket);
        printer->print(noticeEvent("Torvex is already running" +
                                   (holder ? " (pid " + std::to_string(*holder) + ")" : std::string()) + " on " +
                                   socket.string() + "."));
        return 0;
    }
    // One host per state: two would each keep their own copy of the configuration and lose each
    // other's changes.
    const std::optional<HostLock> stateLock = locked([&] { return HostLock::acquireState(paths.support, socket); });
    if (lockFailure) {
        printer->print(errorEvent(*lockFailure));
        return 1;
    }
    if (!stateLock) {
        printer->print(errorEvent(stateTakenError(paths.support, HostLock::stateHolder(paths.support), IPC::socketPath(paths, {}))));
        return 1;
    }

    const auto service = TorvexService::create(paths);
    service->setEventSink([printer](const ServiceEvent& event) { printer->print(eventJSON(event)); });
    service->setCapture([environment](const std::optional<std::string>& binaryName, std::stop_token stop) {
        return captureAppWindow(binaryName, environment, std::move(stop));
    });
    service->setUpdateCheck([](std::stop_token) {});

    const WorkCounter conversations;
    IPCServer server(socket, [service, conversations](const IPCRequest& request,
                                                      const std::shared_ptr<IPCConnection>& connection,
                                                      std::stop_token stop) {
        const auto scope = conversations.enter();
        service->handle(request, connection, std::move(stop));
    });
    try {
        server.start();
    } catch (const TorvexError& error) {
        printer->print(errorEvent(error));
        return 1;
    }
    printer->print(listeningEvent(socket));
    if (ready >= 0) announceReady(ready);

    std::optional<ControlReader> control;
    if (controlStdin) {
        control.emplace(STDIN_FILENO, [service](const std::string& command, const nlohmann::json& arguments,
                                                std::stop_token stop) {
            return runControlCommand(service, command, arguments, std::move(stop));
        }, printer);
    }

    const int signal = waitForShutdownSignal();

    // In order: no new requests or commands, the app ended, every child ended, the conversations
    // ended; then once more the app, in case a request that was starting one got there meanwhile.
    server.stop();
    if (control) control->cancel();
    bool ended = stopSession(service, sessionPatience);
    ProcessRunner::shared().terminateAll();
    if (control) ended = control->stop(conversationPatience) && ended;
    ended = conversations.waitUntilIdle(conversationPatience) && ended;
    ended = stopSession(service, sessionPatience) && ended;
    // The last line: events still on their way from the service are not printed after it.
    ended = printer->finish(printerPatience, stoppedEvent(signal)) && ended;
    // Work that outlived its patience still holds the service: end without running destructors.
    if (!ended) ::_exit(0);
    return 0;
}
