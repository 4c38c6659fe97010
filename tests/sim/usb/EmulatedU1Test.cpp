#include <gtest/gtest.h>

#include "sim/usb/EmulatedU1.h"
#include "sim/usb/SimSensorTest.h"

using sim::EmulatedU1;
using simtest::Descriptor;
using simtest::kBioBoard;
using simtest::kRefused;
using Bytes = std::vector<uint8_t>;

namespace {

class EmulatedU1Test : public simtest::SimSensorTest<EmulatedU1> {
protected:
    void SetUp() override { Plug(sim::SensorModel::kU1, 0x12345678); }
};

TEST_F(EmulatedU1Test, AdcAnswersTriggerAndColourRequests) {
    const Bytes trigger = EmulatedU1::TriggerRequest();
    auto empty = host_->Exchange(0x03, trigger);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->cmdId, 0x03);
    EXPECT_EQ(empty->body, (Bytes{2, 0, 0, 0}));
    sensor_->PlaceFinger({.fingerId = 1});
    EXPECT_EQ(host_->Exchange(0x03, trigger)->body[0], 200);
    sensor_->SetTriggerValues(1000, 0);  // the converter saturates
    EXPECT_EQ(host_->Exchange(0x03, trigger)->body[0], 255);

    // Infrared, blue, green, red of the live pattern, in 8 bits.
    auto colours = host_->Exchange(0x03, EmulatedU1::LiveFingerRequest());
    ASSERT_TRUE(colours);
    EXPECT_EQ(colours->cmdId, 0x03);
    EXPECT_EQ(colours->body, (Bytes{9000 / 64, 1200 / 64, 1500 / 64, 7000 / 64}));

    auto unknown = host_->Exchange(0x03, {0x88, 0x00});
    EXPECT_EQ(Status(unknown), kRefused);
}

TEST_F(EmulatedU1Test, StatusLedFollowsTypeTenStateRecords) {
    EXPECT_EQ(Status(host_->Exchange(0x40, {6, 10, 3, 0, 0, 0})), 0);
    EXPECT_EQ(Status(host_->Exchange(0x40, {6, 10, 0, 0, 0, 0})), 0);
    EXPECT_EQ(Status(host_->Exchange(0x40, {6, 9, 2, 0, 0, 0})), kRefused);
    EXPECT_EQ(sensor_->StatusLedHistory(), (Bytes{3, 0}));
    sensor_->SetMainFirmware({2, 9});
    auto records = simtest::StateRecords(host_->Exchange(0x40, {6, 10, 2, 0, 0, 0})->body);
    ASSERT_TRUE(records);
    EXPECT_EQ((*records)[2], (Bytes{4, 2, 2, 9}));
    EXPECT_EQ((*records)[3], (Bytes{6, 10, 2, 0, 0, 0}));
}

TEST_F(EmulatedU1Test, MainBoardHoldsSerialOffsetsAndSensitivity) {
    EXPECT_EQ(host_->ReadI2C(kBioBoard, EmulatedU1::kSerialNumber, 4)->body,
              (Bytes{0x12, 0x34, 0x56, 0x78}));
    sensor_->SetImageOffsets(3, 0xFE);
    sensor_->SetAutoTriggerSensitivity(30);
    EXPECT_EQ(host_->ReadI2C(kBioBoard, EmulatedU1::kOffsetX, 3)->body, (Bytes{3, 0xFE, 30}));
    // The older model has no illumination board.
    EXPECT_EQ(Status(host_->ReadI2C(simtest::kIlluBoard, 0x25, 1)), kRefused);
    EXPECT_EQ(Status(host_->WriteI2C(simtest::kIlluBoard, 0x06, 1)), kRefused);
}

TEST_F(EmulatedU1Test, ImageRequestDeliversBothFramesOrOneInFastMode) {
    sensor_->PlaceFinger({.fingerId = 2, .live = false});
    const Bytes descriptor = Descriptor(384, 320, 0, 0, 0x80, 0x80);
    auto answer = host_->Exchange(0x01, simtest::ImageBody(descriptor, descriptor));
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->body.size(), 2u * 384 * 320);
    // Sensor point (160, 192) in each frame; the fake's cross frame is shifted by 50.
    const size_t centre = 160 * 384 + 192;
    EXPECT_EQ(answer->body[centre], 160);
    EXPECT_EQ(answer->body[384 * 320 + centre], 210);

    EXPECT_EQ(host_->Exchange(0x01, simtest::ImageBody(descriptor))->body.size(), 384u * 320u);

    // The black-level calibration's frames: the imager can be made to show
    // nothing but black (the calibration against the model is in the USB tests).
    sensor_->SetAllFramesDark(true);
    const Bytes lit = simtest::ImageBody(Descriptor(192, 160, 96, 80, 0x80));
    EXPECT_EQ(host_->Exchange(0x01, lit)->body, Bytes(192 * 160, 0));
}

}  // namespace
