// Costs that every call of the library pays: log lines (written and dropped),
// trace scopes, call contexts and configuration reads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/CallContext.h"
#include "common/DataFile.h"
#include "common/Log.h"
#include "devicemanager/DeviceManagerConfig.h"

namespace fs = std::filesystem;

namespace {

fs::path BenchFolder() {
    const fs::path folder = fs::temp_directory_path() / "kvt-bench";
    fs::create_directories(folder);
    return folder;
}

void BM_LogLineWritten(benchmark::State& state) {
    const fs::path path = BenchFolder() / "written.log";
    CLog::Instance().StartLogging(path.string(), CLog::kDebug, 1000000, false);
    for (auto _ : state) CLog::Instance().Info("CUSBDevice::Write: %s-%s %d", "id", "serial", 42);
    CLog::Instance().StopLogging();
}
BENCHMARK(BM_LogLineWritten);

void BM_LogLineBelowThreshold(benchmark::State& state) {
    const fs::path path = BenchFolder() / "dropped.log";
    CLog::Instance().StartLogging(path.string(), CLog::kWarning, 0, false);
    for (auto _ : state) CLog::Instance().Debug("CUSBDevice::Write: %s-%s %d", "id", "serial", 42);
    CLog::Instance().StopLogging();
}
BENCHMARK(BM_LogLineBelowThreshold);

void BM_TraceScopeBelowThreshold(benchmark::State& state) {
    const fs::path path = BenchFolder() / "trace.log";
    CLog::Instance().StartLogging(path.string(), CLog::kWarning, 0, false);
    for (auto _ : state) {
        CFunctionTrace trace("CDevicesManager::DMCaptureImage");
        benchmark::ClobberMemory();
    }
    CLog::Instance().StopLogging();
}
BENCHMARK(BM_TraceScopeBelowThreshold);

void BM_CallContextWithFault(benchmark::State& state) {
    for (auto _ : state) {
        CCallContext context;
        context.CreateArray<kvt__DeviceInformation>(4);
        benchmark::DoNotOptimize(BuildMsgString(&context, "device %s not found", "id"));
        context.ServerFault("device not found");
    }
}
BENCHMARK(BM_CallContextWithFault);

void BM_ReadDeviceManagerConfig(benchmark::State& state) {
    const std::string path = (BenchFolder() / "KVTDeviceManager.ini").string();
    std::remove(path.c_str());
    DeviceManagerConfig{}.Read(path);  // writes the default file
    for (auto _ : state) {
        DeviceManagerConfig config;
        benchmark::DoNotOptimize(config.Read(path));
    }
}
BENCHMARK(BM_ReadDeviceManagerConfig);

// A configuration bloated with keys (about 70 bytes each): reading must stay
// linear in the file size, so that no file can hold up the start.
void BM_LoadLargeIni(benchmark::State& state) {
    const std::string path = (BenchFolder() / "large.ini").string();
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            state.SkipWithError("cannot write the file");
            return;
        }
        long written = 0;
        for (int n = 0; written < state.range(0); ++n) {
            written +=
                std::fprintf(file, "; key number %d\nGeneratedKey%06d=some value %d\n", n, n, n);
        }
        std::fclose(file);
    }
    for (auto _ : state) {
        CDataFile file;
        benchmark::DoNotOptimize(file.Load(path));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadLargeIni)->Arg(200 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
