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

    // With a `wakeFD`, a wait for bytes also ends, as the end of the stream, once that descriptor
    // becomes readable or is hung up: another thread's way to end a blocked reader.
    explicit LineReader(int fd, int wakeFD = -1);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its newline (a carriage return before it stays). None at the end of
    // the stream or on a read error, and then an unfinished last line is lost. With `maxLength`,
    // also none as soon as a line grows past it; at most maxLength + one chunk is kept, and
    // overlong() tells it apart from the end. skipLine() then drops the rest of that line.
    std::optional<std::string> next(std::size_t maxLength = std::numeric_limits<std::size_t>::max());

    // Whether the last next() answered none for a line longer than its maxLength.
    bool overlong() const { return overlong_; }

    // Whether the last next() or skipLine() ended because a read timed out (SO_RCVTIMEO).
    bool timedOut() const { return timedOut_; }

    // Reads up to and past the next newline, keeping nothing but the bytes after it. False at the
    // end of the stream or on a read error.
    bool skipLine();

private:
    // One read appended to the buffer; false at the end of the stream or on an error.
    bool fill();

    int fd_;
    int wakeFD_;
    bool overlong_ = false;
    bool timedOut_ = false;
    std::string buffer_;
    std::size_t start_ = 0;    // first byte of the buffer not yet returned
    std::size_t scanned_ = 0;  // bytes from start_ on known to hold no newline
    std::vector<char> chunk_;
};

} // namespace torvex
