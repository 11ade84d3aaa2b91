#include "support/ServiceFixture.h"

#include "Service/IPCClient.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace torvex::testing {
using namespace std::chrono_literals;

namespace {

template <class Payload>
std::vector<Payload> payloads(const std::vector<ServiceEvent>& events) {
    std::vector<Payload> found;
    for (const auto& event : events) {
        if (const auto* payload = std::get_if<Payload>(&event.payload)) found.push_back(*payload);
    }
    return found;
}

} // namespace

std::vector<ServiceStatus> ServiceEvents::statuses() const { return payloads<ServiceStatus>(all()); }
std::vector<LogLine> ServiceEvents::lines() const { return payloads<LogLine>(all()); }
std::vector<TorvexConfig> ServiceEvents::configs() const { return payloads<TorvexConfig>(all()); }

std::vector<std::string> ServiceEvents::notices() const {
    std::vector<std::string> texts;
    for (const auto& notice : payloads<ServiceEvent::Notice>(all())) texts.push_back(notice.text);
    return texts;
}

bool ServiceEvents::waitFor(const std::function<bool(const std::vector<ServiceEvent>&)>& done,
                            std::chrono::milliseconds timeout) const {
    return events_.waitFor(done, timeout);
}

bool ServiceEvents::waitForLine(const std::string& text, std::chrono::milliseconds timeout, std::size_t times) const {
    return waitFor(
        [&](const std::vector<ServiceEvent>& events) {
            const auto lines = payloads<LogLine>(events);
            const auto seen = std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) { return line.text == text; });
            return static_cast<std::size_t>(seen) >= times;
        },
        timeout);
}

bool ServiceEvents::waitForStatus(const ServiceStatus& status) const {
    return waitFor([&](const std::vector<ServiceEvent>& events) {
        const auto statuses = payloads<ServiceStatus>(events);
        return !statuses.empty() && statuses.back() == status;
    });
}

ServiceServer::ServiceServer(std::shared_ptr<TorvexService> service, const std::filesystem::path& socket,
                             std::chrono::milliseconds stallLimit)
    : socket_(socket) {
    server_ = std::make_unique<IPCServer>(
        socket,
        [service = std::move(service)](const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection,
                                       std::stop_token stop) { service->handle(request, connection, stop); },
        stallLimit);
    server_->start();
}

ServiceServer::~ServiceServer() { server_->stop(); }

ServiceAnswer ServiceServer::request(const std::string& cmd, const IPCRequest::Arguments& args) const {
    return requestOver(socket_, IPCRequest(cmd, args));
}

ServiceAnswer requestOver(const std::filesystem::path& socket, const IPCRequest& request,
                          const std::function<void(const OutputLine&)>& onLine) {
    ServiceAnswer answer;
    const auto client = IPCClient::connect(socket);
    if (!client) {
        ADD_FAILURE() << "the service does not answer on " << socket;
        return answer;
    }
    try {
        answer.value = client->send(request, [&](const IPCMessage& message) {
            const OutputLine line{message.stream == "stderr" ? OutputStreamKind::standardError
                                                             : OutputStreamKind::standardOutput,
                                  message.text.value_or("")};
            answer.lines.push_back(line);
            if (onLine) onLine(line);
        });
    } catch (const TorvexError& error) {
        answer.error = error;
    }
    return answer;
}

} // namespace torvex::testing
