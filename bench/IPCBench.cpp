// The socket protocol end to end, in one run:
// (a) ping round trips on an idle server (connect, hello, request, result): median and p99;
// (b) the throughput of 200 concurrent clients pinging;
// (c) 2 million 80-byte log lines relayed from a handler to the client's onLog, against the floor
//     of the same lines written raw over a socket pair and cut by LineReader.
// Targets: ping median <= 0.2 ms and p99 <= 2 ms; relay ratio <= 4.
// Usage: IPCBench [pings]   (default 10000)
#include "BenchSupport.h"
#include "Service/IPCClient.h"
#include "Service/IPCServer.h"
#include "Service/LineReader.h"
#include "Service/UnixSocket.h"

#include "support/TestSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace torvex;
namespace fs = std::filesystem;

namespace {

constexpr int relayLines = 2'000'000;
constexpr int clients = 200;
constexpr int pingsPerClient = 100;
constexpr double targetMedianMs = 0.2, targetP99Ms = 2.0, targetRatio = 4.0;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// 79 characters, so that a raw line with its newline is 80 bytes.
std::string lineText() {
    std::string text = "Torvex: [12/345] Building CXX object runner/CMakeFiles/demo.dir/flutter_window.cpp";
    text.resize(79, '.');
    return text;
}

// "ping" answers "ready"; "relay" sends `width` copies of lineText() on stdout, then its count.
void handle(const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection, std::stop_token stop) {
    if (request.cmd == "relay") {
        const OutputLine line{OutputStreamKind::standardOutput, lineText()};
        const std::int64_t count = request.args.width.value_or(0);
        for (std::int64_t n = 0; n < count && !stop.stop_requested(); ++n) connection->send(IPCMessage::log(request.id, line));
        connection->send(IPCMessage::result(request.id, std::to_string(count)));
    } else {
        connection->send(IPCMessage::result(request.id, "ready"));
    }
}

bool ping(const fs::path& socket) {
    const auto client = IPCClient::connect(socket);
    return client && client->send(IPCRequest("ping", {}), nullptr) == "ready";
}

// The raw floor: writeLine per line on one end of a socket pair, LineReader on the other.
double rawRelaySeconds(int& received) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    const std::string text = lineText();
    const auto start = Clock::now();
    std::thread writer([&] {
        for (int n = 0; n < relayLines; ++n)
            if (!UnixSocket::writeLine(fds[0], text)) break;
        ::shutdown(fds[0], SHUT_WR);
    });
    LineReader reader(fds[1]);
    received = 0;
    while (const auto line = reader.next()) received += line->size() == text.size() ? 1 : 0;
    writer.join();
    const double elapsed = seconds(start);
    ::close(fds[0]);
    ::close(fds[1]);
    return elapsed;
}

} // namespace

int main(int argc, char** argv) {
    const int pings = bench::countArgument(argc, argv, "IPCBench", "the number of pings", 10'000);
    const testing::TempDir folder;
    const fs::path socket = folder / "b.sock";
    int status = 0;
    try {
        IPCServer server(socket, handle);
        server.start();

        // (a) Round trips, one client after another.
        for (int n = 0; n < 200; ++n) ping(socket);  // warm-up
        std::vector<double> times;
        times.reserve(static_cast<std::size_t>(pings));
        for (int n = 0; n < pings; ++n) {
            const auto start = Clock::now();
            if (!ping(socket)) status = 2;
            times.push_back(seconds(start) * 1000);
        }
        std::sort(times.begin(), times.end());
        const double medianMs = bench::median(times);
        const double p99Ms = times[std::min(times.size() - 1, times.size() * 99 / 100)];
        std::printf("ping round trip: median %.3f ms (target <= %.1f: %s), p99 %.3f ms (target <= %.1f: %s), %d requests\n",
                    medianMs, targetMedianMs, medianMs <= targetMedianMs ? "met" : "missed", p99Ms, targetP99Ms,
                    p99Ms <= targetP99Ms ? "met" : "missed", pings);

        // (b) Throughput of many clients at once.
        std::atomic<int> failures = 0;
        auto start = Clock::now();
        std::vector<std::thread> running;
        for (int c = 0; c < clients; ++c)
            running.emplace_back([&] {
                for (int n = 0; n < pingsPerClient; ++n)
                    if (!ping(socket)) ++failures;
            });
        for (auto& thread : running) thread.join();
        const double busy = seconds(start);
        std::printf("throughput: %d concurrent clients, %d pings in %.2f s: %.0f requests/s\n", clients,
                    clients * pingsPerClient, busy, clients * pingsPerClient / busy);
        if (failures > 0) status = 2;

        // (c) Relay of log lines, against the raw floor.
        int relayed = 0;
        start = Clock::now();
        const auto client = IPCClient::connect(socket);
        const auto value = client ? client->send(IPCRequest("relay", {.width = relayLines}),
                                                 [&](const IPCMessage& message) { relayed += message.text ? 1 : 0; })
                                  : std::nullopt;
        const double relaySeconds = seconds(start);
        int rawReceived = 0;
        const double rawSeconds = rawRelaySeconds(rawReceived);
        if (relayed != relayLines || value != std::to_string(relayLines) || rawReceived != relayLines) {
            std::fprintf(stderr, "relayed %d lines and %d raw, expected %d\n", relayed, rawReceived, relayLines);
            status = 2;
        }
        const double ratio = relaySeconds / rawSeconds;
        std::printf("relay of %d lines: %.2f s to onLog, %.2f s raw: ratio %.2f (target <= %.1f: %s)\n", relayLines,
                    relaySeconds, rawSeconds, ratio, targetRatio, ratio <= targetRatio ? "met" : "missed");
        server.stop();
        if (status == 0 && (medianMs > targetMedianMs || p99Ms > targetP99Ms || ratio > targetRatio)) status = 1;
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "%s\n", error.description().c_str());
        status = 2;
    }
    return status;
}
