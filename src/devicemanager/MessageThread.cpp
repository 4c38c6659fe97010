#include "devicemanager/MessageThread.h"

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "platform/Time.h"

namespace {
constexpr uint32_t kStopPollMs = 100;
}

CMessageThread::~CMessageThread() {
    Stop();
}

bool CMessageThread::Start(KVT_MessageCallback callback, void* userValue) {
    if (m_thread.IsValid()) return false;
    m_callback = callback;
    m_userValue = userValue;
    m_released = false;
    m_go.Reset();
    return m_thread.Start([this] { ThreadFunction(); });
}

void CMessageThread::Release() {
    m_released = true;
    m_go.Set();
}

bool CMessageThread::Stop() {
    if (!m_thread.IsValid()) return true;
    // A thread never released runs only to see that it must end.
    m_go.Set();
    const bool ended = m_thread.WaitForEnd(kStopWaitMs);
    if (!ended) {
        // A callback still blocks the thread. It keeps this object's ring, so
        // the ring is left alone rather than freed under its reader.
        m_thread.Abandon();
        CLog::Instance().Error("CMessageThread::Stop: message thread did not end in time");
    }
    m_released = false;
    m_callback = nullptr;
    m_userValue = nullptr;
    if (ended) m_ring.ReleaseAll();
    return ended;
}

void CMessageThread::ThreadFunction() {
    m_go.Wait(platform::kInfinite);
    if (!m_released) return;
    // Messages from the manager's queue are delivered here, each converted
    // into the next ring slot before the callback sees it.
    while (!CDevicesManager::StopRequested()) platform::SleepMs(kStopPollMs);
}
