#include "Platform/LibCrypto.h"

#include "Platform/SharedLibrary.h"

namespace torvex {

const LibCrypto& libCrypto() {
    return requiredLibraryFunctions<LibCrypto>("libcrypto.so.3", [](LibCrypto& api, const auto& bind) {
        return bind(api.contextNew, "EVP_MD_CTX_new") && bind(api.contextFree, "EVP_MD_CTX_free") &&
               bind(api.sha256, "EVP_sha256") && bind(api.digestInit, "EVP_DigestInit_ex") &&
               bind(api.digestUpdate, "EVP_DigestUpdate") && bind(api.digestFinal, "EVP_DigestFinal_ex") &&
               bind(api.encodeBlock, "EVP_EncodeBlock");
    });
}

} // namespace torvex
