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

namespace {

// Signalled by the manager once it runs, and by the manager thread's end; the
// flag tells the two apart.
struct StartEvent {
    platform::CEvent event{false, false};
    std::atomic<bool> managerUp{false};
    std::atomic<int> failure{KVT_RESULT_START_FAILED};
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

void CDMThread::SignalStartFailure(int result) {
    const std::shared_ptr<StartEvent> start = CurrentStartEvent();
    if (start) start->failure = result;
}

int CDMThread::Run(KVT_MessageCallback callback, void* userValue) {
    if (m_thread.IsValid()) return KVT_RESULT_FAILED;
    if (callback != nullptr && !m_messageThread.Start(callback, userValue)) {
        ReportStartup(CLog::kError, "KVT_Start: cannot start the message thread");
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
        ReportStartup(CLog::kError, "KVT_Start: cannot start the device manager thread");
        m_messageThread.Stop();
        result = KVT_RESULT_FAILED;
    } else if (!start->event.Wait(kStartWaitMs)) {
        // A thread cannot be killed safely here; it is left to end on its own.
        ReportStartup(CLog::kError, "KVT_Start: the device manager did not start within " +
                                        std::to_string(kStartWaitMs) + " ms");
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
        result = start->failure;
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
        SignalStartFailure(KVT_RESULT_FAILED);
        ReportStartup(CLog::kError,
                      std::string("CDMThread::DMThreadFunction exception: ") + e.what());
    } catch (...) {
        SignalStartFailure(KVT_RESULT_FAILED);
        ReportStartup(CLog::kError, "CDMThread::DMThreadFunction exception");
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
