#include "SessionTask.h"

#include <utility>

namespace torvex {

SessionTask::~SessionTask() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
}

void SessionTask::start(Body body, std::function<void()> finished) {
    const std::lock_guard guard(joining_);
    thread_ = std::thread([this, body = std::move(body), finished = std::move(finished)] {
        std::optional<std::int32_t> code;
        std::exception_ptr error;
        try {
            code = body(stop_.get_token());
        } catch (...) {
            error = std::current_exception();
        }
        {
            const std::lock_guard guard(lock_);
            code_ = code;
            error_ = error;
            done_ = true;
        }
        ended_.notify_all();
        if (finished) finished();
    });
}

void SessionTask::cancel() { stop_.request_stop(); }

void SessionTask::waitForEnd() {
    std::unique_lock guard(lock_);
    ended_.wait(guard, [&] { return done_; });
}

std::int32_t SessionTask::value(std::stop_token stop) {
    const std::stop_callback onStop(stop, [this] { cancel(); });
    waitForEnd();
    std::exception_ptr error;
    {
        const std::lock_guard guard(lock_);
        if (code_) return *code_;
        error = std::move(error_);  // this thread alone holds the error from here on
    }
    if (!error) return -1;  // taken by an earlier call
    std::rethrow_exception(error);
}

std::int32_t SessionTask::exitCode() {
    waitForEnd();
    const std::lock_guard guard(lock_);
    return code_.value_or(-1);
}

void SessionTask::join() {
    const std::lock_guard guard(joining_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

} // namespace torvex
