#include "Core/SystemInfo.h"

#include "Core/Paths.h"
#include "support/TestSupport.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Kind = SupportedFlutter::Verdict::Kind;

TEST(SystemInfoTest, VerdictsAndWarnings) {
    struct Case {
        std::optional<std::string> version;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"3.47.0", Kind::supported},   {"3.45.0", Kind::supported},     {"3.46", Kind::supported},
        {"3.47.0-0.1.pre", Kind::supported}, {"x.3.47", Kind::supported}, {"+3.45", Kind::supported},
        {"3.44.9", Kind::older},       {"2.99.0", Kind::older},         {"-3.50", Kind::older},
        {"3.48.0", Kind::newer},       {"4.0.0", Kind::newer},          {"3.48.0-1.0.pre", Kind::newer},
        {"3..48", Kind::newer},        {"3", Kind::unknown},            {"beta", Kind::unknown},
        {"", Kind::unknown},           {std::nullopt, Kind::unknown},   {"3.+-47", Kind::unknown},
        {"3.99999999999999999999", Kind::unknown},
    };
    for (const auto& c : cases) {
        const std::string label = c.version.value_or("(none)");
        const bool carriesText = c.kind == Kind::newer || c.kind == Kind::older;
        EXPECT_EQ(SupportedFlutter::check(c.version),
                  (SupportedFlutter::Verdict{c.kind, carriesText ? *c.version : ""}))
            << label;
        const auto warning = SupportedFlutter::warning(c.version);
        if (c.kind == Kind::newer)
            EXPECT_EQ(warning, "Flutter " + *c.version +
                                   " is newer than Torvex has been tested with (3.45\xE2\x80\x93" "3.47). "
                                   "Continuing; please report problems.")
                << label;
        else if (c.kind == Kind::older)
            EXPECT_EQ(warning, "Flutter " + *c.version +
                                   " is older than Torvex supports (3.45\xE2\x80\x93" "3.47). "
                                   "Continuing, but consider `flutter upgrade`.")
                << label;
        else
            EXPECT_EQ(warning, std::nullopt) << label;
    }
    EXPECT_EQ(SupportedFlutter::supportedRange(), "3.45\xE2\x80\x93" "3.47");
}

TEST(SystemInfoTest, RosettaRulesOfBothPlatforms) {
    const TempDir dir;
    // Stand-in arch tools that record their arguments.
    writeScript(dir / "arch-ok", "echo \"$@\" >> '" + (dir / "ran").string() + "'\nexit 0\n");
    writeScript(dir / "arch-fails", "echo \"$@\" >> '" + (dir / "ran").string() + "'\nexit 1\n");
    struct Case {
        const char* name;
        SystemFacts::Rules rules;
        std::string machine;
        bool appleSilicon;
        fs::path archTool;
        bool installed;
        bool starts;
    };
    const std::vector<Case> cases = {
        {"Linux x86_64 runs Wine natively", SystemFacts::Rules::otherUnix, "x86_64", false, dir / "arch-ok", true, false},
        {"Linux on another processor", SystemFacts::Rules::otherUnix, "aarch64", false, dir / "arch-ok", false, false},
        {"Intel Mac needs no Rosetta", SystemFacts::Rules::macOS, "x86_64", false, dir / "arch-fails", true, false},
        {"Apple silicon with Rosetta", SystemFacts::Rules::macOS, "arm64", true, dir / "arch-ok", true, true},
        {"Apple silicon without Rosetta", SystemFacts::Rules::macOS, "arm64", true, dir / "arch-fails", false, true},
        {"Apple silicon, arch cannot start", SystemFacts::Rules::macOS, "arm64", true, dir / "missing", false, false},
    };
    for (const auto& c : cases) {
        fs::remove(dir / "ran");
        SystemFacts facts;
        facts.rules = c.rules;
        facts.machine = c.machine;
        facts.appleSilicon = c.appleSilicon;
        facts.archTool = c.archTool;
        EXPECT_EQ(SystemInfo::isRosettaInstalled(facts), c.installed) << c.name;
        EXPECT_EQ(readFile(dir / "ran"), c.starts ? "-x86_64 /usr/bin/true\n" : "") << c.name;
    }
    EXPECT_EQ(SystemInfo::rosettaInstallCommand, "softwareupdate --install-rosetta --agree-to-license");
    EXPECT_EQ(SystemInfo::minimumFreeBytes, 5'000'000'000);
}

TEST(SystemInfoTest, TheRunningMachineIsReportedTruthfully) {
    struct utsname names {};
    ASSERT_EQ(::uname(&names), 0);
    const SystemFacts facts = currentSystemFacts();
    EXPECT_EQ(SystemInfo::operatingSystemName(facts), "Linux");
    const auto version = SystemInfo::operatingSystemVersion(facts);
    const std::string prefix = std::to_string(version.majorVersion) + "." + std::to_string(version.minorVersion);
    EXPECT_EQ(std::string(names.release).rfind(prefix, 0), 0u) << names.release;
    EXPECT_GT(version.majorVersion, 0);
    EXPECT_EQ(SystemInfo::operatingSystemDescription(facts).rfind("Linux " + prefix + ".", 0), 0u);
    EXPECT_EQ(facts.machine, names.machine);
    if (facts.machine == "x86_64") {
        EXPECT_FALSE(SystemInfo::isAppleSilicon(facts));
        EXPECT_TRUE(SystemInfo::isRosettaInstalled(facts));
    }

    struct statvfs info {};
    ASSERT_EQ(::statvfs(homeFolder().c_str(), &info), 0);
    const auto expected = static_cast<std::int64_t>(info.f_bavail * info.f_frsize);
    ASSERT_TRUE(SystemInfo::freeDiskBytes(facts).has_value());
    EXPECT_NEAR(static_cast<double>(*SystemInfo::freeDiskBytes(facts)), static_cast<double>(expected), 1e9)
        << "free space of the home folder's volume";
}
