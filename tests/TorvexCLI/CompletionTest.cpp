#include "TorvexCLI/Completion.h"

#include "Core/ProcessRunner.h"
#include "TorvexCLI/Torvex.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::cli;
using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

// The shell's path; the test is skipped when it is not installed.
std::optional<fs::path> shell(const std::string& name) { return ProcessRunner::which(name, {"/usr/bin", "/bin"}); }

// The script written to a file in `temp`.
fs::path script(const TempDir& temp, const std::string& shellName) {
    const fs::path file = temp / ("torvex." + shellName);
    writeFile(file, completionScript(rootCommand(), shellName));
    return file;
}

SpawnResult runShell(const TempDir& temp, const fs::path& program, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program.string());
    return spawnAndWait({program, arguments, temp.path(), {{"HOME", temp.path().string()}}}, temp.path());
}

// One completion per line, sorted.
std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

TEST(CompletionTest, EveryScriptPassesItsShellsSyntaxCheck) {
    TempDir temp;
    for (const std::string name : {"bash", "zsh", "fish"}) {
        const auto program = shell(name);
        if (!program) GTEST_SKIP() << name << " is not installed";
        const SpawnResult result = runShell(temp, *program, {"-n", script(temp, name).string()});
        EXPECT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_EQ(result.err, "") << name;
    }
}

TEST(CompletionTest, BashCompletesCommandsOptionsAndFiles) {
    const auto bash = shell("bash");
    if (!bash) GTEST_SKIP() << "bash is not installed";
    TempDir temp;
    const fs::path file = script(temp, "bash");
    fs::create_directories(temp / "flutter_assets");
    struct Case {
        std::string line;  // the words before the cursor and the one being completed
        std::vector<std::string> completions;
    };
    const Case cases[] = {
        {"torvex pro", {"profile"}},
        {"torvex u", {"uninstall"}},  // update-check is not offered
        {"torvex he", {"help"}},
        {"torvex help pro", {"profile"}},
        {"torvex profile s", {"set"}},
        {"torvex run --", {"--app-name", "--engine-options", "--help", "--version"}},
        {"torvex profile set --d", {"--dpi"}},
        {"torvex profile set --dpi ", {}},
        {"torvex build --bundle flu", {"flutter_assets"}},
        {"torvex build flu", {"flutter_assets"}},
        {"torvex setup --i", {"--install-cli"}},
    };
    for (const Case& test : cases) {
        const std::string body = "source " + shellQuoted(file.string()) + "\nCOMP_WORDS=(" + test.line +
                                 (test.line.ends_with(' ') ? "''" : "") +
                                 ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_torvex\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
        const SpawnResult result = runShell(temp, *bash, {"-c", body});
        EXPECT_EQ(result.status, 0) << test.line << ": " << result.err;
        std::vector<std::string> expected = test.completions;
        std::sort(expected.begin(), expected.end());
        if (expected.empty()) expected.push_back("");  // printf prints one empty line for no words
        EXPECT_EQ(sortedLines(result.out), expected) << test.line;
    }
}

TEST(CompletionTest, FishCompletesCommandsAndOptionsWithTheirDescriptions) {
    const auto fish = shell("fish");
    if (!fish) GTEST_SKIP() << "fish is not installed";
    TempDir temp;
    const fs::path file = script(temp, "fish");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"torvex pro", {"profile\tManage simulator profiles (DPI, window size, theme, locale)."}},
        {"torvex upd", {}},
        {"torvex profile cr", {"create\tCreate a profile from the current one."}},
        {"torvex profile set --lo", {"--locale\te.g. en-US, ar-SA."}},
        {"torvex screenshot --s", {"--stdout\tWrite base64-encoded PNG to stdout (what the Flutter tool expects)."}},
        {"torvex setup --reg", {"--register\tOnly register the \"Torvex \u00B7 Windows 11\" device with Flutter."}},
        {"torvex help ins", {"install\tCopy the built app into Torvex's Windows environment."}},
    };
    for (const auto& [line, completions] : cases) {
        const SpawnResult result = runShell(temp, *fish, {"--no-config", "-c", "source " + shellQuoted(file.string()) +
                                                                                   "; complete -C " + shellQuoted(line)});
        EXPECT_EQ(result.status, 0) << line << ": " << result.err;
        EXPECT_EQ(result.out.empty() ? std::vector<std::string>{} : sortedLines(result.out), completions) << line;
    }
}
