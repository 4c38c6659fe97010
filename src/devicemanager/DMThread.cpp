#include "devicemanager/DMThread.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "platform/Event.h"
#include "platform/Time.h"

namespace {

// Signalled by the manager once it runs, and by the manager thread's end; the
// flag tells the two apart.
struct StartEvent {
    platform::CEvent event{false, false};
    std::atomic<bool> managerUp{false};
};

std::mutex g_startMutex;
std::shared_ptr<StartEvent> g_startEvent;

std::shared_ptr<StartEvent> CurrentStartEvent() {
    std::lock_guard lock(g_startMutex);
    return g_startEvent;
}

void SetStartEvent(std::shared_ptr<StartEvent> event) {
    std::lock_guard lock(g_startMutex);
    g_startEvent = std::move(event);
}

}  // namespace

bool CDMThread::SignalStartEvent() {
    const std::shared_ptr<StartEvent> start = CurrentStartEvent();
    if (!start) return false;
    start->managerUp = true;
    start->event.Set();
    return true;
}

int CDMThread::Run(KVT_MessageCallback callback, void* userValue) {
    if (m_thread.IsValid()) return KVT_RESULT_FAILED;
    if (callback != nullptr && !m_messageThread.Start(callback, userValue)) {
        return KVT_RESULT_FAILED;
    }

    auto start = std::make_shared<StartEvent>();
    SetStartEvent(start);
    const bool started = m_thread.Start([this, start] {
        DMThreadFunction();
        start->event.Set();
    });

    int result;
    if (!started) {
        m_messageThread.Stop();
        result = KVT_RESULT_FAILED;
    } else if (!start->event.Wait(kStartWaitMs)) {
        // A thread cannot be killed safely here; it is left to end on its own.
        m_messageThread.Stop();
        m_thread.Abandon();
        result = KVT_RESULT_FAILED;
    } else if (start->managerUp) {
        m_messageThread.Release();
        result = KVT_RESULT_OK;
    } else {
        // The manager thread ended without the manager coming up.
        m_messageThread.Stop();
        m_thread.WaitForEnd(platform::kInfinite);
        result = KVT_RESULT_START_FAILED;
    }
    SetStartEvent(nullptr);

    if (result == KVT_RESULT_OK && callback == nullptr) platform::SleepMs(kNoCallbackPauseMs);
    return result;
}

void CDMThread::DMThreadFunction() {
    // The message thread is not touched here: Run stops it when the manager
    // never came up, and KVT_Stop does otherwise, both on the caller's thread.
    try {
        CDevicesManager* manager = CDevicesManager::CreateInstance();
        manager->Start();
        CDevicesManager::DropInstance();
    } catch (const std::exception& e) {
        CLog::Instance().Error("CDMThread::DMThreadFunction exception: %s", e.what());
    } catch (...) {
        CLog::Instance().Error("CDMThread::DMThreadFunction exception");
    }
}

bool CDMThread::Stop() {
    CDevicesManager* manager = CDevicesManager::Instance();
    if (manager == nullptr) return false;
    manager->Stop();

    bool ended = true;
    if (m_thread.IsValid()) {
        ended = m_thread.WaitForEnd(kStopWaitMs);
        if (!ended) m_thread.Abandon();
    }
    m_messageThread.Stop();
    return ended;
}
