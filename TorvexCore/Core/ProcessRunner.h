#pragma once

#include "Environment.h"
#include "TorvexError.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace torvex {

// Which output stream a line came from. (`stdout`/`stderr` are C macros, hence the names.)
enum class OutputStreamKind { standardOutput, standardError };

// "stdout" or "stderr".
std::string_view streamName(OutputStreamKind kind);

// One line of child output, without its newline and one trailing carriage return.
struct OutputLine {
    OutputStreamKind stream;
    std::string text;
};

// What to start. The executable path is used as is (no PATH search; a relative one is taken from
// the runner's folder, not the child's) and is also argument 0.
struct ProcessSpec {
    std::filesystem::path executable;
    std::vector<std::string> arguments;
    Environment environment;  // laid over the runner's own environment
    std::optional<std::filesystem::path> currentDirectory;
    // Standard output and standard error go to /dev/null: no line is read, and the run ends with
    // the child even when a daemon it starts inherits them.
    bool discardOutput = false;
};

struct ProcessResult {
    std::int32_t exitCode = 0;
    std::string standardOutput;  // lines joined with "\n", no trailing newline
    std::string standardError;
};

// May be called from two pump threads at once, and after run() returned. What it throws is logged
// and the stream read on.
using LineHandler = std::function<void(const OutputLine&)>;

class RunStreams;
class ChildGroup;

// Starts children in process groups of their own and streams their output line by line.
// One mutex guards `running`; it is never held while a child runs.
class ProcessRunner {
public:
    // A longer line arrives in pieces of at most this many bytes, cut between characters.
    static constexpr std::size_t maxLineBytes = 1 << 20;

    // The one process-wide runner (never destroyed).
    static ProcessRunner& shared();

    // `name` in extraPaths, then PATH's non-empty entries, then /opt/homebrew/bin, /usr/local/bin:
    // the first non-directory the user may execute. Links are not resolved.
    static std::optional<std::filesystem::path> which(const std::string& name,
                                                      const std::vector<std::string>& extraPaths = {});

    // Runs the child to its end and answers its exit code (128 + signal when killed). Returns at
    // most 2 s after the child ended (at once with discardOutput); streams a descendant still holds open are read on until they
    // end or a stop comes (from `stop` or terminateAll()), and their lines still reach onLine.
    // A stop request during the run sends SIGTERM to its group and to every descendant (and the
    // groups they lead), SIGKILL 3 s later; run still returns the code.
    // Throws TorvexError when the child cannot be started.
    std::int32_t run(const ProcessSpec& spec, LineHandler onLine, std::stop_token stop = {});

    // run() collecting both streams.
    ProcessResult capture(const ProcessSpec& spec, std::stop_token stop = {});

    // SIGTERM now and SIGKILL in 3 s to every child still running (and its descendants); stops the
    // readers that runs left behind.
    void terminateAll();

    ProcessRunner() = default;

private:
    // SIGTERM to the group and the descendants now, SIGKILL 3 s later; callable from any thread.
    // The group is signalled only while it is still the child's.
    static void terminateGroup(const std::shared_ptr<ChildGroup>& group);

    std::mutex lock_;
    std::vector<std::shared_ptr<ChildGroup>> running_;
    std::vector<std::weak_ptr<RunStreams>> streams_;  // of every run whose readers may still read
};

} // namespace torvex
