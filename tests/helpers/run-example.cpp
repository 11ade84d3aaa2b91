// The README's main job: `torvex` itself sets up, builds examples/hello for Windows x64, installs
// it and runs it under Wine on a private X server, takes a screenshot of its window, shows the
// status and stops it, each step a real `torvex` process as a user would run it. What it would
// download stands in locally: the engine is served on a loopback port and the Flutter SDK is a
// stand-in. Everything lives in the state folder; a second run reuses what the first installed.
// At the end the host is stopped and nothing the job started may be left running.
// Usage: run-example [STATE_DIR]   (default: the build tree's "example" folder)

#include "JobSteps.h"

#include "Core/TorvexError.h"
#include "Service/UnixSocket.h"
#include "Setup/CustomDeviceRegistration.h"
#include "support/BuildRig.h"
#include "support/DecodedPNG.h"
#include "support/Eventually.h"
#include "support/OutputLines.h"
#include "support/StandInView.h"
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"
#include "support/VirtualDisplay.h"
#include "support/WindowsProgram.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using namespace torvex;
using namespace torvex::job;
using namespace std::chrono_literals;

namespace {

constexpr const char* appName = "hello";
constexpr const char* serviceLine = "The Dart VM service is listening on ";

[[noreturn]] void fail(const std::string& what, const std::string& why, const std::string& fix) {
    throw TorvexError(TorvexError::Kind::generic, what, why, fix);
}

void step(const std::string& title) { show("\n==> " + title); }

void expectSuccess(const TorvexRuns::Outcome& outcome, const std::vector<std::string>& arguments) {
    if (outcome.status == 0) return;
    fail("`" + commandLine(arguments) + "` failed.", "It exited with status " + std::to_string(outcome.status) + ".",
         "See its output above.");
}

// The socket in the state folder, or, where that path is too long for a socket, in a short
// temporary folder.
fs::path socketPath(const fs::path& state, std::optional<testing::TempDir>& shortFolder) {
    const fs::path socket = state / "torvex.sock";
    if (socket.string().size() <= UnixSocket::maxPathBytes) return socket;
    shortFolder.emplace("/tmp");
    return shortFolder->path() / "torvex.sock";
}

// The variables a user of the stand-ins would have, and none that would send torvex elsewhere
// (the caller's TORVEX_* variables are gone already).
Environment jobEnvironment(const testing::BuildRig& rig, const fs::path& state, const fs::path& socket,
                           const std::string& display) {
    ::unsetenv("FLUTTER_CUSTOM_DEVICES");
    fs::create_directories(state / "home");
    const char* path = std::getenv("PATH");
    return {
        {"TORVEX_SUPPORT_DIR", rig.paths().support.string()},
        {"TORVEX_CACHES_DIR", rig.paths().caches.string()},
        {"TORVEX_LOGS_DIR", rig.paths().logs.string()},
        {"TORVEX_SOCKET", socket.string()},
        {"HOME", (state / "home").string()},
        {"XDG_CONFIG_HOME", ""},
        {"FLUTTER_ROOT", rig.sdkRoot().string()},
        {"PATH", (rig.sdkRoot() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        {"DISPLAY", display},
        {"WINEDEBUG", "-all"},
    };
}

// Ends what an interrupted earlier run of the job, or a by-hand torvex, left running in this state.
void endEarlierRun(const testing::StateProcesses& processes) {
    const auto left = processes.all();
    if (left.empty()) return;
    show("Ending " + std::to_string(left.size()) +
         " process(es) still running in this state, from an earlier run or by hand");
    processes.stopHosts(20s);
    processes.endLeftovers(5s);
}

void setUp(const TorvexRuns& torvex, const fs::path& state) {
    step("torvex setup: the components from the distribution's packages, the Windows prefix, the IDE device");
    const std::vector<std::string> arguments{"setup"};
    expectSuccess(torvex.run(arguments, state, 600s), arguments);
    const auto registered =
        CustomDeviceRegistration::registeredCLI(CustomDeviceRegistration::configFile(torvex.environment()));
    if (registered != testing::builtTorvex().string()) {
        fail("The IDE device does not name this torvex.", "It names " + registered.value_or("nothing") + ".",
             "See the output of `torvex setup` above.");
    }
}

void buildAndInstall(const TorvexRuns& torvex, const fs::path& project) {
    step("torvex build, in " + project.string());
    const std::vector<std::string> build{"build"};
    const auto built = torvex.run(build, project, 900s);
    expectSuccess(built, build);
    const auto out = built.out();
    if (out.empty() || !fs::exists(fs::path(out.back()) / (std::string(appName) + ".exe"))) {
        fail("`torvex build` named no folder holding " + std::string(appName) + ".exe.",
             "Its last line was \"" + (out.empty() ? "" : out.back()) + "\".", "See its output above.");
    }

    step("torvex install --app-name " + std::string(appName));
    const std::vector<std::string> install{"install", "--app-name", appName};
    expectSuccess(torvex.run(install, project, 300s), install);
}

// `torvex run` on a thread of its own until its app ends or the stop source is used.
class AttachedRun {
public:
    AttachedRun(const TorvexRuns& torvex, const fs::path& project) {
        step("torvex run --app-name " + std::string(appName) + " (its lines marked \"run│\")");
        thread_ = std::jthread([&torvex, project, sink = lines_.sink(), this](std::stop_token stop) {
            try {
                status_ = torvex.run({"run", "--app-name", appName}, project, 1800s, true, "run│ ", sink, stop).status;
            } catch (const TorvexError& error) {
                show("error: " + error.description(), true);
            } catch (...) {
            }
            ended_ = true;
        });
    }

    // The Dart VM service line, once the app printed it.
    std::string waitForServiceLine(const Interruption& interruption) const {
        const auto deadline = std::chrono::steady_clock::now() + 300s;
        const auto isServiceLine = [](const OutputLine& line) { return line.text.find(serviceLine) != std::string::npos; };
        while (!lines_.waitFor(isServiceLine, 200ms)) {
            interruption.check();
            if (ended_) {
                fail("`torvex run` ended before the app was running.",
                     "It exited with status " + std::to_string(status_.load()) + ".", "See its output above.");
            }
            if (std::chrono::steady_clock::now() > deadline) {
                fail("The app printed no Dart VM service line within 300 s.", "It is still starting, or hangs.",
                     "See the output of `torvex run` above, and the host's log.");
            }
        }
        for (const OutputLine& line : lines_.all()) {
            if (isServiceLine(line)) return line.text;
        }
        return "";
    }

    // Its exit status once it ended within `limit`.
    std::optional<int> waitForEnd(std::chrono::milliseconds limit) const {
        if (!testing::eventually([this] { return ended_.load(); }, limit)) return std::nullopt;
        return status_.load();
    }

private:
    testing::OutputLines lines_;
    std::atomic<bool> ended_ = false;
    std::atomic<int> status_ = -1;
    std::jthread thread_;  // last: its end (a stop request, then the join) comes first
};

// Waits until a screenshot shows the stand-in engine's view over the whole window: a frame taken
// before the window painted is black, and any such PNG decodes.
void screenshot(const TorvexRuns& torvex, const fs::path& state, const Interruption& interruption) {
    const fs::path file = state / (std::string(appName) + ".png");
    step("torvex screenshot --output " + file.string());
    const std::vector<std::string> arguments{"screenshot", "--output", file.string()};
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        fs::remove(file);
        const auto outcome = torvex.run(arguments, state, 60s, false);
        const auto png = outcome.status == 0 ? testing::decodePNG(testing::readFile(file)) : std::nullopt;
        const auto mismatch = png ? testing::standInViewMismatch(*png) : std::nullopt;
        if (png && !mismatch) {
            show("  ✓ " + file.string() + ": a PNG of " + std::to_string(png->width) + "×" + std::to_string(png->height) +
                 " pixels, showing the stand-in engine's view");
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            for (const OutputLine& line : outcome.lines) show("  " + line.text, line.stream == OutputStreamKind::standardError);
            fail("`torvex screenshot` gave no picture of the app's view within 60 s.",
                 outcome.status != 0 ? "It exited with status " + std::to_string(outcome.status) + "."
                 : !png              ? "The file is no PNG."
                                     : "The last picture is not the stand-in engine's view: " + *mismatch + ".",
                 "See its output above, the last picture in " + file.string() + ", and the host's log.");
        }
        std::this_thread::sleep_for(500ms);  // the window may not be shown or painted yet
        interruption.check();
    }
}

void status(const TorvexRuns& torvex, const fs::path& state) {
    step("torvex status");
    const std::vector<std::string> arguments{"status"};
    const auto outcome = torvex.run(arguments, state, 60s);
    expectSuccess(outcome, arguments);
    const auto out = outcome.out();
    const auto answer = nlohmann::json::parse(out.empty() ? std::string("{}") : out.front(), nullptr, false);
    const std::string expected = "Running " + std::string(appName);
    if (!answer.is_object() || answer.value("status", "") != expected || answer.value("attached", false) != true) {
        fail("`torvex status` does not say \"" + expected + "\", attached.", "It said " + (out.empty() ? "nothing" : out.front()) + ".",
             "See the host's log.");
    }
}

void stop(const TorvexRuns& torvex, const fs::path& state, const AttachedRun& run) {
    step("torvex stop");
    const std::vector<std::string> arguments{"stop"};
    expectSuccess(torvex.run(arguments, state, 120s), arguments);
    const auto ended = run.waitForEnd(60s);
    if (!ended) {
        fail("`torvex run` did not end within 60 s of `torvex stop`.", "The service did not end its app.",
             "See the host's log.");
    }
    show("  ✓ torvex run ended with the stopped app's status " + std::to_string(*ended));
}

void stopHost(const testing::StateProcesses& processes) {
    step("Stopping the Torvex host");
    const auto hosts = processes.hosts();
    if (hosts.empty()) {
        fail("No Torvex host was running.", "torvex launches one from its bundle when none answers.",
             "See the host's log.");
    }
    if (!processes.stopHosts(30s)) {
        fail("The Torvex host did not stop within 30 s of SIGTERM.", "It is left running.", "See the host's log.");
    }
    const auto left = processes.endLeftovers(15s);
    if (!left.empty()) {
        std::string list;
        for (const auto& process : left) list += "\n    " + process.description();
        fail("Processes of the job were still running after the host stopped.", "They had to be ended:" + list,
             "See the host's log.");
    }
    show("  ✓ The host stopped, and nothing it started is left running");
}

// The variables torvex reads that the job leaves out of its environment: a shell that goes on by
// hand must not have them either.
constexpr const char* unsetByHand[] = {"TORVEX_APP", "TORVEX_CC", "TORVEX_D3D", "TORVEX_WINE_BIN",
                                       "FLUTTER_CUSTOM_DEVICES"};

// The shell line that gives a shell the job's environment but its private display: the TORVEX_*
// folders and socket, HOME, XDG_CONFIG_HOME, FLUTTER_ROOT, PATH and WINEDEBUG as the job set them.
// Without the socket when it lies outside the state.
std::string byHandLine(const TorvexRuns& torvex, bool socketInState) {
    std::string line = "unset";
    for (const char* name : unsetByHand) line += std::string(" ") + name;
    line += "; export";
    for (const auto& [name, value] : torvex.environment()) {
        if (name == "DISPLAY" || (name == "TORVEX_SOCKET" && !socketInState)) continue;
        line += " " + name + "=" + testing::shellQuoted(value);
    }
    return line;
}

// How to go on by hand with the job's state: the line that gives a shell the job's environment.
void showGoingOnByHand(const std::string& line, const fs::path& state, bool socketInState) {
    show("\nTo go on by hand with this state (torvex starts its host again when it needs one):\n  " + line);
    if (!socketInState) {
        show("  export TORVEX_SOCKET=<a socket path of yours>   (the state folder " + state.string() +
             " is too deep for one)");
    }
    const std::string program = testing::shellQuoted(testing::builtTorvex().string());
    show("  " + program + " status\n  " + program + " run --app-name " + appName +
         "   (with DISPLAY naming an X display)");
}

// The line above, pasted into a shell that has this process's environment and decoys of its own:
// `torvex doctor` says what it said in the job, and `torvex build` finds the native code unchanged.
void checkGoingOnByHand(const std::string& line, const TorvexRuns& torvex, const fs::path& project,
                        const testing::StateProcesses& processes, const Interruption& interruption) {
    step("Going on by hand: the line above, in a shell, then torvex doctor and torvex build");
    Environment decoys;
    for (const char* name : unsetByHand) decoys[name] = "/nonexistent/decoy";
    const TorvexRuns shell("/bin/sh", decoys, interruption);
    const std::string program = testing::shellQuoted(testing::builtTorvex().string());
    const auto inShell = [&](const std::string& command, std::chrono::seconds limit, int expected) {
        const std::vector<std::string> arguments{"-c", line + "\n" + program + " " + command};
        const auto outcome = shell.run(arguments, project, limit, false);
        if (outcome.status != expected) {
            for (const OutputLine& shown : outcome.lines)
                show("  " + shown.text, shown.stream == OutputStreamKind::standardError);
            fail("`torvex " + command + "` after the line to go on by hand exited with status " +
                     std::to_string(outcome.status) + ".",
                 "In the job it exits with status " + std::to_string(expected) + ".", "See its output above.");
        }
        return outcome.lines;
    };
    // The doctor's checks but the free disk space, which the job itself changes.
    const auto checks = [](const std::vector<OutputLine>& lines) {
        std::vector<std::string> texts;
        for (const OutputLine& line : lines) {
            if (line.text.find("Disk space") == std::string::npos) texts.push_back(line.text);
        }
        return texts;
    };
    const auto inJob = torvex.run({"doctor"}, project, 120s, false);
    const auto byHand = inShell("doctor", 120s, inJob.status);
    if (checks(byHand) != checks(inJob.lines)) {
        for (const OutputLine& shown : byHand) show("  " + shown.text);
        fail("`torvex doctor` after the line to go on by hand says other than in the job.",
             "The line does not give the shell the job's environment.", "Compare its output above with the job's.");
    }
    show("  ✓ torvex doctor says what it says in the job");

    const auto built = inShell("build", 600s, 0);
    const auto unchanged = std::find_if(built.begin(), built.end(), [](const OutputLine& shown) {
        return shown.text.find("native code unchanged") != std::string::npos;
    });
    if (unchanged == built.end()) {
        for (const OutputLine& shown : built) show("  " + shown.text, shown.stream == OutputStreamKind::standardError);
        fail("`torvex build` after the line to go on by hand built the native code again.",
             "The line does not give the shell the job's environment, so the build's inputs differ.",
             "See its output above.");
    }
    show("  ✓ torvex build finds the native code unchanged");
    if (!processes.stopHosts(30s) || !processes.endLeftovers(15s).empty()) {
        fail("The host that the build by hand started did not stop cleanly.", "Processes had to be ended.",
             "See the host's log.");
    }
}

int runJob(const fs::path& state) {
    const auto started = std::chrono::steady_clock::now();
    const Interruption interruption;
    show("Preparing the stand-ins in " + state.string() +
         ": a copy of examples/hello, a stand-in Flutter SDK, the stand-in engine on a loopback port");
    testing::BuildRig rig(state, testing::BuildRig::Tools::fromSetup);
    interruption.check();
    std::optional<testing::TempDir> shortFolder;
    const fs::path socket = socketPath(state, shortFolder);
    std::optional<testing::VirtualDisplay> display;  // ends after what `processes` ends, which may still use it
    const testing::StateProcesses processes(socket, rig.paths().support, state / "scratch");
    endEarlierRun(processes);  // before the job starts anything of its own
    auto xvfb = testing::VirtualDisplay::start();
    if (!xvfb) fail("Could not start a virtual X server.", "Xvfb failed.", "Install it with `apt-get install xvfb`.");
    display.emplace(std::move(*xvfb));
    show("Display " + display->name() + ", engine at " + rig.server().baseURL() + ", socket " + socket.string());

    const TorvexRuns torvex(testing::builtTorvex(), jobEnvironment(rig, state, socket, display->name()), interruption);

    setUp(torvex, state);
    buildAndInstall(torvex, rig.project());
    {
        const AttachedRun run(torvex, rig.project());
        show("  ✓ The app is running: " + run.waitForServiceLine(interruption));
        screenshot(torvex, state, interruption);
        status(torvex, state);
        stop(torvex, state, run);
    }
    stopHost(processes);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    show("\nThe main job is done in " + std::to_string(seconds.count()) +
         " s: torvex set up, built, installed, ran, captured and stopped examples/hello.");
    const std::string line = byHandLine(torvex, !shortFolder);
    showGoingOnByHand(line, state, !shortFolder);
    if (!shortFolder) checkGoingOnByHand(line, torvex, rig.project(), processes, interruption);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: run-example [STATE_DIR]\n");
        return 64;
    }
    const fs::path state = fs::absolute(argc == 2 ? fs::path(argv[1]) : fs::path(TORVEX_BUILD_DIR) / "example");
    std::optional<std::string> missing = testing::BuildRig::missingTool();
    if (!missing && !testing::WinePrefix::available()) missing = "wine is not installed";
    if (!missing && !testing::VirtualDisplay::available()) missing = "Xvfb is not installed";
    if (missing) {
        std::fprintf(stderr, "error: The main job cannot run on this machine.\n  Why: %s.\n"
                             "  Fix: Run `bash scripts/bootstrap` as root.\n", missing->c_str());
        return 69;
    }
    testing::forgetTorvexVariables();  // the job runs the same whatever the caller exported
    try {
        fs::create_directories(state);
        return runJob(state);
    } catch (const TorvexError& error) {
        show("error: " + error.description(), true);
    } catch (const Cancelled&) {
        show("Interrupted: what the job started has been ended.", true);
        return 130;
    } catch (const std::exception& error) {
        show(std::string("error: ") + error.what(), true);
    }
    return 1;
}
