// Real builds of examples/hello: CMake, Ninja, torvex-cc and an llvm-mingw-shaped toolchain.

#include "Build/BuildPipeline.h"
#include "Build/EngineArtifacts.h"
#include "Build/PluginCompatibility.h"
#include "Build/SourceStaging.h"
#include "Core/ASCII.h"
#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/TextPattern.h"
#include "Core/TorvexError.h"
#include "support/BuildRig.h"
#include "support/TestSupport.h"
#include "support/VirtualDisplay.h"
#include "support/WindowsProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::BuildRig;

// Every line a pipeline hands to its output, safe to fill from several threads.
class Lines {
public:
    BuildPipeline::Output sink() {
        return [this](const std::string& line) {
            std::lock_guard guard(lock_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> taken() {
        std::lock_guard guard(lock_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

void appendToFile(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::app) << text;
}

// "broken_plugin" -> "BrokenPlugin".
std::string camelCase(const std::string& name) {
    std::string camel;
    bool upper = true;
    for (char c : name) {
        if (c == '_') {
            upper = true;
        } else {
            camel += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        }
    }
    return camel;
}

// A plugin package of the shape pub.dev plugins have, in the pub cache: windows/CMakeLists.txt
// builds <name>_plugin from plugin.cpp, whose C API header the registrant includes.
struct TestPlugin {
    std::string name;
    std::string source;       // plugin.cpp, after the C API header's include
    std::string cmake = "";   // added to the plugin's CMakeLists.txt
    std::map<std::string, std::string> files = {};  // more files of its windows folder
};

// A plugin as Flutter's generated files name it.
struct ListedPlugin {
    std::string name;
    std::string header;     // that the registrant includes
    std::string pluginClass;  // whose <pluginClass>RegisterWithRegistrar it calls
};

// Lists `plugins` after the example's own plugin, as `flutter pub get` writes the plugin list and
// the registrant (in place of any listed before).
void listPlugins(const BuildRig& rig, const std::vector<ListedPlugin>& plugins) {
    std::string list = "list(APPEND FLUTTER_PLUGIN_LIST\n  hello_power\n";
    std::string includes = "#include <hello_power/hello_power_plugin_c_api.h>\n";
    std::string calls = "  HelloPowerPluginCApiRegisterWithRegistrar(\n"
                        "      registry->GetRegistrarForPlugin(\"HelloPowerPluginCApi\"));\n";
    for (const ListedPlugin& plugin : plugins) {
        list += "  " + plugin.name + "\n";
        includes += "#include <" + plugin.header + ">\n";
        calls += "  " + plugin.pluginClass + "RegisterWithRegistrar(\n      registry->GetRegistrarForPlugin(\"" +
                 plugin.pluginClass + "\"));\n";
    }
    const fs::path flutter = rig.project() / "windows" / "flutter";
    std::string generated =
        testing::readFile(testing::sourceDir() / "examples" / "hello" / "windows" / "flutter" / "generated_plugins.cmake");
    const std::string ownList = "list(APPEND FLUTTER_PLUGIN_LIST\n  hello_power\n";
    generated.replace(generated.find(ownList), ownList.size(), list);
    testing::writeFile(flutter / "generated_plugins.cmake", generated);
    testing::writeFile(flutter / "generated_plugin_registrant.cc",
                       "#include \"generated_plugin_registrant.h\"\n\n" + includes +
                           "\nvoid RegisterPlugins(flutter::PluginRegistry* registry) {\n" + calls + "}\n");
}

// Adds `plugins` to the project the way `flutter pub get` does: links in .plugin_symlinks, the
// plugin list, and a registrant that registers them after the example's own plugin.
void addPlugins(const BuildRig& rig, const fs::path& pubCache, const std::vector<TestPlugin>& plugins) {
    std::vector<ListedPlugin> listed;
    for (const TestPlugin& plugin : plugins) {
        const fs::path windows = pubCache / (plugin.name + "-1.0.0") / "windows";
        const ListedPlugin entry{plugin.name, plugin.name + "/" + plugin.name + "_c_api.h", camelCase(plugin.name) + "CApi"};
        testing::writeFile(windows / "CMakeLists.txt",
                           "cmake_minimum_required(VERSION 3.14)\n"
                           "project(" + plugin.name + " LANGUAGES CXX)\n" + plugin.cmake +
                               "add_library(" + plugin.name + "_plugin SHARED plugin.cpp)\n"
                               "apply_standard_settings(" + plugin.name + "_plugin)\n"
                               "target_compile_definitions(" + plugin.name + "_plugin PRIVATE FLUTTER_PLUGIN_IMPL)\n"
                               "target_include_directories(" + plugin.name + "_plugin INTERFACE \"${CMAKE_CURRENT_SOURCE_DIR}/include\")\n"
                               "target_link_libraries(" + plugin.name + "_plugin PRIVATE flutter flutter_wrapper_plugin)\n"
                               "set(" + plugin.name + "_bundled_libraries \"\" PARENT_SCOPE)\n");
        const std::string function = entry.pluginClass + "RegisterWithRegistrar";
        testing::writeFile(windows / "include" / entry.header,
                           "#include <flutter_plugin_registrar.h>\n"
                           "extern \"C\" __declspec(dllexport) void " + function +
                               "(FlutterDesktopPluginRegistrarRef registrar);\n");
        testing::writeFile(windows / "plugin.cpp", "#include \"include/" + entry.header + "\"\n" + plugin.source +
                                                       "void " + function + "(FlutterDesktopPluginRegistrarRef) {}\n");
        for (const auto& [name, text] : plugin.files) testing::writeFile(windows / name, text);
        rig.linkPlugin(plugin.name, windows.parent_path());
        listed.push_back(entry);
    }
    listPlugins(rig, listed);
}

// One of our own plugins of tests/fixtures/plugins, linked in from there.
ListedPlugin fixturePlugin(const BuildRig& rig, const std::string& name) {
    rig.linkPlugin(name, testing::sourceDir() / "tests" / "fixtures" / "plugins" / name);
    return {name, name + "/" + name + "_plugin_c_api.h", camelCase(name) + "PluginCApi"};
}

std::string leftOutPrefix(const std::string& plugin) {
    return "Torvex: ⚠ plugin " + plugin + " is left out of the Torvex build: ";
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                 [&](const std::string& line) { return line.starts_with(prefix); });
    return found;
}

// Live processes other than this one whose environment holds `entry` ("NAME=value"). Every
// descendant of a build inherits it, whatever process group or session it moved to.
std::vector<int> processesWith(const std::string& entry) {
    std::vector<int> found;
    const std::string self = std::to_string(::getpid());
    for (const auto& process : fs::directory_iterator("/proc")) {
        const std::string name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || name == self) continue;
        const std::string stat = testing::readFile(process.path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') continue;
        const std::string environment = '\0' + testing::readFile(process.path() / "environ");
        if (environment.find('\0' + entry + '\0') != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The CMake runs after the first `from`, with the pid dropped.
std::vector<std::string> runArguments(const std::vector<std::string>& runs, std::size_t from = 0) {
    std::vector<std::string> arguments;
    for (std::size_t i = from; i < runs.size(); ++i) arguments.push_back(runs[i].substr(runs[i].find(' ') + 1));
    return arguments;
}

std::size_t countStarting(const std::vector<std::string>& lines, const std::string& start) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(start); }));
}

class BuildPipelineEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = BuildRig::missingTool()) GTEST_SKIP() << *missing;
        rig.emplace(temp.path());
    }

    // A build that must succeed; its error, if any, is shown in full.
    BuildResult build(const BuildRequest& request) {
        try {
            return pipeline().build(request);
        } catch (const TorvexError& error) {
            ADD_FAILURE() << error.description() << "\n" << joinedLines(lines.taken());
            throw;
        }
    }
    BuildResult build() { return build(rig->request()); }
    // A build that must fail; its error.
    TorvexError failedBuild() {
        return testing::errorOf([&] { pipeline().build(rig->request()); });
    }
    BuildPipeline pipeline() { return BuildPipeline{rig->paths(), lines.sink()}; }
    fs::path logFile() const { return rig->paths().logs / "build-hello.log"; }

    // Links a plugin folder into the project and lists it, as `flutter pub get` does.
    void linkPlugin(const std::string& name, const fs::path& folder) {
        rig->linkPlugin(name, folder);
        const fs::path windows = rig->project() / "windows";
        const fs::path generatedPlugins = windows / "flutter" / "generated_plugins.cmake";
        std::string plugins = testing::readFile(generatedPlugins);
        const std::string list = "list(APPEND FLUTTER_PLUGIN_LIST\n";
        plugins.insert(plugins.find(list) + list.size(), "  " + name + "\n");
        testing::writeFile(generatedPlugins, plugins);
    }
    // Plugins that CMake is never asked to build (the tests that use them put a script in its place).
    void linkPlaceholderPlugins(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            const fs::path folder = temp / "pub cache" / (name + "-1.0.0");
            testing::writeFile(folder / "windows" / "CMakeLists.txt", "add_library(" + name + "_plugin SHARED x.cpp)\n");
            linkPlugin(name, folder);
        }
    }

    // How `program` ran under Wine, in a prefix of the test's own with a display of its own; none
    // when Wine is not installed.
    std::optional<testing::SpawnResult> runUnderWine(const fs::path& program) {
        if (!testing::WinePrefix::available()) return std::nullopt;
        const auto display = testing::VirtualDisplay::start();
        if (!display) {
            ADD_FAILURE() << "Xvfb did not start (apt-get install xvfb)";
            return std::nullopt;
        }
        const testing::WinePrefix wine(temp / "wine prefix", temp.path());
        return wine.run(program, {"--quit-after-ms=200"}, display->name());
    }

    testing::TempDir temp;
    std::optional<BuildRig> rig;
    Lines lines;
};

TEST_F(BuildPipelineEndToEnd, CleanBuildRunsUnderWineAndTheNextBuildOnlyRefreshesTheDartBundle) {
    const BuildResult first = build();
    const fs::path work = rig->workFolder();
    EXPECT_EQ(first.outputDirectory, work / "out");
    EXPECT_EQ(first.executable, work / "out" / "hello.exe");
    EXPECT_FALSE(first.nativeStepSkipped);
    testing::expectPE32PlusForX64(first.executable);
    // The example's plugin (method and event channels, SDK headers in Windows' letter case) is kept.
    testing::expectPE32PlusForX64(work / "out" / "hello_power_plugin.dll");
    EXPECT_TRUE(fs::is_regular_file(work / "out" / "flutter_windows.dll"));
    EXPECT_TRUE(fs::is_regular_file(work / "out" / "data" / "icudtl.dat"));
    EXPECT_TRUE(fs::is_regular_file(work / "out" / "data" / "flutter_assets" / "kernel_blob.bin"));
    EXPECT_EQ(rig->cmakeRuns().size(), 3u);  // configure, build, install

    const auto firstLines = lines.taken();
    ASSERT_FALSE(firstLines.empty());
    EXPECT_TRUE(linesStartingWith(firstLines, "Torvex: ⚠ plugin").empty()) << joinedLines(firstLines);
    EXPECT_EQ(firstLines.front(),
              "Torvex: building hello (Flutter 3.47.0, " + fs::canonical(rig->project()).string() + ")");
    EXPECT_TRUE(firstLines.back().starts_with("Torvex: built " + first.executable.string() + " in "))
        << firstLines.back();
    // The build log holds what the user saw, and the install step's lines besides.
    const std::string log = testing::readFile(logFile());
    for (const auto& line : firstLines) EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;
    EXPECT_NE(log.find("-- Installing: "), std::string::npos);
    EXPECT_FALSE(contains(firstLines, "-- Installing: " + first.executable.string()));

    if (const auto ran = runUnderWine(first.executable)) {
        const std::string out = testing::withoutCarriageReturns(ran->out);
        EXPECT_EQ(ran->status, 0) << out << ran->err;
        EXPECT_TRUE(TextPattern("^hello: runner started\n"
                                R"(The Dart VM service is listening on http://127\.0\.0\.1:\d+/[^/\s]+=/\n)"
                                "flutter_windows: channel hello_power has a handler\n"
                                "flutter_windows: channel hello_power/changes has a handler\n"
                                "hello: window open\n$")
                        .firstMatch(out))
            << out << ran->err;
    }

    // A Dart-only change, handed over as the Flutter tool does.
    const fs::path bundle = temp / "given bundle";
    testing::writeFile(bundle / "kernel_blob.bin", "changed kernel");
    testing::writeFile(bundle / "assets" / "new.txt", "new asset");
    BuildRequest request = rig->request();
    request.bundle = bundle;
    const BuildResult second = build(request);
    EXPECT_TRUE(second.nativeStepSkipped);
    EXPECT_EQ(second.executable, first.executable);
    EXPECT_EQ(rig->cmakeRuns().size(), 3u);
    const fs::path installedAssets = work / "out" / "data" / "flutter_assets";
    EXPECT_EQ(testing::readFile(installedAssets / "kernel_blob.bin"), "changed kernel");
    EXPECT_EQ(testing::readFile(installedAssets / "assets" / "new.txt"), "new asset");
    EXPECT_EQ(testing::readFile(installedAssets / "isolate_snapshot_data"),
              testing::readFile(rig->paths().engineCache() / BuildRig::engineRevision() / EngineArtifacts::isolateSnapshot));
    const auto secondLines = lines.taken();
    ASSERT_EQ(secondLines.size(), 3u) << joinedLines(secondLines);
    EXPECT_EQ(secondLines[1], "Torvex: native code unchanged, updating Dart bundle only");
    EXPECT_EQ(rig->server().requests(), 3);  // the engine was downloaded once

    // A program deleted by hand brings the native pass back, without a new configure.
    fs::remove(first.executable);
    EXPECT_FALSE(build(request).nativeStepSkipped);
    EXPECT_TRUE(fs::is_regular_file(first.executable));
    EXPECT_EQ(rig->cmakeRuns().size(), 5u);  // build, install
}

TEST_F(BuildPipelineEndToEnd, PathsOutOfWindowsReachTheProjectAndEditsBehindLinksAreBuilt) {
    const fs::path project = rig->project();
    const fs::path work = rig->workFolder();
    // What the project's windows/ reaches by relative paths: a resource next to pubspec.yaml, a
    // prebuilt DLL another tool makes, a CMake folder beside windows/.
    testing::writeFile(project / "some_key.pem", "torvex-test-key-1");
    testing::writeFile(project / "core" / "bin" / "core.dll", "MZ core 1");
    testing::writeFile(project / "native" / "CMakeLists.txt", "message(STATUS \"hello: ../native added\")\n");
    appendToFile(project / "windows" / "runner" / "Runner.rc", "\nKEY_DATA RCDATA \"../../some_key.pem\"\n");
    appendToFile(project / "windows" / "CMakeLists.txt",
                 "add_subdirectory(../native native)\n"
                 "install(FILES ${PROJECT_SOURCE_DIR}/../core/bin/core.dll DESTINATION \"${CMAKE_INSTALL_PREFIX}\")\n");
    // The example's plugin, reached through its link in .plugin_symlinks.
    const fs::path pluginSource = project / "packages" / "hello_power" / "windows" / "hello_power_plugin.cpp";
    const std::string pluginCode = testing::readFile(pluginSource);
    const auto markPlugin = [&](const std::string& mark) {
        testing::writeFile(pluginSource, pluginCode + "extern \"C\" __declspec(dllexport) const char* HelloPowerMark() { return \"" +
                                             mark + "\"; }\n");
    };
    markPlugin("torvex-test-mark-1");
    const auto holds = [](const fs::path& file, const std::string& text) {
        return testing::readFile(file).find(text) != std::string::npos;
    };
    const fs::path pluginDLL = work / "out" / "hello_power_plugin.dll";

    const BuildResult first = build();
    EXPECT_FALSE(first.nativeStepSkipped);
    EXPECT_TRUE(holds(first.executable, "torvex-test-key-1"));
    EXPECT_EQ(testing::readFile(work / "out" / "core.dll"), "MZ core 1");
    EXPECT_TRUE(contains(lines.taken(), "-- hello: ../native added"));
    EXPECT_TRUE(holds(pluginDLL, "torvex-test-mark-1"));
    EXPECT_TRUE(build().nativeStepSkipped) << "nothing changed";

    struct Edit {
        const char* name;
        std::function<void()> edit;
        std::function<bool()> built;
    };
    const Edit edits[] = {
        {"the plugin's source, behind its link", [&] { markPlugin("torvex-test-mark-2"); },
         [&] { return holds(pluginDLL, "torvex-test-mark-2"); }},
        {"an installed file outside windows/, same size",
         [&] { testing::writeFile(project / "core" / "bin" / "core.dll", "MZ core 2"); },
         [&] { return testing::readFile(work / "out" / "core.dll") == "MZ core 2"; }},
    };
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        edit.edit();
        EXPECT_FALSE(build().nativeStepSkipped);
        EXPECT_TRUE(edit.built());
        const std::string log = testing::readFile(logFile());
        const std::size_t unrecorded = log.find("Torvex: the next build runs the native pass again");
        EXPECT_TRUE(build().nativeStepSkipped) << log.substr(std::min(unrecorded, log.size()), 300);
    }
    lines.taken();
}

TEST_F(BuildPipelineEndToEnd, APluginThatDoesNotCompileIsLeftOutRememberedAndLeftOutAtOnceNextTime) {
    // A plugin whose C++ MSVC accepts and clang rejects, linked in as the Flutter tool does.
    const fs::path pubCache = temp / "pub cache";
    addPlugins(*rig, pubCache,
               {{"broken_plugin", "#include <string>\n"
                                  "void Lenient() {\n"
                                  "  std::string& name = std::string(\"temporary\");  // MSVC's permissive mode takes this\n"
                                  "  (void)name;\n"
                                  "}\n"}});
    const fs::path plugin = pubCache / "broken_plugin-1.0.0";

    const BuildResult first = build();
    EXPECT_FALSE(first.nativeStepSkipped);
    testing::expectPE32PlusForX64(first.executable);
    const auto firstLines = lines.taken();
    const std::string leftOut =
        "Torvex: ⚠ plugin broken_plugin is left out of the Torvex build: its Windows code does not compile with "
        "clang yet (";
    const auto leftOutLine = std::find_if(firstLines.begin(), firstLines.end(),
                                          [&](const std::string& line) { return line.starts_with(leftOut); });
    ASSERT_NE(leftOutLine, firstLines.end()) << joinedLines(firstLines);
    EXPECT_TRUE(leftOutLine->ends_with("). Dart calls to it will throw MissingPluginException.")) << *leftOutLine;
    EXPECT_NE(leftOutLine->find("non-const lvalue reference"), std::string::npos) << *leftOutLine;
    EXPECT_TRUE(contains(firstLines, "Torvex: rebuilding without broken_plugin")) << joinedLines(firstLines);

    const std::string memory = testing::readFile(rig->workFolder() / "plugin-failures.json");
    EXPECT_NE(memory.find("\"name\":\"broken_plugin\""), std::string::npos) << memory;
    EXPECT_NE(memory.find("\"source\":\"" + plugin.string() + "\""), std::string::npos) << memory;
    EXPECT_NE(memory.find("\"rulesVersion\":" + std::to_string(PluginCompatibility::rulesVersion)), std::string::npos)
        << memory;

    // The next build leaves it out before any compile: nothing native changed, so no CMake at all.
    const std::size_t cmakeRuns = rig->cmakeRuns().size();
    const BuildResult second = build();
    EXPECT_TRUE(second.nativeStepSkipped);
    EXPECT_EQ(rig->cmakeRuns().size(), cmakeRuns);
    const auto secondLines = lines.taken();
    EXPECT_EQ(std::count_if(secondLines.begin(), secondLines.end(),
                            [&](const std::string& line) { return line.starts_with(leftOut); }),
              1)
        << joinedLines(secondLines);
    EXPECT_FALSE(contains(secondLines, "Torvex: rebuilding without broken_plugin"));
}

// Whether `bytes` hold `text` in any letter case.
bool holdsIgnoringCase(const std::string& bytes, const std::string& text) {
    return lowercasedASCII(bytes).find(lowercasedASCII(text)) != std::string::npos;
}

// `text` as UTF-16LE, as a resource holds it.
std::string utf16(const std::string& text) {
    std::string wide;
    for (const char c : text) wide += std::string{c, '\0'};
    return wide;
}

TEST_F(BuildPipelineEndToEnd, PluginsWithHabitsOfMSVCCodeAreKeptAloneAndAllTogether) {
    struct App {
        std::vector<std::string> plugins;
        std::string shown;  // a line of the build that shows the habit met
    };
    const App apps[] = {
        {{"mixed_case_libraries"}, "Linking CXX shared library plugins/mixed_case_libraries/mixed_case_libraries_plugin.dll"},
        // The warnings that the plugin's -Werror would have made errors.
        {{"strict_warnings"}, "strict_warnings_plugin.cpp:15:31: warning: missing field 'patch' initializer"},
        {{"resource_script"}, "Building RC object plugins/resource_script/CMakeFiles/resource_script_plugin.dir/"},
        {{"plugin_icon"}, "Building RC object plugins/plugin_icon/CMakeFiles/plugin_icon_plugin.dir/icon.rc.res"},
        {{"window_styles"}, "warning: case value evaluates to -16, which cannot be narrowed"},
        {{"mixed_case_libraries", "strict_warnings", "resource_script", "plugin_icon", "window_styles"},
         "Linking CXX executable runner/hello.exe"},
    };
    for (const App& app : apps) {
        SCOPED_TRACE(::testing::PrintToString(app.plugins));
        std::vector<ListedPlugin> listed;
        for (const std::string& name : app.plugins) listed.push_back(fixturePlugin(*rig, name));
        listPlugins(*rig, listed);

        const BuildResult result = build();
        const auto built = lines.taken();
        EXPECT_TRUE(linesStartingWith(built, "Torvex: ⚠ plugin").empty()) << joinedLines(built);
        EXPECT_TRUE(linesStartingWith(built, "Torvex: rebuilding without").empty()) << joinedLines(built);
        EXPECT_NE(joinedLines(built).find(app.shown), std::string::npos) << joinedLines(built);
        testing::expectPE32PlusForX64(result.executable);
        for (const std::string& name : app.plugins)
            testing::expectPE32PlusForX64(result.outputDirectory / (name + "_plugin.dll"));
    }

    // What the habits left in the DLLs: the imports of the libraries named in the Windows SDK's
    // letter case, and the version resource of the script.
    const fs::path out = rig->workFolder() / "out";
    const std::string libraries = testing::readFile(out / "mixed_case_libraries_plugin.dll");
    for (const char* dll : {"gdi32.dll", "msimg32.dll", "winmm.dll"}) EXPECT_TRUE(holdsIgnoringCase(libraries, dll)) << dll;
    EXPECT_NE(testing::readFile(out / "resource_script_plugin.dll").find(utf16("resource_script plugin")), std::string::npos);

    if (const auto ran = runUnderWine(out / "hello.exe")) {
        const std::string output = testing::withoutCarriageReturns(ran->out);
        EXPECT_EQ(ran->status, 0) << output << ran->err;
        for (const char* name : {"mixed_case_libraries", "strict_warnings", "resource_script", "plugin_icon", "window_styles"})
            EXPECT_NE(output.find(std::string(name) + ": registered\n"), std::string::npos) << output << ran->err;
    }
}

// Text with every line feed preceded by a carriage return.
std::string withCRLF(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) result += '\r';
        result += text[i];
    }
    return result;
}

TEST_F(BuildPipelineEndToEnd, ProjectsOfOtherShapesBuildWithTheirPlugin) {
    struct Shape {
        const char* name;
        std::function<void(const fs::path& project)> make;  // applied on top of the shapes before it
    };
    const Shape shapes[] = {
        {"created before Flutter 3.16: the platform named literally, no FLUTTER_TARGET_PLATFORM fallback",
         [](const fs::path& project) {
             const fs::path file = project / "windows" / "flutter" / "CMakeLists.txt";
             std::string text = testing::readFile(file);
             const std::string fallback = "if(NOT DEFINED FLUTTER_TARGET_PLATFORM)\n"
                                          "  set(FLUTTER_TARGET_PLATFORM \"windows-x64\")\n"
                                          "endif()\n";
             const std::string platform = "${FLUTTER_TARGET_PLATFORM} $<CONFIG>";
             ASSERT_NE(text.find(fallback), std::string::npos);
             ASSERT_NE(text.find(platform), std::string::npos);
             text.erase(text.find(fallback), fallback.size());
             text.replace(text.find(platform), platform.size(), "windows-x64 $<CONFIG>");
             testing::writeFile(file, text);
         }},
        {"CRLF line ends in every text file, the plugin's too", [](const fs::path& project) {
             for (auto entry = fs::recursive_directory_iterator(project, fs::directory_options::follow_directory_symlink);
                  entry != fs::recursive_directory_iterator(); ++entry) {
                 if (!entry->is_regular_file()) continue;
                 const std::string text = testing::readFile(entry->path());
                 if (text.find('\0') == std::string::npos) testing::writeFile(entry->path(), withCRLF(text));
             }
         }},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        shape.make(rig->project());
        const BuildResult result = build();
        EXPECT_FALSE(result.nativeStepSkipped);
        testing::expectPE32PlusForX64(result.executable);
        testing::expectPE32PlusForX64(result.outputDirectory / "hello_power_plugin.dll");
        const auto built = lines.taken();
        EXPECT_TRUE(linesStartingWith(built, "Torvex: ⚠ plugin").empty()) << joinedLines(built);
    }
}

TEST_F(BuildPipelineEndToEnd, SeveralFailingPluginsAreLeftOutInOneBuildEachWithItsReason) {
    const std::vector<TestPlugin> plugins = {
        {"atl_plugin", "#include <atlbase.h>\n"},
        {"winrt_plugin", "#include <winrt/Windows.Foundation.h>\n"},
        {"lenient_plugin", "#include <string>\nvoid Lenient() { std::string& s = std::string(\"x\"); (void)s; }\n"},
        {"own_case_plugin", "#include \"Helper.h\"\n", "", {{"helper.h", "#pragma once\n"}}},
        {"link_plugin", "void DefinedNowhere();\nvoid Caller() { DefinedNowhere(); }\n"},
        {"configure_plugin", "", "include(missing_helpers.cmake)\n"},
        {"nuget_plugin", "", "# Fetches the Windows App SDK.\nexecute_process(COMMAND nuget install Microsoft.WindowsAppSDK)\n"},
    };
    addPlugins(*rig, temp / "pub cache", plugins);

    const BuildResult result = build();
    testing::expectPE32PlusForX64(result.executable);
    testing::expectPE32PlusForX64(result.outputDirectory / "hello_power_plugin.dll");
    const auto built = lines.taken();
    // Each reason as far as it does not depend on the compiler's wording.
    const std::map<std::string, std::string> reasons = {
        {"atl_plugin", "it uses ATL (atlbase.h), which ships only with Visual Studio"},
        {"winrt_plugin", "it uses C++/WinRT (winrt/Windows.Foundation.h), which needs the MSVC compiler"},
        {"lenient_plugin", "its Windows code does not compile with clang yet (non-const lvalue reference to type "},
        {"own_case_plugin", "its Windows code does not compile with clang yet ('Helper.h' file not found)"},
        {"link_plugin", "its Windows code does not compile with clang yet (undefined symbol: DefinedNowhere())"},
        {"configure_plugin", "its Windows code does not compile with clang yet (include could not find requested file:)"},
        {"nuget_plugin", "it downloads Microsoft SDK packages with NuGet, which needs Visual Studio"},
    };
    for (const auto& [plugin, reason] : reasons) {
        const auto leftOut = linesStartingWith(built, leftOutPrefix(plugin));
        ASSERT_EQ(leftOut.size(), 1u) << plugin << "\n" << joinedLines(built);
        EXPECT_TRUE(leftOut[0].starts_with(leftOutPrefix(plugin) + reason)) << leftOut[0];
        EXPECT_TRUE(leftOut[0].ends_with(". Dart calls to it will throw MissingPluginException.")) << leftOut[0];
        EXPECT_FALSE(fs::exists(result.outputDirectory / (plugin + "_plugin.dll"))) << plugin;
    }
    // Screening takes the NuGet plugin before any pass; the configure error is found before any
    // compile; then one pass finds every plugin that does not compile or link.
    const auto rebuilds = linesStartingWith(built, "Torvex: rebuilding without ");
    ASSERT_EQ(rebuilds.size(), 2u) << joinedLines(built);
    EXPECT_EQ(rebuilds[0], "Torvex: rebuilding without configure_plugin");
    for (const char* plugin : {"atl_plugin", "winrt_plugin", "lenient_plugin", "own_case_plugin", "link_plugin"}) {
        EXPECT_NE(rebuilds[1].find(plugin), std::string::npos) << rebuilds[1];
    }
}

// A port on 127.0.0.1 that refuses connections while this lives: bound, never listening.
class RefusingPort {
public:
    RefusingPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "no port on 127.0.0.1";
        }
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() {
        if (socket_ >= 0) ::close(socket_);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int socket_;
    int port_ = 0;
};

TEST_F(BuildPipelineEndToEnd, APluginWhoseDownloadFailsIsLeftOutForThisBuildOnlyWithTheURL) {
    RefusingPort closed;
    const std::string url = "http://127.0.0.1:" + std::to_string(closed.port()) + "/prebuilt-x64.zip";
    addPlugins(*rig, temp / "pub cache",
               {{"prebuilt_plugin", "",
                 "file(DOWNLOAD \"" + url + "\" \"${CMAKE_CURRENT_BINARY_DIR}/prebuilt.zip\" STATUS status)\n"
                 "list(GET status 0 code)\n"
                 "if(NOT code EQUAL 0)\n"
                 "  message(FATAL_ERROR \"Failed to download " + url + ": ${status}\")\n"
                 "endif()\n"}});
    const std::string leftOut = leftOutPrefix("prebuilt_plugin") + "its download of " + url +
                                " failed (Couldn't connect to server); the next build tries it again. Dart calls to it "
                                "will throw MissingPluginException.";
    for (const char* which : {"first build", "next build"}) {
        SCOPED_TRACE(which);
        const BuildResult result = build();
        testing::expectPE32PlusForX64(result.executable);
        EXPECT_FALSE(fs::exists(result.outputDirectory / "prebuilt_plugin_plugin.dll"));
        const auto shown = lines.taken();
        EXPECT_TRUE(contains(shown, leftOut)) << joinedLines(shown);
        EXPECT_TRUE(contains(shown, "Torvex: rebuilding without prebuilt_plugin")) << joinedLines(shown);
        const fs::path memory = rig->workFolder() / "plugin-failures.json";
        if (fs::exists(memory)) {
            EXPECT_EQ(testing::readFile(memory).find("prebuilt_plugin"), std::string::npos) << "remembered";
        }
    }
}

TEST_F(BuildPipelineEndToEnd, AFailedInstallStepIsNamedWithItsError) {
    appendToFile(rig->project() / "windows" / "CMakeLists.txt",
                 "install(FILES \"${CMAKE_CURRENT_SOURCE_DIR}/prebuilt/core.dll\" DESTINATION \"${CMAKE_INSTALL_PREFIX}\")\n");
    const TorvexError error = failedBuild();
    EXPECT_EQ(error.kind, TorvexError::Kind::buildFailed);
    EXPECT_EQ(error.what, "The Windows build compiled and linked, but its install step failed.");
    EXPECT_TRUE(error.why.starts_with("cmake --install reported: file INSTALL cannot find \"")) << error.why;
    EXPECT_TRUE(error.why.ends_with("/prebuilt/core.dll\": No such file or directory.")) << error.why;
    EXPECT_TRUE(error.fix.ends_with("Full output: " + logFile().string())) << error.fix;
    EXPECT_FALSE(fs::exists(rig->workFolder() / "native.stamp"));
}

TEST_F(BuildPipelineEndToEnd, TheProjectsOwnCMakeFilesAndResourceScriptFailingAreToldAsSuch) {
    const fs::path cmakeLists = rig->project() / "windows" / "CMakeLists.txt";
    const std::string original = testing::readFile(cmakeLists);
    const std::string broken = original + "add_subdirectory(\"../shared_core\" shared_core)\n";
    const auto lineCount = std::count(broken.begin(), broken.end(), '\n');
    const std::string why = "CMake reported: windows/CMakeLists.txt:" + std::to_string(lineCount) +
                            " (add_subdirectory): add_subdirectory given source \"../shared_core\" which is not an "
                            "existing directory.";
    const auto expectConfigureFailure = [&] {
        const TorvexError error = failedBuild();
        EXPECT_EQ(error.kind, TorvexError::Kind::buildFailed);
        EXPECT_EQ(error.what, "The Windows build's configure step (cmake) failed.");
        EXPECT_EQ(error.why, why);
        EXPECT_TRUE(error.fix.ends_with("Full output: " + logFile().string())) << error.fix;
        EXPECT_FALSE(fs::exists(rig->workFolder() / "native.stamp"));
    };
    {
        SCOPED_TRACE("the first build configures");
        testing::writeFile(cmakeLists, broken);
        expectConfigureFailure();
    }
    testing::writeFile(cmakeLists, original);
    EXPECT_FALSE(build().nativeStepSkipped);
    {
        SCOPED_TRACE("Ninja runs CMake again in the build step");
        testing::writeFile(cmakeLists, broken);
        expectConfigureFailure();
    }
    testing::writeFile(cmakeLists, original);
    {
        SCOPED_TRACE("the runner's resource script");
        const fs::path script = rig->project() / "windows" / "runner" / "Runner.rc";
        appendToFile(script, "\n1 ICON\n");
        const TorvexError error = failedBuild();
        EXPECT_EQ(error.kind, TorvexError::Kind::buildFailed);
        EXPECT_EQ(error.what, "The resource compiler failed on the resource script " + script.string() + ".");
        EXPECT_TRUE(error.why.starts_with("The resource compiler reported: Error parsing file: expected string"))
            << error.why;
    }
}

TEST_F(BuildPipelineEndToEnd, TheRunnerIncludingAPluginThatIsLeftOutIsToldSo) {
    addPlugins(*rig, temp / "pub cache",
               {{"instance_plugin", "", "set(PACKAGES_FROM \"nuget\")\n"}});
    const fs::path mainSource = rig->project() / "windows" / "runner" / "main.cpp";
    testing::writeFile(mainSource, "#include <instance_plugin/instance_plugin_c_api.h>\n" + testing::readFile(mainSource));
    const TorvexError error = failedBuild();
    EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
    EXPECT_EQ(error.what, "The runner includes instance_plugin/instance_plugin_c_api.h of the plugin instance_plugin, "
                          "which Torvex left out of this build.");
    EXPECT_EQ(error.why, "Torvex left instance_plugin out because it downloads Microsoft SDK packages with NuGet, which "
                         "needs Visual Studio.");
    EXPECT_TRUE(error.fix.ends_with("Full output: " + logFile().string())) << error.fix;
}

struct UnsavableFailure {
    std::string name;
    std::string runnerLine;  // added at the top of the runner's main.cpp
    TorvexError::Kind kind;
    std::string what;
};

TEST_F(BuildPipelineEndToEnd, FailuresNoPluginExplainsAreDiagnosedWithTheLogPath) {
    const std::vector<UnsavableFailure> cases = {
        {"MSVC-only header", "#include <atlbase.h>", TorvexError::Kind::unsupported,
         "This project uses ATL, which Torvex does not support yet."},
        {"missing Windows header", "#include <winrt_helpers_only_msvc_has.h>", TorvexError::Kind::unsupported,
         "The Windows code needs winrt_helpers_only_msvc_has.h, which the mingw-w64 Windows headers don't include."},
        {"own header in another letter case", "#include \"Utils.h\"", TorvexError::Kind::unsupported,
         "The Windows code includes Utils.h, but the file is named utils.h."},
        {"plain compile error", "static_assert(false, \"broken runner\");", TorvexError::Kind::buildFailed,
         "The Windows build failed."},
    };
    const fs::path mainSource = rig->project() / "windows" / "runner" / "main.cpp";
    const std::string original = testing::readFile(mainSource);
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        testing::writeFile(mainSource, failure.runnerLine + "\n" + original);
        const TorvexError error = failedBuild();
        EXPECT_EQ(error.kind, failure.kind);
        EXPECT_EQ(error.what, failure.what);
        EXPECT_TRUE(error.fix.ends_with("Full output: " + logFile().string())) << error.fix;
        EXPECT_FALSE(fs::exists(rig->workFolder() / "native.stamp"));
        EXPECT_NE(testing::readFile(logFile()).find("error: "), std::string::npos);
    }

    testing::writeFile(mainSource, original);
    EXPECT_FALSE(build().nativeStepSkipped);
}

TEST_F(BuildPipelineEndToEnd, AStagingThatFailsPartwayNeverLetsTheNextBuildTakeTheShortcut) {
    const BuildResult first = build();
    ASSERT_FALSE(first.nativeStepSkipped);
    const std::size_t runsAfterFirst = rig->cmakeRuns().size();

    // The top-level CMakeLists.txt is staged before flutter/CMakeLists.txt, whose patch then fails.
    const fs::path windows = rig->project() / "windows";
    appendToFile(windows / "CMakeLists.txt", "message(STATUS \"hello: changed top level\")\n");
    const std::string flutterCMake = testing::readFile(windows / "flutter" / "CMakeLists.txt");
    testing::writeFile(windows / "flutter" / "CMakeLists.txt", "# no backend call\n");
    EXPECT_EQ(failedBuild().what, "This project's windows/flutter/CMakeLists.txt has an unexpected layout.");
    ASSERT_NE(testing::readFile(stagedWindowsFolder(rig->workFolder()) / "CMakeLists.txt").find("changed top level"),
              std::string::npos);

    // Staging now finds nothing to change, yet the changed CMakeLists.txt was never built.
    testing::writeFile(windows / "flutter" / "CMakeLists.txt", flutterCMake);
    const BuildResult repaired = build();
    EXPECT_FALSE(repaired.nativeStepSkipped);
    EXPECT_GT(rig->cmakeRuns().size(), runsAfterFirst);
    EXPECT_NE(testing::readFile(logFile()).find("hello: changed top level"), std::string::npos);
}

TEST_F(BuildPipelineEndToEnd, TwoBuildsOfOneProjectRunOneAfterTheOther) {
    build();
    lines.taken();

    std::vector<std::thread> builds;
    for (int i = 0; i < 2; ++i) builds.emplace_back([this] { EXPECT_TRUE(build().nativeStepSkipped); });
    for (auto& thread : builds) thread.join();

    // building, the Flutter tool's bundle step, unchanged, built: one build's lines, then the other's.
    // The second may say first that it waits.
    auto both = lines.taken();
    EXPECT_LE(std::erase(both, "Torvex: waiting for another build of hello to finish"), 1u);
    ASSERT_EQ(both.size(), 8u) << joinedLines(both);
    for (std::size_t start : {0u, 4u}) {
        EXPECT_TRUE(both[start].starts_with("Torvex: building hello")) << joinedLines(both);
        EXPECT_TRUE(both[start + 3].starts_with("Torvex: built ")) << joinedLines(both);
    }
}

TEST_F(BuildPipelineEndToEnd, TwoProcessesBuildingOneProjectTakeTurns) {
    // The other process sets up its own rig over this one's folder and builds the same project.
    std::optional<ProcessResult> other;
    std::jthread otherProcess([&] {
        other = ProcessRunner::shared().capture({BUILD_PROJECT, {temp.path().string()}, {}, std::nullopt});
    });
    const BuildResult here = build();
    otherProcess.join();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->exitCode, 0) << other->standardOutput << "\n" << other->standardError;

    // One native build, then the other finds nothing native to do.
    EXPECT_EQ(rig->cmakeRuns().size(), 3u) << joinedLines(rig->cmakeRuns());
    const bool otherSkipped = other->standardOutput.find("Torvex: native code unchanged") != std::string::npos;
    EXPECT_NE(here.nativeStepSkipped, otherSkipped);
    testing::expectPE32PlusForX64(here.executable);
}

TEST_F(BuildPipelineEndToEnd, DownloadProgressOfTheBuildSystemGoesToTheLogOnly) {
    appendToFile(rig->project() / "windows" / "CMakeLists.txt",
                 "message(STATUS \"[download 100% complete]\")\nmessage(STATUS \"[download 42% of 1 MB]\")\n");
    build();
    const auto shown = lines.taken();
    EXPECT_FALSE(contains(shown, "-- [download 100% complete]"));
    EXPECT_TRUE(contains(shown, "-- [download 42% of 1 MB]")) << "only finished downloads are left out";
    EXPECT_NE(testing::readFile(logFile()).find("\n-- [download 100% complete]\n"), std::string::npos);
}

TEST_F(BuildPipelineEndToEnd, AnEngineChangeBuildsWithoutConfigureAndAToolchainChangeConfiguresFromClean) {
    build();
    const fs::path work = rig->workFolder();
    std::size_t runs = rig->cmakeRuns().size();

    rig->changeEngineRevision("fedcba9876543210fedcba9876543210fedcba98");
    EXPECT_FALSE(build().nativeStepSkipped);
    EXPECT_EQ(runArguments(rig->cmakeRuns(), runs), (std::vector<std::string>{
                                                        "--build " + (work / "cmake-build").string() + " -- -k 0",
                                                        "--install " + (work / "cmake-build").string(),
                                                    }));
    EXPECT_EQ(rig->server().requests(), 6);
    runs = rig->cmakeRuns().size();

    // A toolchain sorted after the first one is the one used: a new fingerprint.
    const fs::path local = rig->paths().toolchains() / "local";
    const fs::path newer = rig->paths().toolchains() / "local-2";
    fs::create_directories(newer);
    for (const char* part : {"llvm-mingw", "cmake"}) fs::create_directory_symlink(local / part, newer / part);
    testing::writeFile(work / "cmake-build" / "left from before", "");
    testing::writeFile(work / "out" / "left from before", "");
    const BuildResult rebuilt = build();
    EXPECT_FALSE(rebuilt.nativeStepSkipped);
    const auto arguments = runArguments(rig->cmakeRuns(), runs);
    ASSERT_EQ(arguments.size(), 3u);
    EXPECT_TRUE(arguments[0].starts_with("-G Ninja -S ")) << arguments[0];
    EXPECT_FALSE(fs::exists(work / "cmake-build" / "left from before"));
    EXPECT_FALSE(fs::exists(work / "out" / "left from before"));
    EXPECT_NE(testing::readFile(work / "tools" / "toolchain.cmake").find(newer.string()), std::string::npos);
    testing::expectPE32PlusForX64(rebuilt.executable);
}

TEST_F(BuildPipelineEndToEnd, AnInstallWithoutTheProgramIsTheMissingProgramError) {
    appendToFile(rig->project() / "windows" / "runner" / "CMakeLists.txt",
                 "set_target_properties(${BINARY_NAME} PROPERTIES OUTPUT_NAME \"renamed\")\n");
    const TorvexError error = failedBuild();
    EXPECT_EQ(error.kind, TorvexError::Kind::buildFailed);
    EXPECT_EQ(error.what, "The build finished but hello.exe is missing.");
    EXPECT_EQ(error.why, "BINARY_NAME in windows/CMakeLists.txt may not match the runner target.");
    EXPECT_EQ(error.fix, "Full output: " + logFile().string());
    EXPECT_TRUE(fs::is_regular_file(rig->workFolder() / "out" / "renamed.exe"));
    EXPECT_TRUE(fs::exists(rig->workFolder() / "native.stamp")) << "written before the program is looked for";
}

// CMake's stand-in for the fallback: configure makes build.ninja; a build fails in the first listed
// plugin whose name begins with "fail_" that staging left in (FIRST), or always in fail_a (ALWAYS).
std::string failingCMake(bool always) {
    return std::string("case \"$1\" in\n"
                       "--build)\n") +
           (always ? "  name=fail_a\n"
                   : "  name=$(sed -n 's/^  \\(fail_[a-z]*\\)$/\\1/p' \"$(dirname \"$2\")/source/windows/flutter/generated_plugins.cmake\" "
                     "| head -n 1)\n") +
           "  echo \"FAILED: plugins/$name/CMakeFiles/${name}_plugin.dir/x.cpp.obj\"\n"
           "  echo \"/pub/.plugin_symlinks/$name/windows/x.cpp:1:10: fatal error: 'atlbase.h' file not found\"\n"
           "  exit 1 ;;\n"
           "--install) exit 0 ;;\n"
           "*) mkdir -p \"$6\" && : > \"$6/build.ninja\" ;;\n"
           "esac\n";
}

TEST_F(BuildPipelineEndToEnd, TheFallbackLeavesPluginsOutThreeTimesAtMost) {
    linkPlaceholderPlugins({"fail_e", "fail_d", "fail_c", "fail_b", "fail_a"});
    rig->replaceCMake(failingCMake(false));

    const TorvexError error = failedBuild();
    EXPECT_EQ(error.what, "The plugin fail_d uses ATL, which Torvex does not support yet.") << "the fourth pass's failure";
    const auto shown = lines.taken();
    EXPECT_EQ(countStarting(shown, "Torvex: rebuilding without "), 3u) << joinedLines(shown);
    for (const char* name : {"fail_a", "fail_b", "fail_c"})
        EXPECT_TRUE(contains(shown, std::string("Torvex: rebuilding without ") + name)) << joinedLines(shown);
    EXPECT_EQ(countStarting(runArguments(rig->cmakeRuns()), "--build "), 4u);
    const std::string memory = testing::readFile(rig->workFolder() / "plugin-failures.json");
    EXPECT_NE(memory.find("\"fail_c\""), std::string::npos) << memory;
    EXPECT_EQ(memory.find("\"fail_d\""), std::string::npos) << memory;
}

TEST_F(BuildPipelineEndToEnd, AFailureOfPluginsAlreadyLeftOutIsDiagnosedAtOnce) {
    linkPlaceholderPlugins({"fail_a"});
    rig->replaceCMake(failingCMake(true));

    // Left out after the first pass; the second fails in it again.
    EXPECT_EQ(failedBuild().what, "The plugin fail_a uses ATL, which Torvex does not support yet.");
    EXPECT_EQ(countStarting(lines.taken(), "Torvex: rebuilding without "), 1u);
    EXPECT_EQ(countStarting(runArguments(rig->cmakeRuns()), "--build "), 2u);

    // Remembered: left out from the start, and the one pass is diagnosed at once.
    EXPECT_EQ(failedBuild().what, "The plugin fail_a uses ATL, which Torvex does not support yet.");
    const auto shown = lines.taken();
    EXPECT_EQ(countStarting(shown, "Torvex: ⚠ plugin fail_a is left out"), 1u) << joinedLines(shown);
    EXPECT_EQ(countStarting(shown, "Torvex: rebuilding without "), 0u);
    EXPECT_EQ(countStarting(runArguments(rig->cmakeRuns()), "--build "), 3u);
}

TEST_F(BuildPipelineEndToEnd, CancellingStopsEveryProcessOfTheBuildAndTheNextBuildSucceeds) {
    // Ninja starts each compile in a process group of its own, so the check follows the build's
    // environment rather than CMake's group.
    const std::string mark = "TORVEX_TEST_BUILD=" + temp.path().string();
    ::setenv("TORVEX_TEST_BUILD", temp.path().c_str(), 1);
    std::stop_source stop;
    std::size_t runningWhenStopped = 0;
    BuildPipeline cancellable{rig->paths(), [&](const std::string& line) {
                                  // Ninja's status prefix: the build step is running compilers.
                                  if (line.starts_with("[") && !stop.stop_requested()) {
                                      runningWhenStopped = processesWith(mark).size();
                                      stop.request_stop();
                                  }
                              }};
    EXPECT_THROW(cancellable.build(rig->request(), stop.get_token()), Cancelled);
    ::unsetenv("TORVEX_TEST_BUILD");
    EXPECT_GT(runningWhenStopped, 0u);
    EXPECT_FALSE(fs::exists(rig->workFolder() / "native.stamp"));

    // SIGTERM at once, SIGKILL 3 s later: nothing of the build may be left after that.
    EXPECT_TRUE(eventually([&] { return processesWith(mark).empty(); }, std::chrono::seconds(8)))
        << ::testing::PrintToString(processesWith(mark));

    const BuildResult next = build();
    EXPECT_FALSE(next.nativeStepSkipped);
    testing::expectPE32PlusForX64(next.executable);
}

} // namespace
} // namespace torvex
