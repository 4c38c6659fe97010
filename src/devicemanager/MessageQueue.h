#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/Records.h"
#include "platform/CritSec.h"
#include "platform/Event.h"

// The queue's own copy of a message for the application.
struct QueuedMessage {
    kvt__MessageType type = kvt__MessageType__Unspecified;
    std::string receiver;
    std::string deviceId;
    std::string additionalInfo;
    std::vector<uint8_t> image;
    int32_t LFDLevel = -1;
    std::string LFDData;
    std::string properties;
};

// Everything the library reports unasked goes through here: any thread posts,
// the message thread fetches. At most 100 messages wait; a further one pushes
// out the oldest.
class CMessageQueue {
public:
    static constexpr size_t kCapacity = 100;

    // False, silently, for a message that cannot reach anyone.
    bool storeMessage(const QueuedMessage& message);
    bool fetchMessage(QueuedMessage& out);
    bool isEmpty();
    size_t size();

    // Waits up to timeoutMs for a message to be posted or for Interrupt; the
    // consumer still re-checks the queue and its stop flag afterwards.
    void WaitForMessage(uint32_t timeoutMs);
    // Wakes a waiting consumer without a message (the manager is stopping).
    void Interrupt();

private:
    CCritSec m_lock;
    std::deque<QueuedMessage> m_entries;
    platform::CEvent m_posted{false, false};
};
