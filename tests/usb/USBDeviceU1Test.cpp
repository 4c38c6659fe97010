#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "usb/ScriptedUsbHandle.h"
#include "usb/UsbTestModels.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

class USBDeviceU1Test : public UsbLogFixture {
protected:
    // The status LED states sent, from the type-10 records written.
    Bytes States() const {
        Bytes states;
        for (const Bytes& w : m_script->Writes()) {
            if (w.size() == 6 && w[0] == 6 && w[1] == 10) states.push_back(w[2]);
        }
        return states;
    }
    void QueueTrigger(uint8_t value) { m_script->QueueAnswer(0x03, {value, 0, 0, 0}); }
};

TEST_F(USBDeviceU1Test, TriggerThresholdFollowsSensitivityAndReadingsOtherThanAdcFail) {
    OpenU1 device(Handle(), "u1");
    auto isFree = [&](uint8_t trigger) {
        QueueTrigger(trigger);
        bool free = false;
        EXPECT_TRUE(device.IsSensorFree(free));
        return free;
    };
    EXPECT_TRUE(isFree(70));
    EXPECT_THAT(m_script->Writes(), ElementsAre(Header(4, 0x03), Bytes{0x88, 1, 2, 3}));
    EXPECT_FALSE(isFree(71));
    device.m_AutoTriggerSensitivity = 30;
    EXPECT_TRUE(isFree(150));
    EXPECT_FALSE(isFree(151));

    // The history starts with 20 zeros: 5 * 255 / 21 is below 70, 6 * 255 / 21 above.
    device.m_AutoTriggerSensitivity = 0;
    for (int reading = 1; reading <= 5; ++reading) EXPECT_FALSE(device.IsFingerDetected(255));
    EXPECT_TRUE(device.IsFingerDetected(255));

    // An asynchronous capture without time ends after one reading.
    m_script->Clear();
    QueueTrigger(200);
    Bytes image;
    EXPECT_FALSE(device.GetAsyncImage(image));
    EXPECT_EQ(m_script->Writes().size(), 2u);

    // ADC answers other than ADC fail.
    m_script->Clear();
    m_script->QueueAnswer(0x05, {});
    uint16_t value = 0;
    EXPECT_FALSE(device.GetTriggerValue(value));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU1::GetADC:(u1-) GET_ADC reply was neither "
                                     "GET_ADC nor GET_STATUS."));
    // A state answer is applied, but the read fails.
    m_script->QueueStateAnswer({4, 2, 1, 7});
    EXPECT_FALSE(device.GetTriggerValue(value));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 1, 7));

    // Colours in a short answer are all dropped.
    LFDMeasurement lfd{1, 2, 3, 4, 5};
    m_script->QueueAnswer(0x03, {10, 20, 30});
    EXPECT_FALSE(device.GetBoundLFD(0, lfd));
    EXPECT_THAT((std::array{lfd.Ir, lfd.Blue, lfd.Green, lfd.Red}), ElementsAre(0, 0, 0, 0));
}

TEST_F(USBDeviceU1Test, ResultsHoldTheLedAndSyncCaptureAsksForBothFramesAtOnce) {
    OpenU1 device(Handle(), "u1");
    m_script->QueueStateAnswer();
    m_script->QueueStateAnswer();
    EXPECT_TRUE(device.IndicateResult(1));
    const auto calls = m_script->Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_GE(calls[4].when - calls[3].when, std::chrono::milliseconds(100));
    EXPECT_FALSE(device.IndicateResult(7));
    EXPECT_FALSE(device.IndicateResult(3));  // no answer to the first state
    EXPECT_THAT(States(), ElementsAre(2, 0, 1));

    // A synchronous capture asks for both frames at once.
    m_script->Clear();
    device.Set("PictureSize", "Half");
    const size_t frame = 192 * 160;
    // The offsets (1, 2) and the state answer to the capturing state.
    const auto queueOffsets = [&] {
        m_script->QueueAnswer(0x02, {1});
        m_script->QueueAnswer(0x02, {2});
        m_script->QueueStateAnswer();
    };
    queueOffsets();
    m_script->QueueAnswer(0x01, Bytes(frame, 7));
    m_script->QueueStateAnswer();
    Bytes image;
    ASSERT_TRUE(device.GetSyncImage(image));
    EXPECT_EQ(image.size(), 2 * frame);
    // Both frames of the window at the offsets (1, 2) in one request.
    EXPECT_EQ(m_script->Writes()[7],
              (Bytes{48, 40, 25, 22, 0x80, 0, 0x80, 0, 48, 40, 25, 22, 0x80, 0, 0x80, 0}));
    EXPECT_THAT(States(), ElementsAre(3, 0));
    // A failed image exchange leaves the LED as it is.
    m_script->Clear();
    queueOffsets();
    EXPECT_FALSE(device.GetSyncImage(image));
    EXPECT_THAT(States(), ElementsAre(3));
}

}  // namespace
