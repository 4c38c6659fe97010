#include <windows.h>

#include <string>

#include "platform/Module.h"
#include "platform/Paths.h"

namespace platform {

namespace {

// From a full path, the module's own dependencies are looked up beside it.
HMODULE LoadFrom(const std::string& folder, const std::string& name) {
    return ::LoadLibraryExA(JoinPath(folder, name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool Module::Load(const std::string& name, const std::string& folder, std::string* whyNot) {
    Unload();
    HMODULE handle = nullptr;
    if (!folder.empty()) {
        handle = LoadFrom(folder, name);
    } else {
        // The library's own folder first: an application that loads it by full
        // path from elsewhere still gets the modules installed beside it.
        const std::string own = LibraryFolder();
        if (!own.empty()) handle = LoadFrom(own, name);
        if (handle == nullptr) handle = ::LoadLibraryA(name.c_str());
    }
    if (handle == nullptr && whyNot != nullptr)
        *whyNot = "system error " + std::to_string(::GetLastError());
    m_handle = handle;
    return handle != nullptr;
}

void Module::Unload() {
    if (m_handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

void* Module::Symbol(const char* name) const {
    if (m_handle == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

}  // namespace platform
