#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace torvex {

// `path` made absolute, standardised (no "." or ".." components, no trailing "/") and then with
// every symbolic link of its existing part resolved.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// Reads the whole of a regular file (links followed) into `bytes`; answers 0, or the errno that
// stopped it (EISDIR for a folder). Anything else (a FIFO, a device, a socket) throws an unsupported
// TorvexError naming the path; such a file is never opened in a way that could block.
int readWholeFile(const std::filesystem::path& file, std::string& bytes);

// The file's bytes, or none when it cannot be read. A FIFO, device or socket throws (readWholeFile).
std::optional<std::string> readFileBytes(const std::filesystem::path& file);
// The bytes of a regular file (links followed), or none when there is none or it cannot be read.
// Never waits on a FIFO or device, and never throws.
std::optional<std::string> readRegularFile(const std::filesystem::path& file);
// The file's text, or none when it cannot be read or is not valid UTF-8. A FIFO, device or socket throws.
std::optional<std::string> readUTF8File(const std::filesystem::path& file);

// A relative path from an archive that would lead outside the folder it is unpacked into: absolute,
// or with a ".." step ("\\" counts as a separator too, as in archives written on Windows).
bool leavesItsFolder(std::string_view member);

// "a FIFO (named pipe)", "a character device", "a block device", "a socket", else "not a regular file":
// how the refusals of special files name what they found.
std::string kindOfFile(mode_t mode);

// Writes all of `bytes` to `fd`, going on after interruptions and short writes. Answers 0, or the
// errno of the write that failed.
int writeAll(int fd, std::string_view bytes);

// Removes a path with everything in it when the scope ends, ignoring failure.
struct RemoveOnExit {
    std::filesystem::path path;
    ~RemoveOnExit() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// Something that is not a folder exists at `path` (links followed) and the user may execute it.
bool isExecutableFile(const std::filesystem::path& path);

// `text` without white space (Unicode's, line ends included) at either end.
std::string trimmedWhitespace(const std::string& text);

} // namespace torvex
