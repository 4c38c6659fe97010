#include "common/Timing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "platform/Event.h"

namespace {

TEST(TimeoutTest, ElapsesAtTheTimeoutNotBeforeAlsoAcrossATickWrap) {
    // A timeout from its start, a time, and whether it elapsed then. From 4096
    // ms before the wrap: 4095 ms, 4196 ms, 29999 ms and 30000 ms.
    const std::tuple<uint32_t, uint32_t, uint32_t, bool> cases[] = {
        {500, 1000, 1000, false},
        {500, 1000, 1499, false},
        {500, 1000, 1500, true},
        {500, 1000, 90000, true},
        {30000, 0xFFFFF000u, 0xFFFFFFFFu, false},
        {30000, 0xFFFFF000u, 100, false},
        {30000, 0xFFFFF000u, 25903, false},
        {30000, 0xFFFFF000u, 25904, true}};
    for (const auto& [timeout, start, now, elapsed] : cases)
        EXPECT_EQ(CTimeout(timeout, start).IsElapsedAt(now), elapsed)
            << timeout << " from " << start << " at " << now;

    EXPECT_TRUE(CTimeout(0).IsElapsed());
    CTimeout longOne(60000);
    EXPECT_FALSE(longOne.IsElapsed());
    longOne.Restart();
    EXPECT_FALSE(longOne.IsElapsed());
}

TEST(StartDetachedThreadTest, RunsTheBodyOnceAndKeepsItsExceptionInside) {
    platform::CEvent ran(true, false);
    std::atomic<bool> started{false};
    std::atomic<int> runs{0};
    ASSERT_TRUE(StartDetachedThread([] { throw 42; }));
    ASSERT_TRUE(StartDetachedThread(
        [&] {
            ++runs;
            ran.Set();
        },
        &started));
    EXPECT_TRUE(started);
    EXPECT_TRUE(ran.Wait(5000));
    // The flag already set: nothing more starts.
    EXPECT_TRUE(StartDetachedThread([&runs] { ++runs; }, &started));
    platform::CEvent never(true, false);
    never.Wait(50);
    EXPECT_EQ(runs, 1);
}

}  // namespace
