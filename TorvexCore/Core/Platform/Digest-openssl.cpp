#include "Platform/Digest.h"

#include "Platform/LibCrypto.h"

#include <stdexcept>

namespace torvex {

namespace {

[[noreturn]] void unavailable() { throw std::runtime_error("SHA-256 is not available from OpenSSL"); }

} // namespace

struct SHA256Hasher::Context {
    const LibCrypto& api = libCrypto();
    EVP_MD_CTX* evp = api.contextNew();
    ~Context() {
        if (evp != nullptr) api.contextFree(evp);
    }
};

SHA256Hasher::SHA256Hasher() : context_(std::make_unique<Context>()) {
    if (context_->evp == nullptr || context_->api.digestInit(context_->evp, context_->api.sha256(), nullptr) != 1)
        unavailable();
}

SHA256Hasher::~SHA256Hasher() = default;

void SHA256Hasher::update(std::string_view bytes) {
    if (context_->api.digestUpdate(context_->evp, bytes.data(), bytes.size()) != 1) unavailable();
}

std::string SHA256Hasher::finalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (context_->api.digestFinal(context_->evp, digest, &length) != 1) unavailable();
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
