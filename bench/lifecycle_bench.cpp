// How long KVT_Stop takes when nothing is in flight: with no sensor, with a
// simulated USB sensor, and with an Ethernet listener open. Also the whole
// start-and-stop cycle that every short-lived program pays.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "kvt/KVTBasic.h"
#include "kvt/KVTSimulator.h"

namespace {

void KVT_CALLBACK Ignore(KVT_Message*, void*) {}

// A data folder of its own whose configuration has the listeners asked for.
void UseDataFolder(const char* name, const std::string& listeners) {
    const auto folder = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(folder);
    setenv("KVT_DATA_DIR", folder.string().c_str(), 1);
    std::ofstream(folder / "KVTDeviceManager.ini", std::ios::trunc)
        << "Port=82\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=1000000\n"
           "LogLevel=2\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n"
        << listeners;
}

// Times only KVT_Stop; the start before it is left out.
void TimeStops(benchmark::State& state) {
    for (auto _ : state) {
        if (KVT_Start(&Ignore, nullptr) != KVT_RESULT_OK) {
            state.SkipWithError("KVT_Start failed");
            return;
        }
        const auto before = std::chrono::steady_clock::now();
        const int result = KVT_Stop();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - before;
        if (result != KVT_RESULT_OK) state.SkipWithError("KVT_Stop failed");
        state.SetIterationTime(took.count());
    }
}

void BM_StopIdle(benchmark::State& state) {
    UseDataFolder("kvt-bench-stop-idle", "");
    TimeStops(state);
}

void BM_StopWithUsbSensor(benchmark::State& state) {
    UseDataFolder("kvt-bench-stop-usb", "");
    int simId = 0;
    KVTSim_AttachUsbSensor(KVTSIM_MODEL_U2, nullptr, &simId);
    TimeStops(state);
    KVTSim_Detach(simId);
}

void BM_StopWithListener(benchmark::State& state) {
    // A port of this process's own, so parallel runs do not collide.
    const int port = 20000 + static_cast<int>(getpid() % 20000);
    UseDataFolder("kvt-bench-stop-listener",
                  "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=" + std::to_string(port) + "\n");
    TimeStops(state);
}

void BM_StartAndStop(benchmark::State& state) {
    UseDataFolder("kvt-bench-start-stop", "");
    for (auto _ : state) {
        if (KVT_Start(&Ignore, nullptr) != KVT_RESULT_OK || KVT_Stop() != KVT_RESULT_OK) {
            state.SkipWithError("start or stop failed");
            return;
        }
    }
}

}  // namespace

BENCHMARK(BM_StopIdle)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(3);
BENCHMARK(BM_StopWithUsbSensor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(3);
BENCHMARK(BM_StopWithListener)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(3);
BENCHMARK(BM_StartAndStop)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(3);
