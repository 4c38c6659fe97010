#pragma once

#include <memory>

#include "algo/Algo.h"
#include "devicemanager/DMThread.h"
#include "kvt/KVTBasic.h"

// The library's process-wide state. KVT_Start and KVT_Stop must not run
// concurrently with other exports, so it needs no lock of its own.
struct LibraryState {
    static constexpr const char* kClientId = "KVTBasic";

    KVT_MessageCallback callback = nullptr;
    void* userValue = nullptr;
    CDMThread managerThread;
    // Created and initialised by KVT_Start; null while stopped or when it
    // could not be initialised.
    std::unique_ptr<CAlgo> algorithm;
};

LibraryState& State();

// True while the manager thread runs and a device manager exists.
bool LibraryIsRunning();
