#include "Platform/SystemLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <utility>

namespace torvex {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::debug(std::string_view message) const { send(LOG_DEBUG, message); }
void Logger::info(std::string_view message) const { send(LOG_INFO, message); }
void Logger::notice(std::string_view message) const { send(LOG_NOTICE, message); }
void Logger::error(std::string_view message) const { send(LOG_ERR, message); }

void Logger::send(int priority, std::string_view message) const {
    // Without a journal socket this returns an error, which is of no concern to the caller.
    (void)sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
                          "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=torvex",
                          "TORVEX_SUBSYSTEM=%s", subsystem_.c_str(),
                          "TORVEX_CATEGORY=%s", category_.c_str(), nullptr);
}

} // namespace torvex
