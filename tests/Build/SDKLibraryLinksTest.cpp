#include "Build/SDKLibraryLinks.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
namespace SDKLibraryLinks = torvex::SDKLibraryLinks;
using namespace std::string_literals;

std::string le(std::uint64_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i) text += static_cast<char>((value >> (8 * i)) & 0xff);
    return text;
}

struct Section {
    std::string name;  // at most 8 characters
    std::string data;
};

// A COFF object for x86-64 with these sections; `big` makes it the /bigobj form.
std::string coffObject(const std::vector<Section>& sections, bool big = false) {
    std::string header;
    if (big) {
        header = le(0, 2) + le(0xffff, 2) + le(2, 2) + le(0x8664, 2) + le(0, 4) +
                 std::string("\xc7\xa1\xba\xd1\xee\xba\xa9\x4b\xaf\x20\xfa\xf6\x6a\xa4\xdc\xb8", 16) + std::string(16, '\0') +
                 le(sections.size(), 4) + le(0, 4) + le(0, 4);
    } else {
        header = le(0x8664, 2) + le(sections.size(), 2) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 2) + le(0, 2);
    }
    std::size_t data = header.size() + 40 * sections.size();
    std::string table;
    std::string contents;
    for (const Section& section : sections) {
        table += (section.name + std::string(8, '\0')).substr(0, 8) + le(0, 4) + le(0, 4) + le(section.data.size(), 4) +
                 le(data + contents.size(), 4) + le(0, 4) + le(0, 4) + le(0, 2) + le(0, 2) + le(0, 4);
        contents += section.data;
    }
    return header + table + contents;
}

// An archive member header and its data, padded to an even length.
std::string member(const std::string& name, const std::string& data) {
    std::string header = (name + std::string(16, ' ')).substr(0, 16) + std::string(12, ' ') + std::string(6, ' ') +
                         std::string(6, ' ') + std::string(8, ' ') + (std::to_string(data.size()) + "          ").substr(0, 10) +
                         "`\n";
    return header + data + (data.size() % 2 == 1 ? "\n" : "");
}

std::string withDirectives(const std::string& directives, bool big = false) {
    return coffObject({{".text", "\xc3"}, {".data", "12345678"}, {".drectve", directives}}, big);
}

// Short import members start like a big object but are version 0.
const std::string importMember = le(0, 2) + le(0xffff, 2) + le(0, 2) + le(0x8664, 2) + std::string(12, '\0') +
                                 "GetDeviceCaps\0gdi32.dll\0"s;

Strings directives(const std::string& file) {
    return SDKLibraryLinks::directiveLibraries([&](std::uint64_t offset, std::size_t length) {
        return offset >= file.size() ? std::string() : file.substr(offset, length);
    });
}

TEST(SDKLibraryLinksTest, DirectivesAreReadFromObjectsAndArchivesOfThem) {
    const std::string gdi = withDirectives(" /DEFAULTLIB:Gdi32.lib /DEFAULTLIB:\"GdiPlus.lib\" -export:f");
    struct Case {
        const char* name;
        std::string file;
        Strings libraries;
    };
    const Case cases[] = {
        {"an object as clang writes it", gdi, {"Gdi32.lib", "GdiPlus.lib"}},
        {"a big object", withDirectives("/DEFAULTLIB:WinMM.lib", true), {"WinMM.lib"}},
        {"the option in any case and with '-', quotes around blanks, a BOM, padding",
         withDirectives("\xef\xbb\xbf-defaultlib:Shlwapi.lib\t/defaultLib:\"My Lib.lib\"\r\n/DEFAULTLIB:a\\\"b.lib"
                        "\0\0\0 /DEFAULTLIB:after-padding.lib"s),
         {"Shlwapi.lib", "My Lib.lib", "a\"b.lib"}},
        {"options that name no library", withDirectives("/DEFAULTLIB: /DEFAULTLIB /NODEFAULTLIB:x.lib /merge:a=b"), {}},
        {"no directive section", coffObject({{".text", "\xc3"}}), {}},
        {"an archive: its index, long names, an import member, a BSD name, objects",
         "!<arch>\n" + member("/", le(0, 4)) + member("//", "long_object_name.obj/\n") + member("gdi32.dll/", importMember) +
             member("/0", gdi) + member("#1/8", "odd.obj\0"s + withDirectives("/DEFAULTLIB:Dwmapi.lib")),
         {"Gdi32.lib", "GdiPlus.lib", "Dwmapi.lib"}},
        {"an archive that ends inside a member", "!<arch>\n" + member("a.obj/", gdi).substr(0, 70), {}},
        {"a thin archive", "!<thin>\n" + member("a.obj/", ""), {}},
        {"an import member alone", importMember, {}},
        {"an object cut short in its section table", gdi.substr(0, 70), {}},
        {"a directive section cut short",
         coffObject({{".drectve", "/DEFAULTLIB:x.lib"}}).substr(0, 60 + 10), {}},
        {"LLVM bitcode", "BC\xc0\xde" + std::string(64, '\0'), {}},
        {"a Windows program", "MZ" + std::string(200, '\0'), {}},
        {"nothing", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(directives(c.file), c.libraries);
    }
}

TEST(SDKLibraryLinksTest, ArchiveNamesAreTheFilesLldLooksFor) {
    struct Case {
        std::string name;
        bool directive;
        std::optional<std::string> archive;
    };
    const Case cases[] = {
        {"Gdi32", false, "libGdi32.a"},
        {"ws2_32", false, "libws2_32.a"},
        {":libfoo.a", false, std::nullopt},
        {"", false, std::nullopt},
        {"Gdi32.lib", true, "libGdi32.a"},
        {"GdiPlus.Lib", true, "libGdiPlus.a"},
        {"Dwmapi", true, "libDwmapi.a"},
        {"foo.bar.lib", true, "libfoo.bar.a"},
        {"lib/foo.lib", true, std::nullopt},
        {"..\\foo.lib", true, std::nullopt},
        {".lib", true, std::nullopt},
        {std::string(300, 'x'), false, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SDKLibraryLinks::archiveName(c.name, c.directive), c.archive) << c.name << " " << c.directive;
    }
}

TEST(SDKLibraryLinksTest, OnlyALinkIsPrepared) {
    EXPECT_TRUE(SDKLibraryLinks::isLinkCommand({"main.obj", "-o", "app.exe", "-lGdi32"}));
    EXPECT_TRUE(SDKLibraryLinks::isLinkCommand({}));
    for (const char* stop : {"-c", "-S", "-E", "-fsyntax-only", "-M", "-MM"}) {
        EXPECT_FALSE(SDKLibraryLinks::isLinkCommand({"-lGdi32", stop, "main.cpp"})) << stop;
    }
}

// `text` with every "{folder}" replaced by `folder`.
std::string withFolder(std::string text, const fs::path& folder) {
    for (auto at = text.find("{folder}"); at != std::string::npos; at = text.find("{folder}", at))
        text.replace(at, 8, folder.string());
    return text;
}

// An SDK library folder and a link folder beside it, as the wrapper has them.
struct LinkRig {
    testing::TempDir temp;
    fs::path sdk = temp / "llvm mingw" / "x86_64-w64-mingw32" / "lib";
    fs::path links = temp / "tools" / "sdk-libraries";
    fs::path project = temp / "project libs";

    LinkRig() {
        for (const char* name : {"libgdi32.a", "libwinmm.a", "libCINTIME.a", "libfoo.a", "libFOO.a", "libshlwapi.a"})
            testing::writeFile(sdk / name, name);
        testing::writeFile(project / "libGdi32.a", "the project's own");
    }

    SDKLibraryLinks::Prepared prepare(const Strings& arguments) const {
        return SDKLibraryLinks::prepareLink(arguments, links, sdk);
    }
    // The link folder's entries and where they lead.
    std::map<std::string, fs::path> linked() const {
        std::map<std::string, fs::path> entries;
        std::error_code error;
        for (fs::directory_iterator entry(links, error), end; !error && entry != end; entry.increment(error)) {
            entries[entry->path().filename()] = fs::read_symlink(entry->path());
        }
        return entries;
    }
};

TEST(SDKLibraryLinksTest, ALinkFindsEachSDKLibraryUnderEverySpellingItAsksFor) {
    LinkRig rig;
    testing::writeFile(rig.temp / "plugin.obj", withDirectives("/DEFAULTLIB:WinMM.lib /DEFAULTLIB:Gdi32.lib"));
    testing::writeFile(rig.temp / "objects" / "more.obj", withDirectives("/DEFAULTLIB:CinTime.lib"));
    testing::writeFile(rig.temp / "objects" / "nested.rsp", "-lSHLWAPI");
    testing::writeFile(rig.temp / "objects" / "link.rsp",
                       "'" + (rig.temp / "objects" / "more.obj").string() + "' @nested.rsp -lwinmm\n");
    const Strings arguments = {"-shared",
                               "-L" + rig.project.string(),
                               "-o",
                               (rig.temp / "plugin.obj").string(),  // the output is no input
                               (rig.temp / "plugin.obj").string(),
                               "-lGdi32",
                               "-l",
                               "Foo",        // the SDK has it in two spellings: which one is unknown
                               "-lnothere",  // not the SDK's
                               "-lgdi32",    // found as spelled
                               "@" + (rig.temp / "objects" / "link.rsp").string()};

    const SDKLibraryLinks::Prepared prepared = rig.prepare(arguments);
    Strings expected = arguments;
    expected.push_back("-L" + rig.links.string());
    EXPECT_EQ(prepared.arguments, expected) << "searched after the project's folders";
    EXPECT_TRUE(prepared.problems.empty()) << ::testing::PrintToString(prepared.problems);
    const std::map<std::string, fs::path> links = {
        {"libGdi32.a", rig.sdk / "libgdi32.a"},
        {"libWinMM.a", rig.sdk / "libwinmm.a"},
        {"libCinTime.a", rig.sdk / "libCINTIME.a"},
        {"libSHLWAPI.a", rig.sdk / "libshlwapi.a"},
    };
    EXPECT_EQ(rig.linked(), links);

    // Again: the links stand; one that leads elsewhere (an SDK moved) is put right.
    fs::remove(rig.links / "libWinMM.a");
    fs::create_symlink(rig.temp / "old sdk" / "libwinmm.a", rig.links / "libWinMM.a");
    EXPECT_EQ(rig.prepare(arguments).arguments, expected);
    EXPECT_EQ(rig.linked(), links);
}

TEST(SDKLibraryLinksTest, ALinkThatNeedsNoOtherSpellingIsLeftAsItIs) {
    LinkRig rig;
    testing::Fifo fifo(rig.temp / "fifo.obj", std::chrono::milliseconds(30000));
    testing::writeFile(rig.temp / "empty.rsp", "");
    const Strings arguments = {"-lgdi32", "-lnothere", "-l:libGdi32.a", (rig.temp / "fifo.obj").string(),
                               (rig.temp / "missing.obj").string(), "@" + (rig.temp / "empty.rsp").string(),
                               "@" + (rig.temp / "missing.rsp").string(), "main.cpp"};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.prepare(arguments).arguments, arguments);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "a FIFO is never read";
    EXPECT_FALSE(fs::exists(rig.links));
}

// Response files that a scan without bounds reads for hours or through gigabytes. Each case ends at
// once only when a loop is skipped and one link reads a bounded number of files and bytes; a missing
// bound shows as ctest's timeout or in which names are found.
TEST(SDKLibraryLinksTest, ResponseFilesThatLoopOrFanOutEndWithTheNamesTheyHold) {
    const auto fourTimes = [](const std::string& word) {
        return " " + word + " " + word + " " + word + " " + word + " ";
    };
    // Each file of a tree 16 deep names the next four times.
    std::vector<std::pair<std::string, std::string>> tree;
    for (int level = 0; level <= 16; ++level) {
        std::string words = fourTimes("@tree" + std::to_string(level + 1) + ".rsp");
        if (level == 0) words = "-lWinMM" + words + "-lSHLWAPI";
        if (level == 15) words += "-lGdi32";  // in the deepest that is read
        tree.emplace_back("tree" + std::to_string(level) + ".rsp", words);
    }
    const std::string large = "-lWinMM" + std::string(9 << 20, ' ');
    Strings manyLarge(2000, "@large.rsp");
    manyLarge.push_back("@after.rsp");

    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // "{folder}" stands for their folder
        Strings arguments;  // "@name" is taken in their folder, where after.rsp asks for CinTime
        std::set<std::string> links;
    };
    const Case cases[] = {
        {"a file that names itself under four spellings",
         {{"self.rsp", "-lWinMM" + fourTimes("@self.rsp") + fourTimes("@./self.rsp") + fourTimes("@{folder}/self.rsp") +
                           fourTimes("@../rsp/self.rsp") + "-lSHLWAPI"}},
         {"@self.rsp", "@after.rsp"},
         {"libWinMM.a", "libSHLWAPI.a", "libCinTime.a"}},
        {"two files that name each other",
         {{"ping.rsp", "-lWinMM" + fourTimes("@pong.rsp")}, {"pong.rsp", "-lSHLWAPI" + fourTimes("@ping.rsp")}},
         {"@ping.rsp", "@after.rsp"},
         {"libWinMM.a", "libSHLWAPI.a", "libCinTime.a"}},
        {"a wide tree of files, which uses up the files one link may read",
         tree,
         {"@tree0.rsp", "@after.rsp"},
         {"libWinMM.a", "libSHLWAPI.a", "libGdi32.a"}},
        {"a large file named many times, which leaves room for a small one", {{"large.rsp", large}}, manyLarge,
         {"libWinMM.a", "libCinTime.a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkRig rig;
        const fs::path folder = rig.temp / "rsp";
        testing::writeFile(folder / "after.rsp", "-lCinTime");
        for (const auto& [name, text] : c.files) {
            testing::writeFile(folder / name, withFolder(text, folder));
        }
        Strings arguments;
        for (const std::string& argument : c.arguments)
            arguments.push_back("@" + (folder / argument.substr(1)).string());

        const SDKLibraryLinks::Prepared prepared = rig.prepare(arguments);
        EXPECT_TRUE(prepared.problems.empty()) << ::testing::PrintToString(prepared.problems);
        std::set<std::string> links;
        for (const auto& [name, target] : rig.linked()) links.insert(name);
        EXPECT_EQ(links, c.links);
    }
}

// Inputs whose every bound holds (members, sections, response files) while their product would
// make the scan read for seconds or minutes: the link's reads end at their own bound, and the link
// goes ahead as given, with one warning.
TEST(SDKLibraryLinksTest, AScanOfTooMuchWorkEndsAndTheLinkGoesAheadAsGiven) {
    // An object claiming 65535 sections whose table the file never holds.
    const std::string manySections =
        le(0x8664, 2) + le(65535, 2) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 2) + le(0, 2);
    std::string archive = "!<arch>\n";
    for (int i = 0; i < 10'000; ++i) archive += member("m.obj/", manySections);
    std::string namedOften;
    for (int i = 0; i < 100'000; ++i) namedOften += "{folder}/many.obj ";

    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        Strings arguments;
    } cases[] = {
        {"an archive of 10000 members that each claim 65535 sections", {{"many.a", archive}}, {"{folder}/many.a"}},
        {"one such object named 100000 times in a response file",
         {{"many.obj", manySections}, {"objects.rsp", namedOften}}, {"@{folder}/objects.rsp"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinkRig rig;
        for (const auto& [name, bytes] : c.files) testing::writeFile(rig.temp / name, withFolder(bytes, rig.temp.path()));
        Strings arguments;
        for (const std::string& argument : c.arguments) arguments.push_back(withFolder(argument, rig.temp.path()));
        arguments.push_back("-lGdi32");  // found as libgdi32.a only through a link
        const SDKLibraryLinks::Prepared prepared = rig.prepare(arguments);
        EXPECT_EQ(prepared.arguments, arguments);
        EXPECT_EQ(prepared.problems,
                  Strings{"the link's objects and archives need more than 256 MiB of reading to find the libraries "
                          "they ask for; linking them as given"});
        EXPECT_FALSE(fs::exists(rig.links));
    }
}

TEST(SDKLibraryLinksTest, ALinkThatCannotBeMadeIsReportedAndNotSearched) {
    LinkRig rig;
    testing::writeFile(rig.links, "a file where the folder goes");
    const SDKLibraryLinks::Prepared prepared = rig.prepare({"-lGdi32"});
    EXPECT_EQ(prepared.arguments, Strings{"-lGdi32"});
    ASSERT_EQ(prepared.problems.size(), 1u);
    EXPECT_TRUE(prepared.problems[0].starts_with("cannot link " + (rig.links / "libGdi32.a").string() + " to " +
                                                 (rig.sdk / "libgdi32.a").string() + ": "))
        << prepared.problems[0];
}

TEST(SDKLibraryLinksTest, TheSDKLibraryFolderLiesBesideTheBinFolder) {
    EXPECT_EQ(SDKLibraryLinks::sdkLibraryFolder("/t/llvm-mingw/bin"), "/t/llvm-mingw/x86_64-w64-mingw32/lib");
    EXPECT_EQ(SDKLibraryLinks::sdkLibraryFolder("/t/llvm-mingw/bin/"), "/t/llvm-mingw/x86_64-w64-mingw32/lib");
    EXPECT_EQ(SDKLibraryLinks::sdkLibraryFolder("/t/./llvm-mingw//bin"), "/t/llvm-mingw/x86_64-w64-mingw32/lib");
}

} // namespace
} // namespace torvex
