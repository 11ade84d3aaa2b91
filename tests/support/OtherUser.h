#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

namespace torvex::testing {

// Another user on the machine: `nobody`, played by a child process that only root can start.
// `act` runs in the child after it became that user and answers its exit status; the test program
// has threads, so it may only make system calls (no allocation, no locks). The child is ended by
// its pid when the object goes, and gets SIGALRM after 60 s in any case.
//
//   if (!OtherUser::available()) GTEST_SKIP() << "needs root";
//   OtherUser nobody([&] { return ::symlink(target, link) == 0 ? 0 : 1; });
//   EXPECT_EQ(nobody.wait(), 0);
class OtherUser {
public:
    static constexpr uid_t uid = 65534;
    static constexpr gid_t gid = 65534;

    // Whether this process may become another user (it runs as root).
    static bool available();

    // Makes `path` and its folders up to "/" passable (others may search them), as a neighbour
    // reaching a shared folder needs; the folders' other bits stay.
    static void letThrough(const std::filesystem::path& path);

    explicit OtherUser(const std::function<int()>& act);
    ~OtherUser();
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;

    // Its exit status (128 + signal when a signal ended it); none when it did not end in `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    pid_t pid_ = -1;
};

} // namespace torvex::testing
