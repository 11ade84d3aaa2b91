#include "ControlReader.h"

#include "HostEvents.h"
#include "Core/TorvexError.h"
#include "Service/LineReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

namespace torvex::host {

namespace {

TorvexError usageError(const std::string& what, const std::string& why) {
    return TorvexError(TorvexError::Kind::usage, what, why,
                       R"(Send one JSON object a line, such as {"command":"open","project":"/path/to/app"}.)");
}

nlohmann::ordered_json failure(nlohmann::ordered_json answer, const TorvexError& error) {
    answer["ok"] = false;
    answer["error"] = errorJSON(error);
    return answer;
}

} // namespace

ControlReader::ControlReader(int fd, Runner runner, std::shared_ptr<EventPrinter> printer)
    : runner_(std::make_shared<const Runner>(std::move(runner))), printer_(std::move(printer)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    reader_ = std::thread([this, fd] { read(fd); });
}

ControlReader::~ControlReader() {
    stop(std::chrono::seconds(5));
    ::close(wake_[0]);
}

void ControlReader::cancel() {
    if (wake_[1] >= 0) {
        ::close(wake_[1]);  // the reader's poll sees the hang-up
        wake_[1] = -1;
    }
    if (reader_.joinable()) reader_.join();
    for (auto& command : commands_) command.thread.request_stop();
}

bool ControlReader::stop(std::chrono::milliseconds patience) {
    cancel();
    const bool ended = work_.waitUntilIdle(patience);
    for (auto& command : commands_) {
        if (!ended) command.thread.detach();
    }
    commands_.clear();
    return ended;
}

void ControlReader::read(int fd) {
    LineReader reader(fd, wake_[0]);
    for (;;) {
        auto line = reader.next(maxLineBytes);
        if (!line) {
            if (!reader.overlong()) return;
            printer_->print(failure({}, usageError("The control command is too long.",
                                                   "A line holds more than " + std::to_string(maxLineBytes) + " bytes.")));
            if (!reader.skipLine()) return;
            continue;
        }
        if (line->find_first_not_of(" \t\r") == std::string::npos) continue;
        dispatch(*line);
    }
}

void ControlReader::dispatch(const std::string& line) {
    commands_.remove_if([](const Command& command) { return command.done->load(); });

    const auto arguments = nlohmann::json::parse(line, nullptr, false);
    if (!arguments.is_object()) {
        printer_->print(failure({}, usageError("The control command is not a JSON object.", "The line was: " + line)));
        return;
    }
    nlohmann::ordered_json answer;
    const auto word = arguments.find("command");
    if (word != arguments.end() && word->is_string()) answer["answer"] = *word;
    if (const auto id = arguments.find("id"); id != arguments.end()) answer["id"] = *id;
    if (!answer.contains("answer")) {
        printer_->print(failure(answer, usageError("The control command names no command.",
                                                   "Its \"command\" member is missing or not a text.")));
        return;
    }

    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        commands_.push_back(Command{
            std::jthread([runner = runner_, printer = printer_, scope = work_.enter(),
                          command = word->get<std::string>(), arguments, answer, done](std::stop_token stop) mutable {
                try {
                    nlohmann::ordered_json result = (*runner)(command, arguments, stop);
                    answer["ok"] = true;
                    if (result.is_object()) {
                        for (auto& [key, value] : result.items()) answer[key] = value;
                    }
                } catch (...) {
                    answer = failure(answer, currentError());
                }
                printer->print(answer);
                done->store(true);
            }),
            done});
    } catch (const std::system_error& error) {
        printer_->print(failure(answer, TorvexError(TorvexError::Kind::generic, "Could not run the control command.",
                                                    error.what(), "Close some apps and try again.")));
    }
}

} // namespace torvex::host
