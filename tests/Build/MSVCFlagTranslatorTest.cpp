#include "Build/MSVCFlagTranslator.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace MSVCFlagTranslator = torvex::MSVCFlagTranslator;
using Strings = std::vector<std::string>;

TEST(MSVCFlagTranslatorTest, CompilerArgumentsFollowTheTableAndTheExistenceRule) {
    // The paths that "exist" for these cases; relative ones as in the working folder.
    const std::set<std::string> existing{"/tmp", "present.lib", "/Fo"};
    struct Case {
        Strings input;
        Strings arguments;
        Strings unknown;
    };
    const Case cases[] = {
        {{}, {}, {}},
        // Each warning level also makes narrowing of constants a warning, as MSVC-style code expects.
        {{"/W0", "/W4", "/Wall"},
         {"-Wall", "-Wno-error=c++11-narrowing", "-Wall", "-Wno-error=c++11-narrowing", "-Wall",
          "-Wno-error=c++11-narrowing"},
         {}},
        {{"/W1", "/W2", "/W3"},
         {"-Wall", "-Wno-error=c++11-narrowing", "-Wall", "-Wno-error=c++11-narrowing", "-Wall",
          "-Wno-error=c++11-narrowing"},
         {}},
        {{"/O1", "/O2", "/Ox", "/Od", "/Os"}, {"-O2", "-O2", "-O2", "-O0"}, {"/Os"}},
        {{"/Zi", "/Z7", "/ZI", "/bigobj", "/bigobj-"}, {"-g", "-g", "-g", "-Wa,-mbig-obj"}, {}},
        {{"/std:c++14", "/std:c++17", "/std:c++20", "/std:c++latest", "/std:c11"},
         {"-std=c++14", "-std=c++17", "-std=c++20", "-std=c++2c"}, {"/std:c11"}},
        {{"/WX", "/GR", "/GR-", "/MD", "/MDd", "/MT", "/MTd", "/nologo", "/utf-8", "/FS", "/Gy", "/Gm-"}, {}, {}},
        {{"/EHsc", "/permissive-", "/Zc:__cplusplus", "/MP8", "/wd4100", "/we4996", "/wo4005", "/sdl-", "/guard:cf",
          "/diagnostics:caret", "/external:W0", "/Ehsc"},
         {}, {"/Ehsc"}},
        // Defines, undefines, include folders; a bare /D stands alone and the next argument is its own.
        {{"/DUNICODE", "/DNAME=\"x y\"", "/UNDEBUG", "/Iinclude", "/D", "/DX"}, {"-DUNICODE", "-DNAME=\"x y\"", "-UNDEBUG",
                                                                                  "-Iinclude", "-D", "-DX"}, {}},
        {{"/FIpch.h", "/fipch.h", "/Fipch.h", "/FI"}, {"-include", "pch.h", "-include", "pch.h", "-include", "pch.h",
                                                        "-include", ""}, {}},
        // A second "/" makes it a path; an existing one-level path is a path; a missing one is a flag.
        {{"/I/opt/include", "/usr/include/x.h", "/tmp", "/Fo", "/Fd", "/nonexistent"},
         {"/I/opt/include", "/usr/include/x.h", "/tmp", "/Fo"}, {"/Fd", "/nonexistent"}},
        {{"user32.lib", "USER32.LIB", "lib/foo.lib", "present.lib", ".lib", "/dwmapi.lib"},
         {"-luser32", "USER32.LIB", "lib/foo.lib", "present.lib", "-l"}, {"/dwmapi.lib"}},
        // Neither an option nor the value of -o is a library name, nor a flag.
        {{"-Wl,--out-implib,x.lib", "-o", "x.lib", "-o", "/out", "-x.lib", "-o"},
         {"-Wl,--out-implib,x.lib", "-o", "x.lib", "-o", "/out", "-x.lib", "-o"}, {}},
        {{"-mwindows", "-municode", "-O3", "@flags.rsp", "main.cpp", ""},
         {"-mwindows", "-municode", "-municode", "-O3", "@flags.rsp", "main.cpp", ""}, {}},
        // A plugin's own -Werror goes like /WX; a warning it names stays an error, and -o's value stays.
        {{"-Wall", "-Wextra", "-Werror", "-Werror=return-type", "-Wno-error", "-o", "-Werror"},
         {"-Wall", "-Wextra", "-Werror=return-type", "-Wno-error", "-o", "-Werror"}, {}},
        // Unknown flags are reported in input order and the rest keeps its order.
        {{"/Fa", "-c", "/W4", "/Fb", "x.c"}, {"-c", "-Wall", "-Wno-error=c++11-narrowing", "x.c"}, {"/Fa", "/Fb"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> asked;
        const auto fileExists = [&](const std::string& path) {
            asked.push_back(path);
            return existing.count(path) > 0;
        };
        const MSVCFlagTranslator::Result result = MSVCFlagTranslator::translateCompilerArguments(c.input, fileExists);
        EXPECT_EQ(result, (MSVCFlagTranslator::Result{c.arguments, c.unknown})) << ::testing::PrintToString(c.input);
        for (const std::string& path : asked) {
            // Only flag-shaped or bare-library-shaped arguments are ever looked up.
            const bool flagShaped = path.front() == '/' && path.find('/', 1) == std::string::npos;
            const bool libraryShaped = path.size() >= 4 && path.substr(path.size() - 4) == ".lib" &&
                                       path.find('/') == std::string::npos;
            EXPECT_TRUE(flagShaped || libraryShaped) << path;
        }
    }
}

TEST(MSVCFlagTranslatorTest, SingleFlagsMapToListsOrNothing) {
    struct Case {
        std::string flag;
        std::optional<Strings> mapped;
    };
    const Case cases[] = {
        {"/W4", Strings{"-Wall", "-Wno-error=c++11-narrowing"}},
        {"/WX", Strings{}},
        {"/MP", Strings{}},
        {"/FIa.h", Strings{"-include", "a.h"}},
        {"/D", Strings{"-D"}},
        {"/w4", std::nullopt},
        {"/Fo", std::nullopt},
        {"/", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(MSVCFlagTranslator::mapMSVCFlag(c.flag), c.mapped) << c.flag;
}

TEST(MSVCFlagTranslatorTest, ResourceCompilerEscapesQuotesOfDefinesOnly) {
    const Strings input{
        "-DVERSION_AS_STRING=\"1.2.3\"", // quoted value
        "-DPATH=\\\"a\\\"",              // already escaped: gains another backslash before each quote
        "-DVERSION=1,2,3,0",             // no quote
        "/DNAME=\"x\"",                  // an MSVC-style define is not touched
        "-I\"inc\"",                     // only defines
        "-O", "coff", "app.rc", "",
    };
    const Strings expected{
        "-DVERSION_AS_STRING=\\\"1.2.3\\\"",
        "-DPATH=\\\\\"a\\\\\"",
        "-DVERSION=1,2,3,0",
        "/DNAME=\"x\"",
        "-I\"inc\"",
        "-O", "coff", "app.rc", "",
    };
    EXPECT_EQ(MSVCFlagTranslator::translateResourceCompilerArguments(input), expected);
    EXPECT_EQ(MSVCFlagTranslator::translateResourceCompilerArguments({}), Strings{});
}

TEST(MSVCFlagTranslatorTest, ResourceScriptsNameTheirFilesWithSlashes) {
    struct Case {
        const char* name;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"the template's icon line", "IDI_APP_ICON ICON \"resources\\\\app_icon.ico\"\r\n",
         "IDI_APP_ICON ICON \"resources/app_icon.ico\"\r\n"},
        {"blanks of any kind after the closing quote", "A ICON \"a\\\\b.ico\" \u00a0\t\u3000\nB PNG \"c\\\\d.PNG\"\u2028",
         "A ICON \"a/b.ico\" \u00a0\t\u3000\nB PNG \"c/d.PNG\"\u2028"},
        {"anything else after the quote, or another kind of file",
         "A ICON \"a\\\\b.ico\"\u00ad\nB RCDATA \"c\\\\d.bin\"\nC ICON \"e\\\\f.ico\" \"x\"\n",
         "A ICON \"a\\\\b.ico\"\u00ad\nB RCDATA \"c\\\\d.bin\"\nC ICON \"e\\\\f.ico\" \"x\"\n"},
        {"no line end, and empty lines kept", "\n\nI ICON \"a\\\\\\\\b.ico\"", "\n\nI ICON \"a//b.ico\""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const std::string once = MSVCFlagTranslator::translateResourceScript(c.input);
        EXPECT_EQ(once, c.expected) << c.name;
        // A script that staging patched already comes through the wrapper unchanged.
        EXPECT_EQ(MSVCFlagTranslator::translateResourceScript(once), once) << c.name;
    }
}
