#include "devicemanager/DeviceManagerConfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/DefaultConfig.h"
#include "support/TempDir.h"

using kvt_test::ReadFile;
using kvt_test::WriteFile;
using testing::HasSubstr;
using testing::Not;

namespace {

const char kCompleteTopSection[] =
    "IP=10.1.2.3\n"
    "Port=9000\n"
    "LogFileName=/var/log/kvt.log\n"
    "LogFileSize=5000\n"
    "LogLevel=0\n"
    "U2AsyncSleepTime=250\n"
    "TemperatureCompensation=1\n";

class DeviceManagerConfigTest : public testing::Test {
protected:
    std::string Path() const { return (dir_ / "KVTDeviceManager.ini").string(); }
    kvt_test::TempDir dir_{"kvt-config"};
};

TEST_F(DeviceManagerConfigTest, AMissingFileIsCreatedWithEveryDefault) {
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(ReadFile(Path()), kvt_test::kDefaultDeviceManagerIni);
    EXPECT_EQ(config.port, 82);
    EXPECT_EQ(config.ip, "127.0.0.1");
    ASSERT_EQ(config.listeners.size(), 1u);
    EXPECT_EQ(config.listeners[0].address, "0.0.0.0");
    EXPECT_EQ(config.listeners[0].port, 43981);

    // What was written reads back without a repair.
    DeviceManagerConfig again;
    EXPECT_FALSE(again.Read(Path()));
    EXPECT_EQ(again.logFileName, ".\\Logfiles\\KVTDeviceManager.log");
    EXPECT_EQ(again.listeners.size(), 1u);
}

TEST_F(DeviceManagerConfigTest, AValidFileWithOnlyTheTopSectionIsKept) {
    WriteFile(Path(), kCompleteTopSection);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_EQ(ReadFile(Path()), kCompleteTopSection);
    EXPECT_TRUE(config.listeners.empty());
    EXPECT_EQ(config.ip, "10.1.2.3");
    EXPECT_EQ(config.port, 9000);
    EXPECT_EQ(config.logFileName, "/var/log/kvt.log");
    EXPECT_EQ(config.logFileSize, 5000);
    EXPECT_EQ(config.logLevel, 0);
    EXPECT_EQ(config.u2AsyncSleepTime, 250);
    EXPECT_EQ(config.temperatureCompensation, 1);
}

TEST_F(DeviceManagerConfigTest, InformationalKeysFallBackWithoutARewrite) {
    std::string text = kCompleteTopSection;
    text.replace(text.find("IP=10.1.2.3\n"), 12, "");
    text.replace(text.find("Port=9000"), 9, "Port=0");
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_EQ(config.ip, "127.0.0.1");
    EXPECT_EQ(config.port, 82);
    EXPECT_EQ(ReadFile(Path()), text);
}

TEST_F(DeviceManagerConfigTest, AnInvalidLogLevelIsRepairedAndTheFileRewritten) {
    std::string text = kCompleteTopSection;
    text.replace(text.find("LogLevel=0"), 10, "LogLevel=7");
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(config.logLevel, 2);
    const std::string rewritten = ReadFile(Path());
    EXPECT_THAT(rewritten, HasSubstr("\nLogLevel=2\n"));
    EXPECT_THAT(rewritten, HasSubstr("\nPort=9000\n"));
    EXPECT_THAT(rewritten, HasSubstr("\nU2AsyncSleepTime=250\n"));
    // The rewrite holds the documented keys only.
    EXPECT_THAT(rewritten, Not(HasSubstr("IP=")));
    EXPECT_THAT(rewritten, Not(HasSubstr("[DeviceListener_1]")));
}

TEST_F(DeviceManagerConfigTest, EachInvalidValueTakesItsDefault) {
    WriteFile(Path(),
              "LogFileSize=0\nLogLevel=-1\nU2AsyncSleepTime=abc\nTemperatureCompensation=2\n");
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(config.logFileName, ".\\Logfiles\\KVTDeviceManager.log");
    EXPECT_EQ(config.logFileSize, 1000000);
    EXPECT_EQ(config.logLevel, 2);
    EXPECT_EQ(config.u2AsyncSleepTime, 500);
    EXPECT_EQ(config.temperatureCompensation, 0);
}

TEST_F(DeviceManagerConfigTest, ListenerSectionsAreCountedAndReadInOrder) {
    WriteFile(Path(), std::string(kCompleteTopSection) +
                          "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\n"
                          "[DeviceListener_2]\nIP-Address=192.168.7.7\nPort=5002\n");
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    ASSERT_EQ(config.listeners.size(), 2u);
    EXPECT_EQ(config.listeners[0].address, "127.0.0.1");
    EXPECT_EQ(config.listeners[0].port, 5001);
    EXPECT_EQ(config.listeners[1].address, "192.168.7.7");
    EXPECT_EQ(config.listeners[1].port, 5002);
}

TEST_F(DeviceManagerConfigTest, ARepairKeepsOnlyTheFirstListener) {
    std::string text = kCompleteTopSection;
    text.replace(text.find("TemperatureCompensation=1"), 25, "TemperatureCompensation=9");
    WriteFile(Path(), text +
                          "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\n"
                          "[DeviceListener_2]\nIP-Address=127.0.0.2\nPort=5002\n");
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(config.listeners.size(), 2u);
    const std::string rewritten = ReadFile(Path());
    EXPECT_THAT(rewritten, HasSubstr("[DeviceListener_1]\n"));
    EXPECT_THAT(rewritten, HasSubstr("IP-Address=127.0.0.1\n"));
    EXPECT_THAT(rewritten, Not(HasSubstr("DeviceListener_2")));
}

TEST_F(DeviceManagerConfigTest, SectionNamesAreNotLookedAt) {
    // One named section means one listener, read from DeviceListener_1.
    WriteFile(Path(), std::string(kCompleteTopSection) + "[Other]\nIP-Address=1.2.3.4\n");
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    ASSERT_EQ(config.listeners.size(), 1u);
    EXPECT_EQ(config.listeners[0].address, "0.0.0.0");
    EXPECT_EQ(config.listeners[0].port, 43981);
}

TEST_F(DeviceManagerConfigTest, AScrambledFileIsRead) {
    std::string scrambled = "ini";
    for (char c : std::string(kCompleteTopSection)) {
        const auto b = static_cast<unsigned char>(c);
        scrambled += static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    WriteFile(Path(), scrambled);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_EQ(config.port, 9000);
    EXPECT_EQ(config.logLevel, 0);
    EXPECT_EQ(config.temperatureCompensation, 1);
}

}  // namespace
