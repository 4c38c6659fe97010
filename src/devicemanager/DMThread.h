#pragma once

#include <atomic>
#include <memory>

#include "devicemanager/MessageThread.h"
#include "kvt/KVTBasic.h"
#include "platform/Thread.h"

// The thread that runs the device manager, and the message thread that goes
// with it.
class CDMThread {
public:
    static constexpr uint32_t kStartWaitMs = 10000;
    static constexpr uint32_t kStopWaitMs = 10000;
    static constexpr uint32_t kNoCallbackPauseMs = 2000;

    CDMThread() = default;
    CDMThread(const CDMThread&) = delete;
    CDMThread& operator=(const CDMThread&) = delete;

    // Starts the manager and waits until it runs. 0 when it runs, -6 when
    // another manager holds the machine-wide lock, -1 on any other failure
    // (the log, or standard error, says which).
    int Run(KVT_MessageCallback callback, void* userValue);
    // Stops the manager and the message thread. False when no manager exists
    // or its thread did not end within 10 s.
    bool Stop();

    // The library counts as running exactly while the manager thread exists.
    // Safe to ask from any thread.
    bool IsRunning() const { return m_running.load(); }
    CMessageThread& MessageThread() { return m_messageThread; }

    // Called by the manager once it runs. False when nobody waits for it.
    static bool SignalStartEvent();
    // Called by a manager that cannot start: Run returns result (-6 unless
    // told otherwise) once the manager thread has ended.
    static void SignalStartFailure(int result);

    // What a start and its manager thread share.
    struct StartEvent;

private:
    // True when KVT_Start gave up waiting for this start.
    static bool StartAbandoned(const StartEvent& start);
    void DMThreadFunction(const StartEvent& start);

    platform::CThread m_thread;
    std::atomic<bool> m_running{false};
    // The latest manager thread's start, kept until a later start has seen
    // that thread end.
    std::shared_ptr<StartEvent> m_start;
    CMessageThread m_messageThread;
};
