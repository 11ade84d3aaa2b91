#include "Service/SocketFolder.h"

#include "Core/TorvexError.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

// The folder that `path` names, identified by device and inode.
std::pair<dev_t, ino_t> identity(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return {info.st_dev, info.st_ino};
}

std::pair<dev_t, ino_t> identity(const SocketFolder& folder) {
    struct stat info {};
    EXPECT_EQ(::fstat(folder.fd(), &info), 0);
    return {info.st_dev, info.st_ino};
}

void setMode(const fs::path& path, mode_t mode) { ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; }

} // namespace

TEST(SocketFolderTest, EveryComponentOnTheWayIsChecked) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& temp)> make;
        std::string folder;  // under temp
        std::string opens;   // the folder it opens, under temp; empty: refused
        std::string why;     // with "<temp>" for the temporary folder
    };
    const Case cases[] = {
        {"a private folder", [](const fs::path& t) { fs::create_directories(t / "a" / "b"); }, "a/b", "a/b", ""},
        {"a parent others may write to",
         [](const fs::path& t) {
             fs::create_directories(t / "shared" / "sock");
             setMode(t / "shared", 0777);
         },
         "shared/sock", "", "Other users may write to <temp>/shared, and it is not sticky"},
        {"a sticky parent, as /tmp",
         [](const fs::path& t) {
             fs::create_directories(t / "sticky" / "sock");
             setMode(t / "sticky", 01777);
         },
         "sticky/sock", "sticky/sock", ""},
        {"the user's own link, followed and its target checked",
         [](const fs::path& t) {
             fs::create_directories(t / "real");
             fs::create_directories(t / "links");
             fs::create_symlink("../real", t / "links" / "sock");
         },
         "links/sock", "real", ""},
        {"a link into a folder others may write to",
         [](const fs::path& t) {
             fs::create_directories(t / "shared" / "sock");
             setMode(t / "shared", 0777);
             fs::create_symlink(t / "shared" / "sock", t / "sock");
         },
         "sock", "", "Other users may write to <temp>/shared,"},
        {"dot-dot on the way", [](const fs::path& t) { fs::create_directories(t / "a" / "b"); }, "a/b/../b/.", "a/b", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir temp;
        c.make(temp.path());
        const uid_t user = ::geteuid();
        if (c.opens.empty()) {
            const TorvexError error = errorOf([&] { SocketFolder::open(temp / c.folder, false, user); });
            std::string why = c.why;
            why.replace(why.find("<temp>"), 6, temp.path().string());
            EXPECT_EQ(error.what, "The folder of the Torvex socket is not safe.");
            EXPECT_NE(error.why.find(why), std::string::npos) << error.why;
            EXPECT_NE(error.fix.find("TORVEX_SOCKET"), std::string::npos) << error.fix;
            continue;
        }
        const SocketFolder folder = SocketFolder::open(temp / c.folder, false, user);
        EXPECT_EQ(identity(folder), identity(temp / c.opens));
        EXPECT_EQ(::fcntl(folder.fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
}

TEST(SocketFolderTest, AFolderOfAnotherUserIsRefused) {
    const TempDir temp;
    fs::create_directories(temp / "a" / "b");
    // As root, "a" is given to nobody; otherwise the check judges for a user who owns nothing here.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::lchown((temp / "a").c_str(), 65534, 65534), 0);
    }
    const uid_t user = root ? 0 : ::geteuid() + 1000;
    const fs::path theirs = root ? temp / "a" : temp.path();
    const std::string owner = root ? "65534" : std::to_string(::geteuid());
    const TorvexError error = errorOf([&] { SocketFolder::open(temp / "a" / "b", true, user); });
    EXPECT_EQ(error.what, "The folder of the Torvex socket is not safe.");
    EXPECT_EQ(error.why, theirs.string() + " belongs to another user (uid " + owner +
                             "), who could replace the socket or plant links in it.");
    EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a path in a folder only you can write to.");
    if (!root) {
        EXPECT_EQ(identity(SocketFolder::open(temp / "a" / "b", false)), identity(temp / "a" / "b"))
            << "its owner may use it";
    }
}

TEST(SocketFolderTest, MissingFoldersAreMadePrivateOnlyWhenAsked) {
    const TempDir temp;
    const fs::path folder = temp / "x" / "y";
    EXPECT_THROW(SocketFolder::open(folder, false), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(temp / "x"));
    const SocketFolder made = SocketFolder::open(folder, true);
    EXPECT_EQ(identity(made), identity(folder));
    for (const fs::path& each : {temp / "x", folder}) {
        struct stat info {};
        ASSERT_EQ(::stat(each.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << each;
    }
    writeFile(temp / "file", "a file where a folder must be");
    try {
        SocketFolder::open(temp / "file" / "sock", true);
        ADD_FAILURE() << "opened";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.path1(), temp / "file");
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
}

TEST(SocketFolderTest, ALinkOrAFolderThatAnotherUserPlantedIsNeverFollowed) {
    if (!OtherUser::available()) GTEST_SKIP() << "needs root to act as another user";
    const TempDir temp;
    const fs::path shared = temp / "shared";
    fs::create_directories(shared);
    setMode(shared, 01777);
    fs::create_directories(temp / "private");
    OtherUser::letThrough(shared);
    const std::string link = (shared / "sock").string(), target = (temp / "private").string();
    const std::string folder = (shared / "theirs").string();
    OtherUser nobody([&] {
        return ::symlink(target.c_str(), link.c_str()) == 0 && ::mkdir(folder.c_str(), 0700) == 0 ? 0 : 1;
    });
    ASSERT_EQ(nobody.wait(), 0);

    const TorvexError followed = errorOf([&] { SocketFolder::open(shared / "sock", true); });
    EXPECT_EQ(followed.why, link + " is a link of another user (uid 65534), which Torvex does not follow.");
    const TorvexError entered = errorOf([&] { SocketFolder::open(shared / "theirs" / "sub", true); });
    EXPECT_NE(entered.why.find(folder + " belongs to another user (uid 65534)"), std::string::npos) << entered.why;
    EXPECT_FALSE(fs::exists(shared / "theirs" / "sub")) << "nothing is made in it";
}
