#include "devicemanager/DeviceManagerConfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/DefaultConfig.h"
#include "support/TempDir.h"

using kvt_test::ReadFile;
using kvt_test::WriteFile;
using testing::AllOf;
using testing::ElementsAre;
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

TEST_F(DeviceManagerConfigTest, ARepairKeepsEveryListener) {
    std::string text = kCompleteTopSection;
    text.replace(text.find("LogLevel=0"), 10, "LogLevel=9");
    WriteFile(Path(), text +
                          "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\nEchoPort=7007\n"
                          "[DeviceListener_2]\nIP-Address=127.0.0.2\nPort=5002\n"
                          "[DeviceListener_3]\nIP-Address=127.0.0.3\nPort=5003\n");
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_THAT(config.findings, ElementsAre(HasSubstr("LogLevel=9 is not valid, 2 used")));

    const std::string rewritten = ReadFile(Path());
    // The first listener is written exactly as before; the others follow it.
    EXPECT_THAT(rewritten, HasSubstr("[DeviceListener_1]\n"
                                     "\n; Address the ethernet devices connect to\r\n"
                                     "; (0.0.0.0 for all available or specific address, "
                                     "e.g. 192.168.1.1)\nIP-Address=127.0.0.1\n"
                                     "\n; Port the ethernet devices connect to\nPort=5001\n"));
    DeviceManagerConfig again;
    EXPECT_FALSE(again.Read(Path()));
    EXPECT_TRUE(again.findings.empty());
    ASSERT_EQ(again.listeners.size(), 3u);
    for (size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(again.listeners[n].address, config.listeners[n].address);
        EXPECT_EQ(again.listeners[n].port, config.listeners[n].port);
        EXPECT_EQ(again.listeners[n].echoPort, config.listeners[n].echoPort);
    }
    EXPECT_EQ(again.listeners[0].echoPort, 7007);
    EXPECT_EQ(again.listeners[2].port, 5003);
}

TEST_F(DeviceManagerConfigTest, OutOfRangeValuesAreRepairedAndSaidSo) {
    struct Case {
        std::string line;  // replaces the key's line in a valid file
        std::string finding;
        std::string written;
    };
    const std::string listener = "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\n";
    const Case cases[] = {
        {"Port=-1", "Port=-1 is not valid, 82 used", "\nPort=82\n"},
        {"[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=70000",
         "Port=70000 in [DeviceListener_1] is not valid, 43981 used", "\nPort=43981\n"},
        {"[DeviceListener_1]\nIP-Address=999.1.1.1\nPort=5001",
         "IP-Address=999.1.1.1 in [DeviceListener_1] is not valid, 0.0.0.0 used",
         "\nIP-Address=0.0.0.0\n"},
        {"[DeviceListener_1]\nPort=5001",
         "IP-Address in [DeviceListener_1] is missing, 0.0.0.0 used", "\nIP-Address=0.0.0.0\n"},
        {"LogFileSize=-100", "LogFileSize=-100 is not valid, 1000000 used",
         "\nLogFileSize=1000000\n"},
        {"U2AsyncSleepTime=600000", "U2AsyncSleepTime=600000 is not valid, 500 used",
         "\nU2AsyncSleepTime=500\n"},
        {"LogLevel=" + std::string(200, '7'),
         "LogLevel=" + std::string(64, '7') + "... is not valid", "\nLogLevel=2\n"},
        {"", "LogLevel is missing, 2 used", "\nLogLevel=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text = std::string(kCompleteTopSection) + listener;
        const bool inListener = c.line.rfind("[DeviceListener_1]", 0) == 0;
        if (inListener) {
            text.replace(text.find(listener), listener.size(), c.line + "\n");
        } else {
            const std::string key =
                c.line.empty() ? "LogLevel=" : c.line.substr(0, c.line.find('=') + 1);
            const size_t at = text.find(key);
            text.replace(at, text.find('\n', at) - at, c.line);
        }
        WriteFile(Path(), text);
        DeviceManagerConfig config;
        EXPECT_TRUE(config.Read(Path()));
        EXPECT_THAT(config.findings, ElementsAre(HasSubstr(c.finding)));
        EXPECT_THAT(ReadFile(Path()), HasSubstr(c.written));
        DeviceManagerConfig again;
        EXPECT_FALSE(again.Read(Path()));
    }
}

TEST_F(DeviceManagerConfigTest, AnUnusableEchoPortIsSaidButNeedsNoRewrite) {
    const std::string text =
        std::string(kCompleteTopSection) +
        "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\nEchoPort=70000\n";
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_THAT(
        config.findings,
        ElementsAre(HasSubstr("EchoPort=70000 in [DeviceListener_1] is not valid, 7 used")));
    ASSERT_EQ(config.listeners.size(), 1u);
    EXPECT_EQ(config.listeners[0].echoPort, ListenerConfig::kDefaultEchoPort);
    EXPECT_EQ(ReadFile(Path()), text);
}

TEST_F(DeviceManagerConfigTest, ValuesAtTheirBoundsAreKept) {
    std::string text = kCompleteTopSection;
    text.replace(text.find("Port=9000"), 9, "Port=65535");
    text.replace(text.find("U2AsyncSleepTime=250"), 20,
                 "U2AsyncSleepTime=" + std::to_string(DeviceManagerConfig::kMaxU2AsyncSleepTime));
    text += "[DeviceListener_1]\nIP-Address = 10.0.0.1 \nPort=1\n";
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_TRUE(config.findings.empty());
    EXPECT_EQ(config.port, 65535);
    EXPECT_EQ(config.u2AsyncSleepTime, DeviceManagerConfig::kMaxU2AsyncSleepTime);
    ASSERT_EQ(config.listeners.size(), 1u);
    EXPECT_EQ(config.listeners[0].address, "10.0.0.1");  // blanks around it are no part of it
    EXPECT_EQ(config.listeners[0].port, 1);
    EXPECT_EQ(ReadFile(Path()), text);
}

TEST_F(DeviceManagerConfigTest, AnUnusableFileIsKeptAsideAndReplacedByTheDefaults) {
    std::string garbage;
    for (int n = 0; n < 4096; ++n) garbage += static_cast<char>((n * 7919 + 13) % 256);
    const std::string bad = Path() + DeviceManagerConfig::kBadFileSuffix;
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string original;
        const char* finding;
    };
    const Case cases[] = {
        {"binary garbage, replacing an older copy",
         [&] {
             WriteFile(bad, "an older broken file");
             WriteFile(Path(), garbage);
         },
         garbage, "cannot be parsed"},
        {"a folder in its place",
         [&] {
             std::filesystem::create_directory(Path());
             WriteFile(std::filesystem::path(Path()) / "inside", "kept");
         },
         "", "cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(Path());
        std::filesystem::remove_all(bad);
        c.make();
        DeviceManagerConfig config;
        EXPECT_TRUE(config.Read(Path()));
        EXPECT_THAT(config.findings,
                    ElementsAre(AllOf(HasSubstr(c.finding), HasSubstr("kept as " + bad))));
        EXPECT_EQ(ReadFile(Path()), kvt_test::kDefaultDeviceManagerIni);
        if (c.original.empty()) {
            EXPECT_EQ(ReadFile(std::filesystem::path(bad) / "inside"), "kept");
        } else {
            EXPECT_EQ(ReadFile(bad), c.original);
        }
        ASSERT_EQ(config.listeners.size(), 1u);
        EXPECT_EQ(config.listeners[0].port, 43981);
    }
}

TEST_F(DeviceManagerConfigTest, AnUnusableFileThatCannotBeKeptAsideIsLeftAlone) {
    // A folder of that name where the copy would go: the rename must fail.
    std::string garbage(100, '\x01');
    WriteFile(Path(), garbage);
    const std::filesystem::path bad = Path() + DeviceManagerConfig::kBadFileSuffix;
    std::filesystem::create_directory(bad);
    WriteFile(bad / "inside", "x");
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_THAT(config.findings, ElementsAre(HasSubstr("the file is left as it is")));
    EXPECT_EQ(ReadFile(Path()), garbage);
    EXPECT_EQ(config.logLevel, 2);
    ASSERT_EQ(config.listeners.size(), 1u);
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

TEST_F(DeviceManagerConfigTest, TheConsoleEchoFollowsTheFileUnlessTheEnvironmentSaysOtherwise) {
    struct Case {
        const char* line;  // appended to the top section
        const char* environment;
        bool echo;
        bool noted;
    };
    const Case cases[] = {
        {"", "", true, false},
        {"LogToConsole=0\n", "", false, false},
        {"LogToConsole = 1 \n", "", true, false},
        {"LogToConsole=off\n", "", true, true},
        {"LogToConsole=1\n", "0", false, false},
        {"LogToConsole=0\n", "1", true, false},
        {"LogToConsole=0\n", "yes", false, false},  // only 0 and 1 override
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " / KVT_LOG_CONSOLE=" + c.environment);
        const std::string text = std::string(kCompleteTopSection) + c.line;
        WriteFile(Path(), text);
        kvt_test::SetEnv("KVT_LOG_CONSOLE", c.environment);
        DeviceManagerConfig config;
        EXPECT_FALSE(config.Read(Path()));
        EXPECT_EQ(config.EchoLogToConsole(), c.echo);
        EXPECT_EQ(!config.findings.empty(), c.noted);
        EXPECT_EQ(ReadFile(Path()), text);
    }
    kvt_test::SetEnv("KVT_LOG_CONSOLE", "");
}

TEST_F(DeviceManagerConfigTest, ARewriteKeepsTheConsoleEchoSwitchedOff) {
    std::string text = std::string(kCompleteTopSection) + "LogToConsole=0\n";
    text.replace(text.find("LogLevel=0"), 10, "LogLevel=9");
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    DeviceManagerConfig again;
    EXPECT_FALSE(again.Read(Path()));
    EXPECT_FALSE(again.logToConsole);
    EXPECT_THAT(ReadFile(Path()), HasSubstr("LogToConsole=0"));
}
