#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// One line of the log the service shows its host.
struct LogLine {
    // Where a line came from: the build's output, the running app's, or the service's own notices.
    enum class Source { build, app, torvex };
    static constexpr std::array<Source, 3> allSources{Source::build, Source::app, Source::torvex};

    std::int64_t id = 0;  // the service numbers its lines in order
    std::chrono::system_clock::time_point date;
    Source source = Source::torvex;
    bool isError = false;  // from standard error, or reports a problem
    std::string text;      // without its line end

    bool operator==(const LogLine&) const = default;
};

// "build", "app", "torvex".
std::string_view rawValue(LogLine::Source source);
// The source whose raw value is exactly `text`.
std::optional<LogLine::Source> logSourceFromRawValue(std::string_view text);

} // namespace torvex
