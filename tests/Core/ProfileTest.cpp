#include "Core/Profile.h"

#include "Core/ProcessRunner.h"
#include "support/TestSupport.h"

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <set>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

TorvexPaths pathsIn(const TempDir& dir) { return TorvexPaths{dir / "support", dir / "caches", dir / "logs"}; }

Profile profile(const std::string& id) { return Profile{id, "Name " + id, 96, 1280, 720, Profile::Theme::light, "en-US"}; }

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A valid file with one profile; `edit` breaks or varies it.
std::string configText(const std::function<void(nlohmann::json&)>& edit) {
    nlohmann::json document = {
        {"currentProfileID", "desk"},
        {"profiles",
         {{{"id", "desk"}, {"name", "Desk"}, {"dpi", 120}, {"width", 1920}, {"height", 1080}, {"theme", "dark"},
           {"locale", "de-DE"}}}},
    };
    edit(document);
    return document.dump();
}

} // namespace

TEST(ProfileTest, SummaryScaleAndLocale) {
    struct Case {
        Profile profile;
        std::int64_t scale;
        std::string summary, posixLocale;
    };
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::string maxText = std::to_string(max), minText = std::to_string(min);
    const std::vector<Case> cases = {
        {Profile::defaultProfile(), 100, "1280×720 · 100 % · Light · en-US", "en_US.UTF-8"},
        {{"x", "x", 144, 2560, 1440, Profile::Theme::dark, "de-DE"}, 150, "2560×1440 · 150 % · Dark · de-DE", "de_DE.UTF-8"},
        {{"x", "x", 100, -5, 0, Profile::Theme::light, "fr"}, 104, "-5×0 · 104 % · Light · fr", "fr.UTF-8"},
        {{"x", "x", -100, 1, 1, Profile::Theme::light, "a-b-c"}, -104, "1×1 · -104 % · Light · a-b-c", "a_b_c.UTF-8"},
        {{"x", "x", max, 1, 1, Profile::Theme::light, ""}, max, "1×1 · " + maxText + " % · Light · ", ".UTF-8"},
        {{"x", "x", min, 1, 1, Profile::Theme::dark, ""}, min, "1×1 · " + minText + " % · Dark · ", ".UTF-8"},
        {{"x", "x", max / 100, 1, 1, Profile::Theme::dark, ""}, max / 100 * 100 / 96,
         "1×1 · " + std::to_string(max / 100 * 100 / 96) + " % · Dark · ", ".UTF-8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.profile.scalePercent(), c.scale) << c.summary;
        EXPECT_EQ(c.profile.summary(), c.summary);
        EXPECT_EQ(c.profile.posixLocale(), c.posixLocale) << c.summary;
    }
}

TEST(ProfileTest, MissingFileGivesDefaultsAndSaveLoadRoundTrips) {
    const TempDir dir;
    const TorvexPaths paths = pathsIn(dir);
    const TorvexConfig fresh = TorvexConfig::load(paths);
    EXPECT_EQ(fresh.profiles, std::vector<Profile>{Profile::defaultProfile()});
    EXPECT_EQ(fresh.currentProfileID, "default");
    EXPECT_FALSE(fs::exists(paths.support)) << "loading writes nothing";

    TorvexConfig config;
    config.profiles.push_back({"büro", "Büro ×", -1, 3840, 2160, Profile::Theme::dark, "ja-JP"});
    config.currentProfileID = "nobody";
    config.onboardingCompletedAt = 786705600.123456;
    config.flutterRoot = "/home/me/flutter sdk";
    config.save(paths);  // creates the support folder
    const std::string written = readFile(paths.support / "config.json");

    const TorvexConfig loaded = TorvexConfig::load(paths);
    EXPECT_EQ(loaded, config);
    loaded.save(paths);
    EXPECT_EQ(readFile(paths.support / "config.json"), written) << "a load-then-save round trip is byte-identical";
    EXPECT_EQ(filesIn(paths.support), (std::vector<std::string>{"config.json", "config.json.lock"})) << "no temporary file is left";

    const auto document = nlohmann::json::parse(written);
    EXPECT_FALSE(document.contains("captureFolder")) << "an absent optional is omitted, never null";
    EXPECT_EQ(written.find("\"captureFolder\""), std::string::npos);
    EXPECT_LT(written.find("\"currentProfileID\""), written.find("\"flutterRoot\""));
    EXPECT_LT(written.find("\"onboardingCompletedAt\""), written.find("\"profiles\""));
    EXPECT_LT(written.find("\"dpi\""), written.find("\"height\""));
    EXPECT_NE(written.find("\n  "), std::string::npos) << "pretty-printed";

    TorvexConfig atReferenceDate;
    atReferenceDate.onboardingCompletedAt = referenceSeconds(std::chrono::system_clock::from_time_t(978307200));
    atReferenceDate.captureFolder = "";
    atReferenceDate.save(paths);
    const auto reference = nlohmann::json::parse(readFile(paths.support / "config.json"));
    EXPECT_EQ(reference["onboardingCompletedAt"].dump(), "0");
    EXPECT_EQ(reference["captureFolder"], "");
    EXPECT_EQ(TorvexConfig::load(paths), atReferenceDate);
}

TEST(ProfileTest, DecodingIsStrict) {
    using nlohmann::json;
    struct Case {
        const char* name;
        std::string text;
        bool decodes;
    };
    const auto profileField = [](const char* key, json value) {
        return configText([=](json& d) { d["profiles"][0][key] = value; });
    };
    const std::vector<Case> cases = {
        {"valid", configText([](json&) {}), true},
        {"whole-number float for an integer", profileField("dpi", 96.0), true},
        {"null optional means absent", configText([](json& d) { d["flutterRoot"] = nullptr; }), true},
        {"unknown key ignored", configText([](json& d) { d["future"] = 1; }), true},
        {"missing profile key", configText([](json& d) { d["profiles"][0].erase("locale"); }), false},
        {"missing currentProfileID", configText([](json& d) { d.erase("currentProfileID"); }), false},
        {"null required value", profileField("name", nullptr), false},
        {"theme with a capital", profileField("theme", "Dark"), false},
        {"fractional dpi", profileField("dpi", 96.5), false},
        {"dpi as text", profileField("dpi", "96"), false},
        {"integer beyond 64 bits", profileField("width", 18446744073709551615ULL), false},
        {"optional of the wrong type", configText([](json& d) { d["captureFolder"] = 3; }), false},
        {"not JSON", "{\"profiles\": [", false},
        {"not an object", "[]", false},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        writeFile(dir / "support/config.json", c.text);
        const TorvexConfig loaded = TorvexConfig::load(pathsIn(dir));
        EXPECT_EQ(loaded.currentProfileID, c.decodes ? "desk" : "default") << c.name;
        EXPECT_EQ(loaded.profiles.size(), 1u) << c.name;
        EXPECT_EQ(readFile(dir / "support/config.json"), c.text) << c.name << ": load leaves the file alone";
    }
    const TempDir dir;
    writeFile(dir / "support/config.json", profileField("dpi", 96.0));
    EXPECT_EQ(TorvexConfig::load(pathsIn(dir)).profiles.at(0).dpi, 96);
}

TEST(ProfileTest, SavingOverAnUndecodableFileKeepsItAside) {
    const TempDir dir;
    const TorvexPaths paths = pathsIn(dir);
    const std::string damaged = configText([](nlohmann::json& d) { d["profiles"][0]["theme"] = "Dark"; });
    writeFile(paths.support / "config.json", damaged);

    TorvexConfig config = TorvexConfig::load(paths);
    EXPECT_EQ(config, TorvexConfig());
    config.flutterRoot = "/sdk";
    config.save(paths);

    const auto names = filesIn(paths.support);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "config.json");
    EXPECT_EQ(names[1].rfind("config.json.damaged-", 0), 0u) << names[1];
    EXPECT_EQ(names[2], "config.json.lock");
    EXPECT_EQ(readFile(paths.support / names[1]), damaged) << "the user's profiles are never lost";
    EXPECT_EQ(TorvexConfig::load(paths), config);

    config.save(paths);  // a decodable file is simply replaced
    EXPECT_EQ(filesIn(paths.support).size(), 3u);
}

TEST(ProfileTest, SaveFailureLeavesThePreviousFile) {
    const TempDir dir;
    writeFile(dir / "support", "a file where the folder must be");
    EXPECT_THROW(TorvexConfig().save(pathsIn(dir)), fs::filesystem_error);

    // A write that fails partway (the file-size limit stands in for a full disk).
    struct Case {
        const char* name;
        std::string previous;
    };
    const std::vector<Case> cases = {
        {"decodable", configText([](nlohmann::json&) {})},
        {"undecodable", "{\"profiles\": ["},
    };
    for (const auto& c : cases) {
        const TempDir other;
        writeFile(other / "support/config.json", c.previous);
        TorvexConfig config;
        config.flutterRoot = std::string(200, 'x');

        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit previousLimit{};
        ::getrlimit(RLIMIT_FSIZE, &previousLimit);
        rlimit small = previousLimit;
        small.rlim_cur = 64;
        ::setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_THROW(config.save(pathsIn(other)), fs::filesystem_error) << c.name;
        ::setrlimit(RLIMIT_FSIZE, &previousLimit);
        ::signal(SIGXFSZ, previousHandler);

        EXPECT_EQ(readFile(other / "support/config.json"), c.previous) << c.name;
        for (const auto& name : filesIn(other / "support")) {  // no temporary file; a kept copy at most
            if (name != "config.json.lock") {
                EXPECT_EQ(readFile(other / "support" / name), c.previous) << c.name << ": " << name;
            }
        }
    }
}

TEST(ProfileTest, SavingRemovesTheTemporaryFilesOfSavesThatACrashCutShort) {
    const TempDir dir;
    const TorvexPaths paths = pathsIn(dir);
    writeFile(dir / "elsewhere.txt", "keep");
    const struct {
        std::string name;
        std::function<void(const fs::path&)> make;
        bool removed;
    } cases[] = {
        {"config.json.Q1w2E3", [](const fs::path& p) { writeFile(p, "{\"profiles\":"); }, true},
        {"config.json.zzzzz9", [](const fs::path& p) { writeFile(p, ""); }, true},
        {"config.json.backup", [](const fs::path& p) { writeFile(p, "mine"); }, false},
        {"config.json.Q1w2E", [](const fs::path& p) { writeFile(p, "mine"); }, false},
        {"config.json.Q1w2E3x", [](const fs::path& p) { writeFile(p, "mine"); }, false},
        {"config.json.Q1-2E3", [](const fs::path& p) { writeFile(p, "mine"); }, false},
        {"other.json.Q1w2E3", [](const fs::path& p) { writeFile(p, "mine"); }, false},
        {"config.json.L1nk00", [&](const fs::path& p) { fs::create_symlink(dir / "elsewhere.txt", p); }, false},
        {"config.json.D1r000", [](const fs::path& p) { writeFile(p / "inside", "mine"); }, false},
    };
    for (const auto& c : cases) c.make(paths.support / c.name);

    TorvexConfig().save(paths);
    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(fs::symlink_status(paths.support / c.name)), !c.removed) << c.name;
    }
    EXPECT_EQ(readFile(dir / "elsewhere.txt"), "keep");
    EXPECT_EQ(TorvexConfig::load(paths), TorvexConfig());
}

TEST(ProfileTest, TextThatIsNotUTF8IsRepairedOnSave) {
    const TempDir dir;
    TorvexConfig config;
    config.profiles.at(0).name = "B\xFCro";
    config.flutterRoot = "/sdk/\xC3";
    config.save(pathsIn(dir));

    TorvexConfig repaired = config;
    repaired.profiles.at(0).name = "B\uFFFDro";
    repaired.flutterRoot = "/sdk/\uFFFD";
    EXPECT_EQ(TorvexConfig::load(pathsIn(dir)), repaired);
}

TEST(ProfileTest, UpdatesFromSeveralProcessesAreAllKept) {
    // They start from an undecodable file, which exactly one of them keeps aside.
    const TempDir dir;
    const std::string damaged = "{\"profiles\": [";
    writeFile(dir / "support/config.json", damaged);
    constexpr int writers = 6, updates = 40;
    {
        std::vector<std::jthread> processes;
        for (int w = 0; w < writers; ++w) {
            processes.emplace_back([&, w] {
                const ProcessResult result = ProcessRunner::shared().capture(
                    {CONFIG_WRITER,
                     {(dir / "support").string(), "writer " + std::to_string(w), std::to_string(updates)},
                     {},
                     std::nullopt});
                EXPECT_EQ(result.exitCode, 0) << result.standardError;
            });
        }
    }
    const TorvexConfig config = TorvexConfig::load(pathsIn(dir));
    std::set<std::string> names, ids;
    for (const auto& profile : config.profiles) {
        names.insert(profile.name);
        ids.insert(profile.id);
    }
    EXPECT_EQ(config.profiles.size(), 1u + writers * updates);
    EXPECT_EQ(names.size(), config.profiles.size());
    EXPECT_EQ(ids.size(), config.profiles.size());
    EXPECT_TRUE(names.contains("writer 5 40"));

    const auto files = filesIn(dir / "support");
    ASSERT_EQ(files.size(), 3u) << ::testing::PrintToString(files);
    EXPECT_EQ(readFile(dir / "support" / files[1]), damaged);
}

TEST(ProfileTest, CurrentProfileRules) {
    const std::vector<Profile> five = {profile("a"), profile("b"), profile("c"), profile("d"), profile("e")};
    struct Case {
        const char* name;
        std::vector<Profile> profiles;
        std::string currentID;
        std::string expectedID;
    };
    const std::vector<Case> reads = {
        {"named profile", five, "c", "c"},
        {"unknown id falls back to the first", five, "zzz", "a"},
        {"no profiles gives the default", {}, "c", "default"},
    };
    for (const auto& c : reads) {
        TorvexConfig config;
        config.profiles = c.profiles;
        config.currentProfileID = c.currentID;
        EXPECT_EQ(config.currentProfile().id, c.expectedID) << c.name;
        EXPECT_EQ(config.currentProfileID, c.currentID) << c.name << ": reading changes nothing";
    }

    TorvexConfig config;
    config.profiles = five;
    Profile changed = profile("c");
    changed.dpi = 192;
    config.setCurrentProfile(changed);
    ASSERT_EQ(config.profiles.size(), 5u);
    EXPECT_EQ(config.profiles[2], changed) << "replaced in place";
    EXPECT_EQ(config.currentProfileID, "c");

    TorvexConfig empty;
    empty.profiles.clear();
    empty.setCurrentProfile(empty.currentProfile());
    EXPECT_EQ(empty.profiles, std::vector<Profile>{Profile::defaultProfile()}) << "appended";
    empty.setCurrentProfile(profile("new"));
    EXPECT_EQ(empty.profiles.back().id, "new");
    EXPECT_EQ(empty.currentProfileID, "new");
}

TEST(ProfileTest, CaptureDirectory) {
    TorvexConfig config;
    EXPECT_EQ(config.captureDirectory(), homeFolder() / "Desktop");
    config.captureFolder = "~/shots";
    EXPECT_EQ(config.captureDirectory(), fs::path("~/shots")) << "taken as written";
}

TEST(ProfileTest, NewProfileIDs) {
    struct Case {
        std::string name;
        std::vector<std::string> taken;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"My Laptop!", {}, "my-laptop"},
        {" 4K  Screen ", {}, "4k-screen"},
        {"!!!", {}, "profile"},
        {"!!!", {"profile"}, "profile-2"},
        {"!!!", {"profile", "profile-2"}, "profile-3"},
        {"Default", {"default"}, "default-2"},
        {"Test", {"test", "test-2-2", "test-3"}, "test-2"},
        {"Büro", {}, "büro"},
        {"Bu\xCC\x88ro", {}, "bu\xCC\x88ro"},  // a decomposed ü is one character, kept whole
        {"ÉCOLE Été", {}, "école-été"},
        {"東京 オフィス", {}, "東京-オフィス"},
        {"Work 😀 laptop 👩‍💻", {}, "work-laptop"},
        {"---a--b---", {}, "a-b"},
        {"Ⅻ ٣", {}, "ⅻ-٣"},  // letter and other-script numbers count as numbers
        {"", {}, "profile"},
    };
    for (const auto& c : cases) {
        TorvexConfig config;
        config.profiles.clear();
        for (const auto& id : c.taken) config.profiles.push_back(profile(id));
        const TorvexConfig before = config;
        EXPECT_EQ(config.newProfileID(c.name), c.expected) << c.name;
        EXPECT_EQ(config, before);
    }
}
