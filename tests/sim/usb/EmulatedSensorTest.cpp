#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>

#include "sim/usb/EmulatedU1.h"
#include "sim/usb/EmulatedU2.h"
#include "sim/usb/RawHost.h"
#include "sim/usb/SimUsbBus.h"

using sim::EmulatedU1;
using sim::EmulatedU2;
using sim::Fault;
using simtest::kBioBoard;
using simtest::kIlluBoard;
using simtest::kImager;
using Bytes = std::vector<uint8_t>;

namespace {

using simtest::RawHost;
using simtest::Status;
constexpr int kRefused = sim::EmulatedSensor::kStatusRefused;

// One emulated sensor on a bus of the test's own, opened, with a raw host on
// its handle.
template <class Model>
class SimSensorTest : public testing::Test {
protected:
    void Plug(sim::SensorModel model, uint32_t serial, const sim::SensorOptions& options = {}) {
        id_ = bus_.Attach(model, serial, options);
        sensor_ = bus_.SensorAs<Model>(id_);
        ASSERT_TRUE(sensor_);
        int error = 0;
        handle_ = bus_.Open(bus_.PathOf(id_), error);
        ASSERT_TRUE(handle_) << error;
        host_.emplace(*handle_);
    }

    sim::SimUsbBus bus_;
    int id_ = 0;
    std::shared_ptr<Model> sensor_;
    std::unique_ptr<platform::UsbDriverHandle> handle_;
    std::optional<RawHost> host_;
};

class EmulatedU2Test : public SimSensorTest<EmulatedU2> {
protected:
    void SetUp() override { Plug(sim::SensorModel::kU2, 12345678, {.illuBoardSerial = 0xABCDEF}); }

    int SetCommand(uint16_t code, uint8_t value) {
        return Status(host_->WriteI2C(kIlluBoard, code, value));
    }
};

TEST_F(EmulatedU2Test, StateAnswersCarryStatusFirmwareMainBoardStateAndTheStatusLed) {
    sensor_->SetMainFirmware({1, 7});
    const std::vector<Bytes> records = {
        {4, 0, 0, 0}, {8, 1, 0, 0, 0, 0, 0, 0}, {4, 2, 1, 7}, {6, 10, 0, 0, 0, 0}};
    auto answer = host_->Exchange(0x00, {});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->cmdId, 0x00);
    EXPECT_EQ(simtest::StateRecords(answer->body), records);
    // The status LED's state is recorded and reads back.
    for (uint8_t state : {2, 1, 4}) EXPECT_EQ(SetCommand(0x06, state), 0);
    EXPECT_EQ(sensor_->StatusLedHistory(), (Bytes{2, 1, 4}));
    EXPECT_EQ(host_->ReadI2C(kIlluBoard, 0x23, 1).value().body, Bytes{4});

    // Every write is answered with the same records, with the status set.
    sensor_->SetStatusByte(3);
    answer = host_->WriteI2C(kImager, 0x13, 1);
    EXPECT_EQ(Status(answer), 3);
    ASSERT_TRUE(answer);
    EXPECT_EQ(simtest::StateRecords(answer->body)->size(), 4u);
}

TEST_F(EmulatedU2Test, OutOfRangeAndUnknownTargetsAreRefused) {
    EXPECT_EQ(Status(host_->ReadI2C(kImager, 0x0100, 1)), kRefused);
    EXPECT_EQ(Status(host_->ReadI2C(kImager, 0x00FF, 2)), kRefused);
    EXPECT_EQ(Status(host_->WriteI2C(kBioBoard, 0x0FFF, 9)), 0);
    EXPECT_EQ(sensor_->BioBoardByte(0x0FFF), 9);
    EXPECT_EQ(Status(host_->WriteI2C(kBioBoard, 0x1000, 1)), kRefused);
    EXPECT_EQ(Status(host_->ReadI2C(0x22, 0, 1)), kRefused);
    EXPECT_EQ(Status(host_->ReadI2C(kIlluBoard, 0x30, 1)), kRefused);  // no such get-command
    EXPECT_EQ(SetCommand(0x55, 1), kRefused);
    // The control byte must match the device's address width.
    Bytes body = simtest::I2CReadBody(kBioBoard, 0x0200, 1);
    body[0] = 0x08;
    EXPECT_EQ(Status(host_->Exchange(0x02, body)), kRefused);
}

TEST_F(EmulatedU2Test, LockedEepromKeepsTriggerLevelsAndFactoryDataStaysReadOnly) {
    EXPECT_EQ(host_->ReadIllu(EmulatedU2::kMinTriggerLevelLow), 0x70);
    EXPECT_EQ(host_->WriteIllu(EmulatedU2::kMinTriggerLevelLow, 0x11), kRefused);
    EXPECT_EQ(sensor_->Eeprom(), EmulatedU2::EepromState{});

    EXPECT_EQ(host_->WriteIllu(EmulatedU2::kEepromLockBit, 0), 0);
    EXPECT_EQ(host_->WriteIllu(EmulatedU2::kMinTriggerLevelLow, 0x11), 0);
    EXPECT_EQ(host_->WriteIllu(EmulatedU2::kFirmwareMinor, 99), kRefused);
    EXPECT_EQ(std::tuple(sensor_->Eeprom().minTriggerLevelLow, sensor_->Eeprom().locked),
              std::tuple(0x11, false));

    EXPECT_EQ(SetCommand(0x09, 0), 0);  // factory trigger levels again
    EXPECT_EQ(sensor_->Eeprom().minTriggerLevelLow, 0x70);
    EXPECT_EQ(host_->WriteIllu(EmulatedU2::kEepromLockBit, 1), 0);
    EXPECT_EQ(SetCommand(0x09, 0), kRefused);

    sensor_->SetEeprom({.minTriggerLevelLow = 0, .locked = false});
    EXPECT_EQ(host_->ReadIllu(EmulatedU2::kMinTriggerLevelLow), 0);
    EXPECT_EQ(host_->ReadIllu(EmulatedU2::kEepromLockBit), 0);
}

// The faults that the library meets in a capture (no answer, a short one, a
// wrong command) are tested through it, each spoiling one capture only.
TEST_F(EmulatedU2Test, FaultsSpoilTheAnswersTheyAreMeantFor) {
    sensor_->InjectFault(Fault::kStateAnswer);
    auto state = host_->ReadI2C(kIlluBoard, 0x24, 2);
    ASSERT_EQ(Status(state), 0);
    EXPECT_TRUE(simtest::StateRecords(state->body));

    // A bad record waits for the next state answer; data answers pass.
    sensor_->InjectFault(Fault::kBadStateRecord);
    EXPECT_EQ(host_->ReadI2C(kImager, 0, 1)->cmdId, 0x02);
    EXPECT_EQ(host_->WriteI2C(kImager, 0x13, 1)->body, (Bytes{4, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_TRUE(simtest::StateRecords(host_->Exchange(0x00, {})->body));

    sensor_->InjectFault(Fault::kWrongCmdId, -1);
    EXPECT_EQ(host_->Exchange(0x00, {})->cmdId, 0xEE);
    EXPECT_EQ(host_->Exchange(0x00, {})->cmdId, 0xEE);
    sensor_->ClearFaults();
    EXPECT_EQ(host_->Exchange(0x00, {})->cmdId, 0x00);
}

TEST_F(EmulatedU2Test, MalformedRequestsFailTheTransferAndLeaveTheSensorUsable) {
    EXPECT_FALSE(host_->Send(0x7F, {}));                      // unknown CmdID
    EXPECT_FALSE(host_->Send(0x03, {0x88, 1, 2, 3}));         // the older model's ADC
    EXPECT_FALSE(host_->WriteAll(simtest::Header(9, 0x02)));  // wrong body length
    Bytes reserved = simtest::Header(0, 0x00);
    reserved[6] = 1;
    EXPECT_FALSE(host_->WriteAll(reserved));
    EXPECT_FALSE(host_->WriteAll(simtest::Header(0xFFFFFFFF, 0x40)));
    // An image request whose two frame descriptors are empty.
    EXPECT_EQ(Status(host_->Exchange(0x01, Bytes(16, 0))), kRefused);
    EXPECT_EQ(Status(host_->Exchange(0x00, {})), 0);

    // Framing does not depend on how the bytes are split into transfers.
    Bytes request = simtest::Header(8, 0x02), body = simtest::I2CReadBody(kImager, 0x13, 1);
    request.insert(request.end(), body.begin(), body.end());
    ASSERT_TRUE(host_->WriteAll(Bytes(request.begin(), request.begin() + 3)) &&
                host_->WriteAll(Bytes(request.begin() + 3, request.end())));
    EXPECT_EQ(host_->Receive()->cmdId, 0x02);

    // Random bytes never crash the sensor; a fresh handle starts clean.
    std::mt19937 random(20240521);
    for (int round = 0; round < 2000; ++round) {
        Bytes garbage(random() % 60);
        for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random());
        if (round % 3 == 0 && garbage.size() >= 8) {
            garbage[0] = garbage[1] = garbage[2] = garbage[4] = garbage[6] = garbage[7] = 0;
            garbage[5] = Bytes{0x00, 0x01, 0x02, 0x40, 0x42}[random() % 5];
            garbage[3] = static_cast<uint8_t>(garbage.size() - 8);
        }
        host_->WriteAll(garbage);
        uint8_t sink[256];
        uint32_t moved = 0;
        handle_->Read(sink, sizeof sink, moved);
    }
    handle_.reset();
    int error = 0;
    handle_ = bus_.Open(bus_.PathOf(id_), error);
    ASSERT_TRUE(handle_);
    EXPECT_EQ(Status(simtest::RawHost(*handle_).Exchange(0x00, {})), 0);
}

using EmulatedU1Test = SimSensorTest<EmulatedU1>;

// What the older model does not have or know it refuses; its trigger
// saturates. Everything else it shows is checked against the library's model.
TEST_F(EmulatedU1Test, RefusesWhatTheOlderModelLacksAndSaturatesItsTrigger) {
    Plug(sim::SensorModel::kU1, 0x12345678);
    EXPECT_EQ(Status(host_->Exchange(0x03, {0x88, 0x00})), kRefused);
    EXPECT_EQ(Status(host_->Exchange(0x40, {6, 9, 2, 0, 0, 0})), kRefused);
    EXPECT_EQ(Status(host_->ReadI2C(kIlluBoard, 0x25, 1)), kRefused);
    EXPECT_EQ(Status(host_->WriteI2C(kIlluBoard, 0x06, 1)), kRefused);
    sensor_->PlaceFinger({.fingerId = 1});
    sensor_->SetTriggerValues(1000, 0);
    EXPECT_EQ(host_->Exchange(0x03, EmulatedU1::TriggerRequest())->body[0], 255);
}

}  // namespace
