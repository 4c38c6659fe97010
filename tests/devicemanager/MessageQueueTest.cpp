#include "devicemanager/MessageQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "devicemanager/DevicesManager.h"
#include "integration/LibraryFixture.h"
#include "platform/Event.h"
#include "support/TestDevice.h"

using namespace kvt_test;

namespace {

QueuedMessage Message(kvt__MessageType type, const std::string& deviceId,
                      const std::string& receiver = "Core", std::vector<uint8_t> image = {}) {
    QueuedMessage message;
    message.type = type;
    message.receiver = receiver;
    message.deviceId = deviceId;
    message.image = std::move(image);
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
    EXPECT_TRUE(
        queue.storeMessage(Message(kvt__MessageType__CapturedImage, "{A}", "app", {1, 2, 3})));
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

// Fetching while others post is MessageDeliveryTest's business (its
// message thread), under the thread sanitizer.
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
    for (auto& producer : producers) producer.join();
    // Each producer's messages come out in its own posting order.
    std::vector<int> next(4, 0);
    for (QueuedMessage out; queue.fetchMessage(out);) {
        const int t = out.deviceId[0] - '0';
        EXPECT_EQ(out.deviceId, std::to_string(t) + ":" + std::to_string(next[t]++));
    }
    EXPECT_EQ(next, std::vector<int>(4, 20));
}

// Delivery through the running library: KVT_Start, a sensor added to the
// registry, and the application's callback on the message thread.
class MessageDeliveryTest : public LibraryTest {
protected:
    void Start() {
        ASSERT_EQ(KVT_Start(&MessageLog::Callback, &messages_), KVT_RESULT_OK);
        manager_ = CDevicesManager::Instance();
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        release_.Set();
        LibraryTest::TearDown();
    }

    void Post(kvt__MessageType type, const std::string& deviceId, std::vector<uint8_t> image = {}) {
        EXPECT_TRUE(manager_->MessageQueue().storeMessage(Message(type, deviceId, "app", image)));
    }
    // All deliveries once there are `count` of the type.
    std::vector<Delivered> WaitFor(int type, int count) {
        EXPECT_TRUE(messages_.WaitFor(type, {}, count, std::chrono::seconds(20)));
        return messages_.All();
    }

    MessageLog messages_;
    platform::CEvent release_{true, false};
    CDevicesManager* manager_ = nullptr;
};

TEST_F(MessageDeliveryTest, MessagesReachTheCallbackOnItsThreadInOrderAndTheRingWraps) {
    Start();
    DevicePtr device = MakeDevice<TestDevice>();
    manager_->AddDevice(device);
    // Checked before the ring reuses its slot.
    const Delivered first = WaitFor(KVT_MSG_NEW_DEVICE, 1).at(0);
    EXPECT_EQ(std::tuple(first.type, first.deviceId, first.slot->size),
              std::tuple(KVT_MSG_NEW_DEVICE, device->GetDeviceID(), int(sizeof(KVT_Message))));
    EXPECT_NE(first.thread, std::this_thread::get_id());
    const auto zero = Sized<KVT_CapturedData>();
    EXPECT_EQ(std::memcmp(&first.slot->capturedData, &zero, sizeof zero), 0);

    Post(kvt__MessageType__CapturedImage, "img", {1, 2, 3});
    // Delivered before the rest are posted, or the queue could push it out.
    WaitFor(KVT_MSG_CAPTURED_IMAGE, 1);
    for (int i = 1; i <= 100; ++i) Post(kvt__MessageType__Timeout, "t" + std::to_string(i));
    const auto deliveries = WaitFor(KVT_MSG_TIMEOUT, 100);
    ASSERT_EQ(deliveries.size(), 102u);
    EXPECT_EQ(deliveries[1].image, (std::vector<unsigned char>{1, 2, 3}));
    for (int i = 1; i <= 100; ++i) EXPECT_EQ(deliveries[i + 1].deviceId, "t" + std::to_string(i));
    // A hundred deliveries on, the image's slot is reused and its image freed.
    EXPECT_EQ(deliveries[101].slot, deliveries[1].slot);
    EXPECT_EQ(deliveries[101].slot->capturedData.image, nullptr);
    EXPECT_NE(deliveries[100].slot, deliveries[1].slot);
}

TEST_F(MessageDeliveryTest, ABlockedCallbackLosesOnlyTheOldestPendingMessage) {
    platform::CEvent blocked(true, false);
    messages_.beforeFirst = [&] {
        blocked.Set();
        release_.Wait(platform::kInfinite);
    };
    Start();
    Post(kvt__MessageType__Timeout, "first");
    ASSERT_TRUE(blocked.Wait(20000));
    for (int i = 0; i < 101; ++i) Post(kvt__MessageType__Timeout, "p" + std::to_string(i));
    EXPECT_EQ(manager_->MessageQueue().size(), CMessageQueue::kCapacity);
    release_.Set();
    const auto deliveries = WaitFor(KVT_MSG_TIMEOUT, 101);
    ASSERT_EQ(deliveries.size(), 101u);
    EXPECT_EQ(std::tuple(deliveries[0].deviceId, deliveries[1].deviceId, deliveries[100].deviceId),
              std::tuple("first", "p1", "p100"));
}

}  // namespace
