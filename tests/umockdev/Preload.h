#pragma once

#include <dlfcn.h>

namespace kvt_umock {

inline constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// Whether umockdev's preload library is loaded into this process (it comes
// only through LD_PRELOAD).
inline bool PreloadIsLoaded() {
    void* library = dlopen(kPreloadLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}

}  // namespace kvt_umock
