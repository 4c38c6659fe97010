#include <windows.h>

#include <system_error>

#include "platform/CritSec.h"
#include "platform/Event.h"

static_assert(platform::kInfinite == INFINITE);

struct CCritSec::Impl {
    CRITICAL_SECTION section;
};

CCritSec::CCritSec() : m_impl(std::make_unique<Impl>()) {
    InitializeCriticalSection(&m_impl->section);
}

CCritSec::~CCritSec() {
    DeleteCriticalSection(&m_impl->section);
}

void CCritSec::Enter() {
    EnterCriticalSection(&m_impl->section);
}

void CCritSec::Leave() {
    LeaveCriticalSection(&m_impl->section);
}

bool CCritSec::TryEnter() {
    return TryEnterCriticalSection(&m_impl->section) != FALSE;
}

namespace platform {

struct CEvent::Impl {
    HANDLE handle = nullptr;

    ~Impl() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

CEvent::CEvent(bool manualReset, bool initiallySignalled) : m_impl(std::make_unique<Impl>()) {
    m_impl->handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE,
                                  initiallySignalled ? TRUE : FALSE, nullptr);
    // Only fails when the process is out of handles; like std::mutex, report it
    // rather than hand out an event whose waits return at once.
    if (m_impl->handle == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEventA");
    }
}

CEvent::~CEvent() = default;

void CEvent::Set() {
    SetEvent(m_impl->handle);
}

void CEvent::Reset() {
    ResetEvent(m_impl->handle);
}

bool CEvent::Wait(uint32_t timeoutMs) {
    return WaitForSingleObject(m_impl->handle, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace platform
