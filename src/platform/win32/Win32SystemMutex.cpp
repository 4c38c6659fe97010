#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/Environment.h"
#include "platform/SystemMutex.h"

namespace platform {

namespace {

// With KVT_DATA_DIR set, instances with different data folders are isolated,
// as on POSIX: the folder's hash joins the name (which may hold no '\\').
std::string InstanceName(const std::string& name) {
    const std::string folder = EnvironmentVariable("KVT_DATA_DIR");
    if (folder.empty()) return name;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a; paths are case-insensitive
    for (unsigned char c : folder) hash = (hash ^ std::tolower(c)) * 1099511628211ull;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "_%016llx", static_cast<unsigned long long>(hash));
    return name + suffix;
}

}  // namespace

struct CSystemMutex::Impl {
    HANDLE handle = nullptr;
};

CSystemMutex::CSystemMutex() : m_impl(std::make_unique<Impl>()) {}

CSystemMutex::~CSystemMutex() {
    Close();
}

CSystemMutex::Result CSystemMutex::Create(const std::string& name) {
    Close();
    // The mutex is never acquired: holding an open handle to the name is what
    // keeps other device managers out, and the name vanishes with the last handle.
    HANDLE handle = CreateMutexA(nullptr, FALSE, InstanceName(name).c_str());
    if (handle == nullptr) return Result::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return Result::AlreadyExists;
    }
    m_impl->handle = handle;
    return Result::Created;
}

void CSystemMutex::Close() {
    if (m_impl->handle != nullptr) {
        CloseHandle(m_impl->handle);
        m_impl->handle = nullptr;
    }
}

bool CSystemMutex::IsHeld() const {
    return m_impl->handle != nullptr;
}

}  // namespace platform
