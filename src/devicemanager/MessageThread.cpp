#include "devicemanager/MessageThread.h"

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "platform/Time.h"

CMessageThread::~CMessageThread() {
    Stop();
}

bool CMessageThread::Start(KVT_MessageCallback callback, void* userValue) {
    if (m_thread.IsValid()) return false;
    m_callback = callback;
    m_userValue = userValue;
    m_released = false;
    m_go.Reset();
    // Taken here, before any Stop can advance it.
    const uint64_t generation = m_generation.load();
    return m_thread.Start([this, generation] { ThreadFunction(generation); });
}

void CMessageThread::Release() {
    m_released = true;
    m_go.Set();
}

bool CMessageThread::Stop() {
    if (!m_thread.IsValid()) return true;
    // A thread still in a callback ends as soon as the callback returns.
    ++m_generation;
    // A thread never released runs only to see that it must end.
    m_go.Set();
    // Called from the callback, the thread cannot end before this returns.
    const bool ownThread = m_thread.Id() == platform::CurrentThreadId();
    const bool ended = !ownThread && m_thread.WaitForEnd(kStopWaitMs);
    if (!ended) {
        // A callback still blocks the thread. It keeps this object's ring, so
        // the ring is left alone rather than freed under its reader.
        m_thread.Abandon();
        if (!ownThread)
            CLog::Instance().Error("CMessageThread::Stop: message thread did not end in time");
    }
    m_released = false;
    m_callback = nullptr;
    m_userValue = nullptr;
    if (ended) m_ring.ReleaseAll();
    return ended;
}

void CMessageThread::ThreadFunction(uint64_t generation) {
    m_go.Wait(platform::kInfinite);
    if (!m_released) return;
    // Taken once: Stop clears the members and may give up on this thread
    // while a callback still runs.
    const KVT_MessageCallback callback = m_callback;
    void* const userValue = m_userValue;
    CMessageDeliveryScope delivering;
    CCallContext context;
    bool offline = false;
    // The going-offline message of a stopping manager is the last one there is.
    while (!offline && m_generation.load() == generation) {
        kvt__TransportMessage record;
        record.data.LFDLevel = -1;
        // A failed query still leaves an Unspecified record to deliver.
        if (!CDevicesManager::QueryMessageIfRunning(&context, record)) break;
        offline =
            record.type == kvt__MessageType__DMGoingOffline && CDevicesManager::StopRequested();
        if (callback != nullptr && !s_muted.load()) callback(m_ring.Convert(record), userValue);
        context.Release();
    }
}
