// The texts of the programs say what is true on Linux: no string literal of their sources names
// the Mac, Finder, Metal or "Quit Torvex", but for the few that are really meant.
#include "Core/TextPattern.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

// The string literals of a C++ source, comments and character literals left out; raw strings
// whole, other literals with their escapes as written.
std::vector<std::string> stringLiterals(const std::string& source) {
    std::vector<std::string> literals;
    const TextPattern rawStart(R"(^(?:u8|u|U|L)?R"([^(\s]{0,16})\()");
    for (std::size_t i = 0; i < source.size();) {
        if (source.compare(i, 2, "//") == 0) {
            i = std::min(source.find('\n', i), source.size());
        } else if (source.compare(i, 2, "/*") == 0) {
            i = std::min(source.find("*/", i + 2), source.size() - 2) + 2;
        } else if (const auto raw = (i == 0 || !std::isalnum(static_cast<unsigned char>(source[i - 1])))
                                        ? rawStart.firstMatch(std::string_view(source).substr(i, 24))
                                        : std::nullopt) {
            const std::string end = ")" + raw->groups[0].value_or("") + "\"";
            const std::size_t start = i + raw->end;
            const std::size_t stop = std::min(source.find(end, start), source.size());
            literals.push_back(source.substr(start, stop - start));
            i = stop + end.size();
        } else if (source[i] == '"' || (source[i] == '\'' && (i == 0 || !std::isalnum(static_cast<unsigned char>(source[i - 1]))))) {
            const char quote = source[i];
            std::string literal;
            for (++i; i < source.size() && source[i] != quote; ++i) {
                if (source[i] == '\\') literal += source[i++];
                if (i < source.size()) literal += source[i];
            }
            if (quote == '"') literals.push_back(literal);
            ++i;
        } else {
            ++i;
        }
    }
    return literals;
}

// What is really meant: the texts of the macOS rules, which this platform never shows, and the
// component table's macOS archives, which it never downloads.
const std::set<std::pair<std::string, std::string>> meant = {
    {"TorvexCore/Setup/Doctor.cpp", "macOS"},
    {"TorvexCore/Setup/Doctor.cpp", "macOS {}.{}.{}"},
    {"TorvexCore/Setup/Doctor.cpp", " (needs macOS 14 Sonoma or later)"},
    {"TorvexCore/Setup/Doctor.cpp", "Update macOS in System Settings \\u2192 General \\u2192 Software Update."},
    {"TorvexCore/Setup/DiagnosticReport.cpp", "macOS: "},
    {"TorvexCore/Setup/Components.cpp", "https://github.com/Gcenx/DXVK-macOS/releases/download/v1.10.3-20230507-repack/"},
    {"TorvexCore/Setup/Components.cpp", "dxvk-macOS-async-v1.10.3-20230507-repack.tar.gz"},
    {"TorvexCore/Setup/Components.cpp", "dxvk-macOS-async-v1.10.3-20230507-repack"},
};

} // namespace

TEST(UserFacingTextTest, TheLiteralsAreReadAsTheCompilerReadsThem) {
    const std::string source = "// \"Mac\" in a comment\n/* \"Finder\" */ f('\"', \"a\\\"b\", R\"x(c\"d)x\", u8R\"(e)\");\n"
                               "int x = 1'000; g(\"h\");";
    EXPECT_EQ(stringLiterals(source), (std::vector<std::string>{"a\\\"b", "c\"d", "e", "h"}));
}

TEST(UserFacingTextTest, NoTextNamesTheMacFinderMetalOrQuittingTorvex) {
    const TextPattern falseHere(R"(\b(?:Mac|macOS|Finder|Metal)\b|Quit Torvex)");
    std::vector<std::string> found;
    std::size_t files = 0;
    for (const char* folder : {"TorvexCore", "TorvexCLI", "TorvexHost", "TorvexCC"}) {
        for (const auto& entry : fs::recursive_directory_iterator(sourceDir() / folder)) {
            const auto extension = entry.path().extension();
            if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
            ++files;
            const std::string file = fs::relative(entry.path(), sourceDir()).string();
            for (const auto& literal : stringLiterals(readFile(entry.path()))) {
                if (falseHere.firstMatch(literal) && !meant.count({file, literal})) found.push_back(file + ": " + literal);
            }
        }
    }
    EXPECT_GT(files, 100u);
    EXPECT_EQ(found, std::vector<std::string>{});
}
