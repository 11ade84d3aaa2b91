#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace torvex::testing {

// An HTTP server on 127.0.0.1 (a free port) that serves files by URL path, answers 404 for
// anything else, and can be told to fail a path in one of several ways. Counts requests.
class ArtifactServer {
public:
    enum class Fault {
        none,
        notFound,     // 404
        serverError,  // 500
        truncated,    // announces the whole length, sends half, closes
        stall,        // sends headers, then nothing until the server stops
        noLength,     // sends the whole file without announcing its length (chunked)
    };

    ArtifactServer();
    ~ArtifactServer();
    ArtifactServer(const ArtifactServer&) = delete;
    ArtifactServer& operator=(const ArtifactServer&) = delete;

    // "http://127.0.0.1:<port>"
    std::string baseURL() const;

    void serve(const std::string& urlPath, const std::filesystem::path& file);
    void fail(const std::string& urlPath, Fault fault);
    // Answers `urlPath` with a 302 to `location` (a path on this server or a full address).
    void redirect(const std::string& urlPath, const std::string& location);

    // Serves each archive below `archives` (as written by writeEngineArchives) at
    // /[<realm>/]flutter_infra_release/flutter/<revision>/<archive path>.
    void serveEngine(const std::string& revision, const std::filesystem::path& archives,
                     const std::string& realm = "");
    // The URL path of one engine archive.
    static std::string enginePath(const std::string& revision, const std::string& archivePath,
                                  const std::string& realm = "");

    int requests() const;
    int requests(const std::string& urlPath) const;

    // Waits until a stalled answer has begun; false when none began in time.
    bool waitForStall(std::chrono::milliseconds timeout) const;

    // Runs `body` on a thread of its own and stops it once an answer has stalled. How it ended:
    // "cancelled" (it threw Cancelled), "finished", a TorvexError's what, or "no stall" when no
    // answer stalled within 20 s (it is stopped all the same).
    std::string stopDuringStall(const std::function<void(std::stop_token)>& body) const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, std::filesystem::path> files_;
    std::map<std::string, Fault> faults_;
    std::map<std::string, std::string> redirects_;
    std::map<std::string, int> counts_;
    int total_ = 0;
    int stalled_ = 0;
    bool stopping_ = false;
};

} // namespace torvex::testing
