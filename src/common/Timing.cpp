#include "common/Timing.h"

#include <system_error>
#include <thread>

#include "platform/Time.h"

CTimeout::CTimeout(uint64_t timeoutMs) : CTimeout(timeoutMs, platform::GetTickCount32()) {}

CTimeout::CTimeout(uint64_t timeoutMs, uint32_t startTicks)
    : m_timeout(timeoutMs), m_start(startTicks) {}

void CTimeout::Restart() {
    m_start = platform::GetTickCount32();
}

bool CTimeout::IsElapsed() const {
    return IsElapsedAt(platform::GetTickCount32());
}

bool CTimeout::IsElapsedAt(uint32_t nowTicks) const {
    uint64_t now = nowTicks;
    if (now < m_start) now += uint64_t{1} << 32;
    return now - m_start >= m_timeout;
}

bool StartDetachedThread(std::function<void()> body, std::atomic<bool>* started) {
    if (started != nullptr && started->load()) return true;
    try {
        std::thread([body = std::move(body)] {
            try {
                body();
            } catch (...) {
                // A detached thread never lets an exception end the process.
            }
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    if (started != nullptr) *started = true;
    return true;
}
