#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

fs::path wrapper() { return builtBundle() / "Contents/Helpers/torvex-cc"; }

// A stand-in llvm-mingw tool: prints its pid, $0 and one argument a line, exits with 7.
const char* const fakeTool = R"(echo "pid=$$"
echo "0=$0"
for a in "$@"; do echo "arg=$a"; done
exit 7
)";

struct Rig {
    TempDir dir;
    fs::path bin = dir / "llvm mingw/bin";   // a space, as in the real support folder
    fs::path tools = dir / "tools";

    Rig() {
        for (const char* tool : {"x86_64-w64-mingw32-clang", "x86_64-w64-mingw32-clang++", "x86_64-w64-mingw32-windres"}) {
            writeScript(bin / tool, fakeTool);
        }
        fs::create_directories(tools);
    }

    fs::path link(const std::string& name) const {
        const fs::path path = tools / name;
        if (!fs::exists(fs::symlink_status(path))) fs::create_symlink(wrapper(), path);
        return path;
    }
};

std::string toolOutput(const fs::path& tool, const std::vector<std::string>& arguments) {
    std::string text = "0=" + tool.string() + "\n";
    for (const std::string& argument : arguments) text += "arg=" + argument + "\n";
    return text;
}

// `text` with every placeholder such as "<tools>" replaced by its value.
std::string expanded(std::string text, std::initializer_list<std::pair<std::string_view, std::string>> values) {
    for (const auto& [token, value] : values) {
        for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
            text.replace(at, token.size(), value);
        }
    }
    return text;
}

} // namespace

TEST(TorvexCCTest, ExecsTheToolOfItsLinkNameWithTranslatedArguments) {
    struct Case {
        std::string link;
        std::vector<std::string> arguments;
        std::string tool;
        std::vector<std::string> expectedArguments;
        std::string expectedErr;
    };
    const Case cases[] = {
        {"shim-clang", {"/W4", "/nologo", "/Os", "main.c", "/Os"}, "x86_64-w64-mingw32-clang",
         {"-Wall", "-Wno-error=c++11-narrowing", "main.c"},
         "torvex-cc: dropping unknown MSVC flag /Os\ntorvex-cc: dropping unknown MSVC flag /Os\n"},
        // The file test takes relative paths against the working folder: present.lib exists there.
        {"shim-clang++", {"/std:c++17", "present.lib", "absent.lib", "-mwindows", "@cmd.rsp"},
         "x86_64-w64-mingw32-clang++", {"-std=c++17", "present.lib", "-labsent", "-mwindows", "-municode", "@cmd.rsp"},
         ""},
        {"shim-windres", {"/Os", "-DV=\"1.0\"", "-O", "coff"}, "x86_64-w64-mingw32-windres",
         {"/Os", "-DV=\\\"1.0\\\"", "-O", "coff"}, ""},
    };
    for (const Case& c : cases) {
        const Rig rig;
        writeFile(rig.tools / "mingw-bin", "  " + rig.bin.string() + " \n\n");
        writeFile(rig.dir / "work/present.lib", "");
        std::vector<std::string> argv{rig.link(c.link).string()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());

        const SpawnResult result = spawnAndWait({wrapper(), argv, rig.dir / "work", {}}, rig.dir.path());

        EXPECT_EQ(result.status, 7) << c.link;
        EXPECT_EQ(result.err, c.expectedErr) << c.link;
        // Same pid: the wrapper became the tool rather than starting it.
        EXPECT_EQ(result.out, "pid=" + std::to_string(result.pid) + "\n" + toolOutput(rig.bin / c.tool, c.expectedArguments))
            << c.link;
    }
}

TEST(TorvexCCTest, FindsItsLinkWhereTheShellFoundIt) {
    struct Case {
        const char* name;
        std::string argv0;
        std::string workingFolder;  // relative to the rig's folder
        std::string path;           // PATH; "<tools>" and "<decoy>" stand for the folders
    };
    const Case cases[] = {
        {"a bare name found on PATH", "shim-clang", "work", "/nonexistent::<tools>:<decoy>:/usr/bin"},
        {"a bare name on no PATH folder, against the working folder", "shim-clang", "tools", "/usr/bin"},
        {"a relative path, against the working folder", "./shim-clang", "tools", "<decoy>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rig rig;
        writeFile(rig.tools / "mingw-bin", rig.bin.string());
        rig.link("shim-clang");
        // Another link whose mingw-bin leads nowhere: taking it would fail the run.
        const fs::path decoy = rig.dir / "decoy";
        writeFile(decoy / "mingw-bin", "/nonexistent");
        fs::create_symlink(wrapper(), decoy / "shim-clang");
        fs::create_directories(rig.dir / "work");
        const std::string path = expanded(c.path, {{"<tools>", rig.tools.string()}, {"<decoy>", decoy.string()}});

        const SpawnResult result =
            spawnAndWait({wrapper(), {c.argv0, "-c"}, rig.dir / c.workingFolder, {{"PATH", path}}}, rig.dir.path());

        EXPECT_EQ(result.status, 7);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "pid=" + std::to_string(result.pid) + "\n" +
                                  toolOutput(rig.bin / "x86_64-w64-mingw32-clang", {"-c"}));
    }
}

TEST(TorvexCCTest, ALinkFindsSDKLibrariesWhateverTheLetterCaseOfTheirNames) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool searched;            // the link folder is added to the link
        std::string expectedErr;  // "<links>" stands for the link folder
    };
    const Case cases[] = {
        {"a link asking for another spelling", {"main.obj", "-lGdi32", "-o", "app.exe"}, true, ""},
        {"a link asking for the SDK's own", {"main.obj", "-lgdi32", "-o", "app.exe"}, false, ""},
        {"a compile", {"-c", "main.cpp", "-lGdi32"}, false, ""},
        {"a link folder that cannot be made", {"main.obj", "-lGdi32"}, false,
         "torvex-cc: cannot link <links>/libGdi32.a to <sdk>/libgdi32.a: Not a directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rig rig;
        writeFile(rig.tools / "mingw-bin", rig.bin.string());
        const fs::path sdk = rig.bin.parent_path() / "x86_64-w64-mingw32" / "lib";
        writeFile(sdk / "libgdi32.a", "!<arch>\n");
        const fs::path links = rig.tools / "sdk-libraries";
        if (!c.expectedErr.empty()) writeFile(links, "");
        std::vector<std::string> argv{rig.link("shim-clang++").string()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());

        const SpawnResult result = spawnAndWait({wrapper(), argv, rig.dir.path(), {}}, rig.dir.path());

        std::vector<std::string> expected = c.arguments;
        if (c.searched) expected.push_back("-L" + links.string());
        const std::string expectedErr = expanded(c.expectedErr, {{"<links>", links.string()}, {"<sdk>", sdk.string()}});
        EXPECT_EQ(result.status, 7);
        EXPECT_EQ(result.err, expectedErr);
        EXPECT_EQ(result.out, "pid=" + std::to_string(result.pid) + "\n" +
                                  toolOutput(rig.bin / "x86_64-w64-mingw32-clang++", expected));
        if (c.searched) {
            EXPECT_EQ(fs::read_symlink(links / "libGdi32.a"), sdk / "libgdi32.a");
        }
    }
}

TEST(TorvexCCTest, ARelativeMingwBinIsTakenAgainstItsOwnFolder) {
    const Rig rig;
    writeFile(rig.tools / "mingw-bin", "../llvm mingw/bin\n");
    fs::create_directories(rig.dir / "work");

    const SpawnResult result =
        spawnAndWait({wrapper(), {rig.link("shim-clang").string(), "-c"}, rig.dir / "work", {}}, rig.dir.path());

    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "pid=" + std::to_string(result.pid) + "\n" +
                              toolOutput(rig.tools / "../llvm mingw/bin/x86_64-w64-mingw32-clang", {"-c"}));
}

TEST(TorvexCCTest, AMingwBinThatIsNoSensibleFileFailsAtOnceWithOneLine) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& file, const Rig& rig)> make;
        std::string expectedErr;  // "<file>" stands for the mingw-bin file
    };
    const auto text = [](const std::string& bytes) {
        return [bytes](const fs::path& file, const Rig&) { writeFile(file, bytes); };
    };
    std::vector<std::unique_ptr<Fifo>> fifos;
    const Case cases[] = {
        {"a folder", [](const fs::path& file, const Rig&) { fs::create_directories(file / "bin"); },
         "torvex-cc: <file> is not a regular file\n"},
        {"a link to an endless device", [](const fs::path& file, const Rig&) { fs::create_symlink("/dev/zero", file); },
         "torvex-cc: <file> is not a regular file\n"},
        {"a FIFO", [&](const fs::path& file, const Rig&) { fifos.push_back(std::make_unique<Fifo>(file)); },
         "torvex-cc: <file> is not a regular file\n"},
        {"an empty file", text(""), "torvex-cc: <file> is empty\n"},
        {"blanks only", text(" \n\t\n"), "torvex-cc: <file> is empty\n"},
        {"a NUL byte",
         [](const fs::path& file, const Rig& rig) { writeFile(file, rig.bin.string() + std::string(1, '\0') + "x"); },
         "torvex-cc: <file> holds more than one path\n"},
        {"two lines", [](const fs::path& file, const Rig& rig) { writeFile(file, rig.bin.string() + "\n/usr/bin\n"); },
         "torvex-cc: <file> holds more than one path\n"},
        {"more than 4096 bytes", text("/" + std::string(4096, 'a')), "torvex-cc: <file> is larger than 4096 bytes\n"},
        // A control character in the named folder still gives one line.
        {"a folder whose name holds a tab", text("/no\twhere\n"),
         "torvex-cc: could not run /no?where/x86_64-w64-mingw32-clang: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rig rig;
        const fs::path file = rig.tools / "mingw-bin";
        c.make(file, rig);
        std::string expected = c.expectedErr;
        if (const auto at = expected.find("<file>"); at != std::string::npos) expected.replace(at, 6, file.string());
        const auto started = std::chrono::steady_clock::now();

        const SpawnResult result =
            spawnAndWait({wrapper(), {rig.link("shim-clang").string(), "x.c"}, std::nullopt, {}}, rig.dir.path());

        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.out, "");
    }
}

TEST(TorvexCCTest, ItsOwnFailuresSayWhatAndExitWithTwo) {
    struct Case {
        std::string link;
        std::optional<std::string> mingwBin; // none: no file
        std::string expectedErr;             // "<tools>" and "<bin>" stand for the rig's folders
    };
    const Case cases[] = {
        {"shim-clang", std::nullopt, "torvex-cc: no mingw-bin file next to <tools>/shim-clang\n"},
        // The file is read before the name is looked at.
        {"shim-cl", std::nullopt, "torvex-cc: no mingw-bin file next to <tools>/shim-cl\n"},
        {"shim-clang", std::string("\xff\xfe/bin\n"), "torvex-cc: no mingw-bin file next to <tools>/shim-clang\n"},
        {"shim-cl", std::string("<bin>"), "torvex-cc: unknown name shim-cl\n"},
        {"Shim-Clang", std::string("<bin>"), "torvex-cc: unknown name Shim-Clang\n"},
        {"shim-clang", std::string("<tools>"),
         "torvex-cc: could not run <tools>/x86_64-w64-mingw32-clang: No such file or directory\n"},
        {"", std::string("<bin>"), "torvex-cc: no program name\n"},
    };
    const auto expand = [](const std::string& text, const Rig& rig) {
        return expanded(text, {{"<tools>", rig.tools.string()}, {"<bin>", rig.bin.string()}});
    };
    for (const Case& c : cases) {
        const Rig rig;
        if (c.mingwBin) writeFile(rig.tools / "mingw-bin", expand(*c.mingwBin, rig));
        const std::string argv0 = c.link.empty() ? std::string() : rig.link(c.link).string();

        const SpawnResult result = spawnAndWait({wrapper(), {argv0, "/W4", "x.c"}, std::nullopt, {}}, rig.dir.path());

        EXPECT_EQ(result.status, 2) << c.link;
        EXPECT_EQ(result.err, expand(c.expectedErr, rig)) << c.link;
        EXPECT_EQ(result.out, "") << c.link;
    }
}

TEST(TorvexCCTest, LinksNothingButTheCAndCxxRuntimes) {
    TempDir dir;
    const SpawnResult result = spawnAndWait({"/usr/bin/ldd", {"ldd", wrapper().string()}, std::nullopt, {}}, dir.path());
    if (result.status != 0) GTEST_SKIP() << "ldd cannot read the wrapper: " << result.err;
    // The C and C++ runtimes, and the sanitizer runtimes of the asan and tsan builds.
    const std::vector<std::string> allowed{"linux-vdso", "libstdc++", "libm.", "libgcc_s", "libc.", "ld-linux",
                                           "libasan", "libubsan", "libtsan"};
    std::size_t start = 0;
    while (start < result.out.size()) {
        const std::size_t end = result.out.find('\n', start);
        const std::string line = result.out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? result.out.size() : end + 1;
        if (line.empty()) continue;
        bool known = false;
        for (const std::string& prefix : allowed) known = known || line.find(prefix) != std::string::npos;
        EXPECT_TRUE(known) << line;
    }
}

TEST(TorvexCCTest, AClosedStandardDescriptorReachesTheToolAsDevNull) {
    for (const int closed : {0, 1, 2}) {
        SCOPED_TRACE(closed);
        const Rig rig;
        // The tool notes what its descriptors 0 to 2 are, where none of them could be.
        const fs::path record = rig.dir / "record";
        writeScript(rig.bin / "x86_64-w64-mingw32-clang",
                    "for n in 0 1 2; do echo \"$n=$(readlink /proc/$$/fd/$n)\" >> " + shellQuoted(record.string()) +
                        "; done\nexit 7\n");
        writeFile(rig.tools / "mingw-bin", rig.bin.string());
        SpawnRequest request{wrapper(), {rig.link("shim-clang").string(), "-c", "main.c"}, rig.dir.path(), {}};
        request.closedDescriptor = closed;

        const SpawnResult result = spawnAndWait(request, rig.dir.path());

        EXPECT_EQ(result.status, 7);
        // As the test gave them (standard input /dev/null, the others files of its own), the closed one /dev/null.
        std::string expected;
        for (int fd = 0; fd <= 2; ++fd) {
            const std::string given = fd == 0 ? "/dev/null" : (rig.dir / ("spawn-" + std::string("*"))).string();
            expected += std::to_string(fd) + "=" + (fd == closed ? "/dev/null" : given) + "\n";
        }
        std::string seen = readFile(record);
        // The spawn files' numbers differ from run to run.
        for (std::size_t at = 0; (at = seen.find("/spawn-", at)) != std::string::npos; at += 8) {
            seen.replace(at, seen.find('\n', at) - at, "/spawn-*");
        }
        EXPECT_EQ(seen, expected);
    }
}

TEST(TorvexCCTest, APluginsResourceScriptIsCompiledFromAPatchedCopyThatIsThenRemoved) {
    const std::string needsPatch = "#include \"resource.h\"\nIDI ICON \"resources\\\\app_icon.ico\"\n";
    struct Case {
        const char* name;
        std::string script;         // the plugin's icon.rc
        bool objectFolder;          // the folder of the object file exists
        bool copied;                // the tool reads a patched copy
        std::string expectedErr;    // "<script>" stands for the plugin's script
    };
    const Case cases[] = {
        {"a plugin's script with a doubled backslash", needsPatch, true, true, ""},
        {"after a byte order mark", "\xEF\xBB\xBF" + needsPatch, true, true, ""},
        {"a script that staging patched already", "IDI ICON \"resources/app_icon.ico\"\n", true, false, ""},
        {"no folder for the copy: the script as it is, and why",
         needsPatch, false, false,
         "torvex-cc: cannot make a folder for the patched copy of <script>: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rig rig;
        writeFile(rig.tools / "mingw-bin", rig.bin.string());
        // The tool shows what the script it was given holds and what lies beside it.
        writeScript(rig.bin / "x86_64-w64-mingw32-windres",
                    "echo \"pid=$$\"\nfor a in \"$@\"; do echo \"arg=$a\"; done\n"
                    "for a in \"$@\"; do case \"$a\" in *.rc) cat \"$a\"; ls -A \"$(dirname \"$a\")\";; esac; done\n"
                    "exit 7\n");
        const fs::path plugin = rig.dir / "pub cache/plugin_icon/windows";
        const fs::path script = plugin / "icon.rc";
        writeFile(script, c.script);
        const fs::path work = rig.dir / "build";
        if (c.objectFolder) fs::create_directories(work / "obj");
        fs::create_directories(work);

        const SpawnResult result = spawnAndWait(
            {wrapper(),
             {rig.link("shim-windres").string(), "-O", "coff", "-DV=\"1\"", script.string(), "obj/icon.rc.res"},
             work, {}},
            rig.dir.path());

        EXPECT_EQ(result.status, 7);
        EXPECT_EQ(result.err, expanded(c.expectedErr, {{"<script>", script.string()}}));
        EXPECT_EQ(readFile(script), c.script);
        const auto argLines = [](const std::vector<std::string>& arguments) {
            std::string lines;
            for (const std::string& argument : arguments) lines += "arg=" + argument + "\n";
            return lines;
        };
        if (!c.copied) {
            // The wrapper became the tool, with the arguments as it translates them.
            EXPECT_EQ(result.out, "pid=" + std::to_string(result.pid) + "\n" +
                                      argLines({"-O", "coff", "-DV=\\\"1\\\"", script.string(), "obj/icon.rc.res"}) +
                                      c.script + "icon.rc\n");
            continue;
        }
        // A copy in a folder of its own beside the object file; the script's folder first among the
        // include folders; the copy's errors located in the plugin's script.
        const std::size_t copyAt = result.out.find("arg=obj/icon.rc.torvex-");
        ASSERT_NE(copyAt, std::string::npos) << result.out;
        const std::string copy = result.out.substr(copyAt + 4, result.out.find('\n', copyAt) - copyAt - 4);
        EXPECT_TRUE(copy.ends_with("/icon.rc")) << copy;
        const std::string marker = c.script.starts_with("\xEF\xBB\xBF") ? "\xEF\xBB\xBF" : "";
        EXPECT_EQ(result.out.substr(result.out.find('\n') + 1),
                  argLines({"-I", plugin.string(), "-O", "coff", "-DV=\\\"1\\\"", copy, "obj/icon.rc.res"}) + marker +
                      "#line 1 \"" + script.string() + "\"\n" +
                      "#include \"resource.h\"\nIDI ICON \"resources/app_icon.ico\"\n" + "icon.rc\n");
        // Started, not become: the wrapper stays to remove the copy.
        EXPECT_NE(result.out.substr(0, result.out.find('\n')), "pid=" + std::to_string(result.pid));
        EXPECT_TRUE(fs::is_empty(work / "obj"));
    }
}

TEST(TorvexCCTest, ASignalThatStopsTheBuildStillLetsTheCopyOfAScriptGo) {
    const Rig rig;
    writeFile(rig.tools / "mingw-bin", rig.bin.string());
    // The build is stopped while the tool runs: the wrapper is told to end.
    writeScript(rig.bin / "x86_64-w64-mingw32-windres",
                "[ \"$(readlink /proc/$PPID/exe)\" = " + shellQuoted(fs::canonical(wrapper()).string()) +
                    " ] && kill -TERM $PPID\nexit 0\n");
    const fs::path script = rig.dir / "plugin/windows/icon.rc";
    writeFile(script, "IDI ICON \"resources\\\\app_icon.ico\"\n");
    const fs::path work = rig.dir / "build";
    fs::create_directories(work / "obj");

    const SpawnResult result = spawnAndWait(
        {wrapper(), {rig.link("shim-windres").string(), "-O", "coff", script.string(), "obj/icon.rc.res"}, work, {}},
        rig.dir.path());

    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_TRUE(fs::is_empty(work / "obj"));
}
