#include "devicemanager/DeviceManagerConfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

#include "support/DefaultConfig.h"
#include "support/ScrambledText.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using kvt_test::ReadFile;
using kvt_test::WriteFile;
using testing::AllOf;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;
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
const std::string kListener = "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\n";
const std::string kDefaultSummary =
    "127.0.0.1:82 .\\Logfiles\\KVTDeviceManager.log 1000000 2 500 0 | 0.0.0.0:43981/7";

// The text with the line that starts with key replaced by line (dropped when empty).
std::string With(const std::string& key, const std::string& line,
                 std::string text = kCompleteTopSection) {
    const size_t at = text.find(key);
    text.replace(at, text.find('\n', at) + 1 - at, line.empty() ? "" : line + "\n");
    return text;
}

// A valid file with one line of the top section, or the listener section, replaced.
std::string Spoilt(const std::string& line) {
    if (line.rfind("[DeviceListener_1]", 0) == 0) return kCompleteTopSection + line + "\n";
    return With(line.empty() ? "LogLevel=" : line.substr(0, line.find('=') + 1), line) + kListener;
}

struct Case {
    std::string text, finding;  // finding empty: none
    bool rewritten;
    std::string expected;  // the summary read, or after a rewrite a line in the file
};

// A file whose last line given is not valid, repaired with the value used.
Case Repaired(const std::string& line, const std::string& used) {
    const std::string spoilt = line.substr(line.rfind('\n') + 1);
    const std::string key = spoilt.substr(0, spoilt.find('='));
    const std::string where = line[0] == '[' ? " in [DeviceListener_1]" : "";
    return {Spoilt(line), spoilt + where + " is not valid, " + used + " used", true,
            "\n" + key + "=" + used + "\n"};
}

// Every value read, on one line, so a case states its whole expectation at once.
std::string Summary(const DeviceManagerConfig& c) {
    std::string s = c.ip + ":" + std::to_string(c.port) + " " + c.logFileName + " " +
                    std::to_string(c.logFileSize) + " " + std::to_string(c.logLevel) + " " +
                    std::to_string(c.u2AsyncSleepTime) + " " +
                    std::to_string(c.temperatureCompensation) + (c.logToConsole ? "" : " quiet");
    for (const ListenerConfig& l : c.listeners)
        s += " | " + l.address + ":" + std::to_string(l.port) + "/" + std::to_string(l.echoPort) +
             (l.allowedPeers.empty() ? "" : " " + l.allowedPeers);
    return s;
}

class DeviceManagerConfigTest : public testing::Test {
protected:
    std::string Path() const { return (dir_ / "KVTDeviceManager.ini").string(); }
    kvt_test::TempDir dir_{"kvt-config"};
};

// A valid file is read as it is and never rewritten; an invalid value is
// repaired, said, and written back so that the file then reads as it was used.
TEST_F(DeviceManagerConfigTest, ValuesAreReadOrRepairedAndSaidSo) {
    const std::string bounds =
        With("U2AsyncSleepTime=",
             "U2AsyncSleepTime=" + std::to_string(DeviceManagerConfig::kMaxU2AsyncSleepTime),
             With("Port=", "Port=65535"));
    const Case cases[] = {
        {kCompleteTopSection, "", false, kCompleteSummary},
        // Informational keys fall back without a rewrite.
        {With("IP=", "", With("Port=", "Port=0")), "", false,
         "127.0.0.1:82 /var/log/kvt.log 5000 0 250 1"},
        {kCompleteTopSection + kListener +
             "[DeviceListener_2]\nIP-Address=192.168.7.7\nPort=5002\n",
         "", false, kCompleteSummary + " | 127.0.0.1:5001/7 | 192.168.7.7:5002/7"},
        // Blanks around an address are no part of it.
        {bounds + "[DeviceListener_1]\nIP-Address = 10.0.0.1 \nPort=1\n", "", false,
         "10.1.2.3:65535 /var/log/kvt.log 5000 0 5000 1 | 10.0.0.1:1/7"},
        {"ini" + kvt_test::Scrambled(kCompleteTopSection), "", false, kCompleteSummary},
        {kCompleteTopSection + kListener + "EchoPort=70000\n",
         "EchoPort=70000 in [DeviceListener_1] is not valid, 7 used", false,
         kCompleteSummary + " | 127.0.0.1:5001/7"},
        Repaired("Port=-1", "82"),
        Repaired("LogFileSize=-100", "1000000"),
        Repaired("LogFileSize=0", "1000000"),
        Repaired("U2AsyncSleepTime=600000", "500"),
        Repaired("U2AsyncSleepTime=abc", "500"),
        Repaired("TemperatureCompensation=2", "0"),
        Repaired("LogLevel=-1", "2"),
        Repaired("[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=70000", "43981"),
        Repaired("[DeviceListener_1]\nPort=5001\nIP-Address=999.1.1.1", "0.0.0.0"),
        {Spoilt("[DeviceListener_1]\nPort=5001"),
         "IP-Address in [DeviceListener_1] is missing, 0.0.0.0 used", true,
         "\nIP-Address=0.0.0.0\n"},
        {Spoilt("LogLevel=" + std::string(200, '7')),
         "LogLevel=" + std::string(64, '7') + "... is not valid", true, "\nLogLevel=2\n"},
        {Spoilt(""), "LogLevel is missing, 2 used", true, "\nLogLevel=2\n"},
        {Spoilt("LogFileName="), "LogFileName is missing", true,
         "\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\n"},
        // The rewrite holds the documented keys only, and adds no listener.
        {With("LogLevel=", "LogLevel=7"), "LogLevel=7 is not valid", true, "\nLogLevel=2\n"},
        // Every listener and its peers are kept, the first written exactly as before.
        {With("LogLevel=", "LogLevel=9") + "LogToConsole=0\n" +
             "[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=5001\nEchoPort=7007\n"
             "AllowedPeers=10.1.2.3,10.9.0.0/16\n"
             "[DeviceListener_2]\nIP-Address=127.0.0.2\nPort=5002\n"
             "[DeviceListener_3]\nIP-Address=127.0.0.3\nPort=5003\n",
         "LogLevel=9 is not valid, 2 used", true,
         "[DeviceListener_1]\n\n; Address the ethernet devices connect to\r\n"
         "; (0.0.0.0 for all available or specific address, e.g. 192.168.1.1)\n"
         "IP-Address=127.0.0.1\n\n; Port the ethernet devices connect to\nPort=5001\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WriteFile(Path(), c.text);
        DeviceManagerConfig config;
        EXPECT_EQ(config.Read(Path()), c.rewritten);
        std::vector<testing::Matcher<std::string>> findings;
        if (!c.finding.empty()) findings.push_back(HasSubstr(c.finding));
        EXPECT_THAT(config.findings, ElementsAreArray(findings));
        if (!c.rewritten) {
            EXPECT_EQ(Summary(config), c.expected);
            EXPECT_EQ(ReadFile(Path()), c.text);
            continue;
        }
        const std::string rewritten = ReadFile(Path());
        EXPECT_THAT(rewritten, AllOf(HasSubstr(c.expected), Not(HasSubstr("IP="))));
        // Peers are kept where they were given and added nowhere else.
        EXPECT_EQ(kvt_test::Occurrences(rewritten, "AllowedPeers"),
                  kvt_test::Occurrences(c.text, "AllowedPeers"));
        DeviceManagerConfig again;
        EXPECT_FALSE(again.Read(Path()));
        EXPECT_THAT(again.findings, IsEmpty());
        config.ip = "127.0.0.1";  // informational, and not written
        EXPECT_EQ(Summary(again), Summary(config));
    }
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
    // What stands in the file's place, how it is made, the problem said and
    // whether the file was kept aside.
    const std::tuple<const char*, std::function<void()>, const char*, bool> cases[] = {
        {"binary garbage, replacing an older copy",
         [&] {
             WriteFile(bad, "an older broken file");
             WriteFile(Path(), garbage);
         },
         "cannot be parsed", true},
        {"a folder in its place",
         [&] {
             std::filesystem::create_directory(Path());
             WriteFile(std::filesystem::path(Path()) / "inside", "kept");
         },
         "cannot be read", true},
        // A folder where the copy would go: the rename fails, and then
        // nothing is touched.
        {"garbage that cannot be kept aside",
         [&] {
             WriteFile(Path(), garbage);
             std::filesystem::create_directory(bad);
             WriteFile(std::filesystem::path(bad) / "inside", "x");
         },
         "the file is left as it is", false},
    };
    for (const auto& [what, make, finding, keptAside] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(Path());
        std::filesystem::remove_all(bad);
        make();
        DeviceManagerConfig config;
        EXPECT_EQ(config.Read(Path()), keptAside);
        EXPECT_EQ(Summary(config), kDefaultSummary);
        EXPECT_THAT(
            config.findings,
            ElementsAre(AllOf(HasSubstr(finding), HasSubstr(keptAside ? "kept as " + bad : ""))));
        if (!keptAside) {
            EXPECT_EQ(ReadFile(Path()), garbage);
            continue;
        }
        EXPECT_EQ(ReadFile(Path()), kvt_test::kDefaultDeviceManagerIni);
        if (std::filesystem::is_directory(bad)) {
            EXPECT_EQ(ReadFile(std::filesystem::path(bad) / "inside"), "kept");
        } else {
            EXPECT_EQ(ReadFile(bad), garbage);
        }
    }
}

TEST_F(DeviceManagerConfigTest, TheConsoleEchoFollowsTheFileUnlessTheEnvironmentSaysOtherwise) {
    // A line added to the top section, KVT_LOG_CONSOLE, whether the log is
    // echoed and whether the file's value was found wanting.
    const std::tuple<const char*, const char*, bool, bool> cases[] = {
        {"", "", true, false},
        {"LogToConsole=0\n", "", false, false},
        {"LogToConsole = 1 \n", "", true, false},
        {"LogToConsole=off\n", "", true, true},
        {"LogToConsole=1\n", "0", false, false},
        {"LogToConsole=0\n", "1", true, false},
        {"LogToConsole=0\n", "yes", false, false},  // only 0 and 1 override
    };
    for (const auto& [line, environment, echo, noted] : cases) {
        SCOPED_TRACE(std::string(line) + " / KVT_LOG_CONSOLE=" + environment);
        const std::string text = kCompleteTopSection + line;
        WriteFile(Path(), text);
        kvt_test::SetEnv("KVT_LOG_CONSOLE", environment);
        DeviceManagerConfig config;
        EXPECT_FALSE(config.Read(Path()));
        EXPECT_EQ(std::tuple(config.EchoLogToConsole(), !config.findings.empty(), ReadFile(Path())),
                  std::tuple(echo, noted, text));
    }
    kvt_test::SetEnv("KVT_LOG_CONSOLE", "");
}

}  // namespace
