#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace torvex {

// Sleeps for `duration`, or until `stop` is requested if that comes first. Answers whether the
// whole time passed without a stop request.
inline bool sleepUnlessStopped(std::chrono::steady_clock::duration duration, const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock guard(mutex);
    wake.wait_for(guard, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace torvex
