#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace torvex::testing {

// Checks `done` every 20 ms until it holds or `timeout` has passed; answers whether it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace torvex::testing
