#pragma once

#include <string>
#include <sys/resource.h>

// What the host does to its own process before it serves.
namespace torvex::host {

// Raises the soft limit of open descriptors to the hard limit (to what the kernel allows when the
// hard limit is infinite); never lowers it. Answers the soft limit in force afterwards.
rlim_t raiseOpenFileLimit();

// Ignores SIGPIPE and blocks SIGINT, SIGTERM and SIGHUP in the calling thread, so that every
// thread made later has them blocked too and waitForShutdownSignal() alone receives them. Call
// before any other thread exists. Children still start with an empty mask (ProcessRunner's spawn
// sets it).
void prepareSignals();

// Waits until SIGINT, SIGTERM or SIGHUP arrives (also one that came before the call) and answers it.
int waitForShutdownSignal();

// "SIGTERM" and the like.
std::string signalName(int signal);

} // namespace torvex::host
