#include "TextPattern.h"

#include "Platform/SharedLibrary.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stdexcept>

namespace torvex {

namespace {

// libpcre2-8 is loaded when the first pattern is compiled, not at every start of torvex
// (Platform/SharedLibrary.h). Its functions carry the code unit width in their names.
struct PCRE2 {
    decltype(&pcre2_compile_context_create) compileContextCreate;
    decltype(&pcre2_compile_context_free) compileContextFree;
    decltype(&pcre2_set_newline) setNewline;
    decltype(&pcre2_compile) compile;
    decltype(&pcre2_code_free) codeFree;
    decltype(&pcre2_get_error_message) errorMessage;
    decltype(&pcre2_match_data_create_from_pattern) matchDataCreate;
    decltype(&pcre2_match_data_free) matchDataFree;
    decltype(&pcre2_match) match;
    decltype(&pcre2_get_ovector_pointer) ovector;
    decltype(&pcre2_pattern_info) patternInfo;
};

// Loaded once per process, never unloaded; throws std::runtime_error when it cannot be.
const PCRE2& pcre2() {
    return requiredLibraryFunctions<PCRE2>("libpcre2-8.so.0", [](PCRE2& api, const auto& bind) {
        return bind(api.compileContextCreate, "pcre2_compile_context_create_8") &&
               bind(api.compileContextFree, "pcre2_compile_context_free_8") &&
               bind(api.setNewline, "pcre2_set_newline_8") && bind(api.compile, "pcre2_compile_8") &&
               bind(api.codeFree, "pcre2_code_free_8") && bind(api.errorMessage, "pcre2_get_error_message_8") &&
               bind(api.matchDataCreate, "pcre2_match_data_create_from_pattern_8") &&
               bind(api.matchDataFree, "pcre2_match_data_free_8") && bind(api.match, "pcre2_match_8") &&
               bind(api.ovector, "pcre2_get_ovector_pointer_8") && bind(api.patternInfo, "pcre2_pattern_info_8");
    });
}

} // namespace

struct TextPattern::Code {
    pcre2_code* code = nullptr;
    ~Code() {
        if (code != nullptr) pcre2().codeFree(code);
    }
};

TextPattern::TextPattern(std::string_view pattern, bool caseless) {
    const PCRE2& api = pcre2();
    pcre2_compile_context* context = api.compileContextCreate(nullptr);
    api.setNewline(context, PCRE2_NEWLINE_ANY);
    std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
    if (caseless) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    auto code = std::make_shared<Code>();
    code->code = api.compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error, &offset,
                             context);
    api.compileContextFree(context);
    if (code->code == nullptr) {
        PCRE2_UCHAR message[256];
        api.errorMessage(error, message, sizeof message);
        throw std::logic_error("pattern " + std::string(pattern) + " at " + std::to_string(offset) + ": " +
                               reinterpret_cast<const char*>(message));
    }
    code_ = std::move(code);
}

namespace {

// One match starting at or after `start`; none when there is no further match.
std::optional<TextPattern::Match> matchFrom(pcre2_code* code, std::string_view subject, std::size_t start) {
    const PCRE2& api = pcre2();
    pcre2_match_data* data = api.matchDataCreate(code, nullptr);
    const int result =
        api.match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, data, nullptr);
    std::optional<TextPattern::Match> match;
    if (result > 0) {
        const PCRE2_SIZE* ovector = api.ovector(data);
        std::uint32_t groupCount = 0;
        api.patternInfo(code, PCRE2_INFO_CAPTURECOUNT, &groupCount);
        match.emplace();
        match->begin = ovector[0];
        match->end = ovector[1];
        for (std::uint32_t group = 1; group <= groupCount; ++group) {
            const PCRE2_SIZE from = ovector[2 * group];
            const PCRE2_SIZE to = ovector[2 * group + 1];
            if (static_cast<int>(group) < result && from != PCRE2_UNSET) {
                match->groups.emplace_back(std::string(subject.substr(from, to - from)));
            } else {
                match->groups.emplace_back(std::nullopt);
            }
        }
    }
    api.matchDataFree(data);
    return match;
}

// The offset just past the character at `offset` (an empty match must not repeat forever).
std::size_t nextCharacter(std::string_view subject, std::size_t offset) {
    std::size_t next = offset + 1;
    while (next < subject.size() && (static_cast<unsigned char>(subject[next]) & 0xC0) == 0x80) ++next;
    return next;
}

} // namespace

std::optional<TextPattern::Match> TextPattern::firstMatch(std::string_view subject) const {
    return matchFrom(code_->code, subject, 0);
}

std::vector<TextPattern::Match> TextPattern::allMatches(std::string_view subject) const {
    std::vector<Match> matches;
    std::size_t start = 0;
    while (start <= subject.size()) {
        auto match = matchFrom(code_->code, subject, start);
        if (!match) break;
        start = match->end > match->begin ? match->end : nextCharacter(subject, match->end);
        matches.push_back(std::move(*match));
    }
    return matches;
}

std::string TextPattern::replaceAll(std::string_view subject, std::string_view literal) const {
    std::string result;
    std::size_t copied = 0;
    for (const Match& match : allMatches(subject)) {
        result.append(subject.substr(copied, match.begin - copied));
        result.append(literal);
        copied = match.end;
    }
    result.append(subject.substr(copied));
    return result;
}

std::string TextPattern::escaped(std::string_view text) {
    static constexpr std::string_view special = "\\^$.|?*+()[]{}-/#&~ ";
    std::string result;
    for (char c : text) {
        if (special.find(c) != std::string_view::npos) result.push_back('\\');
        result.push_back(c);
    }
    return result;
}

std::string withoutTerminalEscapes(std::string_view line) {
    static const TextPattern escape(R"(\x1B\[[0-9;:?]*[ -/]*[@-~])");
    return line.find('\x1B') == std::string_view::npos ? std::string(line) : escape.replaceAll(line, "");
}

} // namespace torvex
