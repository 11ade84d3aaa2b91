#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace torvex {

// One "CMake Error at <place>:" report in CMake's output, with the message indented below it and
// the call stack that may follow. CMake's standard output ("-- ..." lines) is read apart from its
// standard error, so such lines may come anywhere in between; they are passed over.
struct CMakeErrorReport {
    std::string location;                // what follows "CMake Error at " or "in ": file, line, command
    std::vector<std::string> message;    // the message's first paragraph, each line trimmed
    std::vector<std::string> callStack;  // "file:line (command)" of each frame, innermost first

    // The first paragraph as one text: CMake wraps long messages at blanks.
    std::string text() const;

    // The report whose first line is `lines[index]`, if that line opens one.
    static std::optional<CMakeErrorReport> at(const std::vector<std::string>& lines, std::size_t index);
};

} // namespace torvex
