#include "LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvex {

LineReader::LineReader(int fd, int wakeFD) : fd_(fd), wakeFD_(wakeFD), chunk_(chunkSize) {}

std::optional<std::string> LineReader::next(std::size_t maxLength) {
    overlong_ = false;
    timedOut_ = false;
    for (;;) {
        const char* from = buffer_.data() + start_ + scanned_;
        const std::size_t unscanned = buffer_.size() - start_ - scanned_;
        if (const void* found = std::memchr(from, '\n', unscanned)) {
            const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
            if (end - start_ > maxLength) {
                overlong_ = true;
                return std::nullopt;
            }
            std::string line(buffer_, start_, end - start_);
            start_ = end + 1;
            scanned_ = 0;
            return line;
        }
        scanned_ += unscanned;
        if (scanned_ > maxLength) {
            overlong_ = true;
            return std::nullopt;
        }
        if (!fill()) return std::nullopt;
    }
}

bool LineReader::skipLine() {
    timedOut_ = false;
    for (;;) {
        const char* from = buffer_.data() + start_;
        if (const void* found = std::memchr(from, '\n', buffer_.size() - start_)) {
            start_ = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data()) + 1;
            scanned_ = 0;
            return true;
        }
        buffer_.clear();
        start_ = scanned_ = 0;
        if (!fill()) return false;
    }
}

bool LineReader::fill() {
    for (;;) {
        if (wakeFD_ >= 0) {
            pollfd watched[2] = {{fd_, POLLIN, 0}, {wakeFD_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (watched[1].revents != 0) return false;
        }
        const ssize_t count = ::read(fd_, chunk_.data(), chunk_.size());
        if (count > 0) {
            // What was returned is dropped now, so the buffer holds only the unfinished line.
            if (start_ > 0) {
                buffer_.erase(0, start_);
                start_ = 0;
            }
            buffer_.append(chunk_.data(), static_cast<std::size_t>(count));
            return true;
        }
        if (count < 0 && errno == EINTR) continue;
        timedOut_ = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return false;
    }
}

} // namespace torvex
