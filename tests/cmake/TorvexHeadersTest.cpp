// The include check of the build, on a small project laid out as Torvex is.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

// Core holds a leaf library `text` and the library `core` that links it; `setup` links core;
// `tool` links only text.
struct LayoutProject {
    TempDir temp;
    fs::path source = temp / "project";
    fs::path build = temp / "build";

    // Every file as it builds, each include on a line of its own.
    const std::map<std::string, std::string> files{
        {"CMakeLists.txt", "cmake_minimum_required(VERSION 3.25)\nproject(Layout LANGUAGES CXX)\ninclude(\"" +
                               (sourceDir() / "cmake" / "TorvexHeaders.cmake").string() +
                               "\")\nforeach(folder Core Setup Tool)\n  add_subdirectory(${folder})\nendforeach()\n"
                               "torvex_check_layout(Core Setup Tool)\n"},
        {"Core/CMakeLists.txt", "add_library(text STATIC Text.cpp)\ntorvex_headers(text LEAF)\n"
                                "add_library(core STATIC Paths.cpp Platform/Disk-linux.cpp)\ntorvex_headers(core)\n"
                                "target_link_libraries(core PUBLIC text)\n"},
        {"Core/Text.h", "#pragma once\ninline int text() { return 1; }\n"},
        {"Core/Text.cpp", "// text\n#include \"Text.h\"\nint textTwice() { return 2 * text(); }\n"},
        {"Core/Shared.h", "#pragma once\ninline int shared() { return 3; }\n"},
        {"Core/Paths.h", "#pragma once\n#include \"Core/Text.h\"\nint paths();\n"},
        {"Core/Paths.cpp", "// paths\n#include \"Paths.h\"\n#include \"Shared.h\"\n#include \"Platform/Disk.h\"\n"
                           "int paths() { return text() + shared() + disk(); }\n"},
        {"Core/Platform/Disk.h", "#pragma once\nint disk();\n"},
        {"Core/Platform/Disk-linux.cpp", "// disk\n#include \"Disk.h\"\n#include \"Core/Shared.h\"\n"
                                         "int disk() { return shared(); }\n"},
        {"Setup/CMakeLists.txt", "add_library(setup STATIC Source.cpp)\ntorvex_headers(setup)\n"
                                 "target_link_libraries(setup PUBLIC core)\n"},
        {"Setup/Source.h", "#pragma once\nint source();\n"},
        {"Setup/Source.cpp", "// source\n#include \"Source.h\"\n#include \"Core/Paths.h\"\n#include <Core/Shared.h>\n"
                             "int source() { return paths() + shared(); }\n"},
        {"Tool/CMakeLists.txt", "add_executable(tool main.cpp)\ntarget_link_libraries(tool PRIVATE text)\n"},
        {"Tool/main.cpp", "// tool\n#include \"Core/Text.h\"\nint main() { return text() - 1; }\n"},
    };

    LayoutProject() {
        for (const auto& [name, text] : files) writeFile(source / name, text);
        const SpawnResult configured =
            spawnAndWait({CMAKE_PROGRAM, {"cmake", "-S", source.string(), "-B", build.string(), "-G", "Ninja",
                                          "-DCMAKE_MAKE_PROGRAM=" NINJA_PROGRAM},
                          std::nullopt,
                          {}},
                         temp.path());
        EXPECT_EQ(configured.status, 0) << configured.out << configured.err;
    }

    SpawnResult buildAll() const {
        return spawnAndWait({CMAKE_PROGRAM, {"cmake", "--build", build.string()}, std::nullopt, {}}, temp.path());
    }
};

} // namespace

TEST(TorvexHeadersTest, AnIncludeReachesOnlyWhatItsTargetLinks) {
    LayoutProject project;
    const SpawnResult first = project.buildAll();
    ASSERT_EQ(first.status, 0) << first.out << first.err;

    struct Case {
        std::string file;
        std::string include;  // put in as line 2
        std::string refusal;  // what the build says after "<file>:2: error: `<include>` "
    };
    const Case cases[] = {
        {"Core/Paths.cpp", "#include \"../Setup/Source.h\"", "climbs out of its folder with \"..\"."},
        {"Core/Paths.h", "#include \"Core/../Setup/Source.h\"", "climbs out of its folder with \"..\"."},
        {"Core/Platform/Disk-linux.cpp", "#include \"../../Setup/Source.h\"", "climbs out of its folder"},
        {"Tool/main.cpp", "#include \"Core/Paths.h\"", "reaches Core/Paths.h of core, which tool does not link."},
        {"Tool/main.cpp", "#include <Core/Shared.h>", "reaches Core/Shared.h of core, which tool does not link."},
        {"Core/Text.cpp", "#include \"Paths.h\"", "reaches Core/Paths.h of core, which text does not link."},
        {"Core/Text.cpp", "#include \"Platform/Disk.h\"", "reaches Core/Platform/Disk.h of core"},
        {"Core/Paths.cpp", "#include \"Setup/Source.h\"", "reaches Setup/Source.h of setup, which core does not link."},
        {"Core/Paths.cpp", "#include \"" + (project.source / "Setup" / "Source.h").string() + "\"",
         "names a file by its absolute path."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.file + ": " + test.include);
        const std::string& original = project.files.at(test.file);
        const std::size_t secondLine = original.find('\n') + 1;
        writeFile(project.source / test.file,
                  original.substr(0, secondLine) + test.include + "\n" + original.substr(secondLine));
        const SpawnResult refused = project.buildAll();
        writeFile(project.source / test.file, original);
        EXPECT_NE(refused.status, 0);
        const std::string said = (project.source / test.file).string() + ":2: error: `" + test.include + "` " +
                                 test.refusal;
        EXPECT_NE(refused.out.find(said), std::string::npos) << refused.out;
        EXPECT_NE(refused.out.find("  Fix: "), std::string::npos) << refused.out;
    }

    const SpawnResult mended = project.buildAll();
    EXPECT_EQ(mended.status, 0) << mended.out << mended.err;
    // Nothing changed: nothing is checked again.
    const SpawnResult again = project.buildAll();
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out.find("Checking the includes"), std::string::npos) << again.out;
}
