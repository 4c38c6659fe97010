#include "platform/Thread.h"

#include <atomic>
#include <system_error>

#include "platform/Event.h"
#include "platform/Time.h"

namespace platform {

// Shared with the thread itself, so that an abandoned thread can still report
// its end after its CThread is gone.
struct CThread::Shared {
    CEvent ended{true, false};
    std::atomic<uint32_t> id{0};
};

CThread::~CThread() {
    if (!m_thread.joinable()) return;
    if (HasEnded()) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

bool CThread::Start(std::function<void()> body) {
    if (m_thread.joinable()) return false;
    auto shared = std::make_shared<Shared>();
    try {
        m_thread = std::thread([shared, body = std::move(body)] {
            shared->id = CurrentThreadId();
            try {
                body();
            } catch (...) {
                // A thread body never lets an exception end the process.
            }
            shared->ended.Set();
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_shared = std::move(shared);
    return true;
}

bool CThread::HasEnded() const {
    return m_shared && m_shared->ended.Wait(0);
}

bool CThread::WaitForEnd(uint32_t timeoutMs) {
    if (!m_thread.joinable()) return true;
    if (ProcessIsExiting()) return false;
    if (!m_shared->ended.Wait(timeoutMs)) return false;
    m_thread.join();
    return true;
}

void CThread::Abandon() {
    if (m_thread.joinable()) m_thread.detach();
}

uint32_t CThread::Id() const {
    return m_shared ? m_shared->id.load() : 0;
}

}  // namespace platform
