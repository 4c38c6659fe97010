#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/CritSec.h"
#include "platform/Event.h"

struct CCritSec::Impl {
    std::recursive_mutex mutex;
};

CCritSec::CCritSec() : m_impl(std::make_unique<Impl>()) {}
CCritSec::~CCritSec() = default;
void CCritSec::Enter() {
    m_impl->mutex.lock();
}
void CCritSec::Leave() {
    m_impl->mutex.unlock();
}
bool CCritSec::TryEnter() {
    return m_impl->mutex.try_lock();
}

namespace platform {

struct CEvent::Impl {
    std::mutex mutex;
    std::condition_variable cv;
    bool manualReset;
    bool signalled;
};

CEvent::CEvent(bool manualReset, bool initiallySignalled) : m_impl(std::make_unique<Impl>()) {
    m_impl->manualReset = manualReset;
    m_impl->signalled = initiallySignalled;
}

CEvent::~CEvent() = default;

void CEvent::Set() {
    // Notified under the lock: a waiter that wakes may destroy the event at once.
    std::lock_guard lock(m_impl->mutex);
    m_impl->signalled = true;
    if (m_impl->manualReset) {
        m_impl->cv.notify_all();
    } else {
        m_impl->cv.notify_one();
    }
}

void CEvent::Reset() {
    std::lock_guard lock(m_impl->mutex);
    m_impl->signalled = false;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(m_impl->mutex);
    auto ready = [this] { return m_impl->signalled; };
    bool ok;
    if (timeoutMs == kInfinite) {
        m_impl->cv.wait(lock, ready);
        ok = true;
    } else {
        ok = m_impl->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (ok && !m_impl->manualReset) m_impl->signalled = false;
    return ok;
}

}  // namespace platform
