#include "StagingPatches.h"

#include "Core/TextPattern.h"
#include "Core/TorvexError.h"

namespace torvex::StagingPatches {

namespace {

std::string replaceEvery(const std::string& text, std::string_view from, std::string_view to) {
    std::string result;
    std::size_t copied = 0;
    for (std::size_t found = text.find(from); found != std::string::npos; found = text.find(from, copied)) {
        result.append(text, copied, found - copied);
        result.append(to);
        copied = found + from.size();
    }
    result.append(text, copied);
    return result;
}

} // namespace

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
    static const TextPattern namesResourceFile(R"re(\.(ico|cur|bmp|png|manifest)"\s*\r?$)re", true);
    std::string result;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        result += namesResourceFile.firstMatch(line) ? replaceEvery(line, "\\\\", "/") : line;
        if (end == std::string::npos) break;
        result += '\n';
        start = end + 1;
    }
    if (embedManifest && text.find("RT_MANIFEST") == std::string::npos && text.find(" 24 ") == std::string::npos) {
        result += "\n1 24 \"" + *embedManifest + "\" // RT_MANIFEST, added by Torvex\n";
    }
    return result;
}

} // namespace torvex::StagingPatches
