#include <dlfcn.h>

#include <cctype>
#include <string>
#include <string_view>

#include "platform/Module.h"
#include "platform/Paths.h"

namespace platform {

namespace {

// "VFExtractor.dll" -> "libVFExtractor.so".
std::string SharedObjectName(std::string_view name) {
    constexpr std::string_view kDll = ".dll";
    if (name.size() > kDll.size()) {
        const std::string_view suffix = name.substr(name.size() - kDll.size());
        bool isDll = true;
        for (size_t i = 0; i < kDll.size(); ++i)
            isDll &= std::tolower(static_cast<unsigned char>(suffix[i])) == kDll[i];
        if (isDll) name.remove_suffix(kDll.size());
    }
    return "lib" + std::string(name) + ".so";
}

void* Open(const std::string& file, std::string& error) {
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = ::dlerror();
        error = text != nullptr ? text : file;
    }
    return handle;
}

}  // namespace

bool Module::Load(const std::string& name, const std::string& folder, std::string* whyNot) {
    Unload();
    const std::string file = SharedObjectName(name);
    std::string error;
    if (!folder.empty()) {
        m_handle = Open(JoinPath(folder, file), error);
    } else {
        const std::string own = LibraryFolder();
        if (!own.empty()) m_handle = Open(JoinPath(own, file), error);
        // A bare name: LD_LIBRARY_PATH, the caller's RUNPATH, the cache.
        if (m_handle == nullptr) m_handle = Open(file, error);
    }
    if (m_handle == nullptr && whyNot != nullptr) *whyNot = error;
    return m_handle != nullptr;
}

void Module::Unload() {
    if (m_handle != nullptr) ::dlclose(m_handle);
    m_handle = nullptr;
}

void* Module::Symbol(const char* name) const {
    return m_handle != nullptr ? ::dlsym(m_handle, name) : nullptr;
}

}  // namespace platform
