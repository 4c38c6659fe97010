#include <gtest/gtest.h>

#include "sim/usb/EmulatedU1.h"
#include "sim/usb/SimSensorTest.h"

using sim::EmulatedU1;
using simtest::Descriptor;
using simtest::kBioBoard;
using simtest::kImager;
using simtest::kRefused;
using Bytes = std::vector<uint8_t>;

namespace {

class EmulatedU1Test : public simtest::SimSensorTest<EmulatedU1> {
protected:
    void SetUp() override { Plug(sim::SensorModel::kU1, 0x12345678); }

    // Sum of the five outer pixels at both ends of every row of an unlit
    // full frame.
    uint32_t BorderSum() {
        auto answer =
            host_->Exchange(0x01, simtest::ImageBody(Descriptor(EmulatedU1::kFullWidth,
                                                                EmulatedU1::kFullHeight, 0, 0, 0)));
        if (!answer || answer->body.size() != 334656u) return UINT32_MAX;
        uint32_t sum = 0;
        for (int row = 0; row < EmulatedU1::kFullHeight; ++row) {
            const uint8_t* line = &answer->body[row * EmulatedU1::kFullWidth];
            for (int i = 0; i < 5; ++i) sum += line[i] + line[EmulatedU1::kFullWidth - 1 - i];
        }
        return sum;
    }

    bool WriteBlackLevel(uint8_t level) {
        for (uint8_t reg : EmulatedU1::kBlackLevelRegisters)
            if (Status(host_->WriteI2C(kImager, reg, level)) != 0) return false;
        return true;
    }

    // Successive approximation: the highest level whose border still shows.
    int Calibrate() {
        int level = 0;
        for (int bit = 7; bit >= 0; --bit) {
            level |= 1 << bit;
            if (!WriteBlackLevel(static_cast<uint8_t>(level))) return -1;
            if (BorderSum() < 100) level &= ~(1 << bit);
        }
        return WriteBlackLevel(static_cast<uint8_t>(level)) ? level : -1;
    }
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
}

TEST_F(EmulatedU1Test, BlackLevelCalibrationConvergesOnUnlitFramesOrToZeroOnDarkOnes) {
    EXPECT_EQ(Calibrate(), 87);
    // Just below the found level the border still shows, just above it is black.
    EXPECT_GE(BorderSum(), 100u);
    ASSERT_TRUE(WriteBlackLevel(88));
    EXPECT_LT(BorderSum(), 100u);
    for (uint8_t reg : EmulatedU1::kBlackLevelRegisters)
        EXPECT_EQ(sensor_->ImagerRegister(reg), 88);

    sensor_->SetAllFramesDark(true);
    EXPECT_EQ(Calibrate(), 0);
    sensor_->PlaceFinger({});
    const Bytes lit = simtest::ImageBody(Descriptor(192, 160, 96, 80, 0x80));
    EXPECT_EQ(host_->Exchange(0x01, lit)->body, Bytes(192 * 160, 0));
}

}  // namespace
