#include "Build/FlutterSDK.h"

#include "Core/TorvexError.h"
#include "support/ScopedVariable.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::ScopedVariable;
using testing::TempDir;
using testing::writeFile;
using testing::writeScript;

fs::path makeSDK(const fs::path& root, const std::string& revision = "deadbeef\n") {
    writeFile(root / "bin/internal/engine.version", revision);
    writeScript(root / "bin/flutter", "exit 0\n");
    return root;
}

bool fixedFolderHoldsSDK() { return fs::exists("/opt/flutter/bin/internal/engine.version"); }

TEST(FlutterSDKTest, FromRootNeedsTheMarkerAndResolvesLinks) {
    TempDir temp;
    makeSDK(temp / "sdks/3.46");
    fs::create_directory_symlink(temp / "sdks/3.46", temp / "current");
    fs::create_directories(temp / "not-sdk/bin");

    EXPECT_EQ(FlutterSDK::fromRoot(temp / "current")->root, temp / "sdks/3.46");
    EXPECT_EQ(FlutterSDK::fromRoot(temp / "sdks/other/../3.46/")->root, temp / "sdks/3.46");
    EXPECT_EQ(FlutterSDK::fromRoot(temp / "not-sdk"), std::nullopt);
    EXPECT_EQ(FlutterSDK::fromRoot(temp / "missing"), std::nullopt);
}

TEST(FlutterSDKTest, LocatesTheFirstCandidateWithTheMarker) {
    if (fixedFolderHoldsSDK()) GTEST_SKIP() << "an SDK is installed in the fixed folder";
    TempDir temp;
    const fs::path explicitSDK = makeSDK(temp / "explicit");
    const fs::path pathSDK = makeSDK(temp / "versions/3.46.0/flutter");
    fs::create_directories(temp / "bin");
    fs::create_symlink(pathSDK / "bin/flutter", temp / "bin/flutter");  // on PATH through a link
    fs::create_directories(temp / "no-marker");
    fs::create_directory_symlink(explicitSDK, temp / "explicit-link");

    const struct {
        const char* name;
        Environment environment;
        bool flutterOnPath;
        std::vector<std::string> homeSDKs;  // below the home folder
        std::optional<fs::path> root;       // none: "No Flutter SDK found."
    } cases[] = {
        {"FLUTTER_ROOT wins over PATH and home", {{"FLUTTER_ROOT", explicitSDK.string()}}, true, {"flutter"}, explicitSDK},
        {"FLUTTER_ROOT with .. and a link", {{"FLUTTER_ROOT", (temp / "no-marker/../explicit-link").string()}}, false, {}, explicitSDK},
        {"empty FLUTTER_ROOT counts as unset", {{"FLUTTER_ROOT", ""}}, true, {"flutter"}, pathSDK},
        {"flutter on PATH through a link", {}, true, {}, pathSDK},
        {"FLUTTER_ROOT without marker shuts out PATH", {{"FLUTTER_ROOT", (temp / "no-marker").string()}}, true, {}, std::nullopt},
        {"FLUTTER_ROOT without marker, then ~/flutter", {{"FLUTTER_ROOT", (temp / "no-marker").string()}}, true, {"flutter"},
         temp / "home/flutter"},
        {"~/development/flutter", {}, false, {"development/flutter"}, temp / "home/development/flutter"},
        {"~/flutter before ~/development/flutter", {}, false, {"development/flutter", "flutter"}, temp / "home/flutter"},
        {"the snap's SDK", {}, false, {"snap/flutter/common/flutter"}, temp / "home/snap/flutter/common/flutter"},
        {"~/development/flutter before the snap's", {}, false, {"snap/flutter/common/flutter", "development/flutter"},
         temp / "home/development/flutter"},
        {"nothing anywhere", {}, false, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temp / "home");
        fs::create_directories(temp / "home");
        for (const auto& sdk : c.homeSDKs) makeSDK(temp / "home" / sdk);
        ScopedVariable home("HOME", (temp / "home").string());
        ScopedVariable path("PATH", c.flutterOnPath ? (temp / "bin").string() : (temp / "no-marker").string());
        if (c.root) {
            EXPECT_EQ(FlutterSDK::locate(c.environment).root, *c.root);
            continue;
        }
        const TorvexError error = testing::errorOf([&] { FlutterSDK::locate(c.environment); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "No Flutter SDK found.");
        EXPECT_EQ(error.why, "Checked FLUTTER_ROOT, PATH and the usual install folders.");
        EXPECT_EQ(error.fix, "Install Flutter or set FLUTTER_ROOT to your SDK folder.");
    }
}

TEST(FlutterSDKTest, CallerRootIsFlutterRootUncheckedElseTheFlutterOnPath) {
    TempDir temp;
    const fs::path sdk = makeSDK(temp / "versions/3.46.0/flutter");
    fs::create_directories(temp / "bin");
    fs::create_symlink(sdk / "bin/flutter", temp / "bin/flutter");
    ScopedVariable path("PATH", (temp / "bin").string());

    EXPECT_EQ(FlutterSDK::callerRoot({{"FLUTTER_ROOT", "relative/../sdk"}}), fs::path("relative/../sdk"));
    EXPECT_EQ(FlutterSDK::callerRoot({{"FLUTTER_ROOT", ""}}), sdk);
    EXPECT_EQ(FlutterSDK::callerRoot({}), sdk);

    ScopedVariable empty("PATH", (temp / "versions").string());
    if (!fs::exists("/usr/local/bin/flutter") && !fs::exists("/opt/homebrew/bin/flutter")) {
        EXPECT_EQ(FlutterSDK::callerRoot({}), std::nullopt);
    }
}

TEST(FlutterSDKTest, ReadsVersionRevisionAndRealm) {
    const struct {
        const char* name;
        std::optional<std::string> versionJSON, engineVersion, engineRealm;
        std::optional<std::string> framework;
        std::optional<std::string> revision;  // none: the engine version error
        std::string realm;
    } cases[] = {
        {"plain", R"({"frameworkVersion":"3.46.0","channel":"stable"})", "abc123\n", "flutter_archives_v2\n",
         "3.46.0", "abc123", "flutter_archives_v2"},
        {"untrimmed framework, blank revision", R"({"frameworkVersion":" 3.46.0 "})", " \n\t\n", std::nullopt,
         " 3.46.0 ", "", ""},
        {"framework a number", R"({"frameworkVersion":3.46})", "r", "", std::nullopt, "r", ""},
        {"top level an array", R"(["3.46.0"])", "r", std::nullopt, std::nullopt, "r", ""},
        {"malformed JSON", "{", "r", std::nullopt, std::nullopt, "r", ""},
        {"nothing there", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const FlutterSDK sdk{temp.path()};
        if (c.versionJSON) writeFile(temp / "bin/cache/flutter.version.json", *c.versionJSON);
        if (c.engineVersion) writeFile(temp / "bin/internal/engine.version", *c.engineVersion);
        if (c.engineRealm) writeFile(temp / "bin/internal/engine.realm", *c.engineRealm);

        EXPECT_EQ(sdk.frameworkVersion(), c.framework);
        EXPECT_EQ(sdk.engineRealm(), c.realm);
        if (c.revision) {
            EXPECT_EQ(sdk.engineRevision(), *c.revision);
            continue;
        }
        const TorvexError error = testing::errorOf([&] { sdk.engineRevision(); });
        EXPECT_EQ(error.what, "Could not read the Flutter engine version.");
        EXPECT_EQ(error.why, (temp / "bin/internal/engine.version").string() + " is missing or unreadable.");
        EXPECT_EQ(error.fix, "Run `flutter doctor` to repair the SDK at " + temp.path().string() + ".");
    }
}

TEST(FlutterSDKTest, AsksTheLoginShellForTheLastAbsolutePath) {
    TempDir temp;
    const fs::path sdk = makeSDK(temp / "sdk");
    fs::create_directories(temp / "bare/bin");
    const struct {
        const char* name;
        std::string script;
        std::optional<fs::path> root;
    } cases[] = {
        {"greeting, then the path, failing status", "echo 'Welcome!'\necho\necho '" + (sdk / "bin/flutter").string() + "'\nexit 3\n", sdk},
        {"a path without the marker", "echo '" + (temp / "bare/bin/flutter").string() + "'\n", std::nullopt},
        {"not an absolute path", "echo 'flutter not found'\n", std::nullopt},
        {"nothing printed", "exit 1\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeScript(temp / "shell", "[ \"$1\" = -lic ] && [ \"$2\" = 'command -v flutter' ] || exit 9\n" + c.script);
        ScopedVariable shell("SHELL", (temp / "shell").string());
        const auto found = FlutterSDK::fromLoginShell();
        EXPECT_EQ(found ? std::optional<fs::path>(found->root) : std::nullopt, c.root);
    }
    ScopedVariable missing("SHELL", (temp / "no-such-shell").string());
    EXPECT_EQ(FlutterSDK::fromLoginShell(), std::nullopt);
}

} // namespace
} // namespace torvex
