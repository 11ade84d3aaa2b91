#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

namespace torvex {

// One app session's run on a thread of its own, with a stop source of its own: its value is an
// exit code, or the error its body threw.
class SessionTask {
public:
    using Body = std::function<std::int32_t(std::stop_token)>;

    SessionTask() = default;
    // Joins the thread; detaches it when the task is destroyed on that thread.
    ~SessionTask();
    SessionTask(const SessionTask&) = delete;
    SessionTask& operator=(const SessionTask&) = delete;

    // Runs `body`, then `finished` (which must not throw), on a new thread. Call once. Throws
    // std::system_error when no thread can be made.
    void start(Body body, std::function<void()> finished);

    // Asks the body to stop; harmless once it has ended.
    void cancel();

    // Waits until the body has ended, also beyond `stop` (which only cancels the task); answers its
    // exit code or rethrows its error. Call once.
    std::int32_t value(std::stop_token stop = {});
    // The exit code once the body has ended, -1 when it failed; waits.
    std::int32_t exitCode();

    // Waits until the thread has ended. Safe from several threads; does nothing on the task's own
    // thread or before start().
    void join();

private:
    void waitForEnd();

    std::stop_source stop_;
    std::mutex lock_;
    std::condition_variable ended_;
    std::optional<std::int32_t> code_;
    std::exception_ptr error_;
    bool done_ = false;

    std::mutex joining_;
    std::thread thread_;
};

} // namespace torvex
