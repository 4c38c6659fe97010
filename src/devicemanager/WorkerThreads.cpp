#include "devicemanager/WorkerThreads.h"

#include <atomic>

namespace {
std::atomic<int> g_workerThreads{0};
}

namespace WorkerThreads {

void Enter() {
    g_workerThreads.fetch_add(1);
}

void Leave() {
    int current = g_workerThreads.load();
    while (current > 0 && !g_workerThreads.compare_exchange_weak(current, current - 1)) {
    }
}

int Count() {
    return g_workerThreads.load();
}

}  // namespace WorkerThreads
