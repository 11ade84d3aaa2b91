// The built torvex and the host it launches from the build-tree bundle, building examples/hello
// and running it under real Wine, as a user and the Flutter tool run them.
#include "Core/Base64.h"
#include "Core/TextPattern.h"
#include "Setup/CustomDeviceRegistration.h"
#include "support/BuildRig.h"
#include "support/DecodedPNG.h"
#include "support/Eventually.h"
#include "support/RealWineTest.h"
#include "support/StandInView.h"
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* serviceLine = "The Dart VM service is listening on ";

// The example project with its build rig, the real Wine prefix of the test run as the default
// profile's, and the built torvex whose host comes from its bundle and ends with the test.
class WineEndToEndTest : public RealWineTest {
protected:
    void SetUp() override {
        RealWineTest::SetUp();
        if (IsSkipped()) return;
        if (auto why = BuildRig::missingTool()) GTEST_SKIP() << *why;
        rig_.emplace(real->folder());
        fs::create_directory_symlink(RealWine::sharedPrefix(), rig_->paths().support / "prefixes" / "default");
        torvex_.emplace(real->folder());
        torvex_->environment.erase("TORVEX_APP");
        torvex_->environment["TORVEX_SUPPORT_DIR"] = rig_->paths().support.string();
        torvex_->environment["TORVEX_CACHES_DIR"] = rig_->paths().caches.string();
        torvex_->environment["TORVEX_LOGS_DIR"] = rig_->paths().logs.string();
        torvex_->environment["TORVEX_WINE_BIN"] = "/usr/bin";
        torvex_->environment["FLUTTER_ROOT"] = rig_->sdkRoot().string();
        torvex_->cwd = rig_->project();
        processes_.emplace(torvex_->socket(), rig_->paths().support, real->folder() / "output");
    }

    TorvexProgram& torvex() { return *torvex_; }
    const BuildRig& rig() const { return *rig_; }
    const StateProcesses& processes() const { return *processes_; }

    // Starts `arguments` (the program first) with both streams into a file; answers its pid.
    pid_t startWithOutputIn(const std::vector<std::string>& arguments, const fs::path& file) {
        TorvexProgram program = torvex();
        program.program = arguments.front();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0);
        const pid_t pid = program.start({arguments.begin() + 1, arguments.end()}, fd);
        ::close(fd);
        started_.push_back(pid);
        return pid;
    }

    // The app's process in the prefix, while it runs.
    std::optional<FoundProcess> app() const {
        for (const FoundProcess& process : processes_->all()) {
            if (process.commandLine.find("hello.exe") != std::string::npos) return process;
        }
        return std::nullopt;
    }
    bool appRuns() const { return app().has_value(); }

    std::string hostLog() const { return readFile(rig_->paths().logs / "torvex-host.log"); }

    void TearDown() override {
        for (const pid_t pid : started_) exitStatusWithin(pid, 0ms);  // kills one still running
    }

private:
    std::optional<BuildRig> rig_;
    std::optional<TorvexProgram> torvex_;
    std::optional<StateProcesses> processes_;  // after the others: the host ends before its Wine and display
    std::vector<pid_t> started_;
};

// The Flutter tool's way of filling a command's placeholders.
std::vector<std::string> filledIn(const nlohmann::json& command, const std::map<std::string, std::string>& values) {
    std::vector<std::string> arguments;
    for (const auto& word : command) {
        std::string text = word.get<std::string>();
        for (const auto& [placeholder, value] : values) {
            for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
                text.replace(at, placeholder.size(), value);
            }
        }
        arguments.push_back(text);
    }
    return arguments;
}

} // namespace

TEST_F(WineEndToEndTest, CtrlCDuringRunEndsTheAppAndTorvexWithStatusZero) {
    const SpawnResult built = torvex().run({"build"});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const SpawnResult installed = torvex().run({"install", "--app-name", "hello_interrupted"});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    const fs::path output = torvex().root / "run.log";
    const pid_t pid = startWithOutputIn({torvex().program.string(), "run", "--app-name", "hello_interrupted"}, output);
    ASSERT_TRUE(eventually([&] { return readFile(output).find(serviceLine) != std::string::npos; }, 180s))
        << readFile(output) << hostLog();
    ASSERT_TRUE(appRuns());

    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(exitStatusWithin(pid, 60s), 0) << readFile(output);
    EXPECT_TRUE(eventually([&] { return !appRuns(); }, 30s)) << "the app outlived torvex run";
    EXPECT_TRUE(eventually([&] { return hostLog().find("hello exited (code 143)") != std::string::npos; }, 30s))
        << hostLog();
}

TEST_F(WineEndToEndTest, TheCustomDeviceCommandsRunAsTheFlutterToolRunsThem) {
    const nlohmann::json entry = CustomDeviceRegistration::deviceEntry(builtTorvex().string());
    const std::map<std::string, std::string> values{
        {"${localPath}", "build/flutter_assets"},
        {"${appName}", "hello"},
        {"${engineOptions}", "--enable-dart-profiling=true --enable-checked-mode=true --verify-entry-points=true"},
    };
    const auto run = [&](const char* key) {
        TorvexProgram program = torvex();
        const auto arguments = filledIn(entry.at(key), values);
        program.program = arguments.front();
        return program.run({arguments.begin() + 1, arguments.end()});
    };
    // The Flutter tool builds the Dart bundle before postBuild.
    const SpawnResult bundle = spawnAndWait({rig().sdkRoot() / "bin" / "flutter",
                                             {"flutter", "build", "bundle", "--debug", "--asset-dir=build/flutter_assets"},
                                             rig().project(), {}},
                                            torvex().root / "output");
    ASSERT_EQ(bundle.status, 0) << bundle.err;

    const SpawnResult ping = run("ping");
    EXPECT_TRUE(TextPattern(entry.at("pingSuccessRegex").get<std::string>()).firstMatch(ping.out)) << ping.out << ping.err;
    const SpawnResult built = run("postBuild");
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const SpawnResult installed = run("install");
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    const fs::path appFolder = rig().paths().support / "prefixes" / "default" / "drive_c" / "Torvex" / "Apps" / "hello";
    EXPECT_TRUE(fs::exists(appFolder / "hello.exe"));

    const fs::path output = torvex().root / "runDebug.log";
    const pid_t pid = startWithOutputIn(filledIn(entry.at("runDebug"), values), output);
    ASSERT_TRUE(eventually([&] { return readFile(output).find(serviceLine) != std::string::npos; }, 180s))
        << readFile(output) << hostLog();
    const auto running = app();
    ASSERT_TRUE(running);
    const std::string environment = readFile("/proc/" + std::to_string(running->identity.pid) + "/environ");
    for (const char* variable : {"FLUTTER_ENGINE_SWITCH_1=enable-dart-profiling=true",
                                 "FLUTTER_ENGINE_SWITCH_3=verify-entry-points=true"}) {
        EXPECT_NE(environment.find(std::string(variable) + '\0'), std::string::npos) << variable;
    }

    // A picture of the app's window, once it has painted the engine's view.
    std::optional<DecodedPNG> png;
    std::optional<std::string> mismatch;
    SpawnResult screenshot;
    eventually([&] {
        screenshot = run("screenshot");
        const auto bytes = decodedBase64(screenshot.out);
        png = screenshot.status == 0 && bytes ? decodePNG(*bytes) : std::nullopt;
        mismatch = png ? standInViewMismatch(*png) : std::nullopt;
        return png && !mismatch;
    }, 60s);
    ASSERT_TRUE(png) << screenshot.out.substr(0, 200) << screenshot.err << hostLog();
    EXPECT_FALSE(mismatch) << *mismatch;

    // The Flutter tool ends the run command with SIGTERM when `flutter run` quits.
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(exitStatusWithin(pid, 60s), 0) << readFile(output);
    EXPECT_TRUE(eventually([&] { return !appRuns(); }, 30s)) << "the app outlived the run command";

    const SpawnResult uninstalled = run("uninstall");
    EXPECT_EQ(uninstalled.status, 0) << uninstalled.err;
    EXPECT_FALSE(fs::exists(appFolder));
}
