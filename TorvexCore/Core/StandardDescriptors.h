#pragma once

// Header only: torvex-cc, which links nothing of Core but the UTF-8 check, calls it too.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace torvex {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file opened
// later takes its number and receives what is meant for standard input, output or error (a lock
// file written with events, a socket with relayed lines). Call before anything else opens a
// descriptor. Answers which were closed (bit n for descriptor n), or -1 when /dev/null cannot be
// opened: nothing can then be opened safely.
inline int openStandardDescriptors() noexcept {
    int closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: this one, as those below it are open by now.
        const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened != fd) {
            if (opened >= 0) ::close(opened);
            return -1;
        }
        closed |= 1 << fd;
    }
    return closed;
}

} // namespace torvex
