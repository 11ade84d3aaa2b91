#include "Base64.h"

#include <gtest/gtest.h>

using namespace torvex::cli;

TEST(Base64Test, DecodesStandardBase64Strictly) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"iVBORw0KGgo=", std::string("\x89PNG\r\n\x1a\n", 8)},
        {"+/+/", std::string("\xfb\xff\xbf", 3)},
        {"AAAA", std::string(3, '\0')},
        {"Zg=", std::nullopt},       // not a multiple of four
        {"Zg", std::nullopt},
        {"Zm9v\n", std::nullopt},    // a line break
        {"Zm9v YmFy", std::nullopt},
        {"Zm9v\r\nYmFy", std::nullopt},
        {"Z===", std::nullopt},
        {"====", std::nullopt},
        {"Zg==Zg==", std::nullopt},  // padding inside
        {"Zm=v", std::nullopt},
        {"-_-_", std::nullopt},      // the URL alphabet
        {"Zm9v!", std::nullopt},
        {"not base64 at all", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(decodedBase64(text), bytes) << "'" << text << "'";
}
