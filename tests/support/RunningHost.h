#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// The built torvex-host, started for one test: the given variables laid over this process's
// environment, standard output and error into files in `folder`, standard input a pipe the test
// writes (for --control-stdin). Its end is certain: the destructor sends SIGTERM and then, 20 s
// later, SIGKILL to its pid, whatever the test did.
//
//   RunningHost host(temp.path(), {{"TORVEX_SOCKET", socket}, ...});
//   ASSERT_TRUE(host.waitFor("listening")) << host.output();
//   EXPECT_EQ(host.end(SIGTERM), 0);
class RunningHost {
public:
    static std::filesystem::path program();

    // `closedDescriptor`: 0, 1 or 2 left closed in place of its pipe or file.
    RunningHost(const std::filesystem::path& folder, const std::map<std::string, std::string>& environment,
                const std::vector<std::string>& arguments = {}, std::optional<int> closedDescriptor = std::nullopt);
    ~RunningHost();
    RunningHost(const RunningHost&) = delete;
    RunningHost& operator=(const RunningHost&) = delete;

    pid_t pid() const { return pid_; }

    // The JSON lines on its standard output so far; a line not (yet) whole JSON is left out.
    std::vector<nlohmann::json> events() const;
    // Waits until it printed a line whose "event" (or, for an answer, "answer") is `name` (any line
    // when empty) and that `matches`; answers the first such line. None after `limit` or once the
    // host ended without one.
    std::optional<nlohmann::json> waitFor(const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(30),
                                          const std::function<bool(const nlohmann::json&)>& matches = {}) const;
    // Everything it wrote, both streams, for failure messages.
    std::string output() const;

    // Writes one line to its standard input.
    void send(const std::string& line) const;

    // Sends `signal` (none: sends nothing) and waits for its end; its exit status (128 + signal when
    // a signal ended it), or none when it did not end within `limit` (it is then killed).
    std::optional<int> end(std::optional<int> signal, std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    std::filesystem::path stdoutFile_;
    std::filesystem::path stderrFile_;
    int input_ = -1;
    pid_t pid_ = -1;
    mutable std::optional<int> status_;  // once it ended and was reaped
};

} // namespace torvex::testing
