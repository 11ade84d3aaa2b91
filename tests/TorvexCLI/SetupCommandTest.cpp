#include "TorvexCLI/SetupCommand.h"

#include "Core/ProcessRunner.h"
#include "Core/Profile.h"
#include "Setup/Components.h"
#include "Setup/CustomDeviceRegistration.h"
#include "support/FakeFlutterSDK.h"
#include "support/FakeHost.h"
#include "support/FakeWine.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::cli;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Phase = ComponentInstaller::Progress::Phase;

namespace {

// torvex kept in a fresh folder, with a fake Flutter SDK as its FLUTTER_ROOT.
struct Rig {
    TempDir temp;
    TorvexProgram torvex{temp.path()};
    FlutterSDK sdk = makeFakeFlutterSDK(temp / "flutter");

    fs::path deviceFile() const { return torvex.home() / ".config" / "flutter" / "custom_devices.json"; }
    fs::path configFile() const { return torvex.support() / "config.json"; }
    fs::path link() const { return torvex.home() / ".local" / "bin" / "torvex"; }
    TorvexPaths paths() const { return {torvex.support(), temp / "caches", torvex.logs()}; }

    // Every component that can be installed is, and Wine is the fake.
    void installEverything(const FakeWine& wine) {
        for (const Component& component : Components::all()) {
            if (!component.isUnavailable()) writeFile(torvex.support() / component.installedMarker, "");
        }
        torvex.environment["TORVEX_WINE_BIN"] = wine.bin().string();
    }
};

const std::string registered = "\u2713 Registered \"Torvex \u00B7 Windows 11\" (Flutter 3.24.0)\n";

} // namespace

TEST(SetupCommandTest, ProgressChangesInPlaceOnATerminalOnly) {
    Component cmake;
    cmake.name = "CMake";
    const std::string done = "\u2713 CMake 3.30.5" + std::string(20, ' ');
    struct Case {
        Phase phase;
        double fraction;
        bool terminal;
        SetupProgressOutput output;
    };
    const Case cases[] = {
        {Phase::downloading, 0.0, true, {"\r  CMake: 0 %   ", std::nullopt}},
        {Phase::downloading, 0.424, true, {"\r  CMake: 42 %   ", std::nullopt}},
        {Phase::downloading, 0.999, true, {"\r  CMake: 99 %   ", std::nullopt}},
        {Phase::downloading, 1.0, true, {"\r  CMake: 100 %   ", std::nullopt}},
        {Phase::downloading, 0.5, false, {}},
        {Phase::verifying, 1.0, true, {"\r  CMake: verifying\u2026          ", std::nullopt}},
        {Phase::installing, 1.0, true, {"\r  CMake: installing\u2026          ", std::nullopt}},
        {Phase::verifying, 1.0, false, {}},
        {Phase::installing, 1.0, false, {}},
        {Phase::done, 1.0, true, {"\r", done}},
        {Phase::done, 1.0, false, {"", done}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(setupProgressOutput({cmake, test.phase, test.fraction}, "3.30.5", test.terminal), test.output)
            << rawValue(test.phase) << " " << test.fraction << " " << test.terminal;
    }
}

TEST(SetupCommandTest, ThePathHintIsTheUsersShellsOwnWay) {
    const std::string append = "echo 'export PATH=\"$HOME/.local/bin:$PATH\"' >> ";
    const std::pair<std::string, std::string> cases[] = {
        {"/bin/bash", append + "~/.bashrc"}, {"/usr/bin/zsh", append + "~/.zshrc"}, {"zsh", append + "~/.zshrc"},
        {"/usr/bin/fish", "fish_add_path ~/.local/bin"}, {"/bin/sh", append + "~/.profile"}, {"", append + "~/.profile"},
    };
    for (const auto& [shell, hint] : cases) EXPECT_EQ(pathHint({{"SHELL", shell}}), hint) << shell;
    EXPECT_EQ(pathHint({}), append + "~/.profile");
}

TEST(SetupCommandTest, OnlyAMachineThatCannotRunX64AppsIsRefused) {
    TempDir temp;
    EXPECT_FALSE(processorProblem(linuxFacts()));

    SystemFacts arm = linuxFacts();
    arm.machine = "aarch64";
    const auto armProblem = processorProblem(arm);
    ASSERT_TRUE(armProblem);
    EXPECT_EQ(armProblem->fix, "Run Torvex on an x86_64 (amd64) machine.");

    SystemFacts mac = linuxFacts();
    mac.rules = SystemFacts::Rules::macOS;
    mac.appleSilicon = true;
    mac.archTool = temp / "arch";
    writeScript(mac.archTool, "exit 1\n");
    const auto rosetta = processorProblem(mac);
    ASSERT_TRUE(rosetta);
    EXPECT_EQ(rosetta->description(),
              "Rosetta 2 is not installed.\n"
              "  Why: Windows apps run through Rosetta on Apple Silicon.\n"
              "  Fix: Run `sudo softwareupdate --install-rosetta --agree-to-license`, then `torvex setup` again.");
}

TEST(SetupCommandTest, RegisterEnablesCustomDevicesAndRegistersThisProgram) {
    Rig rig;
    const SpawnResult result = rig.torvex.run({"setup", "--register"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, registered);
    EXPECT_EQ(result.err, "");  // this torvex lies inside the build's Torvex.app
    EXPECT_EQ(readFile(flutterCalls(rig.sdk.root)), "cwd=" + fs::current_path().string() +
                                                        "\narg=config\narg=--enable-custom-devices\n");
    EXPECT_EQ(CustomDeviceRegistration::registeredCLI(rig.deviceFile()), fs::canonical(builtTorvex()).string());
    EXPECT_TRUE(CustomDeviceRegistration::customDevicesEnabled({{"HOME", rig.torvex.home().string()}}));
    EXPECT_FALSE(fs::exists(rig.configFile()));  // no components, prefix or completion mark
    EXPECT_FALSE(fs::exists(rig.torvex.support() / "prefixes"));

    // Asked to undo what it would do, setup does neither.
    const SpawnResult both = rig.torvex.run({"setup", "--unregister", "--register", "--install-cli"});
    EXPECT_EQ(both.status, 64);
    EXPECT_TRUE(both.err.starts_with("Error: '--unregister' and '--register' cannot be given together: give one of "
                                     "them. '--unregister' and '--install-cli' cannot be given together: give one "
                                     "of them.\nUsage: torvex setup"))
        << both.err;
    EXPECT_EQ(CustomDeviceRegistration::registeredCLI(rig.deviceFile()), fs::canonical(builtTorvex()).string());

    // Unregistering says what it found.
    const std::string file = rig.deviceFile().string();
    for (const std::string& said : {"\u2713 Removed Torvex from " + file + "\n",
                                    "\u2713 Torvex is not registered in " + file + ": nothing to remove\n"}) {
        const SpawnResult removed = rig.torvex.run({"setup", "--unregister"});
        EXPECT_EQ(removed.status, 0) << removed.err;
        EXPECT_EQ(removed.out, said);
        EXPECT_EQ(CustomDeviceRegistration::registeredCLI(rig.deviceFile()), std::nullopt);
    }
    fs::remove(rig.deviceFile());
    const SpawnResult nothing = rig.torvex.run({"setup", "--unregister"});
    EXPECT_EQ(nothing.status, 0) << nothing.err;
    EXPECT_EQ(nothing.out, "\u2713 Torvex is not registered: " + file + " does not exist\n");
    EXPECT_FALSE(fs::exists(rig.deviceFile()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(rig.link())));
}

TEST(SetupCommandTest, TheDoctorFindsWhatSetupRegisteredUnderXDGConfigHome) {
    Rig rig;
    const fs::path xdg = rig.temp / "xdg config";
    rig.torvex.environment["XDG_CONFIG_HOME"] = xdg.string();
    const SpawnResult result = rig.torvex.run({"setup", "--register"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(CustomDeviceRegistration::registeredCLI(xdg / "custom_devices.json"), fs::canonical(builtTorvex()).string());

    const SpawnResult doctor = rig.torvex.run({"doctor"});
    EXPECT_NE(doctor.out.find("\n\u2713 Flutter custom devices: Enabled\n"), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("\n\u2713 IDE device: \u201CTorvex \u00B7 Windows 11\u201D \u2192 "), std::string::npos)
        << doctor.out;

    const SpawnResult removed = rig.torvex.run({"setup", "--unregister"});
    EXPECT_EQ(removed.out, "\u2713 Removed Torvex from " + (xdg / "custom_devices.json").string() + "\n");
}

TEST(SetupCommandTest, RegisteringSaysWhatItCouldNotDo) {
    Rig rig;
    writeFile(failFlutter(rig.sdk.root), "");
    const SpawnResult failed = rig.torvex.run({"setup", "--register"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err,
              "error: Could not enable Flutter's custom devices.\n"
              "  Why: Compilation failed.\n"
              "  Fix: Run `flutter config --enable-custom-devices` yourself.\n");
    EXPECT_FALSE(fs::exists(rig.deviceFile()));

    // A copy outside any bundle, with an SDK that does not say its version.
    fs::remove(failFlutter(rig.sdk.root));
    fs::remove(rig.sdk.root / "bin" / "cache" / "flutter.version.json");
    fs::create_directories(rig.temp / "bin");
    fs::copy_file(builtTorvex(), rig.temp / "bin" / "torvex");
    rig.torvex.program = rig.temp / "bin" / "torvex";
    rig.torvex.environment.erase("TORVEX_APP");
    const SpawnResult outside = rig.torvex.run({"setup", "--register"});
    EXPECT_EQ(outside.status, 0) << outside.err;
    EXPECT_EQ(outside.out, "\u2713 Registered \"Torvex \u00B7 Windows 11\" (Flutter ?)\n");
    EXPECT_EQ(outside.err,
              "note: this torvex is not inside Torvex.app, so it cannot start torvex-host; IDE runs need one running.\n");

    rig.torvex.environment["FLUTTER_ROOT"] = (rig.temp / "no sdk").string();
    rig.torvex.environment["HOME"] = (rig.temp / "empty home").string();
    rig.torvex.environment["PATH"] = "/nonexistent";
    const SpawnResult noSDK = rig.torvex.run({"setup", "--register"});
    EXPECT_EQ(noSDK.status, 1);
    EXPECT_TRUE(noSDK.err.starts_with("error: No Flutter SDK found.\n")) << noSDK.err;
}

TEST(SetupCommandTest, AFullSetupPreparesRegistersAndMarksOnce) {
    Rig rig;
    FakeWine wine(rig.temp / "fake wine");
    rig.installEverything(wine);

    const SpawnResult first = rig.torvex.run({"setup"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "\u2713 Components installed\n"
                         "  Creating the Windows environment (first run only)\u2026\n"
                         "\u2713 Windows environment ready\n" + registered);
    EXPECT_EQ(wine.argvs(), (std::vector<std::vector<std::string>>{{"wineboot", "--init"}, {"wineserver", "-w"}}));
    EXPECT_EQ(wine.calls().at(0).environment.at("WINEPREFIX"), (rig.torvex.support() / "prefixes" / "default").string());
    const TorvexConfig marked = TorvexConfig::load(rig.paths());
    EXPECT_TRUE(marked.onboardingCompletedAt);
    EXPECT_EQ(marked.flutterRoot, rig.sdk.root.string());

    // Again: the prefix is reused and the mark stays as it was, a Flutter root set meanwhile too.
    TorvexConfig changed = marked;
    changed.flutterRoot = "/elsewhere/flutter";
    changed.save(rig.paths());
    const std::string saved = readFile(rig.configFile());
    wine.clearCalls();
    const SpawnResult second = rig.torvex.run({"setup"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "\u2713 Components installed\n\u2713 Windows environment ready\n" + registered);
    EXPECT_TRUE(wine.argvs().empty());
    EXPECT_EQ(readFile(rig.configFile()), saved);
}

TEST(SetupCommandTest, SetupSaysItLinksTheSystemsPackagesAndNamesThem) {
    for (const char* program : {"clang-14", "ld.lld-14", "llvm-windres-14", "cmake", "ninja", "wine", "wine64", "wineserver"})
        if (!ProcessRunner::which(program, {"/usr/bin", "/usr/lib/wine"})) GTEST_SKIP() << program << " is not installed";
    if (!fs::is_directory("/usr/lib/gcc/x86_64-w64-mingw32/12-posix")) GTEST_SKIP() << "mingw-w64 is not installed";
    Rig rig;
    FakeWine wine(rig.temp / "fake wine");
    rig.torvex.environment["TORVEX_WINE_BIN"] = wine.bin().string();

    const SpawnResult result = rig.torvex.run({"setup"});

    EXPECT_EQ(result.status, 0) << result.err;
    std::string expected = "Linking 4 component(s) to this system's packages (clang, lld, llvm, "
                           "g++-mingw-w64-x86-64-posix, cmake, ninja-build, wine, wine64)\u2026\n";
    for (const Component& component : Components::all()) {
        if (!component.isUnavailable())
            expected += "\u2713 " + component.name + " " + component.shownVersion().value_or("") + std::string(20, ' ') + "\n";
    }
    EXPECT_TRUE(result.out.starts_with(expected)) << result.out;
    EXPECT_EQ(result.out.find("Downloading"), std::string::npos) << result.out;
}

TEST(SetupCommandTest, TheRunningServiceKeepsTheConfigurationItself) {
    Rig rig;
    FakeWine wine(rig.temp / "fake wine");
    rig.installEverything(wine);
    FakeHost host(rig.torvex.socket());
    const SpawnResult result = rig.torvex.run({"setup"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(rig.configFile()));
    EXPECT_TRUE(host.requests().empty());  // setup only looks whether it answers
}

TEST(SetupCommandTest, InstallCLILinksThisProgramAndHintsAtPATH) {
    Rig rig;
    const fs::path folder = rig.link().parent_path();
    const std::string hint = "  Add it to your PATH: echo 'export PATH=\"$HOME/.local/bin:$PATH\"' >> ";
    struct Case {
        std::string path;
        std::string shell;
        std::function<void()> before;
        std::string tail;  // what follows the "Linked" line
    };
    const Case cases[] = {
        {"/usr/bin:/bin", "/bin/bash", [] {}, hint + "~/.bashrc\n"},
        {"/usr/bin::" + folder.string() + ":/bin", "/bin/bash", [] {}, ""},
        {folder.string() + "/:/usr/bin", "/usr/bin/zsh", [] {}, hint + "~/.zshrc\n"},
        {"", "/usr/bin/fish", [&] { writeFile(rig.link(), "an old copy"); }, "  Add it to your PATH: fish_add_path ~/.local/bin\n"},
        {"/usr/bin", "", [&] { fs::create_symlink(rig.temp / "gone", rig.link()); }, hint + "~/.profile\n"},
    };
    for (const Case& test : cases) {
        std::error_code ignored;
        fs::remove(rig.link(), ignored);
        fs::create_directories(folder);
        test.before();
        rig.torvex.environment["PATH"] = test.path;
        rig.torvex.environment["SHELL"] = test.shell;
        const SpawnResult result = rig.torvex.run({"setup", "--register", "--install-cli"});
        EXPECT_EQ(result.status, 0) << test.path << ": " << result.err;
        EXPECT_EQ(result.out, registered + "\u2713 Linked " + rig.link().string() + "\n" + test.tail) << test.path;
        EXPECT_EQ(fs::read_symlink(rig.link()), fs::canonical(builtTorvex())) << test.path;
    }

    // A folder there is no file to replace: the step fails and the folder stays whole.
    fs::remove(rig.link());
    writeFile(rig.link() / "keep.txt", "mine");
    const SpawnResult blocked = rig.torvex.run({"setup", "--register", "--install-cli"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(blocked.err.starts_with("Error: ")) << blocked.err;
    EXPECT_EQ(readFile(rig.link() / "keep.txt"), "mine");
}
