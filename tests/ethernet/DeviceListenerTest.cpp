#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "devicemanager/DevicesManager.h"
#include "devicemanager/WorkerThreads.h"
#include "ethernet/EthernetDevice.h"
#include "ethernet/ScriptedSensor.h"
#include "support/LoggedTest.h"
#include "support/TempDir.h"

using namespace kvt_test;
using testing::HasSubstr;
using testing::Not;

namespace {

struct ListenerSection {
    int port;
    int echoPort;  // 0: no EchoPort key
};

std::string ManagerIni(const std::vector<ListenerSection>& listeners) {
    std::string ini =
        "Port=82\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=1000000\n"
        "LogLevel=0\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n";
    int n = 0;
    for (const ListenerSection& listener : listeners) {
        ini += "[DeviceListener_" + std::to_string(++n) +
               "]\nIP-Address=127.0.0.1\nPort=" + std::to_string(listener.port) + "\n";
        if (listener.echoPort != 0) ini += "EchoPort=" + std::to_string(listener.echoPort) + "\n";
    }
    return ini;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A device manager made from a configuration of the test's own, with its
// Ethernet listeners open but without the manager thread.
class DeviceListenerTest : public LoggedTest {
protected:
    void TearDown() override {
        if (manager_ != nullptr) CDevicesManager::DropInstance();
        std::filesystem::remove(IniPath());
        LoggedTest::TearDown();
    }
    static std::filesystem::path IniPath() { return DataDir() / "KVTDeviceManager.ini"; }

    void StartListeners(const std::vector<ListenerSection>& listeners) {
        WriteFile(IniPath(), ManagerIni(listeners));
        manager_ = CDevicesManager::CreateInstance();
        manager_->CreateDeviceListenerThreads();
    }
    platform::SocketAddress ListenerAddress(int port) {
        platform::SocketAddress address;
        EXPECT_TRUE(platform::MakeSocketAddress("127.0.0.1", port, address));
        return address;
    }
    std::vector<QueuedMessage> TakeMessages() {
        std::vector<QueuedMessage> messages;
        QueuedMessage message;
        while (manager_->MessageQueue().fetchMessage(message)) messages.push_back(message);
        return messages;
    }
    size_t Registered() { return manager_->Devices().Count(); }

    CDevicesManager* manager_ = nullptr;
    const int port_ = FreeLoopbackPort();
};

TEST_F(DeviceListenerTest, AConnectingSensorIsInitialisedRegisteredAndWatched) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    EXPECT_THAT(LogText(), HasSubstr("DeviceListener: Listening on 127.0.0.1:" +
                                     std::to_string(port_) + " for devices"));
    ScriptedSensor sensor(ListenerAddress(port_), [](ScriptedSensor& sensor) {
        sensor.config[ethernet::kConfigFirmware] = 0x0201;
    });
    ASSERT_TRUE(sensor.Connected());
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    const auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kvt__MessageType__NewDevice);
    DevicePtr device = manager_->Devices().First();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetDeviceID(), messages[0].deviceId);
    EXPECT_EQ(device->GetConnectionType(), kvt__ConnectionType__ETH);
    EXPECT_EQ(device->GetSerialNumber(), "4711");
    EXPECT_EQ(device->GetFirmwareVersion(), "1.02");
    ASSERT_NE(device->AsEthernetDevice(), nullptr);
    EXPECT_EQ(device->AsEthernetDevice()->EchoPort(), echo.Port());
    // The keep-alive reached the sensor's echo service.
    EXPECT_TRUE(WaitUntil([&] { return echo.Connections() == 1; }, 5000));
    // And the listener takes the next sensor.
    ScriptedSensor second(ListenerAddress(port_));
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 2; }, 5000));
}

TEST_F(DeviceListenerTest, ASensorWithoutEchoServiceIsAddedAndRemovedAtOnce) {
    StartListeners({{port_, FreeLoopbackPort()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    std::vector<QueuedMessage> messages;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const QueuedMessage& message : TakeMessages()) messages.push_back(message);
            return messages.size() >= 2;
        },
        5000));
    EXPECT_EQ(messages[0].type, kvt__MessageType__NewDevice);
    EXPECT_EQ(messages[1].type, kvt__MessageType__LostDevice);
    EXPECT_EQ(messages[1].deviceId, messages[0].deviceId);
    EXPECT_EQ(Registered(), 0u);
}

TEST_F(DeviceListenerTest, ASensorThatFailsToInitialiseIsClosedAndNotRegistered) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    {
        ScriptedSensor broken(ListenerAddress(port_), [](ScriptedSensor& sensor) {
            sensor.status = ethernet::kDevStatusError;
        });
        ASSERT_TRUE(WaitUntil(
            [&] {
                return LogText().find("failed to initialize new CEthernetDevice") !=
                       std::string::npos;
            },
            5000));
    }
    EXPECT_EQ(Registered(), 0u);
    EXPECT_TRUE(TakeMessages().empty());
    ScriptedSensor working(ListenerAddress(port_));
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
}

TEST_F(DeviceListenerTest, TwoListenersOnOnePortOpenOnlyOne) {
    StartListeners({{port_, 0}, {port_, 0}});
    const std::string log = LogText();
    const std::string line = "DeviceListener: Listening on";
    const size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(line, first + 1), std::string::npos);
    EXPECT_EQ(manager_->Config().listeners.size(), 2u);
    EXPECT_EQ(manager_->Config().listeners[0].echoPort, 7);
}

TEST_F(DeviceListenerTest, ShutdownEndsListenersKeepAlivesAndStalledExchanges) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return echo.Connections() == 1; }, 5000));
    // A capture in the middle of a frame that never completes.
    DevicePtr device = manager_->Devices().First();
    sensor.Queue(Concat({HeaderBytes(ethernet::kGetImage, 300000), Bytes(100, 1)}));
    std::vector<uint8_t> image;
    std::thread capture([&] { device->AsEthernetDevice()->GetNormalImage(image); });
    const size_t before = sensor.Requests().size();
    ASSERT_TRUE(sensor.WaitForRequests(before + 1, 5000));

    manager_->Stop();
    EXPECT_TRUE(manager_->ShutDown(true));
    capture.join();
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(Registered(), 0u);
    // Everything ended within the shutdown's own pauses.
    EXPECT_THAT(LogText(), HasSubstr("DevicesManager ShutDown: open Threads: 0 after 0 loops"));
    // No sensor connects any more.
    ScriptedSensor late(ListenerAddress(port_));
    EXPECT_FALSE(late.Connected());
}

TEST_F(DeviceListenerTest, EchoPortIsReadKeptThroughARewriteAndOtherwiseAbsent) {
    const auto read = [](const std::string& ini) {
        WriteFile(IniPath(), ini);
        DeviceManagerConfig config;
        config.Read(IniPath().string());
        return config;
    };
    EXPECT_EQ(read(ManagerIni({{43000, 7007}})).listeners[0].echoPort, 7007);
    EXPECT_EQ(read(ManagerIni({{43000, 0}})).listeners[0].echoPort, 7);
    // An unusable value means 7 and does not make the file count as repaired.
    const std::string outOfRange = ManagerIni({{43000, 70000}});
    EXPECT_EQ(read(outOfRange).listeners[0].echoPort, 7);
    EXPECT_EQ(ReadFile(IniPath()), outOfRange);

    // A rewrite keeps a configured echo port.
    std::string repaired = ManagerIni({{43000, 7007}});
    repaired.replace(repaired.find("LogLevel=0"), 10, "LogLevel=9");
    EXPECT_EQ(read(repaired).listeners[0].echoPort, 7007);
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("EchoPort=7007"));
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LogLevel=2"));
    // The default file has none.
    std::filesystem::remove(IniPath());
    DeviceManagerConfig defaults;
    defaults.Read(IniPath().string());
    EXPECT_THAT(ReadFile(IniPath()), Not(HasSubstr("EchoPort")));
}

// The keep-alive needs a whole period to notice a silent sensor.
class SlowDeviceListenerTest : public DeviceListenerTest {};

TEST_F(SlowDeviceListenerTest, ASensorWhoseEchoFallsSilentIsRemovedWithinOnePeriod) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    // One answered probe, then silence.
    ASSERT_TRUE(WaitUntil([&] { return echo.Echoes() >= 1; }, 12000));
    echo.StopAnswering();
    // 10 s until the next probe and at most 5 s waiting for its answer.
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 0; }, 16000));
    bool lost = false;
    for (const QueuedMessage& message : TakeMessages()) {
        lost |= message.type == kvt__MessageType__LostDevice;
    }
    EXPECT_TRUE(lost);
}

}  // namespace
