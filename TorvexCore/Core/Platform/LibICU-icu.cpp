#include "Platform/LibICU.h"

#include "Platform/SharedLibrary.h"

#include <unicode/uvernum.h>

// The symbol a name of ICU's headers stands for ("u_strToLower" → "u_strToLower_72").
#define TORVEX_ICU_TEXT(x) #x
#define TORVEX_ICU_SYMBOL(x) TORVEX_ICU_TEXT(x)

namespace torvex {

const LibICU& libICU() {
    return requiredLibraryFunctions<LibICU>(
        "libicuuc.so." TORVEX_ICU_SYMBOL(U_ICU_VERSION_MAJOR_NUM), [](LibICU& api, const auto& bind) {
            return bind(api.strFromUTF8, TORVEX_ICU_SYMBOL(u_strFromUTF8)) &&
                   bind(api.strToUTF8, TORVEX_ICU_SYMBOL(u_strToUTF8)) &&
                   bind(api.strToLower, TORVEX_ICU_SYMBOL(u_strToLower)) &&
                   bind(api.charType, TORVEX_ICU_SYMBOL(u_charType)) &&
                   bind(api.breakOpen, TORVEX_ICU_SYMBOL(ubrk_open)) &&
                   bind(api.breakFirst, TORVEX_ICU_SYMBOL(ubrk_first)) &&
                   bind(api.breakNext, TORVEX_ICU_SYMBOL(ubrk_next)) &&
                   bind(api.breakClose, TORVEX_ICU_SYMBOL(ubrk_close));
        });
}

} // namespace torvex
