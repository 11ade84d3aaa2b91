#include "Core/Version.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <memory>

using namespace torvex::testing;
namespace fs = std::filesystem;
namespace TorvexVersion = torvex::TorvexVersion;

namespace {

std::string runAndRead(const fs::path& program, const std::string& arguments = "") {
    std::string command = "'";  // appended: GCC 12 at -O3 falsely warns (-Wrestrict) on `"'" + text`
    command += program.string() + "' " + arguments;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    std::array<char, 256> buffer{};
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) out += buffer.data();
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

} // namespace

TEST(VersionTest, WalkFindsTheInnermostBundleWithAVersion) {
    const TempDir dir;
    // B.app holds A.app, which has an Info.plist without the version key.
    const fs::path b = dir / "B.app";
    const fs::path a = b / "Contents/Resources/A.app";
    writeInfoPlist(b, versionEntry("7.2.1"));
    writeInfoPlist(a, "<key>CFBundleName</key><string>A</string>");
    writeFile(a / "Contents/MacOS/tool", "");
    // C.app has an empty version string; D.app an unreadable plist; E.app holds a plain folder x.app.
    writeInfoPlist(dir / "C.app", versionEntry(""));
    writeFile(dir / "C.app/Contents/MacOS/tool", "");
    writeFile(dir / "D.app/Contents/Info.plist", "not a plist");
    writeFile(dir / "D.app/Contents/MacOS/tool", "");
    writeFile(dir / "plain/bin/tool", "");
    writeInfoPlist(dir / "E.app", versionEntry("3.0"));
    writeFile(dir / "E.app/x.app", "");
    // F.app's Info.plist is a folder and H.app's a FIFO; G.app lies in a bundle with a version.
    fs::create_directories(dir / "F.app/Contents/Info.plist");
    writeFile(dir / "F.app/Contents/MacOS/tool", "");
    writeFile(dir / "H.app/Contents/MacOS/tool", "");
    ASSERT_EQ(::mkfifo((dir / "H.app/Contents/Info.plist").c_str(), 0644), 0);
    fs::create_directories(dir / "E.app/Contents/G.app/Contents/Info.plist");
    writeFile(dir / "E.app/Contents/G.app/Contents/MacOS/tool", "");

    struct Case { fs::path executable; std::string expected; };
    const Case cases[] = {
        {a / "Contents/MacOS/tool", "7.2.1"},
        {dir / "C.app/Contents/MacOS/tool", ""},
        {dir / "D.app/Contents/MacOS/tool", TorvexVersion::compiled()},
        {dir / "plain/bin/tool", TorvexVersion::compiled()},
        {dir / "E.app/x.app", "3.0"},  // the executable itself is never examined
        {dir / "F.app/Contents/MacOS/tool", TorvexVersion::compiled()},
        {dir / "H.app/Contents/MacOS/tool", TorvexVersion::compiled()},
        {dir / "E.app/Contents/G.app/Contents/MacOS/tool", "3.0"},
        {"/usr/local/bin/torvex", "0.1.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(TorvexVersion::forExecutable(c.executable), c.expected) << c.executable;
}

TEST(VersionTest, ARealProgramStartedThroughALinkOutsideItsBundleReadsTheBundle) {
    const TempDir dir;
    const fs::path app = dir / "Probe.app";
    writeInfoPlist(app, versionEntry("9.8.7"));
    fs::create_directories(app / "Contents/MacOS");
    fs::copy_file(VERSION_PROBE, app / "Contents/MacOS/version-probe");
    fs::create_directories(dir / "bin");
    fs::create_symlink(app / "Contents/MacOS/version-probe", dir / "bin/probe");

    EXPECT_EQ(runAndRead(dir / "bin/probe"), "9.8.7");
}

TEST(VersionTest, TheBuiltBundleIsComplete) {
    const fs::path bundle = builtBundle();
    for (const char* program : {"Contents/MacOS/torvex", "Contents/MacOS/torvex-host", "Contents/Helpers/torvex-cc"}) {
        EXPECT_TRUE(fs::is_regular_file(bundle / program)) << program;
    }
    EXPECT_EQ(runAndRead(bundle / "Contents/MacOS/torvex", "--version"), "0.1.0");
    EXPECT_EQ(TorvexVersion::forExecutable(bundle / "Contents/MacOS/torvex-host"), "0.1.0");
}
