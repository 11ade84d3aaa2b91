#include "Core/LinkPlacement.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;

// The names in `folder` other than `except`.
std::vector<std::string> othersIn(const fs::path& folder, const std::string& except) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename() != except) names.push_back(entry.path().filename().string());
    return names;
}

TEST(LinkPlacementTest, ALinkReplacesWhatStandsAtItsPlaceInOneStepAndLeavesNoTemporary) {
    const struct {
        const char* name;
        std::function<void(const fs::path& place)> before;
    } cases[] = {
        {"nothing", [](const fs::path&) {}},
        {"a file", [](const fs::path& place) { testing::writeFile(place, "old"); }},
        {"a link elsewhere", [](const fs::path& place) { fs::create_symlink("/elsewhere", place); }},
        {"a dangling link", [](const fs::path& place) { fs::create_symlink(place.parent_path() / "gone", place); }},
        {"a FIFO", [](const fs::path& place) { ASSERT_EQ(::mkfifo(place.c_str(), 0600), 0); }},
        {"temporaries a crashed process of this pid left",
         [](const fs::path& place) {
             for (int n = 1; n <= 200; ++n)
                 testing::writeFile(place.parent_path() / (".tool.link-" + std::to_string(::getpid()) + "-" +
                                                           std::to_string(n)),
                                    "");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const testing::TempDir dir;
        const fs::path target = dir / "target", place = dir / "folder" / "tool";
        fs::create_directories(place.parent_path());
        c.before(place);
        const auto left = othersIn(place.parent_path(), "tool");

        placeLink(target, place);

        EXPECT_EQ(fs::read_symlink(place), target);
        EXPECT_LE(othersIn(place.parent_path(), "tool").size(), left.size()) << "a temporary link stayed";
    }
}

TEST(LinkPlacementTest, AFolderAtThePlaceOrAMissingFolderThrowsAndLeavesNothing) {
    const testing::TempDir dir;
    fs::create_directories(dir / "tool" / "inside");
    EXPECT_THROW(placeLink(dir / "target", dir / "tool"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "tool")));
    EXPECT_EQ(othersIn(dir.path(), "tool").size(), 0u);
    EXPECT_THROW(placeLink(dir / "target", dir / "missing" / "tool"), fs::filesystem_error);
}

TEST(LinkPlacementTest, EnsureLinkMakesTheFolderAndLeavesALinkThatIsRightAsItIs) {
    const testing::TempDir dir;
    const fs::path place = dir / "a" / "b" / "tool";
    ensureLink(dir / "target", place);
    EXPECT_EQ(fs::read_symlink(place), dir / "target");

    struct stat before {}, after {};
    ASSERT_EQ(::lstat(place.c_str(), &before), 0);
    ensureLink(dir / "target", place);
    ASSERT_EQ(::lstat(place.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "an equal link is not replaced";

    ensureLink(dir / "other", place);
    EXPECT_EQ(fs::read_symlink(place), dir / "other");
}

} // namespace
} // namespace torvex
