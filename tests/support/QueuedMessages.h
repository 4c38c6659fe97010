#pragma once

#include <vector>

#include "devicemanager/MessageQueue.h"

namespace kvt_test {

// Empties the queue of a manager that is not run, oldest message first.
inline std::vector<QueuedMessage> TakeQueued(CMessageQueue& queue) {
    std::vector<QueuedMessage> messages;
    QueuedMessage message;
    while (queue.fetchMessage(message)) messages.push_back(message);
    return messages;
}

}  // namespace kvt_test
