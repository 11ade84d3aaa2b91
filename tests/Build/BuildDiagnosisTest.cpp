#include "Build/BuildDiagnosis.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using torvex::BuildDiagnosis;
using torvex::DisabledPlugin;
using torvex::TorvexError;
using Case = BuildDiagnosis::Case;

namespace {

const std::string pluginFile =
    "/w/windows/flutter/ephemeral/.plugin_symlinks/p/windows/p_plugin.cpp:3:10: fatal error: 'atlbase.h' file not found";
const std::string runnerFile = "/w/windows/runner/main.cpp:12:10: fatal error: 'atlbase.h' file not found";

BuildDiagnosis feature(std::string name, std::optional<std::string> plugin, std::string header) {
    BuildDiagnosis d;
    d.kind = Case::unsupportedFeature;
    d.feature = std::move(name);
    d.plugin = std::move(plugin);
    d.header = std::move(header);
    return d;
}

BuildDiagnosis missingHeader(std::string header, std::optional<std::string> plugin) {
    BuildDiagnosis d;
    d.kind = Case::missingHeader;
    d.header = std::move(header);
    d.plugin = std::move(plugin);
    return d;
}

BuildDiagnosis withHeaderOnDisk(BuildDiagnosis d, std::string onDisk) {
    d.headerOnDisk = std::move(onDisk);
    return d;
}

BuildDiagnosis diskFull() {
    BuildDiagnosis d;
    d.kind = Case::diskFull;
    return d;
}

BuildDiagnosis leftOutHeader(std::string header, DisabledPlugin leftOut, std::optional<std::string> includer) {
    BuildDiagnosis d = missingHeader(std::move(header), std::move(includer));
    d.kind = Case::leftOutPluginHeader;
    d.leftOut = std::move(leftOut);
    return d;
}

BuildDiagnosis installFailed(std::string message) {
    BuildDiagnosis d;
    d.kind = Case::installFailed;
    d.message = std::move(message);
    return d;
}

BuildDiagnosis configureFailed(std::string message) {
    BuildDiagnosis d;
    d.kind = Case::configureFailed;
    d.message = std::move(message);
    return d;
}

BuildDiagnosis downloadFailed(std::string what, std::string error) {
    BuildDiagnosis d;
    d.kind = Case::downloadFailed;
    d.download = {std::move(what), std::move(error)};
    return d;
}

BuildDiagnosis resourceFailed(std::string script, std::string message) {
    BuildDiagnosis d;
    d.kind = Case::resourceFailed;
    d.script = std::move(script);
    d.message = std::move(message);
    return d;
}

BuildDiagnosis missingLibrary(std::string library) {
    BuildDiagnosis d;
    d.kind = Case::missingLibrary;
    d.library = std::move(library);
    return d;
}

} // namespace

TEST(BuildDiagnosisTest, TheEarliestRecognisedLineDecides) {
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"ATL header in a plugin", {"[1/9] Building CXX", pluginFile}, feature("ATL", "p", "atlbase.h")},
        {"ATL header in the runner", {runnerFile}, feature("ATL", std::nullopt, "atlbase.h")},
        {"WinRT in any case",
         {"a.cpp:1:2: fatal error: 'WinRT/Base.h' file not found"},
         feature("C++/WinRT", std::nullopt, "WinRT/Base.h")},
        {"MFC by prefix only", {"a.cpp:1:2: fatal error: 'afxwin.h' file not found"}, feature("MFC", std::nullopt, "afxwin.h")},
        {"other header", {"a.cpp:1:2: fatal error: 'shobjidl_core.h' file not found"},
         missingHeader("shobjidl_core.h", std::nullopt)},
        {"other header in a plugin",
         {"/s/.plugin_symlinks/cam/windows/x.cpp:4:1: fatal error: 'mfapi.h' file not found"},
         missingHeader("mfapi.h", "cam")},
        {"library before header",
         {"ld.lld: error: unable to find library -lwebview2loader", pluginFile},
         missingLibrary("webview2loader")},
        {"header before library", {runnerFile, "ld.lld: error: unable to find library -lfoo"},
         feature("ATL", std::nullopt, "atlbase.h")},
        {"non-fatal header error is not recognised",
         {"a.cpp:1:2: error: 'atlbase.h' file not found"}, BuildDiagnosis{}},
        {"invalid UTF-8 around a match",
         {"\xff\xfe", "ld.lld: error: unable to find library -lcomsuppw \xc3"}, missingLibrary("comsuppw")},
        {"coloured diagnostics",
         {"\x1B[1m/w/windows/runner/main.cpp:12:10: \x1B[0m\x1B[0;1;31mfatal error: \x1B[0m\x1B[1m'atlbase.h' file "
          "not found\x1B[0m"},
         feature("ATL", std::nullopt, "atlbase.h")},
        {"full disk while compiling",
         {"FAILED: runner/main.cpp.obj",
          "fatal error: error in backend: IO failure on output stream: No space left on device"},
         diskFull()},
        {"full disk when the linker writes, before a later header error",
         {"ld.lld: error: failed to write output 'hello.exe': No space left on device", runnerFile}, diskFull()},
        {"nothing recognised", {"FAILED: runner/main.cpp.obj", "error: expected ';'"}, BuildDiagnosis{}},
        {"no lines", {}, BuildDiagnosis{}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose(row.lines), row.expected) << row.name;
    }
}

TEST(BuildDiagnosisTest, AHeaderOfAPluginThatWasLeftOutNamesThatPluginAndWhy) {
    const DisabledPlugin singleInstance{"windows_single_instance", "it uses ATL (atlbase.h), which ships only with Visual Studio",
                                        true};
    const DisabledPlugin windowManager{"window_manager", "it downloads Microsoft SDK packages with NuGet, which needs Visual Studio",
                                       false};
    const std::vector<DisabledPlugin> leftOut = {singleInstance, windowManager};
    const std::string links = "/home/u/app/windows/flutter/ephemeral/.plugin_symlinks/";
    struct Row {
        const char* name;
        std::string line;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"the runner includes a left-out plugin's public header",
         "/home/u/app/windows/runner/main.cpp:4:10: fatal error: 'windows_single_instance/windows_single_instance_plugin.h' "
         "file not found",
         leftOutHeader("windows_single_instance/windows_single_instance_plugin.h", singleInstance, std::nullopt)},
        {"the runner reaches into a left-out plugin's folder",
         "/home/u/app/windows/runner/flutter_window.cpp:7:10: fatal error: "
         "'../flutter/ephemeral/.plugin_symlinks/window_manager/windows/include/window_manager/window_manager_plugin.h' "
         "file not found",
         leftOutHeader("../flutter/ephemeral/.plugin_symlinks/window_manager/windows/include/window_manager/"
                       "window_manager_plugin.h",
                       windowManager, std::nullopt)},
        {"a left-out plugin's own source that is built anyway",
         links + "windows_single_instance/windows/plugin.cpp:3:10: fatal error: 'atlbase.h' file not found",
         feature("ATL", "windows_single_instance", "atlbase.h")},
        {"another plugin includes it",
         links + "desktop_drop/windows/drop.cpp:2:10: fatal error: 'window_manager/window_manager_plugin.h' file not found",
         leftOutHeader("window_manager/window_manager_plugin.h", windowManager, "desktop_drop")},
        {"a plugin that is kept", "/home/u/app/windows/runner/main.cpp:4:10: fatal error: 'url_launcher/x.h' file not found",
         missingHeader("url_launcher/x.h", std::nullopt)},
        {"a folder whose name only begins with the plugin's",
         "/home/u/app/windows/runner/main.cpp:4:10: fatal error: 'window_manager_extra/x.h' file not found",
         missingHeader("window_manager_extra/x.h", std::nullopt)},
        {"a bare header named like the plugin",
         "/home/u/app/windows/runner/main.cpp:4:10: fatal error: 'window_manager' file not found",
         missingHeader("window_manager", std::nullopt)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose({row.line}, {}, leftOut), row.expected) << row.name;
    }
}

TEST(BuildDiagnosisTest, AFailedInstallStepIsToldWithItsError) {
    // What `cmake --install` prints when a file that install() names is missing.
    const std::vector<std::string> missingFile = {
        "-- Install configuration: \"Debug\"",
        "-- Installing: /home/u/Library/Caches/Torvex/builds/0123/out/./hello.exe",
        "CMake Error at /home/u/Library/Caches/Torvex/builds/0123/cmake-build/cmake_install.cmake:62 (file):",
        "  file INSTALL cannot find \"/home/u/app/windows/bin/core.dll\": No such",
        "  file or directory.",
        "",
        "",
    };
    const std::string missingFileMessage = "file INSTALL cannot find \"/home/u/app/windows/bin/core.dll\": No such file or directory.";
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        BuildDiagnosis::Step step;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"a file install() names is missing", missingFile, BuildDiagnosis::Step::install, installFailed(missingFileMessage)},
        {"standard output comes in between",
         {missingFile[2], missingFile[0], "", missingFile[3], missingFile[1], missingFile[4]},
         BuildDiagnosis::Step::install,
         installFailed(missingFileMessage)},
        {"no CMake error report: the last line",
         {"CMake Error: Error processing file: /w/cmake-build/cmake_install.cmake", "  "},
         BuildDiagnosis::Step::install,
         installFailed("CMake Error: Error processing file: /w/cmake-build/cmake_install.cmake")},
        {"no output", {}, BuildDiagnosis::Step::install, installFailed("")},
        {"a full disk is said as such",
         {"CMake Error at cmake_install.cmake:50 (file):", "  file INSTALL cannot copy file \"a\" to \"b\": No space left on device."},
         BuildDiagnosis::Step::install, diskFull()},
        {"the same lines in the build step", missingFile, BuildDiagnosis::Step::build, BuildDiagnosis{}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose(row.lines, {}, {}, row.step), row.expected) << row.name;
    }
}

TEST(BuildDiagnosisTest, AConfigureFailureOfTheProjectsOwnCMakeFilesIsToldWithCMakesError) {
    // CMake 3.25's output, the staged paths already named as the project's.
    const std::vector<std::string> missingFolder = {
        "-- The CXX compiler identification is Clang 14.0.6",
        "CMake Error at CMakeLists.txt:3 (add_subdirectory):",
        "  add_subdirectory given source \"../shared_core\" which is not an existing",
        "  directory.",
        "",
        "",
        "-- Configuring incomplete, errors occurred!",
        "See also \"/w/cmake-build/CMakeFiles/CMakeOutput.log\".",
    };
    const std::string missingFolderMessage = "windows/CMakeLists.txt:3 (add_subdirectory): add_subdirectory given "
                                             "source \"../shared_core\" which is not an existing directory.";
    const std::vector<std::string> missingPackage = {
        "CMake Error at runner/CMakeLists.txt:1 (find_package):",
        "  By not providing \"FindSodium.cmake\" in CMAKE_MODULE_PATH this project has",
        "  asked CMake to find a package configuration file provided by \"Sodium\", but",
        "  CMake did not find one.",
        "",
        "  Could not find a package configuration file provided by \"Sodium\" with any",
        "  of the following names:",
        "",
        "    SodiumConfig.cmake",
        "",
        "-- Configuring incomplete, errors occurred!",
    };
    const std::vector<std::string> fatalInInclude = {
        "CMake Error at /home/u/app/cmake/signing.cmake:2 (message):",
        "  The runner needs KEY_FILE set to the signing key, a rather long message",
        "  that CMake wraps at blanks for sure.",
        "Call Stack (most recent call first):",
        "  CMakeLists.txt:9 (include)",
    };
    const std::vector<std::string> pluginError = {
        "CMake Error at /w/windows/flutter/ephemeral/.plugin_symlinks/jni/windows/CMakeLists.txt:4 (find_package):",
        "  Could NOT find JNI",
        "-- Configuring incomplete, errors occurred!",
    };
    const std::vector<std::string> rerunInBuild = {
        "[0/1] Re-running CMake...",
        missingFolder[1], missingFolder[2], missingFolder[3], "", missingFolder[6],
        "FAILED: build.ninja ",
        "/usr/bin/cmake --regenerate-during-build -S/w/windows -B/w/cmake-build",
        "ninja: error: rebuilding 'build.ninja': cannot make progress due to previous errors",
    };
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        BuildDiagnosis::Step step;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"add_subdirectory of a missing folder", missingFolder, BuildDiagnosis::Step::configure,
         configureFailed(missingFolderMessage)},
        {"find_package that fails, in a file below windows/: its first paragraph", missingPackage,
         BuildDiagnosis::Step::configure,
         configureFailed("windows/runner/CMakeLists.txt:1 (find_package): By not providing \"FindSodium.cmake\" in "
                         "CMAKE_MODULE_PATH this project has asked CMake to find a package configuration file provided "
                         "by \"Sodium\", but CMake did not find one.")},
        {"message(FATAL_ERROR) in a file outside windows/", fatalInInclude, BuildDiagnosis::Step::configure,
         configureFailed("/home/u/app/cmake/signing.cmake:2 (message): The runner needs KEY_FILE set to the signing "
                         "key, a rather long message that CMake wraps at blanks for sure.")},
        {"the project's error decides after a plugin's",
         {pluginError[0], pluginError[1], missingFolder[1], missingFolder[2], missingFolder[3]},
         BuildDiagnosis::Step::configure, configureFailed(missingFolderMessage)},
        {"only a plugin's error: still the configure step with that error", pluginError, BuildDiagnosis::Step::configure,
         configureFailed("/w/windows/flutter/ephemeral/.plugin_symlinks/jni/windows/CMakeLists.txt:4 (find_package): "
                         "Could NOT find JNI")},
        {"no CMake error report: the last line", {"CMake Error: The source directory \"/w/windows\" does not exist.", ""},
         BuildDiagnosis::Step::configure,
         configureFailed("CMake Error: The source directory \"/w/windows\" does not exist.")},
        {"an earlier missing header still decides",
         {"/w/windows/runner/probe.cpp:1:10: fatal error: 'atlbase.h' file not found", missingFolder[1],
          missingFolder[2]},
         BuildDiagnosis::Step::configure, feature("ATL", std::nullopt, "atlbase.h")},
        {"CMake run again by Ninja in the build step", rerunInBuild, BuildDiagnosis::Step::build,
         configureFailed(missingFolderMessage)},
        {"the same report in the build step without CMake run again", missingFolder, BuildDiagnosis::Step::build,
         BuildDiagnosis{}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose(row.lines, {}, {}, row.step), row.expected) << row.name;
    }
}

TEST(BuildDiagnosisTest, ADownloadOfTheProjectsOwnCMakeFilesNamesTheURLAndItsError) {
    const std::string url = "http://127.0.0.1:9/pdfium-win-x64.tgz";
    // file(DOWNLOAD ... STATUS) and a message(FATAL_ERROR) with the status, as CMake 3.25 wraps it.
    const std::vector<std::string> fileDownload = {
        "CMake Error at CMakeLists.txt:6 (message):",
        "  Failed to download http://127.0.0.1:9/core-x64.zip: 7;\"Couldn't connect to",
        "  server\"",
        "",
        "-- Configuring incomplete, errors occurred!",
    };
    // FetchContent's sub-build failing, then FetchContent's own report.
    const std::vector<std::string> fetchContent = {
        "[1/9] Performing download step (download, verify and extract) for 'pdfium-populate'",
        "-- Downloading...",
        "-- Using src='" + url + "'",
        "-- Retrying...",
        "CMake Error at pdfium-subbuild/pdfium-populate-prefix/src/pdfium-populate-stamp/download-pdfium-populate.cmake:170 (message):",
        "  Each download failed!",
        "",
        "    error: downloading '" + url + "' failed",
        "          status_code: 7",
        "          status_string: \"Couldn't connect to server\"",
        "          log:",
        "          --- LOG BEGIN ---",
        "",
        "FAILED: pdfium-populate-prefix/src/pdfium-populate-stamp/pdfium-populate-download ",
        "ninja: build stopped: subcommand failed.",
        "CMake Error at /usr/share/cmake-3.25/Modules/FetchContent.cmake:1616 (message):",
        "  Build step for pdfium failed: 1",
        "Call Stack (most recent call first):",
        "  /usr/share/cmake-3.25/Modules/FetchContent.cmake:1970 (FetchContent_Populate)",
        "  CMakeLists.txt:5 (FetchContent_MakeAvailable)",
        "-- Configuring incomplete, errors occurred!",
    };
    const std::vector<std::string> quietFetch(fetchContent.begin() + 15, fetchContent.end());
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"file(DOWNLOAD) reported with its status", fileDownload,
         downloadFailed("http://127.0.0.1:9/core-x64.zip", "Couldn't connect to server")},
        {"FetchContent with its sub-build's output", fetchContent, downloadFailed(url, "Couldn't connect to server")},
        {"FetchContent's report after the sub-build's",
         std::vector<std::string>(fetchContent.begin() + 7, fetchContent.end()),
         downloadFailed(url, "Couldn't connect to server")},
        {"FetchContent made quiet: the step is named", quietFetch,
         downloadFailed("pdfium", "Build step for pdfium failed: 1")},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose(row.lines, {}, {}, BuildDiagnosis::Step::configure), row.expected)
            << row.name;
    }
}

TEST(BuildDiagnosisTest, TheProjectsResourceScriptFailingIsToldWithTheResourceCompilersError) {
    // Ninja and llvm-rc 14 (through llvm-windres), the script named as the project's file.
    const std::string command = "/usr/lib/llvm-14/bin/llvm-windres -O coff    '/home/u/my app/windows/runner/Runner.rc' "
                                "runner/CMakeFiles/hello.dir/Runner.rc.res";
    const std::string script = "/home/u/my app/windows/runner/Runner.rc";
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        BuildDiagnosis expected;
    };
    const Row rows[] = {
        {"a file the script names is missing",
         {"[1/1] Building RC object runner/CMakeFiles/hello.dir/Runner.rc.res",
          "FAILED: runner/CMakeFiles/hello.dir/Runner.rc.res ", command,
          "llvm-rc: Error in ICON statement (ID IDI_APP_ICON): ", "error : file not found : resources\\\\app_icon.ico",
          "ninja: build stopped: cannot make progress due to previous errors."},
         resourceFailed(script, "file not found : resources\\\\app_icon.ico")},
        {"a syntax error: llvm-rc's own message",
         {"FAILED: runner/CMakeFiles/hello.dir/Runner.rc.res ", command,
          "llvm-rc: Error parsing file: expected string, got <EOF>",
          "ninja: build stopped: cannot make progress due to previous errors."},
         resourceFailed(script, "Error parsing file: expected string, got <EOF>")},
        {"a missing header of the script decides as the script's failure",
         {"FAILED: runner/CMakeFiles/hello.dir/Runner.rc.res ", command,
          script + ":1:10: fatal error: 'resource.h' file not found", "llvm-rc: Preprocessing failed."},
         resourceFailed(script, "'resource.h' file not found")},
        {"no command line: the script as the object names it",
         {"FAILED: runner/CMakeFiles/hello.dir/res/Version.RC.res "}, resourceFailed("res/Version.RC", "")},
        {"an earlier compile error still decides",
         {"/w/windows/runner/main.cpp:1:10: fatal error: 'mfapi.h' file not found",
          "FAILED: runner/CMakeFiles/hello.dir/Runner.rc.res ", command},
         missingHeader("mfapi.h", std::nullopt)},
        {"a plugin's script is not the project's",
         {"FAILED: plugins/plugin_icon/CMakeFiles/plugin_icon_plugin.dir/icon.rc.res ",
          "error : file not found : resources\\\\app_icon.ico"},
         BuildDiagnosis{}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BuildDiagnosis::diagnose(row.lines), row.expected) << row.name;
    }
}

TEST(BuildDiagnosisTest, AMissingHeaderThatExistsInOtherLetterCaseIsNamedAsOnDisk) {
    torvex::testing::TempDir temp;
    const std::filesystem::path sdk = temp / "mingw include";
    const std::filesystem::path runner = temp / "windows" / "runner";
    const std::filesystem::path plugin = temp / "windows" / "flutter" / "ephemeral" / ".plugin_symlinks" / "p" / "windows";
    for (const auto& file : {sdk / "windows.h", sdk / "gdiplus" / "gdiplus.h", runner / "window_helpers.h",
                             plugin / "Exact.h"}) {
        torvex::testing::writeFile(file, "");
    }
    struct Row {
        const char* name;
        std::string line;
        std::optional<std::string> plugin;
        std::optional<std::string> onDisk;
    };
    const auto missing = [](const std::filesystem::path& including, const std::string& header) {
        return including.string() + ":3:10: fatal error: '" + header + "' file not found";
    };
    const Row rows[] = {
        {"the project's own header, beside the including file", missing(runner / "main.cpp", "Window_Helpers.h"),
         std::nullopt, "window_helpers.h"},
        {"an SDK header", missing(plugin / "p.cpp", "Windows.h"), "p", "windows.h"},
        {"every folder of the path", missing(plugin / "p.cpp", "GdiPlus/GdiPlus.H"), "p", "gdiplus/gdiplus.h"},
        {"named exactly so: not a matter of case", missing(plugin / "p.cpp", "Exact.h"), "p", std::nullopt},
        {"no such file in any case", missing(runner / "main.cpp", "mfapi.h"), std::nullopt, std::nullopt},
        {"no folder to look in", "x.cpp:1:1: fatal error: '../Windows.h' file not found", std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        const BuildDiagnosis diagnosis = BuildDiagnosis::diagnose({row.line}, {temp / "no such folder", sdk});
        EXPECT_EQ(diagnosis.kind, Case::missingHeader) << row.name;
        EXPECT_EQ(diagnosis.plugin, row.plugin) << row.name;
        EXPECT_EQ(diagnosis.headerOnDisk, row.onDisk) << row.name;
    }
}

TEST(BuildDiagnosisTest, PluginIsTheComponentAfterThePluginLinksFolder) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"/w/windows/flutter/ephemeral/.plugin_symlinks/url_launcher/windows/a.cpp", "url_launcher"},
        {"/w//.plugin_symlinks//camera/x.cpp", "camera"},
        {"/w/.plugin_symlinks/.plugin_symlinks/x.cpp", ".plugin_symlinks"},
        {"/w/windows/flutter/ephemeral/.plugin_symlinks", std::nullopt},
        {"/w/windows/flutter/ephemeral/.plugin_symlinks/", std::nullopt},
        {"/w/windows/runner/main.cpp", std::nullopt},
        {"/w/my.plugin_symlinks/p/a.cpp", std::nullopt},
    };
    for (const auto& [path, plugin] : rows) {
        EXPECT_EQ(BuildDiagnosis::pluginName(path), plugin) << path;
    }
}

TEST(BuildDiagnosisTest, ErrorsExplainEachCaseAndEndWithTheLogPath) {
    const std::filesystem::path log = "/home/u/Library/Logs/Torvex/build-my app.log";
    const std::string tail = "Full output: /home/u/Library/Logs/Torvex/build-my app.log";
    struct Row {
        BuildDiagnosis diagnosis;
        TorvexError expected;
    };
    const std::string mingw = "Torvex builds with the open-source mingw-w64 SDK instead of Microsoft's.";
    const Row rows[] = {
        {feature("ATL", "p", "atlbase.h"),
         {TorvexError::Kind::unsupported, "The plugin p uses ATL, which Torvex does not support yet.",
          "atlbase.h is part of an MSVC-only library; Torvex builds with clang/mingw.",
          "Use a different plugin for Windows, or test this part on real Windows. " + tail}},
        {feature("C++/WinRT", std::nullopt, "winrt/base.h"),
         {TorvexError::Kind::unsupported, "This project uses C++/WinRT, which Torvex does not support yet.",
          "winrt/base.h is part of an MSVC-only library; Torvex builds with clang/mingw.",
          "Use a different plugin for Windows, or test this part on real Windows. " + tail}},
        {missingHeader("mfapi.h", "cam"),
         {TorvexError::Kind::unsupported, "The plugin cam needs mfapi.h, which the mingw-w64 Windows headers don't include.",
          mingw, "Report this plugin to Torvex so a compatibility header can be added. " + tail}},
        {missingHeader("mfapi.h", std::nullopt),
         {TorvexError::Kind::unsupported,
          "The Windows code needs mfapi.h, which the mingw-w64 Windows headers don't include.", mingw,
          "Report this plugin to Torvex so a compatibility header can be added. " + tail}},
        {withHeaderOnDisk(missingHeader("Windows.h", "p"), "windows.h"),
         {TorvexError::Kind::unsupported, "The plugin p includes Windows.h, but the file is named windows.h.",
          "Windows finds files whatever the letter case of their names; this file system does not.",
          "Report this to the plugin's authors. " + tail}},
        {withHeaderOnDisk(missingHeader("Utils.h", std::nullopt), "utils.h"),
         {TorvexError::Kind::unsupported, "The Windows code includes Utils.h, but the file is named utils.h.",
          "Windows finds files whatever the letter case of their names; this file system does not.",
          "Change the include to utils.h. " + tail}},
        {missingLibrary("comsuppw"),
         {TorvexError::Kind::unsupported, "The Windows build links against comsuppw, which isn't available in mingw-w64.",
          mingw, "Report this to Torvex with the plugin name. " + tail}},
        {leftOutHeader("window_manager/window_manager_plugin.h",
                       {"window_manager", "it uses ATL (atlbase.h), which ships only with Visual Studio", true}, std::nullopt),
         {TorvexError::Kind::unsupported,
          "The runner includes window_manager/window_manager_plugin.h of the plugin window_manager, which Torvex left "
          "out of this build.",
          "Torvex left window_manager out because it uses ATL (atlbase.h), which ships only with Visual Studio.",
          "Keep the code that uses window_manager out of Torvex builds (for example within #ifndef __MINGW32__), or "
          "test this part on real Windows. " + tail}},
        {leftOutHeader("a/a.h", {"a", "r", true}, "b"),
         {TorvexError::Kind::unsupported, "The plugin b includes a/a.h of the plugin a, which Torvex left out of this build.",
          "Torvex left a out because r.",
          "Keep the code that uses a out of Torvex builds (for example within #ifndef __MINGW32__), or test this part "
          "on real Windows. " + tail}},
        {installFailed("file INSTALL cannot find \"/a/core.dll\": No such file or directory."),
         {TorvexError::Kind::buildFailed, "The Windows build compiled and linked, but its install step failed.",
          "cmake --install reported: file INSTALL cannot find \"/a/core.dll\": No such file or directory.",
          "Make every file that an install() rule names exist once the build is done (the rules are in "
          "windows/CMakeLists.txt and the plugins' CMake files). " + tail}},
        {configureFailed("windows/CMakeLists.txt:3 (add_subdirectory): add_subdirectory given source \"../core\" "
                         "which is not an existing directory."),
         {TorvexError::Kind::buildFailed, "The Windows build's configure step (cmake) failed.",
          "CMake reported: windows/CMakeLists.txt:3 (add_subdirectory): add_subdirectory given source \"../core\" "
          "which is not an existing directory.",
          "Do what CMake's message asks at the place it names (in windows/CMakeLists.txt or a file it includes; a "
          "missing package or folder is installed or restored), then build again. " + tail}},
        {downloadFailed("http://h/core.zip", "Couldn't connect to server"),
         {TorvexError::Kind::buildFailed, "The Windows build's configure step could not download http://h/core.zip.",
          "The download failed (Couldn't connect to server); the network or the URL is at fault, not the project's "
          "code.",
          "Check the network connection and that the URL in the project's CMake files is right, then build again. " +
              tail}},
        {resourceFailed("/home/u/app/windows/runner/Runner.rc", "file not found : a.ico"),
         {TorvexError::Kind::buildFailed,
          "The resource compiler failed on the resource script /home/u/app/windows/runner/Runner.rc.",
          "The resource compiler reported: file not found : a.ico", "Correct the resource script, then build again. " + tail}},
        {diskFull(),
         {TorvexError::Kind::buildFailed, "The Windows build ran out of disk space.",
          "A build tool reported \"No space left on device\" while writing its output.",
          "Free disk space, then build again. " + tail}},
        {BuildDiagnosis{},
         {TorvexError::Kind::buildFailed, "The Windows build failed.",
          "The compiler or linker reported an error (see above).", tail}},
    };
    for (const auto& row : rows) {
        const TorvexError error = row.diagnosis.error(log);
        EXPECT_EQ(error.kind, row.expected.kind) << row.expected.what;
        EXPECT_EQ(error.what, row.expected.what);
        EXPECT_EQ(error.why, row.expected.why);
        EXPECT_EQ(error.fix, row.expected.fix);
    }
}
