#pragma once

#include <cstdint>

// The process-wide count of running worker threads (asynchronous captures,
// Ethernet connections). The manager's shutdown waits for it to reach 0.
namespace WorkerThreads {

void Enter();
// Never takes the count below 0.
void Leave();
int Count();
// True once the count is 0, false when timeoutMs passed first.
bool WaitForNone(uint32_t timeoutMs);

}  // namespace WorkerThreads

// Counts the current thread as a worker for the lifetime of the scope.
class CWorkerThreadScope {
public:
    CWorkerThreadScope() { WorkerThreads::Enter(); }
    ~CWorkerThreadScope() { WorkerThreads::Leave(); }
    CWorkerThreadScope(const CWorkerThreadScope&) = delete;
    CWorkerThreadScope& operator=(const CWorkerThreadScope&) = delete;
};
