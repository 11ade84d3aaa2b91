#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace torvex::testing {

// An X display name on 127.0.0.1 whose port this process holds, for tests of a display server
// that refuses, dies or stops answering.
class DisplayProxy {
public:
    // Refuses every connection.
    DisplayProxy();
    // Forwards each connection to the Xvfb display `target` (":N"), one at a time, and closes both
    // ends once its client has sent `cutAfter` bytes.
    explicit DisplayProxy(std::string target, std::size_t cutAfter = SIZE_MAX);
    ~DisplayProxy();
    DisplayProxy(const DisplayProxy&) = delete;
    DisplayProxy& operator=(const DisplayProxy&) = delete;

    // From now on forwards nothing, and keeps the connection open.
    void stall() { stalled_ = true; }

    // "127.0.0.1:<port - 6000>", for DISPLAY.
    const std::string& name() const { return name_; }

private:
    void bindLoopback();
    void serve();

    std::string target_;
    std::size_t cutAfter_ = 0;
    std::atomic<bool> stalled_ = false;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::string name_;
    std::thread thread_;
};

} // namespace torvex::testing
