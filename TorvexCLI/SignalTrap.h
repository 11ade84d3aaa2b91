#pragma once

#include "Service/IPCClient.h"

namespace torvex::cli {

// While a trap lives, SIGINT, SIGTERM and SIGHUP no longer end the process: the handler (which
// does nothing else) marks the request interrupted and shuts the client's socket down, so that
// the client's wait ends and the service cancels the request. When the trap ends, the three
// signals are ignored from then on, and only then is the client forgotten: destroy the trap
// before the client. One trap at a time.
class SignalTrap {
public:
    explicit SignalTrap(const IPCClient& client);
    ~SignalTrap();
    SignalTrap(const SignalTrap&) = delete;
    SignalTrap& operator=(const SignalTrap&) = delete;

    // Whether a trapped signal arrived since the last trap was made.
    static bool interrupted();
};

} // namespace torvex::cli
