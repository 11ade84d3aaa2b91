#include "Platform/Digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace torvex {

struct SHA256Hasher::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> evp{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

namespace {

[[noreturn]] void unavailable() { throw std::runtime_error("SHA-256 is not available from OpenSSL"); }

} // namespace

SHA256Hasher::SHA256Hasher() : context_(std::make_unique<Context>()) {
    if (!context_->evp || EVP_DigestInit_ex(context_->evp.get(), EVP_sha256(), nullptr) != 1) unavailable();
}

SHA256Hasher::~SHA256Hasher() = default;

void SHA256Hasher::update(std::string_view bytes) {
    if (EVP_DigestUpdate(context_->evp.get(), bytes.data(), bytes.size()) != 1) unavailable();
}

std::string SHA256Hasher::finalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->evp.get(), digest, &length) != 1) unavailable();
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

std::string sha256Hex(std::string_view bytes) {
    SHA256Hasher hasher;
    hasher.update(bytes);
    return hasher.finalHex();
}

} // namespace torvex
