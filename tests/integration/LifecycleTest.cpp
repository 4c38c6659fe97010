#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "integration/LibraryFixture.h"
#include "support/ChildProcess.h"

using namespace kvt_test;
using testing::HasSubstr;

namespace {

TEST(CalcImageSizeTest, PadsRowsToFourBytesAddsTheHeaderAndRefusesOverflow) {
    // The largest picture that still fits; one more row is 2^32 + 2 bytes.
    const unsigned int rows = (UINT_MAX - 1078u) / 4u;
    const std::array<unsigned int, 3> cases[] = {{1, 1, 1082},      {4, 1, 1082},
                                                 {5, 2, 1094},      {0, 0, 1078},
                                                 {256, 360, 93238}, {4, rows, 4u * rows + 1078u},
                                                 {4, rows + 1, 0},  {65536, 65536, 0},
                                                 {UINT_MAX, 1, 0},  {UINT_MAX - 3, 1, 0}};
    for (const auto& [width, height, size] : cases)
        EXPECT_EQ(KVT_CalcImageSize(width, height), size) << width << " x " << height;
}

TEST(GetVersionTest, WritesTheWholeTextOrNothing) {
    char exact[8];
    EXPECT_EQ(KVT_GetVersion(exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "2.1.0.7");

    char shortBuffer[7] = "xxxxxx", untouched = 'u';
    EXPECT_EQ((std::vector{KVT_GetVersion(shortBuffer, sizeof shortBuffer),
                           KVT_GetVersion(nullptr, 8), KVT_GetVersion(&untouched, 0)}),
              (std::vector{-1, -1, -1}));
    EXPECT_EQ(std::tuple(std::string(shortBuffer), untouched), std::tuple("", 'u'));
}

using LifecycleTest = LibraryTest;

TEST_F(LifecycleTest, RunningStateFollowsStartAndStopRoundAfterRound) {
    WriteVerboseConfig();
    EXPECT_EQ(KVT_IsRunning(), -1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // A second start changes nothing, stopping twice is harmless.
        EXPECT_EQ((std::vector{KVT_Start(IgnoreMessage, this), KVT_IsRunning(),
                               KVT_Start(IgnoreMessage, nullptr), KVT_IsRunning(), KVT_Stop(),
                               KVT_IsRunning(), KVT_Stop()}),
                  (std::vector{0, 0, 0, 0, 0, -1, 0}));
    }
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "KVT DeviceManager started"), 2u);
    EXPECT_THAT(log, testing::AllOf(HasSubstr("unexpected call to KVT_Start()"),
                                    HasSubstr("unexpected call to KVT_Stop()")));
}

// Runs the probe program, which starts the library in a process of its own
// with the same data folder, and returns what KVT_Start gave it.
int StartInAnotherProcess() {
    const std::string output = RunChild(KVT_START_PROBE, {}).out;
    const size_t at = output.find("result=");
    return at == std::string::npos ? 1000 : std::stoi(output.substr(at + 7));
}

TEST_F(LifecycleTest, ASecondProcessGetsStartFailedWhileTheFirstRuns) {
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    EXPECT_EQ(StartInAnotherProcess(), -6);
    ASSERT_EQ(KVT_Stop(), 0);
    // The refused process said why, in the log the two share.
    EXPECT_THAT(LogText(), HasSubstr("CDevicesManager::Start: another device manager is running"));
    EXPECT_EQ(StartInAnotherProcess(), 0);
}

}  // namespace
