#include "Downloader.h"

#include "TorvexError.h"
#include "Platform/SharedLibrary.h"

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

// libcurl is loaded on the first download, not linked: with the libraries it needs it would cost
// every start of torvex several milliseconds, and only setup and the engine download use it.
constexpr const char* curlLibrary = "libcurl.so.4";

// The libcurl functions used here. `setopt` and `getinfo` are variadic, as in curl.h.
struct Curl {
    decltype(&curl_global_init) globalInit;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_cleanup) easyCleanup;
    CURLcode (*easySetopt)(CURL*, CURLoption, ...);
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
    decltype(&curl_easy_strerror) easyStrerror;
    decltype(&curl_multi_init) multiInit;
    decltype(&curl_multi_cleanup) multiCleanup;
    decltype(&curl_multi_add_handle) multiAddHandle;
    decltype(&curl_multi_remove_handle) multiRemoveHandle;
    decltype(&curl_multi_perform) multiPerform;
    decltype(&curl_multi_poll) multiPoll;
    decltype(&curl_multi_wakeup) multiWakeup;
    decltype(&curl_multi_info_read) multiInfoRead;
};

// Loads libcurl once per process (never unloaded) and initialises it; none, with the loader's
// reason in `failure`, when it cannot be loaded.
const Curl* loadCurl(std::string& failure) {
    static std::string reason;
    static const Curl* const loaded = [] {
        const Curl* curl = loadLibraryFunctions<Curl>(
            curlLibrary,
            [](Curl& api, const auto& bind) {
                return bind(api.globalInit, "curl_global_init") && bind(api.easyInit, "curl_easy_init") &&
                       bind(api.easyCleanup, "curl_easy_cleanup") && bind(api.easySetopt, "curl_easy_setopt") &&
                       bind(api.easyGetinfo, "curl_easy_getinfo") && bind(api.easyStrerror, "curl_easy_strerror") &&
                       bind(api.multiInit, "curl_multi_init") && bind(api.multiCleanup, "curl_multi_cleanup") &&
                       bind(api.multiAddHandle, "curl_multi_add_handle") &&
                       bind(api.multiRemoveHandle, "curl_multi_remove_handle") &&
                       bind(api.multiPerform, "curl_multi_perform") && bind(api.multiPoll, "curl_multi_poll") &&
                       bind(api.multiWakeup, "curl_multi_wakeup") && bind(api.multiInfoRead, "curl_multi_info_read");
            },
            reason);
        if (curl != nullptr && curl->globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            reason = "curl_global_init failed";
            return static_cast<const Curl*>(nullptr);
        }
        return curl;
    }();
    if (loaded == nullptr) failure = reason;
    return loaded;
}

bool fetchable(const std::string& address) {
    const auto colon = address.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = address.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

struct CurlHandles {
    const Curl& curl;
    CURL* easy = curl.easyInit();
    CURLM* multi = curl.multiInit();
    ~CurlHandles() {
        if (multi != nullptr && easy != nullptr) curl.multiRemoveHandle(multi, easy);
        if (easy != nullptr) curl.easyCleanup(easy);
        if (multi != nullptr) curl.multiCleanup(multi);
    }
};

// What the write callback needs; it runs on the caller's thread inside curl_multi_perform.
struct Transfer {
    const Curl& curl;
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
    transfer.curl.easyGetinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
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
        transfer.curl.easyGetinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
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
    const Curl& curl = handles.curl;
    curl.multiAddHandle(handles.multi, handles.easy);
    CURLM* multi = handles.multi;
    std::stop_callback wake(stop, [&curl, multi] { curl.multiWakeup(multi); });
    int running = 1;
    while (running > 0) {
        if (stop.stop_requested()) throw Cancelled{};
        const CURLMcode code = curl.multiPerform(multi, &running);
        if (code != CURLM_OK) return CURLE_FAILED_INIT;
        if (running > 0) curl.multiPoll(multi, nullptr, 0, 1000, nullptr);
    }
    int queued = 0;
    while (CURLMsg* message = curl.multiInfoRead(multi, &queued))
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
    std::string unloaded;
    const Curl* const curl = loadCurl(unloaded);
    if (curl == nullptr) return DownloadFailure{std::nullopt, "libcurl could not be loaded: " + unloaded + "."};

    std::error_code ignored;
    fs::remove(destination, ignored);
    PartialFile file{destination};
    file.fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file.fd < 0)
        throw fs::filesystem_error("cannot create the download file", destination,
                                   std::error_code(errno, std::generic_category()));

    CurlHandles handles{*curl};
    if (handles.easy == nullptr || handles.multi == nullptr) return DownloadFailure{std::nullopt, "libcurl could not start."};
    Transfer transfer{*curl, handles.easy, file.fd, expectedSize, progress, 0, 0, 0, nullptr};
    char message[CURL_ERROR_SIZE] = {};
    CURL* easy = handles.easy;
    const long stallSeconds = static_cast<long>(std::max<std::chrono::seconds::rep>(stallLimit.count(), 1));
    curl->easySetopt(easy, CURLOPT_URL, address.c_str());
    curl->easySetopt(easy, CURLOPT_ERRORBUFFER, message);
    curl->easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl->easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl->easySetopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl->easySetopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl->easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl->easySetopt(easy, CURLOPT_CONNECTTIMEOUT, stallSeconds);
    curl->easySetopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl->easySetopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl->easySetopt(easy, CURLOPT_WRITEFUNCTION, &receive);
    curl->easySetopt(easy, CURLOPT_WRITEDATA, &transfer);

    const CURLcode result = perform(handles, stop);
    if (transfer.thrown) std::rethrow_exception(transfer.thrown);
    if (transfer.writeError != 0)
        throw fs::filesystem_error("cannot write the download file", destination,
                                   std::error_code(transfer.writeError, std::generic_category()));
    long status = transfer.refusedStatus;
    if (status == 0) curl->easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && status != 200) return DownloadFailure{status, {}};
    if (result != CURLE_OK)
        return DownloadFailure{std::nullopt, message[0] != '\0' ? std::string(message) : curl->easyStrerror(result)};
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
