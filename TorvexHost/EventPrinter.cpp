#include "EventPrinter.h"

#include "Core/ByteCount.h"
#include "Core/Files.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace torvex::host {

namespace {

// The object as one line of JSON.
std::string encodedLine(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Keeps a regular file from holding more than `limit` bytes of the printer's lines.
class FileBudget {
public:
    FileBudget(int fd, std::size_t limit) : fd_(fd), limit_(limit) {
        struct stat info {};
        regular_ = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        if (regular_) start_ = info.st_size;
    }

    // What to write for a line of `size` bytes: past the limit, the file goes back to what it held
    // at the start, and a notice saying so comes before the line. A file that cannot be cut back
    // takes no more lines (one error says why) until a later line finds that it can.
    struct Admission {
        std::optional<std::string> notice;
        bool write = true;
    };
    Admission admit(std::size_t size) {
        if (!regular_) return {};
        Admission admission;
        if (written_ > 0 && written_ + size > limit_) {
            if (::ftruncate(fd_, start_) != 0) {
                const int code = errno;
                if (!cutFailed_) admission.notice = cutFailure(code);
                cutFailed_ = true;
                admission.write = false;
                return admission;
            }
            // With O_APPEND the next write goes to the new end anyway; without, the offset must follow.
            (void)::lseek(fd_, start_, SEEK_SET);
            cutFailed_ = false;
            written_ = 0;
            admission.notice = encodedLine({{"event", "notice"},
                                            {"text", "Earlier events were removed: this file keeps at most " +
                                                         limitText() + " of them. The app's own log holds all its output."}});
            written_ += admission.notice->size();
        }
        written_ += size;
        return admission;
    }

private:
    std::string limitText() const { return formattedByteCount(static_cast<std::int64_t>(limit_)); }

    std::string cutFailure(int code) const {
        return encodedLine({{"event", "error"},
                            {"what", "The host's log file could not be cut back."},
                            {"why", "ftruncate failed: " + std::generic_category().message(code) +
                                        ". It holds " + limitText() + " of events, the most it may."},
                            {"fix", "Later events are not written to it until it can be cut: free space on its disk, "
                                    "or send the host's standard output elsewhere."}});
    }

    int fd_;
    std::size_t limit_;
    bool regular_ = false;
    off_t start_ = 0;
    std::size_t written_ = 0;
    bool cutFailed_ = false;  // the last cut failed and was reported
};

std::string droppedLine(std::size_t count) {
    return encodedLine({{"event", "error"},
                        {"what", std::to_string(count) + " host events were not printed."},
                        {"why", "Standard output was not read fast enough."},
                        {"fix", "Read the host's standard output without pausing, or send it to a file."}});
}

} // namespace

EventPrinter::EventPrinter(int fd, std::size_t maxQueuedBytes, std::size_t maxFileBytes)
    : maxQueuedBytes_(maxQueuedBytes), state_(std::make_shared<State>()) {
    thread_ = std::thread(run, fd, maxFileBytes, state_);
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

bool EventPrinter::finish(std::chrono::milliseconds patience, const std::optional<nlohmann::ordered_json>& last) {
    if (!thread_.joinable()) return true;
    std::optional<std::string> lastLine;
    if (last) lastLine = encodedLine(*last);
    std::unique_lock guard(state_->lock);
    if (lastLine && !state_->finishing) state_->last = std::move(lastLine);
    state_->finishing = true;
    state_->changed.notify_all();
    const bool ended = state_->changed.wait_for(guard, patience, [&] { return state_->done; });
    guard.unlock();
    if (ended) thread_.join();
    else thread_.detach();
    return ended;
}

void EventPrinter::run(int fd, std::size_t maxFileBytes, const std::shared_ptr<State>& state) {
    bool broken = false;  // the reader went away: nothing can be written any more
    FileBudget budget(fd, maxFileBytes);
    std::unique_lock guard(state->lock);
    for (;;) {
        state->changed.wait(guard, [&] { return !state->lines.empty() || state->dropped > 0 || state->finishing; });
        // The queue, then the count of what it could not take, then the last line.
        std::string line;
        bool final = false;  // the last line is written whatever the file's bound
        if (!state->lines.empty()) {
            line = std::move(state->lines.front());
            state->lines.pop_front();
            state->queuedBytes -= line.size();
        } else if (state->dropped > 0) {
            line = droppedLine(state->dropped);
            state->dropped = 0;
        } else if (state->last) {
            line = std::move(*state->last);
            state->last.reset();
            final = true;
        } else {
            break;
        }
        guard.unlock();
        const auto admission = budget.admit(line.size());
        if (admission.notice && !broken && writeAll(fd, *admission.notice) == EPIPE) broken = true;
        if ((admission.write || final) && !broken && writeAll(fd, line) == EPIPE) broken = true;
        guard.lock();
    }
    state->done = true;
    state->changed.notify_all();
}

} // namespace torvex::host
