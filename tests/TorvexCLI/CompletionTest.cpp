#include "TorvexCLI/Completion.h"

#include "Core/Profile.h"
#include "Core/ProcessRunner.h"
#include "TorvexCLI/Torvex.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

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

// A `torvex` on PATH (the built one) whose configuration holds the profiles default, work and
// büro, as the environment of the shell that completes.
std::map<std::string, std::string> withProfiles(const TempDir& temp) {
    TorvexProgram torvex(temp / "torvex");
    fs::create_directories(temp / "bin");
    if (!fs::exists(fs::symlink_status(temp / "bin" / "torvex"))) fs::create_symlink(torvex.program, temp / "bin" / "torvex");
    TorvexConfig config;
    config.profiles.push_back(Profile{"work", "Work", 96, 1280, 720, Profile::Theme::dark, "en-GB"});
    config.profiles.push_back(Profile{"büro", "Büro", 96, 1280, 720, Profile::Theme::light, "de-DE"});
    config.save(TorvexPaths{torvex.support(), temp / "caches", torvex.logs()});
    auto environment = torvex.environment;
    environment["HOME"] = temp.path().string();
    environment["PATH"] = (temp / "bin").string() + ":/usr/bin:/bin";
    return environment;
}

SpawnResult runShell(const TempDir& temp, const fs::path& program, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program.string());
    return spawnAndWait({program, arguments, temp.path(), withProfiles(temp)}, temp.path());
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
        {"torvex profile set --theme ", {"dark", "light"}},
        {"torvex profile use ", {"büro", "default", "work", "--version", "-h", "--help"}},
        {"torvex profile delete w", {"work"}},
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
        {"torvex profile set --theme ", {"dark\tlight or dark.", "light\tlight or dark."}},
        {"torvex profile use ", {"büro", "default", "work"}},
    };
    for (const auto& [line, completions] : cases) {
        const SpawnResult result = runShell(temp, *fish, {"--no-config", "-c", "source " + shellQuoted(file.string()) +
                                                                                   "; complete -C " + shellQuoted(line)});
        EXPECT_EQ(result.status, 0) << line << ": " << result.err;
        EXPECT_EQ(result.out.empty() ? std::vector<std::string>{} : sortedLines(result.out), completions) << line;
    }
}

// Completes `line` in an interactive zsh on a pseudo-terminal, where the script was loaded the way
// `how` says, and prints every match, one a line.
const std::string zshHarness = R"(zmodload zsh/zpty || exit 2
zpty z zsh -f -i
zpty -w z "PS1= PS2= RPS1="
if [[ $1 == fpath ]]; then
    zpty -w z "fpath=(${(q)2:h} \$fpath); autoload -Uz compinit; compinit -u -D"
else
    zpty -w z "autoload -Uz compinit; compinit -u -D; source ${(q)2}"
fi
zpty -w z 'zstyle ":completion:*" list-prompt ""; zstyle ":completion:*" menu no'
zpty -w z 'compadd() { if [[ ${(j: :)@} == (*-O*|*-A*|*-D*) ]]; then builtin compadd "$@"; return; fi;
    local -a found; builtin compadd -O found "$@"; print -rl -- ${found/#/MA""TCH:}; builtin compadd "$@"; }'
zpty -w z 'comppostfuncs=(finished); finished() { compstate[list]=; compstate[insert]=; print -n "DO""NE"; }'
zpty -n -w z "$3"$'\t'
local out= chunk=
integer deadline=$(( SECONDS + 20 ))
while (( SECONDS < deadline )) && [[ $out != *DONE* ]]; do
    if zpty -r -t z chunk; then out+=$chunk; else sleep 0.05; fi
done
zpty -d z
[[ $out == *DONE* ]] || { print -u2 "no completion: $out"; exit 3; }
print -rl -- ${${(M)${(f)out//$'\r'/}:#*MATCH:*}#*MATCH:}
)";

TEST(CompletionTest, ZshCompletesSourcedAndFromFpath) {
    const auto zsh = shell("zsh");
    if (!zsh) GTEST_SKIP() << "zsh is not installed";
    TempDir temp;
    writeFile(temp / "harness.zsh", zshHarness);
    fs::create_directories(temp / "functions");
    writeFile(temp / "functions" / "_torvex", completionScript(rootCommand(), "zsh"));
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"torvex pro", {"profile"}},
        {"torvex profile s", {"set"}},
        {"torvex help pro", {"profile"}},
        {"torvex run --app", {"--app-name"}},
        {"torvex profile set --theme ", {"dark", "light"}},
        {"torvex profile use ", {"büro", "default", "work"}},
        {"torvex profile delete w", {"work"}},
    };
    for (const std::string how : {"sourced", "fpath"}) {
        for (const auto& [line, completions] : cases) {
            SCOPED_TRACE(how + ": " + line);
            const SpawnResult result =
                runShell(temp, *zsh, {"-f", (temp / "harness.zsh").string(), how, (temp / "functions" / "_torvex").string(), line});
            EXPECT_EQ(result.status, 0) << result.err;
            std::vector<std::string> expected = completions;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(sortedLines(result.out), expected);
        }
    }

    // Sourced without the completion system, it says what to load instead of failing inside.
    const SpawnResult bare = runShell(temp, *zsh, {"-f", "-c", "source " + shellQuoted((temp / "functions" / "_torvex").string())});
    EXPECT_EQ(bare.status, 0);
    EXPECT_EQ(bare.err, "torvex: load the completion system first: autoload -Uz compinit && compinit\n");
}
