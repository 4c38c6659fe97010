#include "devicemanager/WorkerThreads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/Immortal.h"

namespace {
std::mutex g_mutex;
// Never destroyed: Windows may end a thread inside a notify at exit.
platform::Immortal<std::condition_variable> g_changedStorage;
std::condition_variable& g_changed = g_changedStorage.Get();
int g_workerThreads = 0;
}  // namespace

namespace WorkerThreads {

void Enter() {
    std::lock_guard lock(g_mutex);
    ++g_workerThreads;
}

void Leave() {
    {
        std::lock_guard lock(g_mutex);
        if (g_workerThreads > 0) --g_workerThreads;
    }
    g_changed.notify_all();
}

int Count() {
    std::lock_guard lock(g_mutex);
    return g_workerThreads;
}

bool WaitForNone(uint32_t timeoutMs) {
    std::unique_lock lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [] { return g_workerThreads == 0; });
}

}  // namespace WorkerThreads
