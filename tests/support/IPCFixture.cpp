#include "support/IPCFixture.h"

#include "Service/UnixSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace torvex::testing {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

RawClient::RawClient(const fs::path& socket) { fd_ = UnixSocket::connect(socket.string()).value_or(-1); }

RawClient::~RawClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool RawClient::write(std::string_view bytes) { return sendAll(fd_, bytes); }

void RawClient::shutdownWriting() { ::shutdown(fd_, SHUT_WR); }

void RawClient::hangUp() {
    ::close(fd_);
    fd_ = -1;
}

std::optional<std::string> RawClient::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
            ADD_FAILURE() << "no line and no end of stream within " << limit.count() << " ms";
            return std::nullopt;
        }
        char chunk[65536];
        const ssize_t count = ::read(fd_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::optional<IPCMessage> RawClient::readMessage(std::chrono::milliseconds limit) {
    const auto line = readLine(limit);
    return line ? decodeMessage(*line) : std::nullopt;
}

std::vector<IPCMessage> RawClient::converse(const IPCRequest& request) {
    std::vector<IPCMessage> messages;
    const auto hello = readMessage();
    if (!hello || hello->type != IPCMessage::Kind::hello) {
        ADD_FAILURE() << "no hello";
        return messages;
    }
    write(encode(request) + "\n");
    while (auto line = readLine()) {
        auto message = decodeMessage(*line);
        if (!message) {
            ADD_FAILURE() << "undecodable line: " << line->substr(0, 200);
            continue;
        }
        messages.push_back(std::move(*message));
    }
    return messages;
}

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count - 1;  // the iterator's own
}

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
    return count;
}

std::size_t settled(const std::function<std::size_t()>& count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::size_t last = count();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        const std::size_t now = count();
        if (now != last) {
            last = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= 100ms) {
            break;
        }
    }
    return last;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

ScriptedHandler::ScriptedHandler() : state_(std::make_shared<State>()) {}

IPCHandler ScriptedHandler::handler() const {
    return [state = state_](const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection,
                            std::stop_token stop) {
        const auto note = [&](int State::*counter) {
            const std::lock_guard guard(state->lock);
            ++((*state).*counter);
            state->changed.notify_all();
        };
        // Waits for `done` or cancellation, 20 s at most; answers whether it was cancelled.
        const auto waitUntil = [&](const std::function<bool()>& done) {
            std::unique_lock guard(state->lock);
            state->changed.wait_for(guard, stop, 20s, done);
            return stop.stop_requested();
        };
        note(&State::started);
        const std::string& cmd = request.cmd;
        if (cmd == "ping") {
            connection->send(IPCMessage::result(request.id, "ready"));
        } else if (cmd == "stream") {
            // Standard output from this thread, standard error from another, as a child's two pumps.
            const std::int64_t count = request.args.width.value_or(0);
            const std::string prefix = request.args.name.value_or("line");
            const auto sendEvery = [&](std::int64_t first, OutputStreamKind stream) {
                for (std::int64_t n = first; n < count; n += 2)
                    connection->send(IPCMessage::log(request.id, {stream, prefix + " " + std::to_string(n)}));
            };
            std::thread errors(sendEvery, 1, OutputStreamKind::standardError);
            sendEvery(0, OutputStreamKind::standardOutput);
            errors.join();
            connection->send(IPCMessage::result(request.id, std::to_string(count)));
        } else if (cmd == "wait" || cmd == "linger") {
            if (waitUntil([] { return false; })) note(&State::cancelled);
            if (cmd == "linger") std::this_thread::sleep_for(std::chrono::milliseconds(request.args.width.value_or(0)));
            connection->send(IPCMessage::error(request.id, TorvexError(TorvexError::Kind::generic, "Cancelled.", "", "")));
        } else if (cmd == "flood") {
            const std::string text(1024, 'f');
            for (const auto end = std::chrono::steady_clock::now() + 20s;
                 !stop.stop_requested() && std::chrono::steady_clock::now() < end;)
                connection->send(IPCMessage::log(request.id, {OutputStreamKind::standardOutput, text}));
            if (stop.stop_requested()) note(&State::cancelled);
            connection->send(IPCMessage::error(request.id, TorvexError(TorvexError::Kind::generic, "Cancelled.", "", "")));
        } else if (cmd == "block") {
            if (waitUntil([&] { return state->released; })) note(&State::cancelled);
            connection->send(IPCMessage::result(request.id, "released"));
        } else if (cmd == "throw") {
            throw std::runtime_error("scripted failure");
        } else if (cmd == "keep") {
            {
                const std::lock_guard guard(state->lock);
                state->kept.push_back(connection);
            }
            connection->send(IPCMessage::result(request.id, "kept"));
        }
        note(&State::finished);
    };
}

void ScriptedHandler::release() {
    const std::lock_guard guard(state_->lock);
    state_->released = true;
    state_->changed.notify_all();
}

bool ScriptedHandler::waitForStarted(int count) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, 20s, [&] { return state_->started >= count; });
}

bool ScriptedHandler::waitForCancelled(int count) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, 20s, [&] { return state_->cancelled >= count; });
}

int ScriptedHandler::started() const {
    const std::lock_guard guard(state_->lock);
    return state_->started;
}

int ScriptedHandler::finished() const {
    const std::lock_guard guard(state_->lock);
    return state_->finished;
}

std::shared_ptr<IPCConnection> ScriptedHandler::keptConnection() const {
    const std::lock_guard guard(state_->lock);
    return state_->kept.empty() ? nullptr : state_->kept.back();
}

TestServer::TestServer(std::chrono::milliseconds stallLimit) : socket(folder / "t.sock") {
    server = std::make_unique<IPCServer>(socket, script.handler(), stallLimit);
    server->start();
}

} // namespace torvex::testing
