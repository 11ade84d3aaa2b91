#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// `bytes` in standard Base64 (RFC 4648: A-Z a-z 0-9 + /, "=" padding), on one line.
std::string base64Encoded(std::string_view bytes);

// The bytes that `text` encodes in standard Base64 (RFC 4648: A-Z a-z 0-9 + /, "=" padding to a
// multiple of four). Strict: any other character, a line break included, a missing or misplaced
// "=", or a length that is no multiple of four gives none. "" decodes to no bytes.
std::optional<std::string> decodedBase64(std::string_view text);

} // namespace torvex
