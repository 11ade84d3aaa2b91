// Many concurrent clients against one server, and a server short of descriptors.
// TORVEX_STRESS_SCALE=N multiplies the requests each client makes (default 1: 200 clients × 50).
#include "Service/IPCServer.h"

#include "support/IPCFixture.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

extern char** environ;

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

int scale() {
    const char* text = std::getenv("TORVEX_STRESS_SCALE");
    const int value = text != nullptr ? std::atoi(text) : 1;
    return value > 0 ? value : 1;
}

// What went wrong across all clients; reported once at the end.
struct Faults {
    std::atomic<int> undecodable = 0, wrongID = 0, outOfOrder = 0, wrongCount = 0, finals = 0, noHello = 0;
};

// One "stream" request over a raw connection, checked line by line.
void streamOnce(const fs::path& socket, int client, int round, int lines, Faults& faults) {
    RawClient connection(socket);
    const auto hello = connection.readMessage();
    if (!hello || hello->type != IPCMessage::Kind::hello) {
        ++faults.noHello;
        return;
    }
    const std::string prefix = std::to_string(client) + "/" + std::to_string(round);
    const IPCRequest request("stream", {.width = lines, .name = prefix});
    connection.write(encode(request) + "\n");
    int nextOut = 0, nextErr = 1, logs = 0, final = 0;
    while (const auto line = connection.readLine()) {
        const auto message = decodeMessage(*line);
        if (!message) {
            ++faults.undecodable;
            continue;
        }
        if (message->id != request.id) ++faults.wrongID;
        if (message->type == IPCMessage::Kind::log) {
            ++logs;
            int& expected = message->stream == "stdout" ? nextOut : nextErr;
            if (message->text != prefix + " " + std::to_string(expected)) ++faults.outOfOrder;
            expected += 2;
        } else if (message->type == IPCMessage::Kind::result && message->value == std::to_string(lines)) {
            ++final;
        } else {
            ++faults.finals;
        }
    }
    if (logs != lines) ++faults.wrongCount;
    if (final != 1) ++faults.finals;
}

// A child process with a pipe to its standard input and one from its standard output.
struct Child {
    pid_t pid = -1;
    int input = -1;   // closing it asks the child to end
    int output = -1;

    static Child start(const std::vector<std::string>& argv) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        Child child;
        const int failed = ::posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        child.input = in[1];
        child.output = out[0];
        if (failed != 0) child.pid = -1;
        return child;
    }

    // The child's first line of output, within `limit`.
    std::string firstLine(std::chrono::milliseconds limit) const {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char c;
        while (text.find('\n') == std::string::npos) {
            pollfd ready{output, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            if (::read(output, &c, 1) != 1) break;
            text.push_back(c);
        }
        return text;
    }

    bool running() const { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

    // Closes its input and waits for its exit status (killing it after `limit`).
    int finish(std::chrono::milliseconds limit) {
        ::close(input);
        ::close(output);
        int status = 0;
        const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

} // namespace

TEST(IPCStressTest, ConcurrentClientsGetWholeLinesAndOneFinalMessageEach) {
    constexpr int clients = 200, linesPerRequest = 20;
    const int requests = 50 * scale();
    Faults faults;
    {  // Whatever a first conversation starts for good (a sanitizer's thread) belongs to the baseline.
        TestServer warmUp;
        streamOnce(warmUp.socket, 0, 0, 1, faults);
    }
    const std::size_t descriptors = settled(openDescriptorCount);
    const std::size_t threads = settled(threadCount);
    {
        TestServer fixture;
        std::vector<std::thread> running;
        for (int client = 0; client < clients; ++client) {
            running.emplace_back([&, client] {
                for (int round = 0; round < requests; ++round)
                    streamOnce(fixture.socket, client, round, linesPerRequest + round % 3, faults);
            });
        }
        for (auto& thread : running) thread.join();
        EXPECT_EQ(fixture.script.started(), clients * requests);
    }
    EXPECT_EQ(faults.noHello, 0);
    EXPECT_EQ(faults.undecodable, 0) << "partial or interleaved lines";
    EXPECT_EQ(faults.wrongID, 0);
    EXPECT_EQ(faults.outOfOrder, 0);
    EXPECT_EQ(faults.wrongCount, 0) << "lost lines";
    EXPECT_EQ(faults.finals, 0) << "not exactly one result";
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() <= descriptors; }))
        << openDescriptorCount() << " descriptors open, " << descriptors << " before";
    EXPECT_TRUE(eventually([&] { return threadCount() <= threads; }))
        << threadCount() << " threads, " << threads << " before";
}

TEST(IPCStressTest, AServerOutOfDescriptorsServesAgainOnceTheyClose) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' own memory checks need descriptors that the limit takes away";
#endif
    const auto prlimit = ProcessRunner::which("prlimit");
    if (!prlimit) GTEST_SKIP() << "prlimit (util-linux) is not installed";
    const TempDir dir;
    const fs::path socket = dir / "t.sock";
    Child server = Child::start({prlimit->string(), "--nofile=64", IPC_TEST_SERVER, socket.string()});
    ASSERT_GT(server.pid, 0);
    ASSERT_EQ(server.firstLine(20s), "ready\n");

    // Clients that get a hello hold a descriptor each in the server, until it has none left.
    std::vector<std::unique_ptr<RawClient>> clients;
    int greeted = 0, waiting = 0;
    while (waiting < 5 && clients.size() < 80) {
        clients.push_back(std::make_unique<RawClient>(socket));
        ASSERT_TRUE(clients.back()->connected());
        pollfd ready{clients.back()->fd(), POLLIN, 0};
        if (::poll(&ready, 1, 500) == 1) {
            ASSERT_TRUE(clients.back()->readMessage()) << "a hello";
            ++greeted;
        } else {
            ++waiting;  // queued: the server cannot accept
        }
    }
    EXPECT_EQ(waiting, 5) << "the server ran out of descriptors";
    EXPECT_GT(greeted, 40);
    EXPECT_LT(greeted, 64);
    EXPECT_TRUE(server.running());

    clients.clear();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        RawClient client(socket);
        const auto messages = client.converse(IPCRequest("ping", {}));
        served = messages.size() == 1 && messages[0].value == "ready";
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(server.finish(20s), 0);
}
