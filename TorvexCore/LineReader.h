#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace torvex {

// Cuts the bytes of a descriptor into lines at "\n". Reads 64 KiB at a time and never closes the
// descriptor. Used by one thread at a time.
class LineReader {
public:
    static constexpr std::size_t chunkSize = 64 * 1024;

    explicit LineReader(int fd);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its newline (a carriage return before it stays). None at the end of
    // the stream or on a read error, and then an unfinished last line is lost. With `maxLength`,
    // also none as soon as a line grows past it; at most maxLength + one chunk is kept, and the
    // reader is spent.
    std::optional<std::string> next(std::size_t maxLength = std::numeric_limits<std::size_t>::max());

    // Reads up to and past the next newline, keeping nothing but the bytes after it. False at the
    // end of the stream or on a read error.
    bool skipLine();

private:
    // One read appended to the buffer; false at the end of the stream or on an error.
    bool fill();

    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;    // first byte of the buffer not yet returned
    std::size_t scanned_ = 0;  // bytes from start_ on known to hold no newline
    std::vector<char> chunk_;
};

} // namespace torvex
