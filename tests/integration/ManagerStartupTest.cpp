#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "integration/LibraryFixture.h"
#include "support/DefaultConfig.h"

namespace fs = std::filesystem;
using namespace kvt_test;
using testing::HasSubstr;
using testing::Not;

namespace {

using ManagerStartupTest = LibraryTest;

TEST_F(ManagerStartupTest, TheFirstStartWritesTheDocumentedConfiguration) {
    ASSERT_FALSE(fs::exists(ConfigPath()));
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    ASSERT_EQ(KVT_Stop(), 0);
    EXPECT_EQ(ReadFile(ConfigPath()), kDefaultDeviceManagerIni);
    EXPECT_TRUE(fs::exists(LogPath()));
}

TEST_F(ManagerStartupTest, ARepairedLogLevelIsWrittenBackAndUsed) {
    WriteFile(ConfigPath(),
              "LogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=1000000\n"
              "LogLevel=7\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n");
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    ASSERT_EQ(KVT_Stop(), 0);
    EXPECT_THAT(ReadFile(ConfigPath()), HasSubstr("\nLogLevel=2\n"));
    const std::string log = ReadFile(LogPath());
    EXPECT_THAT(log, HasSubstr("KVT DeviceManager started, v2.1.0.7"));
    EXPECT_THAT(log, Not(HasSubstr("Debug  ")));
}

TEST_F(ManagerStartupTest, TheLogHoldsBannersAndTraceInOrder) {
    WriteVerboseConfig();
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    ASSERT_EQ(KVT_Stop(), 0);
    const std::string log = ReadFile(LogPath());

    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    const std::string thread = "[0-9a-f]{8} ";
    const std::string expected[] = {
        "Info    " + thread + "Logging started",
        "Debug   " + thread + ">> CDevicesManager::Start",
        "        " + thread + "KVT DeviceManager started, v2\\.1\\.0\\.7",
        "        " + thread + "Current Config: Port 82 ",
        "Debug   " + thread + "SCM requests service to stop",
        "Debug   " + thread + "Stop pending reported",
        "Debug   " + thread + "Devices deactivated",
        "Debug   " + thread + "Device-Sockets closed",
        "        " + thread + "DevicesManager ShutDown: open Threads: 0 after 0 loops",
        "        " + thread + "KVT DeviceManager stopped, v2\\.1\\.0\\.7",
        "Debug   " + thread + "<< CDevicesManager::Start",
        "Debug   " + thread + ">> CDevicesManager::~CDevicesManager",
        "Debug   " + thread + "<< KVT_Stop",
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        std::smatch match;
        const std::string rest = log.substr(at);
        ASSERT_TRUE(std::regex_search(rest, match, std::regex(stamp + line + "\r\n")))
            << "missing, or out of order: " << line;
        at += static_cast<size_t>(match.position(0) + match.length(0));
    }
}

TEST_F(ManagerStartupTest, AnAbsoluteLogFileNameIsUsedAsItIs) {
    TempDir elsewhere("kvt-log-elsewhere");
    const fs::path log = elsewhere / "deep" / "kvt.log";
    WriteFile(ConfigPath(), "LogFileName=" + log.string() +
                                "\nLogFileSize=1000000\nLogLevel=2\nU2AsyncSleepTime=500\n"
                                "TemperatureCompensation=0\n");
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    ASSERT_EQ(KVT_Stop(), 0);
    EXPECT_THAT(ReadFile(log), HasSubstr("KVT DeviceManager stopped"));
    EXPECT_FALSE(fs::exists(LogPath()));
}

TEST_F(ManagerStartupTest, TheLogRotatesAtItsConfiguredSize) {
    WriteFile(ConfigPath(),
              "LogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=600\n"
              "LogLevel=0\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n");
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), 0);
    ASSERT_EQ(KVT_Stop(), 0);
    const fs::path rotated = LogPath().string() + "~";
    ASSERT_TRUE(fs::exists(rotated));
    EXPECT_GT(fs::file_size(rotated), 600u);
    EXPECT_LE(fs::file_size(LogPath()), 600u + 200u);
}

}  // namespace
