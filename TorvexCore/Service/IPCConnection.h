#pragma once

#include "Messages.h"

#include <mutex>

namespace torvex {

// The server's end of one conversation. Any thread may send, also concurrently and after the
// conversation ended: each line is written whole or not at all, and nothing is written once the
// connection is closed or a write failed. It never closes its descriptor; the server does, after
// the request's handler has returned and the connection is closed.
class IPCConnection {
public:
    explicit IPCConnection(int fd);
    IPCConnection(const IPCConnection&) = delete;
    IPCConnection& operator=(const IPCConnection&) = delete;

    // Writes the message as one line. Never reports a failure: lines for a client that has gone
    // are dropped.
    void send(const IPCMessage& message);

    // Drops every later line and shuts the socket down both ways (once), so the client reads the
    // end of the stream. Waits for a send in progress.
    void close();

    // Shuts the socket down without waiting for a send in progress, which then fails: for a client
    // that stopped reading. Later lines are dropped.
    void interrupt();

private:
    const int fd_;
    std::mutex lock_;
    bool closed_ = false;   // no more lines
    bool shutDown_ = false; // the socket is shut down
};

} // namespace torvex
