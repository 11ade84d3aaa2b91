#include "Build/FlutterProject.h"

#include "Core/TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::errorOf;
using testing::writeFile;

const std::string runnerCMake = "cmake_minimum_required(VERSION 3.14)\nset(BINARY_NAME \"my_app\")\n";

void makeProject(const fs::path& root, const std::string& cmakeLists = runnerCMake,
                 const std::string& pubspec = "name: my_app\nversion: 1.2.3+4\n") {
    writeFile(root / "pubspec.yaml", pubspec);
    writeFile(root / "windows" / "CMakeLists.txt", cmakeLists);
}

PubspecVersion v(const std::string& raw, std::int64_t major, std::int64_t minor, std::int64_t patch,
                 std::int64_t build) {
    PubspecVersion version;
    version.raw = raw;
    version.major = major;
    version.minor = minor;
    version.patch = patch;
    version.build = build;
    return version;
}

TEST(FlutterProjectTest, DiscoversTheInnermostProjectAboveAPath) {
    TempDir temp;
    const fs::path project = temp / "my app";
    makeProject(project);
    writeFile(project / "lib/main.dart", "void main() {}\n");
    fs::create_directories(project / "build/flutter_assets");
    fs::create_directories(project / "a/b/c/d");
    makeProject(project / "packages/inner");
    fs::create_directories(project / "packages/inner/lib");
    fs::create_directory_symlink(project, temp / "link");

    const struct {
        fs::path from;
        fs::path root;
    } cases[] = {
        {project, project},
        {project / "lib/main.dart", project},
        {project / "lib", project},
        {project / "pubspec.yaml", project},
        {project / "build/flutter_assets", project},
        {project / "a/b/c/d", project},
        {project / "a/b/../b/./c/", project},
        {project / "packages/inner/lib", project / "packages/inner"},
        {temp / "link/lib", project},
        {temp / "link/a/b/..", project},
    };
    const std::string realHash = FlutterProject::load(project).hash();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from.string());
        const auto found = FlutterProject::discover(c.from);
        EXPECT_EQ(found.root, c.root);
        EXPECT_EQ(found.binaryName, "my_app");
        if (c.root == project) {
            EXPECT_EQ(found.hash(), realHash);
        }
    }
}

TEST(FlutterProjectTest, NoProjectNamesThePathAsGiven) {
    TempDir temp;
    fs::create_directories(temp / "empty/deeper");
    fs::create_directory_symlink(temp / "empty", temp / "link");
    for (const fs::path& from : {temp / "empty/deeper", temp / "link/deeper/..", temp / "not/there"}) {
        SCOPED_TRACE(from.string());
        const auto error = errorOf([&] { FlutterProject::discover(from); });
        EXPECT_EQ(error.kind, TorvexError::Kind::usage);
        EXPECT_EQ(error.what, "No Flutter project found at " + from.string() + ".");
        EXPECT_EQ(error.why, "No pubspec.yaml in that folder or any folder above it.");
        EXPECT_EQ(error.fix, "Run Torvex from your Flutter project folder or pass its path.");
    }
}

TEST(FlutterProjectTest, AProjectWithoutWindowsFolderStopsTheWalk) {
    TempDir temp;
    makeProject(temp.path());
    writeFile(temp / "package/pubspec.yaml", "name: package\n");
    writeFile(temp / "bad-utf8/pubspec.yaml", "name: x\n");
    writeFile(temp / "bad-utf8/windows/CMakeLists.txt", "set(BINARY_NAME \"\xff\xfe\")\n");
    for (const char* folder : {"package", "bad-utf8"}) {
        SCOPED_TRACE(folder);
        const auto error = errorOf([&] { FlutterProject::discover(temp / folder); });
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, "This project has no Windows platform folder.");
        EXPECT_EQ(error.why, (temp / folder / "windows").string() + " does not exist or has no CMakeLists.txt.");
        EXPECT_EQ(error.fix, "Run `flutter create --platforms=windows .` first.");
    }
}

TEST(FlutterProjectTest, AFIFOInPlaceOfAProjectFileIsRefusedAtOnce) {
    for (const char* file : {"windows/CMakeLists.txt", "pubspec.yaml"}) {
        SCOPED_TRACE(file);
        TempDir temp;
        makeProject(temp.path());
        fs::remove(temp / file);
        const testing::Fifo fifo(temp / file);
        const auto started = std::chrono::steady_clock::now();
        const auto error = errorOf([&] { FlutterProject::load(temp.path()); });
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, (temp / file).string() + " is not a regular file.");
    }
}

TEST(FlutterProjectTest, ReadsBinaryNameFromTheFirstQuotedAssignment) {
    const struct {
        const char* cmakeLists;
        std::optional<std::string> name;  // none: the BINARY_NAME error
    } cases[] = {
        {"set(BINARY_NAME \"my_app\")", "my_app"},
        {"project(x)\nset ( BINARY_NAME   \"spaced app\" )\n", "spaced app"},
        {"set(\n  BINARY_NAME\n  \"multi\"\n)", "multi"},
        {"# set(BINARY_NAME \"commented\")\nset(BINARY_NAME \"real\")", "commented"},
        {"set(BINARY_NAME \"first\")\nset(BINARY_NAME \"second\")", "first"},
        {"set(BINARY_NAME \"ünïcode\")", "ünïcode"},
        {"project(runner)\n", std::nullopt},
        {"set(BINARY_NAME my_app)", std::nullopt},
        {"SET(BINARY_NAME \"my_app\")", std::nullopt},
        {"set(binary_name \"my_app\")", std::nullopt},
        {"set(BINARY_NAME \"\")", std::nullopt},
        {"set(BINARY_NAME \"../../escape\")", std::nullopt},
        {"set(BINARY_NAME \"sub/app\")", std::nullopt},
        {"set(BINARY_NAME \"sub\\\\app\")", std::nullopt},
        {"set(BINARY_NAME \"..\")", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmakeLists);
        TempDir temp;
        makeProject(temp.path(), c.cmakeLists);
        if (c.name) {
            EXPECT_EQ(FlutterProject::load(temp.path()).binaryName, *c.name);
            continue;
        }
        const auto error = errorOf([&] { FlutterProject::load(temp.path()); });
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, "Could not find BINARY_NAME in windows/CMakeLists.txt.");
        EXPECT_EQ(error.why, "Torvex uses it to name the .exe.");
        EXPECT_EQ(error.fix, "Make sure windows/CMakeLists.txt contains `set(BINARY_NAME \"your_app\")`.");
    }
}

TEST(FlutterProjectTest, ReadsTheUnindentedVersionLine) {
    const struct {
        std::optional<std::string> pubspec;  // none: no pubspec.yaml at all
        PubspecVersion version;
    } cases[] = {
        {std::nullopt, {}},
        {"name: app\n", {}},
        {"name: app\nversion: 2.3.4+15\n", v("2.3.4+15", 2, 3, 4, 15)},
        {"version: 1.2.3-beta.1+7", v("1.2.3-beta.1+7", 1, 2, 3, 7)},
        {"version: 1.2\n", v("1.2", 1, 2, 0, 0)},
        {"version: 1.0.0 # the release\n", v("1.0.0", 1, 0, 0, 0)},
        {"version:1.0.0#comment\n", v("1.0.0", 1, 0, 0, 0)},
        {"version:\n  3.1.4\n", v("3.1.4", 3, 1, 4, 0)},
        {"environment:\n  version: 9.9.9\n", {}},
        {"version: '1.2.3'\n", v("'1.2.3'", 0, 2, 0, 0)},
        {"name: a\r\nversion: 4.5.6+7\r\n", v("4.5.6+7", 4, 5, 6, 7)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pubspec.value_or("<no pubspec>"));
        TempDir temp;
        makeProject(temp.path());
        if (c.pubspec) {
            writeFile(temp / "pubspec.yaml", *c.pubspec);
        } else {
            fs::remove(temp / "pubspec.yaml");
        }
        EXPECT_EQ(FlutterProject::load(temp.path()).version, c.version);
    }
}

TEST(FlutterProjectTest, ParsesVersionTexts) {
    const struct {
        std::optional<std::string> text;
        PubspecVersion version;
    } cases[] = {
        {std::nullopt, v("1.0.0", 1, 0, 0, 0)},
        {"", v("1.0.0", 1, 0, 0, 0)},
        {"+++", v("+++", 1, 0, 0, 0)},
        {"+2.0.1+3", v("+2.0.1+3", 2, 0, 1, 3)},
        {"1.2.3+4+5", v("1.2.3+4+5", 1, 2, 3, 0)},
        {"1.2.3+", v("1.2.3+", 1, 2, 3, 0)},
        {"-1.2.3", v("-1.2.3", 1, 2, 3, 0)},
        {"1..x.3.9", v("1..x.3.9", 1, 0, 3, 0)},
        {"+7.-2.+3+-4", v("+7.-2.+3+-4", 7, 0, 0, 0)},
        {"99999999999999999999.1", v("99999999999999999999.1", 0, 1, 0, 0)},
        {"...", v("...", 1, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("<none>"));
        EXPECT_EQ(PubspecVersion(c.text), c.version);
    }
}

TEST(FlutterProjectTest, HashIsTheSHA256PrefixOfTheRootPath) {
    // printf '%s' "/home/dev/my app" | sha256sum
    const FlutterProject project{"/home/dev/my app", "app", {}};
    EXPECT_EQ(project.hash(), "25b2647271da7f3a");
    EXPECT_EQ((FlutterProject{"/home/dev/my app/", "app", {}}).hash(), "25b2647271da7f3a");
    EXPECT_NE((FlutterProject{"/home/dev/my app2", "app", {}}).hash(), project.hash());
}

} // namespace
} // namespace torvex
