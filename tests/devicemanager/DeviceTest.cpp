#include "devicemanager/Device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "devicemanager/DevicePtr.h"
#include "support/TestDevice.h"

using kvt_test::TestDevice;

namespace {

TEST(DeviceTest, OnlyAnIdleSensorIsAcquiredOnlyAnAsyncCaptureCancelledAndACloseWaitsForTheRead) {
    // The answers in turn (a braced list runs left to right).
    TestDevice device;
    EXPECT_EQ((std::vector<int>{device.AcquireDevice(false), device.GetCaptureState(),
                                device.AcquireDevice(false), device.AcquireDevice(true)}),
              (std::vector<int>{true, CDevice::kSyncCapture, false, false}));
    device.SetOwnerID("KVTBasic");
    device.ReleaseDevice();
    EXPECT_EQ(
        (std::tuple{device.GetOwnerID(), device.AcquireDevice(true), device.GetCaptureState()}),
        (std::tuple{"", true, CDevice::kAsyncCapture}));
    device.ReleaseDevice();

    // Cancel stops only an asynchronous capture.
    const auto state = [&] {
        return std::tuple(device.GetCaptureState(), device.IsCancelled(), device.GetCancelID());
    };
    EXPECT_TRUE(device.CancelDevice("first"));
    EXPECT_EQ(state(), std::tuple(CDevice::kIdle, false, "first"));
    ASSERT_TRUE(device.AcquireDevice(false));
    EXPECT_FALSE(device.CancelDevice("second"));
    EXPECT_FALSE(device.IsCancelled());
    device.ReleaseDevice();
    ASSERT_TRUE(device.AcquireDevice(true));
    EXPECT_TRUE(device.CancelDevice("third"));
    EXPECT_EQ(state(), std::tuple(CDevice::kAsyncCancelled, true, "third"));
    EXPECT_FALSE(device.CancelDevice("fourth"));
    EXPECT_EQ(device.GetCancelID(), "fourth");
    EXPECT_FALSE(device.AcquireDevice(true));

    // The answers in turn (a braced list runs left to right): one read at a
    // time; a close asked for during it waits for its end and refuses a new
    // read; after the close nothing more.
    TestDevice reader;
    EXPECT_EQ((std::vector<bool>{reader.BeginUse(), reader.BeginUse(), reader.RequestClose(),
                                 reader.IsClosed(), reader.BeginUse(), reader.EndUse(),
                                 reader.IsClosed(), reader.EndUse(), reader.RequestClose()}),
              (std::vector<bool>{true, false, true, false, false, true, true, false, false}));
    TestDevice idle;
    EXPECT_EQ((std::vector<bool>{idle.EndUse(), idle.RequestClose(), idle.IsClosed()}),
              (std::vector<bool>{false, true, true}));
}

TEST(DeviceTest, InitDeviceMakesABracedGuidPaddedToFourDigitsAndFreesTheSensor) {
    std::set<std::string> ids;
    // The first field is printed with at least four digits, so it has eight
    // unless the random number happens to start with zeros.
    const std::regex shape("\\{[0-9A-F]{4,8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    for (int i = 0; i < 50; ++i) {
        TestDevice device;
        ASSERT_TRUE(device.AcquireDevice(true));
        EXPECT_EQ(device.InitDevice(), 0);
        EXPECT_EQ(device.GetCaptureState(), CDevice::kIdle);
        const std::string id = device.GetDeviceID();
        EXPECT_TRUE(std::regex_match(id, shape)) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 50u);
    const uint8_t tail[8] = {1, 2, 3, 4, 5, 6, 7, 0xAB};
    EXPECT_EQ(FormatDeviceId(0x1A, 0xB, 0xC00D, tail), "{001A-000B-C00D-0102-0304050607AB}");
}

// Copies, moves (into the threads' lambdas) and resets: a count that is off
// either way ends in a double delete or a sensor never deleted.
TEST(DevicePtrTest, CountingIsSafeAcrossThreads) {
    std::atomic<int> destroyed{0};
    DevicePtr shared = MakeDevice<TestDevice>(&destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = shared] {
            for (int i = 0; i < 10000; ++i) {
                DevicePtr local = copy;
                local->GetCaptureState();
            }
        });
    }
    shared.Reset();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
