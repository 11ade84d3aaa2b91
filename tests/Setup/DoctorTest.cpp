#include "Setup/Doctor.h"

#include "Core/Profile.h"
#include "Core/SystemInfo.h"
#include "Setup/ComponentInstaller.h"
#include "Setup/Components.h"
#include "Setup/CustomDeviceRegistration.h"
#include "support/FakeFlutterSDK.h"
#include "support/FakeWine.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Status = DoctorCheck::Status;

namespace {

constexpr const char* revision = "0123456789abcdef0123456789abcdef01234567";

// A home folder, the three roots, and a process environment that finds no Flutter on its own.
struct DoctorRig {
    TempDir temp;
    fs::path home = temp / "home";
    TorvexPaths paths{home / "Library/Application Support/Torvex", home / "Library/Caches/Torvex",
                      home / "Library/Logs/Torvex"};
    // A distribution whose programs are small scripts.
    fs::path distribution = temp / "distribution";
    Doctor::Inputs inputs{linuxFacts(),
                          {{"HOME", home.string()}, {"PATH", ""}},
                          SystemLayout{{distribution / "bin"}, distribution / "mingw", distribution / "gcc"}};

    DoctorRig() {
        fs::create_directories(home);
        for (const char* program : {"clang-14", "ld.lld-14", "llvm-windres-14", "llvm-ar-14", "llvm-ranlib-14", "cmake",
                                    "ninja", "wine", "wineboot", "wineserver", "wine64"})
            writeScript(distribution / "bin" / program, "exit 0\n");
        fs::create_directories(distribution / "mingw" / "include");
        fs::create_directories(distribution / "gcc");
    }

    std::vector<DoctorCheck> run(const std::optional<std::string>& cli = std::nullopt,
                                 const std::optional<fs::path>& flutterRoot = std::nullopt,
                                 const std::optional<fs::path>& project = std::nullopt) const {
        return Doctor::run(paths, cli, flutterRoot, project, inputs);
    }

    // The check with this id; a test failure when there is none.
    std::optional<DoctorCheck> check(const std::string& id, const std::vector<DoctorCheck>& checks) const {
        for (const auto& c : checks)
            if (c.id == id) return c;
        return std::nullopt;
    }

    // Every component set up from the distribution, and DXVK's marker.
    void installComponents() const {
        ComponentInstaller{paths, inputs.system}.install(Components::all(), nullptr);
        writeFile(paths.support / "dxvk/1.10.3/x64/d3d11.dll", "");
    }
    fs::path installWine() const {
        const fs::path bin = paths.support / "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin";
        writeScript(bin / "wine", "exit 0\n");
        return bin;
    }
    fs::path makeProject() const {
        const fs::path project = temp / "my app";
        writeFile(project / "pubspec.yaml", "name: my_app\nversion: 1.2.3\n");
        writeFile(project / "windows/CMakeLists.txt", "set(BINARY_NAME \"my_app\")\n");
        return project;
    }
    fs::path registeredProgram() const {
        const fs::path program = temp / "bin dir" / "torvex";
        writeScript(program, "exit 0\n");
        return program;
    }
};

std::vector<std::string> idsOf(const std::vector<DoctorCheck>& checks) {
    std::vector<std::string> ids;
    for (const auto& check : checks) ids.push_back(check.id);
    return ids;
}

} // namespace

TEST(DoctorTest, AFullRunGivesEveryCheckInItsOrder) {
    DoctorRig rig;
    const fs::path sdk = rig.temp / "flutter";
    makeFakeFlutterSDK(sdk, revision, "", "3.47.0");
    rig.inputs.environment["FLUTTER_CUSTOM_DEVICES"] = "true";
    const fs::path program = rig.registeredProgram();
    CustomDeviceRegistration::registerDevice(program.string(),
                                             CustomDeviceRegistration::configFile(rig.inputs.environment));
    rig.installComponents();
    writePreparedPrefix(rig.paths.support / "prefixes/default");
    writeFile(rig.paths.engineCache() / revision / "flutter_windows.dll", "");

    const auto checks = rig.run(program.string(), sdk, rig.makeProject() / "lib");

    EXPECT_EQ(idsOf(checks), (std::vector<std::string>{"macos", "rosetta", "disk", "flutter", "custom-devices", "device",
                                                       "component-llvm-mingw", "component-cmake", "component-ninja",
                                                       "component-wine", "component-dxvk", "prefix", "engine"}));
    const auto& components = Components::all();
    const std::vector<DoctorCheck> expected = {
        {"macos", "Operating system", Status::ok, "Linux 6.1.0", std::nullopt},
        {"rosetta", "CPU", Status::ok, "x86_64 (Wine runs Windows x64 apps natively)", std::nullopt},
        {"disk", "Disk space", Status::ok, "78.47 GB free", std::nullopt},
        {"flutter", "Flutter SDK", Status::ok, "Flutter 3.47.0 at " + sdk.string(), std::nullopt},
        {"custom-devices", "Flutter custom devices", Status::ok, "Enabled", std::nullopt},
        {"device", "IDE device", Status::ok, "\u201CTorvex \u00B7 Windows 11\u201D \u2192 " + program.string(), std::nullopt},
        {"component-llvm-mingw", "Windows compiler (llvm-mingw)", Status::ok,
         components[0].shownVersion().value_or("Installed"), std::nullopt},
        {"component-cmake", "CMake", Status::ok, components[1].shownVersion().value_or("Installed"), std::nullopt},
        {"component-ninja", "Ninja", Status::ok, components[2].shownVersion().value_or("Installed"), std::nullopt},
        {"component-wine", "Wine", Status::ok, components[3].shownVersion().value_or("Installed"), std::nullopt},
        {"component-dxvk", "DXVK (Direct3D 11 \u2192 Vulkan)", Status::ok, "1.10.3", std::nullopt},
        {"prefix", "Windows environment", Status::ok, "Profile \u201CWindows 11\u201D ready", std::nullopt},
        {"engine", "Windows engine for my_app", Status::ok, "Cached (0123456789)", std::nullopt},
    };
    EXPECT_EQ(checks, expected);
    EXPECT_FALSE(Doctor::hasFailures(checks));
}

TEST(DoctorTest, TheMachineChecksUnderBothRules) {
    DoctorRig rig;
    const fs::path ran = rig.temp / "arch ran";
    writeScript(rig.temp / "arch-ok", "touch '" + ran.string() + "'\nexit 0\n");
    writeScript(rig.temp / "arch-fails", "touch '" + ran.string() + "'\nexit 1\n");
    const std::string rosettaFix = "Run `softwareupdate --install-rosetta --agree-to-license` (administrator password "
                                   "needed), or let Torvex's setup install it.";
    struct Case {
        const char* name;
        SystemFacts::Rules rules;
        OperatingSystemVersion version;
        std::string machine;
        bool appleSilicon;
        const char* archTool;
        std::optional<std::int64_t> free;
        std::vector<DoctorCheck> expected;  // the first checks, up to "flutter"
        bool probed;
    };
    const Case cases[] = {
        {"Linux on x86_64", SystemFacts::Rules::otherUnix, {6, 1, 0}, "x86_64", false, "arch-fails", 5'000'000'000,
         {{"macos", "Operating system", Status::ok, "Linux 6.1.0", std::nullopt},
          {"rosetta", "CPU", Status::ok, "x86_64 (Wine runs Windows x64 apps natively)", std::nullopt},
          {"disk", "Disk space", Status::ok, "5 GB free", std::nullopt}},
         false},
        {"Linux on another processor, a byte short of 5 GB", SystemFacts::Rules::otherUnix, {6, 5, 2}, "aarch64", false,
         "arch-ok", 4'999'999'999,
         {{"macos", "Operating system", Status::ok, "Linux 6.5.2", std::nullopt},
          {"rosetta", "CPU", Status::failed, "aarch64 (Windows x64 apps need an x86_64 processor here)",
           "Run Torvex on an x86_64 (amd64) machine."},
          {"disk", "Disk space", Status::warning, "5 GB free (Torvex needs about 5 GB)", "Free up disk space."}},
         false},
        {"old Intel Mac, free space unknown", SystemFacts::Rules::macOS, {13, 6, 1}, "x86_64", false, "arch-fails",
         std::nullopt,
         {{"macos", "macOS", Status::failed, "macOS 13.6.1 (needs macOS 14 Sonoma or later)",
           "Update macOS in System Settings \u2192 General \u2192 Software Update."},
          {"rosetta", "CPU", Status::ok, "Intel (no Rosetta needed)", std::nullopt}},
         false},
        {"Apple silicon with Rosetta", SystemFacts::Rules::macOS, {14, 0, 0}, "arm64", true, "arch-ok", 1'000,
         {{"macos", "macOS", Status::ok, "macOS 14.0.0", std::nullopt},
          {"rosetta", "Rosetta 2", Status::ok, "Installed (Apple Silicon)", std::nullopt},
          {"disk", "Disk space", Status::warning, "1 KB free (Torvex needs about 5 GB)", "Free up disk space."}},
         true},
        {"Apple silicon without Rosetta", SystemFacts::Rules::macOS, {15, 1, 0}, "arm64", true, "arch-fails",
         std::nullopt,
         {{"macos", "macOS", Status::ok, "macOS 15.1.0", std::nullopt},
          {"rosetta", "Rosetta 2", Status::failed, "Not installed. Windows apps run through Rosetta on Apple Silicon.",
           rosettaFix}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(ran);
        SystemFacts& facts = rig.inputs.facts;
        facts.rules = c.rules;
        facts.operatingSystemName = c.rules == SystemFacts::Rules::macOS ? "macOS" : "Linux";
        facts.operatingSystemVersion = c.version;
        facts.machine = c.machine;
        facts.appleSilicon = c.appleSilicon;
        facts.archTool = rig.temp / c.archTool;
        facts.freeDiskBytes = c.free;

        const auto checks = rig.run();

        ASSERT_GT(checks.size(), c.expected.size());
        EXPECT_EQ(std::vector<DoctorCheck>(checks.begin(), checks.begin() + static_cast<long>(c.expected.size())),
                  c.expected);
        EXPECT_EQ(checks[c.expected.size()].id, "flutter");
        EXPECT_EQ(fs::exists(ran), c.probed);
    }
}

TEST(DoctorTest, FlutterIsTheGivenSDKElseTheOneFound) {
    DoctorRig rig;
    const fs::path current = rig.temp / "sdk current";
    const fs::path old = rig.temp / "sdk old";
    const fs::path unversioned = rig.temp / "sdk unversioned";
    makeFakeFlutterSDK(current, revision, "", "3.46.1");
    makeFakeFlutterSDK(old, revision, "", "3.40.0");
    makeFakeFlutterSDK(unversioned, revision, "", "3.47.0");
    fs::remove(unversioned / "bin/cache/flutter.version.json");
    struct Case {
        const char* name;
        std::optional<fs::path> flutterRoot;
        std::optional<fs::path> variable;  // FLUTTER_ROOT
        DoctorCheck expected;
    };
    const Case cases[] = {
        {"a supported version", current, std::nullopt,
         {"flutter", "Flutter SDK", Status::ok, "Flutter 3.46.1 at " + current.string(), std::nullopt}},
        {"an older version", old, std::nullopt,
         {"flutter", "Flutter SDK", Status::warning, "Flutter 3.40.0 at " + old.string(),
          SupportedFlutter::warning("3.40.0")}},
        {"no version file", unversioned, std::nullopt,
         {"flutter", "Flutter SDK", Status::ok, "Flutter ? at " + unversioned.string(), std::nullopt}},
        {"a root that is no SDK falls back to FLUTTER_ROOT", rig.temp.path(), current,
         {"flutter", "Flutter SDK", Status::ok, "Flutter 3.46.1 at " + current.string(), std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.inputs.environment.erase("FLUTTER_ROOT");
        if (c.variable) rig.inputs.environment["FLUTTER_ROOT"] = c.variable->string();
        EXPECT_EQ(rig.check("flutter", rig.run(std::nullopt, c.flutterRoot)), c.expected);
    }

    rig.inputs.environment.erase("FLUTTER_ROOT");
    if (Doctor::flutterSDK(std::nullopt, rig.inputs.environment))
        GTEST_SKIP() << "this machine has a Flutter SDK in a usual folder";
    EXPECT_EQ(rig.check("flutter", rig.run(std::nullopt, rig.temp.path())),
              (DoctorCheck{"flutter", "Flutter SDK", Status::failed, "Not found",
                           "Install Flutter (https://docs.flutter.dev/get-started/install/linux) and make sure "
                           "`flutter` is on your PATH."}));
}

TEST(DoctorTest, CustomDevicesAndTheRegisteredDevice) {
    DoctorRig rig;
    const fs::path program = rig.registeredProgram();
    const fs::path notExecutable = rig.temp / "plain file";
    writeFile(notExecutable, "");
    const std::string registerFix = "Run `torvex setup --register`.";
    struct Case {
        const char* name;
        std::optional<fs::path> registered;
        std::optional<std::string> cli;
        DoctorCheck expected;
    };
    const Case cases[] = {
        {"nothing registered", std::nullopt, program.string(),
         {"device", "IDE device", Status::failed, "Not registered", registerFix}},
        {"registered program gone", rig.temp / "gone", std::nullopt,
         {"device", "IDE device", Status::failed, "Registered CLI is missing: " + (rig.temp / "gone").string(),
          "Run `torvex setup --register`."}},
        {"registered program not executable", notExecutable, std::nullopt,
         {"device", "IDE device", Status::failed, "Registered CLI is missing: " + notExecutable.string(),
          "Run `torvex setup --register`."}},
        {"registered to another torvex", program, "/usr/local/bin/torvex",
         {"device", "IDE device", Status::warning, "Registered to another torvex: " + program.string(),
          "Run `/usr/local/bin/torvex setup --register` to use this one."}},
        {"another torvex, but no cli to compare", program, std::nullopt,
         {"device", "IDE device", Status::ok, "\u201CTorvex \u00B7 Windows 11\u201D \u2192 " + program.string(),
          std::nullopt}},
    };
    const fs::path file = CustomDeviceRegistration::configFile(rig.inputs.environment);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(file);
        if (c.registered) CustomDeviceRegistration::registerDevice(c.registered->string(), file);
        EXPECT_EQ(rig.check("device", rig.run(c.cli)), c.expected);
    }

    EXPECT_EQ(rig.check("custom-devices", rig.run()),
              (DoctorCheck{"custom-devices", "Flutter custom devices", Status::failed, "Disabled", registerFix}));
    writeFile(rig.home / ".flutter_settings", R"({"enable-custom-devices": true})");
    EXPECT_EQ(rig.check("custom-devices", rig.run())->status, Status::ok);
}

TEST(DoctorTest, ComponentsThisSystemProvidesAndOneItCannot) {
    DoctorRig rig;
    fs::create_directories(rig.paths.support / "toolchain/20261020/bin");
    fs::create_symlink(rig.temp / "uninstalled ninja", rig.paths.support / "toolchain/20261020/bin/ninja");

    const auto checks = rig.run();

    const std::vector<DoctorCheck> expected = {
        {"component-llvm-mingw", "Windows compiler (llvm-mingw)", Status::failed, "Not installed",
         "Run `torvex setup` to set it up from this system's packages (clang, lld, llvm, g++-mingw-w64-x86-64-posix)."},
        {"component-cmake", "CMake", Status::failed, "Not installed",
         "Run `torvex setup` to set it up from this system's packages (cmake)."},
        {"component-ninja", "Ninja", Status::failed, "Not installed",  // a dangling link is no install
         "Run `torvex setup` to set it up from this system's packages (ninja-build)."},
        {"component-wine", "Wine", Status::failed, "Not installed",
         "Run `torvex setup` to set it up from this system's packages (wine, wine64)."},
        {"component-dxvk", "DXVK (Direct3D 11 \u2192 Vulkan)", Status::info, "Not available on this system (optional)",
         std::nullopt},
    };
    std::vector<DoctorCheck> components;
    for (const auto& check : checks)
        if (check.id.starts_with("component-")) components.push_back(check);
    EXPECT_EQ(components, expected);
    EXPECT_EQ(rig.check("prefix", checks), std::nullopt);  // no Wine, no prefix check
    EXPECT_EQ(rig.check("engine", checks), std::nullopt);
}

TEST(DoctorTest, AComponentFailsWhenItNoLongerRunsTheSystemsPrograms) {
    const std::string relink = ", then run `torvex setup` to link this system's packages again.";
    struct Case {
        const char* id;
        std::function<void(const DoctorRig&)> damage;
        std::function<std::string(const DoctorRig&)> detail;
        std::function<std::string(const DoctorRig&)> fix;
    };
    const auto support = [](const DoctorRig& rig) { return rig.paths.support; };
    const Case cases[] = {
        {"wine",
         [&](const DoctorRig& rig) {
             const fs::path wine = support(rig) / "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin/wine";
             fs::remove(wine);
             writeScript(wine, "echo wine-11.0\n");  // executable, but not the distribution's
         },
         [&](const DoctorRig& rig) {
             return "Not working: " + (support(rig) / "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin/wine").string() +
                    " is not this system's wine (" + (rig.distribution / "bin/wine").string() + ")";
         },
         [&](const DoctorRig& rig) { return "Remove " + (support(rig) / "wine/11.0_1/Wine Stable.app").string() + relink; }},
        {"ninja",
         [&](const DoctorRig& rig) {
             fs::remove(support(rig) / "toolchain/20261020/bin/ninja");
             fs::create_symlink(rig.distribution / "bin/cmake", support(rig) / "toolchain/20261020/bin/ninja");
         },
         [&](const DoctorRig& rig) {
             return "Not working: " + (support(rig) / "toolchain/20261020/bin/ninja").string() +
                    " is not this system's ninja (" + (rig.distribution / "bin/ninja").string() + ")";
         },
         [&](const DoctorRig& rig) { return "Remove " + (support(rig) / "toolchain/20261020/bin/ninja").string() + relink; }},
        {"wine", [](const DoctorRig& rig) { fs::remove(rig.distribution / "bin/wine64"); },  // needed, not linked
         [](const DoctorRig&) { return std::string("Not working: this system has no wine64 (wine64) any more"); },
         [](const DoctorRig&) { return std::string("Install it with `apt-get install wine64`, then run `torvex doctor` again."); }},
        {"llvm-mingw",
         [&](const DoctorRig& rig) { fs::remove(support(rig) / "toolchain/20261020/llvm-mingw/bin/x86_64-w64-mingw32-windres"); },
         [&](const DoctorRig& rig) {
             return "Not working: " + (support(rig) / "toolchain/20261020/llvm-mingw/bin/x86_64-w64-mingw32-windres").string() +
                    " is missing";
         },
         [&](const DoctorRig& rig) { return "Remove " + (support(rig) / "toolchain/20261020/llvm-mingw").string() + relink; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        DoctorRig rig;
        rig.installComponents();
        c.damage(rig);
        const auto checks = rig.run();
        for (const auto& check : checks) {
            if (!check.id.starts_with("component-")) continue;
            if (check.id != std::string("component-") + c.id) {
                EXPECT_EQ(check.status, Status::ok) << check.id << ": " << check.detail;
                continue;
            }
            EXPECT_EQ(check.status, Status::failed);
            EXPECT_EQ(check.detail, c.detail(rig));
            EXPECT_EQ(check.fix, c.fix(rig));
        }
        EXPECT_TRUE(Doctor::hasFailures(checks));
    }
}

TEST(DoctorTest, ThePrefixOfTheCurrentProfileAndTheEngineOfTheProject) {
    DoctorRig rig;
    rig.installWine();
    const fs::path sdk = rig.temp / "flutter";
    makeFakeFlutterSDK(sdk, revision);
    const fs::path project = rig.makeProject();

    EXPECT_EQ(rig.check("prefix", rig.run()),
              (DoctorCheck{"prefix", "Windows environment", Status::warning, "Profile \u201CWindows 11\u201D not created yet",
                           "It is created on first run (~15 s), or run `torvex setup`."}));
    TorvexConfig config;
    config.setCurrentProfile(Profile{"dark", "Dark desk", 144, 1920, 1080, Profile::Theme::dark, "de-DE"});
    config.save(rig.paths);
    writePreparedPrefix(rig.paths.support / "prefixes/dark");
    EXPECT_EQ(rig.check("prefix", rig.run()),
              (DoctorCheck{"prefix", "Windows environment", Status::ok, "Profile \u201CDark desk\u201D ready", std::nullopt}));

    const struct {
        const char* name;
        std::optional<fs::path> flutterRoot;
        std::optional<fs::path> project;
        bool cached;
        std::optional<DoctorCheck> expected;
    } cases[] = {
        {"no project", sdk, std::nullopt, true, std::nullopt},
        {"no SDK", std::nullopt, project, true, std::nullopt},
        {"a folder outside any project", sdk, rig.temp.path(), true, std::nullopt},
        {"not cached yet", sdk, project / "windows",  false,
         DoctorCheck{"engine", "Windows engine for my_app", Status::info, "Downloaded on first build (~120 MB)", std::nullopt}},
        {"cached", sdk, project, true,
         DoctorCheck{"engine", "Windows engine for my_app", Status::ok, "Cached (0123456789)", std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(rig.paths.engineCache());
        if (c.cached) writeFile(rig.paths.engineCache() / revision / "flutter_windows.dll", "");
        const auto checks = rig.run(std::nullopt, c.flutterRoot, c.project);
        EXPECT_EQ(rig.check("engine", checks), c.expected);
        if (c.expected) {
            EXPECT_EQ(checks.back().id, "engine");
        }
    }
}

TEST(DoctorTest, OnlyAFailedCheckIsAFailure) {
    const auto check = [](Status status) { return DoctorCheck{"x", "X", status, "detail", "fix"}; };
    EXPECT_FALSE(Doctor::hasFailures({}));
    EXPECT_FALSE(Doctor::hasFailures({check(Status::ok), check(Status::warning), check(Status::info)}));
    EXPECT_TRUE(Doctor::hasFailures({check(Status::ok), check(Status::failed), check(Status::warning)}));
    EXPECT_EQ(check(Status::ok).symbol(), "\u2713");
    EXPECT_EQ(check(Status::warning).symbol(), "!");
    EXPECT_EQ(check(Status::failed).symbol(), "\u2717");
    EXPECT_EQ(check(Status::info).symbol(), "\u00B7");
}
