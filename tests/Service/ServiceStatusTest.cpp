#include "Service/LogLine.h"
#include "Service/ServiceStatus.h"

#include <gtest/gtest.h>

using namespace torvex;

TEST(ServiceStatusTest, Labels) {
    const std::vector<std::pair<ServiceStatus, std::string>> cases = {
        {ServiceStatus::building("demo"), "Building demo"},
        {ServiceStatus::building(""), "Building "},
        {ServiceStatus::running("demo", "demo_app", false), "Running demo (not attached)"},
        {ServiceStatus::running("demo", "demo_app", true), "Running demo"},
        {ServiceStatus::idle(), "Idle"},
        {ServiceStatus(), "Idle"},
    };
    for (const auto& [status, label] : cases) EXPECT_EQ(status.label(), label);
}

TEST(ServiceStatusTest, EqualityComparesCaseAndEveryValue) {
    const ServiceStatus running = ServiceStatus::running("demo", "demo", true);
    EXPECT_EQ(running, ServiceStatus::running("demo", "demo", true));
    EXPECT_NE(running, ServiceStatus::running("demo", "other", true));
    EXPECT_NE(running, ServiceStatus::running("demo", "demo", false));
    EXPECT_NE(ServiceStatus::building("demo"), ServiceStatus::running("demo", "demo", true));
    EXPECT_NE(ServiceStatus::building(""), ServiceStatus::idle());
}

TEST(ServiceStatusTest, LogSourceRawValues) {
    const std::vector<std::pair<std::string, std::optional<LogLine::Source>>> cases = {
        {"build", LogLine::Source::build}, {"app", LogLine::Source::app},   {"torvex", LogLine::Source::torvex},
        {"Build", std::nullopt},           {"", std::nullopt},              {"torvex ", std::nullopt},
    };
    for (const auto& [text, source] : cases) EXPECT_EQ(logSourceFromRawValue(text), source) << text;
    for (const auto source : LogLine::allSources) EXPECT_EQ(logSourceFromRawValue(rawValue(source)), source);
}
