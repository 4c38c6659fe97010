#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// A deadline on the 32-bit tick count that stays right across one wrap of it.
class CTimeout {
public:
    explicit CTimeout(uint64_t timeoutMs);
    CTimeout(uint64_t timeoutMs, uint32_t startTicks);

    void Restart();
    bool IsElapsed() const;
    // The same test at a given tick count.
    bool IsElapsedAt(uint32_t nowTicks) const;

private:
    uint64_t m_timeout;
    uint64_t m_start;
};

// Runs body on a new detached thread. With a started flag that is already set,
// nothing happens; otherwise the flag is set once the thread exists. False when
// no thread could be created.
bool StartDetachedThread(std::function<void()> body, std::atomic<bool>* started = nullptr);
