#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/CritSec.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/SystemMutex.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

TEST(EventTest, AutoResetReleasesOneWaitManualResetStaysUntilResetAndWaitsTakeTheirTime) {
    platform::CEvent autoReset(false, true);
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(0));
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(10));
    EXPECT_FALSE(autoReset.Wait(10));

    // A wait that times out takes its time.
    platform::CEvent manual(true, false);
    const uint32_t before = platform::GetTickCount32();
    EXPECT_FALSE(manual.Wait(30));
    EXPECT_GE(static_cast<uint32_t>(platform::GetTickCount32() - before), 30u);
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    // A set from another thread wakes a waiter.
    std::thread setter([&autoReset] {
        platform::SleepMs(20);
        autoReset.Set();
    });
    EXPECT_TRUE(autoReset.Wait(platform::kInfinite));
    setter.join();
}

TEST(CritSecTest, IsRecursiveAndExcludesOtherThreads) {
    CCritSec cs;
    CCritSecLock outer(cs);
    {
        CCritSecLock inner(cs);  // the holder may enter again
    }
    std::atomic<bool> otherGotIt{true};
    std::thread other([&] { otherGotIt = cs.TryEnter(); });
    other.join();
    EXPECT_FALSE(otherGotIt);
}

TEST(SystemMutexTest, OneHolderAtATimeEvenInTheSameProcess) {
    platform::CSystemMutex first;
    ASSERT_EQ(first.Create("KVT_TestMutex"), platform::CSystemMutex::Result::Created);
    EXPECT_TRUE(first.IsHeld());

    platform::CSystemMutex second;
    EXPECT_EQ(second.Create("KVT_TestMutex"), platform::CSystemMutex::Result::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    EXPECT_EQ(second.Create("KVT_OtherMutex"), platform::CSystemMutex::Result::Created);

    first.Close();
    platform::CSystemMutex third;
    EXPECT_EQ(third.Create("KVT_TestMutex"), platform::CSystemMutex::Result::Created);
}

TEST(PathsTest, FoldersAreCreatedWithEveryParentAndTheDataFolderFollowsTheOverride) {
    kvt_test::TempDir dir("kvt-paths");
    const fs::path deep = dir / "a" / "b" / "c";
    EXPECT_TRUE(platform::CreateDirectories(deep.string()));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(platform::CreateDirectories(deep.string()));  // existing is fine

    const fs::path wanted = dir / "nested" / "data";
    const std::string saved = kvt_test::DataDir().string();
    kvt_test::SetEnv("KVT_DATA_DIR", wanted.string());
    const std::string folder = platform::DataFolder();
    kvt_test::SetEnv("KVT_DATA_DIR", saved);
    EXPECT_EQ(folder, wanted.string());
    EXPECT_TRUE(fs::is_directory(wanted));
}

TEST(ThreadTest, WaitForEndReportsTheEndOrTheTimeOutAndAnAbandonedThreadRunsOn) {
    auto release = std::make_shared<platform::CEvent>(true, false);
    auto finished = std::make_shared<platform::CEvent>(true, false);
    platform::CThread thread;
    ASSERT_TRUE(thread.Start([release] { release->Wait(platform::kInfinite); }));
    EXPECT_TRUE(thread.IsValid());
    EXPECT_FALSE(thread.Start([] {}));  // one thread per object
    EXPECT_FALSE(thread.WaitForEnd(20));
    EXPECT_FALSE(thread.HasEnded());
    release->Set();
    EXPECT_TRUE(thread.WaitForEnd(5000));
    EXPECT_FALSE(thread.IsValid());

    // Abandoned, the thread runs on and the object takes the next one.
    release->Reset();
    ASSERT_TRUE(thread.Start([release, finished] {
        release->Wait(platform::kInfinite);
        finished->Set();
    }));
    thread.Abandon();
    EXPECT_FALSE(thread.IsValid());
    ASSERT_TRUE(thread.Start([] {}));
    EXPECT_TRUE(thread.WaitForEnd(5000));
    release->Set();
    EXPECT_TRUE(finished->Wait(5000));
}

}  // namespace
