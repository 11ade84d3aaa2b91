#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace torvex::host {

// Counts pieces of work in progress (conversations, control commands), so that shutdown can wait
// for them to end, for a bounded time. Copies share one count; a Scope may outlive the counter.
class WorkCounter {
    struct Count {
        std::mutex lock;
        std::condition_variable changed;
        int running = 0;
    };

public:
    // One piece of work, counted while it lives.
    class Scope {
    public:
        explicit Scope(std::shared_ptr<Count> count);
        Scope(Scope&& other) noexcept = default;  // the moved-from scope counts nothing
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        Scope& operator=(Scope&&) = delete;

    private:
        std::shared_ptr<Count> count_;
    };

    Scope enter() const { return Scope(count_); }
    // Whether no work was in progress, or it all ended within `patience`.
    bool waitUntilIdle(std::chrono::milliseconds patience) const;

private:
    std::shared_ptr<Count> count_ = std::make_shared<Count>();
};

} // namespace torvex::host
