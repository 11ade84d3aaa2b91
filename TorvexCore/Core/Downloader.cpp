#include "Downloader.h"

#include "TorvexError.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

bool fetchable(const std::string& address) {
    const auto colon = address.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = address.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

struct CurlHandles {
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    ~CurlHandles() {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
    }
};

// What the write callback needs; it runs on the caller's thread inside curl_multi_perform.
struct Transfer {
    CURL* easy;
    int fd;
    std::int64_t expectedSize;
    const Downloader::FractionHandler& progress;
    std::int64_t written = 0;
    long refusedStatus = 0;         // the answer was not 200: its body is not wanted
    int writeError = 0;             // errno of a failed write to the file
    std::exception_ptr thrown;      // from the progress handler
};

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        transfer.refusedStatus = status;
        return CURL_WRITEFUNC_ERROR;
    }
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = ::write(transfer.fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            transfer.writeError = errno;
            return CURL_WRITEFUNC_ERROR;
        }
        done += static_cast<size_t>(n);
    }
    transfer.written += static_cast<std::int64_t>(bytes);
    if (transfer.progress) {
        curl_off_t announced = -1;
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        const std::int64_t divisor = announced >= 1 ? static_cast<std::int64_t>(announced) : transfer.expectedSize;
        const double fraction = static_cast<double>(transfer.written) / static_cast<double>(std::max<std::int64_t>(divisor, 1));
        try {
            transfer.progress(std::min(fraction, 1.0));
        } catch (...) {
            transfer.thrown = std::current_exception();
            return CURL_WRITEFUNC_ERROR;
        }
    }
    return bytes;
}

// Runs one transfer to its end; a stop request wakes the wait at once and throws Cancelled.
CURLcode perform(CurlHandles& handles, std::stop_token stop) {
    curl_multi_add_handle(handles.multi, handles.easy);
    CURLM* multi = handles.multi;
    std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
    int running = 1;
    while (running > 0) {
        if (stop.stop_requested()) throw Cancelled{};
        const CURLMcode code = curl_multi_perform(multi, &running);
        if (code != CURLM_OK) return CURLE_FAILED_INIT;
        if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued))
        if (message->msg == CURLMSG_DONE) return message->data.result;
    return CURLE_FAILED_INIT;
}

// Removes the destination unless the download succeeded.
struct PartialFile {
    fs::path path;
    int fd = -1;
    bool keep = false;
    ~PartialFile() {
        if (fd >= 0) ::close(fd);
        if (keep) return;
        std::error_code ignored;
        fs::remove(path, ignored);
    }
};

} // namespace

std::optional<DownloadFailure> Downloader::download(const std::string& address, const fs::path& destination,
                                                    std::int64_t expectedSize, const FractionHandler& progress,
                                                    std::stop_token stop, std::chrono::seconds stallLimit) {
    if (!fetchable(address)) return DownloadFailure{std::nullopt, address + " is not an http or https address."};
    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::error_code ignored;
    fs::remove(destination, ignored);
    PartialFile file{destination};
    file.fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file.fd < 0)
        throw fs::filesystem_error("cannot create the download file", destination,
                                   std::error_code(errno, std::generic_category()));

    CurlHandles handles;
    if (handles.easy == nullptr || handles.multi == nullptr) return DownloadFailure{std::nullopt, "libcurl could not start."};
    Transfer transfer{handles.easy, file.fd, expectedSize, progress, 0, 0, 0, nullptr};
    char message[CURL_ERROR_SIZE] = {};
    CURL* easy = handles.easy;
    const long stallSeconds = static_cast<long>(std::max<std::chrono::seconds::rep>(stallLimit.count(), 1));
    curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, stallSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &receive);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);

    const CURLcode result = perform(handles, stop);
    if (transfer.thrown) std::rethrow_exception(transfer.thrown);
    if (transfer.writeError != 0)
        throw fs::filesystem_error("cannot write the download file", destination,
                                   std::error_code(transfer.writeError, std::generic_category()));
    long status = transfer.refusedStatus;
    if (status == 0) curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && status != 200) return DownloadFailure{status, {}};
    if (result != CURLE_OK)
        return DownloadFailure{std::nullopt, message[0] != '\0' ? std::string(message) : curl_easy_strerror(result)};
    if (status == 0) return DownloadFailure{std::nullopt, "The server sent no answer."};
    const int closed = ::close(file.fd);
    file.fd = -1;
    if (closed != 0)
        throw fs::filesystem_error("cannot write the download file", destination,
                                   std::error_code(errno, std::generic_category()));
    file.keep = true;
    return std::nullopt;
}

} // namespace torvex
