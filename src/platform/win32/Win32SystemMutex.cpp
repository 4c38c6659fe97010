#include <windows.h>

#include "platform/SystemMutex.h"

namespace platform {

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
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
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
