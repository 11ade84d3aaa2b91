#include "EventPrinter.h"

#include <cerrno>
#include <string_view>

namespace torvex::host {

namespace {

// All of `line`; false when the descriptor refuses it.
bool writeAll(int fd, std::string_view line) {
    while (!line.empty()) {
        const ssize_t count = ::write(fd, line.data(), line.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        line.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

std::string encodedLine(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string droppedLine(std::size_t count) {
    return encodedLine({{"event", "error"},
                        {"what", std::to_string(count) + " host events were not printed."},
                        {"why", "Standard output was not read fast enough."},
                        {"fix", "Read the host's standard output without pausing, or send it to a file."}});
}

} // namespace

EventPrinter::EventPrinter(int fd, std::size_t maxQueuedBytes)
    : maxQueuedBytes_(maxQueuedBytes), state_(std::make_shared<State>()) {
    thread_ = std::thread(run, fd, state_);
}

EventPrinter::~EventPrinter() { finish(std::chrono::seconds(5)); }

void EventPrinter::print(const nlohmann::ordered_json& object) {
    std::string line = encodedLine(object);
    const std::lock_guard guard(state_->lock);
    if (state_->finishing) return;
    if (state_->queuedBytes + line.size() > maxQueuedBytes_) {
        ++state_->dropped;
        return;
    }
    state_->queuedBytes += line.size();
    state_->lines.push_back(std::move(line));
    state_->changed.notify_all();
}

bool EventPrinter::finish(std::chrono::milliseconds patience) {
    if (!thread_.joinable()) return true;
    std::unique_lock guard(state_->lock);
    state_->finishing = true;
    state_->changed.notify_all();
    const bool ended = state_->changed.wait_for(guard, patience, [&] { return state_->done; });
    guard.unlock();
    if (ended) thread_.join();
    else thread_.detach();
    return ended;
}

void EventPrinter::run(int fd, const std::shared_ptr<State>& state) {
    bool broken = false;  // the reader went away: nothing can be written any more
    std::unique_lock guard(state->lock);
    for (;;) {
        state->changed.wait(guard, [&] { return !state->lines.empty() || state->dropped > 0 || state->finishing; });
        if (state->lines.empty() && state->dropped == 0) break;
        std::string line;
        if (!state->lines.empty()) {
            line = std::move(state->lines.front());
            state->lines.pop_front();
            state->queuedBytes -= line.size();
        } else {
            line = droppedLine(state->dropped);
            state->dropped = 0;
        }
        guard.unlock();
        if (!broken && !writeAll(fd, line) && errno == EPIPE) broken = true;
        guard.lock();
    }
    state->done = true;
    state->changed.notify_all();
}

} // namespace torvex::host
