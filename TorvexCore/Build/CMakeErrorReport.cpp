#include "CMakeErrorReport.h"

#include "Core/Files.h"
#include "Core/TextPattern.h"

#include <utility>

namespace torvex {

namespace {

bool indented(const std::string& line) { return line.starts_with(' ') || line.starts_with('\t'); }

// A line of CMake's standard output, or one with nothing visible: neither ends a report.
bool passedOver(const std::string& line) {
    return line.starts_with("-- ") || trimmedWhitespace(line).empty();
}

} // namespace

std::string CMakeErrorReport::text() const {
    std::string joined;
    for (const std::string& line : message) joined += (joined.empty() ? "" : " ") + line;
    return joined;
}

std::optional<CMakeErrorReport> CMakeErrorReport::at(const std::vector<std::string>& lines, std::size_t index) {
    static const TextPattern header(R"(^CMake Error (?:at|in) (.+?):\s*$)");
    if (index >= lines.size()) return std::nullopt;
    const auto opening = header.firstMatch(withoutTerminalEscapes(lines[index]));
    if (!opening) return std::nullopt;

    CMakeErrorReport report;
    report.location = *opening->groups[0];
    std::size_t next = index + 1;
    const auto line = [&] { return withoutTerminalEscapes(lines[next]); };
    // Indented lines up to a blank line or an unindented one.
    const auto readIndented = [&](std::vector<std::string>& into) {
        for (; next < lines.size(); ++next) {
            const std::string text = line();
            if (text.starts_with("-- ")) continue;
            std::string trimmed = trimmedWhitespace(text);
            if (!indented(text) || trimmed.empty()) break;
            into.push_back(std::move(trimmed));
        }
    };
    while (next < lines.size() && passedOver(line())) ++next;
    readIndented(report.message);
    // Further paragraphs of the message, then the call stack, if there is one.
    while (next < lines.size() && (passedOver(line()) || indented(line()))) ++next;
    if (next < lines.size() && line().starts_with("Call Stack (most recent call first):")) {
        ++next;
        readIndented(report.callStack);
    }
    return report;
}

} // namespace torvex
