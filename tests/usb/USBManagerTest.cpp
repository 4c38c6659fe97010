#include "usb/USBManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "devicemanager/DevicesManager.h"
#include "sim/usb/EmulatedU2.h"
#include "sim/usb/SimUsbBus.h"
#include "support/ManagerTest.h"
#include "support/QueuedMessages.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using testing::HasSubstr;
using testing::Not;

namespace {

// A manager that is made but not run; discovery is driven directly or by the
// USB manager's own watcher thread.
class USBManagerTest : public kvt_test::ManagerTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(Usb().Stop());
        manager_->RemoveAllDevices();
        ManagerTest::TearDown();
    }
    CUSBManager& Usb() { return manager_->UsbManager(); }

    std::vector<kvt__MessageType> Posted() {
        std::vector<kvt__MessageType> types;
        for (const auto& message : kvt_test::TakeQueued(manager_->MessageQueue()))
            types.push_back(message.type);
        return types;
    }
    void Found(int simId) { Usb().DeviceFound(bus_.PathOf(simId), bus_); }
    DevicePtr Registered(int simId) {
        const std::string id = Usb().DeviceIdFor(bus_.PathOf(simId));
        return manager_->Devices().Get(id.c_str());
    }
    // Waits for the watcher thread to bring the registry to count entries.
    bool WaitForCount(size_t count) {
        return kvt_test::WaitUntil([&] { return manager_->Devices().Count() == count; },
                                   std::chrono::seconds(20));
    }

    sim::SimUsbBus bus_;
};

TEST_F(USBManagerTest, EachModelIsMadeOnceWithAnIdFromThePrefixAndPathAndRemovedOnce) {
    const int u1 = bus_.Attach(sim::SensorModel::kU1, 4711);
    const int u2 = bus_.Attach(sim::SensorModel::kU2, 12345678, {.upperCasePath = true});
    const int u2b = bus_.Attach(sim::SensorModel::kU2, 4712, {.productId = 0x0018});
    ASSERT_THAT(bus_.PathOf(u2), HasSubstr("VID_1013&PID_0019"));
    const std::tuple<int, kvt__DeviceType, const char*> expected[] = {
        {u1, kvt__DeviceType__Kelo_A, "Kelo U1 USB"},
        {u2, kvt__DeviceType__Kelo_B, "Kelo U2 USB"},
        {u2b, kvt__DeviceType__Kelo_B, "Kelo U2 USB"}};
    for (const auto& [simId, type, description] : expected) {
        Found(simId);
        Found(simId);  // a sensor found twice is added once
        DevicePtr device = Registered(simId);
        ASSERT_TRUE(device) << description;
        EXPECT_EQ(std::pair(device->GetDeviceType(), device->GetDescription()),
                  std::pair(type, std::string(description)));
    }
    const std::string id = Registered(u2)->GetDeviceID();
    EXPECT_EQ(id.substr(0, 8), Usb().IdPrefix());
    EXPECT_THAT(id, HasSubstr("vid_1013&pid_0019"));
    EXPECT_EQ(Usb().IdPrefix().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(manager_->Devices().Count(), 3u);
    EXPECT_EQ(Posted(), std::vector<kvt__MessageType>(3, kvt__MessageType__NewDevice));

    // Every removal event removes once.
    EXPECT_TRUE(Usb().DeviceRemoved(bus_.PathOf(u1)));
    EXPECT_TRUE(Usb().DeviceRemoved(bus_.PathOf(u1)));
    EXPECT_EQ(Posted(), std::vector<kvt__MessageType>{kvt__MessageType__LostDevice});
    EXPECT_FALSE(Registered(u1));
    EXPECT_TRUE(Registered(u2));
}

TEST_F(USBManagerTest, ASensorThatFailsAStepOfDiscoveryIsClosedAndLogged) {
    // Paths of other devices are not even opened.
    Usb().DeviceFound("\\\\?\\usb#vid_1013&pid_0017#x#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}",
                      bus_);
    Usb().DeviceFound("\\\\?\\usb#vid_046d&pid_0019#x#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}",
                      bus_);
    EXPECT_THAT(LogText(), Not(HasSubstr("CreateFile")));

    const sim::SensorOptions needsDiagnostic{.illuFirmware = sim::FirmwareVersion{0, 19}};
    std::unique_ptr<platform::UsbDriverHandle> held;
    // The sensor's options, what is done to it before it is found, what is logged.
    using Case =
        std::tuple<sim::SensorOptions, std::function<void(int simId)>, std::vector<std::string>>;
    const Case cases[] = {
        {{.vendorId = 0x1014},
         {},
         {"CUSBManager::DeviceFound: Bad or missing vendor ID",
          "result:true; Bytes read:18 (18), idVendor:4116 (4115)"}},
        {{.descriptor = sim::DescriptorMode::kShort}, {}, {"Bytes read:8 (18)"}},
        {{},
         [&](int simId) {
             int error = 0;
             held = bus_.Open(bus_.PathOf(simId), error);
         },
         {"CUSBManager::DeviceFound: CreateFile for USB device failed (32)."}},
        {{.mainFirmware = sim::FirmwareVersion{1, 0}, .illuFirmware = sim::FirmwareVersion{0, 17}},
         {},
         {"CUSBManager::DeviceFound: Found Kelo with unsupported firmware!"}},
        {needsDiagnostic,
         [&](int simId) { bus_.SensorAs<sim::EmulatedU2>(simId)->SetDiagnostic(0x06, 0); },
         {"CUSBManager::DeviceFound: Found Kelo with defect EEPROM (diagnostic returned "
          "false)!"}},
        {{},
         [&](int simId) { bus_.Sensor(simId)->InjectFault(sim::Fault::kNoAnswer, -1); },
         {"CUSBManager::DeviceFound: failed to initialize new CUSBDeviceU2"}},
    };
    for (const auto& [options, prepare, logged] : cases) {
        const int simId = bus_.Attach(sim::SensorModel::kU2, 1, options);
        if (prepare) prepare(simId);
        const size_t logStart = LogText().size();
        Found(simId);
        SCOPED_TRACE(logged[0]);
        EXPECT_EQ(manager_->Devices().Count(), 0u);
        const std::string log = LogText().substr(logStart);
        for (const std::string& text : logged) EXPECT_THAT(log, HasSubstr(text));
        // The handle was closed: the sensor can be opened again.
        held.reset();
        int error = 0;
        EXPECT_NE(bus_.Open(bus_.PathOf(simId), error), nullptr);
        ASSERT_TRUE(bus_.Detach(simId));
    }

    // A diagnostic that repairs the EEPROM lets the sensor in.
    const int repaired = bus_.Attach(sim::SensorModel::kU2, 3, needsDiagnostic);
    bus_.SensorAs<sim::EmulatedU2>(repaired)->SetDiagnostic(0x01, 1);
    Found(repaired);
    EXPECT_TRUE(Registered(repaired));
}

TEST_F(USBManagerTest, TheWatcherFindsPresentSensorsOnceAcrossARestart) {
    CUSBManager idle(*manager_);
    EXPECT_TRUE(idle.Stop());  // a stop without a start
    sim::SimUsbBus& shared = sim::SimUsbBus::Instance();
    const int present = shared.Attach(sim::SensorModel::kU2, 11);
    ASSERT_TRUE(Usb().Start());
    ASSERT_TRUE(WaitForCount(1));
    ASSERT_TRUE(Usb().Stop());
    // A restart (as after a resume) finds what is still there without adding it twice.
    ASSERT_TRUE(Usb().Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(manager_->Devices().Count(), 1u);
    ASSERT_TRUE(shared.Detach(present));
    ASSERT_TRUE(WaitForCount(0));
    EXPECT_EQ(Posted(), (std::vector<kvt__MessageType>{kvt__MessageType__NewDevice,
                                                       kvt__MessageType__LostDevice}));
}

}  // namespace
