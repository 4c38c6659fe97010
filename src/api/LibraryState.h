#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "algo/Algo.h"
#include "devicemanager/DMThread.h"
#include "kvt/KVTBasic.h"

// The algorithm as the biometric exports share it. A call holds it for its
// whole length, and whoever lets go of it last frees it, so its modules are
// never unloaded while a call runs inside them.
class CAlgorithmSlot {
public:
    // Takes over an initialised algorithm; ExitAlgo runs when it is freed.
    void Install(std::unique_ptr<CAlgo> algorithm);
    // Empties the slot: later calls find no algorithm. Returns what it held.
    std::shared_ptr<CAlgo> Remove();
    // Waits up to timeoutMs for the calls that hold the algorithm to end.
    // True when none is left.
    bool WaitUntilUnused(uint32_t timeoutMs);

    // One call's hold on the algorithm; empty when there is none.
    class Use {
    public:
        explicit Use(CAlgorithmSlot& slot);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        CAlgo* get() const { return m_algorithm.get(); }

    private:
        CAlgorithmSlot& m_slot;
        std::shared_ptr<CAlgo> m_algorithm;
    };

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::shared_ptr<CAlgo> m_algorithm;
    int m_users = 0;
};

// The library's process-wide state. Exports may run while KVT_Start or
// KVT_Stop runs, so what they read here is atomic or guarded; KVT_Start and
// KVT_Stop themselves take turns on lifecycleMutex.
struct LibraryState {
    static constexpr const char* kClientId = "KVTBasic";

    std::mutex lifecycleMutex;
    std::atomic<KVT_MessageCallback> callback{nullptr};
    std::atomic<void*> userValue{nullptr};
    CDMThread managerThread;
    // Filled by KVT_Start when the algorithm could be initialised.
    CAlgorithmSlot algorithm;
};

LibraryState& State();
