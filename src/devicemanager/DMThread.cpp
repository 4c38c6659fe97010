#include "devicemanager/DMThread.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "devicemanager/StartupReport.h"
#include "platform/Event.h"
#include "platform/Time.h"

// Signalled by the manager once it runs, and by the manager thread's end; the
// flag tells the two apart.
struct CDMThread::StartEvent {
    platform::CEvent event{false, false};
    std::atomic<bool> managerUp{false};
    std::atomic<int> failure{KVT_RESULT_START_FAILED};
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

void CDMThread::SignalStartFailure(int result) {
    std::lock_guard lock(g_startMutex);
    if (g_startEvent) g_startEvent->failure = result;
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
        ReportStartup(CLog::kError, "KVT_Start: the previous device manager has not ended yet");
        return KVT_RESULT_FAILED;
    }
    if (callback != nullptr && !m_messageThread.Start(callback, userValue)) {
        ReportStartup(CLog::kError, "KVT_Start: cannot start the message thread");
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
        ReportStartup(CLog::kError, "KVT_Start: cannot start the device manager thread");
        m_messageThread.Stop();
        result = KVT_RESULT_FAILED;
    } else if (!start->event.Wait(kStartWaitMs)) {
        ReportStartup(CLog::kError, "KVT_Start: the device manager did not start within " +
                                        std::to_string(kStartWaitMs) + " ms");
        {
            std::lock_guard lock(g_startMutex);
            start->abandoned = true;
        }
        // The manager may have come up just now, or come up later: either
        // way it stops at once, and it is given the time of a stop to end.
        CDevicesManager::RequestStop();
        m_messageThread.Stop();
        if (!m_thread.WaitForEnd(kStopWaitMs)) {
            ReportStartup(CLog::kError, "KVT_Start: the device manager thread did not end");
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
        result = start->failure;
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
        SignalStartFailure(KVT_RESULT_FAILED);
        ReportStartup(CLog::kError,
                      std::string("CDMThread::DMThreadFunction exception: ") + e.what());
    } catch (...) {
        SignalStartFailure(KVT_RESULT_FAILED);
        ReportStartup(CLog::kError, "CDMThread::DMThreadFunction exception");
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
