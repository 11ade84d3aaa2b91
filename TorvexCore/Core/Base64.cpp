#include "Base64.h"

#include "Platform/LibCrypto.h"

#include <algorithm>
#include <cstdint>

namespace torvex {

namespace {

// The 6-bit value of one Base64 character; -1 for anything else.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

std::string base64Encoded(std::string_view bytes) {
    // EVP_EncodeBlock takes an int length: whole groups of three bytes at a time.
    constexpr std::size_t piece = 3 * (1 << 20);
    const auto encodeBlock = libCrypto().encodeBlock;
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t start = 0; start < bytes.size(); start += piece) {
        const std::size_t size = std::min(piece, bytes.size() - start);
        const std::size_t at = text.size();
        text.resize(at + (size + 2) / 3 * 4 + 1);  // and EVP_EncodeBlock's terminating zero
        const int written = encodeBlock(reinterpret_cast<unsigned char*>(text.data() + at),
                                            reinterpret_cast<const unsigned char*>(bytes.data() + start),
                                            static_cast<int>(size));
        text.resize(at + static_cast<std::size_t>(written));
    }
    return text;
}

std::optional<std::string> decodedBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t group = 0; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        const std::size_t characters = last ? 4 - padding : 4;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            int value = 0;
            if (i < characters) {
                value = sextet(text[group + i]);
                if (value < 0) return std::nullopt;
            }
            bits = bits << 6 | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<char>(bits >> 16 & 0xFF));
        if (characters > 2) bytes.push_back(static_cast<char>(bits >> 8 & 0xFF));
        if (characters > 3) bytes.push_back(static_cast<char>(bits & 0xFF));
    }
    return bytes;
}

} // namespace torvex
