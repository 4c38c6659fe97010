// Sensors, captures and properties through the public interface, with
// simulated USB sensors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "integration/LibraryFixture.h"

using namespace kvt_test;

namespace {

TEST_F(SimulatedSensorTest, ListsAndDescribesSensors) {
    KVT_DeviceInfo list[2] = {};
    unsigned int count = 2;
    EXPECT_EQ(KVT_GetDeviceList(list, nullptr), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_EQ((std::tuple{KVT_GetDeviceList(list, &count), count}),
              std::tuple(KVT_RESULT_NOT_RUNNING, 2u));
    Start();
    EXPECT_EQ(KVT_GetDeviceList(list, nullptr), KVT_RESULT_BAD_ARGUMENT);
    count = 5;
    EXPECT_EQ((std::tuple{KVT_GetDeviceList(nullptr, &count), count}),
              std::tuple(KVT_RESULT_OK, 0u));

    const std::string id = Plug(KVTSIM_MODEL_U2);
    count = 0;
    EXPECT_EQ((std::tuple{KVT_GetDeviceList(list, &count), count, list[0].size}),
              std::tuple(KVT_RESULT_TOO_SMALL, 1u, 0));
    EXPECT_EQ(KVT_GetDeviceList(list, &count), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(count, list[0].size, std::string(list[0].deviceId), list[0].deviceType,
                         list[0].connectionType, std::string(list[0].description)),
              std::tuple(1u, 732, id, KVT_DEVICE_KELO_B, KVT_CONNECTION_USB, "Kelo U2 USB"));

    KVT_DeviceInfo info{};
    EXPECT_EQ(KVT_GetDeviceInformation(id.c_str(), &info), KVT_RESULT_BAD_ARGUMENT);
    info.size = sizeof info;
    ASSERT_EQ(KVT_GetDeviceInformation(id.c_str(), &info), KVT_RESULT_OK);
    EXPECT_EQ(Described(info), Described(list[0]));
    for (const char* unknown : {"{no such sensor}", ""})
        EXPECT_EQ(KVT_GetDeviceInformation(unknown, &info), KVT_RESULT_FAILED);
}

TEST_F(SimulatedSensorTest, CaptureArgumentsAreCheckedInOrder) {
    KVT_CapturedData unsized{}, data = Sized<KVT_CapturedData>();
    EXPECT_EQ((std::vector{KVT_CaptureImage("x", 0, nullptr), KVT_CaptureImage("x", 0, &unsized),
                           KVT_CaptureImage("x", 0, &data), KVT_CaptureImage("x", 10, nullptr)}),
              (std::vector{KVT_RESULT_BAD_ARGUMENT, KVT_RESULT_BAD_ARGUMENT, KVT_RESULT_NOT_RUNNING,
                           KVT_RESULT_NO_CALLBACK}));

    // A start without a callback pauses two seconds.
    const auto starting = std::chrono::steady_clock::now();
    ASSERT_EQ(KVT_Start(nullptr, nullptr), KVT_RESULT_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - starting, std::chrono::milliseconds(2000));
    EXPECT_EQ((std::vector{KVT_IsRunning(), KVT_CaptureImage("x", 10, nullptr), Cancel("x").first,
                           KVT_CaptureImage("x", 0, &data), KVT_Stop()}),
              (std::vector{0, KVT_RESULT_NO_CALLBACK, KVT_RESULT_NO_CALLBACK, KVT_RESULT_FAILED,
                           KVT_RESULT_OK}));

    Start();
    EXPECT_EQ(
        (std::vector{KVT_CaptureImage("x", 10, &unsized), KVT_CaptureImage(nullptr, 0, nullptr),
                     KVT_CancelAsyncCapture("x", nullptr)}),
        std::vector(3, KVT_RESULT_BAD_ARGUMENT));
}

TEST_F(SimulatedSensorTest, PropertiesAreCheckedAndCapturesDeliverWhatTheyAskFor) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    const char* id = id_.c_str();
    char value[16];
    ASSERT_EQ(KVT_GetProperty(id, "pictureSIZE", value, sizeof value), KVT_RESULT_OK);
    EXPECT_STREQ(value, "ROI");
    EXPECT_EQ((std::set{KVT_SetProperty(id, "PictureSize", "Huge"),
                        KVT_SetProperty(id, "Brightness", "true"),
                        KVT_SetProperty("{unknown}", "PictureSize", "Full"),
                        KVT_GetProperty(id, "Brightness", value, sizeof value)}),
              std::set{KVT_RESULT_FAILED});
    EXPECT_STREQ(value, "");

    // A fake finger grades zero.
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 3, 1, 0), KVTSIM_OK);
    ASSERT_EQ(Capture(), KVT_RESULT_OK);
    EXPECT_EQ(data_.LFDLevel, 0);
    // Too small a buffer asks for more and is left alone.
    ASSERT_EQ(Capture(1), KVT_RESULT_TOO_SMALL);
    EXPECT_EQ(std::tuple(data_.imageSize, image_[0]), std::tuple(93238u, 0));
    // A null buffer that claims room is refused before anything is captured.
    data_.image = nullptr;
    data_.imageSize = 100000;
    EXPECT_EQ(KVT_CaptureImage(id, 0, &data_), KVT_RESULT_BAD_ARGUMENT);

    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 3, 1, 1), KVTSIM_OK);
    // PictureSize and Inverted, the picture's width, height and file size, and
    // the first byte of the properties block.
    const std::tuple<const char*, const char*, int, int, int, const char*> cases[] = {
        {"ROI", "false", 256, 360, 93238, "20"},
        {"Half", "false", 128, 176, 23606, "A0"},
        {"Full", "false", 332, 416, 139190, "21"},
        {"Full", "true", 332, 416, 139190, "23"}};
    for (const auto& [size, inverted, width, height, bytes, propertiesHead] : cases) {
        SCOPED_TRACE(std::string(size) + " inverted " + inverted);
        ASSERT_EQ(KVT_SetProperty(id, "PictureSize", size), KVT_RESULT_OK);
        ASSERT_EQ(KVT_SetProperty(id, "Inverted", inverted), KVT_RESULT_OK);
        ASSERT_EQ(Capture(), KVT_RESULT_OK);
        ASSERT_EQ(image_.size(), static_cast<size_t>(bytes));
        EXPECT_EQ(std::tuple(std::string(image_.begin(), image_.begin() + 2), ReadInt32(image_, 2),
                             ReadInt32(image_, 18), ReadInt32(image_, 22), ReadInt32(image_, 38),
                             std::string(data_.properties), data_.LFDLevel),
                  std::tuple("BM", bytes, width, height, 19685,
                             propertiesHead + std::string(30, '0'), 5));
        // Pixels show the finger, not an empty sensor.
        EXPECT_LT(std::count(image_.begin() + 1078, image_.end(), 255), bytes - 1078);
    }

    // "Full" and its zero do not fit into four bytes: nothing is written past them.
    char small[6] = "#####";
    EXPECT_EQ(KVT_GetProperty(id, "PictureSize", small, 4), KVT_RESULT_FAILED);
    EXPECT_EQ(std::pair(small[0], small[4]), std::pair('\0', '#'));
    EXPECT_EQ(KVT_GetProperty(id, "PictureSize", small, 0), KVT_RESULT_FAILED);
}

TEST_F(SimulatedSensorTest, AnAsynchronousCaptureDeliversOneImageATimeOutOrACancel) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    const char* id = id_.c_str();
    ASSERT_EQ(KVT_CaptureImage(id, 20, nullptr), KVT_RESULT_OK);
    // The sensor is held: a second capture and a result indication fail.
    EXPECT_EQ((std::set{Capture(), KVT_CaptureImage(id, 20, nullptr),
                        KVT_IndicateResult(id, KVT_FEEDBACK_SUCCEEDED)}),
              std::set{KVT_RESULT_FAILED});

    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 8, 2, 1), KVTSIM_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURED_IMAGE, id));
    const Delivered image1 = messages_.Last(KVT_MSG_CAPTURED_IMAGE);
    EXPECT_EQ(std::tuple(image1.image.size(), ReadInt32(image1.image, 38), image1.LFDLevel,
                         image1.properties),
              std::tuple(93238u, 0, 5, "20" + std::string(30, '0')));
    EXPECT_EQ(KVT_IndicateResult(id, KVT_FEEDBACK_SUCCEEDED), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(messages_.Count({KVT_MSG_CAPTURED_IMAGE, KVT_MSG_TIMEOUT}), Counts({1, 0}));

    // Nothing to cancel; then no finger times out, and a cancel names the client.
    EXPECT_EQ(Cancel(id), std::pair(KVT_RESULT_OK, 1));
    ASSERT_EQ(KVTSim_LiftFinger(simId_), KVTSIM_OK);
    ASSERT_EQ(KVT_CaptureImage(id, 1, nullptr), KVT_RESULT_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_TIMEOUT, id));
    EXPECT_EQ(messages_.Last(KVT_MSG_TIMEOUT).additionalInfo, "");
    ASSERT_EQ(KVT_CaptureImage(id, 30, nullptr), KVT_RESULT_OK);
    EXPECT_EQ(Cancel(id), std::pair(KVT_RESULT_OK, 1));
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURE_CANCELLED, id));
    EXPECT_EQ(messages_.Last(KVT_MSG_CAPTURE_CANCELLED).additionalInfo, "KVTBasic");
    EXPECT_EQ(messages_.Count({KVT_MSG_CAPTURE_CANCELLED, KVT_MSG_TIMEOUT, KVT_MSG_CAPTURED_IMAGE}),
              Counts({1, 1, 1}));
}

TEST_F(SimulatedSensorTest, UnplugDuringAnAsynchronousCaptureLosesTheSensorOnly) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor(KVTSIM_MODEL_U1));
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 30, nullptr), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(KVTSim_Detach(simId_), KVTSIM_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_LOST_DEVICE, id_));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(messages_.Count({KVT_MSG_CAPTURED_IMAGE, KVT_MSG_CAPTURE_CANCELLED}), Counts({0, 0}));
    // A capture that sees its transfers fail before the removal takes the
    // sensor out ends as a failed one, with Timeout; never with more.
    EXPECT_LE(messages_.Count(KVT_MSG_TIMEOUT), 1);
    unsigned int count = 1;
    EXPECT_EQ((std::tuple{KVT_GetDeviceList(nullptr, &count), count}),
              std::tuple(KVT_RESULT_OK, 0u));
}

// A USB sensor that answers wrongly once fails that capture only: the library
// neither hangs nor crashes, and the next capture is whole again.
TEST_F(SimulatedSensorTest, AUsbSensorThatAnswersWronglyOnceFailsThatCaptureOnly) {
    Start();
    for (int model : {KVTSIM_MODEL_U1, KVTSIM_MODEL_U2}) {
        int simId = 0;
        const std::string id = Plug(model, &simId);
        ASSERT_EQ(KVTSim_PlaceFinger(simId, 3, 0, 1), KVTSIM_OK);
        std::vector<unsigned char> whole, image;
        KVT_CapturedData data{};
        ASSERT_EQ(Capture(id, whole, data), KVT_RESULT_OK);
        for (int fault : {KVTSIM_FAULT_NO_ANSWER, KVTSIM_FAULT_SHORT_ANSWER,
                          KVTSIM_FAULT_WRONG_COMMAND, KVTSIM_FAULT_BAD_STATE}) {
            SCOPED_TRACE(testing::Message() << "model " << model << ", fault " << fault);
            ASSERT_EQ(KVTSim_InjectFault(simId, fault), KVTSIM_OK);
            EXPECT_EQ(Capture(id, image, data), KVT_RESULT_FAILED);
            ASSERT_EQ(Capture(id, image, data), KVT_RESULT_OK);
            EXPECT_EQ(image.size(), whole.size());
        }
        EXPECT_EQ(KVTSim_InjectFault(simId, KVTSIM_FAULT_ECHO_STOPS), KVTSIM_BAD_ARGUMENT);
        ASSERT_EQ(KVTSim_Detach(simId), KVTSIM_OK);
    }
}

TEST_F(SimulatedSensorTest, TheEnvironmentAttachesSensorsAtStart) {
    kvt_test::SetEnv("KVT_SIMULATED_SENSORS", "u2,U1,x9");
    Start();
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_NEW_DEVICE, {}, 2));
    KVT_DeviceInfo list[3] = {};
    unsigned int count = 3;
    ASSERT_EQ(KVT_GetDeviceList(list, &count), KVT_RESULT_OK);
    ASSERT_EQ(count, 2u);
    std::vector<std::string> descriptions{list[0].description, list[1].description};
    std::sort(descriptions.begin(), descriptions.end());
    EXPECT_EQ(descriptions, (std::vector<std::string>{"Kelo U1 USB", "Kelo U2 USB"}));
    // A restart keeps the same sensors plugged in rather than adding more.
    ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
    Start();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    count = 3;
    ASSERT_EQ(KVT_GetDeviceList(list, &count), KVT_RESULT_OK);
    EXPECT_EQ(count, 2u);
}

}  // namespace
