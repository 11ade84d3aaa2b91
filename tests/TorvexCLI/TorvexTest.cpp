// The built torvex against a scripted stand-in for the service on TORVEX_SOCKET.
#include "Core/Profile.h"
#include "Service/Messages.h"
#include "Service/UnixSocket.h"
#include "Setup/Components.h"
#include "support/FakeFlutterSDK.h"
#include "support/FakeHost.h"
#include "support/FakeWine.h"
#include "support/IPCFixture.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Arguments = IPCRequest::Arguments;
using std::chrono_literals::operator""ms;

namespace {

constexpr OutputStreamKind out = OutputStreamKind::standardOutput;
constexpr OutputStreamKind err = OutputStreamKind::standardError;

// A torvex kept in a fresh folder, with the stand-in service answering on its socket.
struct Rig {
    TempDir temp;
    TorvexProgram torvex{temp.path()};
    FakeHost host{torvex.socket()};
    fs::path project = temp / "work" / "project";

    Rig() {
        fs::create_directories(project / "build" / "flutter_assets");
        fs::create_directories(temp / "work" / "demo");
        torvex.cwd = project;
    }

    std::string flutterRoot() const { return torvex.environment.at("FLUTTER_ROOT"); }
};

Arguments withRoot(Arguments arguments, const Rig& rig) {
    arguments.flutterRoot = rig.flutterRoot();
    return arguments;
}

} // namespace

TEST(TorvexTest, EveryRemoteCommandSendsItsWordAndArguments) {
    Rig rig;
    const std::string project = rig.project.string();
    const std::string bundle = (rig.project / "build" / "flutter_assets").string();
    const std::string demo = (rig.temp / "work" / "demo").string();
    struct Case {
        std::vector<std::string> arguments;
        std::string word;
        Arguments sent;
    };
    const Case cases[] = {
        {{"build"}, "build", {.project = project}},
        {{"build", "--bundle", "build/flutter_assets", "--app-name", "demo"}, "build",
         {.project = bundle, .bundle = bundle}},
        {{"build", "../demo/./"}, "build", {.project = demo}},
        {{"build", "../demo", "--bundle=build/flutter_assets/"}, "build", {.project = demo, .bundle = bundle}},
        {{"install", "--app-name", "demo"}, "install", {.bundle = project, .appName = "demo"}},
        {{"install", "--app-name=demo", "--bundle", "./build/../build/flutter_assets"}, "install",
         {.bundle = bundle, .appName = "demo"}},
        {{"uninstall", "--app-name", "demo"}, "uninstall", {.appName = "demo"}},
        {{"run", "--app-name", "demo"}, "run", {.appName = "demo", .engineOptions = ""}},
        {{"run", "--app-name", "demo", "--engine-options="}, "run", {.appName = "demo", .engineOptions = ""}},
        {{"run", "--app-name", "demo", "--engine-options=--enable-dart-profiling=true --verbose-logging"}, "run",
         {.appName = "demo", .engineOptions = "--enable-dart-profiling=true --verbose-logging"}},
        {{"screenshot", "--output", "shot.png"}, "screenshot", {}},
        {{"open"}, "open", {.project = project}},
        {{"open", "../demo/."}, "open", {.project = demo}},
        {{"stop"}, "stop", {}},
        {{"status"}, "status", {}},
        {{"profile", "use", "dark mode"}, "profile-use", {.profile = "dark mode"}},
        {{"profile", "create", "My Phone"}, "profile-create", {.name = "My Phone"}},
        {{"profile", "delete", "my-phone"}, "profile-delete", {.profile = "my-phone"}},
        {{"profile", "set"}, "profile-set", {}},
        {{"update-check"}, "update-check", {}},
    };
    std::size_t sent = 0;
    for (const Case& test : cases) {
        const SpawnResult result = rig.torvex.run(test.arguments);
        const std::string line = test.arguments.front() + (test.arguments.size() > 1 ? " " + test.arguments[1] : "");
        EXPECT_EQ(result.status, 0) << line << ": " << result.err;
        ASSERT_EQ(rig.host.requests().size(), ++sent) << line;
        const IPCRequest request = rig.host.requests().back();
        EXPECT_EQ(request.cmd, test.word) << line;
        EXPECT_EQ(request.args, withRoot(test.sent, rig)) << line << ": " << encode(request);
        EXPECT_EQ(request.id.size(), 36u);
    }
}

TEST(TorvexTest, SetOptionsGoOutAsGiven) {
    Rig rig;
    const SpawnResult result =
        rig.torvex.run({"profile", "set", "--dpi", "0144", "--width=1920", "--height=-1", "--theme", "dim", "--locale",
                        "ar-SA"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(rig.host.requests().at(0).args,
              withRoot({.dpi = 144, .width = 1920, .height = -1, .theme = "dim", .locale = "ar-SA"}, rig));
}

TEST(TorvexTest, RunResultsBecomeExitStatuses) {
    Rig rig;
    const std::pair<std::optional<std::string>, int> cases[] = {
        {"3", 3}, {"", 0}, {" 3", 0}, {"-1", 255}, {"256", 1}, {std::nullopt, 0}, {"3x", 0}, {"4294967299", 0},
    };
    for (const auto& [value, status] : cases) {
        rig.host.reply("run", {.result = value});
        const SpawnResult result = rig.torvex.run({"run", "--app-name", "demo"});
        EXPECT_EQ(result.status, status) << value.value_or("(none)");
        EXPECT_EQ(result.out + result.err, "") << value.value_or("(none)");
    }
}

TEST(TorvexTest, LogLinesAreRelayedToTheirStreamAsTheyCame) {
    Rig rig;
    rig.host.reply("build", {.lines = {{out, "Torvex: Building demo"}, {err, "warning: unused"}, {out, ""},
                                       {out, "  spaced  "}, {err, "\u00B7 done"}},
                             .result = "/cache/out"});
    const SpawnResult result = rig.torvex.run({"build"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Torvex: Building demo\n\n  spaced  \n/cache/out\n");
    EXPECT_EQ(result.err, "warning: unused\n\u00B7 done\n");
}

TEST(TorvexTest, ResultsThatCommandsPrint) {
    Rig rig;
    rig.host.reply("profile-create", {.result = "my-phone-2"});
    rig.host.reply("status", {.result = R"({"profile":"default","status":"Idle"})"});
    rig.host.reply("update-check", {.result = "0.1.3"});
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"profile", "create", "My Phone"}, "my-phone-2\n"},
        {{"status"}, "{\"profile\":\"default\",\"status\":\"Idle\"}\n"},
        {{"update-check"}, "Torvex 0.1.3: checking for updates\n"},
        {{"stop"}, ""},
        {{"build"}, ""},  // no value, nothing printed
    };
    for (const auto& [arguments, printed] : cases) {
        const SpawnResult result = rig.torvex.run(arguments);
        EXPECT_EQ(result.status, 0) << arguments.front();
        EXPECT_EQ(result.out, printed) << arguments.front();
    }
    rig.host.reply("profile-create", {});
    rig.host.reply("status", {});
    rig.host.reply("update-check", {});
    EXPECT_EQ(rig.torvex.run({"profile", "create", "x"}).out, "\n");
    EXPECT_EQ(rig.torvex.run({"status"}).out, "{}\n");
    EXPECT_EQ(rig.torvex.run({"update-check"}).out, "Torvex ?: checking for updates\n");
}

TEST(TorvexTest, TheServicesErrorIsPrintedAndItsKindIsTheStatus) {
    Rig rig;
    const std::pair<TorvexError, int> cases[] = {
        {TorvexError(TorvexError::Kind::buildFailed, "The build failed.", "cmake exited 1", "See the log."), 4},
        {TorvexError(TorvexError::Kind::usage, "Missing appName.", "", ""), 2},
        {TorvexError(TorvexError::Kind::unsupported, "No.", "", ""), 5},
    };
    for (const auto& [error, status] : cases) {
        for (const std::string word : {"build", "status", "profile-use"}) {
            rig.host.reply(word, {.error = error});
        }
        for (const std::vector<std::string>& arguments :
             {std::vector<std::string>{"build"}, {"status"}, {"profile", "use", "x"}}) {
            const SpawnResult result = rig.torvex.run(arguments);
            EXPECT_EQ(result.status, status) << arguments.front();
            EXPECT_EQ(result.err, "error: " + error.description() + "\n") << arguments.front();
            EXPECT_EQ(result.out, "");
        }
    }
}

TEST(TorvexTest, AVersionThatDoesNotFitIsRefused) {
    Rig rig;
    // A copy of torvex in a bundle of version 1.0 meets the 0.1.0 service.
    const fs::path bundle = rig.temp / "Newer.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::copy_file(rig.torvex.program, bundle / "Contents" / "MacOS" / "torvex");
    writeInfoPlist(bundle, versionEntry("1.0"));
    rig.torvex.program = bundle / "Contents" / "MacOS" / "torvex";

    const std::string expected =
        "error: Update Torvex.\n"
        "  Why: The torvex CLI (1.0) and the Torvex host (0.1.0) don't match.\n"
        "  Fix: Install the latest Torvex and run `torvex setup --register` again.\n";
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"stop"}, {"status"}}) {
        const SpawnResult result = rig.torvex.run(arguments);
        EXPECT_EQ(result.status, 1) << arguments.front();
        EXPECT_EQ(result.err, expected) << arguments.front();
    }
    const SpawnResult version = rig.torvex.run({"version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "torvex 1.0\n");  // no line for an app that does not fit
    EXPECT_TRUE(rig.host.requests().empty());
}

TEST(TorvexTest, StatusWithoutAServiceLaunchesNothing) {
    TempDir temp;
    TorvexProgram torvex(temp.path());
    // A bundle whose host would leave a record if it were started.
    const fs::path bundle = temp / "Torvex.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::create_symlink(STAND_IN_HOST, bundle / "Contents/MacOS/torvex-host");
    torvex.environment["TORVEX_APP"] = bundle.string();
    torvex.environment["STAND_IN_HOST_RECORD"] = (temp / "host-record").string();

    const SpawnResult result = torvex.run({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"status\":\"Torvex is not running\"}\n");
    EXPECT_EQ(result.err, "");
    // A path that no socket can have is said as stop says it, not as a service that is not running.
    const std::string tooLong = (temp / std::string(120, 's')).string();
    torvex.environment["TORVEX_SOCKET"] = tooLong;
    const SpawnResult refused = torvex.run({"status"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "error: The Torvex socket path is too long.\n"
                           "  Why: Torvex socket paths are limited to 103 bytes: " + tooLong + "\n"
                           "  Fix: Set TORVEX_SOCKET to a shorter path, e.g. /tmp/torvex-" + std::to_string(::getuid()) +
                           ".sock.\n");
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(temp / "host-record"));
    EXPECT_FALSE(fs::exists(torvex.logs() / "torvex-host.log"));
}

TEST(TorvexTest, ScreenshotsAreWrittenExactlyOrNotAtAll) {
    Rig rig;
    const std::string png = "iVBORw0KGgo=";
    const fs::path file = rig.project / "shot.png";
    struct Case {
        std::optional<std::string> value;
        std::vector<std::string> arguments;
        std::string out;
        std::optional<std::string> written;  // none: no file
    };
    const Case cases[] = {
        {png, {"screenshot", "--stdout"}, png, std::nullopt},
        {png, {"screenshot", "--output", "shot.png"}, "", std::string("\x89PNG\r\n\x1a\n", 8)},
        {png, {"screenshot", "--stdout", "--output", file.string()}, png, std::string("\x89PNG\r\n\x1a\n", 8)},
        {"not base64!", {"screenshot", "--stdout", "--output", "shot.png"}, "not base64!", std::nullopt},
        {png + "\n", {"screenshot", "--output", "shot.png"}, "", std::nullopt},
        {std::nullopt, {"screenshot", "--output", "shot.png"}, "", ""},
        {png, {"screenshot"}, "", std::nullopt},
    };
    for (const Case& test : cases) {
        fs::remove(file);
        rig.host.reply("screenshot", {.result = test.value});
        const SpawnResult result = rig.torvex.run(test.arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, test.out);
        EXPECT_EQ(fs::exists(file) ? std::optional<std::string>(readFile(file)) : std::nullopt, test.written)
            << test.value.value_or("(none)");
    }
    // A file that cannot be written is the parser's error, and nothing is left behind.
    rig.host.reply("screenshot", {.result = png});
    fs::create_directories(rig.project / "taken.png");
    const SpawnResult blocked = rig.torvex.run({"screenshot", "--output", "taken.png"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(blocked.err.starts_with("Error: ")) << blocked.err;
    EXPECT_TRUE(fs::is_directory(rig.project / "taken.png"));

    // A folder that is not there is named as such, before the service is asked for anything.
    const std::size_t asked = rig.host.requests().size();
    const struct {
        std::string output;
        std::string folder;
        std::string why;
    } refused[] = {
        {(rig.temp / "missing" / "folder" / "x.png").string(), (rig.temp / "missing" / "folder").string(),
         "does not exist."},
        {"shot.png/x.png", (rig.project / "shot.png").string(), "is not a folder."},
    };
    writeFile(file, "a file, not a folder");
    for (const auto& test : refused) {
        const SpawnResult result = rig.torvex.run({"screenshot", "--stdout", "--output", test.output});
        const std::string written = (fs::path(test.folder) / "x.png").string();
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Error: Could not write the screenshot to " + written + ".\n  Why: " + test.folder + " " +
                                  test.why + "\n  Fix: Give --output a file in a folder that exists, or create the "
                                             "folder first.\n");
    }
    EXPECT_EQ(rig.host.requests().size(), asked);
    EXPECT_FALSE(fs::exists(rig.temp / "missing"));
}

TEST(TorvexTest, ExitStatusesOfTheCommandLine) {
    Rig rig;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;  // the start of standard output
        std::string err;  // the start of standard error
    };
    const Case cases[] = {
        {{}, 0, "OVERVIEW: Test your Flutter apps on Windows, right on Linux.\n", ""},
        {{"--version"}, 0, "0.1.0\n", ""},
        {{"help", "profile", "set"}, 0, "OVERVIEW: Change the current profile.", ""},
        {{"profile"}, 0, "OVERVIEW: Manage simulator profiles", ""},
        {{"run", "--help"}, 0, "OVERVIEW: Run an installed app", ""},
        {{"run"}, 64, "", "Error: --app-name is required.\nUsage: torvex run --app-name <app-name>"},
        {{"install"}, 64, "", "Error: --app-name is required.\nUsage: torvex install"},
        {{"run", "--appname", "x"}, 64, "",
         "Error: '--appname' is not an option of 'torvex run'. 'x' is not expected: 'torvex run' takes no arguments. "
         "--app-name is required.\nUsage: torvex run"},
        {{"run", "--appname=x"}, 64, "",
         "Error: '--appname=x' is not an option of 'torvex run'. --app-name is required.\nUsage: torvex run"},
        {{"uninstall", "--app-name"}, 64, "", "Error: Missing value for '--app-name <app-name>'."},
        {{"run", "--app-name", "demo", "--engine-options", "--x"}, 64, "", "Error: Missing value for '--engine-options"},
        {{"frobnicate"}, 64, "", "Error: "},
        {{"forward", "08080", "8080"}, 0, "forwarded\n", ""},
        {{"forward", "8080", "9090"}, 1, "",
         "Torvex apps use this machine's network directly; host port 8080 must equal device port 9090.\n"},
        {{"forward", "x", "1"}, 64, "", "Error: "},
        {{"forward", "1"}, 64, "", "Error: "},
        {{"profile", "set", "--height", "-1"}, 64, "",
         "Error: Missing value for '--height <height>': '-1' is taken for an option; give a value that begins with "
         "'-' as '--height=-1'.\nUsage: torvex profile set"},
        {{"setup", "--register", "--unregister"}, 64, "",
         "Error: '--unregister' and '--register' cannot be given together: give one of them.\nUsage: torvex setup"},
        {{"update-check", "--help"}, 0, "OVERVIEW: Check for Torvex updates in the background.", ""},
    };
    for (const Case& test : cases) {
        const SpawnResult result = rig.torvex.run(test.arguments);
        const std::string line = test.arguments.empty() ? "(none)" : test.arguments.front();
        EXPECT_EQ(result.status, test.status) << line << ": " << result.err;
        EXPECT_TRUE(result.out.starts_with(test.out)) << line << ": " << result.out;
        EXPECT_TRUE(result.err.starts_with(test.err)) << line << ": " << result.err;
        if (test.status == 64) {
            EXPECT_NE(result.err.find("\nUsage: torvex"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(rig.host.requests().empty());
}

TEST(TorvexTest, OutputThatCannotBeWrittenFailsWithOneLine) {
    TempDir temp;
    const TorvexProgram torvex(temp.path());
    for (const std::string redirect : {">/dev/full", ">&-"}) {
        for (const std::string command : {"status", "profile list", "--version", "help"}) {
            SCOPED_TRACE(command + " " + redirect);
            const SpawnResult result = spawnAndWait(
                {"/bin/sh", {"sh", "-c", "exec \"$0\" " + command + " " + redirect, torvex.program.string()}, std::nullopt,
                 torvex.environment},
                temp.path());
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, std::string("error: could not write to standard output: ") +
                                      (redirect == ">&-" ? "Bad file descriptor" : "No space left on device") + ".\n");
        }
    }
}

TEST(TorvexTest, AFileSystemErrorIsSaidAsWhatWhyAndFix) {
    TempDir temp;
    TorvexProgram torvex(temp.path());
    writeFile(torvex.logs(), "a file where the logs folder goes");
    const SpawnResult result = torvex.run({"report"});
    EXPECT_EQ(result.status, 1);
    const std::string folder = (torvex.logs() / "Reports").string();
    EXPECT_TRUE(result.err.starts_with("Error: Could not create directories.\n  Why: " + folder)) << result.err;
    EXPECT_NE(result.err.find(": Not a directory.\n  Fix: Check " + folder), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("filesystem error"), std::string::npos) << result.err;
}

TEST(TorvexTest, ProfileListReadsTheFileWithoutTheService) {
    TempDir temp;
    TorvexProgram torvex(temp.path());
    EXPECT_EQ(torvex.run({"profile", "list"}).out,
              "* default  Windows 11  (1280\u00D7720 \u00B7 100 % \u00B7 Light \u00B7 en-US)\n");

    TorvexConfig config;
    config.profiles.push_back(Profile{"arabic", "Arabic RTL", 144, 1920, 1080, Profile::Theme::dark, "ar-SA"});
    config.currentProfileID = "arabic";
    config.save(TorvexPaths{torvex.support(), temp / "caches", torvex.logs()});
    const SpawnResult listed = torvex.run({"profile", "list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out,
              "  default  Windows 11  (1280\u00D7720 \u00B7 100 % \u00B7 Light \u00B7 en-US)\n"
              "* arabic  Arabic RTL  (1920\u00D71080 \u00B7 150 % \u00B7 Dark \u00B7 ar-SA)\n");

    config.currentProfileID = "gone";
    config.save(TorvexPaths{torvex.support(), temp / "caches", torvex.logs()});
    EXPECT_EQ(torvex.run({"profile", "list"}).out.find('*'), std::string::npos);

    // Names that would move the cursor, ring or turn the text around are shown escaped.
    config.profiles = {Profile{"x\x1B", "\x1B[2J\a Büro \u202Egnp.exe\u200B\U0001D173", 96, 1280, 720,
                               Profile::Theme::light, "de-DE\r"}};
    config.save(TorvexPaths{torvex.support(), temp / "caches", torvex.logs()});
    EXPECT_EQ(torvex.run({"profile", "list"}).out,
              "  x\\u001B  \\u001B[2J\\u0007 Büro \\u202Egnp.exe\\u200B\\U0001D173  "
              "(1280\u00D7720 \u00B7 100 % \u00B7 Light \u00B7 de-DE\\u000D)\n");
}

TEST(TorvexTest, ARequestInterruptedBySignalEndsCleanly) {
    // SIGINT, SIGTERM and SIGHUP during build, run or open hang up on the service and exit 0
    // without a word; during stop (not interruptible) the signal ends torvex as usual.
    struct Case {
        std::vector<std::string> arguments;
        std::string word;
        int signal;
        int status;
    };
    const Case cases[] = {
        {{"run", "--app-name", "demo"}, "run", SIGINT, 0},
        {{"build"}, "build", SIGTERM, 0},
        {{"open"}, "open", SIGHUP, 0},
        {{"stop"}, "stop", SIGINT, 128 + SIGINT},
    };
    for (const Case& test : cases) {
        Rig rig;
        rig.host.reply(test.word, {.result = "7", .waitForHangUp = true});
        const fs::path output = rig.temp / "output.txt";
        const int outputFD = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid = rig.torvex.start(test.arguments, outputFD);
        ::close(outputFD);

        ASSERT_TRUE(rig.host.waitForRequests(1)) << test.word;
        ::kill(pid, test.signal);
        EXPECT_EQ(exitStatusWithin(pid, std::chrono::seconds(20)), test.status) << test.word;
        EXPECT_EQ(readFile(output), "") << test.word;  // the hang-up stops the reply; nothing more is printed
        EXPECT_TRUE(rig.host.waitForHangUps(1)) << test.word;
    }
}

TEST(TorvexTest, PingAndVersionLookLocally) {
    Rig rig;
    const SpawnResult noToolchain = rig.torvex.run({"ping"});
    EXPECT_EQ(noToolchain.status, 1);
    EXPECT_EQ(noToolchain.out, "");
    EXPECT_EQ(noToolchain.err, "The Windows build toolchain is not installed.\n"
                               "  Why: No llvm-mingw found in " + (rig.torvex.support() / "toolchain").string() + ".\n"
                               "  Fix: Run `torvex setup` to download it.\n");

    const fs::path toolchain = rig.torvex.support() / "toolchain" / "v1";
    for (const char* tool : {"llvm-mingw/bin/x86_64-w64-mingw32-clang", "cmake/bin/cmake", "bin/ninja"})
        writeScript(toolchain / tool, "exit 0\n");
    writeScript(rig.temp / "torvex-cc", "exit 0\n");
    rig.torvex.environment["TORVEX_CC"] = (rig.temp / "torvex-cc").string();
    const SpawnResult noWine = rig.torvex.run({"ping"});
    EXPECT_EQ(noWine.status, 1);
    EXPECT_TRUE(noWine.err.starts_with("Wine is not installed.\n  Why: ")) << noWine.err;

    FakeWine wine(rig.temp / "fake wine");
    wine.behave("wine --version", {.standardOutput = {"  wine-8.0 (Debian 8.0~repack-4)  "}, .exitCode = 1});
    rig.torvex.environment["TORVEX_WINE_BIN"] = wine.bin().string();
    const SpawnResult ready = rig.torvex.run({"ping"});
    EXPECT_EQ(ready.status, 0) << ready.err;
    EXPECT_EQ(ready.out, "ready\n");

    const SpawnResult version = rig.torvex.run({"version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "torvex 0.1.0\n"
                           "torvex-host 0.1.0 (running)\n"
                           "wine wine-8.0 (Debian 8.0~repack-4) (DXVK: not available on this system (optional))\n"
                           "toolchain llvm-mingw v1, cmake " + (toolchain / "cmake/bin/cmake").string() + "\n");
    EXPECT_EQ(wine.calls().back().environment.count("WINEPREFIX"), 0u);  // no prefix for `wine --version`
    EXPECT_TRUE(rig.host.requests().empty());  // neither sends anything

    // The toolchain that setup makes from the distribution's packages shows their version, as the
    // doctor does; DXVK installed but turned off is off.
    fs::rename(toolchain, rig.torvex.support() / "toolchain" / "20261020");
    writeFile(rig.torvex.support() / "dxvk/1.10.3/x64/d3d11.dll", "");
    writeFile(rig.torvex.support() / "dxvk/1.10.3/x64/d3d10core.dll", "");
    rig.torvex.environment["TORVEX_D3D"] = "wined3d";
    const std::string packages = Components::all().front().shownVersion().value_or("20261020");
    EXPECT_NE(rig.torvex.run({"version"}).out.find("(DXVK: off)\ntoolchain llvm-mingw " + packages + ", cmake "),
              std::string::npos);

    TempDir alone;
    EXPECT_EQ(TorvexProgram(alone.path()).run({"version"}).out, "torvex 0.1.0\n");
}

TEST(TorvexTest, ComponentsAreListedAsTextOrAsTheManifest) {
    Rig rig;
    const SpawnResult text = rig.torvex.run({"components"});
    EXPECT_EQ(text.status, 0);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = text.out.find("  [missing]  ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 4u) << text.out;
    EXPECT_TRUE(text.out.ends_with("\nDXVK (Direct3D 11 \u2192 Vulkan)  [not available on this system (optional)]  zlib\n"))
        << text.out;

    const SpawnResult manifest = rig.torvex.run({"components", "--json"});
    EXPECT_EQ(manifest.status, 0);
    ASSERT_TRUE(manifest.out.ends_with("]\n"));
    EXPECT_EQ(manifest.out.find('\n'), manifest.out.size() - 1);  // one line
    for (std::size_t at = manifest.out.find('/'); at != std::string::npos; at = manifest.out.find('/', at + 1))
        EXPECT_EQ(manifest.out[at - 1], '\\') << "an unescaped slash at " << at;
    const auto parsed = nlohmann::json::parse(manifest.out);
    ASSERT_EQ(parsed.size(), 5u);
    for (const auto& component : parsed) {
        EXPECT_EQ(component.size(), 7u);
        EXPECT_TRUE(component.at("size").is_string());
    }
    EXPECT_TRUE(manifest.out.starts_with("[{\"id\":\"llvm-mingw\",\"licence\":")) << manifest.out;
    // What this platform installs: the distribution's packages and their installed versions.
    const struct {
        const char* url;
    } packages[] = {{"apt:clang,lld,llvm,g++-mingw-w64-x86-64-posix"}, {"apt:cmake"}, {"apt:ninja-build"}, {"apt:wine,wine64"}, {""}};
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        const Component& component = Components::all()[i];
        SCOPED_TRACE(component.id);
        EXPECT_EQ(parsed[i].at("url"), packages[i].url);
        EXPECT_EQ(parsed[i].at("sha256"), "");
        EXPECT_EQ(parsed[i].at("size"), "0");
        EXPECT_EQ(parsed[i].at("version"), component.isUnavailable() ? "" : component.shownVersion().value_or(""));
        EXPECT_EQ(parsed[i].at("name"), component.name);
    }
}

TEST(TorvexTest, DoctorPrintsEveryCheckAndFailsWhenOneFailed) {
    Rig rig;
    const SpawnResult plain = rig.torvex.run({"doctor"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_TRUE(plain.out.ends_with("\n\nSome checks failed. Fix them, or run `torvex setup`.\n")) << plain.out;
    EXPECT_NE(plain.out.find("\u2717 CMake: "), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("\n    \u2192 "), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("Torvex host: running"), std::string::npos);

    // A Flutter SDK in a folder whose name holds terminal escapes is named escaped.
    const fs::path hostile = rig.temp / "sdk\x1B]0;TITLE\a\x1B[2J";
    makeFakeFlutterSDK(hostile);
    TorvexProgram withSDK = rig.torvex;
    withSDK.environment["FLUTTER_ROOT"] = hostile.string();
    const SpawnResult escaped = withSDK.run({"doctor"});
    EXPECT_EQ(escaped.out.find('\x1B'), std::string::npos) << escaped.out;
    EXPECT_NE(escaped.out.find("sdk\\u001B]0;TITLE\\u0007\\u001B[2J"), std::string::npos) << escaped.out;

    const SpawnResult verbose = rig.torvex.run({"doctor", "--verbose"});
    EXPECT_EQ(verbose.status, 1);
    EXPECT_NE(verbose.out.find("\n\u00B7 Torvex host: running (0.1.0)\n\nSome checks failed."), std::string::npos)
        << verbose.out;
    EXPECT_TRUE(rig.host.requests().empty());

    // In a working folder that was deleted, only the project's check is left out.
    const fs::path gone = rig.temp / "gone";
    fs::create_directories(gone);
    const SpawnResult deleted =
        spawnAndWait({"/bin/sh",
                      {"sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$2\" doctor --verbose", "sh", gone.string(),
                       rig.torvex.program.string()},
                      std::nullopt,
                      rig.torvex.environment},
                     rig.temp.path());
    EXPECT_EQ(deleted.status, 1) << deleted.err;
    EXPECT_EQ(deleted.err, "");
    const auto withoutDiskSpace = [](std::string text) {  // the free space moves meanwhile
        const auto found = text.find(" Disk space: ");
        if (found == std::string::npos) return text;
        const auto line = text.rfind('\n', found) + 1;  // npos + 1 is 0
        text.erase(line, text.find('\n', found) - line);
        return text;
    };
    EXPECT_EQ(withoutDiskSpace(deleted.out), withoutDiskSpace(verbose.out));
}

TEST(TorvexTest, ReportSaysWhereItIsAndWhereToSendIt) {
    Rig rig;
    const SpawnResult result = rig.torvex.run({"report"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string prefix = "Report: " + (rig.torvex.logs() / "Reports" / "Torvex-Report-").string();
    ASSERT_TRUE(result.out.starts_with(prefix)) << result.out;
    const fs::path zip = result.out.substr(8, result.out.find('\n') - 8);
    EXPECT_TRUE(fs::is_regular_file(zip)) << zip;
    EXPECT_EQ(result.out.substr(result.out.find('\n') + 1),
              "It contains versions, setup checks and Torvex's logs from the last week; no project source.\n"
              "Email it to support@torvex.dev with what you did and what went wrong,\n"
              "or open an issue at https://github.com/torvex-dev/torvex/issues/new (don't attach anything private "
              "there: it's public).\n");
}

TEST(TorvexTest, AClosedStandardDescriptorNeverBecomesTheSocket) {
    for (const int closed : {0, 1, 2}) {
        SCOPED_TRACE(closed);
        TempDir temp;
        TorvexProgram torvex(temp.path());
        torvex.closedDescriptor = closed;
        // One conversation that notes the client's descriptors 0 to 2 while its request waits, answers
        // with a line on each stream, and keeps what the client sends after its request.
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = UnixSocket::address(torvex.socket().string());
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        std::string descriptors, sentAfter;
        std::thread server([&] {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ucred peer{};
            socklen_t size = sizeof peer;
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size);
            RawClient client(fd);
            client.write(encode(IPCMessage::hello()) + "\n");
            const auto request = client.readLine();
            ASSERT_TRUE(request);
            for (int n = 0; n <= 2; ++n) {
                std::error_code error;
                const auto target = fs::read_symlink("/proc/" + std::to_string(peer.pid) + "/fd/" + std::to_string(n), error);
                descriptors += std::to_string(n) + "=" + (error ? "closed" : target.string()) + " ";
            }
            const std::string id = decodeRequest(*request)->id;
            client.write(encode(IPCMessage::log(id, {out, "out line"})) + "\n" +
                         encode(IPCMessage::log(id, {err, "err line"})) + "\n" + encode(IPCMessage::result(id, "7")) +
                         "\n");
            client.shutdownWriting();
            while (const auto line = client.readLine()) sentAfter += *line + "\n";
        });

        const SpawnResult result = torvex.run({"run", "--app-name", "demo"});
        server.join();
        ::close(listener);
        EXPECT_EQ(result.status, 7);
        EXPECT_EQ(sentAfter, "") << "the relayed lines went into the socket";
        EXPECT_NE(descriptors.find(std::to_string(closed) + "=/dev/null "), std::string::npos) << descriptors;
        EXPECT_EQ(descriptors.find("socket:"), std::string::npos) << descriptors;
        EXPECT_EQ(result.out, closed == 1 ? "" : "out line\n");
        // Output that had nowhere to go is a failure all the same.
        EXPECT_EQ(result.err, closed == 2   ? ""
                              : closed == 1 ? "err line\nerror: could not write to standard output: Bad file descriptor.\n"
                                            : "err line\n");
    }
}

TEST(TorvexTest, UserTextInAnErrorIsShownEscapedAndTheAppsOutputAsItCame) {
    Rig rig;
    const std::string hostile = "x\x1B]0;TITLE\a\x1B[2J";
    const std::string shown = "x\\u001B]0;TITLE\\u0007\\u001B[2J";
    rig.host.reply("profile-use", {.error = TorvexError(TorvexError::Kind::usage, "No profile named " + hostile + ".",
                                                        "", "Run `torvex profile list`.")});
    rig.host.reply("install", {.error = TorvexError(TorvexError::Kind::generic, "No Flutter project in " + hostile,
                                                    "one line\n\tand a second\r that returns", "Check " + hostile)});
    rig.host.reply("run", {.lines = {{out, hostile}, {err, hostile}}});
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"profile", "use", hostile}, 2, "",
         "error: No profile named " + shown + ".\n  Why: \n  Fix: Run `torvex profile list`.\n"},
        {{"install", "--app-name", "demo"}, 1, "",
         "error: No Flutter project in " + shown + "\n  Why: one line\n\tand a second\\u000D that returns\n  Fix: Check " +
             shown + "\n"},
        {{"run", "--app-name", "demo"}, 0, hostile + "\n", hostile + "\n"},  // the app's own bytes
    };
    for (const auto& c : cases) {
        const SpawnResult result = rig.torvex.run(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments.front();
        EXPECT_EQ(result.out, c.out) << c.arguments.front();
        EXPECT_EQ(result.err, c.err) << c.arguments.front();
    }

    const SpawnResult refused = rig.torvex.run({"build", "--" + hostile});
    EXPECT_EQ(refused.status, 64);
    EXPECT_EQ(refused.err.find('\x1B'), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(shown), std::string::npos) << refused.err;
}

TEST(TorvexTest, StatusGivesUpOnAPeerThatNeverAnswers) {
    Rig rig;
    rig.host.reply("status", {.result = R"({"status":"Idle"})", .waitForHangUp = true});
    const auto start = std::chrono::steady_clock::now();
    const SpawnResult result = rig.torvex.run({"status"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(19)) << "it waited for the answer";
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("error: Torvex did not answer.\n  Why: Nothing came from " +
                                       rig.torvex.socket().string() + " for 10 s after the request `status`.\n"))
        << result.err;
    EXPECT_TRUE(rig.host.waitForHangUps(1));
}
