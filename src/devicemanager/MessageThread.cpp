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
    m_releasedAs = 0;
    m_go.Reset();
    // Taken here, before any Stop can advance it.
    const uint64_t generation = m_generation.load();
    return m_thread.Start([this, generation] { ThreadFunction(generation); });
}

void CMessageThread::Release() {
    CMessageDeliveryScope::Announce();
    m_releasedAs = m_generation.load() + 1;
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
    // A released thread that never woke up is no longer counted as delivering.
    if (m_releasedAs.exchange(0) != 0) CMessageDeliveryScope::Withdraw();
    m_callback = nullptr;
    m_userValue = nullptr;
    if (ended) m_ring.ReleaseAll();
    return ended;
}

void CMessageThread::ThreadFunction(uint64_t generation) {
    m_go.Wait(platform::kInfinite);
    uint64_t released = generation + 1;
    if (!m_releasedAs.compare_exchange_strong(released, 0)) return;
    // Taken once: Stop clears the members and may give up on this thread
    // while a callback still runs.
    const KVT_MessageCallback callback = m_callback;
    void* const userValue = m_userValue;
    const CMessageDeliveryScope delivering;
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
        if (callback != nullptr) {
            KVT_Message* const message = m_ring.Convert(record);
            const CMessageDeliveryScope::InCallback busy;
            // Checked last, so a stop at exit leaves the smallest window.
            if (!s_muted.load()) callback(message, userValue);
        }
        context.Release();
    }
}
