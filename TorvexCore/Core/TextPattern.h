#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// A compiled PCRE2 pattern that behaves like ICU's engine: UTF-8 with Unicode classes, any line
// break ends a line, invalid UTF-8 in a subject never matches across the bad bytes.
// Replacement texts are always literal.
class TextPattern {
public:
    struct Match {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::vector<std::optional<std::string>> groups;  // group 1 is groups[0]; none when unset
    };

    // `pattern` is a fixed text of ours; a pattern that does not compile is a programming error
    // (std::logic_error). `caseless` ignores case.
    explicit TextPattern(std::string_view pattern, bool caseless = false);

    std::optional<Match> firstMatch(std::string_view subject) const;
    std::vector<Match> allMatches(std::string_view subject) const;
    // Every match, left to right in one scan, replaced by `literal` as it stands.
    std::string replaceAll(std::string_view subject, std::string_view literal) const;

    // `text` with every character that has a meaning in a pattern escaped.
    static std::string escaped(std::string_view text);

private:
    struct Code;
    std::shared_ptr<const Code> code_;
};

// `line` without the terminal control sequences (colours, bold) that tools write when told to
// colour their output even into a pipe.
std::string withoutTerminalEscapes(std::string_view line);

} // namespace torvex
