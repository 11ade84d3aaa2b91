#include "Runtime/InstalledApp.h"

#include "Build/FlutterProject.h"
#include "Core/TorvexError.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::errorOf;
using testing::readFile;
using testing::writeFile;
using namespace std::chrono_literals;

// Every entry below `root` with what it holds and its modification time.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const auto time = fs::last_write_time(it->path()).time_since_epoch().count();
        entries[it->path().lexically_relative(root).string()] =
            (it->is_directory() ? std::string("dir") : "file:" + readFile(it->path())) + "@" + std::to_string(time);
    }
    return entries;
}

// The regular files below `root` (relative path: bytes), but for the record.
std::map<std::string, std::string> filesBelow(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(root).string();
        if (it->is_regular_file() && relative != InstalledApp::recordName) files[relative] = readFile(it->path());
    }
    return files;
}

// A project "demo" (binary name "demo") in a folder with a space, with a build output of its own.
struct Fixture {
    TempDir temp;
    TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
    fs::path project = temp / "my projects" / "demo";
    WineEnvironment wine{temp / "wine/bin", paths.support / "prefixes" / "default", std::nullopt};

    Fixture() {
        writeFile(project / "pubspec.yaml", "name: demo\n");
        writeFile(project / "windows" / "CMakeLists.txt", "set(BINARY_NAME \"demo\")\n");
    }
    fs::path out() const { return paths.builds() / FlutterProject::discover(project).hash() / "out"; }
    void build() const {
        writeFile(out() / "demo.exe", "MZ demo");
        writeFile(out() / "flutter_windows.dll", "MZ engine");
        writeFile(out() / "data" / "flutter_assets" / "kernel_blob.bin", "kernel");
    }
    void withDXVK() {
        wine.dxvk = temp / "dxvk/2.4/x64";
        writeFile(*wine.dxvk / "d3d11.dll", "MZ dxvk d3d11");
        writeFile(*wine.dxvk / "d3d10core.dll", "MZ dxvk d3d10core");
    }
    InstalledApp install(const std::string& name = "demo") const {
        return InstalledApp::install(name, project / "build" / "flutter_assets", wine, paths);
    }
    fs::path folder(const std::string& name = "demo") const { return wine.driveC() / "Torvex/Apps" / name; }
};

TEST(InstalledAppTest, AProjectWithoutABuildIsNotInstalled) {
    const std::vector<std::pair<const char*, std::function<void(const Fixture&)>>> cases = {
        {"no output folder", [](const Fixture&) {}},
        {"an output folder without the executable", [](const Fixture& f) { writeFile(f.out() / "flutter_windows.dll", "MZ"); }},
        {"a folder in the executable's place", [](const Fixture& f) { fs::create_directories(f.out() / "demo.exe"); }},
    };
    for (const auto& [name, arrange] : cases) {
        SCOPED_TRACE(name);
        const Fixture f;
        arrange(f);
        const TorvexError error = errorOf([&] { f.install(); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "There is no Windows build of demo to install.");
        EXPECT_EQ(error.why, f.out().string() + " has no demo.exe.");
        EXPECT_EQ(error.fix, "Run `torvex build` first (the IDE does this automatically).");
        EXPECT_FALSE(fs::exists(f.wine.prefix));
    }
}

TEST(InstalledAppTest, InstallsTheBuildOutputWithTheRecordAndReinstallsOnlyWhatChanged) {
    Fixture f;
    f.build();
    const InstalledApp app = f.install("Demo App");
    EXPECT_EQ(app, (InstalledApp{"Demo App", "demo", fs::canonical(f.project).string()}));
    EXPECT_EQ(app.executable(f.wine), f.folder("Demo App") / "demo.exe");
    EXPECT_EQ(readFile(app.executable(f.wine)), "MZ demo");
    EXPECT_EQ(readFile(f.folder("Demo App") / "data/flutter_assets/kernel_blob.bin"), "kernel");
    EXPECT_EQ(InstalledApp::load("Demo App", f.wine), app);

    // Installing the same build again rewrites the record and nothing else.
    const fs::path record = f.folder("Demo App") / "torvex-app.json";
    fs::last_write_time(record, fs::last_write_time(record) - 1h);
    auto before = snapshot(f.folder("Demo App"));
    const auto recordBefore = before.at("torvex-app.json");
    f.install("Demo App");
    auto after = snapshot(f.folder("Demo App"));
    EXPECT_NE(after.at("torvex-app.json"), recordBefore);
    before.erase("torvex-app.json");
    after.erase("torvex-app.json");
    EXPECT_EQ(after, before);
}

TEST(InstalledAppTest, TheMirrorRemovesWhatTheBuildNoLongerHasAndKeepsTheDXVKLibrariesAndRecord) {
    Fixture f;
    f.withDXVK();
    f.build();
    writeFile(f.out() / "old_plugin.dll", "MZ old");
    f.install();
    EXPECT_EQ(readFile(f.folder() / "d3d11.dll"), "MZ dxvk d3d11");
    EXPECT_EQ(readFile(f.folder() / "d3d10core.dll"), "MZ dxvk d3d10core");

    // The next build drops a plugin and brings a d3d11.dll of its own; DXVK is switched off.
    fs::remove(f.out() / "old_plugin.dll");
    writeFile(f.out() / "d3d11.dll", "MZ from the build");
    f.wine.dxvk.reset();
    f.install();
    EXPECT_FALSE(fs::exists(f.folder() / "old_plugin.dll"));
    EXPECT_EQ(readFile(f.folder() / "d3d11.dll"), "MZ dxvk d3d11");
    EXPECT_EQ(readFile(f.folder() / "d3d10core.dll"), "MZ dxvk d3d10core");
    EXPECT_TRUE(fs::exists(f.folder() / "torvex-app.json"));

    // A changed DXVK release is copied over the earlier one.
    f.withDXVK();
    writeFile(*f.wine.dxvk / "d3d11.dll", "MZ dxvk d3d11, next release");
    f.install();
    EXPECT_EQ(readFile(f.folder() / "d3d11.dll"), "MZ dxvk d3d11, next release");
}

// Runs the install helper (a process of its own) on demo and kills it with SIGKILL as soon as
// `moment` holds; answers whether the kill came before the install had ended. The look pauses a
// millisecond between tries, so the helper has the CPU, and the helper runs at the lowest
// priority, so the look comes in time however loaded the machine.
bool killInstallWhen(const Fixture& f, const std::function<bool()>& moment) {
    std::vector<std::string> argv{INSTALL_APP, f.paths.caches.string(), f.wine.prefix.string(), "demo",
                                  (f.project / "build/flutter_assets").string()};
    std::vector<char*> arguments = testing::pointers(argv);
    pid_t pid = -1;
    if (::posix_spawn(&pid, INSTALL_APP, nullptr, nullptr, arguments.data(), environ) != 0) {
        ADD_FAILURE() << "install-app does not start";
        return false;
    }
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 19);
    int status = 0;
    bool ended = false;
    for (const auto deadline = std::chrono::steady_clock::now() + 30s;
         !moment() && std::chrono::steady_clock::now() < deadline;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    ::kill(pid, SIGKILL);
    if (!ended) ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(InstalledAppTest, AnInstallCutShortLeavesAnAppThatSaysSoUntilTheNextInstallCompletesIt) {
    const std::string newExe = "MZ demo, next build";
    constexpr std::size_t largeLibrary = 64u << 20;  // long enough to copy that a kill lands in it
    const std::vector<std::pair<const char*, std::function<void(Fixture&)>>> cases = {
        {"killed as it begins", [](Fixture& f) {
             EXPECT_TRUE(killInstallWhen(f, [&] { return fs::exists(f.folder() / InstalledApp::unfinishedName); }));
         }},
        {"killed with the new executable beside the old record", [&](Fixture& f) {
             EXPECT_TRUE(killInstallWhen(f, [&] { return readFile(f.folder() / "demo.exe") == newExe; }));
         }},
        {"killed half-way through a large library", [&](Fixture& f) {
             EXPECT_TRUE(killInstallWhen(f, [&] {
                 struct stat info {};
                 // Larger than the old library, smaller than the new one.
                 return ::stat((f.folder() / "flutter_windows.dll").c_str(), &info) == 0 && info.st_size > 4096 &&
                        static_cast<std::size_t>(info.st_size) < largeLibrary;
             }));
         }},
        {"failed on a file it cannot copy, after the others", [](Fixture& f) {
             ASSERT_EQ(::mkfifo((f.out() / "zz.fifo").c_str(), 0644), 0);
             EXPECT_EQ(errorOf([&] { f.install(); }).kind, TorvexError::Kind::unsupported);
             fs::remove(f.out() / "zz.fifo");
         }},
    };
    for (const auto& [name, interrupt] : cases) {
        SCOPED_TRACE(name);
        Fixture f;
        f.build();
        const InstalledApp app = f.install();
        writeFile(f.out() / "demo.exe", newExe);
        writeFile(f.out() / "data" / "flutter_assets" / "kernel_blob.bin", "kernel, next build");
        writeFile(f.out() / "flutter_windows.dll", std::string(largeLibrary, 'e'));

        interrupt(f);
        const TorvexError error = errorOf([&] { InstalledApp::load("demo", f.wine); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "The installation of demo did not finish.");
        EXPECT_EQ(error.why, "An install into " + f.folder().string() +
                                 " was interrupted or failed, so the folder may hold parts of two builds.");
        EXPECT_EQ(error.fix,
                  "Run it from your IDE again, or run `torvex install --app-name demo --bundle build/flutter_assets`.");

        EXPECT_EQ(f.install(), app);
        EXPECT_EQ(InstalledApp::load("demo", f.wine), app);
        EXPECT_TRUE(filesBelow(f.folder()) == filesBelow(f.out())) << "the next install leaves the new build alone";
    }
}

TEST(InstalledAppTest, TheRecordIsOneCompactLineWithEverySlashEscaped) {
    const InstalledApp app{"demo", "demo", "/Users/me/demo"};
    const std::string text = app.recordJSON();
    EXPECT_EQ(nlohmann::json::parse(text),
              (nlohmann::json{{"name", "demo"}, {"binaryName", "demo"}, {"projectRoot", "/Users/me/demo"}}));
    EXPECT_NE(text.find(R"("projectRoot":"\/Users\/me\/demo")"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of(" \n"), std::string::npos) << text;

    const InstalledApp quoted{"a\"b", "demo", "/tmp/x\\y \"z\"/ü"};
    EXPECT_EQ(nlohmann::json::parse(quoted.recordJSON())["projectRoot"], quoted.projectRoot);

    const TorvexError error = errorOf([] { InstalledApp{"demo", "demo", "/tmp/\xff/demo"}.recordJSON(); });
    EXPECT_EQ(error.why, "Its project path /tmp/\xff/demo is not valid UTF-8.");
}

TEST(InstalledAppTest, WhateverStandsInTheRecordsPlaceIsReplacedByTheRecord) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path& record, const fs::path& outside)>>> cases = {
        {"a FIFO", [](const fs::path& record, const fs::path&) { ASSERT_EQ(::mkfifo(record.c_str(), 0644), 0); }},
        {"a link to a file elsewhere", [](const fs::path& record, const fs::path& outside) {
             writeFile(outside, "keep");
             fs::create_symlink(outside, record);
         }},
        {"a dangling link", [](const fs::path& record, const fs::path& outside) { fs::create_symlink(outside, record); }},
        {"an empty folder", [](const fs::path& record, const fs::path&) { fs::create_directories(record); }},
    };
    for (const auto& [name, arrange] : cases) {
        SCOPED_TRACE(name);
        Fixture f;
        f.build();
        const fs::path record = f.folder() / "torvex-app.json";
        const fs::path outside = f.temp / "elsewhere.txt";
        fs::create_directories(f.folder());
        arrange(record, outside);

        auto installed = std::async(std::launch::async, [&] { return f.install(); });
        if (installed.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the install waits for a reader of the FIFO";
            const int reader = ::open(record.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            installed.wait();
            ::close(reader);
        }
        const InstalledApp app = installed.get();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(record)));
        EXPECT_EQ(InstalledApp::load("demo", f.wine), app);
        EXPECT_EQ(readFile(outside), fs::exists(outside) ? "keep" : "");
    }
}

TEST(InstalledAppTest, LoadReadsEitherSlashFormAndRefusesDamagedRecords) {
    const Fixture f;
    const fs::path record = f.folder() / "torvex-app.json";
    writeFile(record, R"({"projectRoot":"/Users/me/demo","binaryName":"demo","extra":1,"name":"demo"})");
    EXPECT_EQ(InstalledApp::load("demo", f.wine), (InstalledApp{"demo", "demo", "/Users/me/demo"}));

    const std::vector<std::pair<const char*, std::function<void()>>> damaged = {
        {"no app folder", [&] { fs::remove_all(f.folder()); }},
        {"no record", [&] { fs::remove_all(f.folder()); fs::create_directories(f.folder()); }},
        {"not JSON", [&] { writeFile(record, "{\"name\":"); }},
        {"a member missing", [&] { writeFile(record, R"({"name":"demo","binaryName":"demo"})"); }},
        {"a member not a string", [&] { writeFile(record, R"({"name":"demo","binaryName":7,"projectRoot":"/x"})"); }},
        {"an array", [&] { writeFile(record, R"(["demo","demo","/x"])"); }},
        {"a folder in the record's place", [&] { fs::remove_all(f.folder()); fs::create_directories(record); }},
    };
    for (const auto& [name, damage] : damaged) {
        SCOPED_TRACE(name);
        damage();
        const TorvexError error = errorOf([&] { InstalledApp::load("demo", f.wine); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "demo is not installed in Torvex.");
        EXPECT_EQ(error.why, record.string() + " is missing.");
        EXPECT_EQ(error.fix, "Run it from your IDE again, or run `torvex install --app-name demo --bundle build/flutter_assets`.");
    }
}

TEST(InstalledAppTest, UninstallRemovesTheFolderAndIgnoresAnAppThatIsNotThere) {
    Fixture f;
    f.build();
    f.install("one");
    f.install("two");
    InstalledApp::uninstall("one", f.wine);
    EXPECT_FALSE(fs::exists(f.folder("one")));
    EXPECT_TRUE(fs::exists(f.folder("two") / "demo.exe"));  // another app's folder is left alone
    EXPECT_NO_THROW(InstalledApp::uninstall("one", f.wine));
    EXPECT_NO_THROW(InstalledApp::uninstall("never", Fixture().wine));

    // A link in an app folder's place goes, its target stays.
    writeFile(f.temp / "elsewhere" / "keep.txt", "keep");
    fs::create_directory_symlink(f.temp / "elsewhere", f.folder("one"));
    InstalledApp::uninstall("one", f.wine);
    EXPECT_FALSE(fs::exists(fs::symlink_status(f.folder("one"))));
    EXPECT_EQ(readFile(f.temp / "elsewhere" / "keep.txt"), "keep");
}

TEST(InstalledAppTest, DirectoryAndExecutableTouchNothing) {
    const Fixture f;
    const InstalledApp app{"demo", "runner", "/x"};
    EXPECT_EQ(InstalledApp::directory("demo", f.wine), f.wine.prefix / "drive_c/Torvex/Apps/demo");
    EXPECT_EQ(app.executable(f.wine), f.wine.prefix / "drive_c/Torvex/Apps/demo/runner.exe");
    EXPECT_FALSE(fs::exists(f.wine.prefix));
}

TEST(InstalledAppTest, NamesThatAreNotOneFolderNeverReachTheDisk) {
    Fixture f;
    f.build();
    f.install();
    const auto before = snapshot(f.temp.path());
    for (const std::string name : {"", ".", "..", "../demo", "a/b", "a\\b", "a&b"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(errorOf([&] { f.install(name); }).kind, TorvexError::Kind::usage);
        EXPECT_EQ(errorOf([&] { InstalledApp::load(name, f.wine); }).kind, TorvexError::Kind::usage);
        EXPECT_EQ(errorOf([&] { InstalledApp::uninstall(name, f.wine); }).kind, TorvexError::Kind::usage);
        EXPECT_EQ(errorOf([&] { InstalledApp{name, "demo", "/x"}.executable(f.wine); }).kind, TorvexError::Kind::usage);
    }
    EXPECT_EQ(snapshot(f.temp.path()), before);
}

TEST(InstalledAppTest, InstallRefusesALinkOnTheWayToTheAppFolder) {
    for (const char* linked : {"Torvex/Apps/demo", "Torvex"}) {
        SCOPED_TRACE(linked);
        Fixture f;
        f.build();
        writeFile(f.temp / "elsewhere" / "keep.txt", "keep");
        fs::create_directories((f.wine.driveC() / linked).parent_path());
        fs::create_directory_symlink(f.temp / "elsewhere", f.wine.driveC() / linked);
        const TorvexError error = errorOf([&] { f.install(); });
        EXPECT_EQ(error.what, "Could not install demo.");
        EXPECT_EQ(error.fix, "Delete the link " + (f.wine.driveC() / linked).string() + " and install again.");
        EXPECT_EQ(snapshot(f.temp / "elsewhere").size(), 1u);
    }
}

TEST(InstalledAppTest, UninstallRefusesALinkAboveTheAppFolder) {
    for (const char* linked : {"Torvex/Apps", "Torvex"}) {
        SCOPED_TRACE(linked);
        Fixture f;
        const fs::path outside = f.temp / "elsewhere" / (std::string(linked) == "Torvex" ? "Apps/demo" : "demo");
        writeFile(outside / "keep.txt", "keep");
        fs::create_directories((f.wine.driveC() / linked).parent_path());
        fs::create_directory_symlink(f.temp / "elsewhere", f.wine.driveC() / linked);
        const TorvexError error = errorOf([&] { InstalledApp::uninstall("demo", f.wine); });
        EXPECT_EQ(error.what, "Could not uninstall demo.");
        EXPECT_EQ(error.why, (f.wine.driveC() / linked).string() +
                                 " is a symbolic link, and Torvex removes apps only from folders of its own.");
        EXPECT_EQ(error.fix, "Delete the link " + (f.wine.driveC() / linked).string() + " and uninstall again.");
        EXPECT_EQ(readFile(outside / "keep.txt"), "keep");
    }
}

} // namespace
} // namespace torvex
