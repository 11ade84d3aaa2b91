#include "Platform/LibCrypto.h"

#include "Platform/SharedLibrary.h"

#include <stdexcept>
#include <string>

namespace torvex {

const LibCrypto& libCrypto() {
    constexpr const char* soname = "libcrypto.so.3";
    static std::string reason;
    static const LibCrypto* const loaded = loadLibraryFunctions<LibCrypto>(
        soname,
        [](LibCrypto& api, const auto& bind) {
            return bind(api.contextNew, "EVP_MD_CTX_new") && bind(api.contextFree, "EVP_MD_CTX_free") &&
                   bind(api.sha256, "EVP_sha256") && bind(api.digestInit, "EVP_DigestInit_ex") &&
                   bind(api.digestUpdate, "EVP_DigestUpdate") && bind(api.digestFinal, "EVP_DigestFinal_ex") &&
                   bind(api.encodeBlock, "EVP_EncodeBlock");
        },
        reason);
    if (loaded == nullptr) throw std::runtime_error("OpenSSL's libcrypto cannot be loaded: " + reason);
    return *loaded;
}

} // namespace torvex
