#include "LogLine.h"

namespace torvex {

std::string_view rawValue(LogLine::Source source) {
    switch (source) {
    case LogLine::Source::build: return "build";
    case LogLine::Source::app: return "app";
    case LogLine::Source::torvex: return "torvex";
    }
    return "torvex";
}

std::optional<LogLine::Source> logSourceFromRawValue(std::string_view text) {
    for (const auto source : LogLine::allSources)
        if (rawValue(source) == text) return source;
    return std::nullopt;
}

} // namespace torvex
