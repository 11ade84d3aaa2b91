#include "WorkCounter.h"

namespace torvex::host {

WorkCounter::Scope::Scope(std::shared_ptr<Count> count) : count_(std::move(count)) {
    const std::lock_guard guard(count_->lock);
    ++count_->running;
}

WorkCounter::Scope::~Scope() {
    if (!count_) return;
    const std::lock_guard guard(count_->lock);
    --count_->running;
    count_->changed.notify_all();
}

bool WorkCounter::waitUntilIdle(std::chrono::milliseconds patience) const {
    std::unique_lock guard(count_->lock);
    return count_->changed.wait_for(guard, patience, [&] { return count_->running == 0; });
}

} // namespace torvex::host
