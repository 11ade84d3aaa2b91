#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// One start of a fake Wine program, as it logged itself.
struct FakeWineCall {
    std::string program;                 // "wine", "wineboot" or "wineserver"
    std::vector<std::string> arguments;  // without the program
    // For `wine reg import <file>`: the file's lines, without its header line, blank lines and CRs.
    std::vector<std::string> imported;
    int pid = 0;
    std::filesystem::path cwd;
    // The variables of FakeWine::loggedVariables that were set (also when empty), and every
    // FLUTTER_ENGINE_SWITCH_<n> from 1 up to the first one missing.
    std::map<std::string, std::string> environment;

    // The program followed by its arguments (and the imported lines), for comparing with a table of
    // expected calls.
    std::vector<std::string> argv() const;
};

// The argv() of the one `wine reg import` that writes both theme values, each `data` ("1" or "0").
std::vector<std::string> themeImport(const std::string& data);

// Makes `prefix` what a completed preparation leaves: its registry files and the ready marker.
void writePreparedPrefix(const std::filesystem::path& prefix);

// What a fake program does after logging its start, in this order: writes its standard-output
// lines, then its standard-error lines; wineboot then creates $WINEPREFIX/system.reg, user.reg
// (and drive_c) unless told not to; it waits until a signal ends it, if asked; it exits.
struct FakeWineBehaviour {
    std::vector<std::string> standardOutput = {};
    int repeatStandardOutput = 1;  // each standard-output line is written this many times
    std::vector<std::string> standardError = {};
    int exitCode = 0;
    bool createSystemReg = true;  // wineboot only: system.reg and user.reg
    // Sleeps until signalled: ended by the signal (status 128 + signal), else after 60 s or once
    // its FakeWine is destroyed, whichever comes first.
    bool waitForSignal = false;
    // Ignores SIGTERM (and so do the programs it starts), so that only SIGKILL ends it.
    bool ignoreTerm = false;
    // The exit codes of the first starts under this selector, in turn; later starts exit with
    // exitCode. Counting begins when the behaviour is set.
    std::vector<int> firstExitCodes = {};
};

// Fake `wine`, `wineboot` and `wineserver` sh scripts in <root>/bin. Every start appends one line
// to <root>/calls.log: "program=<name>", "pid=<its process id>", "cwd=<folder>", "env=<NAME>=<value>" for each logged
// variable that is set, "arg=<argument>" for each argument, separated by tabs (arguments and
// values must hold no tab or line feed). A line is appended in one write, so concurrent calls do
// not mix. Without a behaviour a program exits 0 at once (and wineboot creates system.reg and user.reg).
//
//   FakeWine fake(temp / "fake wine");
//   fake.behave("wineboot", {.standardError = {"no display"}, .exitCode = 1});
//   fake.behave("wine cmd", {.waitForSignal = true});  // `wine cmd ...` only; `wine reg` as before
//   WineEnvironment wine{fake.bin(), temp / "prefix", std::nullopt};
//   ...
//   EXPECT_EQ(fake.argvs(), (std::vector<std::vector<std::string>>{{"wineboot", "--init"}, ...}));
class FakeWine {
public:
    static constexpr const char* loggedVariables[] = {
        "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "DXVK_LOG_LEVEL", "MVK_CONFIG_LOG_LEVEL",
        "LANG",       "LC_ALL",    "LC_MESSAGES",      "FLUTTER_ENGINE_SWITCHES"};

    explicit FakeWine(const std::filesystem::path& root);
    ~FakeWine();  // removes the scenario, so that programs still waiting end within 0.1 s
    FakeWine(const FakeWine&) = delete;
    FakeWine& operator=(const FakeWine&) = delete;

    // The folder holding the three programs; delete one of them to make it fail to start.
    const std::filesystem::path& bin() const { return bin_; }

    // Sets what `selector` does from its next start on: a program name ("wineboot"), or a program
    // and its first argument ("wine reg"), which takes precedence over the program's own.
    void behave(const std::string& selector, const FakeWineBehaviour& behaviour);

    // The starts logged so far, oldest first.
    std::vector<FakeWineCall> calls() const;
    // Each call's argv().
    std::vector<std::vector<std::string>> argvs() const;
    void clearCalls() const;

private:
    void writeScenario() const;

    std::filesystem::path root_;
    std::filesystem::path bin_;
    std::map<std::string, FakeWineBehaviour> behaviours_;
    std::map<std::string, std::string> counters_;  // selector: its counter file in root_
    int settings_ = 0;
};

} // namespace torvex::testing
