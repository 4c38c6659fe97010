#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "integration/LibraryFixture.h"

using namespace kvt_test;
using testing::HasSubstr;

namespace {

TEST(CalcImageSizeTest, PadsRowsToFourBytesAndAddsTheHeader) {
    EXPECT_EQ(KVT_CalcImageSize(1, 1), 1082u);
    EXPECT_EQ(KVT_CalcImageSize(4, 1), 1082u);
    EXPECT_EQ(KVT_CalcImageSize(5, 2), 1094u);
    EXPECT_EQ(KVT_CalcImageSize(0, 0), 1078u);
    EXPECT_EQ(KVT_CalcImageSize(256, 360), 256u * 360u + 1078u);
}

TEST(GetVersionTest, WritesTheWholeTextOrNothing) {
    char exact[8];
    EXPECT_EQ(KVT_GetVersion(exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "2.1.0.7");

    char shortBuffer[7];
    std::memset(shortBuffer, 'x', sizeof shortBuffer);
    EXPECT_EQ(KVT_GetVersion(shortBuffer, sizeof shortBuffer), -1);
    EXPECT_STREQ(shortBuffer, "");

    EXPECT_EQ(KVT_GetVersion(nullptr, 8), -1);
    char untouched = 'u';
    EXPECT_EQ(KVT_GetVersion(&untouched, 0), -1);
    EXPECT_EQ(untouched, 'u');
}

using LifecycleTest = LibraryTest;

TEST_F(LifecycleTest, RunningStateFollowsStartAndStop) {
    WriteVerboseConfig();
    EXPECT_EQ(KVT_IsRunning(), -1);
    ASSERT_EQ(KVT_Start(IgnoreMessage, this), 0);
    EXPECT_EQ(KVT_IsRunning(), 0);

    EXPECT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);  // a second start changes nothing
    EXPECT_EQ(KVT_IsRunning(), 0);

    EXPECT_EQ(KVT_Stop(), 0);
    EXPECT_EQ(KVT_IsRunning(), -1);
    EXPECT_EQ(KVT_Stop(), 0);  // stopping twice is harmless

    const std::string log = ReadFile(LogPath());
    EXPECT_THAT(log, HasSubstr("unexpected call to KVT_Start()"));
    EXPECT_THAT(log, HasSubstr("unexpected call to KVT_Stop()"));
}

TEST_F(LifecycleTest, TheLibraryStartsAgainAfterAStop) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0) << "round " << round;
        EXPECT_EQ(KVT_IsRunning(), 0);
        ASSERT_EQ(KVT_Stop(), 0);
        EXPECT_EQ(KVT_IsRunning(), -1);
    }
    const std::string log = ReadFile(LogPath());
    size_t starts = 0;
    for (size_t at = 0; (at = log.find("KVT DeviceManager started", at)) != std::string::npos;
         ++at) {
        ++starts;
    }
    EXPECT_EQ(starts, 2u);
}

TEST_F(LifecycleTest, StartWithoutCallbackPausesTwoSeconds) {
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(KVT_Start(nullptr, nullptr), 0);
    const auto elapsed = std::chrono::steady_clock::now() - before;
    EXPECT_GE(elapsed, std::chrono::milliseconds(2000));
    EXPECT_EQ(KVT_IsRunning(), 0);
}

// Runs the probe program, which starts the library in a process of its own
// with the same data folder, and returns what KVT_Start gave it.
int StartInAnotherProcess() {
    std::FILE* pipe = ::popen(KVT_START_PROBE, "r");
    if (pipe == nullptr) return 1000;
    // The library echoes its log lines on standard output too.
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
    const size_t at = output.find("result=");
    return at == std::string::npos ? 1001 : std::stoi(output.substr(at + 7));
}

TEST_F(LifecycleTest, ASecondProcessGetsStartFailedWhileTheFirstRuns) {
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    EXPECT_EQ(StartInAnotherProcess(), -6);
    ASSERT_EQ(KVT_Stop(), 0);
    // The refused process said why, in the log the two share.
    EXPECT_THAT(ReadFile(LogPath()),
                HasSubstr("CDevicesManager::Start: another device manager is running"));
    EXPECT_EQ(StartInAnotherProcess(), 0);
}

TEST_F(LifecycleTest, DeviceListChecksItsArgumentsAndTheRunningState) {
    KVT_DeviceInfo devices[2];
    unsigned int count = 2;
    EXPECT_EQ(KVT_GetDeviceList(devices, nullptr), -5);
    EXPECT_EQ(KVT_GetDeviceList(devices, &count), -2);
    EXPECT_EQ(count, 2u);

    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    EXPECT_EQ(KVT_GetDeviceList(devices, nullptr), -5);
    count = 0;
    EXPECT_EQ(KVT_GetDeviceList(nullptr, &count), 0);
    EXPECT_EQ(count, 0u);
}

}  // namespace
