// Delivery through the running library: KVT_Start, a sensor added to the
// registry, and the application's callback on the message thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "devicemanager/DevicesManager.h"
#include "kvt/KVTBasic.h"
#include "platform/Event.h"
#include "support/TestDevice.h"

namespace {

struct Delivery {
    KVT_Message* slot;
    int type;
    std::string deviceId;
    std::vector<unsigned char> image;
    std::thread::id thread;
};

// Collects what the callback sees. The first call can be held back to stand
// for an application whose callback blocks.
class Collector {
public:
    static void KVT_CALLBACK Callback(KVT_Message* message, void* user) {
        static_cast<Collector*>(user)->Receive(message);
    }

    void Receive(KVT_Message* message) {
        if (holdFirst && !held_) {
            held_ = true;
            blocked.Set();
            release.Wait(platform::kInfinite);
        }
        if (message->type == KVT_MSG_UNSPECIFIED) return;
        Delivery delivery{
            message, message->type, message->deviceId, {}, std::this_thread::get_id()};
        if (message->capturedData.image != nullptr) {
            delivery.image.assign(message->capturedData.image,
                                  message->capturedData.image + message->capturedData.imageSize);
        }
        std::lock_guard lock(mutex_);
        deliveries_.push_back(std::move(delivery));
        changed_.notify_all();
    }

    std::vector<Delivery> WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20),
                          [&] { return deliveries_.size() >= count; });
        return deliveries_;
    }

    bool holdFirst = false;
    platform::CEvent blocked{true, false};
    platform::CEvent release{true, false};

private:
    bool held_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

class MessageDeliveryTest : public testing::Test {
protected:
    void Start() {
        ASSERT_EQ(KVT_Start(&Collector::Callback, &collector_), KVT_RESULT_OK);
        manager_ = CDevicesManager::Instance();
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        collector_.release.Set();
        if (KVT_IsRunning() == 0) KVT_Stop();
    }

    QueuedMessage Post(kvt__MessageType type, const std::string& deviceId,
                       std::vector<uint8_t> image = {}) {
        QueuedMessage message;
        message.type = type;
        message.receiver = "app";
        message.deviceId = deviceId;
        message.image = std::move(image);
        EXPECT_TRUE(manager_->MessageQueue().storeMessage(message));
        return message;
    }

    Collector collector_;
    CDevicesManager* manager_ = nullptr;
};

TEST_F(MessageDeliveryTest, MessagesReachTheCallbackOnItsThreadInOrderAndTheRingWraps) {
    Start();
    DevicePtr device = MakeDevice<kvt_test::TestDevice>();
    manager_->AddDevice(device);
    // Checked before the ring reuses its slot.
    const Delivery first = collector_.WaitFor(1).at(0);
    EXPECT_EQ(first.type, KVT_MSG_NEW_DEVICE);
    EXPECT_EQ(first.deviceId, device->GetDeviceID());
    EXPECT_NE(first.thread, std::this_thread::get_id());
    EXPECT_EQ(first.slot->size, static_cast<int>(sizeof(KVT_Message)));
    KVT_CapturedData zero{};
    zero.size = sizeof(KVT_CapturedData);
    EXPECT_EQ(std::memcmp(&first.slot->capturedData, &zero, sizeof zero), 0);

    Post(kvt__MessageType__CapturedImage, "img", {1, 2, 3});
    // Delivered before the rest are posted, or the queue could push it out.
    ASSERT_EQ(collector_.WaitFor(2).size(), 2u);
    for (int i = 1; i <= 100; ++i) Post(kvt__MessageType__Timeout, "t" + std::to_string(i));
    const auto deliveries = collector_.WaitFor(102);
    ASSERT_EQ(deliveries.size(), 102u);
    EXPECT_EQ(deliveries[1].image, (std::vector<unsigned char>{1, 2, 3}));
    for (int i = 1; i <= 100; ++i) EXPECT_EQ(deliveries[i + 1].deviceId, "t" + std::to_string(i));
    // A hundred deliveries on, the image's slot is reused and its image freed.
    EXPECT_EQ(deliveries[101].slot, deliveries[1].slot);
    EXPECT_EQ(deliveries[101].slot->capturedData.image, nullptr);
    EXPECT_NE(deliveries[100].slot, deliveries[1].slot);
}

TEST_F(MessageDeliveryTest, ABlockedCallbackLosesOnlyTheOldestPendingMessage) {
    collector_.holdFirst = true;
    Start();
    Post(kvt__MessageType__Timeout, "first");
    ASSERT_TRUE(collector_.blocked.Wait(20000));
    for (int i = 0; i < 101; ++i) Post(kvt__MessageType__Timeout, "p" + std::to_string(i));
    EXPECT_EQ(manager_->MessageQueue().size(), CMessageQueue::kCapacity);
    collector_.release.Set();
    const auto deliveries = collector_.WaitFor(101);
    ASSERT_EQ(deliveries.size(), 101u);
    EXPECT_EQ(deliveries[0].deviceId, "first");
    EXPECT_EQ(deliveries[1].deviceId, "p1");
    EXPECT_EQ(deliveries[100].deviceId, "p100");
}

}  // namespace
