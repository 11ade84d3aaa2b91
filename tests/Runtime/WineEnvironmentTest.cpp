#include "Runtime/WineEnvironment.h"

#include "Core/TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::errorOf;
using testing::writeFile;
using testing::writeScript;

// A Wine build of the installer's shape: support/wine/<version>/<bundle>/Contents/Resources/wine/bin/wine.
fs::path wineBundle(const fs::path& support, const std::string& version, const std::string& bundle) {
    return support / "wine" / version / bundle / "Contents" / "Resources" / "wine" / "bin";
}

void goodWine(const fs::path& bin) { writeScript(bin / "wine", "exit 0\n"); }

void dxvk(const fs::path& support, const std::string& version, std::vector<std::string> dlls = {"d3d11.dll", "d3d10core.dll"}) {
    for (const auto& dll : dlls) writeFile(support / "dxvk" / version / "x64" / dll, "MZ");
}

TEST(WineEnvironmentTest, LocatesTheWineBuildAndDXVK) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& support, const fs::path& outside)> arrange;
        std::map<std::string, std::string> environment;
        std::optional<std::string> bin;   // relative to the test folder; none: "Wine is not installed."
        std::optional<std::string> dxvk;  // relative to the test folder
    };
    const std::vector<Case> cases = {
        {"9.0 sorts after 10.0 and is chosen",
         [](auto& s, auto&) { goodWine(wineBundle(s, "10.0", "Wine Stable.app")); goodWine(wineBundle(s, "9.0", "Wine Stable.app")); },
         {}, "support/wine/9.0/Wine Stable.app/Contents/Resources/wine/bin", std::nullopt},
        {"a last version whose bundle has no executable wine falls back to an earlier one",
         [](auto& s, auto&) {
             writeFile(wineBundle(s, "9.0", "Wine.app") / "wine", "not executable");
             goodWine(wineBundle(s, "10.0", "Wine.app"));
         },
         {}, "support/wine/10.0/Wine.app/Contents/Resources/wine/bin", std::nullopt},
        {"only the first bundle of a version folder, in code-point order, is tried",
         [](auto& s, auto&) {
             fs::create_directories(wineBundle(s, "9.0", "Broken.app"));
             goodWine(wineBundle(s, "9.0", "Wine.app"));
             goodWine(wineBundle(s, "8.0", "Wine.app"));
         },
         {}, "support/wine/8.0/Wine.app/Contents/Resources/wine/bin", std::nullopt},
        {"version entries that are files or hold no .app are passed over",
         [](auto& s, auto&) {
             writeFile(s / "wine" / "9.9", "a file");
             fs::create_directories(s / "wine" / "9.5" / "Wine");
             goodWine(wineBundle(s, "9.1", "Wine.app"));
         },
         {}, "support/wine/9.1/Wine.app/Contents/Resources/wine/bin", std::nullopt},
        {"a folder named wine is not a program",
         [](auto& s, auto&) { fs::create_directories(wineBundle(s, "9.0", "Wine.app") / "wine"); },
         {}, std::nullopt, std::nullopt},
        {"no Wine root", [](auto&, auto&) {}, {}, std::nullopt, std::nullopt},
        {"TORVEX_WINE_BIN is taken as it is",
         [](auto& s, auto& o) { goodWine(wineBundle(s, "9.0", "Wine.app")); goodWine(o / "bin"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}}, "outside/bin", std::nullopt},
        {"TORVEX_WINE_BIN naming a folder without wine fails even beside a good build",
         [](auto& s, auto& o) { goodWine(wineBundle(s, "9.0", "Wine.app")); fs::create_directories(o / "bin"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}}, std::nullopt, std::nullopt},
        {"the greatest complete DXVK",
         [](auto& s, auto& o) { goodWine(o / "bin"); dxvk(s, "2.3"); dxvk(s, "2.4"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}}, "outside/bin", "support/dxvk/2.4/x64"},
        {"the greatest DXVK lacking a DLL means none, not an earlier one",
         [](auto& s, auto& o) { goodWine(o / "bin"); dxvk(s, "2.3"); dxvk(s, "2.4", {"d3d11.dll"}); },
         {{"TORVEX_WINE_BIN", "outside/bin"}}, "outside/bin", std::nullopt},
        {"a folder in a DLL's place is no DLL",
         [](auto& s, auto& o) { goodWine(o / "bin"); dxvk(s, "2.4", {"d3d11.dll"}); fs::create_directories(s / "dxvk/2.4/x64/d3d10core.dll"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}}, "outside/bin", std::nullopt},
        {"TORVEX_D3D=wined3d switches DXVK off",
         [](auto& s, auto& o) { goodWine(o / "bin"); dxvk(s, "2.4"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}, {"TORVEX_D3D", "wined3d"}}, "outside/bin", std::nullopt},
        {"TORVEX_D3D is compared case-sensitively",
         [](auto& s, auto& o) { goodWine(o / "bin"); dxvk(s, "2.4"); },
         {{"TORVEX_WINE_BIN", "outside/bin"}, {"TORVEX_D3D", "WINED3D"}}, "outside/bin", "support/dxvk/2.4/x64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir temp;
        const TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
        c.arrange(paths.support, temp / "outside");
        auto environment = c.environment;
        if (auto given = environment.find("TORVEX_WINE_BIN"); given != environment.end()) {
            given->second = (temp / given->second).string();
        }
        if (!c.bin) {
            const TorvexError error = errorOf([&] { WineEnvironment::locate(paths, "default", environment); });
            EXPECT_EQ(error.kind, TorvexError::Kind::generic);
            EXPECT_EQ(error.what, "Wine is not installed.");
            EXPECT_EQ(error.why, "No Wine build found in " + (paths.support / "wine").string() + ".");
            EXPECT_EQ(error.fix, "Run `torvex setup` to install it.");
            continue;
        }
        const WineEnvironment wine = WineEnvironment::locate(paths, "default", environment);
        EXPECT_EQ(wine.bin, temp / *c.bin);
        EXPECT_EQ(wine.dxvk, c.dxvk ? std::optional<fs::path>(temp / *c.dxvk) : std::nullopt);
        EXPECT_EQ(wine.prefix, paths.support / "prefixes" / "default");
    }
}

TEST(WineEnvironmentTest, NamesTheProfilesPrefixAndItsPrograms) {
    const TempDir temp;
    goodWine(temp / "bin");
    const TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
    const WineEnvironment wine = WineEnvironment::locate(paths, "dark-1", {{"TORVEX_WINE_BIN", (temp / "bin").string()}});
    EXPECT_EQ(wine.prefix, temp / "support/prefixes/dark-1");
    EXPECT_EQ(wine.driveC(), temp / "support/prefixes/dark-1/drive_c");
    EXPECT_EQ(wine.wine(), temp / "bin/wine");
    EXPECT_EQ(wine.wineboot(), temp / "bin/wineboot");
    EXPECT_EQ(wine.wineserver(), temp / "bin/wineserver");
    EXPECT_FALSE(fs::exists(paths.support / "prefixes"));  // locate only looks
}

TEST(WineEnvironmentTest, BuildsTheEnvironmentOfEveryWineProcess) {
    const std::string noDXVK = "mscoree,mshtml=";
    const std::string withDXVK = "mscoree,mshtml=;d3d11,d3d10core=n,b";
    struct Case {
        const char* name;
        bool dxvk;
        Environment process;
        Environment extra;
        std::string debug, overrides;
        Environment more;  // further variables expected besides the five
    };
    const std::vector<Case> cases = {
        {"WINEDEBUG defaults to -all", false, {{"HOME", "/home/me"}}, {}, "-all", noDXVK, {}},
        {"the process's WINEDEBUG is kept, even empty", false, {{"WINEDEBUG", ""}}, {}, "", noDXVK, {}},
        {"the process's WINEDEBUG value", true, {{"WINEDEBUG", "+loaddll"}}, {}, "+loaddll", withDXVK, {}},
        {"extra wins over the inherited WINEDEBUG and adds its own", false, {{"WINEDEBUG", "+loaddll"}},
         {{"WINEDEBUG", "err+all"}, {"LANG", "de_DE.UTF-8"}}, "err+all", noDXVK, {{"LANG", "de_DE.UTF-8"}}},
        {"extra wins over the overrides", true, {}, {{"WINEDLLOVERRIDES", "d3d11=b"}}, "-all", "d3d11=b", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const WineEnvironment wine{"/opt/wine/bin", "/data/prefixes/default",
                                   c.dxvk ? std::optional<fs::path>("/data/dxvk/2.4/x64") : std::nullopt};
        Environment expected{{"WINEPREFIX", "/data/prefixes/default"},
                             {"WINEDEBUG", c.debug},
                             {"WINEDLLOVERRIDES", c.overrides},
                             {"DXVK_LOG_LEVEL", "none"},
                             {"MVK_CONFIG_LOG_LEVEL", "1"}};
        expected.insert(c.more.begin(), c.more.end());
        EXPECT_EQ(wine.environment(c.extra, c.process), expected);
    }
}

TEST(WineEnvironmentTest, WindowsPathOfAFileUnderDriveC) {
    const WineEnvironment wine{"/opt/wine/bin", "/home/me/Library/Application Support/Torvex/prefixes/default", std::nullopt};
    const fs::path c = wine.driveC();
    EXPECT_EQ(wine.windowsPath(c / "Torvex/Apps/Demo/demo.exe"), "C:\\Torvex\\Apps\\Demo\\demo.exe");
    EXPECT_EQ(wine.windowsPath(c / "a b/ü.exe"), "C:\\a b\\ü.exe");
    EXPECT_EQ(wine.windowsPath(c), "C:\\");
}

TEST(WineEnvironmentTest, RefusesNamesThatAreNotOneFolderOrOneCommandArgument) {
    const std::vector<std::string> refused = {
        "", ".", "..", "a/b", "/", "a\\b", std::string("a\0b", 3), "a\nb", "a\tb", "\x7f", "a\xC2\x85",
        "a&b", "a|b", "a<b", "a>b", "a^b", "%PATH%", "a\"b",
        // What real Wine's `cmd /c` cannot start ("Can't recognize …"):
        "a;b", "a,b", "a=b", "a(x)", "a(x", "a*b", "a?b", "a.", "..."};
    for (const auto& name : refused) {
        SCOPED_TRACE(name);
        EXPECT_EQ(errorOf([&] { requireUsableName(name, NameRole::appName); }).kind, TorvexError::Kind::usage);
        EXPECT_EQ(errorOf([&] { requireUsableName(name, NameRole::profileID); }).kind, TorvexError::Kind::usage);
    }
    for (const std::string name : {"demo", "my_app", "dark-1", "app.v2", "..a", "über", "a b", "x'y", "a)", "a!b", "a+b"}) {
        SCOPED_TRACE(name);
        EXPECT_NO_THROW(requireUsableName(name, NameRole::appName));
    }

    const TorvexError app = errorOf([] { requireUsableName("a\nb&c", NameRole::appName); });
    EXPECT_EQ(app.what, "\"a\\nb&c\" is not a usable app name.");
    EXPECT_EQ(app.why, "It holds a control character (U+000A); an app name becomes a folder name and part of a "
                       "Windows command line.");
    EXPECT_EQ(app.fix, "Use the app's package name, as pubspec.yaml gives it.");

    // A profile id is checked before anything is looked up.
    const TempDir temp;
    goodWine(temp / "bin");
    const TorvexError profile = errorOf([&] {
        WineEnvironment::locate({temp / "support", temp / "caches", temp / "logs"}, "..",
                                {{"TORVEX_WINE_BIN", (temp / "bin").string()}});
    });
    EXPECT_EQ(profile.kind, TorvexError::Kind::usage);
    EXPECT_EQ(profile.what, "\"..\" is not a usable profile id.");
    EXPECT_EQ(profile.why, "It is \"..\"; a profile id becomes a folder name and part of a Windows command line.");

    const TorvexError dotted = errorOf([] { requireUsableName("my app...", NameRole::appName); });
    EXPECT_EQ(dotted.what, "\"my app...\" is not a usable app name.");
    EXPECT_EQ(dotted.why, "It ends with \".\"; an app name becomes a folder name and part of a Windows command line.");
}

} // namespace
} // namespace torvex
