// Stands in for torvex-host in the launch tests. Writes what it was started with to the file
// $STAND_IN_HOST_RECORD ("key=value" lines: pid, sid, stdin, stdout, stderr, fds, marker), one line
// on standard output and one on standard error. With $STAND_IN_HOST_SERVE_AFTER_MS it then serves
// the socket torvex uses (IPC::socketPath) after that many milliseconds, answering every request
// with a result without value, and announces it on the descriptor of --ready-fd N as the host
// does. It lives for $STAND_IN_HOST_LINGER_MS (default 0), at most 30 s.
#include "Core/Paths.h"
#include "Service/Messages.h"
#include "support/FakeHost.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace torvex;

namespace {

long milliseconds(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? -1 : std::atol(value);
}

std::string link(const fs::path& path) {
    std::error_code error;
    const auto target = fs::read_symlink(path, error);
    return error ? "?" : target.string();
}

void record(const fs::path& file) {
    std::string fds;
    std::vector<int> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) open.push_back(std::stoi(entry.path().filename()));
    std::sort(open.begin(), open.end());
    for (const int fd : open) {
        // The listing's own descriptor is closed again by now.
        if (!fs::exists("/proc/self/fd/" + std::to_string(fd))) continue;
        if (!fds.empty()) fds += ',';
        fds += std::to_string(fd);
    }
    const char* marker = std::getenv("STAND_IN_HOST_MARKER");
    const fs::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial);
        out << "pid=" << ::getpid() << "\nsid=" << ::getsid(0) << "\nstdin=" << link("/proc/self/fd/0")
            << "\nstdout=" << link("/proc/self/fd/1") << "\nstderr=" << link("/proc/self/fd/2") << "\nfds=" << fds
            << "\nmarker=" << (marker == nullptr ? "" : marker) << "\n";
    }
    fs::rename(partial, file);
}

} // namespace

int main(int argc, char** argv) {
    if (const char* file = std::getenv("STAND_IN_HOST_RECORD")) record(file);
    const int ready = argc == 3 && std::string(argv[1]) == "--ready-fd" ? std::atoi(argv[2]) : -1;
    std::printf("stand-in host output\n");
    std::fflush(stdout);
    std::fprintf(stderr, "stand-in host errors\n");

    const auto started = std::chrono::steady_clock::now();
    const long linger = std::min(milliseconds("STAND_IN_HOST_LINGER_MS"), 30'000L);
    std::unique_ptr<testing::FakeHost> host;
    if (const long delay = milliseconds("STAND_IN_HOST_SERVE_AFTER_MS"); delay >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        host = std::make_unique<testing::FakeHost>(IPC::socketPath(TorvexPaths::defaultPaths(), currentEnvironment()));
        if (ready > 2) {
            (void)!::write(ready, "listening\n", 10);
            ::close(ready);
        }
    }
    std::this_thread::sleep_until(started + std::chrono::milliseconds(std::max(linger, 0L)));
    return 0;
}
