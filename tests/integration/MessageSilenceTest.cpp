#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "integration/LibraryFixture.h"

namespace {

struct Received {
    std::mutex mutex;
    std::condition_variable arrived;
    bool unspecified = false;
    std::string deviceId = "unset";
    std::chrono::steady_clock::time_point at;
};

void KVT_CALLBACK Receive(KVT_Message* message, void* user) {
    auto* received = static_cast<Received*>(user);
    std::lock_guard lock(received->mutex);
    if (message->type != KVT_MSG_UNSPECIFIED || received->unspecified) return;
    received->unspecified = true;
    received->deviceId = message->deviceId;
    received->at = std::chrono::steady_clock::now();
    received->arrived.notify_all();
}

using SlowMessageTest = kvt_test::LibraryTest;

TEST_F(SlowMessageTest, ThirtySecondsWithoutEventsGiveAnUnspecifiedMessage) {
    Received received;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(KVT_Start(&Receive, &received), KVT_RESULT_OK);
    bool arrived = false;
    {
        std::unique_lock lock(received.mutex);
        arrived = received.arrived.wait_for(lock, std::chrono::seconds(45),
                                            [&] { return received.unspecified; });
    }
    // The callback may run once more while the library stops; received must outlive it.
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(received.deviceId, "");
    // Not earlier than the silence it reports.
    EXPECT_GE(received.at - started, std::chrono::seconds(29));
}

}  // namespace
