#include "support/OtherUser.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace torvex::testing {

bool OtherUser::available() { return ::geteuid() == 0; }

void OtherUser::letThrough(const std::filesystem::path& path) {
    for (std::filesystem::path folder = std::filesystem::absolute(path); folder.has_relative_path();
         folder = folder.parent_path()) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ::chmod(folder.c_str(), (info.st_mode & 07777) | 0001);
    }
}

OtherUser::OtherUser(const std::function<int()>& act) {
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::alarm(60);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(120);
        ::_exit(act());
    }
}

OtherUser::~OtherUser() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
}

std::optional<int> OtherUser::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if (ended < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace torvex::testing
