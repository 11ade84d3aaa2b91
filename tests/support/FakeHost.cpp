#include "support/FakeHost.h"

#include <chrono>

namespace torvex::testing {

using namespace std::chrono_literals;

FakeHost::FakeHost(const std::filesystem::path& socket) : state_(std::make_shared<State>()) {
    server_ = std::make_unique<IPCServer>(
        socket, [state = state_](const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection,
                                 std::stop_token stop) {
            Reply reply;
            {
                const std::lock_guard guard(state->lock);
                state->requests.push_back(request);
                if (const auto found = state->replies.find(request.cmd); found != state->replies.end())
                    reply = found->second;
                state->changed.notify_all();
            }
            if (reply.waitForHangUp) {
                std::unique_lock guard(state->lock);
                state->changed.wait_for(guard, stop, 20s, [] { return false; });
                if (stop.stop_requested()) ++state->hangUps;
                state->changed.notify_all();
            }
            for (const auto& line : reply.lines) connection->send(IPCMessage::log(request.id, line));
            connection->send(reply.error ? IPCMessage::error(request.id, *reply.error)
                                         : IPCMessage::result(request.id, reply.result));
        });
    server_->start();
}

FakeHost::~FakeHost() { server_->stop(); }

void FakeHost::reply(const std::string& word, Reply reply) {
    const std::lock_guard guard(state_->lock);
    state_->replies[word] = std::move(reply);
}

std::vector<IPCRequest> FakeHost::requests() const {
    const std::lock_guard guard(state_->lock);
    return state_->requests;
}

bool FakeHost::waitForRequests(std::size_t count) const {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, 20s, [&] { return state_->requests.size() >= count; });
}

bool FakeHost::waitForHangUps(int count) const {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, 20s, [&] { return state_->hangUps >= count; });
}

} // namespace torvex::testing
