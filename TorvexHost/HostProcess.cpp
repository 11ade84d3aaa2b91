#include "HostProcess.h"

#include <signal.h>

#include <fstream>

namespace torvex::host {

namespace {

sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    return set;
}

// The most descriptors a process may have open (fs.nr_open).
rlim_t kernelMaximum() {
    rlim_t maximum = 0;
    std::ifstream("/proc/sys/fs/nr_open") >> maximum;
    return maximum > 0 ? maximum : 1024 * 1024;
}

} // namespace

rlim_t raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? kernelMaximum() : limit.rlim_max;
    if (wanted > limit.rlim_cur) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return wanted;
    }
    return limit.rlim_cur;
}

void prepareSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    const sigset_t set = shutdownSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForShutdownSignal() {
    const sigset_t set = shutdownSignals();
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {}
    return signal;
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
    }
}

} // namespace torvex::host
