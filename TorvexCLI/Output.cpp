#include "Output.h"

#include "Core/Files.h"

#include <string>
#include <unistd.h>

namespace torvex::cli::Output {

namespace {

void line(int fd, std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + 1);
    bytes.append(text);
    bytes.push_back('\n');
    writeAll(fd, bytes);  // a reader that went away gets nothing more; SIGPIPE keeps its default
}

} // namespace

void out(std::string_view text) { line(STDOUT_FILENO, text); }

void err(std::string_view text) { line(STDERR_FILENO, text); }

void write(std::string_view bytes) { writeAll(STDOUT_FILENO, bytes); }

} // namespace torvex::cli::Output
