#include "ethernet/EthernetDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <future>
#include <vector>

#include "ethernet/ScriptedSensor.h"
#include "support/LoggedTest.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#ifndef _WIN32
#include "EthernetReplay.h"
#endif

using namespace ethernet;
using namespace kvt_test;
using testing::Each;
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
    // Known values are not asked again.
    EXPECT_EQ((std::tuple{device_.GetFirmwareVersion(), device_.GetSerialNumber(),
                          sensor_.Requests().size()}),
              std::tuple("3.07", "4711", 5u));
    EXPECT_THAT(LogText(), HasSubstr("Server-Port: 0xABCD, Server-IP: 0.0.0.0"));

    // Only the first successful status sets the serial number.
    sensor_.serial = 99;
    sensor_.status = 5;
    EXPECT_EQ((std::pair{device_.GetDeviceStatus(), device_.GetSerialNumber()}),
              std::pair(5, std::string("4711")));
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
    for (int offset = 0; offset < 2; ++offset) sensor_.Queue(HeaderBytes(kGetStatus, 4));
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

// A sensor that lies, stalls or drops the connection must cost the library a
// failed operation and a log line, never a crash, a hang or a leak.

// A device on a fresh connection whose sensor answers only what is queued.
struct Rig {
    explicit Rig(StopCheck halt = {})
        : device(sensor.TakeLibrarySide(), SocketEndpoint{}, 7, std::move(halt)) {
        sensor.autoAnswer = false;
    }
    ScriptedSensor sensor;
    CEthernetDevice device;
};

// Runs the check on a fresh device for each cut below the limit and each of
// the further cuts: its sensor sends the first cut bytes of the replies and
// then closes the connection. Afterwards the device knows it is closed.
void ForEachCut(const std::vector<Bytes>& replies, size_t limit,
                const std::function<void(CEthernetDevice&, size_t)>& check,
                std::vector<size_t> further = {}, const CProperties* properties = nullptr) {
    for (size_t cut = 0; cut < limit; ++cut) further.push_back(cut);
    for (size_t cut : further) {
        Rig rig;
        if (properties != nullptr) rig.device.SetCaptureProperties(*properties);
        for (const Bytes& reply : replies) rig.sensor.Queue(reply);
        rig.sensor.hangUpAfter = cut;
        check(rig.device, cut);
        EXPECT_EQ(rig.device.GetDeviceStatus(), 3) << cut;
    }
}

class HostilePeerTest : public LoggedTest {};

TEST_F(HostilePeerTest, ADisconnectAtAnyByteOfTheSmallExchangesOrTheStatusQueryFailsThem) {
    ForEachCut({StatusAnswer(1, 1)}, kHeaderSize + kStatusBodySize,
               [](CEthernetDevice& device, size_t cut) {
                   EXPECT_FALSE(device.IndicateResult(kvt__ResultFeedback__Succeeded)) << cut;
               });
    const Bytes ld = Concat({HeaderBytes(kGetLD, 8), Bytes{1, 2, 3, 4, 0, 0, 0, 0}});
    ForEachCut({ld}, ld.size(), [](CEthernetDevice& device, size_t cut) {
        LFDMeasurement measurement;
        EXPECT_FALSE(device.GetBoundLFD(1000, measurement)) << cut;
    });
    // Switching the trigger on: a status query, then the trigger command.
    const std::vector<Bytes> trigger{StatusAnswer(1, 1), ConfigAnswer(0), ConfigAnswer(0),
                                     ConfigAnswer(0), StatusAnswer(1, 1)};
    ForEachCut(trigger, Concat(trigger).size(), [](CEthernetDevice& device, size_t cut) {
        std::vector<uint8_t> image;
        device.SetAsyncTimeout(0);
        EXPECT_FALSE(device.GetAsyncImage(image)) << cut;
    });
    EXPECT_EQ(Occurrences(LogText(), "SetTrigger(true) in CEthernetDevice::GetAsyncImage failed"),
              Concat(trigger).size());

    // The status query.
    const std::vector<Bytes> answers{StatusAnswer(77, 1), ConfigAnswer(1), ConfigAnswer(2),
                                     ConfigAnswer(3)};
    const size_t statusEnd = answers[0].size();
    ForEachCut(answers, Concat(answers).size() + 1, [&](CEthernetDevice& device, size_t cut) {
        // The address reads after the status only feed the log.
        EXPECT_EQ(device.GetDeviceStatus(), cut < statusEnd ? 3 : 1) << "cut " << cut;
        EXPECT_EQ(device.GetSerialNumber(), cut < statusEnd ? "" : "77") << "cut " << cut;
    });
}

TEST_F(HostilePeerTest, ADisconnectInsideAFrameOrAHugeLengthFailsTheCaptureWithoutAnImage) {
    CProperties half;
    ASSERT_TRUE(half.SetProperty("PictureSize", "Half"));
    const Bytes frame = ImageAnswer(kGetImageEx, Bytes(192 * 160, 9));
    const std::vector<Bytes> answers{ConfigAnswer(0), ConfigAnswer(0), frame};
    const size_t frameStart = Concat(answers).size() - frame.size();
    // Every byte of the answers before the frame's body, then a sample inside it.
    ForEachCut(
        answers, frameStart + kHeaderSize + 2,
        [](CEthernetDevice& device, size_t cut) {
            std::vector<uint8_t> image;
            // A cut in the offset reads only costs the offset; the frame
            // request then finds the connection closed.
            EXPECT_FALSE(device.GetSyncImage(image)) << cut;
            EXPECT_TRUE(image.empty()) << cut;
        },
        {frameStart + 1000, frameStart + frame.size() / 2, frameStart + frame.size() - 1}, &half);

    // Huge lengths are refused before anything is read.
    Rig rig;
    rig.sensor.Queue(Concat({HeaderBytes(kGetImage, 400000), Bytes(64, 1)}));
    rig.sensor.Queue(HeaderBytes(kGetImage, 0xFFFFFFFF));
    std::vector<uint8_t> image;
    EXPECT_FALSE(rig.device.GetNormalImage(image) || rig.device.GetNormalImage(image));
    EXPECT_TRUE(image.empty());
    EXPECT_THAT(LogText(), HasSubstr("Expected Header.CmdID:3, received CmdID:3"));
}

TEST_F(HostilePeerTest,
       AStalledAnswerEndsWhenTheDeviceClosesOrTheManagerHaltsButASlowDripSucceeds) {
    Rig rig;
    // The frame is announced, begun and never finished.
    rig.sensor.Queue(Concat({HeaderBytes(kGetImage, 399999), Bytes(10, 1)}));
    std::vector<uint8_t> image;
    auto capture = std::async(std::launch::async, [&] { return rig.device.GetNormalImage(image); });
    ASSERT_TRUE(rig.sensor.WaitForRequests(1, 5000));
    EXPECT_EQ(capture.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(rig.device.CloseDevice(), 0);
    EXPECT_FALSE(capture.get());
    EXPECT_TRUE(image.empty());
    EXPECT_THAT(LogText(), HasSubstr("CEthernetDevice::GetNormalImage:(-) Recv(BUFFER) failed"));
    // Closed for good: nothing is sent any more.
    EXPECT_FALSE(rig.device.ResetDevice());
    EXPECT_EQ(rig.sensor.Requests().size(), 1u);

    // The manager halts while an answer stalls.
    std::atomic<bool> halt{false};
    Rig halting([&halt] { return halt.load(); });
    halting.sensor.Queue(Concat({HeaderBytes(kGetLD, 8), Bytes{1, 2}}));
    LFDMeasurement measurement;
    // A wait of 1000 s that the halt cuts short.
    auto read = std::async(std::launch::async,
                           [&] { return halting.device.GetBoundLFD(1000, measurement); });
    ASSERT_TRUE(halting.sensor.WaitForRequests(1, 5000));
    halt = true;
    EXPECT_FALSE(read.get());
    // The header or the body, depending on how far the answer got.
    EXPECT_THAT(LogText(), HasSubstr("CEthernetDevice::GetBoundLFD:(-) Recv("));

    // A slow drip within the wait still succeeds.
    Rig drip;
    drip.sensor.Queue(Reply{StatusAnswer(5, 1), 20});
    drip.sensor.autoAnswer = true;
    EXPECT_EQ((std::pair{drip.device.GetDeviceStatus(), drip.device.GetSerialNumber()}),
              std::pair(1, std::string("5")));
}

#ifndef _WIN32
// The fuzz target's seed corpus holds a well-behaved sensor's answers to every
// command; replayed, each of them must carry all six operations through.
TEST(EthernetSeedCorpusTest, EverySeedCarriesEveryOperationThrough) {
    const std::filesystem::path folder = KVT_ETHERNET_CORPUS;
    size_t seeds = 0;
    std::array<bool, ethernet_replay::kOperations> firsts{};
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string bytes = kvt_test::ReadFile(entry.path());
        const std::vector<uint8_t> seed(bytes.begin(), bytes.end());
        ASSERT_GT(seed.size(), 1u) << entry.path();
        ++seeds;
        firsts[(seed[0] >> 4) % ethernet_replay::kOperations] = true;
        // A scheduler's pause between two requests must not end the replay early.
        EXPECT_THAT(ethernet_replay::Replay(seed.data(), seed.size(), 500), Each(true))
            << entry.path().filename();

        // Without the replies every operation fails: they are what carries them.
        EXPECT_THAT(ethernet_replay::Replay(seed.data(), 1), Each(false))
            << entry.path().filename();
    }
    EXPECT_GE(seeds, 24u);
    EXPECT_THAT(firsts, Each(true));  // every operation goes first somewhere
}
#endif

}  // namespace
