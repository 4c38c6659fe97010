// The sensor models against the emulated sensors: both sides are written
// from the protocol independently, so these catch where they disagree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "devicemanager/DevicesManager.h"
#include "sim/usb/EmulatedU1.h"
#include "sim/usb/EmulatedU2.h"
#include "sim/usb/SimUsbBus.h"
#include "support/ManagerTest.h"
#include "support/PatternFrames.h"
#include "support/QueuedMessages.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "usb/ScriptedUsbHandle.h"
#include "usb/USBManager.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

class ModelEmulatorTest : public UsbLogFixture {
protected:
    template <class Model>
    std::unique_ptr<Model> Plug(sim::SensorModel model, uint32_t serial,
                                const sim::SensorOptions& options = {}) {
        m_id = m_bus.Attach(model, serial, options);
        int error = 0;
        auto handle = m_bus.Open(m_bus.PathOf(m_id), error);
        EXPECT_TRUE(handle) << error;
        return std::make_unique<Model>(std::move(handle), "sim-" + std::to_string(m_id));
    }
    // How often the emulated sensor was sent exactly these bytes.
    static long TimesReceived(const sim::EmulatedSensor& sensor, const Bytes& bytes) {
        const auto received = sensor.Received();
        return std::count_if(received.begin(), received.end(),
                             [&](const auto& write) { return write.bytes == bytes; });
    }
    PatternFrames m_frames;
    sim::SimUsbBus m_bus;
    int m_id = 0;
};

TEST_F(ModelEmulatorTest, NewerSensorInitialisesAndRepairsItsEeprom) {
    auto device = Plug<CUSBDeviceU2>(
        sim::SensorModel::kU2, 12345678,
        {.illuFirmware = sim::FirmwareVersion{0, 19}, .illuBoardSerial = 0x0A0B0C});
    auto sensor = m_bus.SensorAs<sim::EmulatedU2>(m_id);
    // An EEPROM that was never programmed gets the factory trigger levels.
    sensor->SetEeprom({0, 0, 0, 0, true});

    ASSERT_TRUE(device->Initialize());
    EXPECT_EQ(std::tuple(device->GetSerialNumber(), device->GetFirmwareVersion(),
                         sensor->TemperatureCompensation(), sensor->StatusLedHistory().back()),
              std::tuple("B12345678I00658188", "B01.05I00.19", std::optional<uint8_t>(0), 1));
    EXPECT_EQ(sensor->Eeprom(), sim::EmulatedU2::EepromState{});
    for (uint8_t address : {0x03, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18})
        EXPECT_EQ(sensor->ImagerRegister(address), sensor->IlluRegister(address)) << +address;
}

// The calibration finds the highest black level whose frame border still
// shows: 87 on the emulated imager, 0 when every frame is dark.
TEST_F(ModelEmulatorTest, OlderSensorInitialisesAndCalibratesItsBlackLevel) {
    for (const auto& [dark, level] : {std::pair{false, 87}, std::pair{true, 0}}) {
        auto device = Plug<CUSBDeviceU1>(sim::SensorModel::kU1, 4242);
        auto sensor = m_bus.SensorAs<sim::EmulatedU1>(m_id);
        sensor->SetAllFramesDark(dark);
        ASSERT_TRUE(device->Initialize());
        EXPECT_EQ(std::tuple(device->GetSerialNumber(), device->GetFirmwareVersion()),
                  std::tuple("4242", "2.03"));
        for (uint8_t reg : sim::EmulatedU1::kBlackLevelRegisters)
            EXPECT_EQ(sensor->ImagerRegister(reg), level) << "dark " << dark;
        // Calibration mode was switched on, and is off again.
        const uint8_t config = sensor->ImagerRegister(0x02);
        EXPECT_EQ(
            TimesReceived(*sensor, simtest::I2CWriteBody(simtest::kImager, 0x02, config | 0x10)),
            1);
        EXPECT_EQ(config, sensor->BioBoardByte(0x0202));
        EXPECT_EQ(sensor->StatusLedHistory(), Bytes(8, 0)) << "dark " << dark;
    }
}

TEST_F(ModelEmulatorTest, NewerSensorCapturesItsWindowsMeasuresColoursAndShowsResults) {
    auto device = Plug<OpenU2>(sim::SensorModel::kU2, 1);
    auto sensor = m_bus.SensorAs<sim::EmulatedU2>(m_id);
    // The window lies at the sensor's offsets, counted in steps of 4 pixels:
    // pixel (y, x) shows sensor point (8 + y, 16 + x).
    sensor->SetImageOffsets(4, 2);
    sensor->PlaceFinger({7, 1, true});
    Bytes image;
    ASSERT_TRUE(device->GetSyncImage(image));
    const size_t frame = 384 * 320;
    ASSERT_EQ(image.size(), 2 * frame);
    const uint8_t centre = sim::TestPatternSource::PatternValue(160, 192);
    EXPECT_EQ(image[152 * 384 + 176], centre);
    EXPECT_EQ(image[frame + 152 * 384 + 176], 100 + (centre >> 3));
    EXPECT_THAT(sensor->CommandLedHistory(), ElementsAre(0x80, 0, 0x40, 0));
    EXPECT_THAT(sensor->StatusLedHistory(), ElementsAre(2, 1));
    // Fast mode takes the normal frame only.
    device->Set("FastMode", "true");
    ASSERT_TRUE(device->GetSyncImage(image));
    EXPECT_EQ(image.size(), frame);
    EXPECT_THAT(sensor->CommandLedHistory(), ElementsAre(0x80, 0, 0x40, 0, 0x80, 0));
    // "Full" starts 32 columns and 12 rows before that, here at negative origins.
    device->Set("PictureSize", "Full");
    ASSERT_TRUE(device->GetSyncImage(image));
    ASSERT_EQ(image.size(), 416u * 332);
    EXPECT_EQ(image[164 * 416 + 208], centre);
    EXPECT_EQ(image[0], 255);  // outside the finger

    // The measurement starts with state 6 and waits for the sync flag; the
    // colours come back in their own order.
    sensor->SetLfdReadings(LFDMeasurement{100, -200, 300, 400, 5});
    sensor->SetLfdSyncPolls(2);
    LFDMeasurement m;
    ASSERT_TRUE(device->GetBoundLFD(0, m));
    EXPECT_THAT((std::array{m.Ir, m.Blue, m.Green, m.Red, m.Off}),
                ElementsAre(100, -200, 300, 400, 5));
    EXPECT_EQ(sensor->StatusLedHistory().back(), 6);
    // Two polls before the flag rises, then one read per reading.
    EXPECT_EQ(TimesReceived(*sensor, simtest::I2CReadBody(simtest::kIlluBoard, 0x29, 2)), 3);
    EXPECT_EQ(TimesReceived(*sensor, simtest::I2CReadBody(simtest::kIlluBoard, 0x27, 2)), 5);

    // A success shows state 4, every other result state 3; unknown ones are refused.
    for (int result : {1, 0, 2, 3}) EXPECT_TRUE(device->IndicateResult(result));
    EXPECT_FALSE(device->IndicateResult(7));
    const Bytes states = sensor->StatusLedHistory();
    EXPECT_EQ(Bytes(states.end() - 4, states.end()), (Bytes{4, 3, 3, 3}));
}

// The older model asks for both frames in one request and reads its colours
// in eight bits.
TEST_F(ModelEmulatorTest, OlderSensorCapturesBothFramesAtOnceAndReadsItsColours) {
    auto device = Plug<OpenU1>(sim::SensorModel::kU1, 6);
    auto sensor = m_bus.SensorAs<sim::EmulatedU1>(m_id);
    sensor->SetImageOffsets(0, 0);
    sensor->SetAutoTriggerSensitivity(30);
    ASSERT_TRUE(device->Initialize());
    EXPECT_EQ(device->m_AutoTriggerSensitivity, 30);
    sensor->PlaceFinger({.fingerId = 2, .live = false});
    Bytes image;
    ASSERT_TRUE(device->GetSyncImage(image));
    ASSERT_EQ(image.size(), 2u * 384 * 320);
    // Sensor point (160, 192) in each frame; the fake's cross frame is shifted by 50.
    EXPECT_EQ(image[160 * 384 + 192], 160);
    EXPECT_EQ(image[384 * 320 + 160 * 384 + 192], 210);
    device->Set("FastMode", "true");
    ASSERT_TRUE(device->GetSyncImage(image));
    EXPECT_EQ(image.size(), 384u * 320);

    // Infrared, blue, green, red of the live pattern.
    sensor->PlaceFinger({.fingerId = 2});
    LFDMeasurement m;
    ASSERT_TRUE(device->GetBoundLFD(0, m));
    EXPECT_THAT((std::array{m.Ir, m.Blue, m.Green, m.Red}),
                ElementsAre(9000 / 64, 1200 / 64, 1500 / 64, 7000 / 64));
}

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
    EXPECT_TRUE(Usb().DeviceRemoved(bus_.PathOf(u1)) && Usb().DeviceRemoved(bus_.PathOf(u1)));
    EXPECT_EQ(Posted(), std::vector<kvt__MessageType>{kvt__MessageType__LostDevice});
    EXPECT_TRUE(!Registered(u1) && Registered(u2));
}

TEST_F(USBManagerTest, ASensorThatFailsAStepOfDiscoveryIsClosedAndLogged) {
    // Paths of other devices are not even opened.
    for (const char* ids : {"vid_1013&pid_0017", "vid_046d&pid_0019"})
        Usb().DeviceFound(
            "\\\\?\\usb#" + std::string(ids) + "#x#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}", bus_);
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
