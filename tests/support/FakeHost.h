#pragma once

#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "Service/IPCServer.h"
#include "Service/Messages.h"

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// A stand-in for the service behind the socket: the real IPCServer with a handler that records
// every request and answers it as scripted for its word. A word without a script gets a result
// without value.
//
//   FakeHost host(temp / "t.sock");
//   host.reply("run", {.lines = {{OutputStreamKind::standardOutput, "hello"}}, .result = "3"});
//   ... torvex run --app-name demo ...
//   EXPECT_EQ(host.requests().at(0).cmd, "run");
class FakeHost {
public:
    struct Reply {
        std::vector<OutputLine> lines = {};           // sent first, as log messages
        std::optional<std::string> result = {};       // the result's value
        std::optional<TorvexError> error = {};        // sent in place of the result
        bool waitForHangUp = false;                   // first waits (20 s at most) until the client hangs up
    };

    explicit FakeHost(const std::filesystem::path& socket);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    void reply(const std::string& word, Reply reply);

    std::vector<IPCRequest> requests() const;
    // Waits (20 s at most) until `count` requests arrived; answers whether they did.
    bool waitForRequests(std::size_t count) const;
    // Waits (20 s at most) until `count` requests were hung up on while they waited.
    bool waitForHangUps(int count) const;

private:
    struct State {
        mutable std::mutex lock;
        mutable std::condition_variable_any changed;
        std::map<std::string, Reply> replies;
        std::vector<IPCRequest> requests;
        int hangUps = 0;
    };

    std::shared_ptr<State> state_;
    std::unique_ptr<IPCServer> server_;
};

} // namespace torvex::testing
