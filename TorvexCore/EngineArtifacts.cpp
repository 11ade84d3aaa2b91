#include "EngineArtifacts.h"

#include "ProcessRunner.h"
#include "TorvexError.h"
#include "ZipUnpacker.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <unistd.h>
#include <vector>

namespace torvex {
namespace fs = std::filesystem;

const std::array<const char*, 9> EngineArtifacts::ephemeralFiles = {
    "flutter_windows.dll",        "flutter_windows.dll.exp",     "flutter_windows.dll.lib",
    "flutter_export.h",           "flutter_messenger.h",         "flutter_plugin_registrar.h",
    "flutter_texture_registrar.h", "flutter_windows.h",          "icudtl.dat",
};

namespace {

constexpr const char* publicStore = "https://storage.googleapis.com";
// A transfer that moves no byte for this long is abandoned.
constexpr long stallSeconds = 60;

struct Archive {
    std::string path;                    // below the revision on the artifact store
    std::vector<std::string> selection;  // unzip member arguments: what is unpacked
};

const std::vector<Archive>& archives() {
    static const std::vector<Archive> rows = {
        {"windows-x64-debug/windows-x64-flutter.zip", {"-x", "*.pdb", "gen_snapshot.exe"}},
        {"windows-x64/flutter-cpp-client-wrapper.zip", {}},
        {"windows-x64/artifacts.zip", {"icudtl.dat", "isolate_snapshot.bin", "vm_isolate_snapshot.bin"}},
    };
    return rows;
}

std::string shortRevision(const std::string& revision) { return revision.substr(0, 10); }

// The revision names folders below the engine cache, so it must be one plain, visible name.
void checkRevision(const std::string& revision, const FlutterSDK& sdk) {
    bool usable = !revision.empty() && revision.front() != '.';
    for (char c : revision) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        usable = usable && allowed;
    }
    if (usable) return;
    const fs::path file = sdk.root / "bin" / "internal" / "engine.version";
    throw TorvexError(TorvexError::Kind::generic, "The Flutter engine revision is not usable.",
                      fmt::format("{} holds \"{}\"; a revision is made of letters, digits, \".\", \"_\" and \"-\" "
                                  "and does not start with \".\".",
                                  file.string(), revision),
                      fmt::format("Run `flutter doctor` to repair the SDK at {}.", sdk.root.string()));
}

// Lets one `ensure` at a time work on a cache folder; a waiting caller can still be cancelled.
class CacheClaim {
public:
    CacheClaim(const fs::path& folder, std::stop_token stop) : key_(folder.string()) {
        std::unique_lock lock(state().mutex);
        if (!state().changed.wait(lock, stop, [&] { return !state().busy.contains(key_); })) throw Cancelled{};
        state().busy.insert(key_);
    }
    ~CacheClaim() {
        {
            std::lock_guard lock(state().mutex);
            state().busy.erase(key_);
        }
        state().changed.notify_all();
    }
    CacheClaim(const CacheClaim&) = delete;
    CacheClaim& operator=(const CacheClaim&) = delete;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable_any changed;
        std::set<std::string> busy;
    };
    static State& state() {
        static State* shared = new State;
        return *shared;
    }
    std::string key_;
};

// Removes a path when the scope ends, ignoring failure.
struct RemoveOnExit {
    fs::path path;
    ~RemoveOnExit() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string lastComponent(const std::string& address) { return address.substr(address.rfind('/') + 1); }

bool fetchable(const std::string& address) {
    const auto colon = address.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = address.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

TorvexError transferError(const std::string& revision, const std::string& description) {
    return TorvexError(TorvexError::Kind::generic,
                       "Could not download the Flutter Windows engine (" + shortRevision(revision) + ").",
                       description,
                       "Check your internet connection. Behind a proxy or mirror, set HTTPS_PROXY or "
                       "FLUTTER_STORAGE_BASE_URL.");
}

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file)) * size;
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

// Fetches one archive into a temporary file, which the caller owns; only status 200 is accepted.
fs::path download(const std::string& address, const std::string& revision, std::stop_token stop) {
    if (!fetchable(address)) throw transferError(revision, address + " is not an http or https address.");

    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::string pattern = (fs::temp_directory_path() / "torvex-engine-XXXXXX").string();
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) throw fs::filesystem_error("cannot create a download file", pattern,
                                                   std::error_code(errno, std::generic_category()));
    RemoveOnExit discard{pattern};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(::fdopen(descriptor, "wb"), &std::fclose);
    if (!file) {
        ::close(descriptor);
        throw fs::filesystem_error("cannot open the download file", pattern,
                                   std::error_code(errno, std::generic_category()));
    }

    CurlHandles handles;
    if (handles.easy == nullptr || handles.multi == nullptr) throw transferError(revision, "libcurl could not start.");
    char message[CURL_ERROR_SIZE] = {};
    CURL* easy = handles.easy;
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
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeToFile);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, file.get());

    const CURLcode result = perform(handles, stop);
    const bool flushed = std::fflush(file.get()) == 0;
    if (result != CURLE_OK)
        throw transferError(revision, message[0] != '\0' ? std::string(message) : curl_easy_strerror(result));
    if (!flushed) throw transferError(revision, "The downloaded file could not be written to " + pattern + ".");

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        throw TorvexError(TorvexError::Kind::generic,
                          "Could not download " + lastComponent(address) + " for engine " + shortRevision(revision) + ".",
                          fmt::format("The server answered HTTP {} for {}.", status, address),
                          "If you use FLUTTER_STORAGE_BASE_URL, check that the mirror has Windows artifacts.");
    discard.path.clear();
    return pattern;
}

} // namespace

std::string EngineArtifacts::storageBaseURL(const std::string& realm, const Environment& environment) {
    std::string base = nonEmptyValue(environment, "FLUTTER_STORAGE_BASE_URL").value_or(publicStore);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return realm.empty() ? base : base + "/" + realm;
}

bool EngineArtifacts::isComplete() const {
    std::error_code error;
    for (const char* name : ephemeralFiles)
        if (!fs::exists(directory / name, error)) return false;
    for (const char* name : {isolateSnapshot, vmSnapshot, "cpp_client_wrapper/core_implementations.cc"})
        if (!fs::exists(directory / name, error)) return false;
    return true;
}

EngineArtifacts EngineArtifacts::ensure(const FlutterSDK& sdk, const TorvexPaths& paths, const Environment& environment,
                                        const Progress& progress, std::stop_token stop) {
    const std::string revision = sdk.engineRevision();
    checkRevision(revision, sdk);
    const EngineArtifacts cached{revision, paths.engineCache() / revision};
    if (cached.isComplete()) return cached;

    const CacheClaim claim(cached.directory, stop);
    if (cached.isComplete()) return cached;  // another build finished it meanwhile

    const fs::path staging = paths.engineCache() / ("." + revision + ".partial");
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::create_directories(staging);
    const RemoveOnExit cleanup{staging};

    const std::string base = storageBaseURL(sdk.engineRealm(), environment);
    const auto unzip = ProcessRunner::which("unzip", {"/usr/bin"});
    if (!unzip)
        throw TorvexError(TorvexError::Kind::generic, "unzip is missing.", "/usr/bin/unzip was not found.",
                          "Install it with `apt-get install unzip`.");

    for (const Archive& archive : archives()) {
        const std::string address = base + "/flutter_infra_release/flutter/" + revision + "/" + archive.path;
        if (progress) progress("Downloading " + archive.path);
        const RemoveOnExit downloaded{download(address, revision, stop)};

        ZipUnpacker::unpack(*unzip, downloaded.path, archive.selection, staging, archive.path, stop);
    }

    if (!EngineArtifacts{revision, staging}.isComplete())
        throw TorvexError(TorvexError::Kind::generic,
                          "The Flutter Windows engine download for " + revision + " is incomplete.",
                          "Some expected files were not in the archives.",
                          "This Flutter version may not be supported yet. Try another stable version.");

    fs::remove_all(cached.directory, ignored);
    fs::rename(staging, cached.directory);
    return cached;
}

} // namespace torvex
