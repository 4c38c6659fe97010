#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "integration/LibraryFixture.h"

namespace fs = std::filesystem;
using namespace kvt_test;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;

namespace {

using ManagerStartupTest = LibraryTest;

// And the next start reads it as it is: nothing to repair, nothing rewritten.
TEST_F(ManagerStartupTest, TheFirstStartWritesTheDocumentedConfiguration) {
    ASSERT_FALSE(fs::exists(ConfigPath()));
    StartAndStop();
    EXPECT_EQ(std::tuple(ReadFile(ConfigPath()), fs::exists(LogPath())),
              std::tuple(kDefaultDeviceManagerIni, true));
    StartAndStop();
    EXPECT_EQ(ReadFile(ConfigPath()), kDefaultDeviceManagerIni);
    EXPECT_THAT(LogText(), Not(HasSubstr("DeviceManagerConfig::")));
}

TEST_F(ManagerStartupTest, TheLogHoldsBannersAndTraceInOrder) {
    WriteVerboseConfig();
    StartAndStop();
    const std::string log = LogText();

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
    auto from = log.cbegin();
    for (const std::string& line : expected) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(from, log.cend(), match, std::regex(stamp + line + "\r\n")))
            << "missing, or out of order: " << line;
        from = match[0].second;
    }
}

TEST_F(ManagerStartupTest, AnAbsoluteLogFileNameIsUsedAsItIsAndRotatesAtItsConfiguredSize) {
    TempDir elsewhere("kvt-log-elsewhere");
    const fs::path log = elsewhere / "deep" / "kvt.log", rotated = log.string() + "~";
    WriteFile(ConfigPath(), ManagerSettings(0, log.string(), 600));
    StartAndStop();
    EXPECT_THAT(ReadFile(log) + ReadFile(rotated), HasSubstr("KVT DeviceManager stopped"));
    EXPECT_FALSE(fs::exists(LogPath()));
    EXPECT_GT(fs::file_size(rotated), 600u);
    EXPECT_LE(fs::file_size(log), 600u + 200u);
}

// Listener addresses that are no local address: the sections are read and
// kept, but no listener of these tests takes a port.
constexpr char kTwoListeners[] =
    "[DeviceListener_1]\nIP-Address=192.0.2.1\nPort=5001\n"
    "[DeviceListener_2]\nIP-Address=192.0.2.2\nPort=5002\n";

// The reader's own cases are DeviceManagerConfigTest's; here a repair reaches
// the log, the level used and the file the next start reads.
TEST_F(ManagerStartupTest, ARepairIsLoggedUsedAndWrittenBackWithEveryListener) {
    WriteFile(ConfigPath(), ManagerSettings(9) + kTwoListeners);
    StartAndStop();
    const std::string log = LogText();
    EXPECT_THAT(log,
                AllOf(HasSubstr("KVT DeviceManager started, v2.1.0.7"), Not(HasSubstr("Debug  "))));
    // std::regex: GoogleTest's own on Windows knows no brackets or braces.
    EXPECT_TRUE(std::regex_search(
        log, std::regex("Warning [0-9a-f]{8} DeviceManagerConfig::Read: LogLevel=9 is not "
                        "valid, 2 used")))
        << log;
    const std::string ini = ReadFile(ConfigPath());
    for (const char* line :
         {"\nLogLevel=2\n", "IP-Address=192.0.2.1\n", "IP-Address=192.0.2.2\n", "\nPort=5002\n"})
        EXPECT_THAT(ini, HasSubstr(line));
}

TEST_F(ManagerStartupTest, ALargeConfigurationStartsAndUnusableOnesAreKeptAside) {
    // The size of the file that used to make the start time out.
    std::string large = ManagerSettings(2);
    for (int n = 0; large.size() < (1u << 20); ++n)
        large += "; padding comment " + std::to_string(n) + "\nGeneratedKey" + std::to_string(n) +
                 "=value " + std::to_string(n) + "\n";
    WriteFile(ConfigPath(), large);
    StartAndStop();
    EXPECT_EQ(ReadFile(ConfigPath()), large);

    // One too large is kept aside (the reader's test has the other unusable files).
    const std::string bad = ConfigPath().string() + ".bad",
                      tooLarge = large + std::string(9u << 20, ';');
    WriteFile(ConfigPath(), tooLarge);
    StartAndStop();
    EXPECT_TRUE(ReadFile(bad) == tooLarge);  // not printed: megabytes
    EXPECT_EQ(ReadFile(ConfigPath()), kDefaultDeviceManagerIni);
    EXPECT_THAT(LogText(), AllOf(HasSubstr("cannot be parsed (larger than"),
                                 HasSubstr("kept as " + bad + ", defaults used")));
}

TEST_F(ManagerStartupTest, AFailedStartSaysWhyAndReturnsTheFittingResult) {
    // The machine-wide lock cannot be taken: a folder stands where its file goes.
    WriteVerboseConfig();
    const fs::path lock = DataDir() / "KVT_DevicesManagerMutex.lock";
    fs::remove(lock);
    fs::create_directory(lock);
    EXPECT_EQ((std::pair{KVT_Start(IgnoreMessage, nullptr), KVT_IsRunning()}), std::pair(-1, -1));
    fs::remove(lock);
    EXPECT_THAT(LogText(),
                HasSubstr("CDevicesManager::Start: cannot take KVT_DevicesManagerMutex ("));

    // A data folder that cannot be made (below a file): no log, so standard error.
    const fs::path dataDir = DataDir(), file = dataDir / "a-file";
    WriteFile(file, "x");
    SetEnv("KVT_DATA_DIR", (file / "data").string());
    testing::internal::CaptureStderr();
    const int result = KVT_Start(IgnoreMessage, nullptr);
    const std::string said = testing::internal::GetCapturedStderr();
    SetEnv("KVT_DATA_DIR", dataDir.string());
    EXPECT_EQ(result, -1);
    EXPECT_THAT(said, HasSubstr("KVTBasic: CDevicesManager::Start: no data folder that can be "
                                "written (KVT_DATA_DIR=" +
                                (file / "data").string() + ")"));
    EXPECT_FALSE(
        fs::exists(fs::current_path() / "KVTDeviceManager.ini"));  // nothing written elsewhere

    // Both leave the library able to start.
    StartAndStop();
}

TEST_F(ManagerStartupTest, WithoutALogRepairsAreSaidOnStandardError) {
    const fs::path notAFolder = DataDir() / "not-a-folder";
    WriteFile(notAFolder, "x");
    const std::string logFile = (notAFolder / "kvt.log").string();
    WriteFile(ConfigPath(), ManagerSettings(9, logFile));
    testing::internal::CaptureStderr();
    EXPECT_EQ((std::tuple{KVT_Start(IgnoreMessage, nullptr), KVT_Stop()}), std::tuple(0, 0));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                AllOf(HasSubstr("KVTBasic: CDevicesManager::Start: cannot write the log file " +
                                logFile + " ("),
                      HasSubstr("KVTBasic: DeviceManagerConfig::Read: LogLevel=9 is not valid, "
                                "2 used\n")));
}

}  // namespace
