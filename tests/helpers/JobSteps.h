#pragma once

#include "Core/Environment.h"
#include "Core/ProcessRunner.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace torvex::job {

// Turns SIGINT, SIGTERM and SIGHUP of this process into a stop request, from the first one on.
// One per process; its handler only stores the signal.
class Interruption {
public:
    Interruption();
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    std::stop_token token() const { return source_.get_token(); }
    // Throws Cancelled once a signal came.
    void check() const;

private:
    std::stop_source source_;
    std::jthread watcher_;
};

// Shows one line on standard output (or error), whole, from any thread.
void show(const std::string& line, bool error = false);

// Runs the torvex program of the job (or another) with the job's environment, each run a child process whose
// lines are shown as they come (on the stream they came on, after `indent`).
class TorvexRuns {
public:
    struct Outcome {
        int status = 0;
        std::vector<OutputLine> lines;

        // The standard-output texts, in order.
        std::vector<std::string> out() const;
    };

    TorvexRuns(std::filesystem::path program, Environment environment, const Interruption& interruption);

    // `torvex <arguments>` in `folder`, to its end. Throws a TorvexError when it runs longer than
    // `limit` (it is ended), Cancelled when the job is interrupted (it is ended). A `stop` request
    // ends it too and answers its status. Every line also goes to `also`, when given.
    Outcome run(const std::vector<std::string>& arguments, const std::filesystem::path& folder,
                std::chrono::seconds limit, bool visible = true, const std::string& indent = "  ",
                LineHandler also = {}, std::stop_token stop = {}) const;

    const Environment& environment() const { return environment_; }

private:
    std::filesystem::path program_;
    Environment environment_;
    const Interruption& interruption_;
};

// "torvex <arguments>" (or another program's) as a user would type it.
std::string commandLine(const std::vector<std::string>& arguments, const std::string& program = "torvex");

} // namespace torvex::job
