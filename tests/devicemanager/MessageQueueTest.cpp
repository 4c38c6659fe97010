#include "devicemanager/MessageQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

namespace {

QueuedMessage Message(kvt__MessageType type, const std::string& deviceId,
                      const std::string& receiver = "Core") {
    QueuedMessage message;
    message.type = type;
    message.receiver = receiver;
    message.deviceId = deviceId;
    return message;
}

TEST(MessageQueueTest, RefusesMessagesThatCannotReachAnyone) {
    // A message's type, sensor and receiver, and whether the queue takes it.
    const std::tuple<kvt__MessageType, const char*, const char*, bool> cases[] = {
        {kvt__MessageType__NewDevice, "{A}", "", false},
        {static_cast<kvt__MessageType>(-1), "{A}", "Core", false},
        {kvt__MessageType__CapturedImage, "{A}", "app", false},  // without an image
        {kvt__MessageType__NewDevice, "", "Core", false},
        {kvt__MessageType__LostDevice, "", "Core", false},
        {kvt__MessageType__Timeout, "", "app", false},
        {kvt__MessageType__DMGoingOffline, "", "Core", true},
        {kvt__MessageType__CaptureCancelled, "", "app", true},
    };
    CMessageQueue queue;
    for (const auto& [type, deviceId, receiver, stored] : cases)
        EXPECT_EQ(queue.storeMessage(Message(type, deviceId, receiver)), stored)
            << type << " " << deviceId << " to " << receiver;
    QueuedMessage image = Message(kvt__MessageType__CapturedImage, "{A}", "app");
    image.image = {1, 2, 3};
    EXPECT_TRUE(queue.storeMessage(image));
    EXPECT_EQ(queue.size(), 3u);
}

TEST(MessageQueueTest, APostWakesAWaitingConsumer) {
    CMessageQueue queue;
    std::thread producer([&] { queue.storeMessage(Message(kvt__MessageType__NewDevice, "{A}")); });
    // Without the wake-up this would wait the whole minute.
    while (queue.isEmpty()) queue.WaitForMessage(60000);
    producer.join();
    EXPECT_EQ(queue.size(), 1u);
}

TEST(MessageQueueTest, ConcurrentProducersLoseNothingBelowCapacity) {
    CMessageQueue queue;
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&queue, t] {
            for (int i = 0; i < 20; ++i)
                queue.storeMessage(Message(kvt__MessageType__NewDevice,
                                           std::to_string(t) + ":" + std::to_string(i)));
        });
    }
    std::vector<int> next(4, 0);
    int fetched = 0;
    while (fetched < 80) {
        QueuedMessage out;
        if (!queue.fetchMessage(out)) {
            queue.WaitForMessage(100);
            continue;
        }
        const int t = out.deviceId[0] - '0';
        // Each producer's messages come out in its own posting order.
        EXPECT_EQ(out.deviceId, std::to_string(t) + ":" + std::to_string(next[t]));
        ++next[t];
        ++fetched;
    }
    for (auto& producer : producers) producer.join();
    EXPECT_TRUE(queue.isEmpty());
}

}  // namespace
