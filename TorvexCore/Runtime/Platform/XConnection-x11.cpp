#include "Platform/XConnection.h"

#include "Core/StoppableSleep.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include <X11/Xlib.h>

namespace torvex {
namespace {

// A window that vanishes between two requests is ordinary; the failed call answers its own
// failure value, which the callers test.
int ignoreError(Display*, XErrorEvent*) { return 0; }

// Set while this thread is inside XOpenDisplay, whose display still has Xlib's exit handler.
thread_local std::jmp_buf* openingJump = nullptr;
thread_local Display* halfOpenDisplay = nullptr;

// Called first on a lost connection. Once a display is open, its exit handler (markLost) then
// returns instead of ending the process, and Xlib fails every later call on that display. Inside
// XOpenDisplay the only way out is to jump back to openDisplay.
int ignoreIOError(Display* display) {
    if (openingJump != nullptr) {
        halfOpenDisplay = display;
        std::longjmp(*openingJump, 1);
    }
    return 0;
}

void markLost(Display*, void* lost) { static_cast<std::atomic<bool>*>(lost)->store(true); }

void installHandlersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(ignoreError);
        XSetIOErrorHandler(ignoreIOError);
    });
}

// Xlib cannot close a display that it did not finish building: close its socket and keep the
// rest (a few kilobytes, each time a connection breaks while it opens).
void abandon(Display* display) {
    static auto* abandoned = new std::vector<Display*>;  // never destroyed
    static std::mutex lock;
    ::close(ConnectionNumber(display));
    const std::lock_guard guard(lock);
    abandoned->push_back(display);
}

// No object with a destructor is alive here while XOpenDisplay runs: ignoreIOError may jump back.
Display* openDisplay(const char* name) {
    std::jmp_buf jump;
    if (setjmp(jump) != 0) {
        openingJump = nullptr;
        abandon(std::exchange(halfOpenDisplay, nullptr));
        return nullptr;
    }
    openingJump = &jump;
    Display* display = XOpenDisplay(name);
    openingJump = nullptr;
    return display;
}

} // namespace

XConnection::XConnection(std::chrono::milliseconds deadline) {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return;
    displayName_ = name;
    installHandlersOnce();
    display_ = openDisplay(name);
    if (display_ == nullptr) return;
    XSetIOErrorExitHandler(display_, markLost, &lost_);

    const int socket = ConnectionNumber(display_);
    watchdog_ = std::jthread([socket, deadline](std::stop_token stop) {
        if (sleepUnlessStopped(deadline, stop)) ::shutdown(socket, SHUT_RDWR);
    });
}

XConnection::~XConnection() {
    if (watchdog_.joinable()) {
        watchdog_.request_stop();
        watchdog_.join();
    }
    if (display_ != nullptr) XCloseDisplay(display_);
}

} // namespace torvex
