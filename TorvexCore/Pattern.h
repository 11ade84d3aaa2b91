#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// A pattern that does not compile, or a subject the engine refuses (for example invalid UTF-8).
struct PatternError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A compiled regular expression. Always UTF-8 with Unicode classes (`\s`, `\w` match as ICU's do)
// and any line ending as a newline; inline flags such as `(?m)` set the rest.
// Immutable after construction: one Pattern may be used from several threads at once.
class Pattern {
public:
    // Throws PatternError naming the offset and the engine's message.
    explicit Pattern(std::string_view expression);

    struct Match {
        std::size_t start = 0;  // byte offsets of the whole match
        std::size_t end = 0;
        // groups[0] is the whole match; a group that did not take part is absent.
        std::vector<std::optional<std::string>> groups;
    };

    // The first match at or after byte `from`, or none.
    std::optional<Match> firstMatch(std::string_view subject, std::size_t from = 0) const;
    bool matches(std::string_view subject) const { return firstMatch(subject).has_value(); }

    // Every match replaced by `replacement`, taken literally (`$` and `\` have no meaning in it).
    std::string replaceAll(std::string_view subject, std::string_view replacement) const;

    const std::string& expression() const { return expression_; }

private:
    std::string expression_;
    std::shared_ptr<void> code_;  // pcre2_code_8, freed with pcre2_code_free_8
};

} // namespace torvex
