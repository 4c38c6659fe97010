// Ethernet sensors through the public interface: simulated sensors connect
// over loopback TCP to a listener of the library.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "integration/LibraryFixture.h"
#include "platform/Sockets.h"
#include "support/LoopbackPort.h"

using namespace kvt_test;

namespace {

using Clock = std::chrono::steady_clock;

// The library with one listener on a port of this process's own, so test
// processes run in parallel, and simulated Ethernet sensors connecting to it.
class EthernetSensorTest : public SimulatedSensorTest {
protected:
    void SetUp() override {
        listenerPort_ = UnusedLoopbackPort();
        echoPort_ = UnusedLoopbackPort();
        ASSERT_TRUE(listenerPort_ != 0 && echoPort_ != 0);
        WriteFile(ConfigPath(), "LogLevel=0\n[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=" +
                                    std::to_string(listenerPort_) +
                                    "\nEchoPort=" + std::to_string(echoPort_) + "\n");
    }

    // Connects a sensor to the listener.
    std::string Connect(const char* address = "127.0.0.2", unsigned serial = 4711, bool echo = true,
                        int* simId = nullptr) {
        return Announced(
            [&](int* id) {
                return KVTSim_ConnectEthernetSensor("127.0.0.1", listenerPort_, address, serial,
                                                    echo ? echoPort_ : 0, id);
            },
            simId);
    }
    // The running library with one sensor connected.
    void StartWithSensor() {
        Start();
        id_ = Connect("127.0.0.2", 4711, true, &simId_);
        ASSERT_FALSE(id_.empty());
    }

    int listenerPort_ = 0, echoPort_ = 0;
};

TEST_F(EthernetSensorTest, ConnectedSensorsAreAnnouncedAndDescribedAndThoseWithoutEchoRemoved) {
    Start();
    const std::string first = Connect("127.0.0.2", 4711), second = Connect("127.0.0.3", 4712);
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_NE(first, second);
    // One without an echo service is removed at once.
    const std::string noEcho = Connect("127.0.0.4", 4713, false);
    ASSERT_FALSE(noEcho.empty());
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_LOST_DEVICE, noEcho));

    KVT_DeviceInfo list[3] = {};
    unsigned int count = 3;
    ASSERT_EQ(KVT_GetDeviceList(list, &count), KVT_RESULT_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_LT(std::string(list[0].deviceId), list[1].deviceId);  // in id order
    for (unsigned i = 0; i < count; ++i) {
        EXPECT_EQ(Described(list[i]),
                  std::tuple(KVT_CONNECTION_ETH, KVT_DEVICE_KELO_A, "Kelo E1 Ethernet",
                             list[i].deviceId == first ? "4711" : "4712", "3.07"));
    }
}

TEST_F(EthernetSensorTest, SynchronousCapturesFetchTheFramesThePropertiesAskFor) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 4, 1, 1), KVTSIM_OK);
    // The frames asked for so far: whole default windows, then "Full" at the
    // sensor's offsets (210, 90) shifted by (-32, -12), frame 1 and frame 2,
    // then windows of any kind.
    const auto requests = [] {
        const std::string log = LogText(), at = "EthSim 127.0.0.2: GET_IMAGE";
        return std::tuple(Occurrences(log, at + ": the default window"),
                          Occurrences(log, at + "_EX: 416x332 at (178, 78), frame 1"),
                          Occurrences(log, at + "_EX: 416x332 at (178, 78), frame 2"),
                          Occurrences(log, at + "_EX"));
    };

    // "ROI" with live finger detection: one GET_IMAGE brings both frames. The
    // readings travel as bytes, so only the five ratio conditions can hold:
    // level 3 for a live finger.
    ASSERT_EQ(Capture(), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(image_.size(), data_.LFDLevel, requests()),
              std::tuple(93238u, 3, std::tuple(1u, 0u, 0u, 0u)));
    EXPECT_LT(std::count(image_.begin() + 1078, image_.end(), 255), 93238 - 1078);

    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 4, 1, 0), KVTSIM_OK);
    ASSERT_EQ(Capture(), KVT_RESULT_OK);
    EXPECT_EQ(data_.LFDLevel, 0);
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 4, 1, 1), KVTSIM_OK);

    // "Full": frame 1 and the live-finger frame 2, one request each.
    ASSERT_EQ(KVT_SetProperty(id_.c_str(), "PictureSize", "Full"), KVT_RESULT_OK);
    ASSERT_EQ(Capture(), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(image_.size(), ReadInt32(image_, 18), data_.LFDLevel),
              std::tuple(139190u, 332, 3));
    EXPECT_EQ(requests(), std::tuple(2u, 1u, 1u, 2u));

    // Fast mode takes frame 1 only and grades nothing.
    ASSERT_EQ(KVT_SetProperty(id_.c_str(), "FastMode", "true"), KVT_RESULT_OK);
    ASSERT_EQ(Capture(), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(image_.size(), data_.LFDLevel, requests()),
              std::tuple(139190u, 0, std::tuple(2u, 2u, 1u, 3u)));
}

TEST_F(EthernetSensorTest, AsynchronousCaptureWaitsForTheSensorsTrigger) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    const std::string triggerOn = "EthSim 127.0.0.2: automatic trigger on";
    const std::string triggerOff = "EthSim 127.0.0.2: automatic trigger off";

    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 20, nullptr), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Occurrences(LogText(), triggerOn), 1u);
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 6, 0, 1), KVTSIM_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURED_IMAGE, id_));
    const Delivered delivered = messages_.Last(KVT_MSG_CAPTURED_IMAGE);
    EXPECT_EQ(std::tuple(delivered.image.size(), delivered.LFDLevel), std::tuple(93238u, 3));
    EXPECT_EQ(Occurrences(LogText(), triggerOff), 1u);
    ASSERT_EQ(KVTSim_LiftFinger(simId_), KVTSIM_OK);

    // No finger: the capture times out and the trigger goes off again.
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 1, nullptr), KVT_RESULT_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_TIMEOUT, id_));
    EXPECT_EQ(Occurrences(LogText(), triggerOff), 2u);

    // Cancelled: the trigger is switched off by the cancel.
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 30, nullptr), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(Cancel(id_.c_str()).first, KVT_RESULT_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURE_CANCELLED, id_));
    WaitUntil([&] { return Occurrences(LogText(), triggerOff) >= 3; });
    EXPECT_EQ(Occurrences(LogText(), triggerOff), 3u);
    EXPECT_EQ(messages_.Count(KVT_MSG_CAPTURED_IMAGE), 1);
}

TEST_F(EthernetSensorTest, LightsShowResultsAndFaultsGiveErrorsTheSensorRecoversFrom) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    // What the sensor's lights show: none yet, then each result indicated.
    const auto shown = [&] {
        int state = -1;
        return std::pair{KVTSim_GetIndicatedResult(simId_, &state), state};
    };
    EXPECT_EQ(shown(), std::pair(KVTSIM_OK, KVTSIM_RESULT_NONE));
    for (const auto& [feedback, lights] : {std::pair{KVT_FEEDBACK_SUCCEEDED, KVTSIM_RESULT_SUCCESS},
                                           {KVT_FEEDBACK_TENTATIVE, KVTSIM_RESULT_OTHER},
                                           {KVT_FEEDBACK_SUCCEEDED, KVTSIM_RESULT_SUCCESS},
                                           {KVT_FEEDBACK_FAILED, KVTSIM_RESULT_OTHER}}) {
        ASSERT_EQ(KVT_IndicateResult(id_.c_str(), feedback), KVT_RESULT_OK);
        EXPECT_EQ(shown(), std::pair(KVTSIM_OK, lights)) << feedback;
    }
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 7, 0, 1), KVTSIM_OK);

    // Headers the library must refuse.
    for (int fault : {KVTSIM_FAULT_LENGTH_ZERO, KVTSIM_FAULT_LENGTH_TOO_LARGE}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(KVTSim_InjectFault(simId_, fault), KVTSIM_OK);
        EXPECT_EQ(Capture(), KVT_RESULT_FAILED);
        ASSERT_EQ(Capture(), KVT_RESULT_OK);
        EXPECT_EQ(image_.size(), 93238u);
    }
    // Small answers spoilt: silence and a short answer run into the library's
    // 3 s wait, a wrong CmdID into its mirror check.
    for (int fault :
         {KVTSIM_FAULT_NO_ANSWER, KVTSIM_FAULT_SHORT_ANSWER, KVTSIM_FAULT_WRONG_COMMAND}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(KVTSim_InjectFault(simId_, fault), KVTSIM_OK);
        const auto start = Clock::now();
        EXPECT_EQ(KVT_IndicateResult(id_.c_str(), KVT_FEEDBACK_SUCCEEDED), KVT_RESULT_FAILED);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(KVT_IndicateResult(id_.c_str(), KVT_FEEDBACK_SUCCEEDED), KVT_RESULT_OK);
    }
    // Faults the sensor kind does not have.
    for (int fault : {KVTSIM_FAULT_BAD_STATE, 99})
        EXPECT_EQ(KVTSim_InjectFault(simId_, fault), KVTSIM_BAD_ARGUMENT);

    // The connection closed halfway through an image: this and every later
    // exchange fails, none waits.
    ASSERT_EQ(KVTSim_InjectFault(simId_, KVTSIM_FAULT_UNPLUG_IN_IMAGE), KVTSIM_OK);
    EXPECT_EQ(Capture(), KVT_RESULT_FAILED);
    const auto start = Clock::now();
    EXPECT_NE(KVT_IndicateResult(id_.c_str(), KVT_FEEDBACK_SUCCEEDED), KVT_RESULT_OK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(EthernetSimulatorInterface, ArgumentsAreChecked) {
    int simId = 0;
    // The listener's address and port, the sensor's address, its echo port and the id's place.
    const std::tuple<const char*, int, const char*, int, int*> bad[] = {
        {"127.0.0.1", 1, "127.0.0.2", 0, nullptr},
        {nullptr, 1, "127.0.0.2", 0, &simId},
        {"127.0.0.1", 1, "sensor", 0, &simId},
        {"127.0.0.1", 0, "127.0.0.2", 0, &simId},
        {"127.0.0.1", 1, "127.0.0.2", -7, &simId}};
    for (const auto& [listener, port, sensor, echoPort, id] : bad)
        EXPECT_EQ(KVTSim_ConnectEthernetSensor(listener, port, sensor, 1, echoPort, id),
                  KVTSIM_BAD_ARGUMENT);
    EXPECT_EQ(KVTSim_GetIndicatedResult(12345, &simId), KVTSIM_BAD_ARGUMENT);

    // Nobody listens: the sensor cannot connect.
    EXPECT_EQ(
        KVTSim_ConnectEthernetSensor("127.0.0.1", UnusedLoopbackPort(), "127.0.0.2", 1, 0, &simId),
        KVTSIM_FAILED);

    // USB sensors have no lights to read back (nor Ethernet faults: CaptureTest).
    ASSERT_EQ(KVTSim_AttachUsbSensor(KVTSIM_MODEL_U2, nullptr, &simId), KVTSIM_OK);
    int state = 0;
    EXPECT_EQ(KVTSim_GetIndicatedResult(simId, &state), KVTSIM_BAD_ARGUMENT);
    EXPECT_EQ(KVTSim_Detach(simId), KVTSIM_OK);
}

// The keep-alive sleeps 10 s between its probes.
class SlowEthernetSensorTest : public EthernetSensorTest {};

TEST_F(SlowEthernetSensorTest, SensorsWhoseEchoStopsOrThatGoAwayAreRemovedWithinOnePeriod) {
    Start();
    int silent = 0, detached = 0;
    const std::string silentId = Connect("127.0.0.2", 4711, true, &silent),
                      detachedId = Connect("127.0.0.3", 4712, true, &detached);
    ASSERT_FALSE(silentId.empty() || detachedId.empty());
    // They stay while their echo answers.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    EXPECT_EQ(messages_.Count(KVT_MSG_LOST_DEVICE), 0);

    const auto stopped = Clock::now();
    ASSERT_EQ(KVTSim_InjectFault(silent, KVTSIM_FAULT_ECHO_STOPS), KVTSIM_OK);
    ASSERT_EQ(KVTSim_Detach(detached), KVTSIM_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_LOST_DEVICE, silentId));
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_LOST_DEVICE, detachedId));
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(16));
}

}  // namespace
