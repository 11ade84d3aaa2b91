#include "Core/Platform/ProcessTree.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace torvex;

namespace {

// A child that sleeps until it is killed; killed and reaped at the end of the scope.
struct SleepingChild {
    pid_t pid = ::fork();
    SleepingChild() {
        if (pid == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    ~SleepingChild() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

} // namespace

TEST(ProcessTreeTest, AProcessIsKnownUntilItEndsAndAZombieIsNoLongerAlive) {
    SleepingChild child;
    ASSERT_GT(child.pid, 0);
    const auto identity = processIdentity(child.pid);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->pid, child.pid);
    EXPECT_EQ(identity->group, ::getpgrp());
    EXPECT_TRUE(isSameProcessAlive(*identity));
    const auto self = processIdentity(::getpid());
    ASSERT_TRUE(self);
    EXPECT_NE(self->startTime, 0u);

    ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT), 0);  // a zombie now
    EXPECT_FALSE(processIdentity(child.pid));
    EXPECT_FALSE(isSameProcessAlive(*identity));
    // Another start time under the same pid is another process.
    ProcessIdentity reused = *self;
    reused.startTime += 1;
    EXPECT_FALSE(isSameProcessAlive(reused));
}
