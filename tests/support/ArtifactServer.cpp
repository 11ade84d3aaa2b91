#include "support/ArtifactServer.h"

#include "support/EngineArchives.h"
#include "support/TestSupport.h"

#include "Core/TorvexError.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace torvex::testing {
namespace fs = std::filesystem;

ArtifactServer::ArtifactServer() : server_(std::make_unique<httplib::Server>()) {
    server_->Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        std::unique_lock lock(mutex_);
        ++total_;
        ++counts_[request.path];
        if (const auto redirect = redirects_.find(request.path); redirect != redirects_.end()) {
            response.set_redirect(redirect->second, 302);
            return;
        }
        const auto fault = faults_.find(request.path);
        const auto file = files_.find(request.path);
        const Fault kind = fault == faults_.end() ? Fault::none : fault->second;
        if (kind == Fault::notFound || (kind == Fault::none && file == files_.end())) {
            response.status = 404;
            response.set_content("not found", "text/plain");
            return;
        }
        if (kind == Fault::serverError) {
            response.status = 500;
            response.set_content("server error", "text/plain");
            return;
        }
        auto body = std::make_shared<std::string>(file == files_.end() ? std::string(4096, 'x') : readFile(file->second));
        lock.unlock();
        if (kind == Fault::none) {
            response.set_content(*body, "application/zip");
        } else if (kind == Fault::noLength) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [body](size_t offset, httplib::DataSink& sink) {
                                                      // A few pieces, so that progress is reported more than once.
                                                      const size_t piece = std::max<size_t>(body->size() / 4, 1);
                                                      if (offset < body->size())
                                                          sink.write(body->data() + offset, std::min(piece, body->size() - offset));
                                                      else
                                                          sink.done();
                                                      return true;
                                                  });
        } else if (kind == Fault::truncated) {
            response.set_content_provider(body->size(), "application/zip",
                                          [body](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset == 0) sink.write(body->data(), body->size() / 2);
                                              return offset == 0;  // false closes the connection
                                          });
        } else {
            response.set_content_provider(body->size(), "application/zip",
                                          [this](size_t, size_t, httplib::DataSink&) {
                                              std::unique_lock wait(mutex_);
                                              ++stalled_;
                                              changed_.notify_all();
                                              changed_.wait(wait, [this] { return stopping_; });
                                              return false;
                                          });
        }
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a port on 127.0.0.1");
    auto ended = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, ended] {
        server_->listen_after_bind();
        *ended = true;
    });
    // A stop() before the server runs is lost, and the destructor would then wait on accept for ever.
    while (!server_->is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server_->is_running()) {
        thread_.join();
        throw std::runtime_error("the artifact server did not start");
    }
}

ArtifactServer::~ArtifactServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    thread_.join();
}

std::string ArtifactServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ArtifactServer::serve(const std::string& urlPath, const fs::path& file) {
    std::lock_guard lock(mutex_);
    files_[urlPath] = file;
}

void ArtifactServer::fail(const std::string& urlPath, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_[urlPath] = fault;
}

void ArtifactServer::redirect(const std::string& urlPath, const std::string& location) {
    std::lock_guard lock(mutex_);
    redirects_[urlPath] = location;
}

std::string ArtifactServer::enginePath(const std::string& revision, const std::string& archivePath,
                                       const std::string& realm) {
    return (realm.empty() ? "" : "/" + realm) + "/flutter_infra_release/flutter/" + revision + "/" + archivePath;
}

void ArtifactServer::serveEngine(const std::string& revision, const fs::path& archives, const std::string& realm) {
    for (const std::string& archivePath : engineArchivePaths)
        serve(enginePath(revision, archivePath, realm), archives / archivePath);
}

int ArtifactServer::requests() const {
    std::lock_guard lock(mutex_);
    return total_;
}

int ArtifactServer::requests(const std::string& urlPath) const {
    std::lock_guard lock(mutex_);
    const auto found = counts_.find(urlPath);
    return found == counts_.end() ? 0 : found->second;
}

bool ArtifactServer::waitForStall(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stalled_ > 0; });
}

std::string ArtifactServer::stopDuringStall(const std::function<void(std::stop_token)>& body) const {
    std::stop_source stop;
    auto outcome = std::async(std::launch::async, [&body, token = stop.get_token()] {
        try {
            body(token);
            return std::string("finished");
        } catch (const Cancelled&) {
            return std::string("cancelled");
        } catch (const TorvexError& error) {
            return error.what;
        }
    });
    const bool stalled = waitForStall(std::chrono::seconds(20));
    stop.request_stop();
    const std::string ended = outcome.get();
    return stalled ? ended : "no stall";
}

} // namespace torvex::testing
