#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace torvex::testing {

// The test-windows helper (tests/helpers/test-windows.cpp) holding its windows open on a display
// until the end of the scope.
class TestWindows {
public:
    // The helper built under a name that makes its windows Wine's, and under one that does not.
    static std::filesystem::path wineProgram();
    static std::filesystem::path otherProgram();

    // Starts `program` on `display` and waits (10 s at most) until its windows are shown; throws
    // when it does not get there.
    TestWindows(const std::filesystem::path& program, const std::string& display, const std::vector<std::string>& arguments);
    // Closes the helper's standard input, which ends it, and waits for it.
    ~TestWindows();
    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    pid_t pid() const { return pid_; }
    // The window ids, in the order of the arguments that made them.
    const std::vector<std::uint32_t>& ids() const { return ids_; }

private:
    void stop();

    pid_t pid_ = -1;
    int input_ = -1;
    std::vector<std::uint32_t> ids_;
};

} // namespace torvex::testing
