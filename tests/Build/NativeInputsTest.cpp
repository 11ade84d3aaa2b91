#include "Build/NativeInputs.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readFile;
using testing::writeFile;

std::vector<std::string> strings(const std::vector<fs::path>& paths) {
    std::vector<std::string> texts;
    for (const fs::path& path : paths) texts.push_back(path.string());
    return texts;
}

TEST(NativeInputsTest, NinjaAndInstallScriptsNameTheInputs) {
    EXPECT_EQ(strings(NativeInputs::fromNinjaInputs("/p/windows/main.cpp\nrunner/../flutter/x.h\n\nCMakeCache.txt", "/w/b")),
              (std::vector<std::string>{"/p/windows/main.cpp", "/w/b/flutter/x.h", "/w/b/CMakeCache.txt"}));
    EXPECT_EQ(strings(NativeInputs::fromNinjaDeps("runner/CMakeFiles/a.dir/main.cpp.obj: #deps 2, deps mtime 17 (VALID)\n"
                                                  "    /p/windows/main.cpp\n    /p/my header.h\n\n"
                                                  "b.obj: #deps 1, deps mtime 18 (STALE)\n    gen/b.h\n",
                                                  "/w/b")),
              (std::vector<std::string>{"/p/windows/main.cpp", "/p/my header.h", "/w/b/gen/b.h"}));

    // As CMake writes them: one source or several on lines of their own, quotes escaped, a folder
    // with a trailing "/", a renamed file, and a path CMake evaluates only when installing.
    const NativeInputs::InstallSources sources = NativeInputs::installSources(
        "if(CMAKE_INSTALL_COMPONENT STREQUAL \"Runtime\" OR NOT CMAKE_INSTALL_COMPONENT)\n"
        "  file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/.\" TYPE EXECUTABLE FILES \"/w/b/runner/hello.exe\")\n"
        "  file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/.\" TYPE FILE FILES\n"
        "    \"/p/windows/../core/bin/core.dll\"\n    \"/p/a \\\"quoted\\\" name.txt\"\n    )\n"
        "  file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/data\" TYPE DIRECTORY FILES \"/p/assets/\")\n"
        "  file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/.\" TYPE FILE RENAME \"b.dll\" FILES \"/p/a.dll\")\n"
        "  file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/.\" TYPE FILE FILES \"${CMAKE_INSTALL_PREFIX}/x\")\n"
        "endif()\n");
    EXPECT_EQ(strings(sources.files), (std::vector<std::string>{"/w/b/runner/hello.exe", "/p/core/bin/core.dll",
                                                                "/p/a \"quoted\" name.txt", "/p/a.dll"}));
    EXPECT_EQ(strings(sources.folders), (std::vector<std::string>{"/p/assets"}));
}

TEST(NativeInputsTest, AnyChangeOfARecordedInputAndAnyRecordThatIsNotWholeCountAsChanged) {
    testing::TempDir temp;
    const fs::path file = temp / "inputs";
    const fs::path source = temp / "plugin" / "plugin.cpp";
    const fs::path absent = temp / "plugin" / "later.h";
    struct Case {
        const char* name;
        std::function<void()> change;
        bool unchanged;
    };
    const Case cases[] = {
        {"nothing", [] {}, true},
        {"an edit of the same size", [&] { writeFile(source, "int b;\n"); }, false},
        {"only the time", [&] { fs::last_write_time(source, fs::last_write_time(source) + 1s); }, false},
        {"removed", [&] { fs::remove(source); }, false},
        {"a folder in its place", [&] { fs::remove(source), fs::create_directory(source); }, false},
        {"a file where there was none", [&] { writeFile(absent, ""); }, false},
        {"no record", [&] { fs::remove(file); }, false},
        {"a record cut short", [&] { writeFile(file, readFile(file).substr(0, readFile(file).size() - 2)); }, false},
        {"a record of another format", [&] { writeFile(file, "torvex native inputs 9\nend\n"); }, false},
        {"a damaged number", [&] {
             std::string text = readFile(file);
             text[text.find(" ") + 1] = 'x';
             writeFile(file, text);
         }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(source);
        writeFile(source, "int a;\n");
        fs::remove_all(absent);
        const std::vector<NativeInputs::Entry> entries = {NativeInputs::Entry::of(source), NativeInputs::Entry::of(absent)};
        EXPECT_EQ(entries[1].kind, '-');
        writeFile(file, NativeInputs::recordText(entries));
        EXPECT_EQ(NativeInputs::parseRecord(readFile(file)), entries);
        c.change();
        EXPECT_EQ(NativeInputs::unchanged(file), c.unchanged);
    }
}

TEST(NativeInputsTest, RecordKeepsWhatLiesBehindLinksAndOutsideTheWorkFolder) {
    testing::TempDir temp;
    const fs::path work = temp / "work";
    const fs::path plugin = temp / "pub cache" / "p" / "windows";
    writeFile(plugin / "p.cpp", "int p;\n");
    writeFile(temp / "app" / "core" / "core.dll", "MZ");
    writeFile(temp / "app" / "assets" / "a.txt", "a");
    writeFile(work / "source" / "windows" / "runner" / "main.cpp", "int main;\n");
    fs::create_directories(work / "source" / "windows" / "flutter" / "ephemeral" / ".plugin_symlinks");
    fs::create_directory_symlink(plugin.parent_path(), work / "source" / "windows" / "flutter" / "ephemeral" / ".plugin_symlinks" / "p");
    fs::create_directory_symlink(temp / "app" / "core", work / "source" / "core");
    const std::string staged = (work / "source" / "windows").string();
    writeFile(work / "cmake-build" / "cmake_install.cmake",
              "file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/.\" TYPE FILE FILES \"" + staged + "/../core/core.dll\")\n"
              "file(INSTALL DESTINATION \"${CMAKE_INSTALL_PREFIX}/d\" TYPE DIRECTORY FILES \"" + (temp / "app" / "assets").string() + "/\")\n");
    const fs::path ninja = temp / "ninja";
    testing::writeScript(ninja, "case \"$4\" in\n"
                                "inputs) echo " + testing::shellQuoted(staged + "/runner/main.cpp") + "; echo runner/main.cpp.obj;"
                                " echo " + testing::shellQuoted(staged + "/flutter/ephemeral/.plugin_symlinks/p/windows/p.cpp") + " ;;\n"
                                "deps) printf 'x.obj: #deps 1\\n    %s\\n' " + testing::shellQuoted((temp / "app" / "gone.h").string()) + " ;;\n"
                                "esac\n");
    const fs::path file = work / "native-inputs";
    const auto before = std::chrono::system_clock::now() + 1s;  // the inputs are older than a pass beginning now

    ASSERT_EQ(NativeInputs::record(ninja, work, before, file), std::nullopt);
    const auto entries = NativeInputs::parseRecord(readFile(file));
    ASSERT_TRUE(entries);
    std::vector<std::string> paths;
    for (const auto& entry : *entries) paths.push_back(entry.path);
    // The staged copy and the build tree are the work folder's own; the plugin's file behind its
    // link, the installed file through the project's entry, the installed folder and a header
    // that is gone are recorded.
    EXPECT_EQ(paths, (std::vector<std::string>{staged + "/flutter/ephemeral/.plugin_symlinks/p/windows/p.cpp",
                                               (temp / "app" / "gone.h").string(), (work / "source" / "core" / "core.dll").string(),
                                               (temp / "app" / "assets").string(), (temp / "app" / "assets" / "a.txt").string()}));
    EXPECT_TRUE(NativeInputs::unchanged(file));

    // An input newer than the pass's beginning may have been read before it changed: no record.
    const auto reason = NativeInputs::record(ninja, work, std::chrono::system_clock::now() - 1h, file);
    ASSERT_TRUE(reason);
    EXPECT_TRUE(reason->ends_with(" changed while the build ran")) << *reason;
    EXPECT_FALSE(fs::exists(file));

    // Ninja that cannot answer leaves no record either.
    testing::writeScript(ninja, "echo 'ninja: error: unknown target' >&2\nexit 1\n");
    writeFile(file, "old");
    EXPECT_TRUE(NativeInputs::record(ninja, work, before, file));
    EXPECT_FALSE(fs::exists(file));
}

} // namespace
} // namespace torvex
