#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

// True once the process is ending without having unloaded the library (an
// application that returned from main without KVT_Stop). On Windows every
// other thread has then been ended by the system, and a wait for one of them
// would never return. Always false elsewhere, where threads run on until exit.
bool ProcessIsExiting();

// Has stop run when the process exits with the library still running, before
// the library's static objects are destroyed: where threads outlive main
// (POSIX) they must have ended by then. Call it again after each start, so it
// runs before the statics that start created. Nothing on Windows, where the
// system has ended the threads already and DllMain takes care of the rest.
// False when the handler could not be registered.
bool StopBeforeExit(void (*stop)());

// A joinable thread whose end can be awaited with a time-out. A thread that
// does not end in time can be abandoned: it runs on, detached, and its handle
// counts as closed.
class CThread {
public:
    CThread() = default;
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    bool Start(std::function<void()> body);
    bool IsValid() const { return m_thread.joinable(); }
    bool HasEnded() const;
    // True (and the thread joined) when it ended within timeoutMs; false at
    // once when the process is exiting.
    bool WaitForEnd(uint32_t timeoutMs);
    void Abandon();
    uint32_t Id() const;

private:
    struct Shared;
    std::thread m_thread;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace platform
