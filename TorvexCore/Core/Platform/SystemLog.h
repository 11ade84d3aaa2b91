#pragma once

#include <string>
#include <string_view>

namespace torvex {

// One category of the system log. Never fails and never throws; silent without a journal.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    void debug(std::string_view message) const;
    void info(std::string_view message) const;
    void notice(std::string_view message) const;
    void error(std::string_view message) const;

    const std::string& category() const { return category_; }

private:
    void send(int priority, std::string_view message) const;

    std::string subsystem_;
    std::string category_;
};

} // namespace torvex
