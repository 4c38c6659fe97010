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

const std::string kCompleteTopSection =
    "IP=10.1.2.3\n"
    "Port=9000\n"
    "LogFileName=/var/log/kvt.log\n"
    "LogFileSize=5000\n"
    "LogLevel=0\n"
    "U2AsyncSleepTime=250\n"
    "TemperatureCompensation=1\n";
const std::string kCompleteSummary = "10.1.2.3:9000 /var/log/kvt.log 5000 0 250 1";

// The text with the line that starts with key replaced by line (dropped when empty).
std::string With(const std::string& key, const std::string& line,
                 std::string text = kCompleteTopSection) {
    const size_t at = text.find(key);
    text.replace(at, text.find('\n', at) + 1 - at, line.empty() ? "" : line + "\n");
    return text;
}

// Every value read, on one line, so a case states its whole expectation at once.
std::string Summary(const DeviceManagerConfig& c) {
    std::string s = c.ip + ":" + std::to_string(c.port) + " " + c.logFileName + " " +
                    std::to_string(c.logFileSize) + " " + std::to_string(c.logLevel) + " " +
                    std::to_string(c.u2AsyncSleepTime) + " " +
                    std::to_string(c.temperatureCompensation);
    for (const ListenerConfig& l : c.listeners)
        s += " | " + l.address + ":" + std::to_string(l.port) + "/" + std::to_string(l.echoPort);
    return s;
}

std::string Scrambled(const std::string& plain) {
    std::string out = "ini";
    for (char c : plain) {
        const auto b = static_cast<unsigned char>(c);
        out += static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    return out;
}

class DeviceManagerConfigTest : public testing::Test {
protected:
    std::string Path() const { return (dir_ / "KVTDeviceManager.ini").string(); }
    kvt_test::TempDir dir_{"kvt-config"};
};

TEST_F(DeviceManagerConfigTest, AMissingFileIsCreatedWithEveryDefault) {
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(ReadFile(Path()), kvt_test::kDefaultDeviceManagerIni);
    const std::string defaults =
        "127.0.0.1:82 .\\Logfiles\\KVTDeviceManager.log 1000000 2 500 0 | 0.0.0.0:43981/7";
    EXPECT_EQ(Summary(config), defaults);
    // What was written reads back without a repair.
    DeviceManagerConfig again;
    EXPECT_FALSE(again.Read(Path()));
    EXPECT_EQ(Summary(again), defaults);
}

TEST_F(DeviceManagerConfigTest, ValidFilesAreReadAsTheyAreAndNeverRewritten) {
    const std::string listeners =
        "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\n"
        "[DeviceListener_2]\nIP-Address=192.168.7.7\nPort=5002\n";
    const std::string bounds =
        With("U2AsyncSleepTime=",
             "U2AsyncSleepTime=" + std::to_string(DeviceManagerConfig::kMaxU2AsyncSleepTime),
             With("Port=", "Port=65535"));
    const std::pair<std::string, std::string> cases[] = {
        {kCompleteTopSection, kCompleteSummary},
        // Informational keys fall back without a rewrite.
        {With("IP=", "", With("Port=", "Port=0")), "127.0.0.1:82 /var/log/kvt.log 5000 0 250 1"},
        {kCompleteTopSection + listeners,
         kCompleteSummary + " | 127.0.0.1:5001/7 | 192.168.7.7:5002/7"},
        // Blanks around an address are no part of it.
        {bounds + "[DeviceListener_1]\nIP-Address = 10.0.0.1 \nPort=1\n",
         "10.1.2.3:65535 /var/log/kvt.log 5000 0 5000 1 | 10.0.0.1:1/7"},
        {Scrambled(kCompleteTopSection), kCompleteSummary},
    };
    for (const auto& [text, summary] : cases) {
        SCOPED_TRACE(text);
        WriteFile(Path(), text);
        DeviceManagerConfig config;
        EXPECT_FALSE(config.Read(Path()));
        EXPECT_TRUE(config.findings.empty());
        EXPECT_EQ(Summary(config), summary);
        EXPECT_EQ(ReadFile(Path()), text);
    }
}

TEST_F(DeviceManagerConfigTest, ARewriteHoldsTheDocumentedKeysOnly) {
    WriteFile(Path(), With("LogLevel=", "LogLevel=7"));
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(config.logLevel, 2);
    const std::string rewritten = ReadFile(Path());
    EXPECT_THAT(rewritten, HasSubstr("\nLogLevel=2\n"));
    EXPECT_THAT(rewritten, HasSubstr("\nPort=9000\n"));
    EXPECT_THAT(rewritten, HasSubstr("\nU2AsyncSleepTime=250\n"));
    EXPECT_THAT(rewritten, Not(HasSubstr("IP=")));
    EXPECT_THAT(rewritten, Not(HasSubstr("[DeviceListener_1]")));
}

TEST_F(DeviceManagerConfigTest, ARepairKeepsEveryListenerAndTheConsoleEchoSwitchedOff) {
    WriteFile(Path(), With("LogLevel=", "LogLevel=9") + "LogToConsole=0\n" +
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
    EXPECT_THAT(rewritten, HasSubstr("LogToConsole=0"));
    DeviceManagerConfig again;
    EXPECT_FALSE(again.Read(Path()));
    EXPECT_TRUE(again.findings.empty());
    EXPECT_FALSE(again.logToConsole);
    for (const DeviceManagerConfig* c : {&config, &again})
        EXPECT_THAT(Summary(*c), HasSubstr(" | 127.0.0.1:5001/7007 | 127.0.0.2:5002/7 | "
                                           "127.0.0.3:5003/7"));
}

TEST_F(DeviceManagerConfigTest, InvalidValuesAreRepairedAndSaidSo) {
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
        {"LogFileSize=0", "LogFileSize=0 is not valid, 1000000 used", "\nLogFileSize=1000000\n"},
        {"U2AsyncSleepTime=600000", "U2AsyncSleepTime=600000 is not valid, 500 used",
         "\nU2AsyncSleepTime=500\n"},
        {"U2AsyncSleepTime=abc", "U2AsyncSleepTime=abc is not valid, 500 used",
         "\nU2AsyncSleepTime=500\n"},
        {"TemperatureCompensation=2", "TemperatureCompensation=2 is not valid, 0 used",
         "\nTemperatureCompensation=0\n"},
        {"LogLevel=-1", "LogLevel=-1 is not valid, 2 used", "\nLogLevel=2\n"},
        {"LogLevel=" + std::string(200, '7'),
         "LogLevel=" + std::string(64, '7') + "... is not valid", "\nLogLevel=2\n"},
        {"", "LogLevel is missing, 2 used", "\nLogLevel=2\n"},
        {"LogFileName=", "LogFileName is missing",
         "\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text = kCompleteTopSection + listener;
        if (c.line.rfind("[DeviceListener_1]", 0) == 0) {
            text.replace(text.find(listener), listener.size(), c.line + "\n");
        } else {
            text = With(c.line.empty() ? "LogLevel=" : c.line.substr(0, c.line.find('=') + 1),
                        c.line, text);
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
        kCompleteTopSection +
        "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\nEchoPort=70000\n";
    WriteFile(Path(), text);
    DeviceManagerConfig config;
    EXPECT_FALSE(config.Read(Path()));
    EXPECT_THAT(
        config.findings,
        ElementsAre(HasSubstr("EchoPort=70000 in [DeviceListener_1] is not valid, 7 used")));
    EXPECT_EQ(Summary(config), kCompleteSummary + " | 127.0.0.1:5001/7");
    EXPECT_EQ(ReadFile(Path()), text);
}

TEST_F(DeviceManagerConfigTest, SectionNamesAreNotLookedAt) {
    // One named section means one listener, read from DeviceListener_1.
    WriteFile(Path(), kCompleteTopSection + "[Other]\nIP-Address=1.2.3.4\n");
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(Path()));
    EXPECT_EQ(Summary(config), kCompleteSummary + " | 0.0.0.0:43981/7");
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
        const std::string text = kCompleteTopSection + c.line;
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

}  // namespace
