#pragma once

#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace torvex::testing {

// A close-on-exec pipe whose ends close with it; the write end can be closed early.
struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        read = fds[0];
        write = fds[1];
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    ~Pipe() {
        closeWrite();
        ::close(read);
    }
};

} // namespace torvex::testing
