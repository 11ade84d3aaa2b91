#include "SignalTrap.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <signal.h>

namespace torvex::cli {

namespace {

constexpr std::array<int, 3> trappedSignals{SIGINT, SIGTERM, SIGHUP};

std::atomic<bool> interruptedFlag{false};
std::atomic<const IPCClient*> trappedClient{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<const IPCClient*>::is_always_lock_free);

extern "C" void onTrappedSignal(int) {
    const int savedErrno = errno;
    interruptedFlag.store(true);
    if (const IPCClient* client = trappedClient.load()) client->disconnect();  // only shutdown(2)
    errno = savedErrno;
}

void setDisposition(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted read returns, so a deferred handler (TSan) still runs
    for (const int signal : trappedSignals) ::sigaction(signal, &action, nullptr);
}

} // namespace

SignalTrap::SignalTrap(const IPCClient& client) {
    interruptedFlag.store(false);
    trappedClient.store(&client);
    setDisposition(onTrappedSignal);
}

SignalTrap::~SignalTrap() {
    setDisposition(SIG_IGN);
    trappedClient.store(nullptr);
}

bool SignalTrap::interrupted() { return interruptedFlag.load(); }

} // namespace torvex::cli
