#include "JobSteps.h"

#include "Core/TorvexError.h"

#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

namespace torvex::job {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::atomic<int> caughtSignal = 0;

void remember(int signal) { caughtSignal.store(signal); }

constexpr int trapped[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

Interruption::Interruption() {
    struct sigaction action {};
    action.sa_handler = remember;
    sigemptyset(&action.sa_mask);
    for (const int signal : trapped) ::sigaction(signal, &action, nullptr);
    watcher_ = std::jthread([source = source_](std::stop_token own) mutable {
        while (!own.stop_requested() && caughtSignal.load() == 0) std::this_thread::sleep_for(50ms);
        if (caughtSignal.load() != 0) source.request_stop();
    });
}

Interruption::~Interruption() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : trapped) ::sigaction(signal, &action, nullptr);
}

void Interruption::check() const {
    if (source_.stop_requested()) throw Cancelled{};
}

void show(const std::string& line, bool error) {
    static std::mutex* lock = new std::mutex;
    const std::lock_guard guard(*lock);
    std::FILE* stream = error ? stderr : stdout;
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
}

std::vector<std::string> TorvexRuns::Outcome::out() const {
    std::vector<std::string> texts;
    for (const OutputLine& line : lines) {
        if (line.stream == OutputStreamKind::standardOutput) texts.push_back(line.text);
    }
    return texts;
}

TorvexRuns::TorvexRuns(fs::path program, Environment environment, const Interruption& interruption)
    : program_(std::move(program)), environment_(std::move(environment)), interruption_(interruption) {}

TorvexRuns::Outcome TorvexRuns::run(const std::vector<std::string>& arguments, const fs::path& folder,
                                    std::chrono::seconds limit, bool visible, const std::string& indent,
                                    LineHandler also, std::stop_token stop) const {
    struct Collected {
        std::mutex lock;
        std::vector<OutputLine> lines;
    };
    const auto collected = std::make_shared<Collected>();
    const LineHandler sink = [collected, visible, indent, also](const OutputLine& line) {
        {
            const std::lock_guard guard(collected->lock);
            collected->lines.push_back(line);
        }
        if (visible) show(indent + line.text, line.stream == OutputStreamKind::standardError);
        if (also) also(line);
    };

    std::stop_source ending;
    const std::stop_callback onInterrupt(interruption_.token(), [&] { ending.request_stop(); });
    const std::stop_callback onStop(stop, [&] { ending.request_stop(); });
    std::atomic<bool> late = false;
    std::jthread timer([&](std::stop_token own) {
        std::mutex lock;
        std::condition_variable_any never;
        std::unique_lock guard(lock);
        if (!never.wait_for(guard, own, limit, [] { return false; }) && !own.stop_requested()) {
            late = true;
            ending.request_stop();
        }
    });
    const int status = ProcessRunner::shared().run({program_, arguments, environment_, folder}, sink, ending.get_token());
    timer.request_stop();
    timer.join();

    interruption_.check();
    if (late) {
        throw TorvexError(TorvexError::Kind::generic,
                          "`" + commandLine(arguments, program_.filename().string()) + "` did not end within " +
                                                          std::to_string(limit.count()) + " s.",
                          "It was ended.", "See what it printed above, and the host's log.");
    }
    const std::lock_guard guard(collected->lock);
    return Outcome{status, collected->lines};
}

std::string commandLine(const std::vector<std::string>& arguments, const std::string& program) {
    std::string text = program;
    for (const std::string& argument : arguments) text += " " + argument;
    return text;
}

} // namespace torvex::job
