#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "common/Records.h"
#include "kvt/KVTBasic.h"
#include "platform/CritSec.h"

// The 100 KVT_Message slots handed to the application's callback. A slot and
// its image stay valid until 100 further messages have been converted, or
// until ReleaseAll.
class CMessageRing {
public:
    static constexpr size_t kSlots = 100;

    CMessageRing();
    CMessageRing(const CMessageRing&) = delete;
    CMessageRing& operator=(const CMessageRing&) = delete;

    // Converts a message into the next slot and returns that slot. The slot's
    // previous image is released first.
    KVT_Message* Convert(const kvt__TransportMessage& message);

    // Releases every image and starts again at slot 0.
    void ReleaseAll();

    size_t NextSlot() const;

private:
    mutable CCritSec m_lock;
    std::array<KVT_Message, kSlots> m_slots{};
    std::array<std::unique_ptr<unsigned char[]>, kSlots> m_images;
    size_t m_next = 0;
};
