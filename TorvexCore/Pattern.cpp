#define PCRE2_CODE_UNIT_WIDTH 8
#include "Pattern.h"

#include <pcre2.h>

namespace torvex {
namespace {

std::string engineMessage(int code) {
    PCRE2_UCHAR buffer[256];
    const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (length < 0) return "error " + std::to_string(code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

const pcre2_code* compiled(const std::shared_ptr<void>& code) { return static_cast<const pcre2_code*>(code.get()); }

using MatchData = std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)>;

} // namespace

Pattern::Pattern(std::string_view expression) : expression_(expression) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_ANY);
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression.data()), expression.size(),
                                     PCRE2_UTF | PCRE2_UCP, &error, &offset, context);
    pcre2_compile_context_free(context);
    if (code == nullptr) {
        throw PatternError("Invalid pattern " + expression_ + " at offset " + std::to_string(offset) + ": " +
                           engineMessage(error));
    }
    code_ = std::shared_ptr<void>(code, [](void* p) { pcre2_code_free(static_cast<pcre2_code*>(p)); });
}

std::optional<Pattern::Match> Pattern::firstMatch(std::string_view subject, std::size_t from) const {
    const pcre2_code* code = compiled(code_);
    MatchData data(pcre2_match_data_create_from_pattern(code, nullptr), &pcre2_match_data_free);
    if (!data) throw PatternError("Out of memory matching " + expression_);
    const int result = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), from, 0,
                                   data.get(), nullptr);
    if (result == PCRE2_ERROR_NOMATCH) return std::nullopt;
    if (result < 0) throw PatternError("Cannot match " + expression_ + ": " + engineMessage(result));

    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    const std::uint32_t pairs = pcre2_get_ovector_count(data.get());
    std::uint32_t groupCount = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groupCount);

    Match match;
    match.start = ovector[0];
    match.end = ovector[1];
    for (std::uint32_t group = 0; group <= groupCount; ++group) {
        if (group >= pairs || ovector[2 * group] == PCRE2_UNSET) {
            match.groups.emplace_back(std::nullopt);
        } else {
            match.groups.emplace_back(std::string(subject.substr(ovector[2 * group], ovector[2 * group + 1] - ovector[2 * group])));
        }
    }
    return match;
}

std::string Pattern::replaceAll(std::string_view subject, std::string_view replacement) const {
    const pcre2_code* code = compiled(code_);
    const std::uint32_t options = PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_LITERAL | PCRE2_SUBSTITUTE_OVERFLOW_LENGTH;
    std::string output(subject.size() + replacement.size() + 16, '\0');
    for (;;) {
        PCRE2_SIZE length = output.size();
        const int result = pcre2_substitute(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0,
                                            options, nullptr, nullptr,
                                            reinterpret_cast<PCRE2_SPTR>(replacement.data()), replacement.size(),
                                            reinterpret_cast<PCRE2_UCHAR*>(output.data()), &length);
        if (result == PCRE2_ERROR_NOMEMORY) {
            output.resize(length);  // the length the engine needs, terminator included
            continue;
        }
        if (result < 0) throw PatternError("Cannot replace with " + expression_ + ": " + engineMessage(result));
        output.resize(length);
        return output;
    }
}

} // namespace torvex
