#pragma once

#include <cstdint>
#include <memory>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// A waitable event in the manner of the operating system's event objects:
// auto-reset events release one waiter and clear themselves, manual-reset
// events stay signalled until Reset.
class CEvent {
public:
    CEvent(bool manualReset, bool initiallySignalled);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was signalled within timeoutMs (kInfinite waits for ever).
    bool Wait(uint32_t timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
