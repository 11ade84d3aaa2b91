#include "Build/PluginCompatibility.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <ostream>
#include <vector>

namespace torvex {

void PrintTo(const DisabledPlugin& plugin, std::ostream* out) {
    *out << "{" << plugin.name << ", \"" << plugin.reason << "\", " << (plugin.compileFailure ? "compile" : "screened")
         << "}";
}

namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;
using Files = std::map<std::string, std::string>;

const std::string nuget = "it downloads Microsoft SDK packages with NuGet, which needs Visual Studio";
const std::string targets = "it links MSBuild .targets files, which only Visual Studio understands";
const std::string webview2 = "it uses Microsoft Edge WebView2, which does not run under Torvex";
const std::string cppwinrt = "it uses C++/WinRT, which needs the MSVC compiler";
const std::string firebase = "it links Firebase's prebuilt C++ SDK, which is built for MSVC only";
const std::string jni = "it needs a Java JDK (its DLL is only used when Dart code calls into Java)";

std::string compileFailure(const std::string& error) {
    return "its Windows code does not compile with clang yet (" + error + ")";
}

std::string resourceFailure(const std::string& script, const std::string& error) {
    return "the resource compiler failed on its resource script " + script + " (" + error + ")";
}

void writeFiles(const fs::path& root, const Files& files) {
    for (const auto& [relative, bytes] : files) writeFile(root / relative, bytes);
}

// A plugin folder at `pubCache`/<name>-1.0.0 with `files`, linked from the project's
// windows/flutter/ephemeral/.plugin_symlinks/<name> as the Flutter tool links it.
fs::path addPlugin(const fs::path& projectWindows, const fs::path& pubCache, const std::string& name, const Files& files) {
    const fs::path folder = pubCache / (name + "-1.0.0");
    fs::create_directories(folder);
    writeFiles(folder, files);
    const fs::path links = projectWindows / "flutter/ephemeral/.plugin_symlinks";
    fs::create_directories(links);
    fs::create_symlink(folder, links / name);
    return folder;
}

TEST(PluginCompatibilityTest, FirstSignOfTheTableGivesTheReason) {
    struct Case {
        const char* name;
        Files files;  // below the plugin's folder
        std::optional<std::string> reason;
    };
    const Case cases[] = {
        {"NuGet in any case", {{"windows/CMakeLists.txt", "find_program(NUGET NuGet.exe)\n"}}, nuget},
        {"MSBuild targets in a .cmake file", {{"windows/deps.cmake", "include(packages/x/build/native/x.targets)\n"}},
         targets},
        {"WebView2", {{"windows/CMakeLists.txt", "set(WEBVIEW2_VERSION 1.0.2)\n"}}, webview2},
        {"C++/WinRT", {{"windows/CMakeLists.txt", "target_link_libraries(p PRIVATE Microsoft::CppWinRT)\n"}}, cppwinrt},
        {"Firebase", {{"windows/CMakeLists.txt", "add_subdirectory(${FIREBASE_CPP_SDK_DIR} bin)\n"}}, firebase},
        {"JNI, lowercased", {{"windows/CMakeLists.txt", "find_package(JNI REQUIRED)\n"}}, jni},
        {"JNI without REQUIRED", {{"windows/CMakeLists.txt", "find_package(JNI)\n"}}, std::nullopt},
        {"JNI with a blank after the parenthesis", {{"windows/CMakeLists.txt", "find_package( JNI REQUIRED)\n"}},
         std::nullopt},
        {"table order beats text order",
         {{"windows/CMakeLists.txt", "set(WEBVIEW2 1)\nexecute_process(COMMAND nuget install)\n"}}, nuget},
        {"a whole-line comment does not count",
         {{"windows/CMakeLists.txt", "add_library(p SHARED p.cpp)\n  \t# NuGet is not needed\n"}}, std::nullopt},
        {"a comment after code counts", {{"windows/CMakeLists.txt", "add_library(p SHARED p.cpp) # nuget\n"}}, nuget},
        {"comment lines ended by CR alone or CRLF",
         {{"windows/CMakeLists.txt", "add_library(p)\r# nuget\r\n# webview2\r\n"}}, std::nullopt},
        {"a comment opening the next file is still a whole line",
         {{"windows/CMakeLists.txt", "add_library(p)"}, {"windows/x.cmake", "# nuget\n"}}, std::nullopt},
        {"the src folder's CMakeLists.txt beside windows",
         {{"windows/CMakeLists.txt", "add_subdirectory(../src src)\n"}, {"src/CMakeLists.txt", "find_package(JNI REQUIRED)\n"}},
         jni},
        {"other files do not count",
         {{"windows/packages.config", "<package id=\"Microsoft.Web.WebView2\"/>"},
          {"windows/CMakeLists.txt.in", "nuget"},
          {"windows/plugin.cpp", "// nuget"},
          {"windows/sub/CMakeLists.txt", "nuget"},
          {"src/other.cmake", "nuget"}},
         std::nullopt},
        {"a hidden .cmake file counts", {{"windows/.cmake", "nuget\n"}}, nuget},
        {"a file that is not UTF-8 is passed over, the others are searched",
         {{"windows/a.cmake", "nuget \xff\n"}, {"windows/CMakeLists.txt", "cppwinrt\n"}}, cppwinrt},
        {"no windows folder", {{"README.md", "nuget"}}, std::nullopt},
    };
    for (const Case& c : cases) {
        TempDir temp;
        writeFiles(temp / "plugin", c.files);
        EXPECT_EQ(PluginCompatibility::unsupportedReason(temp / "plugin/windows"), c.reason) << c.name;
    }
}

const std::string generatedPlugins =
    "#\n# Generated file, do not edit.\n#\n\n"
    "list(APPEND FLUTTER_PLUGIN_LIST\n  camera_windows\n  ghost\n  url_launcher_windows\n)\n\n"
    "list(APPEND FLUTTER_FFI_PLUGIN_LIST\n  native_lib\n)\n\n"
    "set(PLUGIN_BUNDLED_LIBRARIES)\n";

TEST(PluginCompatibilityTest, AnalyseScreensThePluginsOfTheGeneratedList) {
    TempDir temp;
    const fs::path windows = temp / "app/windows";
    writeFile(windows / "flutter/generated_plugins.cmake", generatedPlugins);
    addPlugin(windows, temp / "pub-cache", "camera_windows", {{"windows/CMakeLists.txt", "nuget_install(x)\n"}});
    addPlugin(windows, temp / "pub-cache", "url_launcher_windows", {{"windows/CMakeLists.txt", "add_library(u)\n"}});
    addPlugin(windows, temp / "pub-cache", "native_lib",
              {{"windows/CMakeLists.txt", "add_subdirectory(../src native)\n"}, {"src/CMakeLists.txt", "cppwinrt\n"}});
    addPlugin(windows, temp / "pub-cache", "unlisted", {{"windows/CMakeLists.txt", "nuget\n"}});

    EXPECT_EQ(PluginCompatibility::analyse(windows),
              (std::vector<DisabledPlugin>{{"camera_windows", nuget, false}, {"native_lib", cppwinrt, false}}));
    EXPECT_EQ(PluginCompatibility::analyse(temp / "elsewhere"), std::vector<DisabledPlugin>{});
}

TEST(PluginCompatibilityTest, PluginNamesOfBothLists) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {generatedPlugins, {"camera_windows", "ghost", "url_launcher_windows", "native_lib"}},
        {"list(APPEND FLUTTER_PLUGIN_LIST a\tb\r\n  a\r\n)\r\nlist(APPEND FLUTTER_FFI_PLUGIN_LIST\r\n)\r\n", {"a", "b", "a"}},
        {"list(APPEND FLUTTER_PLUGIN_LIST\n)\nlist(APPEND OTHER_LIST x)\n", {}},
    };
    for (const auto& [text, names] : cases) EXPECT_EQ(PluginCompatibility::pluginNames(text), names) << text;
}

TEST(PluginCompatibilityTest, FailingPluginsWithTheirFirstError) {
    const std::string camera = "/w/windows/flutter/ephemeral/.plugin_symlinks/camera_windows/windows/";
    const std::string printing = "/w/windows/flutter/ephemeral/.plugin_symlinks/printing/windows/";
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<DisabledPlugin> expected;
    };
    const Case cases[] = {
        {"clang errors of one plugin: the first one after notes and warnings",
         {"[3/12] Building CXX object plugins/camera_windows/CMakeFiles/camera_windows_plugin.dir/camera.cpp.obj",
          "FAILED: plugins/camera_windows/CMakeFiles/camera_windows_plugin.dir/camera.cpp.obj ",
          "/w/tools/shim-clang++ -DFLUTTER_PLUGIN_IMPL -c " + camera + "camera.cpp",
          camera + "camera.cpp:3:7: warning: unused variable 'x' [-Wunused-variable]",
          camera + "camera.cpp:5:3: note: candidate function not viable",
          camera + "camera.cpp:9:10: fatal error: 'mfapi.h' file not found",
          camera + "capture.cpp:2:1: error: unknown type name 'HSTRING'",
          "FAILED: plugins/camera_windows/CMakeFiles/camera_windows_plugin.dir/capture.cpp.obj ",
          camera + "capture.cpp:4:1: error: expected ';'"},
         {{"camera_windows", compileFailure("'mfapi.h' file not found"), true}}},
        {"several plugins in order of their first failure; an error line before the FAILED line counts",
         {printing + "p.cpp:1:1: error: use of undeclared identifier 'PrintDlgEx'",
          "FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/p.cpp.obj ",
          "FAILED: plugins/camera_windows/CMakeFiles/camera_windows_plugin.dir/camera.cpp.obj ",
          camera + "camera.cpp:9:10: error: no member named 'Foo' in namespace 'winrt'"},
         {{"printing", compileFailure("use of undeclared identifier 'PrintDlgEx'"), true},
          {"camera_windows", compileFailure("no member named 'Foo' in namespace 'winrt'"), true}}},
        {"lld error of a plugin's DLL names no file of the plugin: the first error of its job's output",
         {"FAILED: plugins/pdfium/pdfium_plugin.dll plugins/pdfium/pdfium_plugin.lib ",
          "ld.lld: error: undefined symbol: __declspec(dllimport) FPDF_InitLibrary",
          ">>> referenced by /w/windows/flutter/ephemeral/.plugin_symlinks/pdfium/windows/pdfium.cpp:10",
          "ld.lld: error: undefined symbol: FPDF_DestroyLibrary"},
         {{"pdfium", compileFailure("undefined symbol: __declspec(dllimport) FPDF_InitLibrary"), true}}},
        {"an error in a shared header while compiling a plugin; an error in its own files wins",
         {"FAILED: plugins/events/CMakeFiles/events_plugin.dir/events.cpp.obj ",
          "In file included from /w/windows/flutter/ephemeral/.plugin_symlinks/events/windows/events.cpp:2:",
          "/w/windows/flutter/ephemeral/cpp_client_wrapper/include/flutter/event_channel.h:9:5: error: invalid "
          "operands to binary expression",
          "[4/9] Building CXX object runner/CMakeFiles/app.dir/main.cpp.obj",
          "/w/windows/runner/main.cpp:1:1: error: not the plugin's",
          "FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/p.cpp.obj ",
          "/w/windows/flutter/ephemeral/cpp_client_wrapper/include/flutter/method_channel.h:3:1: error: shared",
          printing + "p.cpp:1:1: error: own",
          "FAILED: plugins/late/late_plugin.dll ", "ninja: build stopped: subcommand failed.",
          "ld.lld: error: after the job's output"},
         {{"events", compileFailure("invalid operands to binary expression"), true},
          {"printing", compileFailure("own"), true},
          {"late", compileFailure("see the build log"), true}}},
        {"errors outside a plugin's folder: runner, wrapper, link of the app",
         {"FAILED: runner/CMakeFiles/app.dir/main.cpp.obj ", "/w/windows/runner/main.cpp:3:1: error: unknown type name 'x'",
          "FAILED: flutter/CMakeFiles/flutter_wrapper_plugin.dir/cpp_client_wrapper/plugin_registrar.cc.obj ",
          "FAILED: app.exe ", "ld.lld: error: undefined symbol: wWinMain", "FAILED: myplugins/x/y.obj "},
         {}},
        {"an error of a plugin that has no FAILED line leads to nothing",
         {camera + "camera.cpp:9:10: error: expected ';'", "FAILED: runner/CMakeFiles/app.dir/main.cpp.obj "},
         {}},
        {"coloured ninja and clang output",
         {"\x1b[31mFAILED: \x1b[0mplugins/camera_windows/CMakeFiles/camera_windows_plugin.dir/camera.cpp.obj ",
          "\x1b[1m" + camera + "camera.cpp:9:10: \x1b[0m\x1b[0;1;31mfatal error: \x1b[0m\x1b[1m'mfapi.h' file not found\x1b[0m"},
         {{"camera_windows", compileFailure("'mfapi.h' file not found"), true}}},
        {"a configure error in a plugin's folder, with its first message",
         {"-- Configuring plugins",
          "CMake Error at flutter/ephemeral/.plugin_symlinks/firebase_core/windows/CMakeLists.txt:42 (message):",
          "  Firebase C++ SDK not found at C:/firebase  ",
          "  (set FIREBASE_CPP_SDK_DIR)",
          "Call Stack (most recent call first):",
          "  flutter/generated_plugins.cmake:17 (add_subdirectory)",
          "",
          "CMake Error at /w/windows/flutter/ephemeral/.plugin_symlinks/printing/windows/CMakeLists.txt:3 (include):",
          "  include could not find requested file:",
          "-- Configuring incomplete, errors occurred!"},
         {{"firebase_core", compileFailure("Firebase C++ SDK not found at C:/firebase"), true},
          {"printing", compileFailure("include could not find requested file:"), true}}},
        {"a line of CMake's standard output between a configure error and its message",
         {"CMake Error at flutter/ephemeral/.plugin_symlinks/printing/windows/CMakeLists.txt:3 (include):",
          "-- Detecting CXX compile features - done", "", "  include could not find requested file:"},
         {{"printing", compileFailure("include could not find requested file:"), true}}},
        {"configure errors and warnings that are not located in a plugin's folder",
         {"CMake Error at CMakeLists.txt:3 (project):", "  No CMAKE_CXX_COMPILER could be found.",
          "CMake Warning at flutter/ephemeral/.plugin_symlinks/camera_windows/windows/CMakeLists.txt:1 (message):",
          "  deprecated"},
         {}},
        {"bytes that are not UTF-8 around the lines that count",
         {"\xff\xfe", "FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/p.cpp.obj \xc3",
          "CMake Error at /w/.plugin_symlinks/jni/windows/CMakeLists.txt:1 (message):", "  \xff bad",
          printing + "p.cpp:1:1: error: expected ';'"},
         {{"printing", compileFailure("expected ';'"), true}, {"jni", compileFailure("\xff bad"), true}}},
        {"resource scripts that fail: the resource compiler and the script are named, with its first error",
         {"FAILED: plugins/plugin_icon/CMakeFiles/plugin_icon_plugin.dir/icon.rc.res ",
          "/w/tools/shim-windres -O coff /w/.plugin_symlinks/plugin_icon/windows/icon.rc "
          "plugins/plugin_icon/CMakeFiles/plugin_icon_plugin.dir/icon.rc.res",
          "llvm-rc: Error in ICON statement (ID 101): ", "error : file not found : resources\\\\app_icon.ico",
          "FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/res/Version.RC.res ",
          printing + "res/Version.RC:2:10: fatal error: 'missing.h' file not found", "llvm-rc: Preprocessing failed.",
          "FAILED: plugins/parsing/CMakeFiles/parsing_plugin.dir/parsing.rc.res ",
          "llvm-rc: Error parsing file: expected int or identifier, got \"\"",
          "FAILED: plugins/late/CMakeFiles/late_plugin.dir/late.rc.res ", "ninja: build stopped: subcommand failed.",
          "error : after the job's output"},
         {{"plugin_icon", resourceFailure("icon.rc", "file not found : resources\\\\app_icon.ico"), true},
          {"printing", resourceFailure("res/Version.RC", "'missing.h' file not found"), true},
          {"parsing", resourceFailure("parsing.rc", "Error parsing file: expected int or identifier, got \"\""), true},
          {"late", resourceFailure("late.rc", "see the build log"), true}}},
        {"a plugin whose compile failed first keeps the compile reason when its script fails too",
         {"FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/p.cpp.obj ", printing + "p.cpp:1:1: error: own",
          "FAILED: plugins/printing/CMakeFiles/printing_plugin.dir/p.rc.res ", "error : file not found : a.ico"},
         {{"printing", compileFailure("own"), true}}},
        {"no lines", {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PluginCompatibility::failingPlugins(c.lines), c.expected) << c.name;
    }
}

TEST(PluginCompatibilityTest, AnMSVCOnlyHeaderSaysWhatShipsIt) {
    const std::string plugin = "/w/windows/flutter/ephemeral/.plugin_symlinks/p/windows/p.cpp";
    const std::pair<std::string, std::string> cases[] = {
        {"atlimage.h", "it uses ATL (atlimage.h), which ships only with Visual Studio"},
        {"AtlBase.h", "it uses ATL (AtlBase.h), which ships only with Visual Studio"},
        {"afxwin.h", "it uses MFC (afxwin.h), which ships only with Visual Studio"},
        {"winrt/Windows.Foundation.h", "it uses C++/WinRT (winrt/Windows.Foundation.h), which needs the MSVC compiler"},
        {"mfapi.h", compileFailure("'mfapi.h' file not found")},
    };
    for (const auto& [header, reason] : cases) {
        const std::vector<std::string> lines = {"FAILED: plugins/p/CMakeFiles/p_plugin.dir/p.cpp.obj ",
                                                plugin + ":3:10: fatal error: '" + header + "' file not found"};
        EXPECT_EQ(PluginCompatibility::failingPlugins(lines), (std::vector<DisabledPlugin>{{"p", reason, true}})) << header;
    }
}

// What CMake 3.25 prints when ExternalProject's download step cannot reach `url` (one attempt of six).
std::vector<std::string> externalProjectDownload(const std::string& stampFolder, const std::string& url) {
    return {"-- Downloading...",
            "   dst='/w/cmake-build/_deps/pdfium-subbuild/pdfium-populate-prefix/src/pdfium-windows-x64.tgz'",
            "   timeout='none'",
            "-- Using src='" + url + "'",
            "CMake Error at " + stampFolder + "/download-pdfium-populate.cmake:170 (message):",
            "  Each download failed!",
            "",
            "    error: downloading '" + url + "' failed",
            "          status_code: 7",
            "          status_string: \"Couldn't connect to server\"",
            "          log:",
            "          --- LOG BEGIN ---",
            "            Trying 127.0.0.1:9...",
            "",
            "  connect to 127.0.0.1 port 9 failed: Connection refused",
            "",
            "          --- LOG END ---",
            "          error: downloading '" + url + "' failed",
            "          status_code: 7",
            "          status_string: \"Couldn't connect to server\"",
            "",
            "    ",
            ""};
}

TEST(PluginCompatibilityTest, AFailedDownloadIsNamedAndNotACompileFailure) {
    const std::string url = "http://127.0.0.1:9/pdfium-windows-x64.tgz";
    const std::string links = "flutter/ephemeral/.plugin_symlinks/";
    const std::string unreachable = "its download of " + url + " failed (Couldn't connect to server); the next build tries it again";
    const auto concat = [](std::vector<std::string> first, const std::vector<std::string>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const auto subBuild = externalProjectDownload("pdfium-populate-prefix/src/pdfium-populate-stamp", url);
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<DisabledPlugin> expected;
    };
    const Case cases[] = {
        {"FetchContent at configure time: the plugin is in the call stack",
         concat(concat({"[1/9] Creating directories for 'pdfium-populate'"}, subBuild),
                {"FAILED: pdfium-populate-prefix/src/pdfium-populate-stamp/pdfium-populate-download "
                 "/w/cmake-build/_deps/pdfium-subbuild/pdfium-populate-prefix/src/pdfium-populate-stamp/pdfium-populate-download ",
                 "ninja: build stopped: subcommand failed.",
                 "",
                 "CMake Error at /usr/share/cmake-3.25/Modules/FetchContent.cmake:1616 (message):",
                 "  Build step for pdfium failed: 1",
                 "Call Stack (most recent call first):",
                 "  /usr/share/cmake-3.25/Modules/FetchContent.cmake:1756:EVAL:2 (__FetchContent_directPopulate)",
                 "  /usr/share/cmake-3.25/Modules/FetchContent.cmake:1970 (FetchContent_Populate)",
                 "  " + links + "pdfx/windows/CMakeLists.txt:12 (FetchContent_MakeAvailable)",
                 "",
                 "",
                 "-- Configuring incomplete, errors occurred!"}),
         {{"pdfx", unreachable, false}}},
        {"a sub-build of the plugin's own, failed in its folder",
         concat(subBuild, {"CMake Error at /w/windows/" + links + "printing/windows/DownloadProject.cmake:166 (message):",
                           "  Build step for pdfium failed: 1", "-- Configuring incomplete, errors occurred!"}),
         {{"printing", unreachable, false}}},
        {"a quiet sub-build: only the step is known",
         {"CMake Error at " + links + "printing/windows/DownloadProject.cmake:166 (message):",
          "  Build step for pdfium failed: 1"},
         {{"printing", "its download of pdfium failed (Build step for pdfium failed: 1); the next build tries it again",
           false}}},
        {"file(DOWNLOAD ... STATUS) reported by the plugin, wrapped by CMake",
         {"CMake Error at " + links + "pdfium_bindings/windows/CMakeLists.txt:7 (message):",
          "  Failed to download " + url + ": 7;\"Couldn't", "  connect to server\"", "", "",
          "-- Configuring incomplete, errors occurred!"},
         {{"pdfium_bindings", unreachable, false}}},
        {"an HTTP error",
         {"CMake Error at " + links + "onnx/windows/CMakeLists.txt:20 (message):",
          "  Could not fetch https://example.com/onnxruntime-win-x64-1.17.zip: 22;\"HTTP response code said error\""},
         {{"onnx", "its download of https://example.com/onnxruntime-win-x64-1.17.zip failed (HTTP response code said "
                   "error); the next build tries it again",
           false}}},
        {"ExternalProject at build time, in the plugin's build folder",
         concat({"[2/8] Performing download step (download, verify and extract) for 'pdfium'",
                 "FAILED: plugins/pdfx/pdfium-prefix/src/pdfium-stamp/pdfium-download "
                 "/w/cmake-build/plugins/pdfx/pdfium-prefix/src/pdfium-stamp/pdfium-download ",
                 "cd /w/cmake-build/plugins/pdfx/pdfium-prefix/src && /usr/bin/cmake -P "
                 "/w/cmake-build/plugins/pdfx/pdfium-prefix/src/pdfium-stamp/download-pdfium.cmake"},
                concat(externalProjectDownload("pdfium-stamp", url),
                       {"FAILED: plugins/camera/CMakeFiles/camera_plugin.dir/c.cpp.obj ",
                        "/w/windows/" + links + "camera/windows/c.cpp:1:1: error: expected ';'",
                        "ninja: build stopped: subcommand failed."})),
         {{"pdfx", unreachable, false}, {"camera", compileFailure("expected ';'"), true}}},
        {"a download of the project's own CMake files names no plugin",
         concat(subBuild, {"CMake Error at /usr/share/cmake-3.25/Modules/FetchContent.cmake:1616 (message):",
                           "  Build step for pdfium failed: 1", "Call Stack (most recent call first):",
                           "  CMakeLists.txt:12 (FetchContent_MakeAvailable)"}),
         {}},
        {"a failed download before a plugin's configure error of another kind",
         concat(subBuild, {"CMake Error at " + links + "printing/windows/CMakeLists.txt:3 (include):",
                           "  include could not find requested file:"}),
         {{"printing", compileFailure("include could not find requested file:"), true}}},
        {"a configure error that is not a download",
         {"CMake Error at " + links + "printing/windows/CMakeLists.txt:3 (message):", "  Version 2 needs http://x.org/y",
          "Call Stack (most recent call first):", "  flutter/generated_plugins.cmake:17 (add_subdirectory)"},
         {{"printing", compileFailure("Version 2 needs http://x.org/y"), true}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PluginCompatibility::failingPlugins(c.lines), c.expected) << c.name;
    }
}

std::string withCRLF(const std::string& text) {
    std::string result;
    for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

TEST(PluginCompatibilityTest, RemovedPluginsLeaveTheGeneratedListIntact) {
    const std::string text = "list(APPEND FLUTTER_PLUGIN_LIST\n  camera\n  camera_windows\n\tghost \n)\n\n"
                             "list(APPEND FLUTTER_FFI_PLUGIN_LIST\n  native_lib\n)\n";
    const std::string withoutCameraAndNative = "list(APPEND FLUTTER_PLUGIN_LIST\n  camera_windows\n\tghost \n)\n\n"
                                               "list(APPEND FLUTTER_FFI_PLUGIN_LIST\n)\n";
    const std::set<std::string> names = {"camera", "native_lib"};
    EXPECT_EQ(PluginCompatibility::removePluginsFromGeneratedPlugins(names, text), withoutCameraAndNative);
    EXPECT_EQ(PluginCompatibility::removePluginsFromGeneratedPlugins(names, withCRLF(text)),
              withCRLF(withoutCameraAndNative));
    EXPECT_EQ(PluginCompatibility::removePluginsFromGeneratedPlugins({"ghost"}, text),
              "list(APPEND FLUTTER_PLUGIN_LIST\n  camera\n  camera_windows\n)\n\n"
              "list(APPEND FLUTTER_FFI_PLUGIN_LIST\n  native_lib\n)\n");
    EXPECT_EQ(PluginCompatibility::removePluginsFromGeneratedPlugins({}, text), text);
}

struct RegisteredPlugin {
    std::string name;
    std::string header;    // below the plugin's include folder: <name>/<header>
    std::string function;  // its registration function
};

const RegisteredPlugin pdfPrinting{"pdf_printing", "pdf_printing_plugin.h", "PdfPrintingPluginRegisterWithRegistrar"};
const RegisteredPlugin printing{"printing", "printing_plugin.h", "PrintingPluginRegisterWithRegistrar"};
const RegisteredPlugin urlLauncher{"url_launcher_windows", "url_launcher_windows.h",
                                   "UrlLauncherWindowsRegisterWithRegistrar"};

// A registrant as the Flutter tool writes it: the includes of `included`, the calls of `called`.
std::string registrant(const std::vector<RegisteredPlugin>& included, const std::vector<RegisteredPlugin>& called,
                       bool splitCalls = true) {
    std::string text = "//\n//  Generated file. Do not edit.\n//\n\n// clang-format off\n\n"
                       "#include \"generated_plugin_registrant.h\"\n\n";
    for (const auto& plugin : included) text += "#include <" + plugin.name + "/" + plugin.header + ">\n";
    text += "\nvoid RegisterPlugins(flutter::PluginRegistry* registry) {\n";
    for (const auto& plugin : called) {
        text += "  " + plugin.function + (splitCalls ? "(\n      " : "(") + "registry->GetRegistrarForPlugin(\"" +
                plugin.function.substr(0, plugin.function.find("RegisterWithRegistrar")) + "\"));\n";
    }
    return text + "}\n";
}

TEST(PluginCompatibilityTest, RemovedPluginsLeaveTheRegistrantIntact) {
    TempDir temp;
    const auto include = [&](const std::string& name) { return temp / name / "windows/include"; };
    for (const auto& plugin : {pdfPrinting, printing, urlLauncher}) {
        writeFile(include(plugin.name) / plugin.name / plugin.header,
                  "#include <flutter_plugin_registrar.h>\n\nFLUTTER_PLUGIN_EXPORT void " + plugin.function +
                      "(\n    FlutterDesktopPluginRegistrarRef registrar);\n");
    }
    const RegisteredPlugin noHeader{"no_header", "no_header.h", "NoHeaderRegisterWithRegistrar"};
    const RegisteredPlugin noFunction{"no_function", "no_function.h", "NoFunctionRegisterWithRegistrar"};
    writeFile(include(noFunction.name) / noFunction.name / noFunction.header, "void Unrelated();\n");

    const std::vector<RegisteredPlugin> all = {pdfPrinting, printing, urlLauncher};
    struct Case {
        const char* name;
        std::set<std::string> names;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"a name whose function ends another's", {"printing"}, registrant(all, all),
         registrant({pdfPrinting, urlLauncher}, {pdfPrinting, urlLauncher})},
        {"two plugins", {"pdf_printing", "url_launcher_windows"}, registrant(all, all), registrant({printing}, {printing})},
        {"calls on one line", {"url_launcher_windows"}, registrant(all, all, false),
         registrant({pdfPrinting, printing}, {pdfPrinting, printing}, false)},
        {"CRLF line ends", {"printing"}, withCRLF(registrant(all, all)),
         withCRLF(registrant({pdfPrinting, urlLauncher}, {pdfPrinting, urlLauncher}))},
        {"a header that is missing or declares no function keeps the call",
         {"no_header", "no_function"}, registrant({noHeader, printing, noFunction}, {noHeader, printing, noFunction}),
         registrant({printing}, {noHeader, printing, noFunction})},
        {"no names", {}, registrant(all, all), registrant(all, all)},
        {"a name the registrant lacks", {"camera_windows"}, registrant(all, all), registrant(all, all)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PluginCompatibility::removePluginsFromRegistrant(c.names, c.input, include), c.expected) << c.name;
    }
}

TEST(PluginCompatibilityTest, BuildEnvironmentTurnsSentrysNativeBackendOff) {
    EXPECT_EQ(PluginCompatibility::buildEnvironment(), (Environment{{"SENTRY_NATIVE_BACKEND", "none"}}));
}

class PluginFailureMemoryTest : public ::testing::Test {
protected:
    TempDir temp;
    const fs::path links = temp / "app/windows/flutter/ephemeral/.plugin_symlinks";
    const PluginFailureMemory memory{temp / "work/plugin-failures.json", links};

    void SetUp() override {
        fs::create_directories(temp / "work");
        fs::create_directories(links);
        for (const char* name : {"camera_windows", "printing"}) {
            fs::create_directories(temp / "pub-cache" / (std::string(name) + "-1.0.0"));
            fs::create_symlink(temp / "pub-cache" / (std::string(name) + "-1.0.0"), links / name);
        }
    }

    std::string target(const std::string& name) const { return (temp / "pub-cache" / (name + "-1.0.0")).string(); }
};

TEST_F(PluginFailureMemoryTest, RecordKeepsCompileFailuresAndLoadGivesThemBack) {
    const std::vector<DisabledPlugin> disabled = {
        {"screened", nuget, false},
        {"printing", compileFailure("expected ';'"), true},
        {"camera_windows", compileFailure("see the build log"), true},
        {"unlinked", compileFailure("x"), true},
    };
    memory.record(disabled);

    const std::string bytes = readFile(memory.file);
    EXPECT_EQ(bytes.find('\n'), std::string::npos) << "written compactly";
    const nlohmann::json expected = {
        {{"plugin", {{"name", "printing"}, {"reason", compileFailure("expected ';'")}, {"compileFailure", true}}},
         {"source", target("printing")},
         {"rulesVersion", PluginCompatibility::rulesVersion}},
        {{"plugin", {{"name", "camera_windows"}, {"reason", compileFailure("see the build log")}, {"compileFailure", true}}},
         {"source", target("camera_windows")},
         {"rulesVersion", PluginCompatibility::rulesVersion}},
        {{"plugin", {{"name", "unlinked"}, {"reason", compileFailure("x")}, {"compileFailure", true}}},
         {"source", ""},
         {"rulesVersion", PluginCompatibility::rulesVersion}},
    };
    EXPECT_EQ(nlohmann::json::parse(bytes), expected);
    EXPECT_EQ(memory.load(), std::vector<DisabledPlugin>(disabled.begin() + 1, disabled.end()));

    // The plugin's link now leads to another copy: it is tried again, and the next record forgets it.
    fs::remove(links / "printing");
    fs::create_symlink(temp / "pub-cache/printing-1.0.1", links / "printing");
    const auto loaded = memory.load();
    EXPECT_EQ(loaded, (std::vector<DisabledPlugin>{disabled[2], disabled[3]}));
    memory.record(loaded);
    EXPECT_EQ(nlohmann::json::parse(readFile(memory.file)).size(), 2u);
}

std::string escapedSlashes(const std::string& text) {
    std::string result;
    for (char c : text) result += c == '/' ? std::string("\\/") : std::string(1, c);
    return result;
}

TEST_F(PluginFailureMemoryTest, LoadKeepsOnlyEntriesThatStillApply) {
    const auto entry = [&](const std::string& name, const std::string& source, std::optional<int> version) {
        nlohmann::json json = {{"plugin", {{"name", name}, {"reason", "r " + name}, {"compileFailure", true}}},
                               {"source", source}};
        if (version) json["rulesVersion"] = *version;
        return json.dump();
    };
    const int current = PluginCompatibility::rulesVersion;
    const std::string currentText = std::to_string(current);
    const auto camera = entry("camera_windows", target("camera_windows"), current);
    const DisabledPlugin loadedCamera{"camera_windows", "r camera_windows", true};
    const auto gone = DisabledPlugin{"gone", "r gone", true};
    struct Case {
        const char* name;
        std::optional<std::string> file;
        std::vector<DisabledPlugin> expected;
    };
    const Case cases[] = {
        {"no file", std::nullopt, {}},
        {"an earlier rules version or none is dropped",
         "[" + entry("printing", target("printing"), 2) + "," + entry("printing", target("printing"), 3) + "," + camera +
             "," + entry("printing", target("printing"), {}) + "]",
         {loadedCamera}},
        {"another link target is dropped",
         "[" + entry("printing", "/elsewhere/printing-0.9.0", current) + "," + camera + "]", {loadedCamera}},
        {"a missing link matches only an empty source",
         "[" + entry("gone", "", current) + "," + entry("gone", "/x", current) + "]", {gone}},
        {"keys in any order, escaped slashes",
         R"([{"rulesVersion":)" + currentText + R"(,"source":")" + escapedSlashes(target("camera_windows")) +
             R"(","plugin":{"compileFailure":true,"reason":"r camera_windows","name":"camera_windows"}}])",
         {loadedCamera}},
        {"one entry without compileFailure empties the list",
         "[" + camera + R"(,{"plugin":{"name":"printing","reason":"r"},"source":"","rulesVersion":)" + currentText +
             "}]",
         {}},
        {"a rules version of another type empties the list",
         "[" + camera + R"(,{"plugin":{"name":"p","reason":"r","compileFailure":true},"source":"","rulesVersion":")" +
             currentText + "\"}]",
         {}},
        {"not JSON", "[" + camera, {}},
        {"not an array", camera, {}},
    };
    for (const Case& c : cases) {
        fs::remove(memory.file);
        if (c.file) writeFile(memory.file, *c.file);
        EXPECT_EQ(memory.load(), c.expected) << c.name;
    }
}

TEST_F(PluginFailureMemoryTest, RecordThatCannotWriteFailsAndBytesThatAreNotUTF8DoNot) {
    fs::create_directories(memory.file);
    EXPECT_THROW(memory.record({{"printing", "x", true}}), fs::filesystem_error);
    fs::remove(memory.file);

    memory.record({{"printing", compileFailure("bad \xff byte"), true}});
    EXPECT_EQ(memory.load(), (std::vector<DisabledPlugin>{{"printing", compileFailure("bad \xEF\xBF\xBD byte"), true}}));
}

} // namespace
} // namespace torvex
