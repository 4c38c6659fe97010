#include "common/Timing.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/Event.h"

namespace {

TEST(TimeoutTest, ElapsesAtTheTimeoutNotBefore) {
    const CTimeout timeout(500, 1000);
    EXPECT_FALSE(timeout.IsElapsedAt(1000));
    EXPECT_FALSE(timeout.IsElapsedAt(1499));
    EXPECT_TRUE(timeout.IsElapsedAt(1500));
    EXPECT_TRUE(timeout.IsElapsedAt(90000));
}

TEST(TimeoutTest, StaysRightAcrossATickWrap) {
    const CTimeout timeout(30000, 0xFFFFF000u);  // 4096 ms before the wrap
    EXPECT_FALSE(timeout.IsElapsedAt(0xFFFFFFFFu));
    EXPECT_FALSE(timeout.IsElapsedAt(100));    // 4196 ms after the start
    EXPECT_FALSE(timeout.IsElapsedAt(25903));  // 29999 ms
    EXPECT_TRUE(timeout.IsElapsedAt(25904));   // 30000 ms
}

TEST(TimeoutTest, ZeroIsElapsedAtOnceAndRestartMovesTheStart) {
    CTimeout zero(0);
    EXPECT_TRUE(zero.IsElapsed());
    CTimeout longOne(60000);
    EXPECT_FALSE(longOne.IsElapsed());
    longOne.Restart();
    EXPECT_FALSE(longOne.IsElapsed());
}

TEST(StartDetachedThreadTest, RunsTheBodyAndSetsTheFlag) {
    platform::CEvent ran(true, false);
    std::atomic<bool> started{false};
    ASSERT_TRUE(StartDetachedThread([&ran] { ran.Set(); }, &started));
    EXPECT_TRUE(started);
    EXPECT_TRUE(ran.Wait(5000));
}

TEST(StartDetachedThreadTest, DoesNothingWhenTheFlagIsAlreadySet) {
    std::atomic<bool> started{true};
    std::atomic<int> runs{0};
    EXPECT_TRUE(StartDetachedThread([&runs] { ++runs; }, &started));
    platform::CEvent never(true, false);
    never.Wait(50);
    EXPECT_EQ(runs, 0);
}

TEST(StartDetachedThreadTest, AnExceptionInTheBodyStaysInsideTheThread) {
    platform::CEvent after(true, false);
    ASSERT_TRUE(StartDetachedThread([] { throw 42; }));
    ASSERT_TRUE(StartDetachedThread([&after] { after.Set(); }));
    EXPECT_TRUE(after.Wait(5000));
}

}  // namespace
