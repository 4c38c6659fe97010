#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "devicemanager/Device.h"
#include "devicemanager/DevicePtr.h"
#include "devicemanager/DevicesManager.h"
#include "devicemanager/WorkerThreads.h"
#include "platform/Event.h"
#include "platform/Time.h"
#include "properties/PropertiesManager.h"
#include "support/ManagerTest.h"
#include "support/QueuedMessages.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"

using kvt_test::TestDevice;
using testing::HasSubstr;
using testing::Not;

namespace {

// A manager that is made but not run: the registry works without the
// manager thread.
class RegistryTest : public kvt_test::ManagerTest {
protected:
    std::vector<QueuedMessage> Posted() { return kvt_test::TakeQueued(manager_->MessageQueue()); }

    DevicePtr Add(std::atomic<int>* destroyed = nullptr) {
        DevicePtr device = MakeDevice<TestDevice>(destroyed);
        manager_->AddDevice(device);
        return device;
    }
    static TestDevice& Test(const DevicePtr& device) { return static_cast<TestDevice&>(*device); }
    void ExpectOnePosted(kvt__MessageType type, const std::string& id) {
        const auto posted = Posted();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(std::tuple(posted[0].type, posted[0].receiver, posted[0].deviceId),
                  std::tuple(type, "Core", id));
    }
};

TEST_F(RegistryTest, AddingPostsOneNewDeviceAndRemovingOneLostDeviceOnceItCloses) {
    DevicePtr device = Add();
    const std::string id = device->GetDeviceID();
    ExpectOnePosted(kvt__MessageType__NewDevice, id);
    EXPECT_EQ(manager_->Devices().Get(id.c_str()).get(), device.get());

    // Unknown and null ids find nothing and remove nothing.
    EXPECT_FALSE(manager_->Devices().Get(nullptr));
    EXPECT_FALSE(manager_->Devices().Get("{00000000-0000-0000-0000-000000000000}"));
    manager_->Devices().Remove(nullptr);
    EXPECT_EQ(manager_->Devices().Count(), 1u);
    EXPECT_EQ(manager_->RemoveDeviceFromList(DevicePtr()), -1);

    // A sensor that refuses to close stays registered, and nothing is said.
    Test(device).refuseClose = true;
    EXPECT_EQ(manager_->RemoveDeviceFromList(device), -1);
    EXPECT_TRUE(manager_->Devices().Get(id.c_str()));
    EXPECT_TRUE(Posted().empty());
    Test(device).refuseClose = false;

    EXPECT_EQ(manager_->RemoveDeviceFromList(device), 0);
    ExpectOnePosted(kvt__MessageType__LostDevice, id);
    EXPECT_EQ(std::tuple(manager_->Devices().Get(id.c_str()).get(), manager_->Devices().Count()),
              std::tuple(nullptr, 0u));
    for (const char* line :
         {"CDevicesManager::RemoveDeviceFromList: 0 devices remaining in list",
          "CDevicesManager::DeviceList::Get: DeviceId is NULL or Device not found!",
          "CDevicesManager::DeviceList::Remove: DeviceId is NULL!",
          "CDevicesManager::RemoveDeviceFromList: device not valid"})
        EXPECT_THAT(LogText(), HasSubstr(line));
}

TEST_F(RegistryTest, RemovalForgetsThePropertySetsButNotASensorAnOperationHolds) {
    std::atomic<int> destroyed{0};
    DevicePtr kept = Add();
    const std::string id = Add(&destroyed)->GetDeviceID();
    DevicePtr held = manager_->Devices().Get(id.c_str());
    ASSERT_TRUE(held);
    CPropertiesManager& properties = CPropertiesManager::Instance();
    ASSERT_TRUE(properties.GetProperties("KVTBasic", id).SetProperty("LFD", "false"));
    properties.GetProperties("KVTBasic", kept->GetDeviceID());
    ASSERT_EQ(properties.Count(), 2u);
    ASSERT_EQ(manager_->RemoveDeviceFromList(held), 0);
    EXPECT_EQ(std::tuple(properties.Count(), destroyed.load(), held->GetDeviceID()),
              std::tuple(1u, 0, id));
    held.Reset();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(RegistryTest, RemoveAllDevicesWaitsForARefusingSensorToGiveIn) {
    std::atomic<int> destroyed{0};
    Add(&destroyed);
    DevicePtr busy = Add(&destroyed);
    Add(&destroyed);
    TestDevice& refusing = Test(busy);
    refusing.refuseClose = true;
    busy.Reset();

    std::atomic<bool> gaveIn{false};
    std::thread reader([&] {
        // Let the shutdown retry a few times before the read ends.
        while (refusing.closeCalls < 3) std::this_thread::yield();
        gaveIn = true;
        refusing.refuseClose = false;
    });
    manager_->RemoveAllDevices();
    reader.join();
    EXPECT_EQ(std::tuple(gaveIn.load(), manager_->Devices().Count(), destroyed.load()),
              std::tuple(true, 0u, 3));
    EXPECT_THAT(LogText(), HasSubstr("CDevicesManager::RemoveAllDevices: Sleep (10) because "
                                     "CLOSE_DEVICE_ERROR == RemoveDeviceFromList"));
    int lost = 0;
    for (const auto& message : Posted()) lost += message.type == kvt__MessageType__LostDevice;
    EXPECT_EQ(lost, 3);
}

TEST_F(RegistryTest, ConcurrentAddsAndRemovalsKeepTheMapConsistent) {
    std::atomic<int> destroyed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                DevicePtr device = MakeDevice<TestDevice>(&destroyed);
                manager_->AddDevice(device);
                manager_->Devices().Get(device->GetDeviceID().c_str());
                if (i % 2 == 0) manager_->RemoveDeviceFromList(device);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(manager_->Devices().Count(), 48u);
    manager_->RemoveAllDevices();
    EXPECT_EQ(destroyed, 100);
}

// Counting in and out is ShutdownWaitsForWorkerThreads' business.
TEST(WorkerThreadsTest, NeverCountsBelowZero) {
    for (int i = WorkerThreads::Count() + 3; i > 0; --i) WorkerThreads::Leave();
    EXPECT_EQ(WorkerThreads::Count(), 0);
    WorkerThreads::Enter();
    EXPECT_EQ(WorkerThreads::Count(), 1);
    WorkerThreads::Leave();
}

using DevicesManagerTest = kvt_test::ManagerTest;

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

// A suspend is no full shutdown: the manager stays, only its sensors go. A
// stop outlives the instance.
TEST_F(DevicesManagerTest, PowerEventsSuspendAndResumeAndTheStopOutlivesTheInstance) {
    EXPECT_EQ(std::tuple(GetU2AsyncSleepTime(), GetTemperatureCompensation(),
                         CDevicesManager::Instance()),
              std::tuple(500, 0, manager_));
    // Each event's answer and the suspended state after it, in turn (a braced
    // list runs left to right).
    CDevicesManager& m = *manager_;
    EXPECT_EQ((std::vector<bool>{m.OnPowerEvent(kPowerQuerySuspend), m.IsSuspended(),
                                 m.OnPowerEvent(kPowerSuspend), m.IsSuspended(),
                                 m.OnPowerEvent(kPowerResumeSuspend), m.IsSuspended(),
                                 m.OnPowerEvent(42), CDevicesManager::StopRequested()}),
              (std::vector<bool>{true, false, true, true, true, false, true, false}));
    EXPECT_TRUE(std::regex_search(
        LogText(),
        std::regex("Info    [0-9a-f]{8} CDevicesManager::OnPowerEvent: Suspend queried")));
    for (const char* line : {"Suspend queried - EventType 0", "Suspend requested - EventType 4",
                             "Suspend request accepted", "Resume event - EventType 7",
                             "Unhandled Power event - EventType 42"})
        EXPECT_THAT(LogText(), HasSubstr(std::string("CDevicesManager::OnPowerEvent: ") + line));
    EXPECT_THAT(LogText(), HasSubstr("DevicesManager ShutDown: open Threads: 0 after 0 loops"));

    manager_->Stop();
    EXPECT_EQ(std::tuple(manager_->IsStopping(), CDevicesManager::StopRequested()),
              std::tuple(true, true));
    CDevicesManager::DropInstance();
    EXPECT_EQ(std::tuple(CDevicesManager::Instance(), CDevicesManager::StopRequested()),
              std::tuple(nullptr, true));
    EXPECT_THAT(LogText(), HasSubstr("SCM requests service to stop"));
}

TEST(DeviceTest, OnlyAnIdleSensorIsAcquiredOnlyAnAsyncCaptureCancelledAndACloseWaitsForTheRead) {
    // The answers in turn (a braced list runs left to right).
    TestDevice device;
    EXPECT_EQ((std::vector<int>{device.AcquireDevice(false), device.GetCaptureState(),
                                device.AcquireDevice(false), device.AcquireDevice(true)}),
              (std::vector<int>{true, CDevice::kSyncCapture, false, false}));
    device.SetOwnerID("KVTBasic");
    device.ReleaseDevice();
    EXPECT_EQ(
        (std::tuple{device.GetOwnerID(), device.AcquireDevice(true), device.GetCaptureState()}),
        (std::tuple{"", true, CDevice::kAsyncCapture}));
    device.ReleaseDevice();

    // Cancel stops only an asynchronous capture.
    const auto state = [&] {
        return std::tuple(device.GetCaptureState(), device.IsCancelled(), device.GetCancelID());
    };
    EXPECT_TRUE(device.CancelDevice("first"));
    EXPECT_EQ(state(), std::tuple(CDevice::kIdle, false, "first"));
    ASSERT_TRUE(device.AcquireDevice(false));
    EXPECT_FALSE(device.CancelDevice("second") || device.IsCancelled());
    device.ReleaseDevice();
    ASSERT_TRUE(device.AcquireDevice(true));
    EXPECT_TRUE(device.CancelDevice("third"));
    EXPECT_EQ(state(), std::tuple(CDevice::kAsyncCancelled, true, "third"));
    EXPECT_FALSE(device.CancelDevice("fourth"));
    EXPECT_EQ(device.GetCancelID(), "fourth");
    EXPECT_FALSE(device.AcquireDevice(true));

    // The answers in turn (a braced list runs left to right): one read at a
    // time; a close asked for during it waits for its end and refuses a new
    // read; after the close nothing more.
    TestDevice reader;
    EXPECT_EQ((std::vector<bool>{reader.BeginUse(), reader.BeginUse(), reader.RequestClose(),
                                 reader.IsClosed(), reader.BeginUse(), reader.EndUse(),
                                 reader.IsClosed(), reader.EndUse(), reader.RequestClose()}),
              (std::vector<bool>{true, false, true, false, false, true, true, false, false}));
    TestDevice idle;
    EXPECT_EQ((std::vector<bool>{idle.EndUse(), idle.RequestClose(), idle.IsClosed()}),
              (std::vector<bool>{false, true, true}));
}

TEST(DeviceTest, InitDeviceMakesABracedGuidPaddedToFourDigitsAndFreesTheSensor) {
    std::set<std::string> ids;
    // The first field is printed with at least four digits, so it has eight
    // unless the random number happens to start with zeros.
    const std::regex shape("\\{[0-9A-F]{4,8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    for (int i = 0; i < 50; ++i) {
        TestDevice device;
        ASSERT_TRUE(device.AcquireDevice(true));
        EXPECT_EQ(device.InitDevice(), 0);
        EXPECT_EQ(device.GetCaptureState(), CDevice::kIdle);
        const std::string id = device.GetDeviceID();
        EXPECT_TRUE(std::regex_match(id, shape)) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 50u);
    const uint8_t tail[8] = {1, 2, 3, 4, 5, 6, 7, 0xAB};
    EXPECT_EQ(FormatDeviceId(0x1A, 0xB, 0xC00D, tail), "{001A-000B-C00D-0102-0304050607AB}");
}

// Copies, moves (into the threads' lambdas) and resets: a count that is off
// either way ends in a double delete or a sensor never deleted.
TEST(DevicePtrTest, CountingIsSafeAcrossThreads) {
    std::atomic<int> destroyed{0};
    DevicePtr shared = MakeDevice<TestDevice>(&destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = shared] {
            for (int i = 0; i < 10000; ++i) {
                DevicePtr local = copy;
                local->GetCaptureState();
            }
        });
    }
    shared.Reset();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
