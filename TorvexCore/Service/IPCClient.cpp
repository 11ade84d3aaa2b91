#include "IPCClient.h"

#include "UnixSocket.h"
#include "Core/HostReplacement.h"
#include "Core/Version.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace torvex {

namespace {

// 0 waits for ever.
void setReceiveTimeout(int fd, std::chrono::microseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

constexpr std::size_t maxHelloLength = 64 * 1024;

// "10 s", "250 ms"
std::string duration(std::chrono::milliseconds time) {
    const auto count = time.count();
    return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

} // namespace

std::string majorVersion(std::string_view version) {
    const std::size_t start = version.find_first_not_of('.');
    if (start == std::string_view::npos) return "";
    const std::size_t end = version.find('.', start);
    return std::string(version.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

void checkHello(const IPCMessage& hello, const std::string& cliVersion) {
    const std::string appVersion = hello.version.value_or("?");
    if (hello.protocolVersion == IPC::protocolVersion && majorVersion(appVersion) == majorVersion(cliVersion)) return;
    throw TorvexError(TorvexError::Kind::generic, "Update Torvex.",
                      "The torvex CLI (" + cliVersion + ") and the Torvex host (" + appVersion + ") don't match.",
                      "Install the latest Torvex and run `torvex setup --register` again.");
}

std::unique_ptr<IPCClient> IPCClient::connect(const std::filesystem::path& path, std::chrono::milliseconds helloTimeout,
                                              UnixSocket::UserCheck trusted) {
    const auto fd = UnixSocket::connect(path.string());
    if (!fd) return nullptr;
    std::unique_ptr<IPCClient> client(new IPCClient(*fd, path, "?"));  // owns the descriptor from here on
    // Whoever serves the path gets the requests and answers them: only this user or root may.
    const auto server = UnixSocket::peerUser(*fd);
    if (!server || !trusted(*server)) {
        throw TorvexError(TorvexError::Kind::generic, "Another user serves the Torvex socket.",
                          path.string() + " is served by a process of " +
                              (server ? "uid " + std::to_string(*server) : std::string("an unknown user")) +
                              ", not by you, so Torvex does not talk to it.",
                          "Set TORVEX_SOCKET to a path in a folder only you can write to.");
    }
    // A server sends its hello at once; one that is wedged, or a stranger on the path, counts as
    // nothing answering instead of holding the caller for ever.
    setReceiveTimeout(*fd, helloTimeout);
    const auto line = client->reader_.next(maxHelloLength);
    setReceiveTimeout(*fd, std::chrono::seconds(0));
    const auto hello = line ? decodeMessage(*line) : std::nullopt;
    if (!hello || hello->type != IPCMessage::Kind::hello) return nullptr;
    client->appVersion_ = hello->version.value_or("?");
    checkHello(*hello, TorvexVersion::current());
    return client;
}

IPCClient::IPCClient(int fd, std::filesystem::path path, std::string appVersion)
    : fd_(fd), path_(std::move(path)), reader_(fd), appVersion_(std::move(appVersion)) {}

IPCClient::~IPCClient() { ::close(fd_); }

std::optional<std::string> IPCClient::send(const IPCRequest& request,
                                           const std::function<void(const IPCMessage&)>& onLog,
                                           std::optional<std::chrono::milliseconds> silenceLimit) {
    if (!UnixSocket::writeLine(fd_, encode(request)))
        throw TorvexError(TorvexError::Kind::appNotRunning, "Lost the connection to Torvex.",
                          "The Torvex host closed the socket.", hostReplacementFix(std::nullopt));
    if (silenceLimit) setReceiveTimeout(fd_, std::max(*silenceLimit, std::chrono::milliseconds(1)));
    while (const auto line = reader_.next(maxMessageBytes)) {
        const auto message = decodeMessage(*line);
        if (!message) continue;
        switch (message->type) {
        case IPCMessage::Kind::hello:
            break;
        case IPCMessage::Kind::log:
        case IPCMessage::Kind::progress:
            if (onLog) onLog(*message);
            break;
        case IPCMessage::Kind::result:
            return message->value;
        case IPCMessage::Kind::error:
            throw *message->torvexError();
        }
    }
    if (reader_.overlong()) {
        throw TorvexError(TorvexError::Kind::generic, "Torvex sent a message too long to read.",
                          "A line from " + path_.string() + " holds more than " +
                              std::to_string(maxMessageBytes / (1024 * 1024)) +
                              " MiB; the longest a Torvex host sends is a screenshot, far shorter.",
                          hostReplacementFix(std::nullopt));
    }
    if (reader_.timedOut()) {
        throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex did not answer.",
                          "Nothing came from " + path_.string() + " for " +
                              duration(*silenceLimit) +
                              " after the request `" + request.cmd + "`.",
                          hostReplacementFix(std::nullopt));
    }
    throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex stopped before finishing.", "The connection closed.",
                      "Check the Torvex logs and try again.");
}

void IPCClient::disconnect() const { ::shutdown(fd_, SHUT_RDWR); }

} // namespace torvex
