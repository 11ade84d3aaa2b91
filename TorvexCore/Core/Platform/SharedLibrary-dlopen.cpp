#include "Platform/SharedLibrary.h"

#include <dlfcn.h>

namespace torvex {

void* loadSharedLibrary(const char* soname, std::string& failure) {
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        failure = reason != nullptr ? reason : std::string(soname) + " cannot be loaded";
    }
    return library;
}

void* sharedLibrarySymbol(void* library, const char* soname, const char* name, std::string& failure) {
    void* address = ::dlsym(library, name);
    if (address == nullptr) failure = std::string(soname) + " has no " + name;
    return address;
}

} // namespace torvex
