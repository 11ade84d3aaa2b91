#include "MSVCFlagTranslator.h"

#include "Core/ASCII.h"

#include <algorithm>
#include <array>
#include <utility>

namespace torvex::MSVCFlagTranslator {
namespace {

enum class Match {
    equals,          // the flag is one of the keys
    prefix,          // the flag begins with one of the keys
    prefixAnyCase,   // the lower-cased flag begins with one of the (lower-case) keys
};

enum class Output {
    values,          // exactly `values`
    valueJoinedRest, // values[0] followed by the flag's text after the key, as one argument
    valueThenRest,   // values[0], then the flag's text after the key as a second argument
};

struct Row {
    Match match;
    std::vector<std::string_view> keys;
    Output output;
    std::vector<std::string_view> values;
};

// Tested in order; the first row whose test fits gives the result.
const std::vector<Row>& flagTable() {
    static const std::vector<Row> table{
        // MSVC-style code: MSVC accepts narrowing of constants in case labels and braces (a negative
        // GWL_STYLE against an unsigned WPARAM), which clang makes an error; here it is a warning.
        {Match::equals, {"/W0", "/W1", "/W2", "/W3", "/W4", "/Wall"}, Output::values,
         {"-Wall", "-Wno-error=c++11-narrowing"}},
        {Match::equals, {"/O1", "/O2", "/Ox"}, Output::values, {"-O2"}},
        {Match::equals, {"/Od"}, Output::values, {"-O0"}},
        {Match::equals, {"/Zi", "/Z7", "/ZI"}, Output::values, {"-g"}},
        {Match::equals, {"/bigobj"}, Output::values, {"-Wa,-mbig-obj"}},
        {Match::equals, {"/std:c++14"}, Output::values, {"-std=c++14"}},
        {Match::equals, {"/std:c++17"}, Output::values, {"-std=c++17"}},
        {Match::equals, {"/std:c++20"}, Output::values, {"-std=c++20"}},
        {Match::equals, {"/std:c++latest"}, Output::values, {"-std=c++2c"}},
        {Match::equals,
         {"/WX", "/GR", "/GR-", "/MD", "/MDd", "/MT", "/MTd", "/nologo", "/utf-8", "/bigobj-", "/FS", "/Gy", "/Gm-"},
         Output::values, {}},
        {Match::prefix,
         {"/wd", "/we", "/wo", "/EH", "/Zc:", "/permissive", "/MP", "/sdl", "/guard:", "/diagnostics:", "/external:"},
         Output::values, {}},
        {Match::prefix, {"/D"}, Output::valueJoinedRest, {"-D"}},
        {Match::prefix, {"/U"}, Output::valueJoinedRest, {"-U"}},
        {Match::prefix, {"/I"}, Output::valueJoinedRest, {"-I"}},
        {Match::prefixAnyCase, {"/fi"}, Output::valueThenRest, {"-include"}},
    };
    return table;
}

// The length of the key that fits the flag, or nothing.
std::optional<std::size_t> fittingKey(const Row& row, std::string_view flag) {
    const std::string folded = row.match == Match::prefixAnyCase ? lowercasedASCII(flag) : std::string();
    const std::string_view tested = row.match == Match::prefixAnyCase ? std::string_view(folded) : flag;
    for (const std::string_view key : row.keys) {
        const bool fits = row.match == Match::equals ? tested == key : tested.substr(0, key.size()) == key;
        if (fits) return key.size();
    }
    return std::nullopt;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The white space of Unicode (separators, tabs and line ends) beyond ASCII, in UTF-8.
constexpr std::array<std::string_view, 20> wideSpaces{
    "\u0085", "\u00a0", "\u1680", "\u180e", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
    "\u2006", "\u2007", "\u2008", "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
};

bool isWhiteSpaceOnly(std::string_view text) {
    while (!text.empty()) {
        if (std::string_view(" \t\n\v\f\r").find(text.front()) != std::string_view::npos) {
            text.remove_prefix(1);
            continue;
        }
        const auto wide = std::find_if(wideSpaces.begin(), wideSpaces.end(),
                                       [&](std::string_view space) { return text.starts_with(space); });
        if (wide == wideSpaces.end()) return false;
        text.remove_prefix(wide->size());
    }
    return true;
}

// Whether the line ends, apart from white space, with a quoted name of a file the script embeds.
bool namesEmbeddedFile(std::string_view line) {
    static constexpr std::array<std::string_view, 5> extensions{".ico", ".cur", ".bmp", ".png", ".manifest"};
    for (std::size_t quote = line.find('"'); quote != std::string_view::npos; quote = line.find('"', quote + 1)) {
        if (!isWhiteSpaceOnly(line.substr(quote + 1))) continue;
        const std::string before = lowercasedASCII(line.substr(0, quote));
        return std::any_of(extensions.begin(), extensions.end(),
                           [&](std::string_view extension) { return endsWith(before, extension); });
    }
    return false;
}

std::string withSlashesForDoubledBackslashes(std::string_view line) {
    std::string result;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '\\') {
            result += '/';
            ++i;
        } else {
            result += line[i];
        }
    }
    return result;
}

} // namespace

std::optional<std::vector<std::string>> mapMSVCFlag(std::string_view flag) {
    for (const Row& row : flagTable()) {
        const std::optional<std::size_t> keyLength = fittingKey(row, flag);
        if (!keyLength) continue;
        const std::string rest(flag.substr(*keyLength));
        switch (row.output) {
        case Output::values:
            return std::vector<std::string>(row.values.begin(), row.values.end());
        case Output::valueJoinedRest:
            return std::vector<std::string>{std::string(row.values.front()) + rest};
        case Output::valueThenRest:
            return std::vector<std::string>{std::string(row.values.front()), rest};
        }
    }
    return std::nullopt;
}

Result translateCompilerArguments(const std::vector<std::string>& arguments,
                                  const std::function<bool(const std::string&)>& fileExists) {
    Result result;
    bool outputPath = false;  // the argument is the value of "-o": a path, passed as it is
    for (const std::string& argument : arguments) {
        if (std::exchange(outputPath, argument == "-o")) {
            result.arguments.push_back(argument);
            continue;
        }
        // Like /WX: code written for MSVC meets warnings it was never checked against.
        if (argument == "-Werror") continue;
        const bool looksLikeFlag = argument.size() >= 1 && argument.front() == '/' &&
                                   argument.find('/', 1) == std::string::npos;
        if (looksLikeFlag && !fileExists(argument)) {
            if (std::optional<std::vector<std::string>> mapped = mapMSVCFlag(argument)) {
                result.arguments.insert(result.arguments.end(), mapped->begin(), mapped->end());
            } else {
                result.unknownDropped.push_back(argument);
            }
            continue;
        }
        const bool looksLikeLibrary = endsWith(argument, ".lib") && argument.front() != '-' &&
                                      argument.find('/') == std::string::npos;
        if (looksLikeLibrary && !fileExists(argument)) {
            result.arguments.push_back("-l" + argument.substr(0, argument.size() - 4));
            continue;
        }
        result.arguments.push_back(argument);
        if (argument == "-mwindows") result.arguments.emplace_back("-municode");
    }
    return result;
}

std::string translateResourceScript(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (namesEmbeddedFile(line)) {
            result += withSlashesForDoubledBackslashes(line);
        } else {
            result += line;
        }
        if (end == std::string_view::npos) return result;
        result += '\n';
        start = end + 1;
    }
}

std::vector<std::string> translateResourceCompilerArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> result;
    result.reserve(arguments.size());
    for (const std::string& argument : arguments) {
        if (argument.rfind("-D", 0) != 0 || argument.find('"') == std::string::npos) {
            result.push_back(argument);
            continue;
        }
        std::string escaped;
        for (const char c : argument) {
            if (c == '"') escaped += '\\';
            escaped += c;
        }
        result.push_back(std::move(escaped));
    }
    return result;
}

} // namespace torvex::MSVCFlagTranslator
