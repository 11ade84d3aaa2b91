#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

namespace torvex::host {

// Writes JSON objects as lines to a descriptor (standard output), in the order given, from a thread
// of its own: print() only queues, so no caller ever waits for whoever reads the output. A reader
// that falls behind by more than `maxQueuedBytes` loses the lines beyond that; once it catches up it
// reads an "error" event that counts them. Lines that cannot be written (a full disk, a reader that
// went away) are dropped; the process must ignore SIGPIPE.
//
// When the descriptor is a regular file (an auto-launched host's logs/torvex-host.log), the printer
// never makes it hold more than `maxFileBytes` of its lines: the line that would pass the bound
// first cuts the file back to what it held before the printer began, behind a notice saying so. A
// file that cannot be cut back gets an error event saying so, and no more lines until it can.
class EventPrinter {
public:
    static constexpr std::size_t defaultMaxQueuedBytes = 64 * 1024 * 1024;
    // The most that the host's log file holds of its events. A noisy app's lines would otherwise be
    // written there a second time without end; they are kept whole in the app's own log.
    static constexpr std::size_t defaultMaxFileBytes = 16 * 1024 * 1024;

    explicit EventPrinter(int fd = STDOUT_FILENO, std::size_t maxQueuedBytes = defaultMaxQueuedBytes,
                          std::size_t maxFileBytes = defaultMaxFileBytes);
    ~EventPrinter();  // finish(5 s)
    EventPrinter(const EventPrinter&) = delete;
    EventPrinter& operator=(const EventPrinter&) = delete;

    // Queues one line (compact; text that is not UTF-8 is repaired). Ignored once finishing.
    void print(const nlohmann::ordered_json& object);

    // Takes no more lines but `last` (when given, kept whatever the queue holds, so that it is the
    // final line, after the count of lines that were dropped), writes those queued and ends the
    // thread. False when that took longer than
    // `patience` (a reader that stopped reading): the thread is then left to end with the process.
    bool finish(std::chrono::milliseconds patience, const std::optional<nlohmann::ordered_json>& last = std::nullopt);

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::string> lines;
        std::size_t queuedBytes = 0;
        std::optional<std::string> last;  // finish()'s last line, written after everything else
        std::size_t dropped = 0;
        bool finishing = false;
        bool done = false;
    };

    static void run(int fd, std::size_t maxFileBytes, const std::shared_ptr<State>& state);

    const std::size_t maxQueuedBytes_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace torvex::host
