// Delivery latency: from posting a message to the application's callback
// running on the message thread, with the library started for real.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "devicemanager/DevicesManager.h"
#include "kvt/KVTBasic.h"

namespace {

std::atomic<int> g_delivered{0};

void KVT_CALLBACK CountDelivery(KVT_Message* message, void*) {
    if (message->type != KVT_MSG_UNSPECIFIED) g_delivered.fetch_add(1);
}

// One library for the whole program: starting it costs seconds.
CDevicesManager* RunningManager() {
    static CDevicesManager* manager = [] {
        const auto folder = std::filesystem::temp_directory_path() / "kvt-bench-messages";
        std::filesystem::create_directories(folder);
#ifdef _WIN32
        _putenv_s("KVT_DATA_DIR", folder.string().c_str());
#else
        setenv("KVT_DATA_DIR", folder.string().c_str(), 1);
#endif
        if (KVT_Start(&CountDelivery, nullptr) != KVT_RESULT_OK) return (CDevicesManager*)nullptr;
        std::atexit([] { KVT_Stop(); });
        return CDevicesManager::Instance();
    }();
    return manager;
}

void BM_PostToCallback(benchmark::State& state) {
    CDevicesManager* manager = RunningManager();
    if (manager == nullptr) {
        state.SkipWithError("the library did not start");
        return;
    }
    QueuedMessage message;
    message.type = kvt__MessageType__Timeout;
    message.receiver = "bench";
    message.deviceId = "{bench}";
    for (auto _ : state) {
        const int before = g_delivered.load();
        manager->MessageQueue().storeMessage(message);
        while (g_delivered.load() == before) std::this_thread::yield();
    }
}
BENCHMARK(BM_PostToCallback)->UseRealTime();

void BM_QueueStoreAndFetch(benchmark::State& state) {
    CMessageQueue queue;
    QueuedMessage message;
    message.type = kvt__MessageType__CapturedImage;
    message.receiver = "bench";
    message.deviceId = "{bench}";
    message.image.assign(93238, 0x80);
    QueuedMessage out;
    for (auto _ : state) {
        queue.storeMessage(message);
        queue.fetchMessage(out);
        benchmark::DoNotOptimize(out.image.data());
    }
}
BENCHMARK(BM_QueueStoreAndFetch);

}  // namespace
