#include "Output.h"

#include "Core/Files.h"

#include <atomic>
#include <cerrno>
#include <string>
#include <unistd.h>

namespace torvex::cli::Output {

namespace {

std::atomic<int> outputFailure{0};
std::atomic<bool> outputClosed{false};

void send(int fd, std::string_view bytes) {
    const bool closed = fd == STDOUT_FILENO && outputClosed.load();
    // A reader that went away gets nothing more; SIGPIPE keeps its default.
    const int failure = closed ? EBADF : writeAll(fd, bytes);
    int none = 0;
    if (failure != 0 && fd == STDOUT_FILENO) outputFailure.compare_exchange_strong(none, failure);
}

void line(int fd, std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + 1);
    bytes.append(text);
    bytes.push_back('\n');
    send(fd, bytes);
}

} // namespace

void out(std::string_view text) { line(STDOUT_FILENO, text); }

void err(std::string_view text) { line(STDERR_FILENO, text); }

void write(std::string_view bytes) { send(STDOUT_FILENO, bytes); }

int standardOutputFailure() { return outputFailure.load(); }

void standardOutputWasClosed() { outputClosed.store(true); }

} // namespace torvex::cli::Output
