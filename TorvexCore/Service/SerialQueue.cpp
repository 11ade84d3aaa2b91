#include "SerialQueue.h"

#include "Core/Log.h"
#include "Core/TorvexError.h"

#include <utility>

namespace torvex {

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) { thread_ = std::thread(run, state_); }

SerialQueue::~SerialQueue() {
    {
        const std::lock_guard guard(state_->lock);
        state_->closing = true;
        state_->jobs.clear();
    }
    state_->posted.notify_all();
    // The thread keeps its own share of the state, so it may end after this object is gone.
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
}

void SerialQueue::post(std::function<void()> job) {
    {
        const std::lock_guard guard(state_->lock);
        if (state_->closing) return;
        state_->jobs.push_back(std::move(job));
    }
    state_->posted.notify_one();
}

std::size_t SerialQueue::pending() const {
    const std::lock_guard guard(state_->lock);
    return state_->jobs.size();
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock guard(state->lock);
            state->posted.wait(guard, [&] { return state->closing || !state->jobs.empty(); });
            if (state->closing) return;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
        }
        try {
            job();
        } catch (...) {
            try {
                Log::process().error("a queued job failed: " + describeCurrentException());
            } catch (...) {
            }
        }
    }
}

} // namespace torvex
