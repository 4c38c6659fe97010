#include "devicemanager/DevicesManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "devicemanager/WorkerThreads.h"
#include "platform/Event.h"
#include "platform/Time.h"
#include "support/ManagerTest.h"
#include "support/TempDir.h"

using testing::HasSubstr;
using testing::Not;

namespace {

// Counting in and out is ShutdownWaitsForWorkerThreads' business.
TEST(WorkerThreadsTest, NeverCountsBelowZero) {
    for (int i = WorkerThreads::Count() + 3; i > 0; --i) WorkerThreads::Leave();
    EXPECT_EQ(WorkerThreads::Count(), 0);
    WorkerThreads::Enter();
    EXPECT_EQ(WorkerThreads::Count(), 1);
    WorkerThreads::Leave();
}

using DevicesManagerTest = kvt_test::ManagerTest;

TEST_F(DevicesManagerTest, TheInstanceLastsUntilDroppedAndItsStopOutlivesIt) {
    EXPECT_EQ(std::tuple(GetU2AsyncSleepTime(), GetTemperatureCompensation(),
                         CDevicesManager::Instance(), CDevicesManager::StopRequested()),
              std::tuple(500, 0, manager_, false));
    manager_->Stop();
    EXPECT_EQ(std::tuple(manager_->IsStopping(), CDevicesManager::StopRequested()),
              std::tuple(true, true));
    CDevicesManager::DropInstance();
    EXPECT_EQ(std::tuple(CDevicesManager::Instance(), CDevicesManager::StopRequested()),
              std::tuple(nullptr, true));
    EXPECT_THAT(LogText(), HasSubstr("SCM requests service to stop"));
}

TEST_F(DevicesManagerTest, ShutdownWaitsForWorkerThreads) {
    platform::CEvent entered(true, false);
    std::thread worker([&entered] {
        CWorkerThreadScope scope;
        entered.Set();
        platform::SleepMs(2000);  // outlasts the shutdown's fixed pauses
    });
    ASSERT_TRUE(entered.Wait(5000));
    EXPECT_TRUE(manager_->ShutDown(true));
    worker.join();
    const std::string log = LogText();
    for (const char* line : {"Devices deactivated", "Device-Sockets closed",
                             "DevicesManager ShutDown: open Threads: 0 after "})
        EXPECT_THAT(log, HasSubstr(line));
    EXPECT_THAT(log, Not(HasSubstr("after 0 loops")));
    EXPECT_THAT(log, Not(HasSubstr("did not terminate in time")));
}

TEST_F(DevicesManagerTest, PowerEventsAreLoggedAndSuspendResumeToggle) {
    // Each event's answer and the suspended state after it, in turn (a braced
    // list runs left to right).
    CDevicesManager& m = *manager_;
    EXPECT_EQ((std::vector<bool>{m.OnPowerEvent(kPowerQuerySuspend), m.IsSuspended(),
                                 m.OnPowerEvent(kPowerSuspend), m.IsSuspended(),
                                 m.OnPowerEvent(kPowerResumeSuspend), m.IsSuspended(),
                                 m.OnPowerEvent(42)}),
              (std::vector<bool>{true, false, true, true, true, false, true}));
    EXPECT_THAT(LogText(), HasSubstr("Info    "));
    for (const char* line : {"Suspend queried - EventType 0", "Suspend requested - EventType 4",
                             "Suspend request accepted", "Resume event - EventType 7",
                             "Unhandled Power event - EventType 42"})
        EXPECT_THAT(LogText(), HasSubstr(std::string("CDevicesManager::OnPowerEvent: ") + line));
    // A suspend is no full shutdown: the manager stays, only its sensors go.
    EXPECT_THAT(LogText(), HasSubstr("DevicesManager ShutDown: open Threads: 0 after 0 loops"));
    EXPECT_FALSE(CDevicesManager::StopRequested());
}

}  // namespace
