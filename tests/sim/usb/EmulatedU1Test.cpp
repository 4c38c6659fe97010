#include <gtest/gtest.h>

#include "sim/usb/EmulatedU1.h"
#include "sim/usb/SimSensorTest.h"

using sim::EmulatedU1;
using simtest::kRefused;
using Bytes = std::vector<uint8_t>;

namespace {

class EmulatedU1Test : public simtest::SimSensorTest<EmulatedU1> {
protected:
    void SetUp() override { Plug(sim::SensorModel::kU1, 0x12345678); }
};

// What the older model does not have or know it refuses; its trigger
// saturates. Everything else it shows is checked against the library's model.
TEST_F(EmulatedU1Test, RefusesWhatTheOlderModelLacksAndSaturatesItsTrigger) {
    EXPECT_EQ(Status(host_->Exchange(0x03, {0x88, 0x00})), kRefused);
    EXPECT_EQ(Status(host_->Exchange(0x40, {6, 9, 2, 0, 0, 0})), kRefused);
    EXPECT_EQ(Status(host_->ReadI2C(simtest::kIlluBoard, 0x25, 1)), kRefused);
    EXPECT_EQ(Status(host_->WriteI2C(simtest::kIlluBoard, 0x06, 1)), kRefused);
    sensor_->PlaceFinger({.fingerId = 1});
    sensor_->SetTriggerValues(1000, 0);
    EXPECT_EQ(host_->Exchange(0x03, EmulatedU1::TriggerRequest())->body[0], 255);
}

}  // namespace
