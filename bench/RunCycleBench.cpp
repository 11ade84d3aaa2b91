// The edit-run cycle of a Flutter developer on the custom device, on the state that the main job
// leaves (build/dev/tests/run-example STATE_DIR), each step a whole torvex process as the Flutter
// tool starts it. Interleaved rounds of
//   (a) `torvex run --app-name hello` until the app prints its Dart VM service line, then ended
//       (timed: it should end the app within 1 s) in turn by `torvex stop`, until it returns, and
//       as Ctrl-C ends it (SIGTERM to its group, which torvex takes as SIGINT), until no Wine
//       process of the prefix is left;
//   (b) a cold `wine cmd /c C:\Torvex\Apps\hello\hello.exe` in the same prefix, with the runner's
//       environment, in the app's folder, until the same line;
//   (c) the run flow's steps in this process, for where the time of (a) goes: the prefix steps
//       (ensurePrefix, killAll), the settings (DPI, the server, theme) and the app's start until the line
//       (without the window-size helper);
//   (d) the whole run flow in this process (AppRunner::run, with the window-size helper) until the
//       line: (a) - (d) is the client, the socket and the service;
// each from a prefix with no Wine process. Then, alternating, the no-change
// `torvex build --bundle <project>/build/flutter_assets --app-name hello` against Ninja's no-op
// `ninja -C <work folder>/cmake-build`, and `torvex status` (a request the host answers: it is up)
// beside `/bin/true`, the cost of starting any program.
// Targets: (a) / (b) <= 1.3, build / ninja <= 1.0 (medians), torvex stop and Ctrl-C <= 1 s (medians).
// Prints the load average before and after: the machine may be shared.
// Usage: RunCycleBench STATE_DIR [rounds]   (default 9; the short steps run 15 times a round)
// Exits 0 when every target is met, 1 when one is missed, 2 when a step fails, 64 on bad usage.
#include "BenchProcess.h"
#include "BenchSupport.h"
#include "Build/FlutterProject.h"
#include "Build/Toolchain.h"
#include "Core/Environment.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/Profile.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "Runtime/AppRunner.h"
#include "Runtime/InstalledApp.h"
#include "Runtime/WindowsHelper.h"

#include "support/Spawn.h"
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"
#include "support/VirtualDisplay.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {
namespace fs = std::filesystem;
using namespace torvex;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using bench::Timed;
using bench::timedRun;
using bench::failWithOutput;

constexpr const char* appName = "hello";
constexpr const char* serviceLine = "The Dart VM service is listening on ";
constexpr int shortRepeats = 15;  // of the build, ninja and start-up steps in each round
constexpr double runTarget = 1.3, buildTarget = 1.0, stopTarget = 1.0;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string loadAverage() {
    const std::string text = testing::readFile("/proc/loadavg");
    const auto fields = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return text.substr(0, fields);
}

// Waits for the Dart VM service line among the lines a run hands over.
class ServiceLineWatch {
public:
    LineHandler sink() {
        return [state = state_](const OutputLine& line) {
            if (line.text.find(serviceLine) == std::string::npos) return;
            const std::lock_guard guard(state->lock);
            if (!state->seen) state->seen = Clock::now();
            state->changed.notify_all();
        };
    }
    // When the line came, or none within `limit`.
    std::optional<Clock::time_point> wait(std::chrono::seconds limit) {
        std::unique_lock guard(state_->lock);
        state_->changed.wait_for(guard, limit, [&] { return state_->seen.has_value(); });
        return state_->seen;
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::optional<Clock::time_point> seen;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

struct Series {
    const char* name;
    std::vector<double> values;
    void add(double value) { values.push_back(value); }
    double median() const { return bench::median(values); }
    double lowDecile() const { return bench::quantile(values, 0.1); }
};

void print(const Series& series, double scale, const char* unit) {
    const auto interval = bench::medianInterval(series.values);
    std::printf("  %-44s %8.2f %s  (95 %% interval %.2f-%.2f; 10 %% %.2f; %zu runs)\n", series.name,
                interval.median * scale, unit, interval.low * scale, interval.high * scale, series.lowDecile() * scale,
                series.values.size());
}

bool verdict(const char* name, double value, double target, const char* unit) {
    const bool met = value <= target;
    std::printf("%-46s %.2f %s, target <= %.2f: %s\n", name, value, unit, target, met ? "met" : "missed");
    return met;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: RunCycleBench STATE_DIR [rounds]\n"
                             "  STATE_DIR is the folder given to build/dev/tests/run-example, which must have run.\n");
        return 64;
    }
    char* shifted[] = {argv[0], argc == 3 ? argv[2] : nullptr};
    const int rounds = bench::countArgument(argc - 1, shifted, "RunCycleBench", "rounds", 9);
    const fs::path state = fs::absolute(argv[1]);
    const TorvexPaths paths{state / "Application Support", state / "Caches", state / "Logs"};
    const fs::path project = state / "projects" / appName, sdk = state / "flutter sdk";
    if (!fs::exists(project / "pubspec.yaml") || !fs::exists(paths.support / "config.json")) {
        std::fprintf(stderr, "RunCycleBench: %s holds no state of the main job.\n"
                             "  Fix: run build/dev/tests/run-example %s first.\n", state.c_str(), state.c_str());
        return 64;
    }
    if (!testing::VirtualDisplay::available()) {
        std::fprintf(stderr, "RunCycleBench: Xvfb is missing.\n  Fix: run scripts/bootstrap.\n");
        return 2;
    }
    std::printf("state %s; load average before: %s\n", state.c_str(), loadAverage().c_str());

    try {
        const testing::TempDir temp("/tmp");  // short: the socket path has a length limit
        const fs::path socket = temp / "torvex.sock", scratch = temp / "scratch";
        fs::create_directories(scratch);
        const auto display = testing::VirtualDisplay::start();
        if (!display) fail("Xvfb did not start");
        ::setenv("DISPLAY", display->name().c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        const char* path = std::getenv("PATH");
        const Environment torvexEnvironment{
            {"TORVEX_SUPPORT_DIR", paths.support.string()}, {"TORVEX_CACHES_DIR", paths.caches.string()},
            {"TORVEX_LOGS_DIR", paths.logs.string()},       {"TORVEX_SOCKET", socket.string()},
            {"HOME", (state / "home").string()},            {"XDG_CONFIG_HOME", ""},
            {"FLUTTER_ROOT", sdk.string()},
            {"PATH", (sdk / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        };
        testing::forgetTorvexVariables();
        // This process gets the same environment as the host it launches, so that (b), (c) and (d)
        // start Wine as the host does (its HOME is where Wine keeps its menu entries, for one).
        for (const auto& [name, value] : torvexEnvironment) ::setenv(name.c_str(), value.c_str(), 1);
        const testing::StateProcesses processes(socket, paths.support, scratch);  // its end stops the host
        const std::string torvex = testing::builtTorvex().string();

        // The state's own Wine, profile and app, as the service finds them.
        Environment environment = currentEnvironment();
        for (const auto& [name, value] : torvexEnvironment) environment[name] = value;
        const Profile profile = TorvexConfig::load(paths).currentProfile();
        const WineEnvironment wine = WineEnvironment::locate(paths, profile.id, environment);
        const InstalledApp app = InstalledApp::load(appName, wine);
        const AppRunner runner{wine, profile, std::nullopt};
        const fs::path helperExe = WindowsHelper::directory(paths) / "torvex-helper.exe";
        const AppRunner withHelper{wine, profile,
                                   fs::exists(helperExe) ? std::optional(WindowsHelper{helperExe}) : std::nullopt};
        const fs::path exe = app.executable(wine);
        const ProcessSpec bare{wine.wine(), {"cmd", "/c", wine.windowsPath(exe)},
                               wine.environment(runner.appEnvironment(AppRunner::engineSwitches(""))), exe.parent_path()};

        // (a): the whole `torvex run`, ended by `torvex stop` or as Ctrl-C ends it.
        const std::string prefixEntry = "WINEPREFIX=" + wine.prefix.string();
        const auto prefixRuns = [&] {
            return !processesWithEnvironmentEntry([&](std::string_view entry) { return entry == prefixEntry; }).empty();
        };
        const auto torvexRun = [&](Series& run, Series& ended, bool interrupt) {
            ServiceLineWatch watch;
            std::optional<std::int32_t> code;
            std::stop_source interruption;
            const auto start = Clock::now();
            std::thread attached([&] {
                code = ProcessRunner::shared().run(
                    ProcessSpec{torvex, {"run", "--app-name", appName}, torvexEnvironment, project}, watch.sink(),
                    interruption.get_token());
            });
            const auto seen = watch.wait(120s);
            const auto ending = Clock::now();
            std::optional<Timed> stopped;
            if (interrupt) interruption.request_stop();
            else stopped = timedRun({torvex, "stop"}, torvexEnvironment, project);
            attached.join();
            if (!seen) fail("`torvex run` printed no Dart VM service line within 120 s (it ended with " +
                            std::to_string(code.value_or(-1)) + ")");
            if (stopped && stopped->status != 0)
                failWithOutput("torvex stop", {torvex, "stop"}, torvexEnvironment, project, scratch);
            while (interrupt && prefixRuns()) {
                if (secondsSince(ending) > 30) fail("the prefix's Wine processes still ran 30 s after torvex run ended");
                std::this_thread::sleep_for(5ms);
            }
            run.add(std::chrono::duration<double>(*seen - start).count());
            ended.add(stopped ? stopped->wall : secondsSince(ending));
        };
        // (b): Wine's own start of the app.
        const auto bareRun = [&](Series& series) {
            ServiceLineWatch watch;
            std::stop_source end;
            const auto start = Clock::now();
            std::thread running([&] { ProcessRunner::shared().run(bare, watch.sink(), end.get_token()); });
            const auto seen = watch.wait(120s);
            end.request_stop();
            running.join();
            wine.killAll();
            if (!seen) fail("`wine cmd /c " + wine.windowsPath(exe) + "` printed no Dart VM service line within 120 s");
            series.add(std::chrono::duration<double>(*seen - start).count());
        };
        // (c): the run flow's steps, one by one.
        const auto steps = [&](Series& prefix, Series& settings, Series& appStart) {
            auto start = Clock::now();
            wine.ensurePrefix({});
            wine.killAll();
            prefix.add(secondsSince(start));
            start = Clock::now();
            wine.applyDPI(profile.dpi);
            wine.startServer();
            wine.applyTheme(profile.theme);
            settings.add(secondsSince(start));
            bareRun(appStart);
        };

        // (d): AppRunner::run in this process.
        const auto flow = [&](Series& series) {
            ServiceLineWatch watch;
            std::stop_source end;
            const auto start = Clock::now();
            std::thread running([&] { withHelper.run(app, AppRunner::engineSwitches(""), watch.sink(), end.get_token()); });
            const auto seen = watch.wait(120s);
            end.request_stop();
            running.join();
            if (!seen) fail("AppRunner::run of " + app.name + " printed no Dart VM service line within 120 s");
            series.add(std::chrono::duration<double>(*seen - start).count());
        };

        // Warm: the host is launched, and nothing of the main job's last run is left in the prefix.
        std::printf("warming up (launches the host)\n");
        wine.killAll();
        {
            Series run{"", {}}, stop{"", {}};
            torvexRun(run, stop, false);
        }

        Series runs{"(a) torvex run, until the service line", {}}, bares{"(b) cold wine cmd /c, until the same line", {}},
            stops{"torvex stop, until it returns", {}},
            interrupts{"Ctrl-C of torvex run, until nothing runs", {}}, prefixSteps{"(c) prefix steps: ensurePrefix, killAll", {}},
            settingSteps{"(c) settings: DPI, the server, theme", {}}, appStarts{"(c) app start, until the line", {}},
            flows{"(d) AppRunner::run in this process", {}};
        for (int round = 0; round < rounds; ++round) {
            wine.killAll();
            Series& ended = round % 2 == 0 ? stops : interrupts;
            if (round % 2 == 0) {
                torvexRun(runs, ended, false);
                bareRun(bares);
            } else {
                bareRun(bares);
                torvexRun(runs, ended, true);
            }
            steps(prefixSteps, settingSteps, appStarts);
            wine.killAll();
            flow(flows);
            std::fprintf(stderr, "round %d of %d: run %.3f s, bare %.3f s, %s %.3f s; steps %.3f + %.3f + %.3f s; "
                         "flow %.3f s\n", round + 1, rounds, runs.values.back(), bares.values.back(),
                         round % 2 == 0 ? "stop" : "Ctrl-C", ended.values.back(),
                         prefixSteps.values.back(), settingSteps.values.back(), appStarts.values.back(),
                         flows.values.back());
        }

        // The no-change build, beside Ninja's own no-op, and the start-up of the cycle's commands.
        const fs::path bundle = project / "build" / "flutter_assets";
        const fs::path work = paths.builds() / FlutterProject::discover(project).hash();
        if (!fs::exists(bundle)) {
            fs::create_directories(bundle.parent_path());
            fs::copy(work / "build" / "flutter_assets", bundle, fs::copy_options::recursive);
        }
        Environment withWrapper = environment;  // the toolchain is found with the bundle's compiler wrapper
        withWrapper["TORVEX_CC"] = (testing::builtBundle() / "Contents" / "Helpers" / "torvex-cc").string();
        const std::string ninja = Toolchain::locate(paths, withWrapper).ninja.string();
        const std::vector<std::string> build{torvex, "build", "--bundle", bundle.string(), "--app-name", appName},
            noop{ninja, "-C", (work / "cmake-build").string()}, status{torvex, "status"}, nothing{"/bin/true"};
        for (const auto* command : {&build, &noop, &status}) {  // warm, and each must succeed
            if (timedRun(*command, torvexEnvironment, project).status != 0)
                failWithOutput(command->at(1), *command, torvexEnvironment, project, scratch);
        }
        const auto noopOutput = testing::spawnAndWait({ninja, noop, project, {}}, scratch).out;
        if (noopOutput.find("no work to do") == std::string::npos) fail("ninja has work to do: " + noopOutput);
        // `torvex status` answers by itself when no host does: the host must be up throughout.
        const auto requireHostAnswers = [&] {
            const auto answer = testing::spawnAndWait({torvex, status, project, torvexEnvironment}, scratch).out;
            if (answer.find("not running") != std::string::npos || answer.find("\"profile\"") == std::string::npos)
                fail("the host does not answer `torvex status`: " + answer);
        };
        requireHostAnswers();

        Series builds{"torvex build --bundle, nothing changed", {}}, ninjas{"ninja -C <work>/cmake-build, no-op", {}},
            statuses{"torvex status (the host answers)", {}}, trues{"/bin/true", {}};
        const int shortRuns = rounds * shortRepeats;
        bench::alternate({"torvex build", build, builds.values}, {"ninja", noop, ninjas.values}, shortRuns,
                         torvexEnvironment, project, scratch);
        bench::alternate({"torvex status", status, statuses.values}, {"/bin/true", nothing, trues.values}, shortRuns,
                         torvexEnvironment, project, scratch);
        requireHostAnswers();

        std::printf("load average after: %s\n", loadAverage().c_str());
        std::printf("run cycle (medians):\n");
        for (const Series* series : {&runs, &bares, &stops, &interrupts, &prefixSteps, &settingSteps, &appStarts, &flows})
            print(*series, 1, "s");
        const double stepsTotal = prefixSteps.median() + settingSteps.median() + appStarts.median();
        std::printf("  (d) - (c): the window-size helper beside the app's start, %.3f s\n", flows.median() - stepsTotal);
        std::printf("  (a) - (d): the client, the socket and the service, %.3f s\n", runs.median() - flows.median());
        std::printf("build and start-up (medians):\n");
        for (const Series* series : {&builds, &ninjas, &statuses, &trues}) print(*series, 1e3, "ms");

        bool met = verdict("run: (a) / (b)", runs.median() / bares.median(), runTarget, "");
        met = verdict("no-change build: torvex build / ninja", builds.median() / ninjas.median(), buildTarget, "") && met;
        met = verdict("torvex stop", stops.median(), stopTarget, "s") && met;
        if (!interrupts.values.empty()) met = verdict("Ctrl-C of torvex run", interrupts.median(), stopTarget, "s") && met;
        return met ? 0 : 1;
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "RunCycleBench: %s\n", error.description().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "RunCycleBench: %s\n", error.what());
    }
    return 2;
}
