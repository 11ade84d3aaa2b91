#pragma once

#include "Service/IPCServer.h"
#include "Service/Messages.h"
#include "Service/TorvexService.h"
#include "support/Collected.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// Collects a service's events as its sink receives them, and lets a test wait for one.
class ServiceEvents {
public:
    TorvexService::EventSink sink() const { return events_.sink(); }

    std::vector<ServiceEvent> all() const { return events_.all(); }
    std::vector<ServiceStatus> statuses() const;
    std::vector<LogLine> lines() const;
    std::vector<std::string> notices() const;
    std::vector<TorvexConfig> configs() const;
    // Waits until the events so far satisfy `done`, which must not call back into this collector;
    // answers whether they did in time.
    bool waitFor(const std::function<bool(const std::vector<ServiceEvent>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits for `times` log lines whose text is `text`.
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                     std::size_t times = 1) const;
    // Waits for the status to be `status` in the latest status event.
    bool waitForStatus(const ServiceStatus& status) const;

private:
    Collected<ServiceEvent> events_;
};

// What a request came back with: its output lines, then its value or its error.
struct ServiceAnswer {
    std::vector<OutputLine> lines;
    std::optional<std::string> value;
    std::optional<TorvexError> error;
};

// One request through the real IPCClient to whatever serves `socket`, waited for to its end;
// `onLine` sees each output line as it arrives.
ServiceAnswer requestOver(const std::filesystem::path& socket, const IPCRequest& request,
                          const std::function<void(const OutputLine&)>& onLine = {});

// The service behind the real IPCServer on `socket`, as a host serves it; stopped at the end.
class ServiceServer {
public:
    ServiceServer(std::shared_ptr<TorvexService> service, const std::filesystem::path& socket,
                  std::chrono::milliseconds stallLimit = IPCConnection::defaultStallLimit);
    ~ServiceServer();
    ServiceServer(const ServiceServer&) = delete;
    ServiceServer& operator=(const ServiceServer&) = delete;

    const std::filesystem::path& socket() const { return socket_; }

    // One request through the real IPCClient, waited for to its end.
    ServiceAnswer request(const std::string& cmd, const IPCRequest::Arguments& args = {}) const;

private:
    std::filesystem::path socket_;
    std::unique_ptr<IPCServer> server_;
};

} // namespace torvex::testing
