#pragma once

#include <atomic>
#include <cstdint>

#include "common/MessageRing.h"
#include "kvt/KVTBasic.h"
#include "platform/Event.h"
#include "platform/Thread.h"

// The one thread that calls the application's callback. It is created held
// back and only released once the device manager runs, so the callback never
// sees a message before KVT_Start has succeeded.
class CMessageThread {
public:
    static constexpr uint32_t kStopWaitMs = 1000;

    CMessageThread() = default;
    ~CMessageThread();
    CMessageThread(const CMessageThread&) = delete;
    CMessageThread& operator=(const CMessageThread&) = delete;

    // Creates the thread, held back; false when it exists already or cannot be created.
    bool Start(KVT_MessageCallback callback, void* userValue);
    void Release();
    // Ends the thread (releasing it first if needed) and waits up to 1000 ms.
    // True when it ended in time.
    bool Stop();

    bool Exists() const { return m_thread.IsValid(); }

    // From now on no message reaches any callback: a stop at process exit
    // must not call into an application whose main has returned.
    static void MuteForProcessExit() { s_muted = true; }

private:
    // generation: the value of m_generation when the thread was started.
    void ThreadFunction(uint64_t generation);

    static inline std::atomic<bool> s_muted{false};

    KVT_MessageCallback m_callback = nullptr;
    void* m_userValue = nullptr;
    CMessageRing m_ring;
    platform::CThread m_thread;
    // The generation + 1 of a release, taken back to 0 by the thread when it
    // wakes, or by Stop when it never did: exactly one of them counts it out.
    std::atomic<uint64_t> m_releasedAs{0};
    // Advanced by Stop: a thread started before it delivers nothing more.
    std::atomic<uint64_t> m_generation{0};
    platform::CEvent m_go{true, false};
};
