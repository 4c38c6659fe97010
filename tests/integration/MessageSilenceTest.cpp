#include <gtest/gtest.h>

#include <chrono>

#include "integration/LibraryFixture.h"

namespace {

using SlowMessageTest = kvt_test::SimulatedSensorTest;

TEST_F(SlowMessageTest, ThirtySecondsWithoutEventsGiveAnUnspecifiedMessage) {
    const auto started = std::chrono::steady_clock::now();
    Start();
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_UNSPECIFIED, {}, 1, std::chrono::seconds(45)));
    // Not earlier than the silence it reports.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(29));
    EXPECT_EQ(messages_.Last(KVT_MSG_UNSPECIFIED).deviceId, "");
}

}  // namespace
