#include "Build/SDKHeaderOverlay.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sys/stat.h>

namespace torvex {
namespace {
namespace fs = std::filesystem;

std::set<std::string> names(const nlohmann::json& contents) {
    std::set<std::string> result;
    for (const auto& entry : contents) result.insert(entry.at("name").get<std::string>());
    return result;
}

const nlohmann::json& entry(const nlohmann::json& contents, const std::string& name) {
    for (const auto& candidate : contents)
        if (candidate.at("name") == name) return candidate;
    throw std::runtime_error("no entry " + name);
}

TEST(SDKHeaderOverlay, CoversEveryFileBelowTheFolderUnderItsGivenAndResolvedPath) {
    testing::TempDir temp;
    const fs::path real = temp / "mingw" / "include";
    testing::writeFile(real / "windows.h", "");
    testing::writeFile(real / "versionhelpers.h", "");
    testing::writeFile(real / "gdiplus" / "gdiplus.h", "");
    testing::writeFile(real / "twin.h", "");
    testing::writeFile(real / "Twin.h", "");  // only letter case tells them apart: both left to the file system
    fs::create_symlink("windows.h", real / "linked.h");
    fs::create_symlink("missing.h", real / "dangling.h");
    fs::create_symlink(".", real / "loop");
    ASSERT_EQ(::mkfifo((real / "fifo").c_str(), 0600), 0);
    fs::create_directory_symlink(temp / "mingw", temp / "sysroot");
    const fs::path given = temp / "sysroot" / "include";

    const nlohmann::json overlay = nlohmann::json::parse(sdkHeaderOverlay(given));
    EXPECT_EQ(overlay.at("case-sensitive"), "false");
    const auto& roots = overlay.at("roots");
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_EQ(roots[0].at("name"), given.string());
    EXPECT_EQ(roots[1].at("name"), fs::canonical(real).string());
    EXPECT_EQ(roots[0].at("contents"), roots[1].at("contents"));

    const auto& contents = roots[0].at("contents");
    EXPECT_EQ(names(contents), (std::set<std::string>{"gdiplus", "linked.h", "loop", "versionhelpers.h", "windows.h"}));
    EXPECT_EQ(entry(contents, "windows.h").at("external-contents"), (given / "windows.h").string());
    EXPECT_EQ(entry(contents, "linked.h").at("type"), "file");
    const auto& gdiplus = entry(contents, "gdiplus");
    EXPECT_EQ(gdiplus.at("type"), "directory");
    EXPECT_EQ(entry(gdiplus.at("contents"), "gdiplus.h").at("external-contents"),
              (given / "gdiplus" / "gdiplus.h").string());
    // A folder that holds itself ends after a few levels.
    int depth = 0;
    for (const nlohmann::json* loop = &entry(contents, "loop"); loop; ++depth) {
        const auto& inner = loop->at("contents");
        loop = names(inner).contains("loop") ? &entry(inner, "loop") : nullptr;
    }
    EXPECT_LT(depth, 10);
}

TEST(SDKHeaderOverlay, AMissingFolderGivesAnOverlayWithoutRoots) {
    testing::TempDir temp;
    for (const fs::path& folder : {temp / "none", temp / "file.h"}) {
        testing::writeFile(temp / "file.h", "");
        const nlohmann::json overlay = nlohmann::json::parse(sdkHeaderOverlay(folder));
        EXPECT_TRUE(overlay.at("roots").empty()) << folder;
    }
}

} // namespace
} // namespace torvex
