#include "Build/BuildDiagnosis.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using torvex::BuildDiagnosis;
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
