// The sensor models against the emulated sensors: both sides are written
// from the protocol independently, so these catch where they disagree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "sim/usb/EmulatedU1.h"
#include "sim/usb/EmulatedU2.h"
#include "sim/usb/SimUsbBus.h"
#include "usb/ScriptedUsbHandle.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;

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
    template <class Sensor>
    std::shared_ptr<Sensor> Emulated() {
        return m_bus.SensorAs<Sensor>(m_id);
    }
    // How often the emulated sensor was sent exactly these bytes.
    static long TimesReceived(const sim::EmulatedSensor& sensor, const Bytes& bytes) {
        const auto received = sensor.Received();
        return std::count_if(received.begin(), received.end(),
                             [&](const auto& write) { return write.bytes == bytes; });
    }
    sim::SimUsbBus m_bus;
    int m_id = 0;
};

TEST_F(ModelEmulatorTest, NewerSensorInitialisesAndRepairsItsEeprom) {
    auto device = Plug<CUSBDeviceU2>(
        sim::SensorModel::kU2, 12345678,
        {.illuFirmware = sim::FirmwareVersion{0, 19}, .illuBoardSerial = 0x0A0B0C});
    auto sensor = Emulated<sim::EmulatedU2>();
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
        auto sensor = Emulated<sim::EmulatedU1>();
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
    auto sensor = Emulated<sim::EmulatedU2>();
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
    auto sensor = Emulated<sim::EmulatedU1>();
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

}  // namespace
