#include "ethernet/EthernetDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "ethernet/ScriptedSensor.h"
#include "support/LoggedTest.h"

using namespace ethernet;
using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

class EthernetDeviceTest : public LoggedTest {
protected:
    void SetProperties(std::initializer_list<std::pair<const char*, const char*>> values) {
        CProperties properties;
        for (const auto& [key, value] : values) ASSERT_TRUE(properties.SetProperty(key, value));
        device_.SetCaptureProperties(properties);
    }
    // The body of the nth request with the given CmdID; empty when there is
    // none, so that at() fails the test rather than the test run.
    Bytes BodyOf(uint32_t cmdId, size_t nth = 0) {
        for (const SensorRequest& request : sensor_.Requests())
            if (request.cmdId == cmdId && nth-- == 0) return request.body;
        return {};
    }
    // Starts an asynchronous capture with a time-out in seconds.
    std::future<bool> StartAsync(int seconds, std::vector<uint8_t>& image) {
        device_.SetAsyncTimeout(seconds);
        device_.ClearCancel();
        return std::async(std::launch::async,
                          [this, &image] { return device_.GetAsyncImage(image); });
    }

    ScriptedSensor sensor_;
    CEthernetDevice device_{sensor_.TakeLibrarySide(), SocketEndpoint{}};
};

TEST_F(EthernetDeviceTest, SmallExchangesRefuseBadAnswersAndTheNextExchangeWorks) {
    sensor_.Queue(HeaderBytes(kGetConfiguration, 0));
    uint8_t value[4] = {};
    EXPECT_FALSE(device_.GetConfig(kConfigFirmware, value, sizeof value));
    EXPECT_THAT(LogText(),
                HasSubstr("CEthernetDevice::HeaderMirrorCheckCEthernetDevice::GetConfig: "
                          "Header mirror-check failed"));
    sensor_.config[kConfigServerIP] = 0x0401A8C0;  // 192.168.1.4
    ASSERT_TRUE(device_.GetConfig(kConfigServerIP, value, sizeof value));
    EXPECT_THAT(value, ElementsAre(192, 168, 1, 4));

    // Feedback that does not exist is not sent; an error status fails.
    EXPECT_FALSE(device_.IndicateResult(4));
    EXPECT_EQ(sensor_.Requests().size(), 2u);
    sensor_.Queue(StatusAnswer(1, kDevStatusError));
    EXPECT_FALSE(device_.IndicateResult(kvt__ResultFeedback__Error));
    ASSERT_TRUE(device_.IndicateResult(kvt__ResultFeedback__Error));
}

TEST_F(EthernetDeviceTest, InitializeReadsStatusAddressesAndFirmwareOnce) {
    sensor_.config[kConfigFirmware] = 0x0703;  // byte 0 major 3, byte 1 minor 7
    sensor_.config[kConfigServerPort] = 0xCDAB;
    ASSERT_TRUE(device_.Initialize());
    std::vector<uint32_t> ids;
    for (const SensorRequest& request : sensor_.Requests()) ids.push_back(request.cmdId);
    EXPECT_THAT(ids, ElementsAre(kGetStatus, kGetConfiguration, kGetConfiguration,
                                 kGetConfiguration, kGetConfiguration));
    EXPECT_EQ(device_.GetFirmwareVersion(), "3.07");
    EXPECT_EQ(sensor_.Requests().size(), 5u);  // known: not asked again
    EXPECT_EQ(device_.GetSerialNumber(), "4711");
    EXPECT_THAT(LogText(), HasSubstr("Server-Port: 0xABCD, Server-IP: 0.0.0.0"));

    // Only the first successful status sets the serial number.
    sensor_.serial = 99;
    sensor_.status = 5;
    EXPECT_EQ(device_.GetDeviceStatus(), 5);
    EXPECT_EQ(device_.GetSerialNumber(), "4711");
    EXPECT_THAT(LogText(), HasSubstr("Device reported status: 5"));

    // The reset has no answer to wait for.
    const size_t before = sensor_.Requests().size();
    ASSERT_TRUE(device_.ResetDevice());
    ASSERT_TRUE(sensor_.WaitForRequests(before + 1, 2000));
    EXPECT_EQ(sensor_.Requests().back().cmdId, kResetDevice);
    EXPECT_TRUE(sensor_.Requests().back().body.empty());
}

TEST_F(EthernetDeviceTest, FramesAskForTheirWindowAndAFailedSecondFrameFailsTheCapture) {
    // The sensor refuses both offset reads: origin 210, 90 plus the shift.
    sensor_.Queue(HeaderBytes(kGetStatus, 4));
    sensor_.Queue(HeaderBytes(kGetStatus, 4));
    std::vector<uint8_t> frame;
    SetProperties({{"PictureSize", "Half"}});
    ASSERT_TRUE(device_.GetSingleImage(frame, kFrameNormal));
    EXPECT_EQ(frame.size(), 192u * 160u);
    EXPECT_EQ(BodyOf(kGetImageEx, 0),
              (Bytes{192, 0, 160, 0, 306 & 0xFF, 306 >> 8, 170, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_THAT(LogText(), HasSubstr("CEthernetDevice::GetOffset: Offset x: 0, y: 0"));

    // A known offset is signed and added to the shift.
    sensor_.config[kConfigOffsetX] = 5;
    sensor_.config[kConfigOffsetY] = 0xFFFD;  // -3
    ASSERT_TRUE(device_.GetSingleImage(frame, kFrameNormal));
    EXPECT_EQ(GetU16(&BodyOf(kGetImageEx, 1).at(4)), 101);
    EXPECT_EQ(GetU16(&BodyOf(kGetImageEx, 1).at(6)), 77);
    EXPECT_THAT(LogText(), HasSubstr("Offset x: 5, y: -3"));

    // Without LFD one frame, whatever the picture size.
    SetProperties({{"PictureSize", "ROI"}, {"LFD", "false"}});
    ASSERT_TRUE(device_.GetSyncImage(frame));
    EXPECT_EQ(frame.size(), 384u * 320u);
    EXPECT_EQ(sensor_.Requests().back().cmdId, kGetImageEx);

    // A failed second frame fails the capture.
    SetProperties({{"PictureSize", "Half"}, {"LFD", "true"}});
    // Each frame reads the window's offsets first.
    for (const Bytes& answer :
         {ConfigAnswer(0), ConfigAnswer(0), ImageAnswer(kGetImageEx, Bytes(192 * 160, 1)),
          ConfigAnswer(0), ConfigAnswer(0), Concat({HeaderBytes(kGetImage, 100), Bytes(100, 0)})})
        sensor_.Queue(answer);
    EXPECT_FALSE(device_.GetSyncImage(frame));
    EXPECT_TRUE(frame.empty());
    EXPECT_THAT(LogText(),
                HasSubstr("CEthernetDevice::GetSingleImage: Header mirror-check failed"));

    // The bad answer leaves nothing behind for the next capture.
    SetProperties({{"PictureSize", "Half"}, {"LFD", "false"}});
    ASSERT_TRUE(device_.GetSyncImage(frame));
    EXPECT_EQ(frame.size(), 192u * 160u);
}

TEST_F(EthernetDeviceTest, AWrongAnswerOrAnUnconfirmedTriggerEndsTheAsyncCapture) {
    std::vector<uint8_t> image;
    auto capture = StartAsync(10, image);
    ASSERT_TRUE(sensor_.WaitForRequests(5, 5000));
    sensor_.Push(ImageAnswer(kGetImageEx, Bytes(50, 1)));
    EXPECT_FALSE(capture.get());
    EXPECT_TRUE(image.empty());
    // The trigger went off in an exchange that the stale bytes did not disturb.
    EXPECT_EQ(BodyOf(kSetAutoTrigger, 1).at(0), 0);
    EXPECT_EQ(device_.GetDeviceStatus(), 1);

    // A trigger the sensor does not confirm fails the capture at once.
    sensor_.status = 0;
    EXPECT_FALSE(StartAsync(5, image).get());
    EXPECT_TRUE(image.empty());
    EXPECT_THAT(LogText(), HasSubstr("Status of device is 0x0 instead of expected 0x1!"));
    EXPECT_THAT(LogText(), HasSubstr("SetTrigger(true) in CEthernetDevice::GetAsyncImage failed"));
}

}  // namespace
