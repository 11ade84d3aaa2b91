#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace torvex {

// A thread of its own that runs the jobs posted to it one at a time, in the order they were
// posted. Posting never waits for a job. A job that throws is logged and the next one runs.
class SerialQueue {
public:
    SerialQueue();  // throws std::system_error when no thread can be made
    // Drops the jobs not yet begun, lets the one in progress finish, and ends the thread: waits for
    // it, unless the queue is destroyed by one of its own jobs.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> job);
    // Jobs posted and not yet begun.
    std::size_t pending() const;

private:
    struct State {
        mutable std::mutex lock;
        std::condition_variable posted;
        std::deque<std::function<void()>> jobs;
        bool closing = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace torvex
