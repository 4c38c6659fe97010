#include "devicemanager/MessageQueue.h"

#include <gtest/gtest.h>

#include <thread>
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
    CMessageQueue queue;
    EXPECT_FALSE(queue.storeMessage(Message(kvt__MessageType__NewDevice, "{A}", "")));
    EXPECT_FALSE(queue.storeMessage(Message(static_cast<kvt__MessageType>(-1), "{A}")));
    EXPECT_FALSE(queue.storeMessage(Message(kvt__MessageType__CapturedImage, "{A}", "app")));
    EXPECT_FALSE(queue.storeMessage(Message(kvt__MessageType__NewDevice, "")));
    EXPECT_FALSE(queue.storeMessage(Message(kvt__MessageType__LostDevice, "")));
    EXPECT_FALSE(queue.storeMessage(Message(kvt__MessageType__Timeout, "", "app")));
    EXPECT_TRUE(queue.isEmpty());

    EXPECT_TRUE(queue.storeMessage(Message(kvt__MessageType__DMGoingOffline, "")));
    EXPECT_TRUE(queue.storeMessage(Message(kvt__MessageType__CaptureCancelled, "", "app")));
    QueuedMessage image = Message(kvt__MessageType__CapturedImage, "{A}", "app");
    image.image = {1, 2, 3};
    EXPECT_TRUE(queue.storeMessage(image));
    EXPECT_EQ(queue.size(), 3u);
}

TEST(MessageQueueTest, FetchesInPostingOrderWithEveryField) {
    CMessageQueue queue;
    QueuedMessage image = Message(kvt__MessageType__CapturedImage, "{B}", "app");
    image.image = {9, 8, 7};
    image.LFDLevel = 5;
    image.LFDData = "data";
    image.properties = "20" + std::string(30, '0');
    image.additionalInfo = "info";
    ASSERT_TRUE(queue.storeMessage(Message(kvt__MessageType__NewDevice, "{A}")));
    ASSERT_TRUE(queue.storeMessage(image));

    QueuedMessage out;
    ASSERT_TRUE(queue.fetchMessage(out));
    EXPECT_EQ(out.type, kvt__MessageType__NewDevice);
    EXPECT_EQ(out.deviceId, "{A}");
    EXPECT_EQ(out.LFDLevel, -1);
    ASSERT_TRUE(queue.fetchMessage(out));
    EXPECT_EQ(out.image, image.image);
    EXPECT_EQ(out.LFDLevel, 5);
    EXPECT_EQ(out.LFDData, "data");
    EXPECT_EQ(out.properties, image.properties);
    EXPECT_EQ(out.additionalInfo, "info");
    EXPECT_EQ(out.receiver, "app");
    EXPECT_FALSE(queue.fetchMessage(out));
}

TEST(MessageQueueTest, TheHundredFirstPendingMessagePushesOutTheFirst) {
    CMessageQueue queue;
    for (int i = 0; i < 101; ++i)
        ASSERT_TRUE(queue.storeMessage(Message(kvt__MessageType__NewDevice, std::to_string(i))));
    EXPECT_EQ(queue.size(), CMessageQueue::kCapacity);
    QueuedMessage out;
    ASSERT_TRUE(queue.fetchMessage(out));
    EXPECT_EQ(out.deviceId, "1");
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
