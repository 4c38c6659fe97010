#include "api/LibraryState.h"

#include <chrono>

#include "common/Log.h"
#include "platform/Immortal.h"
#include "platform/Thread.h"

LibraryState& State() {
    // Its threads and their events outlive every static destructor.
    static platform::Immortal<LibraryState> state;
    return state.Get();
}

namespace {

// Owns the algorithm and runs ExitAlgo before freeing it.
struct ExitingAlgorithm {
    std::unique_ptr<CAlgo> algorithm;
    ~ExitingAlgorithm() {
        if (!algorithm) return;
        // At process exit the modules may already be unloaded.
        if (platform::ProcessIsExiting()) {
            (void)algorithm.release();
            return;
        }
        try {
            algorithm->ExitAlgo();
        } catch (...) {
            CLog::Instance().Error("CAlgo::ExitAlgo failed");
        }
    }
};

}  // namespace

void CAlgorithmSlot::Install(std::unique_ptr<CAlgo> algorithm) {
    auto owner = std::make_shared<ExitingAlgorithm>();
    owner->algorithm = std::move(algorithm);
    CAlgo* const raw = owner->algorithm.get();
    std::lock_guard lock(m_mutex);
    m_algorithm = std::shared_ptr<CAlgo>(std::move(owner), raw);
}

std::shared_ptr<CAlgo> CAlgorithmSlot::Remove() {
    std::lock_guard lock(m_mutex);
    return std::move(m_algorithm);
}

bool CAlgorithmSlot::WaitUntilUnused(uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_released.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_users == 0; });
}

CAlgorithmSlot::Use::Use(CAlgorithmSlot& slot) : m_slot(slot) {
    std::lock_guard lock(slot.m_mutex);
    m_algorithm = slot.m_algorithm;
    if (m_algorithm) ++slot.m_users;
}

CAlgorithmSlot::Use::~Use() {
    if (!m_algorithm) return;
    {
        std::lock_guard lock(m_slot.m_mutex);
        --m_slot.m_users;
    }
    m_slot.m_released.notify_all();
    // When the slot was emptied meanwhile, this frees the algorithm, outside the lock.
    m_algorithm.reset();
}
