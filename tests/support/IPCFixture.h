#pragma once

#include "Service/IPCServer.h"
#include "Service/Messages.h"
#include "support/TestSupport.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvex::testing {

// A client that speaks bytes rather than the protocol, so that tests can send what a real client
// never would. Every read has a deadline; passing it fails the test.
class RawClient {
public:
    explicit RawClient(const std::filesystem::path& socket);
    // Takes over a connected descriptor (-1: not connected).
    explicit RawClient(int fd) : fd_(fd) {}
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // All of `bytes`; false when the server is gone (no SIGPIPE).
    bool write(std::string_view bytes);
    void shutdownWriting();
    void hangUp();

    // The next line; none at the end of the stream (and, failing the test, at the deadline).
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(20));
    // The next line decoded; none at the end of the stream or when it does not decode.
    std::optional<IPCMessage> readMessage(std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Reads the hello, sends the request and collects every message up to the end of the stream.
    std::vector<IPCMessage> converse(const IPCRequest& request);

private:
    int fd_ = -1;
    std::string buffer_;
};

// Sends all of `bytes` over a socket; false when the peer is gone (no SIGPIPE).
bool sendAll(int fd, std::string_view bytes);

// Descriptors open in this process.
std::size_t openDescriptorCount();
// Threads of this process.
std::size_t threadCount();
// The count once it has held still for 100 ms (5 s at most): a baseline that conversations of an
// earlier test, still ending, do not inflate.
std::size_t settled(const std::function<std::size_t()>& count);
// Polls `condition` until it holds or `limit` passes; answers whether it held.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

// A handler whose behaviour the request's command picks, and that counts what it did:
//   "ping"   result "ready"
//   "stream" `width` log lines "<name> <n>", the even ones on stdout, the odd ones on stderr, sent
//            from two threads at once; then result "<width>"
//   "wait"   waits for cancellation (20 s at most), then the error "Cancelled."
//   "linger" as "wait", but takes another `width` ms after the cancellation before it answers
//   "flood"  log lines of 1 KiB until it is cancelled (20 s at most), then the error "Cancelled."
//   "block"  waits for release() (or cancellation, 20 s at most), then result "released"
//   "throw"  throws
//   "keep"   keeps its connection in `kept`, then result "kept"
class ScriptedHandler {
public:
    struct State {
        std::mutex lock;
        std::condition_variable_any changed;
        int started = 0;
        int finished = 0;
        int cancelled = 0;
        bool released = false;
        std::vector<std::shared_ptr<IPCConnection>> kept;
    };

    ScriptedHandler();
    IPCHandler handler() const;

    void release();
    // Waits until `started` reaches `count`, 20 s at most; answers whether it did.
    bool waitForStarted(int count);
    bool waitForCancelled(int count);
    int started() const;
    int finished() const;
    std::shared_ptr<IPCConnection> keptConnection() const;

private:
    std::shared_ptr<State> state_;
};

// An IPCServer on "t.sock" in a fresh folder with a ScriptedHandler, started; stopped at the end.
struct TestServer {
    explicit TestServer(std::chrono::milliseconds stallLimit = IPCConnection::defaultStallLimit);
    TempDir folder;
    std::filesystem::path socket;
    ScriptedHandler script;
    std::unique_ptr<IPCServer> server;
};

} // namespace torvex::testing
