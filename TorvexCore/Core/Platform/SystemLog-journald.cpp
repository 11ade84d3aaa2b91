#include "Platform/SystemLog.h"

#include "Platform/SharedLibrary.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <utility>

namespace torvex {

namespace {

// libsystemd (and the libraries it needs) is loaded at the first message, not at the program's
// start (SharedLibrary.h): most runs of torvex log nothing.
struct Journal {
    decltype(&sd_journal_send) send;
};

// None when the library cannot be loaded: the log is silent, as without a journal.
const Journal* journal() {
    static std::string ignored;
    static const Journal* const loaded = loadLibraryFunctions<Journal>(
        "libsystemd.so.0", [](Journal& api, const auto& bind) { return bind(api.send, "sd_journal_send"); }, ignored);
    return loaded;
}

} // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::debug(std::string_view message) const { send(LOG_DEBUG, message); }
void Logger::info(std::string_view message) const { send(LOG_INFO, message); }
void Logger::notice(std::string_view message) const { send(LOG_NOTICE, message); }
void Logger::error(std::string_view message) const { send(LOG_ERR, message); }

void Logger::send(int priority, std::string_view message) const {
    const Journal* const log = journal();
    if (log == nullptr) return;
    // Without a journal socket this returns an error, which is of no concern to the caller.
    (void)log->send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d", priority,
                  "SYSLOG_IDENTIFIER=torvex", "TORVEX_SUBSYSTEM=%s", subsystem_.c_str(), "TORVEX_CATEGORY=%s",
                  category_.c_str(), nullptr);
}

} // namespace torvex
