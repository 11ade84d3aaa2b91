#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torvex {

// The one error the user must hear about: what failed, why, and what to do.
// Thrown by value; deliberately not a std::exception (its `what` field would clash).
struct TorvexError {
    enum class Kind : std::int32_t {
        generic = 1,
        usage = 2,
        appNotRunning = 3,
        buildFailed = 4,
        unsupported = 5,
    };

    Kind kind;
    std::string what;
    std::string why;
    std::string fix;

    TorvexError(Kind kind, std::string what, std::string why, std::string fix);

    // what, "\n  Why: " why, "\n  Fix: " fix; nothing trimmed.
    std::string description() const;

    static std::int32_t rawValue(Kind kind);
    // 1...5 give a kind; anything else none.
    static std::optional<Kind> kindFromRawValue(std::int32_t raw);
};

// Thrown when a std::stop_token ends a blocking operation.
struct Cancelled {};

// What the exception being handled says about itself: a std::exception's what(), a TorvexError's
// description. Call only inside a catch block.
std::string describeCurrentException();

} // namespace torvex
