#include "StagingPatches.h"

#include "MSVCFlagTranslator.h"

#include "Core/TextPattern.h"
#include "Core/TorvexError.h"

namespace torvex::StagingPatches {

std::string patchEncodableValue(const std::string& text) {
    static const TextPattern constructor(
        R"((?m)^[ \t]*template <class T>\s*\n[ \t]*constexpr explicit EncodableValue\(T&& t\) noexcept : super\(t\) \{\}[ \t]*\r?\n)");
    return constructor.replaceAll(
        text, "  // Torvex: explicit template removed so the inherited std::variant constructor applies (as with MSVC).\n");
}

std::string neutraliseAssemble(const std::string& text) {
    // Projects created before Flutter 3.16 name the platform literally instead of through
    // FLUTTER_TARGET_PLATFORM; Flutter's own tool migrates that file only when it builds on Windows.
    static const TextPattern backendCall(
        R"("\$\{FLUTTER_ROOT\}/packages/flutter_tools/bin/tool_backend\.bat"\s+)"
        R"((?:\$\{FLUTTER_TARGET_PLATFORM\}|windows-x64)\s+\$<CONFIG>)");
    static const TextPattern phonyOutputLine(R"((?m)^[ \t]*\$\{PHONY_OUTPUT\}[ \t]*\r?\n)");
    if (!backendCall.firstMatch(text)) {
        throw TorvexError(TorvexError::Kind::unsupported,
                          "This project's windows/flutter/CMakeLists.txt has an unexpected layout.",
                          "Torvex could not find the tool_backend.bat call it replaces.",
                          "Move windows/flutter/CMakeLists.txt aside and run `flutter create --platforms=windows .`, which "
                          "writes only missing files; then carry your own changes over.");
    }
    return phonyOutputLine.replaceAll(backendCall.replaceAll(text, "${CMAKE_COMMAND} -E true"), "");
}

std::string patchResourceScript(const std::string& text, const std::optional<std::string>& embedManifest) {
    // The same edit as the compiler wrapper makes to the scripts that staging never sees (plugins').
    std::string result = MSVCFlagTranslator::translateResourceScript(text);
    if (embedManifest && text.find("RT_MANIFEST") == std::string::npos && text.find(" 24 ") == std::string::npos) {
        result += "\n1 24 \"" + *embedManifest + "\" // RT_MANIFEST, added by Torvex\n";
    }
    return result;
}

} // namespace torvex::StagingPatches
