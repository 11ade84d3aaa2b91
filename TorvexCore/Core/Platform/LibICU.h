#pragma once

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace torvex {

// The functions of ICU's common library that Torvex uses, loaded when first needed rather than at
// every start of torvex (SharedLibrary.h). ICU's C functions carry its major version in their
// names; the headers that this was built with give both those names and the library's.
struct LibICU {
    decltype(&u_strFromUTF8) strFromUTF8;
    decltype(&u_strToUTF8) strToUTF8;
    decltype(&u_strToLower) strToLower;
    decltype(&u_charType) charType;
    decltype(&ubrk_open) breakOpen;
    decltype(&ubrk_first) breakFirst;
    decltype(&ubrk_next) breakNext;
    decltype(&ubrk_close) breakClose;
};

// Loaded once per process (from any thread) and never unloaded; throws std::runtime_error with the
// loader's reason when it cannot be.
const LibICU& libICU();

} // namespace torvex
