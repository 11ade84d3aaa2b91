#include "IPCClient.h"

#include "UnixSocket.h"
#include "Version.h"

#include <sys/socket.h>
#include <unistd.h>

namespace torvex {

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
                      "The torvex CLI (" + cliVersion + ") and the Torvex app (" + appVersion + ") don't match.",
                      "Install the latest Torvex and run `torvex setup --register` again.");
}

std::unique_ptr<IPCClient> IPCClient::connect(const std::filesystem::path& path) {
    const auto fd = UnixSocket::connect(path.string());
    if (!fd) return nullptr;
    std::unique_ptr<IPCClient> client(new IPCClient(*fd, "?"));  // owns the descriptor from here on
    const auto line = client->reader_.next();
    const auto hello = line ? decodeMessage(*line) : std::nullopt;
    if (!hello || hello->type != IPCMessage::Kind::hello) return nullptr;
    client->appVersion_ = hello->version.value_or("?");
    checkHello(*hello, TorvexVersion::current());
    return client;
}

IPCClient::IPCClient(int fd, std::string appVersion) : fd_(fd), reader_(fd), appVersion_(std::move(appVersion)) {}

IPCClient::~IPCClient() { ::close(fd_); }

std::optional<std::string> IPCClient::send(const IPCRequest& request,
                                           const std::function<void(const IPCMessage&)>& onLog) {
    if (!UnixSocket::writeLine(fd_, encode(request)))
        throw TorvexError(TorvexError::Kind::appNotRunning, "Lost the connection to Torvex.", "The app closed the socket.",
                          "Restart Torvex.");
    while (const auto line = reader_.next()) {
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
    throw TorvexError(TorvexError::Kind::appNotRunning, "Torvex stopped before finishing.", "The connection closed.",
                      "Check the Torvex logs and try again.");
}

void IPCClient::disconnect() const { ::shutdown(fd_, SHUT_RDWR); }

} // namespace torvex
