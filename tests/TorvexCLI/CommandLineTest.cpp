#include "TorvexCLI/CommandLine.h"

#include "TorvexCLI/DecimalInteger.h"
#include "TorvexCLI/Torvex.h"

#include <gtest/gtest.h>

#include <limits>

using namespace torvex::cli;
using Action = Invocation::Action;

namespace {

const CommandSpec& root() { return rootCommand(); }

std::string pathOf(const Invocation& invocation) { return commandName(invocation.path); }

} // namespace

TEST(CommandLineTest, CommandLinesReachTheirCommandWithTheirValues) {
    struct Case {
        std::vector<std::string> words;
        std::string command;
        std::map<std::string, std::string> values;
        std::set<std::string> flags = {};
    };
    const Case cases[] = {
        {{"build"}, "torvex build", {}},
        {{"build", "../demo/./", "--bundle", "b", "--app-name=x"}, "torvex build",
         {{"project", "../demo/./"}, {"bundle", "b"}, {"app-name", "x"}}},
        {{"run", "--app-name", "demo", "--engine-options="}, "torvex run", {{"app-name", "demo"}, {"engine-options", ""}}},
        {{"run", "--engine-options=--enable-dart-profiling=true", "--app-name", "demo"}, "torvex run",
         {{"app-name", "demo"}, {"engine-options", "--enable-dart-profiling=true"}}},
        {{"run", "--app-name", "a", "--app-name", "b"}, "torvex run", {{"app-name", "b"}}},
        {{"run", "--app-name", "-"}, "torvex run", {{"app-name", "-"}}},
        {{"build", "--", "--odd folder"}, "torvex build", {{"project", "--odd folder"}}},
        {{"screenshot", "--stdout", "--output", "shot.png"}, "torvex screenshot", {{"output", "shot.png"}}, {"stdout"}},
        {{"forward", "08080", "8080"}, "torvex forward", {{"host-port", "08080"}, {"device-port", "8080"}}},
        {{"forward", "-5", "+5"}, "torvex forward", {{"host-port", "-5"}, {"device-port", "+5"}}},
        {{"profile", "set", "--dpi=-1", "--theme", "dim"}, "torvex profile set", {{"dpi", "-1"}, {"theme", "dim"}}},
        {{"profile", "create", "My Phone"}, "torvex profile create", {{"name", "My Phone"}}},
        {{"profile", "use", "run"}, "torvex profile use", {{"id", "run"}}},
        {{"update-check"}, "torvex update-check", {}},
        {{"setup", "--register", "--install-cli"}, "torvex setup", {}, {"register", "install-cli"}},
        {{"doctor", "--verbose"}, "torvex doctor", {}, {"verbose"}},
    };
    for (const Case& test : cases) {
        const Invocation invocation = parseCommandLine(root(), test.words);
        SCOPED_TRACE(test.words.front() + " " + invocation.detail);
        EXPECT_EQ(invocation.action, Action::run);
        EXPECT_EQ(pathOf(invocation), test.command);
        EXPECT_EQ(invocation.arguments.values, test.values);
        EXPECT_EQ(invocation.arguments.flags, test.flags);
    }
}

TEST(CommandLineTest, WrongCommandLinesAreUsageErrorsOfTheCommandTheyReached) {
    struct Case {
        std::vector<std::string> words;
        std::string command;
        std::string detail;  // a part of the message
    };
    const Case cases[] = {
        {{"run"}, "torvex run", "--app-name"},
        {{"run", "--app-name"}, "torvex run", "Missing value for '--app-name <app-name>'"},
        {{"run", "--app-name", "demo", "--engine-options", "--x"}, "torvex run", "'--engine-options <engine-options>'"},
        {{"run", "--app-name", "demo", "--engine-options", "-x"}, "torvex run", "'--engine-options <engine-options>'"},
        {{"frobnicate"}, "torvex", "frobnicate"},
        {{"frobnicate", "build"}, "torvex", "frobnicate"},
        {{"build", "a", "b"}, "torvex build", "b"},
        {{"build", "a", "run"}, "torvex build", "run"},
        {{"build", "--nonsense"}, "torvex build", "--nonsense"},
        {{"forward", "x", "1"}, "torvex forward", "'x' is not a whole number"},
        {{"forward", "1.5", "1"}, "torvex forward", "'1.5'"},
        {{"forward", "8080"}, "torvex forward", "device-port"},
        {{"forward", "0x10", "16"}, "torvex forward", "'0x10'"},
        {{"profile", "set", "--dpi", "96dpi"}, "torvex profile set", "'96dpi'"},
        {{"profile", "set", "--width", "99999999999999999999"}, "torvex profile set", "99999999999999999999"},
        {{"profile", "use"}, "torvex profile use", "id"},
        {{"profile", "rename"}, "torvex profile", "rename"},
        {{"screenshot", "--stdout=false"}, "torvex screenshot", "'--stdout' takes no value"},
        {{"help", "profile", "rename"}, "torvex profile", "Unknown subcommand 'rename'"},
        {{"--generate-completion-script", "tcsh"}, "torvex", "'tcsh'"},
        {{"--generate-completion-script"}, "torvex", "Missing value"},
        // Every word refused, in the order given, and why; then what is missing.
        {{"run", "--appname", "x"}, "torvex run",
         "'--appname' is not an option of 'torvex run'. 'x' is not expected: 'torvex run' takes no arguments. "
         "--app-name is required."},
        {{"run", "--appname=x"}, "torvex run", "'--appname=x' is not an option of 'torvex run'. --app-name is required."},
        {{"build", "a", "b", "--nonsense", "c"}, "torvex build",
         "'b' is not expected: 'torvex build' takes only <project>. '--nonsense' is not an option of 'torvex build'. "
         "'c' is not expected: 'torvex build' takes only <project>."},
        {{"forward", "1", "2", "3"}, "torvex forward",
         "'3' is not expected: 'torvex forward' takes only <host-port> <device-port>."},
        {{"forward", "8080"}, "torvex forward", "<device-port> is required."},
        {{"profile", "set", "--width", "-5"}, "torvex profile set",
         "Missing value for '--width <width>': '-5' is taken for an option; give a value that begins with '-' as "
         "'--width=-5'."},
        {{"run", "--app-name", "--engine-options=x"}, "torvex run", "Missing value for '--app-name <app-name>'."},
        {{"frobnicate", "--x", "y"}, "torvex", "Unknown subcommand 'frobnicate' of 'torvex'."},
        {{"-x"}, "torvex", "'-x' is not an option of 'torvex'."},
        {{"run", "--app-name", "demo", "-x"}, "torvex run", "'-x' is not an option of 'torvex run'."},
        {{"setup", "--register", "--unregister"}, "torvex setup",
         "'--unregister' and '--register' cannot be given together: give one of them."},
        {{"setup", "--install-cli", "--unregister"}, "torvex setup",
         "'--unregister' and '--install-cli' cannot be given together: give one of them."},
    };
    for (const Case& test : cases) {
        const Invocation invocation = parseCommandLine(root(), test.words);
        SCOPED_TRACE(test.words.front());
        EXPECT_EQ(invocation.action, Action::usageError);
        EXPECT_EQ(pathOf(invocation), test.command);
        EXPECT_NE(invocation.detail.find(test.detail), std::string::npos) << invocation.detail;
    }
}

TEST(CommandLineTest, HelpAndVersionWinWhereverTheyStand) {
    struct Case {
        std::vector<std::string> words;
        Action action;
        std::string command;
    };
    const Case cases[] = {
        {{}, Action::run, "torvex"},  // no body: its help
        {{"profile"}, Action::run, "torvex profile"},
        {{"--help"}, Action::help, "torvex"},
        {{"run", "-h"}, Action::help, "torvex run"},
        {{"run", "--app-name", "--help"}, Action::help, "torvex run"},
        {{"forward", "x", "--help"}, Action::help, "torvex forward"},
        {{"help"}, Action::help, "torvex"},
        {{"help", "profile", "set"}, Action::help, "torvex profile set"},
        {{"help", "update-check"}, Action::help, "torvex update-check"},
        {{"--version"}, Action::version, "torvex"},
        {{"profile", "set", "--version"}, Action::version, "torvex profile set"},
        {{"run", "--engine-options=--help", "--app-name", "a"}, Action::run, "torvex run"},
        {{"--generate-completion-script=fish"}, Action::completion, "torvex"},
    };
    for (const Case& test : cases) {
        const Invocation invocation = parseCommandLine(root(), test.words);
        SCOPED_TRACE(test.command);
        EXPECT_EQ(invocation.action, test.action) << invocation.detail;
        EXPECT_EQ(pathOf(invocation), test.command);
    }
    EXPECT_EQ(parseCommandLine(root(), {"--generate-completion-script", "zsh"}).detail, "zsh");
}

TEST(CommandLineTest, RootHelpListsEveryListedCommandInOrder) {
    const std::string help = helpText({&root()});
    EXPECT_TRUE(help.starts_with("OVERVIEW: Test your Flutter apps on Windows, right on Linux.\n\n"
                                 "USAGE: torvex <subcommand>\n"))
        << help;
    std::size_t last = 0;
    for (const char* name : {"build", "install", "uninstall", "run", "ping", "forward", "screenshot", "open", "stop",
                             "status", "profile", "setup", "doctor", "report", "components", "version"}) {
        const std::size_t found = help.find("\n  " + std::string(name) + " ");
        ASSERT_NE(found, std::string::npos) << name;
        EXPECT_GT(found, last) << name;
        last = found;
    }
    EXPECT_EQ(help.find("update-check"), std::string::npos);
    EXPECT_NE(help.find("See 'torvex help <subcommand>' for detailed help."), std::string::npos);
}

TEST(CommandLineTest, CommandHelpShowsDiscussionUsageAndEveryInput) {
    const CommandSpec& build = *root().subcommand("build");
    EXPECT_EQ(helpText({&root(), &build}),
              "OVERVIEW: Build the Windows debug build of a Flutter project.\n"
              "\n"
              "Used by the Flutter tool as the custom device postBuild step, or on its own.\n"
              "\n"
              "USAGE: torvex build [<project>] [--bundle <bundle>] [--app-name <app-name>]\n"
              "\n"
              "ARGUMENTS:\n"
              "  <project>               Flutter project folder (default: the bundle's project, or the current folder).\n"
              "\n"
              "OPTIONS:\n"
              "  --bundle <bundle>       Debug bundle (flutter_assets) already built by the Flutter tool.\n"
              "  --app-name <app-name>   App name passed by the Flutter tool (informational).\n"
              "  --version               Show the version.\n"
              "  -h, --help              Show help information.\n");
    const CommandSpec& run = *root().subcommand("run");
    EXPECT_EQ(usageLine({&root(), &run}), "torvex run --app-name <app-name> [--engine-options <engine-options>]");
    const CommandSpec& forward = *root().subcommand("forward");
    EXPECT_EQ(usageLine({&root(), &forward}), "torvex forward <host-port> <device-port>");
    EXPECT_NE(helpText({&root(), &run}).find("  --engine-options <engine-options>\n                          The Flutter"),
              std::string::npos);
    const CommandSpec& profile = *root().subcommand("profile");
    EXPECT_NE(helpText({&root(), &profile}).find("See 'torvex help profile <subcommand>' for detailed help."),
              std::string::npos);
}

TEST(CommandLineTest, DecimalIntegersAreStrict) {
    constexpr auto int32Max = std::numeric_limits<std::int32_t>::max();
    constexpr auto int32Min = std::numeric_limits<std::int32_t>::min();
    struct Case {
        std::string text;
        std::optional<std::int64_t> value;
        std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        std::int64_t highest = std::numeric_limits<std::int64_t>::max();
    };
    const Case cases[] = {
        {"8080", 8080},
        {"08080", 8080},
        {"+7", 7},
        {"-1", -1},
        {"-0", 0},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"2147483647", int32Max, int32Min, int32Max},
        {"2147483648", std::nullopt, int32Min, int32Max},
        {"-2147483648", int32Min, int32Min, int32Max},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"1.5", std::nullopt},
        {" 3", std::nullopt},
        {"3 ", std::nullopt},
        {"3x", std::nullopt},
        {"0x10", std::nullopt},
        {"+-3", std::nullopt},
        {"\u0663", std::nullopt},  // an Arabic-Indic three
    };
    for (const Case& test : cases) {
        EXPECT_EQ(decimalInteger(test.text, test.lowest, test.highest), test.value) << "'" << test.text << "'";
    }
}
