#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace torvex {

// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// SHA-256 of data fed in pieces.
class SHA256Hasher {
public:
    SHA256Hasher();
    ~SHA256Hasher();
    SHA256Hasher(const SHA256Hasher&) = delete;
    SHA256Hasher& operator=(const SHA256Hasher&) = delete;

    void update(std::string_view bytes);
    // The digest of everything fed so far, as 64 lowercase hexadecimal digits. Call once.
    std::string finalHex();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace torvex
