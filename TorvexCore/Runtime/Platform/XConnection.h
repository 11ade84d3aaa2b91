#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

struct _XDisplay;  // Xlib's Display; its headers stay inside the .cpp files that talk to X.

namespace torvex {

// One connection to the X display that DISPLAY names, for one call, closed on destruction.
// Xlib ends the process on a protocol error or a lost connection; the first connection installs
// handlers that do neither, once per process. The call is bounded once the connection is made: a
// watchdog shuts the socket down when `deadline` has passed since then, and the waiting call and
// every later one fail as on a lost connection. (Xlib offers no way to bound XOpenDisplay itself.)
class XConnection {
public:
    explicit XConnection(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // The open display; null when DISPLAY is unset or its server did not accept a connection.
    _XDisplay* display() const { return display_; }
    // DISPLAY's value; none when it is unset or empty.
    const std::optional<std::string>& displayName() const { return displayName_; }
    // The connection broke (or the watchdog cut it); every later reply is missing.
    bool lost() const { return lost_; }

private:
    _XDisplay* display_ = nullptr;
    std::atomic<bool> lost_ = false;
    std::optional<std::string> displayName_;
    std::jthread watchdog_;
};

} // namespace torvex
