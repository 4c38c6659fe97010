#include <windows.h>

#include <string>

#include "platform/Module.h"
#include "platform/Paths.h"

namespace platform {

bool Module::Load(const std::string& name, const std::string& folder, std::string* whyNot) {
    Unload();
    // From a full path, the module's own dependencies are looked up beside it.
    HMODULE handle = folder.empty() ? ::LoadLibraryA(name.c_str())
                                    : ::LoadLibraryExA(JoinPath(folder, name).c_str(), nullptr,
                                                       LOAD_WITH_ALTERED_SEARCH_PATH);
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
