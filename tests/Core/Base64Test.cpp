#include "Core/Base64.h"

#include <gtest/gtest.h>

using namespace torvex;

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

TEST(Base64Test, EncodesWithPaddingOnOneLineAndDecodesBack) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
        {std::string("\x89PNG\r\n\x1a\n", 8), "iVBORw0KGgo="},
        {std::string("\xfb\xff\xbf", 3), "+/+/"},
        {std::string(3, '\0'), "AAAA"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(base64Encoded(bytes), text) << text;

    // Beyond the encoder's piece of 3 MiB, and no line breaks.
    std::string large(7 * 1024 * 1024 + 2, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7919 % 251);
    const std::string encoded = base64Encoded(large);
    EXPECT_EQ(encoded.size(), (large.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(decodedBase64(encoded), large);
}
