#pragma once

#include "EventPrinter.h"
#include "WorkCounter.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

namespace torvex::host {

// Reads the commands of --control-stdin, which stand in for the buttons of a desktop application:
// one JSON object a line, {"command": <word>, "id": <anything>, <arguments>...}. Each command runs
// on a thread of its own, so a long one (open builds first) does not hold up the next, and is
// answered with one line through the printer:
//   {"answer": <word>, "id": <as given>, "ok": true, <what the command answers>...}
//   {"answer": <word>, "id": <as given>, "ok": false, "error": {"kind", "what", "why", "fix"}}
// "id" is left out when the command had none, "answer" when the line named no command. Blank
// lines are skipped; the end of the input ends the reading, not the commands still running.
class ControlReader {
public:
    static constexpr std::size_t maxLineBytes = 1024 * 1024;

    // Runs one command and answers the members its answer adds; fails by throwing a TorvexError,
    // Cancelled or any other exception. Called on the command's own thread.
    using Runner = std::function<nlohmann::ordered_json(const std::string& command, const nlohmann::json& arguments,
                                                        std::stop_token stop)>;

    // Starts reading `fd` (which it does not close).
    ControlReader(int fd, Runner runner, std::shared_ptr<EventPrinter> printer);
    ~ControlReader();  // stop(5 s)
    ControlReader(const ControlReader&) = delete;
    ControlReader& operator=(const ControlReader&) = delete;

    // Stops reading and asks the running commands to stop, without waiting.
    void cancel();

    // Stops reading, asks the running commands to stop and waits for them at most `patience`.
    // False when some still run: they are left to end with the process.
    bool stop(std::chrono::milliseconds patience);

private:
    struct Command {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void read(int fd);
    void dispatch(const std::string& line);

    std::shared_ptr<const Runner> runner_;
    std::shared_ptr<EventPrinter> printer_;
    WorkCounter work_;
    int wake_[2] = {-1, -1};
    std::list<Command> commands_;  // the reading thread's until it is joined
    std::thread reader_;
};

} // namespace torvex::host
