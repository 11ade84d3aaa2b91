#pragma once

#include <openssl/evp.h>

namespace torvex {

// The functions of OpenSSL's libcrypto that Torvex uses, loaded when first needed rather than at
// every start of torvex (SharedLibrary.h).
struct LibCrypto {
    decltype(&EVP_MD_CTX_new) contextNew;
    decltype(&EVP_MD_CTX_free) contextFree;
    decltype(&EVP_sha256) sha256;
    decltype(&EVP_DigestInit_ex) digestInit;
    decltype(&EVP_DigestUpdate) digestUpdate;
    decltype(&EVP_DigestFinal_ex) digestFinal;
    decltype(&EVP_EncodeBlock) encodeBlock;
};

// Loaded once per process (from any thread) and never unloaded; throws std::runtime_error with the
// loader's reason when it cannot be.
const LibCrypto& libCrypto();

} // namespace torvex
