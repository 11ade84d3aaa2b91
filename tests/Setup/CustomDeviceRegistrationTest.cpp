#include "Setup/CustomDeviceRegistration.h"

#include "Core/TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using nlohmann::json;
namespace Registration = CustomDeviceRegistration;

namespace {

const std::string cli = "/opt/Torvex dev/Torvex.app/Contents/MacOS/torvex";

json entry(const std::string& program) { return Registration::deviceEntry(program); }

std::optional<std::string> contents(const fs::path& file) {
    if (!fs::exists(fs::symlink_status(file))) return std::nullopt;
    return readFile(file);
}

} // namespace

TEST(CustomDeviceRegistrationTest, TheEntryHasExactlyItsTwelveValues) {
    const json expected = {
        {"id", "torvex"},
        {"label", "Torvex \u00B7 Windows 11"},
        {"sdkNameAndVersion", "Windows 11 (Torvex)"},
        {"platform", "linux-x64"},
        {"enabled", true},
        {"ping", json::array({cli, "ping"})},
        {"pingSuccessRegex", "^ready\\s*$"},
        {"postBuild", json::array({cli, "build", "--bundle", "${localPath}", "--app-name", "${appName}"})},
        {"install", json::array({cli, "install", "--bundle", "${localPath}", "--app-name", "${appName}"})},
        {"uninstall", json::array({cli, "uninstall", "--app-name", "${appName}"})},
        {"runDebug", json::array({cli, "run", "--app-name", "${appName}", "--engine-options=${engineOptions}"})},
        {"screenshot", json::array({cli, "screenshot", "--stdout"})},
    };
    EXPECT_EQ(entry(cli), expected);
    EXPECT_EQ(entry(cli).size(), 12u);
}

TEST(CustomDeviceRegistrationTest, RegisterAndUnregisterOverStartingFiles) {
    const json foreign = {{"id", "pi"}, {"label", "Raspberry Pi"}, {"ping", {"ssh", "pi", "true"}}};
    const json twoOfOurs = {
        {"custom-devices",
         {foreign, {{"id", "torvex"}, {"ping", {"/old/torvex", "ping"}}}, 7, {{"id", 5}},
          {{"id", "torvex"}, {"ping", {"/second/torvex", "ping"}}}}},
        {"other", {{"numbers", {1.5, -2, 1e300}}, {"path", "a/b"}}}};
    struct Case {
        const char* name;
        std::optional<std::string> start;  // none: no file
        std::optional<json> registered;    // none: refused as not JSON
        std::optional<json> unregistered;  // none: still no file
        std::optional<std::string> registeredCLI;
        Registration::Removal removal = Registration::Removal::notRegistered;  // of a file that reads
    };
    const Case cases[] = {
        {"missing", std::nullopt, json{{"custom-devices", {entry(cli)}}}, std::nullopt, std::nullopt,
         Registration::Removal::noFile},
        {"empty", "", json{{"custom-devices", {entry(cli)}}}, json{{"custom-devices", json::array()}}, std::nullopt},
        {"blanks only", " \n\t\n", std::nullopt, std::nullopt, std::nullopt},
        {"an array", "[]", std::nullopt, std::nullopt, std::nullopt},
        {"a bare string", "\"torvex\"", std::nullopt, std::nullopt, std::nullopt},
        {"broken JSON", "{\"custom-devices\": [", std::nullopt, std::nullopt, std::nullopt},
        {"nested beyond reason", "{\"deep\": " + std::string(100'000, '[') + std::string(100'000, ']') + "}",
         std::nullopt, std::nullopt, std::nullopt},
        {"an empty list", R"({"custom-devices": []})", json{{"custom-devices", {entry(cli)}}},
         json{{"custom-devices", json::array()}}, std::nullopt},
        {"custom-devices not a list", R"({"custom-devices": {"id": "torvex"}, "theme": "dark"})",
         json{{"custom-devices", {entry(cli)}}, {"theme", "dark"}}, json{{"custom-devices", json::array()}, {"theme", "dark"}},
         std::nullopt},
        {"two of ours among others", twoOfOurs.dump(),
         json{{"custom-devices",
               {foreign, entry(cli), 7, {{"id", 5}}, {{"id", "torvex"}, {"ping", {"/second/torvex", "ping"}}}}},
              {"other", twoOfOurs["other"]}},
         json{{"custom-devices", {foreign, 7, {{"id", 5}}}}, {"other", twoOfOurs["other"]}}, "/old/torvex",
         Registration::Removal::removed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const fs::path file = dir / "config" / "flutter" / "custom_devices.json";
        if (c.start) writeFile(file, *c.start);

        EXPECT_EQ(Registration::registeredCLI(file), c.registeredCLI);

        if (!c.start) {
            EXPECT_EQ(Registration::unregister(file), c.removal);
            EXPECT_FALSE(fs::exists(file.parent_path()));  // nothing made for nothing
        } else if (c.unregistered) {
            EXPECT_EQ(Registration::unregister(file), c.removal);
            EXPECT_EQ(json::parse(readFile(file)), *c.unregistered);
            writeFile(file, *c.start);
        } else {
            EXPECT_EQ(errorOf([&] { Registration::unregister(file); }).what, "Could not read " + file.string() + ".");
            EXPECT_EQ(contents(file), c.start);
        }

        if (c.registered) {
            Registration::registerDevice(cli, file);
            EXPECT_EQ(json::parse(readFile(file)), *c.registered);
            EXPECT_EQ(Registration::registeredCLI(file), cli);
        } else {
            const TorvexError error = errorOf([&] { Registration::registerDevice(cli, file); });
            EXPECT_EQ(error.what, "Could not read " + file.string() + ".");
            EXPECT_EQ(error.why, "It is not valid JSON.");
            EXPECT_EQ(error.fix, "Fix or delete the file, then run `torvex setup --register` again.");
            EXPECT_EQ(contents(file), c.start);  // left byte for byte
        }
    }
}

TEST(CustomDeviceRegistrationTest, RegisteringTwiceWritesTheSameBytesAndAnotherProgramOnlyItsEntry) {
    const TempDir dir;
    const fs::path file = dir / "custom_devices.json";
    writeFile(file, R"({"zeta": 1, "custom-devices": [{"id": "pi"}, {"id": "torvex"}, {"id": "last"}], "alpha": "x/y"})");

    Registration::registerDevice(cli, file);
    const std::string first = readFile(file);
    Registration::registerDevice(cli, file);
    EXPECT_EQ(readFile(file), first);
    // Pretty, keys sorted, slashes and the middle dot as they are.
    EXPECT_LT(first.find("\"alpha\""), first.find("\"custom-devices\""));
    EXPECT_LT(first.find("\"custom-devices\""), first.find("\"zeta\""));
    EXPECT_NE(first.find("\n  \"alpha\": \"x/y\""), std::string::npos) << first;
    EXPECT_NE(first.find("\"Torvex \u00B7 Windows 11\""), std::string::npos);
    EXPECT_NE(first.find("\"" + cli + "\""), std::string::npos);

    Registration::registerDevice("/usr/local/bin/torvex", file);
    const json devices = json::parse(readFile(file))["custom-devices"];
    EXPECT_EQ(devices, json::array({{{"id", "pi"}}, entry("/usr/local/bin/torvex"), {{"id", "last"}}}));
}

TEST(CustomDeviceRegistrationTest, AFileThatIsALinkStaysALink) {
    const TempDir dir;
    const fs::path target = dir / "dotfiles" / "custom_devices.json";
    const fs::path file = dir / "config" / "custom_devices.json";
    writeFile(target, "{}");
    fs::create_directories(file.parent_path());
    fs::create_symlink(target, file);

    Registration::registerDevice(cli, file);

    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(json::parse(readFile(target))["custom-devices"], json::array({entry(cli)}));
}

TEST(CustomDeviceRegistrationTest, UnregisteringOverADanglingLinkCreatesNothing) {
    const TempDir dir;
    const fs::path file = dir / "config" / "custom_devices.json";
    fs::create_directories(file.parent_path());
    fs::create_symlink(dir / "dotfiles" / "custom_devices.json", file);

    EXPECT_EQ(Registration::unregister(file), Registration::Removal::noFile);

    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_FALSE(fs::exists(dir / "dotfiles"));
}

TEST(CustomDeviceRegistrationTest, RegisteredProgramIsTheFirstPingWordOfTheFirstEntry) {
    const struct {
        const char* name;
        std::string document;
        std::optional<std::string> program;
    } cases[] = {
        {"the ping's first word", R"({"custom-devices": [{"id": "torvex", "ping": ["/a/torvex", "ping"]}]})", "/a/torvex"},
        {"no ping", R"({"custom-devices": [{"id": "torvex"}]})", std::nullopt},
        {"an empty ping", R"({"custom-devices": [{"id": "torvex", "ping": []}]})", std::nullopt},
        {"a ping holding a number", R"({"custom-devices": [{"id": "torvex", "ping": ["/a/torvex", 1]}]})", std::nullopt},
        {"a ping that is text", R"({"custom-devices": [{"id": "torvex", "ping": "/a/torvex ping"}]})", std::nullopt},
        {"a later entry is not consulted",
         R"({"custom-devices": [{"id": "torvex"}, {"id": "torvex", "ping": ["/b/torvex"]}]})", std::nullopt},
        {"only other devices", R"({"custom-devices": [{"id": "TORVEX", "ping": ["/c"]}]})", std::nullopt},
        {"no device list", R"({"devices": []})", std::nullopt},
    };
    const TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir / "devices.json", c.document);
        EXPECT_EQ(Registration::registeredCLI(dir / "devices.json"), c.program) << c.name;
    }
    fs::create_directories(dir / "a folder");
    EXPECT_EQ(Registration::registeredCLI(dir / "a folder"), std::nullopt);
}

TEST(CustomDeviceRegistrationTest, BothFilesLieWhereTheFlutterToolReadsThem) {
    enum class AtHome { nothing, file, linkToFile, danglingLink, folder, linkToFolder };
    enum class Where { home, xdg, config };
    struct Case {
        const char* name;
        AtHome atHome;                        // what is at ~/.flutter_<name>
        std::optional<std::string> xdg;       // XDG_CONFIG_HOME; "<dir>" is replaced by the test folder
        Where where;
    };
    const Case cases[] = {
        {"a file at home wins over XDG_CONFIG_HOME", AtHome::file, "<dir>/xdg", Where::home},
        {"a link to a file at home counts as one", AtHome::linkToFile, "<dir>/xdg", Where::home},
        {"a dangling link at home does not", AtHome::danglingLink, "<dir>/xdg", Where::xdg},
        {"a folder at home does not", AtHome::folder, "<dir>/xdg", Where::xdg},
        {"a link to a folder at home does not", AtHome::linkToFolder, std::nullopt, Where::config},
        {"XDG_CONFIG_HOME holds the file itself, no flutter folder", AtHome::nothing, "<dir>/xdg", Where::xdg},
        {"XDG_CONFIG_HOME is taken literally", AtHome::nothing, "~/conf", Where::xdg},
        {"XDG_CONFIG_HOME empty counts as unset", AtHome::nothing, "", Where::config},
        {"neither", AtHome::nothing, std::nullopt, Where::config},
    };
    for (const Case& c : cases) {
        for (const std::string name : {"custom_devices.json", "settings"}) {
            SCOPED_TRACE(std::string(c.name) + ": " + name);
            const TempDir dir;
            const fs::path home = dir / "home";
            const fs::path atHome = home / (".flutter_" + name);
            fs::create_directories(home);
            switch (c.atHome) {
            case AtHome::nothing: break;
            case AtHome::file: writeFile(atHome, "{}"); break;
            case AtHome::linkToFile: writeFile(dir / "dotfiles" / name, "{}"); fs::create_symlink(dir / "dotfiles" / name, atHome); break;
            case AtHome::danglingLink: fs::create_symlink(dir / "nowhere", atHome); break;
            case AtHome::folder: fs::create_directories(atHome); break;
            case AtHome::linkToFolder: fs::create_directories(dir / "elsewhere"); fs::create_symlink(dir / "elsewhere", atHome); break;
            }
            Environment environment{{"HOME", home.string()}};
            std::string xdg;
            if (c.xdg) {
                xdg = *c.xdg;
                if (xdg.starts_with("<dir>")) xdg = dir.path().string() + xdg.substr(5);
                environment["XDG_CONFIG_HOME"] = xdg;
            }
            const fs::path expected = c.where == Where::home  ? atHome
                                      : c.where == Where::xdg ? fs::path(xdg) / name
                                                              : home / ".config" / "flutter" / name;
            EXPECT_EQ(Registration::flutterConfigFile(environment, name), expected);
            if (name == "custom_devices.json") {
                EXPECT_EQ(Registration::configFile(environment), expected);
            }
            if (name != "settings" || c.where == Where::home || xdg.starts_with("~")) continue;
            // The switch is read there, and only there.
            writeFile(expected, R"({"enable-custom-devices": true})");
            EXPECT_TRUE(Registration::customDevicesEnabled(environment));
            fs::remove(expected);
            writeFile(dir / "xdg" / "flutter" / "settings", R"({"enable-custom-devices": true})");
            EXPECT_FALSE(Registration::customDevicesEnabled(environment));
        }
    }
}

TEST(CustomDeviceRegistrationTest, CustomDevicesAreOnOnlyByTheVariableOrAJSONBoolean) {
    struct Case {
        const char* name;
        std::optional<std::string> variable;   // FLUTTER_CUSTOM_DEVICES
        std::optional<std::string> ownSettings;  // ~/.flutter_settings
        std::optional<std::string> besideFile;   // <XDG_CONFIG_HOME>/settings
        bool enabled;
    };
    const Case cases[] = {
        {"variable true", "true", std::nullopt, std::nullopt, true},
        {"variable TRUE, settings true", "TRUE", R"({"enable-custom-devices": true})", std::nullopt, false},
        {"variable 1", "1", R"({"enable-custom-devices": true})", std::nullopt, false},
        {"variable empty", "", R"({"enable-custom-devices": true})", std::nullopt, false},
        {"home settings true", std::nullopt, R"({"enable-custom-devices": true})", std::nullopt, true},
        {"home settings false", std::nullopt, R"({"enable-custom-devices": false})", R"({"enable-custom-devices": true})",
         false},
        {"home settings 1", std::nullopt, R"({"enable-custom-devices": 1})", std::nullopt, false},
        {"home settings \"true\"", std::nullopt, R"({"enable-custom-devices": "true"})", std::nullopt, false},
        {"home settings not JSON", std::nullopt, "{enable-custom-devices: true}", std::nullopt, false},
        {"home settings a list", std::nullopt, R"([{"enable-custom-devices": true}])", std::nullopt, false},
        {"home settings without the key", std::nullopt, R"({"analytics": true})", std::nullopt, false},
        {"settings in the config folder", std::nullopt, std::nullopt, R"({"enable-custom-devices": true})", true},
        {"no settings at all", std::nullopt, std::nullopt, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const fs::path home = dir / "home";
        fs::create_directories(home);
        Environment environment{{"HOME", home.string()}, {"XDG_CONFIG_HOME", (dir / "xdg").string()}};
        if (c.variable) environment["FLUTTER_CUSTOM_DEVICES"] = *c.variable;
        if (c.ownSettings) writeFile(home / ".flutter_settings", *c.ownSettings);
        if (c.besideFile) writeFile(dir / "xdg/settings", *c.besideFile);
        EXPECT_EQ(Registration::customDevicesEnabled(environment), c.enabled);
    }

    // A FIFO is not read (and not waited on).
    const TempDir dir;
    fs::create_directories(dir / ".config" / "flutter");
    ASSERT_EQ(::mkfifo((dir / ".config" / "flutter" / "settings").c_str(), 0600), 0);
    EXPECT_FALSE(Registration::customDevicesEnabled({{"HOME", dir.path().string()}}));
}
