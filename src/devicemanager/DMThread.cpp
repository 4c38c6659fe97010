#include "devicemanager/DMThread.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "platform/Event.h"
#include "platform/Time.h"

// Signalled by the manager once it runs, and by the manager thread's end; the
// flag tells the two apart.
struct CDMThread::StartEvent {
    platform::CEvent event{false, false};
    std::atomic<bool> managerUp{false};
    // Set when KVT_Start gave up waiting: the manager must not come up then.
    bool abandoned = false;
    // Set once the manager thread has ended, whoever waits for it.
    platform::CEvent threadEnded{true, false};
};

namespace {

std::mutex g_startMutex;
std::shared_ptr<CDMThread::StartEvent> g_startEvent;

void SetStartEvent(std::shared_ptr<CDMThread::StartEvent> event) {
    std::lock_guard lock(g_startMutex);
    g_startEvent = std::move(event);
}

}  // namespace

bool CDMThread::SignalStartEvent() {
    std::lock_guard lock(g_startMutex);
    if (!g_startEvent || g_startEvent->abandoned) return false;
    g_startEvent->managerUp = true;
    g_startEvent->event.Set();
    return true;
}

bool CDMThread::StartAbandoned(const StartEvent& start) {
    std::lock_guard lock(g_startMutex);
    return start.abandoned;
}

int CDMThread::Run(KVT_MessageCallback callback, void* userValue) {
    if (m_thread.IsValid()) return KVT_RESULT_FAILED;
    // A manager thread given up on earlier still owns the process's manager;
    // a second one beside it would tear that down under it.
    if (m_start && !m_start->threadEnded.Wait(kStopWaitMs)) {
        CLog::Instance().Error("KVT_Start: the previous device manager has not ended yet");
        return KVT_RESULT_FAILED;
    }
    if (callback != nullptr && !m_messageThread.Start(callback, userValue)) {
        return KVT_RESULT_FAILED;
    }

    auto start = std::make_shared<StartEvent>();
    m_start = start;
    SetStartEvent(start);
    const bool started = m_thread.Start([this, start] {
        DMThreadFunction(*start);
        start->event.Set();
        start->threadEnded.Set();
    });
    m_running = started;

    int result;
    if (!started) {
        m_messageThread.Stop();
        result = KVT_RESULT_FAILED;
    } else if (!start->event.Wait(kStartWaitMs)) {
        CLog::Instance().Error("KVT_Start: the device manager did not start within %u ms",
                               kStartWaitMs);
        {
            std::lock_guard lock(g_startMutex);
            start->abandoned = true;
        }
        // The manager may have come up just now, or come up later: either
        // way it stops at once, and it is given the time of a stop to end.
        CDevicesManager::RequestStop();
        m_messageThread.Stop();
        if (!m_thread.WaitForEnd(kStopWaitMs)) {
            CLog::Instance().Error("KVT_Start: the device manager thread did not end");
            m_thread.Abandon();
        }
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
    if (result != KVT_RESULT_OK) m_running = false;
    SetStartEvent(nullptr);

    if (result == KVT_RESULT_OK && callback == nullptr) platform::SleepMs(kNoCallbackPauseMs);
    return result;
}

void CDMThread::DMThreadFunction(const StartEvent& start) {
    // The message thread is not touched here: Run stops it when the manager
    // never came up, and KVT_Stop does otherwise, both on the caller's thread.
    try {
        CDevicesManager* manager = CDevicesManager::CreateInstance();
        // Reading the configuration can outlast the start's wait.
        if (!StartAbandoned(start)) manager->Start();
        CDevicesManager::DropInstance();
    } catch (const std::exception& e) {
        CLog::Instance().Error("CDMThread::DMThreadFunction exception: %s", e.what());
    } catch (...) {
        CLog::Instance().Error("CDMThread::DMThreadFunction exception");
    }
}

bool CDMThread::Stop() {
    // Without a manager the thread is ending by itself; it is still waited for.
    const bool managerExisted = CDevicesManager::RequestStop();

    bool ended = true;
    if (m_thread.IsValid()) {
        ended = m_thread.WaitForEnd(kStopWaitMs);
        // One that did not end in time runs on; the next start waits for it.
        if (!ended) m_thread.Abandon();
    }
    m_running = false;
    m_messageThread.Stop();
    return managerExisted && ended;
}
