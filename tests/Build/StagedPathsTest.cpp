#include "Build/StagedPaths.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace torvex {
namespace {
namespace fs = std::filesystem;

TEST(StagedPathsTest, ToolMessagesNameTheProjectsFilesWithLineAndColumnKept) {
    testing::TempDir temp;
    // The work folder reached through a link, as a caches folder on another disk is.
    fs::create_directories(temp / "disk" / "work" / "windows");
    fs::create_directory_symlink(temp / "disk", temp / "caches");
    const std::string s = (temp / "caches" / "work" / "windows").string();  // as the pipeline spells it
    const std::string r = (temp / "disk" / "work" / "windows").string();    // with the link resolved
    const std::string p = "/home/u/my app/windows";
    const StagedPaths paths = StagedPaths::of(temp / "caches" / "work" / "windows", p,
                                              {"CMakeLists.txt", "runner/main.cpp", "runner/my file.cpp",
                                               "runner/Runner.rc", "flutter/generated_plugin_registrant.h"},
                                              {"core", "some_key.pem"});
    const std::string root = (temp / "caches" / "work").string();  // where the project's other entries are linked
    const std::string q = "/home/u/my app";
    struct Case {
        const char* name;
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {"a compiler error", s + "/runner/main.cpp:70:14: error: use of undeclared identifier 'x'",
         p + "/runner/main.cpp:70:14: error: use of undeclared identifier 'x'"},
        {"an include chain through a relative path", "In file included from " + s + "/runner/../flutter/generated_plugin_registrant.h:3:",
         "In file included from " + p + "/flutter/generated_plugin_registrant.h:3:"},
        {"a name with a blank", s + "/runner/my file.cpp:2:3: warning: unused", p + "/runner/my file.cpp:2:3: warning: unused"},
        {"the linker's source location", ">>> referenced by main.cpp:70 (" + s + "/runner/main.cpp:70)",
         ">>> referenced by main.cpp:70 (" + p + "/runner/main.cpp:70)"},
        {"CMake", "CMake Error at " + s + "/CMakeLists.txt:12 (message):", "CMake Error at " + p + "/CMakeLists.txt:12 (message):"},
        {"the resolved spelling, quoted", "'" + r + "/runner/Runner.rc'", "'" + p + "/runner/Runner.rc'"},
        {"two in one line, colours around them",
         "\x1b[1m" + s + "/runner/main.cpp:1:2: \x1b[0mnote: see " + s + "/CMakeLists.txt",
         "\x1b[1m" + p + "/runner/main.cpp:1:2: \x1b[0mnote: see " + p + "/CMakeLists.txt"},
        {"a generated file, an engine file, a plugin's file, a folder, an object",
         s + "/flutter/CMakeLists.txt:9 " + s + "/flutter/ephemeral/flutter_windows.h:1:1 " + s +
             "/flutter/ephemeral/.plugin_symlinks/p/windows/p.cpp:3:4 -I" + s + "/runner " + s + "/runner/main.cpp.obj",
         s + "/flutter/CMakeLists.txt:9 " + s + "/flutter/ephemeral/flutter_windows.h:1:1 " + s +
             "/flutter/ephemeral/.plugin_symlinks/p/windows/p.cpp:3:4 -I" + s + "/runner " + s + "/runner/main.cpp.obj"},
        {"a sibling folder and a path that leaves the folder",
         s + "-old/runner/main.cpp:1:1 " + s + "/../windows/runner/main.cpp:1:1 " + s + "/../../CMakeLists.txt:1",
         s + "-old/runner/main.cpp:1:1 " + p + "/runner/main.cpp:1:1 " + s + "/../../CMakeLists.txt:1"},
        {"a linked entry of the project, as CMake shortens the path", "CMake Error at " + root + "/core/CMakeLists.txt:3 (add_library):",
         "CMake Error at " + q + "/core/CMakeLists.txt:3 (add_library):"},
        {"a linked entry reached from the staged folder, a blank in the name",
         s + "/runner/../../core/my file.cpp:2:1: error: x; " + s + "/../some_key.pem",
         q + "/core/my file.cpp:2:1: error: x; " + q + "/some_key.pem"},
        {"no linked entry: the build tree, a sibling of the staged folder",
         root + "/cmake-build/x.obj " + root + "/windows-old/CMakeLists.txt " + root + "/corelib/a.cpp",
         root + "/cmake-build/x.obj " + root + "/windows-old/CMakeLists.txt " + root + "/corelib/a.cpp"},
        {"no path at all", "[3/20] Building CXX object runner/CMakeFiles/hello.dir/main.cpp.obj",
         "[3/20] Building CXX object runner/CMakeFiles/hello.dir/main.cpp.obj"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(paths.inProject(c.line), c.expected);
    }
}

} // namespace
} // namespace torvex
