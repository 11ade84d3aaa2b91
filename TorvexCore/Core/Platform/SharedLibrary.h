#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace torvex {

// Loading a shared library when it is first needed rather than at the program's start: each
// library linked into torvex costs every start its loading, also of commands that never use it.

// The library `soname`, loaded now (or found loaded) and never unloaded; nullptr, with the
// loader's reason in `failure`, when it cannot be loaded.
void* loadSharedLibrary(const char* soname, std::string& failure);

// The address of `name` in `library`; nullptr, with the reason in `failure`, when it has none.
void* sharedLibrarySymbol(void* library, const char* soname, const char* name, std::string& failure);

// Points `function` at `name` in `library`; false, with the reason in `failure`, when it has none.
template <class Function>
bool bindSymbol(void* library, const char* soname, const char* name, Function& function, std::string& failure) {
    function = reinterpret_cast<Function>(sharedLibrarySymbol(library, soname, name, failure));
    return function != nullptr;
}

// Loads `soname` and a new Api, a struct of function pointers that `bindAll(api, bind)` points at
// the library, each through `bind(function, name)`, which answers false for a missing name. The
// Api (never destroyed, like the library), or nullptr with the reason in `failure`.
template <class Api, class BindAll>
const Api* loadLibraryFunctions(const char* soname, BindAll bindAll, std::string& failure) {
    void* library = loadSharedLibrary(soname, failure);
    if (library == nullptr) return nullptr;
    auto api = std::make_unique<Api>();
    const auto bind = [&](auto& function, const char* name) {
        return bindSymbol(library, soname, name, function, failure);
    };
    if (!bindAll(*api, bind)) return nullptr;
    return api.release();
}

// loadLibraryFunctions once per process (each call site keeps its own Api); throws
// std::runtime_error with the reason when the library cannot be had.
template <class Api, class BindAll>
const Api& requiredLibraryFunctions(const char* soname, BindAll bindAll) {
    static std::string reason;
    static const Api* const loaded = loadLibraryFunctions<Api>(soname, bindAll, reason);
    if (loaded == nullptr) throw std::runtime_error(std::string(soname) + " cannot be loaded: " + reason);
    return *loaded;
}

} // namespace torvex
