#include "Build/StagingPatches.h"

#include "Core/TorvexError.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace torvex {
namespace {

struct Case {
    const char* name;
    std::string input;
    std::string expected;
};

const std::string removedConstructor =
    "  // Torvex: explicit template removed so the inherited std::variant constructor applies (as with MSVC).\n";

TEST(StagingPatchesTest, EncodableValueLosesItsTemplatedConstructor) {
    const std::string before = "class EncodableValue : public internal::EncodableValueVariant {\n public:\n";
    const std::string after = "  EncodableValue() = default;\n};\n";
    const std::string constructor = "  constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}\n";
    const Case cases[] = {
        {"as the client wrapper has it", before + "  template <class T>\n" + constructor + after,
         before + removedConstructor + after},
        {"any indentation, trailing blanks, blank lines between",
         before + "template <class T>\n\n\t\n\tconstexpr explicit EncodableValue(T&& t) noexcept : super(t) {} \t\n" + after,
         before + removedConstructor + after},
        {"Windows line ends: the comment ends with a line feed alone",
         "a\r\n  template <class T>\r\n  constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}\r\nb\r\n",
         "a\r\n" + removedConstructor + "b\r\n"},
        {"other spacing in the constructor is left alone",
         before + "  template <class T>\n  constexpr explicit EncodableValue(T&& t) noexcept: super(t) {}\n" + after,
         before + "  template <class T>\n  constexpr explicit EncodableValue(T&& t) noexcept: super(t) {}\n" + after},
        {"an extra attribute is left alone",
         before + "  template <class T>\n  [[nodiscard]] constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}\n",
         before + "  template <class T>\n  [[nodiscard]] constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}\n"},
        {"without its line end at the end of the text",
         "  template <class T>\n" + constructor.substr(0, constructor.size() - 1),
         "  template <class T>\n" + constructor.substr(0, constructor.size() - 1)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StagingPatches::patchEncodableValue(c.input), c.expected) << c.name;
    }
}

TEST(StagingPatchesTest, AssembleStepBecomesANoOp) {
    const std::string call =
        "\"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\"\n      ${FLUTTER_TARGET_PLATFORM} $<CONFIG>";
    const std::string noOp = "${CMAKE_COMMAND} -E true";
    const Case cases[] = {
        {"the template's custom command",
         "add_custom_command(\n  OUTPUT ${FLUTTER_LIBRARY}\n    ${PHONY_OUTPUT}\n  COMMAND ${CMAKE_COMMAND} -E env\n    "
         "${FLUTTER_TOOL_ENVIRONMENT}\n    " + call + "\n  VERBATIM\n)\n",
         "add_custom_command(\n  OUTPUT ${FLUTTER_LIBRARY}\n  COMMAND ${CMAKE_COMMAND} -E env\n    "
         "${FLUTTER_TOOL_ENVIRONMENT}\n    " + noOp + "\n  VERBATIM\n)\n"},
        {"two calls, one on a single line",
         call + "\n\"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\" ${FLUTTER_TARGET_PLATFORM} $<CONFIG>\n",
         noOp + "\n" + noOp + "\n"},
        {"a call spread over CRLF lines is one span",
         "COMMAND \"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\"\r\n\t${FLUTTER_TARGET_PLATFORM}\r\n"
         "\t$<CONFIG>\r\n",
         "COMMAND " + noOp + "\r\n"},
        {"the layout before Flutter 3.16 names the platform literally",
         "COMMAND ${CMAKE_COMMAND} -E env\n    \"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\"\n"
         "      windows-x64 $<CONFIG>\n",
         "COMMAND ${CMAKE_COMMAND} -E env\n    " + noOp + "\n"},
        {"only whole ${PHONY_OUTPUT} lines go, with their line ends",
         " \t${PHONY_OUTPUT}\t\r\nOUTPUT ${PHONY_OUTPUT}\n" + call + "\n${PHONY_OUTPUT}",
         "OUTPUT ${PHONY_OUTPUT}\n" + noOp + "\n${PHONY_OUTPUT}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StagingPatches::neutraliseAssemble(c.input), c.expected) << c.name;
    }
}

TEST(StagingPatchesTest, AssembleStepThatIsMissingIsAnError) {
    const std::string inputs[] = {
        "",
        "OUTPUT\n  ${PHONY_OUTPUT}\n",
        "\"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.sh\" ${FLUTTER_TARGET_PLATFORM} $<CONFIG>",
        "${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat ${FLUTTER_TARGET_PLATFORM} $<CONFIG>",
        "\"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\" ${FLUTTER_TARGET_PLATFORM}",
        "\"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\" windows-arm64 $<CONFIG>",
    };
    for (const std::string& input : inputs) {
        try {
            StagingPatches::neutraliseAssemble(input);
            ADD_FAILURE() << "no error for: " << input;
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
            EXPECT_EQ(error.what, "This project's windows/flutter/CMakeLists.txt has an unexpected layout.");
            EXPECT_EQ(error.why, "Torvex could not find the tool_backend.bat call it replaces.");
            EXPECT_EQ(error.fix,
                      "Move windows/flutter/CMakeLists.txt aside and run `flutter create --platforms=windows .`, which "
                      "writes only missing files; then carry your own changes over.");
        }
    }
}

TEST(StagingPatchesTest, ResourceScriptPathsUseSlashes) {
    const Case cases[] = {
        {"icon path", "IDI_APP_ICON ICON \"resources\\\\app_icon.ico\"\n", "IDI_APP_ICON ICON \"resources/app_icon.ico\"\n"},
        {"each listed kind, any case, CR and trailing blanks kept",
         "A CURSOR \"a\\\\b.cur\"\r\nB BITMAP \"a\\\\b.BMP\"  \nC PNG \"a\\\\b.Png\"\n1 24 \"a\\\\b.manifest\"",
         "A CURSOR \"a/b.cur\"\r\nB BITMAP \"a/b.BMP\"  \nC PNG \"a/b.Png\"\n1 24 \"a/b.manifest\""},
        {"single backslashes stay", "I ICON \"res\\app.ico\"\n", "I ICON \"res\\app.ico\"\n"},
        {"three backslashes: a slash and one backslash", "I ICON \"a\\\\\\b.ico\"\n", "I ICON \"a/\\b.ico\"\n"},
        {"a comment after the closing quote stays", "I ICON \"a\\\\b.ico\" // icon\n", "I ICON \"a\\\\b.ico\" // icon\n"},
        {"other lines stay",
         "#include \"a\\\\b.h\"\nVALUE \"FileVersion\", \"1\\\\0\"\nIDS_X \"c:\\\\x.ico here\"\n",
         "#include \"a\\\\b.h\"\nVALUE \"FileVersion\", \"1\\\\0\"\nIDS_X \"c:\\\\x.ico here\"\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StagingPatches::patchResourceScript(c.input, std::nullopt), c.expected) << c.name;
    }
}

TEST(StagingPatchesTest, ResourceScriptGetsTheManifestOnlyWhenItHasNone) {
    const std::string added = "1 24 \"runner.exe.manifest\" // RT_MANIFEST, added by Torvex\n";
    struct ManifestCase {
        const char* name;
        std::string input;
        std::optional<std::string> manifest;
        std::string expected;
    };
    const ManifestCase cases[] = {
        {"ends with a line feed: an empty line before", "IDI ICON \"a.ico\"\n", "runner.exe.manifest",
         "IDI ICON \"a.ico\"\n\n" + added},
        {"no final line feed", "IDI ICON \"a.ico\"", "runner.exe.manifest", "IDI ICON \"a.ico\"\n" + added},
        {"empty name: empty quotes", "", "", "\n1 24 \"\" // RT_MANIFEST, added by Torvex\n"},
        {"patched lines and the added line", "I ICON \"a\\\\b.ico\"\n", "runner.exe.manifest",
         "I ICON \"a/b.ico\"\n\n" + added},
        {"already names RT_MANIFEST", "1 RT_MANIFEST \"app.manifest\"\n", "runner.exe.manifest",
         "1 RT_MANIFEST \"app.manifest\"\n"},
        {"already holds \" 24 \" anywhere", "// width 24 px\n", "runner.exe.manifest", "// width 24 px\n"},
        {"no manifest asked for", "IDI ICON \"a.ico\"\n", std::nullopt, "IDI ICON \"a.ico\"\n"},
    };
    for (const ManifestCase& c : cases) {
        EXPECT_EQ(StagingPatches::patchResourceScript(c.input, c.manifest), c.expected) << c.name;
    }
}

} // namespace
} // namespace torvex
