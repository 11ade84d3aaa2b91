#pragma once

#include "LineReader.h"
#include "Messages.h"
#include "UnixSocket.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// The client end of one conversation with the service: one request per client.
class IPCClient {
public:
    // Connects and reads the server's hello. None when nothing usable answers (no socket, a path
    // that is too long, no hello within `helloTimeout`). Throws TorvexError "Another user serves
    // the Torvex socket." before reading anything when the server runs as neither this user nor
    // root (`trusted` says), and "Update Torvex." when its protocol or major version does not fit
    // this program's.
    static std::unique_ptr<IPCClient> connect(const std::filesystem::path& path,
                                              std::chrono::milliseconds helloTimeout = std::chrono::seconds(10),
                                              UnixSocket::UserCheck trusted = UnixSocket::isTrustedUser);

    ~IPCClient();
    IPCClient(const IPCClient&) = delete;
    IPCClient& operator=(const IPCClient&) = delete;

    // The service's version as its hello gave it, "?" when it gave none.
    const std::string& appVersion() const { return appVersion_; }

    // The longest message line read: far above the largest the service sends, a 4K window's
    // screenshot (3840 x 2160 x 4 bytes of PNG at worst, 44 MB in Base64).
    static constexpr std::size_t maxMessageBytes = 64 * 1024 * 1024;

    // Sends the request, hands every log or progress message to `onLog` on this thread, and
    // returns the result's value (none when it has none) or throws the error message as a
    // TorvexError. Waits as long as the service works, or, with a `silenceLimit`, until no line
    // came for that long ("Torvex did not answer."). Throws appNotRunning when the connection ends
    // without an answer, and generic "Torvex sent a message too long to read." for a line longer
    // than maxMessageBytes.
    std::optional<std::string> send(const IPCRequest& request, const std::function<void(const IPCMessage&)>& onLog,
                                    std::optional<std::chrono::milliseconds> silenceLimit = std::nullopt);

    // Shuts the socket down both ways, so that a waiting send() ends and the service cancels the
    // request. Callable from any thread, and from a signal handler (it is only shutdown(2)).
    void disconnect() const;

private:
    IPCClient(int fd, std::filesystem::path path, std::string appVersion);

    int fd_;
    std::filesystem::path path_;
    LineReader reader_;
    std::string appVersion_;
};

// The first "."-separated component of a version, empty pieces skipped ("0.1.0" gives "0", ".5"
// gives "5", "" and "..." give "").
std::string majorVersion(std::string_view version);

// Throws "Update Torvex." unless the hello carries this protocol version and the major versions of
// its version ("?" when absent) and `cliVersion` agree.
void checkHello(const IPCMessage& hello, const std::string& cliVersion);

} // namespace torvex
